// Settings files of the classic profile kind: [Section] headers and key=value lines.
//
// Section and key names match without regard to letter case, values are read whole with the
// blanks around them removed, integers are decimal and truth values 1 and 0. Sections and keys
// the program does not know are kept when the file is written back.
//
// Files are written as UTF-8. Reading decides line by line: a line that is not valid UTF-8 was
// written on a Windows system and is read as Windows-1251, so its Cyrillic survives (and is
// written back as UTF-8) while the UTF-8 lines around it keep theirs.
//
// Only a regular file is read, and reading never blocks: a FIFO, device or folder reads as a
// file without keys, ReadError() says why, and such a file is never written over.
//
// Writes are collected in memory and go to disk in UpdateFile(), which never destroys the
// previous file: the new content goes to a temporary file beside it, is synced, and is renamed
// over the old one. A failed write throws EIniFileError("Unable to write to <path>: <why>") and leaves
// the old file as it was, byte for byte; so does a file the user made read-only.
#pragma once

#include "Global.h"

#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

// A settings or profile file that cannot be written.
class EIniFileError : public Exception
{
public:
    using Exception::Exception;
};

class TIniFile
{
public:
    // Reads the file if it exists; a missing file reads as one without keys.
    explicit TIniFile(const QString &fileName);
    ~TIniFile();
    TIniFile(const TIniFile &) = delete;
    TIniFile &operator=(const TIniFile &) = delete;

    QString FileName() const { return fileName_; }
    // True when the file existed and held a line that was not UTF-8 (read as Windows-1251).
    bool WasWindows1251() const { return wasWindows1251_; }
    // Why an existing file could not be read (for instance "\"<path>\" is not a regular
    // file."); empty when it was read or does not exist.
    QString ReadError() const { return readError_; }

    QString ReadString(const QString &section, const QString &key, const QString &def) const;
    // A value that is not a decimal integer (after trimming) gives def.
    int ReadInteger(const QString &section, const QString &key, int def) const;
    // Any non-zero integer is true.
    bool ReadBool(const QString &section, const QString &key, bool def) const;

    // Line breaks inside a value would start new lines (and could forge keys or sections),
    // so they are written as blanks.
    void WriteString(const QString &section, const QString &key, const QString &value);
    void WriteInteger(const QString &section, const QString &key, int value);
    void WriteBool(const QString &section, const QString &key, bool value);

    bool SectionExists(const QString &section) const;
    bool ValueExists(const QString &section, const QString &key) const;
    // Names as stored in the file, in file order.
    QStringList ReadSections() const;
    QStringList ReadSection(const QString &section) const;
    void EraseSection(const QString &section);
    void DeleteKey(const QString &section, const QString &key);

    // Writes the content to disk if anything changed since the file was read or last written.
    // Throws EIniFileError on failure.
    void UpdateFile();
    bool Modified() const { return modified_; }

    // Tests only: called before each chunk of the temporary file is written with the number of
    // bytes already written; returning false makes that write fail as a full disk would.
    using WriteHook = std::function<bool(qint64 bytesWritten)>;
    static void SetWriteHookForTests(WriteHook hook);

private:
    struct Data;
    std::unique_ptr<Data> d_;
    QString fileName_;
    bool modified_ = false;
    bool wasWindows1251_ = false;
    // The file exists but could not be read: writing it back would lose its content.
    bool unreadable_ = false;
    QString readError_;
};
