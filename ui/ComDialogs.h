// The program's own message box. Unlike a stock box, its title and button captions follow the
// interface language (asked through LanguageHook when the box is built).
#pragma once

#include <QDialog>
#include <QList>
#include <QString>

#include <initializer_list>
#include <memory>

class QPushButton;

enum TMsgDlgType { mtWarning, mtError, mtInformation, mtConfirmation, mtCustom };

// In this order; as a set, button k is bit k ([OK] is 4, [Yes, No] is 3, [OK, Help] is 1028).
enum TMsgDlgBtn {
    mbYes, mbNo, mbOK, mbCancel, mbAbort, mbRetry, mbIgnore, mbAll, mbNoToAll, mbYesToAll, mbHelp
};
constexpr int MsgDlgButtonCount = 11;

// Modal results of the buttons (0: none, the box stays open).
enum TModalResult {
    mrNone = 0, mrOk = 1, mrCancel = 2, mrAbort = 3, mrRetry = 4, mrIgnore = 5,
    mrYes = 6, mrNo = 7, mrAll = 8, mrNoToAll = 9, mrYesToAll = 10
};

// A set of buttons: ComMessageDlg(text, mtConfirmation, {mbYes, mbNo}, 0).
class TMsgDlgButtons
{
public:
    constexpr TMsgDlgButtons() = default;
    constexpr TMsgDlgButtons(std::initializer_list<TMsgDlgBtn> buttons)
    {
        for (TMsgDlgBtn b : buttons)
            m_bits |= 1u << b;
    }
    static constexpr TMsgDlgButtons FromBits(unsigned bits)
    {
        TMsgDlgButtons set;
        set.m_bits = bits & ((1u << MsgDlgButtonCount) - 1);
        return set;
    }
    constexpr bool Contains(TMsgDlgBtn b) const { return (m_bits >> b) & 1u; }
    constexpr unsigned Bits() const { return m_bits; }
    constexpr int Count() const
    {
        int n = 0;
        for (int k = 0; k < MsgDlgButtonCount; ++k)
            n += (m_bits >> k) & 1u;
        return n;
    }
    constexpr bool operator==(const TMsgDlgButtons &) const = default;

private:
    unsigned m_bits = 0;
};

// Name, result and caption of a button (the name is also the created button's objectName).
struct TMsgDlgButtonInfo
{
    const char *Name;
    int ModalResult;
    int Caption;   // string table message (TextId)
};
const TMsgDlgButtonInfo &MsgDlgButtonInfo(TMsgDlgBtn button);
// The title of a dialog type in the language LanguageHook chooses (the application's display
// name for mtCustom).
QString MsgDlgTitle(TMsgDlgType type);

class TMessageForm;
// Builds the dialog (not shown). Centred on the screen.
std::unique_ptr<TMessageForm> ComCreateMessageDialog(const QString &text, TMsgDlgType type,
                                                     TMsgDlgButtons buttons);

// The dialog form. Buttons are named "Yes", "No", "OK", ... ; the icon label is "Image" and
// the text label "Message", so tests and callers can find them by name.
class TMessageForm : public QDialog
{
    Q_OBJECT
public:
    explicit TMessageForm(QWidget *parent = nullptr);

    int HelpContext = 0;
    QString HelpFile;  // empty: the application's help file

    QPushButton *DefaultButton() const { return m_default; }
    QPushButton *CancelButton() const { return m_cancel; }
    QPushButton *Button(TMsgDlgBtn button) const;

public slots:
    // The close box (and Esc without a cancel button) gives 2, not 0.
    void reject() override;

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    friend std::unique_ptr<TMessageForm> ComCreateMessageDialog(const QString &, TMsgDlgType,
                                                                TMsgDlgButtons);
    QPushButton *m_default = nullptr;
    QPushButton *m_cancel = nullptr;
};

// Shows a box modally and returns the pressed button's modal result; Esc gives the cancel
// button's result, the close box 2. X and Y move the box's left/top edge when 0 or more.
int ComMessageDlgPosHelp(const QString &text, TMsgDlgType type, TMsgDlgButtons buttons,
                         int helpContext, int x, int y, const QString &helpFileName);
// What every caller uses: centred, the application's help file.
int ComMessageDlg(const QString &text, TMsgDlgType type, TMsgDlgButtons buttons,
                  int helpContext);

// The application's standard error box for exceptions that reach the top of a command: the
// exception's message, an error icon, OK, the application's display name as title.
void ShowApplicationError(QWidget *parent, const QString &message);

// ---- Test hook ----------------------------------------------------------------------------
// Window tests answer the program's boxes without a modal loop: queue the answers first, then
// drive the window. Each box (ComMessageDlg... and ShowApplicationError) is still built, is
// recorded, takes the next queued answer as its result and is never shown.
struct TShownMessageDlg
{
    QString Title;
    QString Text;
    TMsgDlgType DlgType = mtCustom;
    TMsgDlgButtons Buttons;
    int HelpContext = 0;
    int Result = 0;
    bool ApplicationError = false;  // shown by ShowApplicationError
    bool Unanswered = false;        // no answer was queued (see SetRefuseUnanswered)
};

namespace ComDialogsTest {
// The next box returns `modalResult` without being shown.
void QueueAnswer(int modalResult);
int PendingAnswers();
// With refusal on, a box with no queued answer is not shown either: it is recorded with
// Unanswered set and returns 2 (as if closed), so a forgotten answer cannot hang a test.
void SetRefuseUnanswered(bool refuse);
// Every box built since the last call, oldest first (shown or answered).
QList<TShownMessageDlg> TakeLog();
// The real path instead of the queue: waits (briefly, bounded) for the next box to be shown
// modally and clicks its `button` as a user would. Only for boxes shown for real, so do not
// queue an answer for the same box.
void ClickInNextShownBox(TMsgDlgBtn button);
// Clears answers and log, refusal off.
void Reset();
}  // namespace ComDialogsTest
