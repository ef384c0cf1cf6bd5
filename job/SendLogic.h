// The parts of a send job that need no window: how many messages a series has, how a
// message's subject is built, how the form's texts become wire bytes, and the small
// text rules the checks and the protocol use. The window calls these; tests call them
// directly.
#pragma once

#include "Addresses.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <string>
#include <vector>

namespace SendLogic {

// Files per message as the job uses it: a number brought into 1..1000; a text that is not a
// number counts as 1.
constexpr int MinFilesPerMessage = 1;
constexpr int MaxFilesPerMessage = 1000;
int ClampFilesPerMessage(const QString &text);
int ClampFilesPerMessage(long long value);

// Files one message takes: one when the archiving option is on, else files per message.
int GroupSize(bool useZip, int filesPerMessage);
// Messages in a series of `files` files: one per file with the archiving option, else the
// files divided by the group size, rounded up.
int MessageCount(int files, int filesPerMessage, bool useZip);

// The subject with "%s %d(%d)" when part numbers are on, else the subject as it stands.
QString NumberedSubject(const QString &subject, bool addPartNo, int number, int total);
// The finished subject: the numbered subject, then " <" + names joined by ", " + ">" when
// file names are on. However many names, all are listed: the mail library folds a header
// line that would be too long for a server.
QString FullSubject(const QString &numbered, bool addFileName, const QStringList &names);

// The name part of a path: what follows the last '/'.
QString NamePart(const QString &path);

// The text with leading and trailing blanks and control characters removed (the checks
// before sending treat such a field as empty).
QString TrimBlanks(const QString &text);

// A text as it goes on the wire: Russian mode Windows-1251 recoded once to KOI8-R, English
// mode ISO-8859-1; with utf8 set, UTF-8 in either mode.
std::string WireText(const QString &text, bool russian, bool utf8 = false);
// The character set the message declares for that mode.
std::string WireCharSet(bool russian, bool utf8 = false);
// True when the mode's own character set carries the text without losing a character. A
// message with any text that does not fit goes out in UTF-8 instead.
bool FitsWireCharSet(const QString &text, bool russian);

// Why a file cannot be sent: 0 when it can be opened for reading, else an errno value
// (EISDIR for a folder, EINVAL for anything else that is not a regular file).
int FileReadError(const std::string &path);
// That reason in words, Russian or English.
QString FileErrorReason(int error, bool russian);

// The lines of a memo's text ("" has none; a final line break does not start a new line).
QStringList TextLines(const QString &text);

// SMTP servers refuse lines over 1000 octets (vok::kMaxLineLength plus CR LF). A text with
// such a line cannot go in 8 bits unchanged, so the message carries it in base64 instead: the
// text arrives byte for byte, only its transfer encoding differs.
bool HasOverlongLine(const std::vector<std::string> &lines);

// Date and time as the protocol writes them: the short date, a blank and the long time;
// at exactly midnight only the date.
QString ProtocolDateTime(const QDateTime &when);

// The grid rows that stay when repeated paths are removed: the first of each set of paths
// equal without regard to letter case, in row order.
QStringList WithoutDuplicates(const QStringList &paths);

// Why an entry is not an address (vok::CheckEntry), in words, Russian or English; empty for
// one that is.
QString AddressProblemReason(const vok::TAddress &address, bool russian);

}   // namespace SendLogic
