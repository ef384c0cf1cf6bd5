#include "Settings.h"

#include <algorithm>

#include "IniFile.h"
#include "Strings.h"

#include <QCryptographicHash>
#include <QDir>

#include <stdexcept>

namespace {
const QString VersionSection = QStringLiteral("Version");
const QString SettingsSection = QStringLiteral("Settings");

// True for "0", "17", ...: the keys of a history list.
bool isHistoryKey(const QString &key, int *index)
{
    if (key.isEmpty() || key.size() > 9)
        return false;
    for (const QChar c : key)
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    *index = key.toInt();
    return true;
}
}   // namespace

QString HistorySection(THistoryBox box)
{
    static const char *const names[hbCount] = {"EditTo",   "EditCC",   "EditBCC",     "EditSubject",
                                               "EditHost", "EditName", "EditReplyTo", "EditTempDir"};
    return QString::fromLatin1(names[box]);
}

QString SettingsFilePath(const QString &programFolder)
{
    QString folder = programFolder;
    if (!folder.isEmpty() && !folder.endsWith(QLatin1Char('/')))
        folder += QLatin1Char('/');
    return folder + QStringLiteral("Sendorix.cfg");
}

TProgramSettings ReadSettings(const QString &path, QString *error)
{
    const TIniFile ini(path);
    if (error)
        *error = ini.ReadError();
    TProgramSettings s;
    s.MajorVersion = ini.ReadInteger(VersionSection, QStringLiteral("MajorVersion"), 1);
    s.MinorVersion = ini.ReadInteger(VersionSection, QStringLiteral("MinorVersion"), 1);
    s.Language = ini.ReadInteger(SettingsSection, QStringLiteral("Language"), 0);
    s.MailMode = ini.ReadInteger(SettingsSection, QStringLiteral("SenderMode"), 0) == 0;
    s.SMTPConfigFile = ini.ReadString(SettingsSection, QStringLiteral("SMTPServerConfig"), QString());
    s.NNTPConfigFile = ini.ReadString(SettingsSection, QStringLiteral("NNTPServerConfig"), QString());
    for (int b = 0; b < hbCount; ++b)
        LoadHistory(ini, s.Histories[b], HistorySection(THistoryBox(b)));
    s.FileDialogDir = ini.ReadString(SettingsSection, QStringLiteral("FileDialogDir"), QString());
    s.LoadConfigDialogDir = ini.ReadString(SettingsSection, QStringLiteral("LoadConfigDialogDir"), QString());
    s.SaveConfigDialogDir = ini.ReadString(SettingsSection, QStringLiteral("SaveConfigDialogDir"), QString());
    s.SaveLogDialogDir = ini.ReadString(SettingsSection, QStringLiteral("SaveLogDialogDir"), QString());
    s.JumpToProtocol = ini.ReadBool(SettingsSection, QStringLiteral("cbJumpToProtocol"), true);
    s.UseMAPIAddresBook = ini.ReadBool(SettingsSection, QStringLiteral("cbUseMAPIAddresBook"), false);
    s.ReconnectAttempts =
        std::clamp(ini.ReadInteger(SettingsSection, QStringLiteral("ReconnectAttempts"), DefaultReconnectAttempts), 0,
                   MaxReconnectAttempts);
    s.ServerTimeout =
        std::clamp(ini.ReadInteger(SettingsSection, QStringLiteral("ServerTimeout"), DefaultServerTimeoutSeconds),
                   MinServerTimeoutSeconds, MaxServerTimeoutSeconds);
    s.UseZip = ini.ReadBool(SettingsSection, QStringLiteral("cbUseZip"), false);
    s.MessageSizeKb =
        std::clamp(ini.ReadInteger(SettingsSection, QStringLiteral("MessageSizeKb"), DefaultMessageSizeKb),
                   MinMessageSizeKb, MaxMessageSizeKb);
    return s;
}

