// The main window: construction, layout and start-up.
#include "MainForm.h"
#include "Language.h"
#include "MyStringGrid.h"
#include "Settings.h"

#include "BrowseFolder.h"
#include "Desktop.h"
#include "Global.h"
#include "Language.h"

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFontDatabase>
#include <QFrame>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QScreen>
#include <QScrollArea>
#include <QShortcut>
#include <QSpinBox>
#include <QStyle>
#include <QTabBar>
#include <QTabWidget>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

QString VersionMajor;
QString VersionMinor;
QString ApplicationTitle;

void SetHelpContext(QWidget *w, int context)
{
    w->setProperty("helpContext", context);
}

int OwnHelpContext(const QWidget *w)
{
    return w ? w->property("helpContext").toInt() : 0;
}

int HelpContextOf(const QWidget *w)
{
    for (; w; w = w->parentWidget())
        if (int c = OwnHelpContext(w))
            return c;
    return 0;
}

TLinkLabel::TLinkLabel(QWidget *parent) : QLabel(parent)
{
    QFont f = font();
    f.setUnderline(true);
    setFont(f);
    QPalette p = palette();
    p.setColor(QPalette::WindowText, Qt::blue);
    setPalette(p);
    setCursor(Qt::PointingHandCursor);
}

void TLinkLabel::mousePressEvent(QMouseEvent *e)
{
    Pressed = e->button() == Qt::LeftButton;
    QLabel::mousePressEvent(e);
}

void TLinkLabel::mouseReleaseEvent(QMouseEvent *e)
{
    const bool click = Pressed && e->button() == Qt::LeftButton && rect().contains(e->pos());
    Pressed = false;
    QLabel::mouseReleaseEvent(e);
    if (click && OnClick)
        OnClick();
}

namespace {

template <class W> W *Make(QWidget *parent, const char *name)
{
    W *w = new W(parent);
    w->setObjectName(QString::fromLatin1(name));
    return w;
}

QLabel *MakeLabel(QWidget *parent, const char *name)
{
    return Make<QLabel>(parent, name);
}

QComboBox *MakeHistoryBox(QWidget *parent, const char *name)
{
    QComboBox *box = Make<QComboBox>(parent, name);
    box->setEditable(true);
    box->setInsertPolicy(QComboBox::NoInsert);   // the history is kept by the program itself
    box->setMaxVisibleItems(20);
    return box;
}

QComboBox *MakeList(QWidget *parent, const char *name)
{
    QComboBox *box = Make<QComboBox>(parent, name);
    box->setEditable(false);
    return box;
}

QToolButton *MakeGlyphButton(QWidget *parent, const char *name, QStyle::StandardPixmap glyph)
{
    QToolButton *b = Make<QToolButton>(parent, name);
    b->setIcon(parent->style()->standardIcon(glyph));
    b->setAutoRaise(false);
    return b;
}

QPlainTextEdit *MakeMemo(QWidget *parent, const char *name)
{
    QPlainTextEdit *m = Make<QPlainTextEdit>(parent, name);
    m->setLineWrapMode(QPlainTextEdit::NoWrap);
    m->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    return m;
}

// Read-only text in a fixed-pitch font on the button-face colour.
void MakeReadOnlyPanelText(QPlainTextEdit *m)
{
    m->setReadOnly(true);
    QFont f = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    m->setFont(f);
    QPalette p = m->palette();
    p.setColor(QPalette::Base, p.color(QPalette::Button));
    m->setPalette(p);
}

// The design font's line height; the layout numbers were made for it.
constexpr double DesignLineHeight = 13.0;
constexpr double DesignCharWidth = 5.0;

} // namespace

const QString TMainForm::SupportAddress = QStringLiteral("sendorix@example.org");
const QString TMainForm::HomePage = QStringLiteral("https://example.org/sendorix/");
const QString TMainForm::NewsPage = QStringLiteral("https://example.org/sendorix/news.html");

std::function<void(const QString &)> &TMainForm::DocumentOpener = ::DocumentOpener;

int TMainForm::S(int px) const
{
    return static_cast<int>(std::lround(px * Scale));
}

void TMainForm::Place(QWidget *w, int x, int y, int width, int height)
{
    w->setGeometry(S(x), S(y), S(width), S(height));
}

void TMainForm::PlaceAt(QWidget *w, int x, int y)
{
    w->move(S(x), S(y));
    w->adjustSize();
}

TMainForm::TMainForm(QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                          | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("MainForm"));
    const QFontMetricsF fm(font());
    Scale = std::max({1.0, fm.height() / DesignLineHeight, fm.averageCharWidth() / DesignCharWidth});
    BuildLayout();
    FormCreate();
    SetUpMail();
    SetUpDesktop();
    // Centred once the language has settled the window's final size.
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

