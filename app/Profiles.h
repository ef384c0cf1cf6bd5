// Server profiles: the sender page's fields saved to and loaded from a profile file.
//
// A mail profile (.smt) holds one section "SMTP" with the keys Server, Port, Account, Name,
// Encoding and Reply-To, written in that order, then the secure-delivery keys Security, User,
// Authentication, PasswordCommand, RememberPassword and TrustedCertificate (a profile without
// them loads as plain SMTP). A password is never written to a profile. News profiles (.nnt) are offered by the
// dialogs but carry nothing yet.
//
// The window copies between its controls and TSMTPProfile; everything else (the file format,
// defaults, the encoding rule) lives here so it can be tested without a window.
#pragma once

#include <QString>

struct TSMTPProfile
{
    QString Server;                    // edSMTPName (text)
    QString Port = QStringLiteral("25"); // edPort (text; blanks around it are dropped)
    QString Account;                   // edAccount (text, the From address)
    QString Name;                      // edtName (text, the sender name)
    int Encoding = 0;                  // comboEncoding (item index: 0 "8Bit", 1 "Base64", -1 none)
    QString ReplyTo;                   // edtReplyTo (text)
    int Security = 0;                  // 0 None, 1 STARTTLS, 2 SSL/TLS
    QString User;                      // login name; empty: no authentication
    int Authentication = 0;            // 0 Automatic, 1 PLAIN, 2 LOGIN, 3 OAuth2 token
    QString PasswordCommand;           // its standard output is the secret (instead of a password)
    bool RememberPassword = false;     // keep the password in the desktop's keyring
    QString TrustedCertificate;        // SHA-256 fingerprint the user chose to trust

    bool operator==(const TSMTPProfile &) const = default;
};

// Writes the profile to path, keeping other sections and keys of an existing file.
// Throws EIniFileError ("Unable to write to <path>: <why>") and leaves the old file as it was; the
// caller then shows no "Settings saved" and keeps its current profile path.
void SaveSMTPProfile(const QString &path, const TSMTPProfile &profile);

// Sets only the trusted certificate of the profile at path (the user trusted it while sending).
// Throws EIniFileError as SaveSMTPProfile does.
void SaveTrustedCertificate(const QString &path, const QString &fingerprint);

// Reads the profile at path; absent keys (or a missing file) give the defaults above, and the
// path still becomes the current one. An "Encoding" other than 0 or 1 gives -1 (no selection).
// An empty path means "no profile": the caller skips the call and its fields keep their values.
// A file that exists but cannot be read (a FIFO, a device, a folder, no permission) throws
// EIniFileError saying why, so the fields are not silently reset to the defaults.
TSMTPProfile LoadSMTPProfile(const QString &path);

// Reserved for news profiles: they store nothing yet.
void SaveNNTPProfile(const QString &path);
void LoadNNTPProfile(const QString &path);

// The profile dialogs' default extensions.
inline constexpr const char *SMTPProfileExtension = ".smt";
inline constexpr const char *NNTPProfileExtension = ".nnt";

// A file name typed without an extension gets ext (".smt", ".nnt", ".log", or "*.smt" as the
// dialogs give it); a name that already has one is left alone.
QString WithDefaultExtension(const QString &fileName, const QString &ext);

// The port as the masked field shows it: right-aligned in four places ("25" -> "  25").
QString PortFieldText(const QString &port);
