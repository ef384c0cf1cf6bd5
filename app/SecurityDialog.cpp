#include "SecurityDialog.h"

#include "AppHelp.h"
#include "Global.h"
#include "Language.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QAbstractTextDocumentLayout>
#include <QTextEdit>

#include <algorithm>
#include <cmath>
#include <QPushButton>
#include <QVBoxLayout>

QString ProposedPort(int security, const QString &port)
{
    if (port.trimmed() != QLatin1String("25"))
        return port;
    switch (security) {
    case 1:
        return QStringLiteral("587");
    case 2:
        return QStringLiteral("465");
    default:
        return port;
    }
}

TSecurityDialog::TSecurityDialog(QWidget *parent, const TSecureSettings &settings, const QString &port)
    : QDialog(parent), port(port), trusted(settings.TrustedCertificate)
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
    edPassword->setPlaceholderText(settings.RememberPassword ? Text(TextId::InTheKeyring) : QString());
    cbRemember = new QCheckBox(Text(TextId::RememberPassword), this);
    cbRemember->setObjectName(QStringLiteral("cbRemember"));
    cbRemember->setChecked(settings.RememberPassword);
    comboAuthentication = new QComboBox(this);
    comboAuthentication->setObjectName(QStringLiteral("comboAuthentication"));
    comboAuthentication->addItems({Text(TextId::AuthenticationAutomatic), QStringLiteral("PLAIN"),
                                   QStringLiteral("LOGIN"), Text(TextId::AuthenticationOAuth2)});
    comboAuthentication->setCurrentIndex(settings.Authentication);
    // Shown whole, however long: it is a program that will run with the user's rights.
    edPasswordCommand = new QTextEdit(this);
    edPasswordCommand->setObjectName(QStringLiteral("edPasswordCommand"));
    edPasswordCommand->setAcceptRichText(false);
    edPasswordCommand->setWordWrapMode(QTextOption::WrapAnywhere);
    edPasswordCommand->setTabChangesFocus(true);
    edPasswordCommand->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    // As tall as the command needs, up to eight lines.
    connect(edPasswordCommand->document()->documentLayout(), &QAbstractTextDocumentLayout::documentSizeChanged, this,
            [this](const QSizeF &size) {
                const int line = edPasswordCommand->fontMetrics().lineSpacing();
                const int frame = 2 * edPasswordCommand->frameWidth();
                edPasswordCommand->setFixedHeight(std::clamp(int(std::ceil(size.height())), line, 8 * line) + frame);
            });
    edPasswordCommand->setPlainText(settings.PasswordCommand);
    edPasswordCommand->setToolTip(Text(TextId::PasswordCommandHint));

    auto *passwordRow = new QHBoxLayout;
    passwordRow->addWidget(edPassword, 1);
    passwordRow->addWidget(cbRemember);
    auto *form = new QFormLayout;
    form->addRow(Text(TextId::SecurityLabel), comboSecurity);
    form->addRow(Text(TextId::UserNameLabel), edUser);
    form->addRow(Text(TextId::PasswordLabel), passwordRow);
    form->addRow(Text(TextId::AuthenticationLabel), comboAuthentication);
    form->addRow(Text(TextId::PasswordCommandLabel), edPasswordCommand);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setText(Text(TextId::SecurityOk));
    buttons->button(QDialogButtonBox::Cancel)->setText(Text(TextId::Cancel));
    auto *all = new QVBoxLayout(this);
    all->addLayout(form);
    all->addWidget(buttons);
    // The dialog follows its contents (the command field grows with the command).
    all->setSizeConstraint(QLayout::SetFixedSize);
    edUser->setMinimumWidth(fontMetrics().horizontalAdvance(QLatin1Char('x')) * 40);

    connect(comboSecurity, &QComboBox::currentIndexChanged, this,
            [this](int index) { this->port = ProposedPort(index, this->port); });
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
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
    return edPassword->text();
}
