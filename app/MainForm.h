// The program's one window: recipients, text, files, protocol, sender, options and About
// pages, the Send/Cancel/Exit buttons, the language box, the status strip and the banner.
//
// The methods are spread over several files by concern:
//   MainForm.cpp         construction, layout, start-up
//   MainLanguage.cpp     SetLanguage, FillPriorityList, dialog filters
//   MainCommands.cpp     links, context help, menus, About text, closing
//   MainSettings.cpp     the settings file, input histories, dialog folders
//   MainProfiles.cpp     server profiles
//   MainFileDialogs.cpp  running the file dialogs, and their test hook
//   MainFiles.cpp        the file list
//   MainProtocol.cpp     protocol, status line, progress, the mail component's events
//   MainSend.cpp         the send job
//   MainBanner.cpp       the banner and the temporary folder's browse button
//   MainRecipients.cpp   the recipient fields' address book buttons
//   MainDesktop.cpp      files dropped or handed over, the Tab chain, icon, dialog sizes
//   MainFindSettings.cpp finding the server from the sender address
#pragma once

#include <QLabel>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QElapsedTimer>
#include <QFont>
#include <QFile>
#include <QMap>
#include <QWidget>
#include <array>
#include <functional>
#include <memory>

#include "FileDialogSlot.h"
#include "VokMsg.h"
#include "VokSMTP.h"
#include "SecurityDialog.h"
#include "SendJob.h"
#include "Settings.h"

#include <QMap>
#include <optional>

class QAction;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QFileDialog;
class QFrame;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QScrollArea;
class QSpinBox;
class QTabWidget;
class QTimer;
class QToolButton;
class TAdImage;
class TBrowseFolder;
class TMyStringGrid;
class TStripPainter;
struct TFoundSettings;
struct TMailAddress;

// Major and two-digit minor version texts, set when the window starts.
extern QString VersionMajor;
extern QString VersionMinor;
// The text the desktop shows for the running program (name and version, no trailing blank).
extern QString ApplicationTitle;

// Turns a filter of "description|pattern|description|pattern" pairs into name filters for
// QFileDialog. The pattern "*.*" becomes "*" so files without an extension are listed too.
QStringList DialogNameFilters(const QString &pairs);

// Help context numbers are kept on the widgets; 0 means "none, ask the parent".
void SetHelpContext(QWidget *w, int context);
int OwnHelpContext(const QWidget *w);
// The context of the widget or of the nearest enclosing widget that has one.
int HelpContextOf(const QWidget *w);

// A label that behaves as a link: blue, underlined, hand cursor, runs OnClick on a left click.
class TLinkLabel : public QLabel
{
public:
    explicit TLinkLabel(QWidget *parent = nullptr);
    std::function<void()> OnClick;

protected:
    void mousePressEvent(QMouseEvent *e) override;
    void mouseReleaseEvent(QMouseEvent *e) override;

private:
    bool Pressed = false;
};

// Whether a line of plain text fits a width in a widget's font, cheaply when it plainly does:
// the characters' advances are looked up once per font.
class TTextFit
{
public:
    TTextFit() { Advance.fill(-1); }
    bool Fits(const QWidget *w, const QString &text, int room);

private:
    QFont Font;
    std::array<int, 0x500> Advance;   // Latin and Cyrillic; -1: not looked up yet
};

class TMainForm : public QWidget
{
    Q_OBJECT
public:
    explicit TMainForm(QWidget *parent = nullptr);
    ~TMainForm() override;

    // The addresses behind the two links and the latest news button.
    static const QString SupportAddress;
    static const QString HomePage;
    static const QString NewsPage;

    // Where documents and links are opened; the desktop's opener unless a test replaces it
    // (the one the help uses too: ::DocumentOpener).
    static std::function<void(const QString &)> &DocumentOpener;

    // The design geometry is in the pixels of the original 8-point font; everything is
    // scaled by this factor so the larger default fonts of Linux desktops fit.
    double Scale = 1.0;
    int S(int px) const;

    // ---- fields other than controls
    QString SMTPConfigFile, NNTPConfigFile;
    bool Cancelled = false;
    bool SettingsChanged = false;
    QStringList RussianProtocol, EnglishProtocol;
    QStringList RussianAbout, EnglishAbout;
    TAdImage *Banner = nullptr;
    QString SettingsFile;   // the settings file path used at start-up and at close
    QString HelpFile;       // the manual of the current language (a name, found when opened)

