#pragma once
// The bridge to the system address book: a Simple MAPI library loaded at run time.
#include "Recipients.h"
#include "SimpleMapi.h"

#include <QString>

class QWidget;

// Shows the system address book's dialog with the three lists as its To, Cc and Bcc fields,
// modal to parent. On success the three lists are replaced by what the dialog returned and the
// result is true; on any other outcome they are untouched and the result is false. A library
// that cannot be loaded raises an Exception with the reason.
bool SmapiEditRecipients(QWidget *parent, TRecipientList &to, TRecipientList &cc,
                         TRecipientList &bcc);

// ---- The library ----------------------------------------------------------------------------

// The project's own library, the one used unless another file name is set.
inline constexpr const char *SmapiDefaultLibrary = "libsendorix_simplemapi.so";
// The library's file name. A bare name is looked for beside the program, then in the folder
// the install puts plugins (FindPluginFile). Setting a name releases a library
// loaded under the old one; an empty name restores the default.
void SmapiSetLibraryName(const QString &fileName);
QString SmapiLibraryName();
// Loads the library unless it is loaded; a failure raises an Exception ("MAPI Initialization
// Error: %d" with the loader's reason) and is retried at the next use.
void SmapiLoad();
// Releases the library (done at exit; the next use loads it again).
void SmapiUnload();

// The library's MAPIAddress and MAPIFreeBuffer; 1 without a call when the entry is missing.
MapiULong SmapiAddress(MapiHandle lhSession, MapiHandle ulUIParam, char *lpszCaption,
                       MapiULong nEditFields, char *lpszLabels, MapiULong nRecips,
                       lpMapiRecipDesc lpRecips, MapiFlags flFlags, MapiULong ulReserved,
                       MapiULong *lpnNewRecips, lpMapiRecipDesc *lppNewRecips);
MapiULong SmapiFreeBuffer(void *pv);
// Hands the library the function F1 in its dialog calls (the manual's system address book
// section), or takes it back; false when the library is not loaded or has no such entry.
bool SmapiSetHelp(bool on);

// ---- Records --------------------------------------------------------------------------------

// One record per entry (To, then Cc, then Bcc), texts copied as UTF-8; no entries give count 0
// and a null array. The caller owns the result and releases it with FreeRecipDescs.
void BuildRecipDescs(const TRecipientList &to, const TRecipientList &cc,
                     const TRecipientList &bcc, MapiULong &count, lpMapiRecipDesc &descs);
// Replaces the three lists by the records' entries by class; other classes are skipped, a
// missing text reads as empty.
void ReadRecipDescs(MapiULong count, const MapiRecipDesc *descs, TRecipientList &to,
                    TRecipientList &cc, TRecipientList &bcc);
// Frees the texts of every record, then the array; leaves count 0 and a null array.
void FreeRecipDescs(MapiULong &count, lpMapiRecipDesc &descs);
