// The main window's language switch: captions, hints, help file, dialog filters, the texts
// kept in both languages, and the layout that follows the caption widths.
#include "MainForm.h"
#include "MyStringGrid.h"

#include "AdImage.h"
#include "AppHelp.h"
#include "Desktop.h"
#include "Global.h"
#include "Language.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFrame>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollArea>
#include <QProgressBar>
#include <QScrollBar>
#include <QSpinBox>
#include <QButtonGroup>
#include <QAbstractButton>
#include <QTabWidget>
#include <QToolButton>

#include <algorithm>

QStringList DialogNameFilters(const QString &pairs)
{
    const QStringList parts = pairs.split(QLatin1Char('|'));
    QStringList filters;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        QString description = parts[i].trimmed();
        QStringList patterns = parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts);
        for (QString &p : patterns) {
            p = p.trimmed();
            if (p == QLatin1String("*.*"))
                p = QStringLiteral("*");
        }
        // QFileDialog reads the patterns from the parentheses, so they must be the real ones.
        static const QRegularExpression shown(QStringLiteral("\\s*\\([^()]*\\)\\s*$"));
        description.remove(shown);
        filters << QStringLiteral("%1 (%2)").arg(description, patterns.join(QLatin1Char(' ')));
    }
    return filters;
}

QString TMainForm::Msg(int n) const
{
    return LoadMessage(n);
}

void TMainForm::FileDialogTexts(QFileDialog *dialog)
{
    dialog->setNameFilters(DialogNameFilters(Msg(TextId::AllFilesFilter)));
    dialog->setWindowTitle(AddFilesDialogTitle());
}

void TMainForm::SetLanguage()
{
    // 1: the language offset.
    StringBase = comboLanguage->currentIndex() == 0 ? EnglishBase : RussianBase;
    // Qt's own texts (file dialogs, the fields' context menus) follow.
    UseQtRussian(IsRussian());

    // 2-3: captions and hints.
    ShowCaptions();
    ShowHints();

    // 4: the manual of this language, looked up beside the program when help is asked for.
    HelpFile = LanguageHelpFile();
    SetApplicationHelpFile(HelpFile);

    // 5: the add-files dialog (one not made yet takes them when it is).
    if (QFileDialog *d = FileDialog.Made())
        FileDialogTexts(d);

    // 6: a non-empty files count follows the language; an empty one stays empty.
    if (!lblFilesCount->text().isEmpty())
        lblFilesCount->setText(Text(TextId::FilesCount, gridFiles->rowCount()));

    // 7-8: the protocol and the About text of this language.
    ShowWholeProtocol();
    memoAbout->setPlainText((IsRussian() ? RussianAbout : EnglishAbout).join(QLatin1Char('\n')));

    // 9: places that depend on the new caption widths.
    AutoSizeCaptions();
    ArrangeForCaptions();

    // 10.
    FillPriorityList();

    // The banner's own texts follow the interface.
    if (Banner)
        Banner->SetLanguage(QString::fromLatin1(IsRussian() ? "ru" : "en"));
}