    // ---- top-level controls
    QToolButton *btnMail, *btnNews;
    QButtonGroup *SenderModeGroup;
    QLabel *Label15;
    QTabWidget *PageControl;
    // The page tabs, in as many rows as the captions need (a single scrolling row would hide
    // some pages behind arrows); PageControl itself shows no tab bar.
    QWidget *PageTabs;
    QButtonGroup *PageTabGroup;
    QPushButton *btnSend, *btnCancel, *btnClose;
    QLabel *Label14;
    QComboBox *comboLanguage;
    QLabel *Label11, *Label13;
    TLinkLabel *lblEmail, *lblURL;
    QLabel *lbProgressInfo;
    QLabel *lblNumOfMessage;
    QProgressBar *ProgressBar;
    QFrame *Panel1;

    // ---- recipients page
    QWidget *TabSheet1;
    QLabel *Label1, *Label12, *Label22, *Label2, *Label20;
    QComboBox *edtTo, *edtCC, *edBCC, *edtSubject;
    QToolButton *btnAddressBookTo, *btnAddressBookCc, *btnAddressBookBcc;
    QCheckBox *cbAddPartNo, *cbAddFileName;
    QComboBox *comboPriority;

    // ---- message text page
    QWidget *TabSheet2;
    QPlainTextEdit *memoText;
    QCheckBox *cbTextOnlyInFirst;
    QToolButton *btnAddSign;

    // ---- files page
    QWidget *TabSheet3;
    TMyStringGrid *gridFiles;
    QToolButton *btnLoad, *btnDelete, *btnClear, *btnNoDuplicaties;
    QMenu *popupToSendFiles;
    QAction *piInsert, *piDelete, *piClear, *piNoDuplicates;
    QLabel *lblFilesCount;
    QLabel *Label9, *Label16;
    QSpinBox *spinFilesInMessage, *spinOneMessageSize;
    TFileDialogSlot FileDialog;

    // ---- protocol page
    QWidget *TabSheet5;
    QPlainTextEdit *memoProtocol;
    QPushButton *btnSaveLog;
    TFileDialogSlot SaveLogDialog;

    // ---- sender page
    QWidget *TabSheet4;
    QWidget *SMTPPanel, *NNTPPanel;
    QLabel *Label3, *Label10, *Label4, *Label8, *Label7, *Label5, *Label6;
    QComboBox *edSMTPName, *edtName, *edtReplyTo;
    QLineEdit *edPort, *edAccount;
    QComboBox *comboEncoding;
    QPushButton *btnSaveConfig, *btnLoadConfig;
    TFileDialogSlot SaveConfigDialog, LoadConfigDialog;

    // ---- parameters page
    QWidget *TabSheet7;
    QScrollArea *ScrollBox1;
    QWidget *ScrollContents;
    QFrame *BasicPanel, *ArcPanel;
    QLabel *Label21, *Label18, *Label17, *Label19;
    QCheckBox *cbJumpToProtocol, *cbUseMAPIAddresBook, *cbUseZip;
    QLabel *lblServerTimeout;
    QSpinBox *spinServerTimeout;   // seconds a server may keep silent
    QSpinBox *spinOneMessSizeDef;
    QComboBox *edTempDir;
    QToolButton *btnSelectTempDir;
    TBrowseFolder *BrowseFolder;   // chooses the temporary folder

    // ---- About page
    QWidget *TabSheet6;
    QPlainTextEdit *memoAbout;
    QPushButton *btnLatestNews;

    // ---- context menus
    QMenu *lblEmailPopupMenu, *lblURLPopupMenu, *AdvertPopupMenu;
    QAction *lblEmailPopupMenuItemOpen, *lblEmailPopupMenuItemCopy;
    QAction *lblURLPopupMenuItemOpen, *lblURLPopupMenuItemCopy;
    QAction *AdvertPopupMenuItemOpen;

    // ---- start-up and shut-down (MainForm.cpp, MainCommands.cpp)
    void FormCreate();
    void FormCloseQuery(bool &CanClose);
    void FormClose();
    void FormDestroy();

    // ---- language (MainLanguage.cpp)
    void SetLanguage();
    void FillPriorityList();
    QString Msg(int n) const;   // message n of the current language