TMainForm::~TMainForm()
{
    FormDestroy();
}

void TMainForm::BuildLayout()
{
    setFixedSize(S(521), S(380));
    setAttribute(Qt::WA_AlwaysShowToolTips);
    SetHelpContext(this, 5);

    BuildTopControls();
    BuildRecipientsPage();
    BuildTextPage();
    BuildFilesPage();
    BuildProtocolPage();
    BuildSenderPage();
    BuildParametersPage();
    BuildAboutPage();
    BuildMenus();
    ConnectHandlers();

    // Tab order follows the places on the window: mode buttons, pages, commands, language.
    setTabOrder(PageControl, btnSend);
    setTabOrder(btnSend, btnCancel);
    setTabOrder(btnCancel, btnClose);
    setTabOrder(btnClose, comboLanguage);

}

void TMainForm::BuildTopControls()
{
    btnMail = Make<QToolButton>(this, "btnMail");
    btnNews = Make<QToolButton>(this, "btnNews");
    btnMail->setIcon(style()->standardIcon(QStyle::SP_FileIcon));
    btnNews->setIcon(style()->standardIcon(QStyle::SP_DriveNetIcon));
    for (QToolButton *b : {btnMail, btnNews}) {
        b->setCheckable(true);
        b->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    }
    SenderModeGroup = new QButtonGroup(this);
    SenderModeGroup->setExclusive(true);
    SenderModeGroup->addButton(btnMail);
    SenderModeGroup->addButton(btnNews);
    btnMail->setChecked(true);
    btnNews->setEnabled(false);
    Place(btnMail, 8, 8, 185, 25);
    Place(btnNews, 200, 8, 185, 25);

    Label15 = MakeLabel(this, "Label15");
    PlaceAt(Label15, 408, 16);

    BuildPageControl();

    btnSend = Make<QPushButton>(this, "btnSend");
    btnSend->setIcon(style()->standardIcon(QStyle::SP_ArrowForward));
    btnSend->setDefault(true);
    btnCancel = Make<QPushButton>(this, "btnCancel");
    btnCancel->setIcon(style()->standardIcon(QStyle::SP_BrowserStop));
    btnCancel->setEnabled(false);
    btnClose = Make<QPushButton>(this, "btnClose");
    btnClose->setIcon(style()->standardIcon(QStyle::SP_DialogCloseButton));
    for (QPushButton *b : {btnSend, btnCancel, btnClose})
        b->setAutoDefault(true);   // Enter on a focused command runs that command
    Place(btnSend, 408, 62, 105, 25);
    Place(btnCancel, 408, 94, 105, 25);
    Place(btnClose, 408, 126, 105, 25);

    Label14 = MakeLabel(this, "Label14");
    PlaceAt(Label14, 408, 168);
    comboLanguage = MakeList(this, "comboLanguage");
    comboLanguage->addItems({QStringLiteral("English"), QStringLiteral("Russian")});
    Place(comboLanguage, 408, 184, 105, 21);
    Label14->setBuddy(comboLanguage);

    BuildStatusStrip();
}

// The pages, with a row of tab buttons of our own in place of the tab bar (they wrap into
// two rows as the captions need).
void TMainForm::BuildPageControl()
{
    PageControl = Make<QTabWidget>(this, "PageControl");
    Place(PageControl, 8, 41, 393, 200);
    TabSheet1 = Make<QWidget>(nullptr, "TabSheet1");
    TabSheet2 = Make<QWidget>(nullptr, "TabSheet2");
    TabSheet3 = Make<QWidget>(nullptr, "TabSheet3");
    TabSheet5 = Make<QWidget>(nullptr, "TabSheet5");
    TabSheet4 = Make<QWidget>(nullptr, "TabSheet4");
    TabSheet7 = Make<QWidget>(nullptr, "TabSheet7");
    TabSheet6 = Make<QWidget>(nullptr, "TabSheet6");
    for (QWidget *page : {TabSheet1, TabSheet2, TabSheet3, TabSheet5, TabSheet4, TabSheet7, TabSheet6})
        PageControl->addTab(page, QString());
    PageControl->tabBar()->hide();
    PageTabs = Make<QWidget>(this, "PageTabs");
    PageTabGroup = new QButtonGroup(this);
    PageTabGroup->setExclusive(true);
    for (int i = 0; i < PageControl->count(); ++i) {
        auto *tab = new QToolButton(PageTabs);
        tab->setObjectName(PageControl->widget(i)->objectName() + QStringLiteral("Tab"));
        tab->setCheckable(true);
        tab->setFocusPolicy(Qt::TabFocus);
        PageTabGroup->addButton(tab, i);
    }
    connect(PageTabGroup, &QButtonGroup::idClicked, PageControl, &QTabWidget::setCurrentIndex);
    connect(PageControl, &QTabWidget::currentChanged, this, [this](int i) {
        if (QAbstractButton *tab = PageTabGroup->button(i))
            tab->setChecked(true);
    });
    SetHelpContext(TabSheet1, 1);
    SetHelpContext(TabSheet2, 2);
    SetHelpContext(TabSheet3, 4);
    SetHelpContext(TabSheet5, 9);
    SetHelpContext(TabSheet4, 6);
    SetHelpContext(TabSheet7, 10);
    SetHelpContext(TabSheet6, 0);
}