void WriteSettings(const QString &path, const TProgramSettings &s, int runningMajor, int runningMinor)
{
    TIniFile ini(path);
    ini.WriteInteger(VersionSection, QStringLiteral("MajorVersion"), runningMajor);
    ini.WriteInteger(VersionSection, QStringLiteral("MinorVersion"), runningMinor);
    ini.WriteInteger(SettingsSection, QStringLiteral("Language"), s.Language);
    ini.WriteInteger(SettingsSection, QStringLiteral("SenderMode"), s.MailMode ? 0 : 1);
    ini.WriteString(SettingsSection, QStringLiteral("SMTPServerConfig"), s.SMTPConfigFile);
    ini.WriteString(SettingsSection, QStringLiteral("NNTPServerConfig"), s.NNTPConfigFile);
    for (int b = 0; b < hbCount; ++b)
        SaveHistory(ini, s.Histories[b], HistorySection(THistoryBox(b)));
    ini.WriteString(SettingsSection, QStringLiteral("FileDialogDir"), s.FileDialogDir);
    ini.WriteString(SettingsSection, QStringLiteral("LoadConfigDialogDir"), s.LoadConfigDialogDir);
    ini.WriteString(SettingsSection, QStringLiteral("SaveConfigDialogDir"), s.SaveConfigDialogDir);
    ini.WriteString(SettingsSection, QStringLiteral("SaveLogDialogDir"), s.SaveLogDialogDir);
    ini.WriteBool(SettingsSection, QStringLiteral("cbJumpToProtocol"), s.JumpToProtocol);
    ini.WriteInteger(SettingsSection, QStringLiteral("ReconnectAttempts"), s.ReconnectAttempts);
    ini.WriteInteger(SettingsSection, QStringLiteral("ServerTimeout"), s.ServerTimeout);
    ini.WriteBool(SettingsSection, QStringLiteral("cbUseMAPIAddresBook"), s.UseMAPIAddresBook);
    ini.WriteBool(SettingsSection, QStringLiteral("cbUseZip"), s.UseZip);
    ini.WriteInteger(SettingsSection, QStringLiteral("MessageSizeKb"), s.MessageSizeKb);
    ini.UpdateFile();
}

void WriteSettings(const QString &path, const TProgramSettings &settings)
{
    const auto [major, minor] = RunningVersion();
    WriteSettings(path, settings, major, minor);
}

namespace {

const QString PasswordCommandsSection = QStringLiteral("PasswordCommands");

QString CommandKey(const QString &command)
{
    return QString::fromLatin1(QCryptographicHash::hash(command.toUtf8(), QCryptographicHash::Sha256).toHex());
}

}   // namespace

bool PasswordCommandApproved(const QString &path, const QString &command)
{
    const TIniFile ini(path);
    return ini.ReadBool(PasswordCommandsSection, CommandKey(command), false);
}

void ApprovePasswordCommand(const QString &path, const QString &command)
{
    TIniFile ini(path);
    ini.WriteBool(PasswordCommandsSection, CommandKey(command), true);
    ini.UpdateFile();
}

std::pair<int, int> RunningVersion(const QString &fileVersion)
{
    const QStringList parts = fileVersion.split(QLatin1Char('.'));
    bool okMajor = false, okMinor = false;
    const int major = parts.value(0).trimmed().toInt(&okMajor);
    const int minor = parts.value(1).trimmed().toInt(&okMinor);   // "03" is 3
    if (!okMajor || !okMinor)
        throw std::invalid_argument(QStringLiteral("'%1' is not a valid version").arg(fileVersion).toStdString());
    return {major, minor};
}

void LoadHistory(const TIniFile &ini, QStringList &list, const QString &section)
{
    list.clear();
    for (int k = 0;; ++k) {
        const QString value = ini.ReadString(section, QString::number(k), HistoryEndMarker);
        if (value == HistoryEndMarker)
            break;
        list.append(value);
    }
}

void SaveHistory(TIniFile &ini, const QStringList &list, const QString &section)
{
    for (int k = 0; k < list.size(); ++k)
        ini.WriteString(section, QString::number(k), list.at(k).trimmed());
    // A numbered key left behind a gap would come back into the list once the gap is filled,
    // so numbered keys beyond the list go; other keys stay.
    for (const QString &key : ini.ReadSection(section)) {
        int index = 0;
        if (isHistoryKey(key, &index) && index >= list.size())
            ini.DeleteKey(section, key);
    }
}

bool AddToHistory(QStringList &list, QString &text)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return false;
    for (int i = 0; i < list.size(); ++i) {
        if (QString::compare(list.at(i), trimmed, Qt::CaseInsensitive) == 0) {
            list.removeAt(i);
            break;
        }
    }
    list.insert(0, trimmed);
    if (list.size() > HistoryLimit)
        list.removeAt(HistoryLimit);
    text = trimmed;
    return true;
}

QString StartupTempDir(QStringList &history, const QString &systemTempDir)
{
    if (!history.isEmpty())
        return history.first();
    history.append(systemTempDir);
    return systemTempDir;
}

bool NeedsAddressBookQuestion(const TProgramSettings &settings)
{
    return settings.MajorVersion == 1 && settings.MinorVersion < 3;
}

QString AddressBookQuestion(bool russian)
{
    return TextIn(russian, TextId::UseSystemAddressBook);
}