// Every caption of the window in the current language.
void TMainForm::ShowCaptions()
{
    auto tab = [this](QWidget *page, int n) {
        PageControl->setTabText(PageControl->indexOf(page), Msg(n));
    };
    tab(TabSheet1, 1);
    Label1->setText(Msg(2));
    Label2->setText(Msg(3));
    cbAddPartNo->setText(Msg(4));
    cbAddFileName->setText(Msg(5));
    tab(TabSheet3, 6);
    Label9->setText(Msg(7));
    tab(TabSheet4, 8);
    Label3->setText(Msg(9));
    Label4->setText(Msg(10));
    Label5->setText(Msg(11));
    Label6->setText(Msg(12));
    Label8->setText(Msg(13));
    Label10->setText(Msg(14));
    btnSaveConfig->setText(Msg(15));
    btnSend->setText(Msg(16));
    btnClose->setText(Msg(17));
    tab(TabSheet2, 18);
    cbTextOnlyInFirst->setText(Msg(19));
    btnCancel->setText(Msg(20));
    btnLoadConfig->setText(Msg(21));
    btnSecurity->setText(Text(TextId::SecurityButton));
    FindSettingsTexts();
    Label11->setText(Msg(31));
    piInsert->setText(Msg(23));
    piDelete->setText(Msg(24));
    piClear->setText(Msg(25));
    piNoDuplicates->setText(Msg(62));
    Label12->setText(Msg(47));
    Label13->setText(Msg(48));
    Label14->setText(Msg(51));
    Label15->setText(Msg(55));
    btnMail->setText(Msg(49));
    btnNews->setText(Msg(50));
    tab(TabSheet5, 60);
    tab(TabSheet6, 63);
    btnLatestNews->setText(Msg(64));
    tab(TabSheet7, 65);
    cbJumpToProtocol->setText(Msg(66));
    cbUseZip->setText(Msg(67));
    Label16->setText(Msg(69));
    Label17->setText(Msg(70));
    Label18->setText(Msg(74));
    Label19->setText(Msg(72));
    Label20->setText(Msg(75));
    lblEmailPopupMenuItemOpen->setText(Msg(76));
    lblURLPopupMenuItemOpen->setText(Msg(76));
    AdvertPopupMenuItemOpen->setText(Msg(76));
    lblEmailPopupMenuItemCopy->setText(Msg(77));
    lblURLPopupMenuItemCopy->setText(Msg(77));
    Label21->setText(Msg(78));
    cbUseMAPIAddresBook->setText(Msg(79));
    lblServerTimeout->setText(Text(TextId::ServerTimeoutLabel));
    Label22->setText(Msg(80));
    btnSaveLog->setText(Msg(81));
}

// The hints. The Bcc address book button has none.
void TMainForm::ShowHints()
{
    edtTo->setToolTip(Msg(22));
    edtCC->setToolTip(Msg(22));
    edBCC->setToolTip(Msg(22));
    btnLoad->setToolTip(Msg(23) + " (Ins)");
    btnDelete->setToolTip(Msg(24) + " (Del)");
    btnClear->setToolTip(Msg(25) + " (Ctrl+Del)");
    btnNoDuplicaties->setToolTip(Msg(62) + " (Ctrl+N)");
    edtName->setToolTip(Msg(26));
    btnSaveConfig->setToolTip(Msg(27));
    btnLoadConfig->setToolTip(Msg(28));
    btnAddressBookTo->setToolTip(Msg(46));
    btnAddressBookCc->setToolTip(Msg(46));
    btnSelectTempDir->setToolTip(Msg(71));
    btnAddSign->setToolTip(Msg(83));
}

void TMainForm::FillPriorityList()
{
    const int index = comboPriority->currentIndex();
    comboPriority->clear();
    comboPriority->addItems(PriorityNames());
    comboPriority->setCurrentIndex(index);   // -1 stays no selection
}

// Labels and check boxes take the width of their caption, as the design expects.
void TMainForm::AutoSizeCaptions()
{
    for (QLabel *l : {Label1, Label2, Label9, Label3, Label4, Label5, Label8, Label10, Label7,
                      Label11, Label12, Label13, Label14, Label15, Label16, Label17, Label18,
                      Label19, Label20, Label21, Label22, lblServerTimeout})
        l->adjustSize();
    for (QCheckBox *c : {cbAddPartNo, cbAddFileName, cbTextOnlyInFirst, cbJumpToProtocol,
                         cbUseMAPIAddresBook, cbUseZip})
        c->adjustSize();
    for (QToolButton *b : {btnMail, btnNews}) {
        // Wide enough for the caption beside its glyph; never narrower than designed.
        const int w = std::max(S(185), b->sizeHint().width());
        b->resize(w, S(25));
    }
    if (btnNews->x() < btnMail->geometry().right() + S(7))
        btnNews->move(btnMail->geometry().right() + S(7), btnNews->y());
    for (QPushButton *b : {btnSaveLog, btnLatestNews, btnSaveConfig, btnLoadConfig})
        b->resize(std::max(b->width(), b->sizeHint().width()), b->height());
}