    // ---- commands of the window (MainCommands.cpp)
    void BuildAboutText();
    static QStringList AboutText(const QString &first, bool russian);
    void ShowFilesPerMessage();
    void ShowJobProgress(int percent);
    void FocusControlSelect(QObject *Sender);
    void PageControlChange();
    void ShowContextHelp();
    bool OpenHelp(int context);
    void lblEmailClick();
    void lblURLClick();
    void btnLatestNewsClick();
    void lblEmailPopupMenuItemCopyClick();
    void lblURLPopupMenuItemCopyClick();
    void lblPopupMenuGetItemParams(QAction *item);
    void AdvertPopupMenuGetItemParams(QAction *item);
    void btnCloseClick();
    void btnCancelClick();   // see MainSend.cpp for what a first and a second Cancel do
    void comboLanguageChange();
    void cbUseZipClick();
    void btnMailClick();
    void btnNewsClick();
    bool IsMailMode() const;
    void SetSenderMode(bool mail);
    void OnSettingsChange();

    // ---- settings file and input histories (MainSettings.cpp)
    // The version the settings file was written by (1.1 when there was none), for the one-time
    // question about the system address book.
    int FileMajorVersion = 1;
    int FileMinorVersion = 1;
    void ReadSettings(const QString &path);
    void WriteSettings(const QString &path);
    void AddToHistory(QComboBox *box);
    void AddEditToHistory(QComboBox *box);
    // The exit handler of the eight history boxes (AddEditToHistory when the focus leaves one).
    void InstallHistoryHandlers();
    // The temporary folder box after ReadSettings: its newest entry, or the system's folder.
    void SetupTempDirBox();
    void AskWindowsAddressBook();
    void cbUseMAPIAddresBookClick();
    // The initial folder of a file dialog as the settings file keeps it; empty means the
    // dialog starts in the program's folder when it is next used.
    static QString InitialDir(const QFileDialog *dialog);
    static void SetInitialDir(QFileDialog *dialog, const QString &dir);
    // The same for a dialog that may not be made yet: its folder is kept until it is.
    static QString InitialDir(const TFileDialogSlot &slot);
    static void SetInitialDir(TFileDialogSlot &slot, const QString &dir);
    // Tests only: the settings file beside the program is read and written in this folder
    // instead (empty: the program's folder), so tests never touch the real one.
    static void SetSettingsFolderForTests(const QString &folder);
    // The file ReadSettings/WriteSettings really use for `path`.
    static QString SettingsIoPath(const QString &path);

    // ---- server profiles (MainProfiles.cpp)
    void LoadSMTPProfile(const QString &path);
    void LoadNNTPProfile(const QString &path);
    void SaveSMTPProfile(const QString &path);
    void SaveNNTPProfile(const QString &path);
    bool SaveProfileAs();
    void btnSaveConfigClick();
    void btnLoadConfigClick();

    // ---- file dialogs (MainFileDialogs.cpp)
    // Runs a file dialog (or takes the answer a test queued, see FileDialogsTest): the chosen
    // files, none when the user cancelled.
    static QStringList RunFileDialog(QFileDialog *dialog);
    // The same for a dialog that picks one file: true and that file on OK.
    static bool RunFileDialog(QFileDialog *dialog, QString &fileName);
    // Test hook of RunFileDialog: queued answers are taken in order and the dialog is never
    // shown; each run is logged with what the dialog was preset to.
    struct FileDialogsTest {
        struct TShown {
            QString Dialog;        // the dialog's object name
            QString Folder;        // its directory when run
            QString FileName;      // the preset file name
            QStringList Filters;   // its name filters
            QString DefaultSuffix;
            bool Accepted = false;
            bool Unanswered = false;   // nothing was queued and refusal was on: cancelled
        };
        static void QueueAnswer(const QString &fileName);        // OK with this file
        static void QueueAnswer(const QStringList &fileNames);   // OK with these; none: cancel
        static void QueueCancel();
        // With refusal on, a dialog with no queued answer is cancelled instead of shown.
        static void SetRefuseUnanswered(bool refuse);
        static QList<TShown> TakeLog();
        static void Reset();
    };

    // ---- file list (MainFiles.cpp)
    bool FileListEmpty() const;   // one row with an empty cell
    void AddFilesToList(const QStringList &paths);
    void UpdateFileListCommands();   // Delete/Clear/No duplicates and the count label
    void FilesToSend(QStringList &list);
    void btnLoadClick();
    void btnDeleteClick();
    void btnClearClick();
    void btnNoDuplicatiesClick();