// Under the pages: the support links, the status line, the counter and the progress bar.
void TMainForm::BuildStatusStrip()
{
    Label11 = MakeLabel(this, "Label11");
    PlaceAt(Label11, 8, 247);
    lblEmail = Make<TLinkLabel>(this, "lblEmail");
    lblEmail->setText(SupportAddress);
    PlaceAt(lblEmail, 8, 259);

    lbProgressInfo = MakeLabel(this, "lbProgressInfo");
    lbProgressInfo->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    lbProgressInfo->setTextFormat(Qt::PlainText);   // server replies and file names
    Place(lbProgressInfo, 120, 255, 385, 13);
    lbProgressInfo->setFixedHeight(lbProgressInfo->sizeHint().height());

    Label13 = MakeLabel(this, "Label13");
    PlaceAt(Label13, 8, 273);
    lblURL = Make<TLinkLabel>(this, "lblURL");
    lblURL->setText(HomePage);
    PlaceAt(lblURL, 8, 285);

    lblNumOfMessage = MakeLabel(this, "lblNumOfMessage");
    lblNumOfMessage->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    lblNumOfMessage->setTextFormat(Qt::PlainText);
    {
        QFont f = lblNumOfMessage->font();
        f.setBold(true);
        f.setPointSize(12);
        lblNumOfMessage->setFont(f);
        QPalette p = lblNumOfMessage->palette();
        p.setColor(QPalette::WindowText, Qt::blue);
        lblNumOfMessage->setPalette(p);
    }
    Place(lblNumOfMessage, 184, 272, 81, 25);

    ProgressBar = Make<QProgressBar>(this, "ProgressBar");
    ProgressBar->setRange(0, 100);
    ProgressBar->setValue(0);
    ProgressBar->setTextVisible(false);
    Place(ProgressBar, 280, 272, 230, 25);

    Panel1 = Make<QFrame>(this, "Panel1");
    Panel1->setFrameShape(QFrame::HLine);
    Panel1->setFrameShadow(QFrame::Sunken);
    Panel1->setGeometry(S(-7), S(307), S(536), 3);
}

void TMainForm::BuildRecipientsPage()
{
    QWidget *p = TabSheet1;
    Label1 = MakeLabel(p, "Label1");
    Label12 = MakeLabel(p, "Label12");
    Label22 = MakeLabel(p, "Label22");
    Label2 = MakeLabel(p, "Label2");
    edtTo = MakeHistoryBox(p, "edtTo");
    edtCC = MakeHistoryBox(p, "edtCC");
    edBCC = MakeHistoryBox(p, "edBCC");
    edtSubject = MakeHistoryBox(p, "edtSubject");
    SetHelpContext(edtCC, 2);
    btnAddressBookTo = MakeGlyphButton(p, "btnAddressBookTo", QStyle::SP_FileDialogContentsView);
    btnAddressBookCc = MakeGlyphButton(p, "btnAddressBookCc", QStyle::SP_FileDialogContentsView);
    btnAddressBookBcc = MakeGlyphButton(p, "btnAddressBookBcc", QStyle::SP_FileDialogContentsView);
    Label1->setBuddy(edtTo);
    Label12->setBuddy(edtCC);
    Label22->setBuddy(edBCC);
    Label2->setBuddy(edtSubject);

    cbAddPartNo = Make<QCheckBox>(p, "cbAddPartNo");
    cbAddFileName = Make<QCheckBox>(p, "cbAddFileName");
    Label20 = MakeLabel(p, "Label20");
    comboPriority = MakeList(p, "comboPriority");
    Label20->setBuddy(comboPriority);
    // Places depend on the caption widths; see ArrangeForCaptions.
}