namespace {

// Puts a label beside its field, vertically centred on it.
void LabelBeside(QLabel *label, int x, const QWidget *field)
{
    label->move(x, field->y() + (field->height() - label->height()) / 2);
}

int WidestOf(std::initializer_list<QWidget *> widgets)
{
    int w = 0;
    for (QWidget *x : widgets)
        w = std::max(w, x->width());
    return w;
}

} // namespace

// Lays the page tabs out in rows, each row filling the page control's width, and moves the
// pages and everything below them down by what the extra rows take.
void TMainForm::ArrangePageTabs()
{
    const int width = S(393);
    const QList<QAbstractButton *> tabs = PageTabGroup->buttons();
    int tabHeight = 0;
    for (int i = 0; i < tabs.size(); ++i) {
        QAbstractButton *tab = PageTabGroup->button(i);
        tab->setText(PageControl->tabText(i));
        tabHeight = std::max({tabHeight, tab->sizeHint().height(), S(22)});
    }
    QList<QList<QAbstractButton *>> rows(1);
    int used = 0;
    for (int i = 0; i < tabs.size(); ++i) {
        QAbstractButton *tab = PageTabGroup->button(i);
        const int w = tab->sizeHint().width() + S(8);
        if (!rows.last().isEmpty() && used + w > width) {
            rows.append(QList<QAbstractButton *>());
            used = 0;
        }
        rows.last().append(tab);
        used += w;
    }
    for (int r = 0; r < rows.size(); ++r) {
        // Share the row's spare width out so every row ends at the right edge.
        int natural = 0;
        for (QAbstractButton *tab : rows[r])
            natural += tab->sizeHint().width() + S(8);
        int spare = width - natural, x = 0;
        for (int k = 0; k < rows[r].size(); ++k) {
            QAbstractButton *tab = rows[r][k];
            const int extra = spare / (rows[r].size() - k);
            spare -= extra;
            const int w = tab->sizeHint().width() + S(8) + extra;
            tab->setGeometry(x, r * tabHeight, w, tabHeight);
            x += w;
        }
    }
    const int header = static_cast<int>(rows.size()) * tabHeight;
    PageTabs->setGeometry(S(8), S(41), width, header);
    // The pages keep the height designed for them under a one-row tab strip.
    const int pageHeight = std::max(S(176), S(200) - header);
    PageControl->setGeometry(S(8), S(41) + header, width, pageHeight);
    const int dy = PageControl->geometry().bottom() + 1 - S(241);

    // The strip below the pages follows them. The four link lines are stacked at least a
    // line apart, for fonts taller than the design's spacing allows.
    auto below = [&](QWidget *w, int y, const QWidget *above = nullptr) {
        int top = S(y) + dy;
        if (above)
            top = std::max(top, above->geometry().bottom() + 1);
        w->move(w->x(), top);
    };
    below(Label11, 247);
    below(lblEmail, 259, Label11);
    below(lbProgressInfo, 255);
    below(Label13, 273, lblEmail);
    below(lblURL, 285, Label13);
    below(lblNumOfMessage, 272);
    below(ProgressBar, 272);
    const int stripBottom = std::max(lblURL->geometry().bottom(), ProgressBar->geometry().bottom());
    Panel1->move(Panel1->x(), std::max(S(307) + dy, stripBottom + S(4)));
    const int extra = Panel1->y() - S(307);   // how far the banner strip moved
    if (Banner)
        Banner->move(Banner->x(), S(315) + extra);
    setFixedSize(S(521), S(380) + extra);
}