    // ---- protocol, progress and the mail component's events (MainProtocol.cpp)
    // The one message record and the one SMTP client of the window's whole life.
    TVokMsg VokMsg;
    TVokSMTP VokSMTP;
    void SetUpMail();   // events, progress steps, the event-loop hook; once, at construction
    void ClearProtocol();
    void AddProtocolLine(const QString &russian, const QString &english);
    void AddProtocolText(const QString &text);
    void AppendToProtocolLine(const QString &russian, const QString &english);
    // The memo shows the protocol of the interface language; during a job it takes the lines
    // written since the last tick of the strip painter.
    void ProtocolChanged();
    void ShowProtocolLines();             // brings the memo up to date with the protocol
    void ShowWholeProtocol();             // the memo anew, in the interface language
    qsizetype ProtocolLinesShown = 0;     // protocol lines the memo holds
    bool ProtocolLastLineStale = false;   // the memo's last line was extended since shown
    void btnSaveLogClick();
    void VokSMTPEncodeStart(void *Sender, const std::string &FileName, int64_t BytesCount);
    void VokSMTPEncodeProgress(void *Sender, uint16_t Percent);
    void VokSMTPBeforeSend(void *Sender);
    void VokSMTPSendProgress(void *Sender, uint16_t Percent);
    void VokSMTPAfterSend(void *Sender);
    void VokSMTPError(void *Sender, int Error, const std::string &Msg);
    // The status line; a text too wide for it is shortened in the middle, in full as its tip.
    void ShowStatus(const QString &text);
    QString StatusText;   // the status line's whole text (the line may show it shortened)
    TTextFit StatusFit;
    void SetProgress(int percent);
    // Values that came in while the strip is paced; the next tick puts them into the widgets.
    int PendingProgress = -1;
    bool StatusPending = false;
    std::function<QString()> PendingStatusText;   // made only if a tick shows it
    void ShowPendingStrip();   // the strip painter's step before it paints
    void ShowStatusLater(std::function<QString()> text);
    void PutStatus(const QString &text);
    // While a job runs, the progress bar and status line take their latest value at each tick
    // (the counter takes every value at once), and they paint at a steady pace (about every
    // 33 ms) instead of on every event; off, as when idle, they take values at once and paint
    // as usual.
    TStripPainter *StripPainter = nullptr;
    void PaceStripPainting(bool on);
    bool StripPaced() const;
    void StripChanged(QWidget *changed);
    void PaintStripNow();   // before a step that may block for a while

    // ---- send job (MainSend.cpp): the window's side of TSendJob
    TSendJob *Job = nullptr;   // the job running inside btnSendClick, if any
    bool SendJobRunning() const { return Job != nullptr; }
    TJobState JobState() const { return Job ? Job->State() : TJobState::jsIdle; }
    bool CloseAfterJob = false;   // the window closes when the stopped job has ended
    bool AskingToStop = false;    // the question of AskToStopForClose is on the screen
    QObject *CloseBlocker = nullptr;
    void StopJob();
    // Closing the window while a job runs: asks whether to stop it, and stops it on Yes.
    void AskToStopForClose();
    void btnSendClick();
    bool CheckBeforeSend();
    void EnterSendState();
    void LeaveSendState();
    void RunSendJob();   // steps after the checks; the window is unlocked on every way out
    // What the job needs of the window, taken when Send is clicked.
    TSendRequest SendRequest();
    void ShowCounter(const QString &text);          // the message counter, kept whole however long
    std::pair<qsizetype, int> CounterFit{-1, -1};   // length and room the counter's font was fitted to
    // Connecting again after the connection dropped or the server closed it (421): attempts
    // per job (from the settings file) and the first wait, which doubles with each attempt
    // up to 30 s (tests shorten it).
    int ReconnectAttempts = DefaultReconnectAttempts;
    int ReconnectDelayMs = DefaultReconnectDelayMs;

    // ---- the journal of the series (MainJournal.cpp)
    static QString JournalFile();   // beside the settings file
    // Before a job: when the journal tells of this very series cut short, asks whether to go
    // on with the first message not yet delivered; on Yes the request skips what was delivered.
    void OfferResume(TSendRequest &request);

