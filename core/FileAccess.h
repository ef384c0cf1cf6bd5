// Reading and writing the program's own files (settings, profiles, address book, saved
// protocols) so that a hostile path cannot freeze the window and a failed write never leaves
// a cut file behind.
#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

enum class TReadResult { Ok, Missing, Failed };

// Reads a whole file. Only a regular file is read: a FIFO, a device, a socket or a folder
// fails with "\"<path>\" is not a regular file." before anything is read, and the open never
// waits (a FIFO without a writer would block it for ever). Other failures give the system's
// reason in `error`. A path that does not exist gives Missing.
TReadResult ReadRegularFile(const QString &fileName, QByteArray &data, QString &error);

// The error text for a path that exists and is not a regular file; empty for a regular file
// or a path that does not exist. Symbolic links are followed.
QString NotRegularFileError(const QString &path);

// Text bytes read from a file, decided line by line: a line that is valid UTF-8 is UTF-8,
// any other line is Windows-1251 (files brought over from Windows, or edited there), so one
// foreign byte cannot spoil the rest of the file. `foreign` tells whether any line was not
// UTF-8. Line ends are kept.
QString DecodeTextLines(const QByteArray &bytes, bool *foreign = nullptr);

// Replaces a file's content as a whole: the data goes to a temporary file beside it, is
// synced and renamed over the old file, whose permissions it keeps; a symbolic link keeps
// pointing at its file. A failed write leaves the old file exactly as it was, and a file the
// user made read-only (no write permission for us, or no write bit at all in its mode, which
// also holds for the superuser) is not replaced. Temporary files left behind by a write that
// was killed are removed by the next successful one. Returns an empty text on success, else
// the reason (the system's message).
QString ReplaceFileContent(const QString &fileName, const QByteArray &data);

// Tests only: called before each chunk of a temporary file is written, with the number of
// bytes already written; returning false makes that write fail as a full disk would.
using TFileWriteHook = std::function<bool(qint64 bytesWritten)>;
void SetFileWriteHookForTests(TFileWriteHook hook);