void TMainForm::ArrangeForCaptions()
{
    ArrangePageTabs();

    const int pageWidth = S(385);
    const int rowHeight = std::max(S(21), edtTo->sizeHint().height());

    ArrangeRecipientsPage(pageWidth, rowHeight);

    // The status line ends where designed but starts after the support address, so a long
    // status text never runs over the link.
    {
        const int right = S(120) + S(385);
        const int left = std::max(S(120), lblEmail->geometry().right() + 1 + S(8));
        lbProgressInfo->setGeometry(left, lbProgressInfo->y(), right - left, lbProgressInfo->height());
    }

    // Files page: the spin labels end 5 pixels before their spins.
    LabelBeside(Label9, spinFilesInMessage->x() - S(5) - Label9->width(), spinFilesInMessage);
    LabelBeside(Label16, spinOneMessageSize->x() - S(5) - Label16->width(), spinOneMessageSize);
    LabelBeside(lblFilesCount, S(3), spinFilesInMessage);

    // Protocol and About pages: the buttons under their memos.
    btnSaveLog->move(0, memoProtocol->geometry().bottom() + S(5));
    btnLatestNews->move(S(8), memoAbout->geometry().bottom() + S(6));

    ArrangeSenderPage(pageWidth, rowHeight);

    ArrangeParametersPage(rowHeight);
}

// Recipients page: one column of labels, the fields after the widest of them.
void TMainForm::ArrangeRecipientsPage(int pageWidth, int rowHeight)
{
    const int fieldX = std::max(S(64), S(4) + WidestOf({Label1, Label12, Label22, Label2, Label20}) + S(6));
    const int buttonW = rowHeight;
    const int right = pageWidth - S(4);
    const int boxW = std::min(S(284), right - buttonW - S(3) - fieldX);
    const int rows[] = {4, 30, 56, 82};
    QComboBox *boxes[] = {edtTo, edtCC, edBCC, edtSubject};
    QLabel *labels[] = {Label1, Label12, Label22, Label2};
    QToolButton *buttons[] = {btnAddressBookTo, btnAddressBookCc, btnAddressBookBcc};
    for (int i = 0; i < 4; ++i) {
        const int w = i < 3 ? boxW : std::min(S(308), right - fieldX);
        boxes[i]->setGeometry(fieldX, S(rows[i]), w, rowHeight);
        LabelBeside(labels[i], S(4), boxes[i]);
        if (i < 3)
            buttons[i]->setGeometry(fieldX + boxW + S(3), S(rows[i]), buttonW, rowHeight);
    }
    const int checkTop = edtSubject->geometry().bottom() + S(5);
    cbAddPartNo->move(S(4), checkTop);
    cbAddFileName->move(S(4), cbAddPartNo->geometry().bottom() + S(2));
    comboPriority->setGeometry(fieldX, cbAddFileName->geometry().bottom() + S(4), S(145), rowHeight);
    LabelBeside(Label20, S(4), comboPriority);
}

