#include "SecurityDialog.h"

#include "AppHelp.h"
#include "Global.h"
#include "Language.h"

#include <QAbstractTextDocumentLayout>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTextEdit>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

QString ProposedPort(int security, const QString &port)
{
    static const QString usual[] = {QStringLiteral("25"), QStringLiteral("587"), QStringLiteral("465")};
    if (security < 0 || security > 2 || std::find(std::begin(usual), std::end(usual), port.trimmed()) == std::end(usual))
        return port;
    return usual[security];
}

namespace {

// A line of explanation under a field, in the dialog's smaller grey.
QLabel *NoteLabel(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setWordWrap(true);
    label->setForegroundRole(QPalette::PlaceholderText);
    return label;
}

// The command field: shown whole, however long (it is a program that will run with the
// user's rights), as tall as the command needs, up to eight lines.
QTextEdit *CommandField(const QString &command, QWidget *parent)
{
    auto *edit = new QTextEdit(parent);
    edit->setObjectName(QStringLiteral("edPasswordCommand"));
    edit->setAcceptRichText(false);
    edit->setWordWrapMode(QTextOption::WrapAnywhere);
    edit->setTabChangesFocus(true);
    edit->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    QObject::connect(edit->document()->documentLayout(), &QAbstractTextDocumentLayout::documentSizeChanged, edit,
                     [edit](const QSizeF &size) {
                         const int line = edit->fontMetrics().lineSpacing();
                         const int frame = 2 * edit->frameWidth();
                         edit->setFixedHeight(std::clamp(int(std::ceil(size.height())), line, 8 * line) + frame);
                     });
    edit->setPlainText(command);
    return edit;
}

// The rows: each field with its label, notes under the password and the command; returns the
// OK and Cancel buttons.
QDialogButtonBox *LayOut(TSecurityDialog *d)
{
    auto *passwordRow = new QHBoxLayout;
    passwordRow->addWidget(d->edPassword, 1);
    passwordRow->addWidget(d->cbRemember);
    auto *passwordBox = new QVBoxLayout;
    passwordBox->addLayout(passwordRow);
    passwordBox->addWidget(d->lblPasswordState);
    auto *commandBox = new QVBoxLayout;
    commandBox->addWidget(d->edPasswordCommand);
    commandBox->addWidget(NoteLabel(Text(TextId::PasswordCommandHint), d));
    auto *certificateRow = new QHBoxLayout;
    certificateRow->addWidget(d->lblCertificate, 1);
    certificateRow->addWidget(d->btnForgetCertificate, 0, Qt::AlignTop);
    auto *form = new QFormLayout;
    const int gap = d->fontMetrics().height() / 2;
    form->setVerticalSpacing(gap);
    form->addRow(Text(TextId::SecurityLabel), d->comboSecurity);
    form->addRow(Text(TextId::UserNameLabel), d->edUser);
    form->addRow(Text(TextId::PasswordLabel), passwordBox);
    form->addRow(Text(TextId::AuthenticationLabel), d->comboAuthentication);
    form->addRow(Text(TextId::PasswordCommandLabel), commandBox);
    form->addRow(Text(TextId::TrustedCertificateLabel), certificateRow);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, d);
    buttons->button(QDialogButtonBox::Ok)->setText(Text(TextId::SecurityOk));
    buttons->button(QDialogButtonBox::Cancel)->setText(Text(TextId::Cancel));
    auto *all = new QVBoxLayout(d);
    all->setSpacing(2 * gap);
    all->setContentsMargins(2 * gap, 2 * gap, 2 * gap, 2 * gap);
    all->addLayout(form);
    all->addWidget(buttons);
    // The dialog follows its contents (the command field grows with the command).
    all->setSizeConstraint(QLayout::SetFixedSize);
    return buttons;
}

}  // namespace

