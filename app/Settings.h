// The program settings file, Sendorix.cfg beside the program, and the input histories.
//
// The window reads the file into TProgramSettings at creation and writes it back at close;
// its ReadSettings/WriteSettings only copy between the controls and this record (see the
// comment on each field). Everything about the file itself lives here.
#pragma once

#include <QString>
#include <QStringList>

#include <array>

#include "SendJob.h"
#include "Timeouts.h"

// The marker that ends a numbered key list when read.
inline const QString HistoryEndMarker = QStringLiteral("this string is not in inifile");
// A history grown by AddToHistory keeps at most this many entries.
inline constexpr int HistoryLimit = 20;

// What the parameters page's server timeout starts from (the mail components' own default),
// and its bounds (seconds).
inline constexpr int DefaultServerTimeoutSeconds = vok::DefaultTimeoutMs / 1000;
inline constexpr int MinServerTimeoutSeconds = 5;
inline constexpr int MaxServerTimeoutSeconds = 600;
// The internal archiver's message size, KiB.
inline constexpr int MinMessageSizeKb = 1;
inline constexpr int MaxMessageSizeKb = 102400;
inline constexpr int DefaultMessageSizeKb = 10240;

// The most reconnects per job the settings file may ask for (the default is the job's own).
inline constexpr int MaxReconnectAttempts = 20;

// The eight boxes with a history, in the order they are read and written.
enum THistoryBox {
    hbTo,        // edtTo
    hbCC,        // edtCC
    hbBCC,       // edBCC
    hbSubject,   // edtSubject
    hbHost,      // edSMTPName
    hbName,      // edtName
    hbReplyTo,   // edtReplyTo
    hbTempDir,   // edTempDir
    hbCount
};
// The settings file's section for each box: "EditTo", "EditCC", ...
QString HistorySection(THistoryBox box);

struct TProgramSettings {
    // Section "Version": on read, what the file holds (1 and 1 when absent), used only for the
    // address book question. On write the running program's version is stored instead.
    int MajorVersion = 1;
    int MinorVersion = 1;

    int Language = 0;         // comboLanguage item index: 0 English, 1 Russian, -1 none
    bool MailMode = true;     // btnMail down (true) or btnNews down (false): SetSenderMode
    QString SMTPConfigFile;   // TMainForm::SMTPConfigFile, the current mail profile
    QString NNTPConfigFile;   // TMainForm::NNTPConfigFile, the current news profile

    // The lists of the eight boxes, indexed by THistoryBox, newest first.
    std::array<QStringList, hbCount> Histories;

    QString FileDialogDir;         // initial folder of the add-files dialog
    QString LoadConfigDialogDir;   // ... of LoadConfigDialog
    QString SaveConfigDialogDir;   // ... of SaveConfigDialog
    QString SaveLogDialogDir;      // ... of the save-protocol dialog; empty: the program's folder

    bool JumpToProtocol = true;       // cbJumpToProtocol
    bool UseMAPIAddresBook = false;   // cbUseMAPIAddresBook
    // How often a job connects again after the connection dropped (0: never), in 0..20.
    int ReconnectAttempts = DefaultReconnectAttempts;
    // Seconds a server may keep silent before the job gives up on it, in 5..600.
    int ServerTimeout = DefaultServerTimeoutSeconds;
    // The internal archiver (cbUseZip) and its default message size (spinOneMessSizeDef), KiB.
    // The temporary folder is the history hbTempDir.
    bool UseZip = false;
    int MessageSizeKb = DefaultMessageSizeKb;

    bool operator==(const TProgramSettings &) const = default;
};

class TIniFile;

// folder + "Sendorix.cfg" (folder with or without its trailing separator).
QString SettingsFilePath(const QString &programFolder);

// A missing file (or key) gives the defaults above, which are the first-start state. So does a
// file that cannot be read (a FIFO, a device, no permission): then `error`, when given, says
// why, and the file is never written over.
TProgramSettings ReadSettings(const QString &path, QString *error = nullptr);

// Writes every key, keeping keys and sections it does not know. "Version" gets
// runningMajor/runningMinor (see RunningVersion). Throws EIniFileError
// ("Unable to write to <path>: <why>") and then leaves the old file as it was.
void WriteSettings(const QString &path, const TProgramSettings &settings, int runningMajor, int runningMinor);
void WriteSettings(const QString &path, const TProgramSettings &settings);

// Password commands the user has seen and approved, kept by their SHA-256 in the section
// "PasswordCommands" of the settings file. A command that comes in a profile runs only when it
// is one of these: profiles are files people pass around, and a command in one is a program to
// run. Approve throws EIniFileError when the file cannot be written.
bool PasswordCommandApproved(const QString &path, const QString &command);
void ApprovePasswordCommand(const QString &path, const QString &command);

// The first two numbers of the program's file version ("1.3.0.1" gives 1 and 3).
// Throws std::invalid_argument when they are not numbers.
std::pair<int, int> RunningVersion(const QString &fileVersion = QStringLiteral(SENDORIX_FILE_VERSION));

// Replaces list by the section's keys "0", "1", ... up to the first missing key or marker.
void LoadHistory(const TIniFile &ini, QStringList &list, const QString &section);
// Writes key k = entry k (trimmed) and drops numbered keys beyond the list.
void SaveHistory(TIniFile &ini, const QStringList &list, const QString &section);

// The exit handler's rule for one box: text is trimmed; an empty text changes nothing and
// returns false. Otherwise the first entry equal to it without regard to case goes, the text
// is put first, and an entry pushed to position 20 (the 21st) is dropped. text is left
// trimmed so the box can show it.
bool AddToHistory(QStringList &list, QString &text);

// The temporary folder box at start-up: the first history entry, or, with no history, the
// system's temporary folder, which then becomes the only entry. Returns the text to show.
QString StartupTempDir(QStringList &history, const QString &systemTempDir);

// The one-time question about the system address book is asked when the file that was read
// came from a version before 1.3 (or there was no file).
bool NeedsAddressBookQuestion(const TProgramSettings &settings);
QString AddressBookQuestion(bool russian);