// Sender page: labels on the left, port and the profile buttons on the right.
void TMainForm::ArrangeSenderPage(int pageWidth, int rowHeight)
{
    const int fieldX = S(4) + WidestOf({Label3, Label4, Label8, Label7, Label5}) + S(6);
    // The column of buttons is as wide as its widest caption needs.
    int widestButton = 0;
    for (QPushButton *b : {btnFindSettings, btnSaveConfig, btnLoadConfig, btnSecurity})
        widestButton = std::max(widestButton, b->sizeHint().width());
    const int rightColumn = std::min(S(290), pageWidth - S(4) - widestButton);
    const int fieldW = rightColumn - S(8) - fieldX;
    const int rows[] = {4, 30, 56, 82, 108};
    QWidget *fields[] = {edSMTPName, edAccount, edtName, edtReplyTo, comboEncoding};
    QLabel *labels[] = {Label3, Label4, Label8, Label7, Label5};
    for (int i = 0; i < 5; ++i) {
        const int w = fields[i] == comboEncoding ? std::min(fieldW, S(100)) : fieldW;
        fields[i]->setGeometry(fieldX, S(rows[i]), w, rowHeight);
        LabelBeside(labels[i], S(4), fields[i]);
    }
    const int portW = std::max(S(40), edPort->fontMetrics().horizontalAdvance(QStringLiteral("99999")) + S(8));
    edPort->setGeometry(pageWidth - S(4) - portW, S(4), portW, rowHeight);
    LabelBeside(Label10, edPort->x() - S(5) - Label10->width(), edPort);
    const int buttonW = pageWidth - S(4) - rightColumn;
    // Find settings first, beside From and right under the server's port.
    int buttonTop = S(30);
    for (QPushButton *b : {btnFindSettings, btnSaveConfig, btnLoadConfig, btnSecurity}) {
        b->setGeometry(rightColumn, buttonTop, buttonW, S(25));
        buttonTop += S(30);
    }
    // The note keeps clear of the buttons' column.
    const int noteTop = comboEncoding->geometry().bottom() + S(8);
    const int noteW = rightColumn - S(8) - S(4);
    Label6->setGeometry(S(4), noteTop, noteW, Label6->heightForWidth(noteW));
}

// Parameters page: title panels as wide as their titles plus 20, spin 5 after its label.
void TMainForm::ArrangeParametersPage(int rowHeight)
{
    auto titlePanel = [this](QFrame *panel, QLabel *title, int y) {
        panel->setGeometry(S(4), y, title->width() + S(20), title->height() + S(6));
        title->move(S(10), S(3));
    };
    titlePanel(BasicPanel, Label21, S(4));
    cbJumpToProtocol->move(S(12), BasicPanel->geometry().bottom() + S(4));
    cbUseMAPIAddresBook->move(S(12), cbJumpToProtocol->geometry().bottom() + S(2));
    spinServerTimeout->setGeometry(S(12) + lblServerTimeout->width() + S(5),
                                   cbUseMAPIAddresBook->geometry().bottom() + S(4), S(64), rowHeight);
    LabelBeside(lblServerTimeout, S(12), spinServerTimeout);
    titlePanel(ArcPanel, Label18, spinServerTimeout->geometry().bottom() + S(8));
    cbUseZip->move(S(12), ArcPanel->geometry().bottom() + S(4));
    spinOneMessSizeDef->setGeometry(S(12) + Label17->width() + S(5), cbUseZip->geometry().bottom() + S(4),
                                    S(64), rowHeight);
    LabelBeside(Label17, S(12), spinOneMessSizeDef);
    spinOneMessSizeDef->move(Label17->geometry().right() + 1 + S(5), spinOneMessSizeDef->y());
    const int dirX = S(12) + Label19->width() + S(5);
    const int dirY = spinOneMessSizeDef->geometry().bottom() + S(5);
    const int contentW = ScrollBox1->width() - ScrollBox1->verticalScrollBar()->sizeHint().width();
    const int dirW = std::max(S(120), contentW - S(6) - rowHeight - S(3) - dirX);
    edTempDir->setGeometry(dirX, dirY, dirW, rowHeight);
    LabelBeside(Label19, S(12), edTempDir);
    btnSelectTempDir->setGeometry(dirX + dirW + S(3), dirY, rowHeight, rowHeight);
    int right = 0, bottom = 0;
    for (QWidget *w : ScrollContents->findChildren<QWidget *>(Qt::FindDirectChildrenOnly)) {
        right = std::max(right, w->geometry().right() + 1);
        bottom = std::max(bottom, w->geometry().bottom() + 1);
    }
    // The contents fill the box and scroll only when they need more room than it has.
    ScrollContents->setMinimumSize(right + S(4), bottom + S(4));
    ScrollContents->resize(std::max(ScrollBox1->viewport()->width(), right + S(4)),
                           std::max(ScrollBox1->viewport()->height(), bottom + S(4)));
}
