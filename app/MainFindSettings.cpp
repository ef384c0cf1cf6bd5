// Finding the server from the sender address: the Find settings button on the sender page, the
// offer made once when the user leaves From with the server field empty, and filling in what
// the user accepted (optionally saved as a profile named after the domain).
#include "MainForm.h"

#include "ComDialogs.h"
#include "Desktop.h"
#include "FindSettingsDialog.h"
#include "Global.h"
#include "Language.h"
#include "Profiles.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QFocusEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

namespace {

// Leaving From for another control of the window (not switching to another window or opening
// a menu) may bring the offer.
class TFromFieldWatcher : public QObject {
public:
    explicit TFromFieldWatcher(TMainForm *form) : QObject(form), Form(form) {}

protected:
    bool eventFilter(QObject *watched, QEvent *e) override
    {
        if (e->type() == QEvent::FocusOut) {
            const Qt::FocusReason reason = static_cast<QFocusEvent *>(e)->reason();
            if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason
                && reason != Qt::MenuBarFocusReason) {
                // Not from inside the focus change: the offer may open a box.
                QTimer::singleShot(0, Form, [form = Form] { form->OfferFindSettings(); });
            }
        }
        return QObject::eventFilter(watched, e);
    }

private:
    TMainForm *Form;
};

}  // namespace

void TMainForm::SetUpFindSettings()
{
    btnFindSettings = new QPushButton(SMTPPanel);
    btnFindSettings->setObjectName(QStringLiteral("btnFindSettings"));
    btnFindSettings->setAutoDefault(true);
    SetHelpContext(btnFindSettings, TFindSettingsDialog::HelpContext);
    connect(btnFindSettings, &QPushButton::clicked, this, [this] { RunGuarded(this, [this] { btnFindSettingsClick(); }); });
    edAccount->installEventFilter(new TFromFieldWatcher(this));
}

void TMainForm::FindSettingsTexts()
{
    btnFindSettings->setText(Text(TextId::FindSettingsButton));
    btnFindSettings->setToolTip(Text(TextId::FindSettingsHint));
}

void TMainForm::btnFindSettingsClick()
{
    const std::optional<TMailAddress> address = ParseMailAddress(edAccount->text());
    if (!address)
        ShowErrorTextAndAbort(Text(TextId::FindSettingsNeedsFrom), edAccount);
    RunFindSettings(*address);
}

void TMainForm::OfferFindSettings()
{
    if (FindSettingsOffered || SendJobRunning() || !IsMailMode() || !isVisible())
        return;
    if (!edSMTPName->currentText().trimmed().isEmpty() || QApplication::activeModalWidget())
        return;
    const std::optional<TMailAddress> address = ParseMailAddress(edAccount->text());
    if (!address)
        return;
    FindSettingsOffered = true;   // asked once per run, whatever the answer
    const QString question = Text(TextId::OfferFindSettings, address->Domain);
    if (ComMessageDlg(question, mtConfirmation, {mbYes, mbNo}, 0) != mrYes)
        return;
    RunGuarded(this, [this, &address] { RunFindSettings(*address); });
}

void TMainForm::RunFindSettings(const TMailAddress &address)
{
    TFindSettingsDialog dialog(this, address, IsRussian(), DocumentOpener);
    dialog.StartLookup();
    if (dialog.exec() != QDialog::Accepted)
        return;
    const std::optional<TFoundSettings> proposal = dialog.Proposal();
    if (!proposal)
        return;
    ApplyFoundSettings(*proposal);
    if (dialog.SaveAsProfile())
        SaveFoundProfile(address.Domain);
}

void TMainForm::ApplyFoundSettings(const TFoundSettings &found)
{
    // The port field holds four digits; a longer port is said, and nothing changes.
    if (found.Port > 9999)
        ShowErrorTextAndAbort(Text(TextId::FoundPortTooLong, found.Port), edPort);
    const bool otherServer = edSMTPName->currentText().trimmed().compare(found.Host, Qt::CaseInsensitive) != 0;
    edSMTPName->setEditText(found.Host);
    edPort->setText(PortFieldText(QString::number(found.Port)));
    Secure.Security = found.Security;
    Secure.User = found.User;
    if (found.OAuth2)
        Secure.Authentication = 3;
    else if (Secure.Authentication == 3)
        Secure.Authentication = 0;
    // A certificate trusted for another server says nothing about this one.
    if (otherServer)
        Secure.TrustedCertificate.clear();
    SettingsChanged = true;
}

void TMainForm::SaveFoundProfile(const QString &domain)
{
    QString folder = InitialDir(SaveConfigDialog);
    if (folder.isEmpty())
        folder = SettingsFolder();   // where profiles live by default
    const QString path = QDir(folder).filePath(domain + QLatin1String(SMTPProfileExtension));
    if (QFileInfo::exists(path)
        && ComMessageDlg(Text(TextId::ReplaceProfile, QDir::toNativeSeparators(path)), mtConfirmation, {mbYes, mbNo}, 0)
               != mrYes)
        return;
    // The profile path of the sender page; a failed write is shown and changes nothing.
    SaveSMTPProfile(path);
    SettingsChanged = false;
}