void TMainForm::BuildTextPage()
{
    QWidget *p = TabSheet2;
    memoText = MakeMemo(p, "memoText");
    Place(memoText, 0, 0, 385, 145);
    cbTextOnlyInFirst = Make<QCheckBox>(p, "cbTextOnlyInFirst");
    PlaceAt(cbTextOnlyInFirst, 4, 150);
    btnAddSign = MakeGlyphButton(p, "btnAddSign", QStyle::SP_FileDialogDetailedView);
    Place(btnAddSign, 362, 148, 23, 22);
    btnAddSign->hide();
}

void TMainForm::BuildFilesPage()
{
    QWidget *p = TabSheet3;
    gridFiles = new TMyStringGrid(1, p);
    gridFiles->setObjectName(QStringLiteral("gridFiles"));
    gridFiles->setColumnWidth(0, S(1000));
    gridFiles->verticalHeader()->setDefaultSectionSize(std::max(S(16), fontMetrics().height() + 2));
    gridFiles->setShowGrid(true);
    gridFiles->setSelectionBehavior(QAbstractItemView::SelectRows);
    gridFiles->setSelectionMode(QAbstractItemView::ContiguousSelection);
    Place(gridFiles, 0, 0, 353, 137);

    btnLoad = MakeGlyphButton(p, "btnLoad", QStyle::SP_DialogOpenButton);
    btnDelete = MakeGlyphButton(p, "btnDelete", QStyle::SP_TrashIcon);
    btnClear = MakeGlyphButton(p, "btnClear", QStyle::SP_DialogResetButton);
    btnNoDuplicaties = MakeGlyphButton(p, "btnNoDuplicaties", QStyle::SP_DialogApplyButton);
    Place(btnLoad, 358, 0, 25, 25);
    Place(btnDelete, 358, 29, 25, 25);
    Place(btnClear, 358, 59, 25, 25);
    Place(btnNoDuplicaties, 358, 89, 25, 25);
    for (QToolButton *b : {btnDelete, btnClear, btnNoDuplicaties})
        b->setEnabled(false);   // the list starts empty

    lblFilesCount = MakeLabel(p, "lblFilesCount");
    lblFilesCount->setTextFormat(Qt::PlainText);
    Place(lblFilesCount, 3, 144, 134, 13);
    lblFilesCount->setFixedHeight(lblFilesCount->sizeHint().height());
    lblFilesCount->move(S(3), S(150));

    Label9 = MakeLabel(p, "Label9");
    spinFilesInMessage = Make<QSpinBox>(p, "spinFilesInMessage");
    spinFilesInMessage->setRange(1, 1000);
    spinFilesInMessage->setValue(1);
    // A value typed outside the bounds is brought to the nearest one when the field is left,
    // as the send job does with it, rather than silently going back to the previous value.
    spinFilesInMessage->setCorrectionMode(QAbstractSpinBox::CorrectToNearestValue);
    Place(spinFilesInMessage, 315, 145, 68, 21);
    Label9->setBuddy(spinFilesInMessage);

    Label16 = MakeLabel(p, "Label16");
    spinOneMessageSize = Make<QSpinBox>(p, "spinOneMessageSize");
    spinOneMessageSize->setRange(MinMessageSizeKb, MaxMessageSizeKb);
    spinOneMessageSize->setCorrectionMode(QAbstractSpinBox::CorrectToNearestValue);
    Place(spinOneMessageSize, 315, 145, 68, 21);
    Label16->setBuddy(spinOneMessageSize);
    Label16->hide();
    spinOneMessageSize->hide();

    FileDialog.Define(this, QStringLiteral("FileDialog"), [this](QFileDialog *d, const QString &dir) {
        d->setFileMode(QFileDialog::ExistingFiles);
        d->setAcceptMode(QFileDialog::AcceptOpen);
        FileDialogTexts(d);
        SetInitialDir(d, dir);
        SetUpFileDialog(d);
    });
}

void TMainForm::BuildProtocolPage()
{
    QWidget *p = TabSheet5;
    memoProtocol = MakeMemo(p, "memoProtocol");
    MakeReadOnlyPanelText(memoProtocol);
    // Long lines (a server's reply, a socket error) wrap instead of running off the page.
    memoProtocol->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    memoProtocol->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    // Only the program writes it: no undo history to keep for every line of every job.
    memoProtocol->setUndoRedoEnabled(false);
    Place(memoProtocol, 0, 0, 385, 137);
    btnSaveLog = Make<QPushButton>(p, "btnSaveLog");
    btnSaveLog->setIcon(style()->standardIcon(QStyle::SP_DialogSaveButton));
    btnSaveLog->setEnabled(false);   // nothing to save before the first send
    btnSaveLog->setAutoDefault(true);
    Place(btnSaveLog, 0, 142, 130, 25);

    SaveLogDialog.Define(this, QStringLiteral("SaveLogDialog"), [this](QFileDialog *d, const QString &dir) {
        d->setAcceptMode(QFileDialog::AcceptSave);
        d->setDefaultSuffix(QStringLiteral("log"));
        SetInitialDir(d, dir);
        SetUpFileDialog(d);
    });
}

