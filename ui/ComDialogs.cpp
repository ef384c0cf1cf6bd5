#include "ComDialogs.h"

#include "AppHelp.h"
#include "Global.h"
#include "Strings.h"

#include <QApplication>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTimer>

#include <algorithm>
#include <deque>

namespace {

const TMsgDlgButtonInfo buttonInfos[MsgDlgButtonCount] = {
    {"Yes", mrYes, TextId::ButtonYes},
    {"No", mrNo, TextId::ButtonNo},
    {"OK", mrOk, TextId::ButtonOk},
    {"Cancel", mrCancel, TextId::Cancel},
    {"Abort", mrAbort, TextId::ButtonAbort},
    {"Retry", mrRetry, TextId::ButtonRetry},
    {"Ignore", mrIgnore, TextId::ButtonIgnore},
    {"All", mrAll, TextId::ButtonAll},
    {"NoToAll", mrNoToAll, TextId::ButtonNoToAll},
    {"YesToAll", mrYesToAll, TextId::ButtonYesToAll},
    {"Help", mrNone, TextId::ButtonHelp},
};

struct TypeInfo
{
    int Title;   // string table message (TextId); 0: none
    QStyle::StandardPixmap Icon;
    bool HasIcon;
};

const TypeInfo typeInfos[] = {
    {TextId::TitleWarning, QStyle::SP_MessageBoxWarning, true},
    {TextId::TitleError, QStyle::SP_MessageBoxCritical, true},
    {TextId::TitleInformation, QStyle::SP_MessageBoxInformation, true},
    {TextId::TitleConfirm, QStyle::SP_MessageBoxQuestion, true},
    {0, QStyle::SP_MessageBoxInformation, false},
};

// A type's title in the language LanguageHook chooses.
QString typeTitle(const TypeInfo &info)
{
    return info.Title != 0 ? TextIn(HookSaysRussian(), info.Title) : QString();
}

const TypeInfo &typeInfo(TMsgDlgType type)
{
    const int i = std::clamp(static_cast<int>(type), 0, static_cast<int>(mtCustom));
    return typeInfos[i];
}

// Dialog units to pixels, as the platform's stock message dialog lays itself out.
int dluX(int units, int averageWidth) { return units * averageWidth / 4; }
int dluY(int units, int averageHeight) { return units * averageHeight / 8; }

// ---- test hook state ----
std::deque<int> &answers()
{
    static std::deque<int> q;
    return q;
}
QList<TShownMessageDlg> &shownLog()
{
    static QList<TShownMessageDlg> log;
    return log;
}
bool refuseUnanswered = false;

void record(const TShownMessageDlg &entry)
{
    auto &log = shownLog();
    if (log.size() >= 100)  // nobody is reading it outside tests; keep it bounded
        log.removeFirst();
    log.append(entry);
}

// Answers a box from the test queue; false when it is to be shown for real.
bool answerFromHook(TShownMessageDlg &entry)
{
    if (!answers().empty()) {
        entry.Result = answers().front();
        answers().pop_front();
        record(entry);
        return true;
    }
    if (refuseUnanswered) {
        entry.Result = mrCancel;
        entry.Unanswered = true;
        record(entry);
        return true;
    }
    return false;
}

// The program's title ("Sendorix 1.03") once the main window has set it; the toolkit's
// application name before that.
QString applicationTitle()
{
    const QString title = qApp != nullptr ? qApp->property("applicationTitle").toString() : QString();
    return title.isEmpty() ? QGuiApplication::applicationDisplayName() : title;
}

QWidget *ownerWindow()
{
    if (QWidget *w = QApplication::activeModalWidget())
        return w;
    return QApplication::activeWindow();
}

}  // namespace

const TMsgDlgButtonInfo &MsgDlgButtonInfo(TMsgDlgBtn button)
{
    const int i = std::clamp(static_cast<int>(button), 0, MsgDlgButtonCount - 1);
    return buttonInfos[i];
}

QString MsgDlgTitle(TMsgDlgType type)
{
    if (type == mtCustom)
        return applicationTitle();
    return typeTitle(typeInfo(type));
}

// ---- TMessageForm -------------------------------------------------------------------------

TMessageForm::TMessageForm(QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                          | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint)
{
    setFont(QApplication::font("QMessageBox"));
}

QPushButton *TMessageForm::Button(TMsgDlgBtn button) const
{
    return findChild<QPushButton *>(QString::fromLatin1(MsgDlgButtonInfo(button).Name),
                                    Qt::FindDirectChildrenOnly);
}

void TMessageForm::reject()
{
    done(mrCancel);
}

void TMessageForm::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        event->accept();
        if (m_cancel != nullptr)
            m_cancel->click();
        else
            reject();
        return;
    }
    if (event->key() == Qt::Key_F1 && event->modifiers() == Qt::NoModifier) {
        event->accept();
        ShowHelpContext(HelpContext, HelpFile);
        return;
    }
    QDialog::keyPressEvent(event);
}

