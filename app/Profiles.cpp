#include "Profiles.h"

#include "IniFile.h"

#include <QFileInfo>

namespace {
const QString Section = QStringLiteral("SMTP");
}

void SaveSMTPProfile(const QString &path, const TSMTPProfile &profile)
{
    TIniFile ini(path);
    ini.WriteString(Section, QStringLiteral("Server"), profile.Server);
    // The field keeps its digits right-aligned; the blanks mean nothing once stored.
    ini.WriteString(Section, QStringLiteral("Port"), profile.Port.trimmed());
    ini.WriteString(Section, QStringLiteral("Account"), profile.Account);
    ini.WriteString(Section, QStringLiteral("Name"), profile.Name);
    ini.WriteInteger(Section, QStringLiteral("Encoding"), profile.Encoding);
    ini.WriteString(Section, QStringLiteral("Reply-To"), profile.ReplyTo);
    ini.WriteInteger(Section, QStringLiteral("Security"), profile.Security);
    ini.WriteString(Section, QStringLiteral("User"), profile.User);
    ini.WriteInteger(Section, QStringLiteral("Authentication"), profile.Authentication);
    ini.WriteString(Section, QStringLiteral("PasswordCommand"), profile.PasswordCommand);
    ini.WriteBool(Section, QStringLiteral("RememberPassword"), profile.RememberPassword);
    ini.WriteString(Section, QStringLiteral("TrustedCertificate"), profile.TrustedCertificate);
    ini.UpdateFile();
}

void SaveTrustedCertificate(const QString &path, const QString &fingerprint)
{
    TIniFile ini(path);
    ini.WriteString(Section, QStringLiteral("TrustedCertificate"), fingerprint);
    ini.UpdateFile();
}

TSMTPProfile LoadSMTPProfile(const QString &path)
{
    const TIniFile ini(path);
    if (!ini.ReadError().isEmpty())
        throw EIniFileError(ini.ReadError());
    TSMTPProfile p;
    p.Server = ini.ReadString(Section, QStringLiteral("Server"), QString());
    p.Port = ini.ReadString(Section, QStringLiteral("Port"), QStringLiteral("25"));
    p.Account = ini.ReadString(Section, QStringLiteral("Account"), QString());
    p.Name = ini.ReadString(Section, QStringLiteral("Name"), QString());
    const int encoding = ini.ReadInteger(Section, QStringLiteral("Encoding"), 0);
    p.Encoding = (encoding == 0 || encoding == 1) ? encoding : -1;
    p.ReplyTo = ini.ReadString(Section, QStringLiteral("Reply-To"), QString());
    const int security = ini.ReadInteger(Section, QStringLiteral("Security"), 0);
    p.Security = security >= 0 && security <= 2 ? security : 0;
    p.User = ini.ReadString(Section, QStringLiteral("User"), QString());
    const int auth = ini.ReadInteger(Section, QStringLiteral("Authentication"), 0);
    p.Authentication = auth >= 0 && auth <= 3 ? auth : 0;
    p.PasswordCommand = ini.ReadString(Section, QStringLiteral("PasswordCommand"), QString());
    p.RememberPassword = ini.ReadBool(Section, QStringLiteral("RememberPassword"), false);
    p.TrustedCertificate = ini.ReadString(Section, QStringLiteral("TrustedCertificate"), QString());
    return p;
}

void SaveNNTPProfile(const QString &)
{
}

void LoadNNTPProfile(const QString &)
{
}

QString WithDefaultExtension(const QString &fileName, const QString &ext)
{
    if (fileName.isEmpty())
        return fileName;
    const QString base = QFileInfo(fileName).fileName();
    if (base.isEmpty() || base.lastIndexOf(QLatin1Char('.')) > 0)
        return fileName;
    QString e = ext;
    if (e.startsWith(QLatin1Char('*')))
        e.remove(0, 1); // the dialogs name it "*.smt"
    if (!e.startsWith(QLatin1Char('.')))
        e.prepend(QLatin1Char('.'));
    return fileName + e;
}

QString PortFieldText(const QString &port)
{
    return port.trimmed().rightJustified(4, QLatin1Char(' '));
}