TSecurityDialog::TSecurityDialog(QWidget *parent, const TSecureSettings &settings, const QString &port,
                                 TKeyringState keyring)
    : QDialog(parent), port(port), trusted(settings.TrustedCertificate), keyring(keyring)
{
    setObjectName(QStringLiteral("SecurityDialog"));
    InstallHelpKey(this, SecurityHelpContext);
    setWindowTitle(Text(TextId::SecurityTitle));

    comboSecurity = new QComboBox(this);
    comboSecurity->setObjectName(QStringLiteral("comboSecurity"));
    comboSecurity->addItems({Text(TextId::SecurityNone), QStringLiteral("STARTTLS"), QStringLiteral("SSL/TLS")});
    comboSecurity->setCurrentIndex(settings.Security);
    edUser = new QLineEdit(settings.User, this);
    edUser->setObjectName(QStringLiteral("edUser"));
    edPassword = new QLineEdit(this);
    edPassword->setObjectName(QStringLiteral("edPassword"));
    edPassword->setEchoMode(QLineEdit::Password);
    cbRemember = new QCheckBox(Text(TextId::RememberPassword), this);
    cbRemember->setObjectName(QStringLiteral("cbRemember"));
    cbRemember->setChecked(settings.RememberPassword);
    lblPasswordState = NoteLabel(QString(), this);
    lblPasswordState->setObjectName(QStringLiteral("lblPasswordState"));
    comboAuthentication = new QComboBox(this);
    comboAuthentication->setObjectName(QStringLiteral("comboAuthentication"));
    comboAuthentication->addItems({Text(TextId::AuthenticationAutomatic), QStringLiteral("PLAIN"),
                                   QStringLiteral("LOGIN"), Text(TextId::AuthenticationOAuth2)});
    comboAuthentication->setCurrentIndex(settings.Authentication);
    edPasswordCommand = CommandField(settings.PasswordCommand, this);
    lblCertificate = new QLabel(this);
    lblCertificate->setObjectName(QStringLiteral("lblCertificate"));
    lblCertificate->setTextInteractionFlags(Qt::TextSelectableByMouse);
    lblCertificate->setWordWrap(true);
    btnForgetCertificate = new QPushButton(Text(TextId::ForgetCertificate), this);
    btnForgetCertificate->setObjectName(QStringLiteral("btnForgetCertificate"));

    QDialogButtonBox *buttons = LayOut(this);
    edUser->setMinimumWidth(fontMetrics().horizontalAdvance(QLatin1Char('x')) * 40);

    connect(comboSecurity, &QComboBox::currentIndexChanged, this,
            [this](int index) { this->port = ProposedPort(index, this->port); });
    connect(edUser, &QLineEdit::textChanged, this, [this] { UpdateState(); });
    connect(cbRemember, &QCheckBox::toggled, this, [this] { UpdateState(); });
    connect(edPasswordCommand, &QTextEdit::textChanged, this, [this] { UpdateState(); });
    connect(btnForgetCertificate, &QPushButton::clicked, this, [this] {
        trusted.clear();
        UpdateState();
    });
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    UpdateState();
}

void TSecurityDialog::UpdateState()
{
    // Nothing to log in with without a user name; a command stands in for the password.
    const bool login = !edUser->text().trimmed().isEmpty();
    const bool command = !edPasswordCommand->toPlainText().trimmed().isEmpty();
    for (QWidget *w : std::initializer_list<QWidget *>{comboAuthentication, edPasswordCommand, lblPasswordState})
        w->setEnabled(login);
    edPassword->setEnabled(login && !command);
    cbRemember->setEnabled(login && !command);
    int state = TextId::PasswordAskedPerRun;
    if (command)
        state = TextId::PasswordFromCommand;
    else if (cbRemember->isChecked() && keyring == TKeyringState::Stored)
        state = TextId::PasswordInKeyring;
    else if (cbRemember->isChecked() && keyring == TKeyringState::NoKeyring)
        state = TextId::PasswordNoKeyring;
    else if (cbRemember->isChecked())
        state = TextId::PasswordNotStoredYet;
    lblPasswordState->setText(Text(state));
    lblCertificate->setText(trusted.isEmpty() ? Text(TextId::NoTrustedCertificate) : trusted);
    btnForgetCertificate->setEnabled(!trusted.isEmpty());
}

TSecureSettings TSecurityDialog::Settings() const
{
    TSecureSettings s;
    s.Security = comboSecurity->currentIndex();
    s.User = edUser->text().trimmed();
    s.Authentication = comboAuthentication->currentIndex();
    // One line: a line break would be a second command run unseen.
    s.PasswordCommand = edPasswordCommand->toPlainText().replace(QLatin1Char('\n'), QLatin1Char(' ')).trimmed();
    s.RememberPassword = cbRemember->isChecked();
    s.TrustedCertificate = trusted;
    return s;
}

QString TSecurityDialog::Password() const
{
    return edPassword->isEnabled() ? edPassword->text() : QString();
}