// ---- building -----------------------------------------------------------------------------

// The buttons of the set in their fixed order, captioned in the interface language, each
// ending the box with its modal result (Help opens the box's help instead).
static QList<QPushButton *> MakeButtons(TMessageForm *f, TMsgDlgButtons buttons, QPushButton *&defaultOut,
                                        QPushButton *&cancelOut)
{
    QList<QPushButton *> created;
    const bool russian = HookSaysRussian();
    const TMsgDlgBtn defaultButton = buttons.Contains(mbOK)    ? mbOK
                                     : buttons.Contains(mbYes) ? mbYes
                                                               : mbRetry;
    const TMsgDlgBtn cancelButton = buttons.Contains(mbCancel) ? mbCancel
                                    : buttons.Contains(mbNo)   ? mbNo
                                                               : mbOK;
    for (int k = 0; k < MsgDlgButtonCount; ++k) {
        const auto b = static_cast<TMsgDlgBtn>(k);
        if (!buttons.Contains(b))
            continue;
        const TMsgDlgButtonInfo &bi = buttonInfos[k];
        auto *button = new QPushButton(TextIn(russian, bi.Caption), f);
        button->setObjectName(QString::fromLatin1(bi.Name));
        button->setProperty("modalResult", bi.ModalResult);
        if (b == defaultButton) {
            button->setDefault(true);
            defaultOut = button;
        }
        if (b == cancelButton)
            cancelOut = button;
        const int result = bi.ModalResult;
        if (result != mrNone) {
            QObject::connect(button, &QPushButton::clicked, f, [f, result] { f->done(result); });
        } else {
            QObject::connect(button, &QPushButton::clicked, f,
                             [f] { ShowHelpContext(f->HelpContext, f->HelpFile); });
        }
        created.append(button);
    }
    return created;
}

