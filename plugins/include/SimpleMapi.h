/* The Simple MAPI address interface as the program calls it and a library exports it: the
 * published functions MAPIAddress and MAPIFreeBuffer with C linkage. Only fixed-width types,
 * so the program and a library built apart agree on every field. Plain C on purpose: a library
 * in any language can implement it. */
#ifndef SENDORIX_SIMPLE_MAPI_H
#define SENDORIX_SIMPLE_MAPI_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t MapiULong;    /* ULONG */
typedef uintptr_t MapiHandle;  /* LHANDLE, ULONG_PTR */
typedef MapiULong MapiFlags;   /* FLAGS */

/* Recipient classes. */
#define MAPI_ORIG 0
#define MAPI_TO 1
#define MAPI_CC 2
#define MAPI_BCC 3

/* Results. */
#define SUCCESS_SUCCESS 0
#define MAPI_USER_ABORT 1
#define MAPI_E_USER_ABORT MAPI_USER_ABORT
#define MAPI_E_FAILURE 2
#define MAPI_E_LOGIN_FAILURE 3
#define MAPI_E_INSUFFICIENT_MEMORY 5
#define MAPI_E_INVALID_EDITFIELDS 24
#define MAPI_E_INVALID_RECIPS 25
#define MAPI_E_NOT_SUPPORTED 26

typedef struct MapiRecipDesc
{
    MapiULong ulReserved;     /* 0 */
    MapiULong ulRecipClass;   /* MAPI_ORIG, MAPI_TO, MAPI_CC, MAPI_BCC */
    char *lpszName;           /* display name, zero-terminated; may be null */
    char *lpszAddress;        /* address, zero-terminated; may be null */
    MapiULong ulEIDSize;      /* size of lpEntryID in bytes */
    void *lpEntryID;          /* the library's own identifier of the entry */
} MapiRecipDesc, *lpMapiRecipDesc;

/* Shows the address dialog. ulUIParam: the parent window; a library built with Qt takes the
 * window id of a QWidget (QWidget::winId) of the calling process, 0 for none. lpszCaption: the
 * dialog's title, null or empty for the library's own. nEditFields: 0 to 4; lpszLabels: the
 * label of the one field when nEditFields is 1, else ignored (null: the library's labels).
 * On SUCCESS_SUCCESS, *lpnNewRecips and *lppNewRecips hold the chosen recipients, a block the
 * caller hands back to MAPIFreeBuffer (null when none were chosen). Texts are UTF-8. */
typedef MapiULong (*LPMAPIADDRESS)(MapiHandle lhSession, MapiHandle ulUIParam,
                                   char *lpszCaption, MapiULong nEditFields, char *lpszLabels,
                                   MapiULong nRecips, lpMapiRecipDesc lpRecips, MapiFlags flFlags,
                                   MapiULong ulReserved, MapiULong *lpnNewRecips,
                                   lpMapiRecipDesc *lppNewRecips);

/* Releases a block the library returned. */
typedef MapiULong (*LPMAPIFREEBUFFER)(void *pv);

/* Not Simple MAPI: how this program's manual reaches the dialog. A library may export
 * SendorixMapiSetHelp; the program calls it before MAPIAddress with a function that opens the
 * manual at the dialog's section, and with null afterwards. F1 in the dialog calls
 * help(context) while it is set. A library without it simply has no help. */
typedef void (*SENDORIXMAPIHELP)(void *context);
typedef void (*LPSENDORIXMAPISETHELP)(SENDORIXMAPIHELP help, void *context);

MapiULong MAPIAddress(MapiHandle lhSession, MapiHandle ulUIParam, char *lpszCaption,
                      MapiULong nEditFields, char *lpszLabels, MapiULong nRecips,
                      lpMapiRecipDesc lpRecips, MapiFlags flFlags, MapiULong ulReserved,
                      MapiULong *lpnNewRecips, lpMapiRecipDesc *lppNewRecips);
MapiULong MAPIFreeBuffer(void *pv);
void SendorixMapiSetHelp(SENDORIXMAPIHELP help, void *context);

#ifdef __cplusplus
}
#endif

#endif