void TMainForm::BuildSenderPage()
{
    QWidget *p = TabSheet4;
    SMTPPanel = Make<QWidget>(p, "SMTPPanel");
    NNTPPanel = Make<QWidget>(p, "NNTPPanel");
    Place(SMTPPanel, 0, 0, 385, 172);
    Place(NNTPPanel, 0, 0, 385, 172);
    SetHelpContext(SMTPPanel, 6);
    SetHelpContext(NNTPPanel, 0);
    NNTPPanel->hide();

    QWidget *s = SMTPPanel;
    Label3 = MakeLabel(s, "Label3");
    edSMTPName = MakeHistoryBox(s, "edSMTPName");
    Label10 = MakeLabel(s, "Label10");
    edPort = Make<QLineEdit>(s, "edPort");
    // Up to four digits, right-aligned with leading blanks as the profiles store it.
    edPort->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[ 0-9]{0,4}")), edPort));
    edPort->setMaxLength(4);
    edPort->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    edPort->setText(QStringLiteral("  25"));
    Label4 = MakeLabel(s, "Label4");
    edAccount = Make<QLineEdit>(s, "edAccount");
    Label8 = MakeLabel(s, "Label8");
    edtName = MakeHistoryBox(s, "edtName");
    Label7 = MakeLabel(s, "Label7");
    Label7->setText(QStringLiteral("Reply-To:"));
    edtReplyTo = MakeHistoryBox(s, "edtReplyTo");
    Label5 = MakeLabel(s, "Label5");
    comboEncoding = MakeList(s, "comboEncoding");
    comboEncoding->addItems({QStringLiteral("8Bit"), QStringLiteral("Base64")});
    btnSaveConfig = Make<QPushButton>(s, "btnSaveConfig");
    btnSaveConfig->setIcon(style()->standardIcon(QStyle::SP_DialogSaveButton));
    btnLoadConfig = Make<QPushButton>(s, "btnLoadConfig");
    btnLoadConfig->setIcon(style()->standardIcon(QStyle::SP_DialogOpenButton));
    btnSecurity = Make<QPushButton>(s, "btnSecurity");
    btnSaveConfig->setAutoDefault(true);
    btnLoadConfig->setAutoDefault(true);
    btnSecurity->setAutoDefault(true);
    SetUpFindSettings();
    Label6 = MakeLabel(s, "Label6");
    Label6->setWordWrap(true);
    Label6->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    Label3->setBuddy(edSMTPName);
    Label10->setBuddy(edPort);
    Label4->setBuddy(edAccount);
    Label8->setBuddy(edtName);
    Label7->setBuddy(edtReplyTo);
    Label5->setBuddy(comboEncoding);

    SaveConfigDialog.Define(this, QStringLiteral("SaveConfigDialog"), [this](QFileDialog *d, const QString &dir) {
        d->setAcceptMode(QFileDialog::AcceptSave);
        SetInitialDir(d, dir);
        SetUpFileDialog(d);
    });
    LoadConfigDialog.Define(this, QStringLiteral("LoadConfigDialog"), [this](QFileDialog *d, const QString &dir) {
        d->setAcceptMode(QFileDialog::AcceptOpen);
        d->setFileMode(QFileDialog::ExistingFile);
        SetInitialDir(d, dir);
        SetUpFileDialog(d);
    });
}

