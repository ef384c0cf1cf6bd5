// The main window's own commands: the About text, links, context menus, context help,
// label clicks, the keyboard, the sender mode switch and closing.
#include "MainForm.h"

#include "AppHelp.h"
#include "ComDialogs.h"
#include "Desktop.h"
#include "Global.h"
#include "Language.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QToolButton>

void TMainForm::BuildAboutText()
{
    const QString first = Format("%s version %s.%s %s", "Sendorix", VersionMajor, VersionMinor, "");
    RussianAbout = AboutText(first, true);
    EnglishAbout = AboutText(first, false);
}

// The About page in one language: the version line, the contacts and the thanks.
QStringList TMainForm::AboutText(const QString &first, bool russian)
{
    QStringList lines = {
        first,
        QString(),
        QStringLiteral("===="),
        TextIn(russian, TextId::AboutCopyright),
        TextIn(russian, TextId::AboutContacts, SupportAddress),
        QStringLiteral("Home page : ") + HomePage,
        QStringLiteral("===="),
        QString(),
    };
    lines << TextIn(russian, TextId::AboutThanks).split(QLatin1Char('\n'));
    lines << QString() << TextIn(russian, TextId::AboutFarewell);
    return lines;
}

void TMainForm::ShowFilesPerMessage()
{
    // With the archiver the series is cut by size, not by files: the size spin takes the
    // place of the files-per-message spin.
    const bool zip = cbUseZip->isChecked();
    spinOneMessageSize->setVisible(zip);
    Label16->setVisible(zip);
    spinFilesInMessage->setVisible(!zip);
    Label9->setVisible(!zip);
}

void TMainForm::FocusControlSelect(QObject *Sender)
{
    const std::pair<QObject *, QWidget *> fields[] = {
        {Label1, edtTo},     {Label2, edtSubject},    {Label9, spinFilesInMessage},
        {Label3, edSMTPName}, {Label10, edPort},      {Label4, edAccount},
        {Label8, edtName},   {Label7, edtReplyTo},    {Label5, comboEncoding},
    };
    for (const auto &[label, field] : fields)
        if (label == Sender) {
            field->setFocus(Qt::MouseFocusReason);
            return;
        }
}

void TMainForm::PageControlChange()
{
    SetHelpContext(PageControl, OwnHelpContext(PageControl->currentWidget()));
}

void TMainForm::ShowContextHelp()
{
    QWidget *focused = QApplication::focusWidget();
    if (!focused || focused->window() != this)
        focused = focusWidget();   // the window's own focus, also while it is not active
    if (!focused)
        focused = this;
    OpenHelp(HelpContextOf(focused));
}

bool TMainForm::OpenHelp(int context)
{
    // A missing manual says where it was looked for.
    return ShowHelpContext(context, HelpFile);
}

void TMainForm::lblEmailClick()
{
    DocumentOpener(QStringLiteral("mailto:") + SupportAddress);
}

void TMainForm::lblURLClick()
{
    DocumentOpener(HomePage);
}

void TMainForm::btnLatestNewsClick()
{
    DocumentOpener(NewsPage);
}

void TMainForm::lblEmailPopupMenuItemCopyClick()
{
    QGuiApplication::clipboard()->setText(lblEmail->text());
}

void TMainForm::lblURLPopupMenuItemCopyClick()
{
    QGuiApplication::clipboard()->setText(lblURL->text());
}

void TMainForm::lblPopupMenuGetItemParams(QAction *item)
{
    QFont f = item->font();
    f.setBold(item->data().toInt() == 1);
    item->setFont(f);
}

void TMainForm::AdvertPopupMenuGetItemParams(QAction *item)
{
    QFont f = item->font();
    f.setBold(true);
    item->setFont(f);
}

void TMainForm::btnCloseClick()
{
    close();
}

void TMainForm::btnCancelClick()
{
    // The first Cancel lets the message being transferred complete (its end of data answered);
    // a second one, or one while the job connects, encodes a file or waits for the server,
    // stops at once.
    if (Job)
        Job->CancelPressed();
    Cancelled = true;
}

void TMainForm::comboLanguageChange()
{
    RunGuarded(this, [this] { SetLanguage(); });
}

void TMainForm::cbUseZipClick()
{
    ShowFilesPerMessage();
}

void TMainForm::btnMailClick()
{
    SetSenderMode(true);
}

void TMainForm::btnNewsClick()
{
    SetSenderMode(false);
}

bool TMainForm::IsMailMode() const
{
    return btnMail->isChecked();
}

void TMainForm::SetSenderMode(bool mail)
{
    (mail ? btnMail : btnNews)->setChecked(true);
    SMTPPanel->setVisible(mail);
    NNTPPanel->setVisible(!mail);
    SetHelpContext(TabSheet4, OwnHelpContext(mail ? SMTPPanel : NNTPPanel));
    PageControlChange();
}

void TMainForm::OnSettingsChange()
{
    SettingsChanged = true;
}

void TMainForm::FormCloseQuery(bool &CanClose)
{
    CanClose = true;
    if (!SettingsChanged)
        return;
    const int answer = ComMessageDlg(Msg(TextId::SaveSenderSettings), mtConfirmation, {mbYes, mbNo, mbCancel}, 0);
    if (answer == mrYes)
        CanClose = SaveProfileAs();
    else
        CanClose = answer == mrNo;   // Cancel, or a box closed without an answer, keeps the window open
}

void TMainForm::FormClose()
{
    for (QComboBox *box : {edtTo, edtCC, edBCC, edtSubject, edSMTPName, edtName, edtReplyTo, edTempDir})
        AddToHistory(box);
    WriteSettings(SettingsFile);
}

void TMainForm::closeEvent(QCloseEvent *e)
{
    bool canClose = true;
    // A failed profile save keeps the window open: nothing the user asked to keep is lost.
    if (!RunGuarded(this, [&] { FormCloseQuery(canClose); }) || !canClose) {
        e->ignore();
        return;
    }
    // A settings file that cannot be written is reported, and the window still closes, so the
    // user is never locked in.
    RunGuarded(this, [this] { FormClose(); });
    e->accept();
}

void TMainForm::keyPressEvent(QKeyEvent *e)
{
    // Keys no field wanted: Enter sends (the window's default command), Esc cancels a send.
    if (e->modifiers() == Qt::NoModifier || e->modifiers() == Qt::KeypadModifier) {
        if (e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) {
            if (btnSend->isEnabled() && btnSend->isVisible()) {
                btnSend->click();
                return;
            }
        } else if (e->key() == Qt::Key_Escape) {
            if (btnCancel->isEnabled() && btnCancel->isVisible()) {
                btnCancel->click();
                return;
            }
        }
    }
    QWidget::keyPressEvent(e);
}

bool TMainForm::eventFilter(QObject *watched, QEvent *e)
{
    if (e->type() == QEvent::MouseButtonRelease
        && static_cast<QMouseEvent *>(e)->button() == Qt::LeftButton)
        FocusControlSelect(watched);
    return QWidget::eventFilter(watched, e);
}