    // ---- secure delivery (MainSecurity.cpp)
    TSecureSettings Secure;   // the sender's TLS and login settings (kept in profiles)
    QPushButton *btnSecurity = nullptr;
    void btnSecurityClick();
    // The secret for the current login, from the password command, this run's memory, the
    // keyring or the user (asked once per run); nothing when the user declines.
    std::optional<QString> ObtainSecret(const QString &server, const QString &port);
    // What the job gets: the password command's output or why it failed, else ObtainSecret.
    TSecretAnswer SecretForJob(const QString &server, const QString &port);
    // The server's answer to the login: an accepted secret is kept for the run (and in the
    // keyring when asked to); a refused one is forgotten and the next job asks again.
    void SecretAccepted(const QString &server, const QString &port, const QString &secret);
    void SecretRefused(const QString &server, const QString &port, const QString &reply);
    QString TypedSecret;                    // typed in the Security dialog, for the next job
    QMap<QString, QString> RefusedLogins;   // the server's reply, by keyring entry
    bool RememberOnAcceptance = false;      // the secret in use was typed: keep it once accepted
    bool KeyringMissing = false;            // the last keyring write failed
    // A certificate that did not verify is shown: true when the user trusts exactly this one
    // for the server (it is kept in the sender's settings).
    bool TrustCertificate(const QString &server, const TCertificateProblem &problem);
    QMap<QString, QString> RunSecrets;   // secrets typed in this run, by keyring entry
    // True when the password command may run: the user typed it, or approved it before, or
    // approves it now (the question shows it in full). An approval is remembered in the
    // settings file for exactly that command.
    bool ConfirmPasswordCommand(const QString &command);
    void ApproveOwnPasswordCommand(const QString &command);
    QSet<QString> ApprovedThisRun;   // approved while the settings file could not be written
    // Test hook: answers the password question (nothing: cancelled) instead of a dialog.
    static std::function<std::optional<QString>(const QString &prompt)> PasswordPrompt;

    // ---- finding the server from the sender address (MainFindSettings.cpp)
    QPushButton *btnFindSettings = nullptr;
    bool FindSettingsOffered = false;   // the offer on leaving From comes once per run
    void SetUpFindSettings();           // part of building the sender page
    void FindSettingsTexts();           // part of SetLanguage
    void btnFindSettingsClick();
    // Leaving From with the server field empty: asks once whether to find the settings.
    void OfferFindSettings();
    void RunFindSettings(const TMailAddress &address);
    // Fills the sender page with settings the user accepted.
    void ApplyFoundSettings(const TFoundSettings &found);
    // Saves the sender page as the profile DOMAIN.smt in the profiles' folder.
    void SaveFoundProfile(const QString &domain);

    // ---- banner and temporary folder (MainBanner.cpp)
    void CreateBanner();
    void AdvertPopupMenuItemOpenClick();
    void btnSelectTempDirClick();

    // ---- recipient fields and address books (MainRecipients.cpp)
    QString AddressBookFile() const;   // Sendorix.adr, kept where the settings file is
    void btnAddressBookToClick();
    void btnAddressBookCcClick();
    void btnAddressBookBccClick();
    void PickRecipients(QComboBox *field);
    void PickFromAddressBook(QComboBox *field);
    void PickFromWindowsAddressBook();

    // ---- the desktop (MainDesktop.cpp)
    // Files from outside that arrived while a job ran or a dialog was open; they join the list
    // as soon as the window is free again.
    QStringList FilesFromOutside;
    QTimer *FilesFromOutsideTimer = nullptr;
    void SetUpDesktop();   // once, at the end of construction
    // A file dialog being made: its remembered size, and columns that fit.
    void SetUpFileDialog(QFileDialog *dialog);
    // The add-files dialog's title and filters in the interface language.
    void FileDialogTexts(QFileDialog *dialog);
    // Files and folders dropped on the window, named on the command line or handed over by a
    // second start: through the add path (a folder as the files directly in it), then the files
    // page in front (unless they had to wait for a job). bringForward raises the window first.
    void AcceptFilesFromOutside(const QStringList &paths, bool bringForward);
    void AddFilesFromOutside();
    // The controls Tab visits, in order: mode buttons, page buttons, the page in front, the
    // commands and the language box, then anything else.
    QList<QWidget *> TabChain() const;

protected:
    bool focusNextPrevChild(bool next) override;
    void closeEvent(QCloseEvent *e) override;
    void keyPressEvent(QKeyEvent *e) override;
    bool eventFilter(QObject *watched, QEvent *e) override;

private:
    void BuildLayout();
    void BuildTopControls();
    void BuildPageControl();
    void BuildStatusStrip();
    void BuildRecipientsPage();
    void BuildTextPage();
    void BuildFilesPage();
    void BuildProtocolPage();
    void BuildSenderPage();
    void BuildParametersPage();
    void BuildAboutPage();
    void BuildMenus();
    void ConnectHandlers();
    void AutoSizeCaptions();
    void ArrangeForCaptions();
    void ShowCaptions();
    void ShowHints();
    void ArrangeRecipientsPage(int pageWidth, int rowHeight);
    void ArrangeSenderPage(int pageWidth, int rowHeight);
    void ArrangeParametersPage(int rowHeight);
    void ArrangePageTabs();
    void Place(QWidget *w, int x, int y, int width, int height);
    void PlaceAt(QWidget *w, int x, int y);   // keeps the widget's natural size
};