void TMainForm::BuildParametersPage()
{
    ScrollBox1 = Make<QScrollArea>(TabSheet7, "ScrollBox1");
    ScrollBox1->setFrameShape(QFrame::NoFrame);
    Place(ScrollBox1, 0, 0, 385, 172);
    // The box fills its page whatever size the page control gives the pages.
    auto *fill = new QVBoxLayout(TabSheet7);
    fill->setContentsMargins(0, 0, 0, 0);
    fill->addWidget(ScrollBox1);
    ScrollContents = Make<QWidget>(nullptr, "ScrollContents");
    QWidget *c = ScrollContents;

    auto titlePanel = [&](const char *name, const char *labelName, QLabel *&label) {
        QFrame *panel = Make<QFrame>(c, name);
        panel->setFrameShape(QFrame::StyledPanel);
        panel->setFrameShadow(QFrame::Raised);
        panel->setAutoFillBackground(true);
        QPalette pal = panel->palette();
        pal.setColor(QPalette::Window, pal.color(QPalette::Highlight));
        pal.setColor(QPalette::WindowText, pal.color(QPalette::HighlightedText));
        panel->setPalette(pal);
        label = MakeLabel(panel, labelName);
        QFont f = label->font();
        f.setBold(true);
        label->setFont(f);
        return panel;
    };
    BasicPanel = titlePanel("BasicPanel", "Label21", Label21);
    cbJumpToProtocol = Make<QCheckBox>(c, "cbJumpToProtocol");
    cbJumpToProtocol->setChecked(true);
    cbUseMAPIAddresBook = Make<QCheckBox>(c, "cbUseMAPIAddresBook");
    lblServerTimeout = MakeLabel(c, "lblServerTimeout");
    spinServerTimeout = Make<QSpinBox>(c, "spinServerTimeout");
    spinServerTimeout->setRange(MinServerTimeoutSeconds, MaxServerTimeoutSeconds);
    spinServerTimeout->setValue(DefaultServerTimeoutSeconds);
    lblServerTimeout->setBuddy(spinServerTimeout);

    ArcPanel = titlePanel("ArcPanel", "Label18", Label18);
    cbUseZip = Make<QCheckBox>(c, "cbUseZip");
    Label17 = MakeLabel(c, "Label17");
    spinOneMessSizeDef = Make<QSpinBox>(c, "spinOneMessSizeDef");
    spinOneMessSizeDef->setRange(MinMessageSizeKb, MaxMessageSizeKb);
    spinOneMessSizeDef->setValue(DefaultMessageSizeKb);
    spinOneMessSizeDef->setCorrectionMode(QAbstractSpinBox::CorrectToNearestValue);
    // A new default is the size of the next series too.
    connect(spinOneMessSizeDef, &QSpinBox::valueChanged, this, [this](int kb) { spinOneMessageSize->setValue(kb); });
    Label17->setBuddy(spinOneMessSizeDef);
    Label19 = MakeLabel(c, "Label19");
    edTempDir = MakeHistoryBox(c, "edTempDir");
    Label19->setBuddy(edTempDir);
    btnSelectTempDir = MakeGlyphButton(c, "btnSelectTempDir", QStyle::SP_DirOpenIcon);
    BrowseFolder = new TBrowseFolder(this);
    BrowseFolder->Flags = bfFileSysDirsOnly | bfStatusText;
    BrowseFolder->ShowPathInStatusArea = true;
    BrowseFolder->SyncCustomButton = false;

    ScrollBox1->setWidget(ScrollContents);
    ScrollBox1->setWidgetResizable(true);
    // The page's own background shows through, as on the other pages.
    ScrollBox1->viewport()->setAutoFillBackground(false);
    ScrollContents->setAutoFillBackground(false);
}

void TMainForm::BuildAboutPage()
{
    QWidget *p = TabSheet6;
    memoAbout = Make<QPlainTextEdit>(p, "memoAbout");
    MakeReadOnlyPanelText(memoAbout);
    memoAbout->setFrameShape(QFrame::NoFrame);
    memoAbout->setLineWrapMode(QPlainTextEdit::NoWrap);
    memoAbout->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    memoAbout->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    Place(memoAbout, 8, 4, 369, 130);
    btnLatestNews = Make<QPushButton>(p, "btnLatestNews");
    btnLatestNews->setIcon(style()->standardIcon(QStyle::SP_BrowserReload));
    btnLatestNews->setAutoDefault(true);
    Place(btnLatestNews, 8, 140, 150, 25);
}