std::unique_ptr<TMessageForm> ComCreateMessageDialog(const QString &text, TMsgDlgType type,
                                                     TMsgDlgButtons buttons)
{
    auto form = std::make_unique<TMessageForm>(ownerWindow());
    TMessageForm *f = form.get();
    const TypeInfo &info = typeInfo(type);

    const QFontMetrics fm(f->font());
    const int averageWidth =
        std::max(1, fm.horizontalAdvance(QStringLiteral(
                        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) / 52);
    const int averageHeight = std::max(1, fm.height());
    const int horzMargin = dluX(8, averageWidth);
    const int vertMargin = dluY(8, averageHeight);
    const int horzSpacing = dluX(10, averageWidth);
    const int vertSpacing = dluY(10, averageHeight);
    const int minButtonWidth = dluX(50, averageWidth);
    const int minButtonHeight = dluY(14, averageHeight);
    const int buttonSpacing = dluX(4, averageWidth);

    QScreen *screen = f->parentWidget() != nullptr ? f->parentWidget()->screen()
                                                   : QGuiApplication::primaryScreen();
    const QRect screenRect = screen != nullptr ? screen->availableGeometry() : QRect(0, 0, 1024, 768);

    // The text wraps within half the screen's width.
    auto *message = new QLabel(f);
    message->setObjectName(QStringLiteral("Message"));
    message->setTextFormat(Qt::PlainText);
    message->setWordWrap(true);
    message->setText(text);
    message->setTextInteractionFlags(Qt::TextSelectableByMouse);
    const QRect textRect = fm.boundingRect(QRect(0, 0, screenRect.width() / 2, 0),
                                           Qt::TextWordWrap | Qt::TextExpandTabs, text);
    const int textWidth = std::max(textRect.width(), 1);
    // The label's own line breaking decides the height it needs at that width.
    const int textHeight = std::max(textRect.height(), message->heightForWidth(textWidth));

    int blockWidth = textWidth;
    int blockHeight = textHeight;
    if (info.HasIcon) {
        blockWidth = textWidth + 32 + horzSpacing;
        blockHeight = std::max(textHeight, 32);
    }

    // Buttons are at least the stock width; wider where a caption needs it in this font.
    const QList<QPushButton *> created = MakeButtons(f, buttons, f->m_default, f->m_cancel);
    int buttonHeight = minButtonHeight;
    for (const QPushButton *button : created)
        buttonHeight = std::max(buttonHeight, button->sizeHint().height());
    int rowWidth = 0;
    for (QPushButton *button : created)
        rowWidth += std::max(minButtonWidth, button->sizeHint().width());
    if (!created.isEmpty())
        rowWidth += (created.size() - 1) * buttonSpacing;

    const int clientWidth = std::max(blockWidth, rowWidth) + 2 * horzMargin;
    const int clientHeight = blockHeight + vertSpacing + buttonHeight + 2 * vertMargin;
    f->setFixedSize(clientWidth, clientHeight);

    if (type == mtCustom)
        f->setWindowTitle(applicationTitle());
    else
        f->setWindowTitle(typeTitle(info));

    if (info.HasIcon) {
        auto *image = new QLabel(f);
        image->setObjectName(QStringLiteral("Image"));
        image->setPixmap(f->style()->standardIcon(info.Icon, nullptr, f).pixmap(32, 32));
        image->setGeometry(horzMargin, vertMargin, 32, 32);
    }
    message->setGeometry(blockWidth - textWidth + horzMargin, vertMargin, textWidth, textHeight);

    int left = (clientWidth - rowWidth) / 2;
    const int top = blockHeight + vertMargin + vertSpacing;
    for (QPushButton *button : created) {
        const int width = std::max(minButtonWidth, button->sizeHint().width());
        button->setGeometry(left, top, width, buttonHeight);
        left += width + buttonSpacing;
    }

    if (f->m_default != nullptr)
        f->m_default->setFocus();
    else if (!created.isEmpty())
        created.first()->setFocus();

    f->move(screenRect.x() + screenRect.width() / 2 - clientWidth / 2,
            screenRect.y() + screenRect.height() / 2 - clientHeight / 2);
    return form;
}

int ComMessageDlgPosHelp(const QString &message, TMsgDlgType type, TMsgDlgButtons buttons,
                         int helpContext, int x, int y, const QString &helpFileName)
{
    // Boxes quote file names, server texts and commands: a control character among them must
    // neither vanish nor rearrange what the user reads.
    const QString text = VisibleText(message, true);
    std::unique_ptr<TMessageForm> form = ComCreateMessageDialog(text, type, buttons);
    form->HelpContext = helpContext;
    form->HelpFile = helpFileName;
    if (x >= 0)
        form->move(x, form->y());
    if (y >= 0)
        form->move(form->x(), y);

    TShownMessageDlg entry;
    entry.Title = form->windowTitle();
    entry.Text = text;
    entry.DlgType = type;
    entry.Buttons = buttons;
    entry.HelpContext = helpContext;
    if (answerFromHook(entry))
        return entry.Result;

    QPointer<TMessageForm> alive(form.get());
    const int result = form->exec();
    if (alive.isNull()) {
        // Its owner window went away while it was open and took the box with it.
        (void)form.release();
        return mrCancel;
    }
    entry.Result = result;
    record(entry);
    return result;
}

int ComMessageDlg(const QString &text, TMsgDlgType type, TMsgDlgButtons buttons,
                  int helpContext)
{
    return ComMessageDlgPosHelp(text, type, buttons, helpContext, -1, -1, QString());
}

void ShowApplicationError(QWidget *parent, const QString &text)
{
    const QString message = VisibleText(text, true);
    TShownMessageDlg entry;
    entry.Title = applicationTitle();
    entry.Text = message;
    entry.DlgType = mtError;
    entry.Buttons = {mbOK};
    entry.ApplicationError = true;
    if (answerFromHook(entry))
        return;
    auto box = std::make_unique<QMessageBox>(QMessageBox::Critical, entry.Title, message,
                                             QMessageBox::Ok,
                                             parent != nullptr ? parent : ownerWindow());
    box->setTextFormat(Qt::PlainText);   // messages carry file names and server texts
    QPointer<QMessageBox> alive(box.get());
    const int result = box->exec();
    if (alive.isNull()) {
        (void)box.release();  // destroyed with its owner window
        return;
    }
    entry.Result = result == QMessageBox::Ok ? mrOk : mrCancel;
    record(entry);
}

// ---- test hook ----------------------------------------------------------------------------

namespace {

void clickWhenShown(TMsgDlgBtn button, int triesLeft)
{
    auto *form = qobject_cast<TMessageForm *>(QApplication::activeModalWidget());
    if (form != nullptr && form->isVisible()) {
        if (QPushButton *b = form->Button(button))
            b->click();
        else
            form->reject();  // not a button of this box: close it rather than hang the test
        return;
    }
    if (triesLeft > 0)
        QTimer::singleShot(10, [button, triesLeft] { clickWhenShown(button, triesLeft - 1); });
}

}  // namespace

namespace ComDialogsTest {

void QueueAnswer(int modalResult)
{
    answers().push_back(modalResult);
}

int PendingAnswers()
{
    return static_cast<int>(answers().size());
}

void SetRefuseUnanswered(bool refuse)
{
    refuseUnanswered = refuse;
}

QList<TShownMessageDlg> TakeLog()
{
    QList<TShownMessageDlg> log;
    log.swap(shownLog());
    return log;
}

void ClickInNextShownBox(TMsgDlgBtn button)
{
    // The box may open a few events later (a command can pump events first): look again every
    // 10 ms, for at most five seconds.
    QTimer::singleShot(0, [button] { clickWhenShown(button, 500); });
}

void Reset()
{
    answers().clear();
    shownLog().clear();
    refuseUnanswered = false;
}

}  // namespace ComDialogsTest
