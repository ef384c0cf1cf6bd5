// The sender's secure-delivery settings: security (None / STARTTLS / SSL/TLS), user name,
// password with "remember", authentication method and a password command. Texts follow the
// interface language; the form lays itself out, so longer texts never clip.
#pragma once

#include <QDialog>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QTextEdit;

struct TSecureSettings
{
    int Security = 0;           // 0 None, 1 STARTTLS, 2 SSL/TLS
    QString User;
    int Authentication = 0;     // 0 Automatic, 1 PLAIN, 2 LOGIN, 3 OAuth2 token
    QString PasswordCommand;
    bool RememberPassword = false;
    QString TrustedCertificate; // fingerprint of a certificate the user chose to trust

    bool operator==(const TSecureSettings &) const = default;
};

class TSecurityDialog : public QDialog
{
public:
    // port: the sender page's port text; the dialog proposes 587 or 465 in its place when the
    // security changes while it still says 25.
    TSecurityDialog(QWidget *parent, const TSecureSettings &settings, const QString &port);

    TSecureSettings Settings() const;
    QString Port() const { return port; }
    // What was typed into the password field (empty: nothing typed).
    QString Password() const;

    QComboBox *comboSecurity, *comboAuthentication;
    QLineEdit *edUser, *edPassword;
    QTextEdit *edPasswordCommand;   // wraps and grows, so a long command shows whole
    QCheckBox *cbRemember;

private:
    QString port;
    QString trusted;
};

// The port to propose for a security choice when the field still holds the plain default.
QString ProposedPort(int security, const QString &port);