void TMainForm::BuildMenus()
{
    popupToSendFiles = Make<QMenu>(this, "popupToSendFiles");
    auto fileItem = [&](const char *name, const QKeySequence &key) {
        QAction *a = popupToSendFiles->addAction(QString());
        a->setObjectName(QString::fromLatin1(name));
        a->setShortcut(key);
        a->setShortcutContext(Qt::WidgetShortcut);   // the keys act while the list has the focus
        gridFiles->addAction(a);
        return a;
    };
    piInsert = fileItem("piInsert", QKeySequence(Qt::Key_Insert));
    piDelete = fileItem("piDelete", QKeySequence(Qt::Key_Delete));
    piClear = fileItem("piClear", QKeySequence(Qt::CTRL | Qt::Key_Delete));
    piNoDuplicates = fileItem("piNoDuplicates", QKeySequence(Qt::CTRL | Qt::Key_N));
    for (QAction *a : {piDelete, piClear, piNoDuplicates})
        a->setEnabled(false);
    gridFiles->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(gridFiles, &QWidget::customContextMenuRequested, this, [this](const QPoint &pos) {
        popupToSendFiles->popup(gridFiles->viewport()->mapToGlobal(pos));
    });

    auto linkMenu = [&](const char *name, const char *openName, const char *copyName,
                        QAction *&open, QAction *&copy) {
        QMenu *m = Make<QMenu>(this, name);
        open = m->addAction(QString());
        open->setObjectName(QString::fromLatin1(openName));
        open->setData(1);   // the tagged item is drawn bold
        copy = m->addAction(QString());
        copy->setObjectName(QString::fromLatin1(copyName));
        connect(m, &QMenu::aboutToShow, this, [this, m] {
            for (QAction *a : m->actions())
                lblPopupMenuGetItemParams(a);
        });
        return m;
    };
    lblEmailPopupMenu = linkMenu("lblEmailPopupMenu", "lblEmailPopupMenuItemOpen",
                                 "lblEmailPopupMenuItemCopy", lblEmailPopupMenuItemOpen,
                                 lblEmailPopupMenuItemCopy);
    lblURLPopupMenu = linkMenu("lblURLPopupMenu", "lblURLPopupMenuItemOpen",
                               "lblURLPopupMenuItemCopy", lblURLPopupMenuItemOpen,
                               lblURLPopupMenuItemCopy);
    AdvertPopupMenu = Make<QMenu>(this, "AdvertPopupMenu");
    AdvertPopupMenuItemOpen = AdvertPopupMenu->addAction(QString());
    AdvertPopupMenuItemOpen->setObjectName(QStringLiteral("AdvertPopupMenuItemOpen"));
    connect(AdvertPopupMenu, &QMenu::aboutToShow, this, [this] {
        for (QAction *a : AdvertPopupMenu->actions())
            AdvertPopupMenuGetItemParams(a);
    });
    for (QAction *a : lblEmailPopupMenu->actions() + lblURLPopupMenu->actions())
        lblPopupMenuGetItemParams(a);
    for (QAction *a : AdvertPopupMenu->actions())
        AdvertPopupMenuGetItemParams(a);

    for (TLinkLabel *l : {lblEmail, lblURL}) {
        l->setContextMenuPolicy(Qt::CustomContextMenu);
        QMenu *m = l == lblEmail ? lblEmailPopupMenu : lblURLPopupMenu;
        connect(l, &QWidget::customContextMenuRequested, this,
                [l, m](const QPoint &pos) { m->popup(l->mapToGlobal(pos)); });
    }
}

void TMainForm::ConnectHandlers()
{
    connect(btnSend, &QPushButton::clicked, this, &TMainForm::btnSendClick);
    connect(btnCancel, &QPushButton::clicked, this, &TMainForm::btnCancelClick);
    connect(btnClose, &QPushButton::clicked, this, &TMainForm::btnCloseClick);
    connect(comboLanguage, &QComboBox::activated, this, &TMainForm::comboLanguageChange);
    connect(btnMail, &QToolButton::clicked, this, &TMainForm::btnMailClick);
    connect(btnNews, &QToolButton::clicked, this, &TMainForm::btnNewsClick);
    connect(btnSaveConfig, &QPushButton::clicked, this, &TMainForm::btnSaveConfigClick);
    connect(btnLoadConfig, &QPushButton::clicked, this, &TMainForm::btnLoadConfigClick);
    connect(btnSecurity, &QPushButton::clicked, this, [this] { RunGuarded(this, [this] { btnSecurityClick(); }); });
    connect(edSMTPName, &QComboBox::editTextChanged, this, &TMainForm::OnSettingsChange);
    connect(edPort, &QLineEdit::textChanged, this, &TMainForm::OnSettingsChange);
    connect(edAccount, &QLineEdit::textChanged, this, &TMainForm::OnSettingsChange);
    connect(edtName, &QComboBox::editTextChanged, this, &TMainForm::OnSettingsChange);
    connect(edtReplyTo, &QComboBox::editTextChanged, this, &TMainForm::OnSettingsChange);
    connect(comboEncoding, &QComboBox::currentIndexChanged, this, &TMainForm::OnSettingsChange);
    connect(btnAddressBookTo, &QToolButton::clicked, this, &TMainForm::btnAddressBookToClick);
    connect(btnAddressBookCc, &QToolButton::clicked, this, &TMainForm::btnAddressBookCcClick);
    connect(btnAddressBookBcc, &QToolButton::clicked, this, &TMainForm::btnAddressBookBccClick);
    connect(btnLoad, &QToolButton::clicked, this, &TMainForm::btnLoadClick);
    connect(btnDelete, &QToolButton::clicked, this, &TMainForm::btnDeleteClick);
    connect(btnClear, &QToolButton::clicked, this, &TMainForm::btnClearClick);
    connect(btnNoDuplicaties, &QToolButton::clicked, this, &TMainForm::btnNoDuplicatiesClick);
    connect(piInsert, &QAction::triggered, this, &TMainForm::btnLoadClick);
    connect(piDelete, &QAction::triggered, this, &TMainForm::btnDeleteClick);
    connect(piClear, &QAction::triggered, this, &TMainForm::btnClearClick);
    connect(piNoDuplicates, &QAction::triggered, this, &TMainForm::btnNoDuplicatiesClick);
    connect(btnSaveLog, &QPushButton::clicked, this, &TMainForm::btnSaveLogClick);
    connect(PageControl, &QTabWidget::currentChanged, this, &TMainForm::PageControlChange);
    lblEmail->OnClick = [this] { lblEmailClick(); };
    lblURL->OnClick = [this] { lblURLClick(); };
    connect(lblEmailPopupMenuItemOpen, &QAction::triggered, this, &TMainForm::lblEmailClick);
    connect(lblURLPopupMenuItemOpen, &QAction::triggered, this, &TMainForm::lblURLClick);
    connect(lblEmailPopupMenuItemCopy, &QAction::triggered, this,
            &TMainForm::lblEmailPopupMenuItemCopyClick);
    connect(lblURLPopupMenuItemCopy, &QAction::triggered, this,
            &TMainForm::lblURLPopupMenuItemCopyClick);
    connect(btnLatestNews, &QPushButton::clicked, this, &TMainForm::btnLatestNewsClick);
    connect(AdvertPopupMenuItemOpen, &QAction::triggered, this,
            &TMainForm::AdvertPopupMenuItemOpenClick);
    connect(cbUseZip, &QCheckBox::clicked, this, &TMainForm::cbUseZipClick);
    connect(btnSelectTempDir, &QToolButton::clicked, this, &TMainForm::btnSelectTempDirClick);

    // Clicking a field's label puts the focus into the field.
    for (QLabel *l : {Label1, Label2, Label9, Label3, Label10, Label4, Label8, Label7, Label5, Label6})
        l->installEventFilter(this);

    auto *help = new QShortcut(QKeySequence(Qt::Key_F1), this);
    help->setContext(Qt::WindowShortcut);
    connect(help, &QShortcut::activated, this, &TMainForm::ShowContextHelp);
}

