// The sender's secure-delivery settings: security (None / STARTTLS / SSL/TLS), user name,
// password with "remember", authentication method, a password command and the certificate the
// user chose to trust. Texts follow the interface language; the form lays itself out, so
// longer texts never clip.
#pragma once

#include <QDialog>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
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

// What the keyring holds for the login, as looked up when the dialog opens.
enum class TKeyringState { NotLookedUp, Stored, NotStored, NoKeyring };

class TSecurityDialog : public QDialog
{
public:
    // port: the sender page's port text; the dialog proposes the usual port for a security
    // choice while the field holds one of the usual ones.
    TSecurityDialog(QWidget *parent, const TSecureSettings &settings, const QString &port,
                    TKeyringState keyring = TKeyringState::NotLookedUp);

    TSecureSettings Settings() const;
    QString Port() const { return port; }
    // What was typed into the password field (empty: nothing typed).
    QString Password() const;

    QComboBox *comboSecurity, *comboAuthentication;
    QLineEdit *edUser, *edPassword;
    QTextEdit *edPasswordCommand;   // wraps and grows, so a long command shows whole
    QCheckBox *cbRemember;
    QLabel *lblPasswordState;       // where the password comes from
    QLabel *lblCertificate;         // the trusted certificate's fingerprint, or "none"
    QPushButton *btnForgetCertificate;

private:
    QString port;
    QString trusted;
    TKeyringState keyring;
    void UpdateState();   // what applies, and the password's source
};

// The port to propose for a security choice: the usual one, when the field holds a usual
// port (25, 587, 465); any other port is the user's own and stays.
QString ProposedPort(int security, const QString &port);