// Start-up, in the order the rest of the window relies on.
void TMainForm::FormCreate()
{
    // 1-3: version texts, caption and the application's title (a caption ending in a blank
    // shows as a stray gap in task bars and window lists, so it has none).
    MakeVersionTexts(FileVersionText(), VersionMajor, VersionMinor);
    ApplicationTitle = Format("%s %s.%s", "Sendorix", VersionMajor, VersionMinor);
    setWindowTitle(ApplicationTitle);
    qApp->setProperty("applicationTitle", ApplicationTitle);
    // 4: the banner.
    CreateBanner();
    // 5: the recipients page in front, and its help context on the page control.
    PageControl->setCurrentWidget(TabSheet1);
    PageControlChange();
    PageTabGroup->button(PageControl->currentIndex())->setChecked(true);
    // 6: English and 8Bit until the settings say otherwise.
    comboLanguage->setCurrentIndex(0);
    comboEncoding->setCurrentIndex(0);
    // 7-8: the protocol and About lists (value members) and the About text.
    RussianProtocol.clear();
    EnglishProtocol.clear();
    BuildAboutText();
    // 9: the settings file: beside the program, or in the user's configuration folder when
    // the program's folder cannot take it.
    SettingsFile = SettingsFolder() + "Sendorix" + ".cfg";
    ReadSettings(SettingsFile);
    InstallHistoryHandlers();
    // 10: the temporary folder box.
    SetupTempDirBox();
    // 11: the last server profiles.
    // A profile that cannot be read is reported and the fields keep the form's values.
    RunGuarded(this, [this] { LoadSMTPProfile(SMTPConfigFile); });
    LoadNNTPProfile(NNTPConfigFile);
    // 12-15.
    SetLanguage();
    ShowFilesPerMessage();
    spinOneMessageSize->setValue(spinOneMessSizeDef->value());
    comboPriority->setCurrentIndex(2);
    // 16: from here on switching the Windows address book option on explains itself.
    connect(cbUseMAPIAddresBook, &QCheckBox::clicked, this, &TMainForm::cbUseMAPIAddresBookClick);
    // 17-18.
    AskWindowsAddressBook();
    SettingsChanged = false;
}

void TMainForm::FormDestroy()
{
    RussianProtocol.clear();
    EnglishProtocol.clear();
    RussianAbout.clear();
    EnglishAbout.clear();
    // Message boxes shown after the window has gone no longer carry its title.
    qApp->setProperty("applicationTitle", QVariant());
}
