// The main window driven offscreen: start-up state, language switch, layout, links, help,
// label clicks, keys and closing.
#include "AppHelp.h"
#include "ComDialogs.h"
#include "Global.h"
#include "Language.h"
#include "MainForm.h"
#include "MyStringGrid.h"
#include "window_test_support.h"

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QShortcut>
#include <QSpinBox>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QToolButton>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

class MainFormTest : public WindowTestBase {
protected:
    void SetUp() override
    {
        WindowTestBase::SetUp();
        form = Start();
    }

    template <class W> W *Find(const char *name)
    {
        return form->findChild<W *>(QString::fromLatin1(name));
    }

};

QString TabText(TMainForm &f, QWidget *page)
{
    return f.PageControl->tabText(f.PageControl->indexOf(page));
}

// Every caption of the language table, with its message number.
std::vector<std::pair<QString, int>> Captions(TMainForm &f)
{
    return {
        {TabText(f, f.TabSheet1), 1}, {f.Label1->text(), 2}, {f.Label2->text(), 3},
        {f.cbAddPartNo->text(), 4}, {f.cbAddFileName->text(), 5}, {TabText(f, f.TabSheet3), 6},
        {f.Label9->text(), 7}, {TabText(f, f.TabSheet4), 8}, {f.Label3->text(), 9},
        {f.Label4->text(), 10}, {f.Label5->text(), 11}, {f.Label6->text(), 12},
        {f.Label8->text(), 13}, {f.Label10->text(), 14}, {f.btnSaveConfig->text(), 15},
        {f.btnSend->text(), 16}, {f.btnClose->text(), 17}, {TabText(f, f.TabSheet2), 18},
        {f.cbTextOnlyInFirst->text(), 19}, {f.btnCancel->text(), 20},
        {f.btnLoadConfig->text(), 21}, {f.Label11->text(), 31}, {f.piInsert->text(), 23},
        {f.piDelete->text(), 24}, {f.piClear->text(), 25}, {f.piNoDuplicates->text(), 62},
        {f.Label12->text(), 47}, {f.Label13->text(), 48}, {f.Label14->text(), 51},
        {f.Label15->text(), 55}, {f.btnMail->text(), 49}, {f.btnNews->text(), 50},
        {TabText(f, f.TabSheet5), 60}, {TabText(f, f.TabSheet6), 63},
        {f.btnLatestNews->text(), 64}, {TabText(f, f.TabSheet7), 65},
        {f.cbJumpToProtocol->text(), 66}, {f.cbUseZip->text(), 67}, {f.Label16->text(), 69},
        {f.Label17->text(), 70}, {f.Label18->text(), 74}, {f.Label19->text(), 72},
        {f.Label20->text(), 75}, {f.lblEmailPopupMenuItemOpen->text(), 76},
        {f.lblURLPopupMenuItemOpen->text(), 76}, {f.AdvertPopupMenuItemOpen->text(), 76},
        {f.lblEmailPopupMenuItemCopy->text(), 77}, {f.lblURLPopupMenuItemCopy->text(), 77},
        {f.Label21->text(), 78}, {f.cbUseMAPIAddresBook->text(), 79}, {f.Label22->text(), 80},
        {f.btnSaveLog->text(), 81},
    };
}

struct Hint {
    QWidget *Control;
    int Message;
    const char *Suffix;
};

std::vector<Hint> Hints(TMainForm &f)
{
    return {
        {f.edtTo, 22, ""}, {f.edtCC, 22, ""}, {f.edBCC, 22, ""},
        {f.btnLoad, 23, " (Ins)"}, {f.btnDelete, 24, " (Del)"}, {f.btnClear, 25, " (Ctrl+Del)"},
        {f.btnNoDuplicaties, 62, " (Ctrl+N)"}, {f.edtName, 26, ""}, {f.btnSaveConfig, 27, ""},
        {f.btnLoadConfig, 28, ""}, {f.btnAddressBookTo, 46, ""}, {f.btnAddressBookCc, 46, ""},
        {f.btnSelectTempDir, 71, ""}, {f.btnAddSign, 83, ""},
    };
}

void ExpectLanguage(TMainForm &f, int base)
{
    SCOPED_TRACE(base == RussianBase ? "Russian" : "English");
    for (const auto &[text, n] : Captions(f)) {
        ASSERT_FALSE(LoadStr(n + base).isEmpty()) << n;
        EXPECT_EQ(text, LoadStr(n + base)) << "message " << n;
    }
    for (const Hint &h : Hints(f))
        EXPECT_EQ(h.Control->toolTip(), LoadStr(h.Message + base) + h.Suffix)
            << h.Control->objectName().toStdString();
    EXPECT_TRUE(f.btnAddressBookBcc->toolTip().isEmpty());
    // Texts that stay the same in both languages.
    EXPECT_EQ(f.Label7->text(), QStringLiteral("Reply-To:"));
    EXPECT_EQ(f.lblEmail->text(), TMainForm::SupportAddress);
    EXPECT_EQ(f.lblURL->text(), TMainForm::HomePage);
    EXPECT_EQ(f.comboEncoding->itemText(0), QStringLiteral("8Bit"));
    EXPECT_EQ(f.comboLanguage->itemText(1), QStringLiteral("Russian"));
    // Help file and the add-files dialog.
    EXPECT_EQ(f.HelpFile, base == RussianBase ? "SendorixR.html" : "SendorixE.html");
    EXPECT_EQ(ApplicationHelpFile(), f.HelpFile);
    EXPECT_EQ(f.FileDialog->nameFilters(), DialogNameFilters(LoadStr(57 + base)));
    EXPECT_EQ(f.FileDialog->windowTitle(),
              base == RussianBase ? QStringLiteral("Выбор файлов для отправки")
                                  : QStringLiteral("Select files for posting"));
    EXPECT_EQ(f.memoAbout->toPlainText(),
              (base == RussianBase ? f.RussianAbout : f.EnglishAbout).join('\n'));
}

// Children of a container that a user sees.
std::vector<QWidget *> VisibleChildren(QWidget *parent)
{
    std::vector<QWidget *> out;
    for (QWidget *w : parent->findChildren<QWidget *>(Qt::FindDirectChildrenOnly))
        if (!w->isHidden() && !w->isWindow())
            out.push_back(w);
    return out;
}

// Nothing clipped, nothing outside its container, nothing on top of its neighbours.
void ExpectReadableLayout(TMainForm &f)
{
    const std::vector<QWidget *> containers = {&f, f.PageTabs, f.TabSheet1, f.TabSheet2, f.TabSheet3, f.TabSheet5,
                                               f.SMTPPanel, f.ScrollContents, f.TabSheet6,
                                               f.BasicPanel, f.ArcPanel};
    for (QWidget *c : containers) {
        const std::vector<QWidget *> kids = VisibleChildren(c);
        const QRect area = c == f.TabSheet1 || c == f.TabSheet2 || c == f.TabSheet3 ||
                                   c == f.TabSheet5 || c == f.TabSheet6
                               ? QRect(QPoint(0, 0), f.PageControl->currentWidget()->size())
                               : c->rect();
        for (size_t i = 0; i < kids.size(); ++i) {
            QWidget *a = kids[i];
            const std::string name = a->objectName().toStdString();
            if (a == f.Panel1)
                continue;   // the separator runs past both edges on purpose
            EXPECT_TRUE(area.contains(a->geometry())) << name << " leaves " << c->objectName().toStdString();
            if (auto *l = qobject_cast<QLabel *>(a)) {
                if (l->wordWrap()) {
                    EXPECT_GE(l->height(), l->heightForWidth(l->width())) << name;
                } else if (!l->text().isEmpty()) {
                    EXPECT_GE(l->width(), l->sizeHint().width()) << name;
                }
                EXPECT_GE(l->height(), l->fontMetrics().height()) << name;
            }
            if (auto *b = qobject_cast<QAbstractButton *>(a)) {
                if (!b->text().isEmpty()) {
                    EXPECT_GE(b->width(), b->sizeHint().width()) << name;
                }
            }
            for (size_t j = i + 1; j < kids.size(); ++j) {
                QWidget *b = kids[j];
                if (b == f.Panel1)
                    continue;
                EXPECT_FALSE(a->geometry().intersects(b->geometry()))
                    << name << " overlaps " << b->objectName().toStdString();
            }
        }
    }
    // One tab per page, showing the page's caption, the one in front checked.
    ASSERT_EQ(f.PageTabGroup->buttons().size(), f.PageControl->count());
    for (int i = 0; i < f.PageControl->count(); ++i) {
        EXPECT_FALSE(f.PageControl->tabText(i).isEmpty());
        EXPECT_EQ(f.PageTabGroup->button(i)->text(), f.PageControl->tabText(i));
        EXPECT_EQ(f.PageTabGroup->button(i)->isChecked(), i == f.PageControl->currentIndex());
    }
}

} // namespace

TEST_F(MainFormTest, StartsWithEveryControlInItsInitialState)
{
    TMainForm &f = *form;
    // Names and kinds.
    for (const char *name : {"edtTo", "edtCC", "edBCC", "edtSubject", "edSMTPName", "edtName",
                             "edtReplyTo", "edTempDir"}) {
        auto *box = Find<QComboBox>(name);
        ASSERT_NE(box, nullptr) << name;
        EXPECT_TRUE(box->isEditable()) << name;
    }
    for (const char *name : {"comboLanguage", "comboPriority", "comboEncoding"}) {
        auto *box = Find<QComboBox>(name);
        ASSERT_NE(box, nullptr) << name;
        EXPECT_FALSE(box->isEditable()) << name;
    }
    for (const char *name : {"btnSend", "btnCancel", "btnClose", "btnSaveLog", "btnLatestNews",
                             "btnSaveConfig", "btnLoadConfig"})
        EXPECT_NE(Find<QPushButton>(name), nullptr) << name;
    for (const char *name : {"btnMail", "btnNews", "btnAddressBookTo", "btnAddressBookCc",
                             "btnAddressBookBcc", "btnLoad", "btnDelete", "btnClear",
                             "btnNoDuplicaties", "btnSelectTempDir", "btnAddSign"})
        EXPECT_NE(Find<QToolButton>(name), nullptr) << name;
    for (const char *name : {"cbAddPartNo", "cbAddFileName", "cbTextOnlyInFirst",
                             "cbJumpToProtocol", "cbUseMAPIAddresBook", "cbUseZip"})
        EXPECT_NE(Find<QCheckBox>(name), nullptr) << name;
    for (const char *name : {"spinFilesInMessage", "spinOneMessageSize", "spinOneMessSizeDef"})
        EXPECT_NE(Find<QSpinBox>(name), nullptr) << name;
    for (const char *name : {"memoText", "memoProtocol", "memoAbout"})
        EXPECT_NE(Find<QPlainTextEdit>(name), nullptr) << name;
    for (const char *name : {"Label1", "Label2", "Label3", "Label4", "Label5", "Label6", "Label7",
                             "Label8", "Label9", "Label10", "Label11", "Label12", "Label13",
                             "Label14", "Label15", "Label16", "Label17", "Label18", "Label19",
                             "Label20", "Label21", "Label22", "lblEmail", "lblURL",
                             "lbProgressInfo", "lblNumOfMessage", "lblFilesCount"})
        EXPECT_NE(Find<QLabel>(name), nullptr) << name;
    for (const char *name : {"popupToSendFiles", "lblEmailPopupMenu", "lblURLPopupMenu", "AdvertPopupMenu"})
        EXPECT_NE(Find<QMenu>(name), nullptr) << name;
    // The file dialogs are made when first opened, not with the window.
    EXPECT_TRUE(f.findChildren<QFileDialog *>().isEmpty());
    EXPECT_NE(Find<QProgressBar>("ProgressBar"), nullptr);
    EXPECT_NE(Find<QScrollArea>("ScrollBox1"), nullptr);
    EXPECT_NE(Find<TMyStringGrid>("gridFiles"), nullptr);
    for (const char *name : {"SMTPPanel", "NNTPPanel", "BasicPanel", "ArcPanel", "Panel1"})
        EXPECT_NE(Find<QWidget>(name), nullptr) << name;

    // Pages in their order, the recipients page in front.
    const QStringList order = {"TabSheet1", "TabSheet2", "TabSheet3", "TabSheet5",
                               "TabSheet4", "TabSheet7", "TabSheet6"};
    ASSERT_EQ(f.PageControl->count(), order.size());
    for (int i = 0; i < order.size(); ++i)
        EXPECT_EQ(f.PageControl->widget(i)->objectName(), order[i]);
    EXPECT_EQ(f.PageControl->currentWidget(), f.TabSheet1);

    // Initial states.
    EXPECT_TRUE(f.btnMail->isChecked());
    EXPECT_FALSE(f.btnNews->isChecked());
    EXPECT_FALSE(f.btnNews->isEnabled());
    EXPECT_TRUE(f.btnSend->isEnabled());
    EXPECT_TRUE(f.btnSend->isDefault());
    EXPECT_FALSE(f.btnCancel->isEnabled());
    EXPECT_FALSE(f.btnSaveLog->isEnabled());
    EXPECT_TRUE(f.btnLoad->isEnabled());
    for (QWidget *w : {static_cast<QWidget *>(f.btnDelete), static_cast<QWidget *>(f.btnClear),
                       static_cast<QWidget *>(f.btnNoDuplicaties)})
        EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString();
    EXPECT_TRUE(f.piInsert->isEnabled());
    EXPECT_FALSE(f.piDelete->isEnabled());
    EXPECT_FALSE(f.piClear->isEnabled());
    EXPECT_FALSE(f.piNoDuplicates->isEnabled());
    EXPECT_EQ(f.comboLanguage->count(), 2);
    EXPECT_EQ(f.comboLanguage->currentIndex(), 0);
    EXPECT_EQ(f.comboEncoding->count(), 2);
    EXPECT_EQ(f.comboEncoding->currentIndex(), 0);
    EXPECT_EQ(f.comboPriority->count(), 5);
    EXPECT_EQ(f.comboPriority->currentIndex(), 2);
    EXPECT_EQ(f.comboPriority->currentText(), QStringLiteral("Normal"));
    EXPECT_EQ(f.edPort->text(), QStringLiteral("  25"));
    for (QCheckBox *c : {f.cbAddPartNo, f.cbAddFileName, f.cbTextOnlyInFirst, f.cbUseZip, f.cbUseMAPIAddresBook})
        EXPECT_FALSE(c->isChecked()) << c->objectName().toStdString();
    EXPECT_TRUE(f.cbJumpToProtocol->isChecked());
    EXPECT_EQ(f.spinFilesInMessage->minimum(), 1);
    EXPECT_EQ(f.spinFilesInMessage->maximum(), 1000);
    EXPECT_EQ(f.spinFilesInMessage->value(), 1);
    EXPECT_FALSE(f.spinFilesInMessage->isHidden());
    EXPECT_TRUE(f.spinOneMessageSize->isHidden());
    EXPECT_TRUE(f.Label16->isHidden());
    // The archiver's sizes are KiB up to 100 MiB, 10 MiB by default; the default is editable.
    EXPECT_EQ(f.spinOneMessageSize->minimum(), 1);
    EXPECT_EQ(f.spinOneMessageSize->maximum(), 102400);
    EXPECT_EQ(f.spinOneMessSizeDef->maximum(), 102400);
    EXPECT_EQ(f.spinOneMessSizeDef->value(), 10240);
    EXPECT_EQ(f.spinOneMessageSize->value(), 10240);
    EXPECT_TRUE(f.spinOneMessSizeDef->isEnabled());
    EXPECT_TRUE(f.NNTPPanel->isHidden());
    EXPECT_FALSE(f.SMTPPanel->isHidden());
    EXPECT_TRUE(f.btnAddSign->isHidden());
    EXPECT_TRUE(f.memoProtocol->isReadOnly());
    EXPECT_TRUE(f.memoAbout->isReadOnly());
    EXPECT_EQ(f.ProgressBar->minimum(), 0);
    EXPECT_EQ(f.ProgressBar->maximum(), 100);
    EXPECT_EQ(f.ProgressBar->value(), 0);
    EXPECT_TRUE(f.lbProgressInfo->text().isEmpty());
    EXPECT_TRUE(f.lblFilesCount->text().isEmpty());
    EXPECT_EQ(f.gridFiles->rowCount(), 1);
    EXPECT_EQ(f.edTempDir->count(), 1);
    EXPECT_EQ(f.edTempDir->currentText(), TempFolder());
    EXPECT_FALSE(f.SettingsChanged);
    EXPECT_FALSE(f.Cancelled);
    EXPECT_EQ(f.SettingsFile, ProgramFolder() + "Sendorix.cfg");
    EXPECT_EQ(StringBase, EnglishBase);

    // Help contexts.
    EXPECT_EQ(OwnHelpContext(&f), 5);
    EXPECT_EQ(OwnHelpContext(f.PageControl), 1);
    EXPECT_EQ(OwnHelpContext(f.edtCC), 2);
    const std::pair<QWidget *, int> pages[] = {{f.TabSheet1, 1}, {f.TabSheet2, 2}, {f.TabSheet3, 4},
                                               {f.TabSheet5, 9}, {f.TabSheet4, 6}, {f.TabSheet7, 10},
                                               {f.TabSheet6, 0}};
    for (const auto &[page, context] : pages)
        EXPECT_EQ(OwnHelpContext(page), context) << page->objectName().toStdString();
    EXPECT_EQ(OwnHelpContext(f.SMTPPanel), 6);
    EXPECT_EQ(OwnHelpContext(f.NNTPPanel), 0);
}

TEST_F(MainFormTest, TopLevelPlacesFollowTheDesignScaledToTheFont)
{
    TMainForm &f = *form;
    ASSERT_GE(f.Scale, 1.0);
    EXPECT_EQ(f.width(), f.S(521));
    // The pages keep their designed height; extra rows of page tabs push the strip below
    // them (and the window's bottom) down by the same amount.
    const int dy = f.PageControl->geometry().bottom() + 1 - f.S(241);
    EXPECT_GE(dy, 0);
    EXPECT_GE(f.Panel1->y(), f.S(307) + dy);
    EXPECT_EQ(f.height(), f.S(380) + f.Panel1->y() - f.S(307));
    EXPECT_EQ(f.ProgressBar->y(), f.S(272) + dy);
    EXPECT_EQ(f.PageTabs->geometry().topLeft(), QPoint(f.S(8), f.S(41)));
    EXPECT_EQ(f.PageTabs->width(), f.S(393));
    EXPECT_EQ(f.PageControl->x(), f.S(8));
    EXPECT_EQ(f.PageControl->width(), f.S(393));
    EXPECT_EQ(f.PageControl->y(), f.PageTabs->geometry().bottom() + 1);
    EXPECT_EQ(f.minimumSize(), f.maximumSize());   // fixed border
    EXPECT_FALSE(f.windowFlags() & Qt::WindowMaximizeButtonHint);
    const std::pair<QWidget *, QRect> places[] = {
        {f.btnMail, {8, 8, 185, 25}},
        {f.btnSend, {408, 62, 105, 25}},    {f.btnCancel, {408, 94, 105, 25}},
        {f.btnClose, {408, 126, 105, 25}},  {f.comboLanguage, {408, 184, 105, 21}},
        {f.gridFiles, {0, 0, 353, 137}},    {f.btnLoad, {358, 0, 25, 25}},
        {f.btnDelete, {358, 29, 25, 25}},   {f.btnClear, {358, 59, 25, 25}},
        {f.btnNoDuplicaties, {358, 89, 25, 25}}, {f.memoText, {0, 0, 385, 145}},
        {f.memoProtocol, {0, 0, 385, 137}},
    };
    for (const auto &[w, r] : places)
        EXPECT_EQ(w->geometry(), QRect(f.S(r.x()), f.S(r.y()), f.S(r.width()), f.S(r.height())))
            << w->objectName().toStdString();
    EXPECT_EQ(f.edtTo->width(), f.S(284));
    EXPECT_EQ(f.edtSubject->width(), f.S(308));
    EXPECT_EQ(f.comboPriority->width(), f.S(145));
    EXPECT_EQ(f.memoAbout->width(), f.S(369));
    EXPECT_EQ(f.Label14->pos(), QPoint(f.S(408), f.S(168)));
    EXPECT_EQ(f.Label15->pos(), QPoint(f.S(408), f.S(16)));
    // The message counter is blue, bold, 12 points; the links blue and underlined.
    EXPECT_TRUE(f.lblNumOfMessage->font().bold());
    EXPECT_EQ(f.lblNumOfMessage->font().pointSize(), 12);
    EXPECT_EQ(f.lblNumOfMessage->palette().color(QPalette::WindowText), QColor(Qt::blue));
    for (QLabel *l : {static_cast<QLabel *>(f.lblEmail), static_cast<QLabel *>(f.lblURL)}) {
        EXPECT_TRUE(l->font().underline());
        EXPECT_EQ(l->cursor().shape(), Qt::PointingHandCursor);
        EXPECT_EQ(l->palette().color(QPalette::WindowText), QColor(Qt::blue));
    }
}

TEST_F(MainFormTest, PageTabsSwitchPagesBothWays)
{
    TMainForm &f = *form;
    EXPECT_TRUE(f.PageTabGroup->button(0)->isChecked());
    f.PageTabGroup->button(6)->click();
    EXPECT_EQ(f.PageControl->currentWidget(), f.TabSheet6);
    EXPECT_EQ(OwnHelpContext(f.PageControl), 0);
    f.PageControl->setCurrentWidget(f.TabSheet3);
    EXPECT_TRUE(f.PageTabGroup->button(2)->isChecked());
    EXPECT_FALSE(f.PageTabGroup->button(6)->isChecked());
    EXPECT_EQ(OwnHelpContext(f.PageControl), 4);
}

TEST_F(MainFormTest, VersionTextsCaptionAndTitle)
{
    QString major, minor;
    MakeVersionTexts("1.3.0.67", major, minor);
    EXPECT_EQ(major, "1");
    EXPECT_EQ(minor, "03");
    MakeVersionTexts("2.12.0.1", major, minor);
    EXPECT_EQ(major, "2");
    EXPECT_EQ(minor, "12");
    MakeVersionTexts("123.100.4.5", major, minor);   // both cut to two characters
    EXPECT_EQ(major, "12");
    EXPECT_EQ(minor, "10");
    MakeVersionTexts("1.9", major, minor);
    EXPECT_EQ(minor, "09");

    MakeVersionTexts(FileVersionText(), major, minor);
    EXPECT_EQ(VersionMajor, major);
    EXPECT_EQ(VersionMinor, minor);
    EXPECT_EQ(form->windowTitle(), "Sendorix " + major + "." + minor);   // no trailing blank
    EXPECT_EQ(ApplicationTitle, "Sendorix " + major + "." + minor);
    EXPECT_EQ(form->RussianAbout.value(0), "Sendorix version " + major + "." + minor + " ");
}

TEST_F(MainFormTest, AboutTextHasNineteenLinesInEachLanguage)
{
    TMainForm &f = *form;
    for (const QStringList *about : {&f.RussianAbout, &f.EnglishAbout}) {
        ASSERT_EQ(about->size(), 19);
        EXPECT_EQ(about->at(0), QStringLiteral("Sendorix version %1.%2 ").arg(VersionMajor, VersionMinor));
        for (int i : {1, 7, 17})
            EXPECT_TRUE(about->at(i).isEmpty()) << i + 1;
        EXPECT_EQ(about->at(2), "====");
        EXPECT_EQ(about->at(6), "====");
        EXPECT_FALSE(about->at(3).isEmpty());
        EXPECT_EQ(about->at(5), "Home page : " + TMainForm::HomePage);
        for (int i = 9; i <= 16; ++i) {
            EXPECT_TRUE(about->at(i).startsWith("  ")) << i + 1;
            EXPECT_TRUE(about->at(i).endsWith(i < 16 ? ";" : ".")) << i + 1;
        }
    }
    EXPECT_EQ(f.RussianAbout[4], "Пишите    : " + TMainForm::SupportAddress);
    EXPECT_EQ(f.EnglishAbout[4], "Contacts  : " + TMainForm::SupportAddress);
    EXPECT_EQ(f.RussianAbout[8], "Отдельное спасибо:");
    EXPECT_EQ(f.EnglishAbout[8], "Special thanks to:");
    EXPECT_EQ(f.RussianAbout[18], "Удачи!");
    EXPECT_EQ(f.EnglishAbout[18], "Enjoy!");
    EXPECT_NE(f.RussianAbout[3], f.EnglishAbout[3]);

    // Switching while the About page is in front replaces the text at once.
    f.PageControl->setCurrentWidget(f.TabSheet6);
    EXPECT_EQ(f.memoAbout->toPlainText(), f.EnglishAbout.join('\n'));
    PickLanguage(1);
    EXPECT_EQ(f.memoAbout->toPlainText(), f.RussianAbout.join('\n'));
    EXPECT_EQ(f.memoAbout->document()->blockCount(), 19);
}

TEST_F(MainFormTest, LanguageSwitchSetsEveryCaptionAndHint)
{
    TMainForm &f = *form;
    ExpectLanguage(f, EnglishBase);
    PickLanguage(1);
    EXPECT_EQ(StringBase, RussianBase);
    EXPECT_TRUE(IsRussian());
    ExpectLanguage(f, RussianBase);
    PickLanguage(0);
    EXPECT_EQ(StringBase, EnglishBase);
    ExpectLanguage(f, EnglishBase);
    // No selection speaks Russian.
    f.comboLanguage->setCurrentIndex(-1);
    f.SetLanguage();
    EXPECT_EQ(StringBase, RussianBase);
}

TEST_F(MainFormTest, LanguageSwitchKeepsPriorityIndexAndRewritesLists)
{
    TMainForm &f = *form;
    f.comboPriority->setCurrentIndex(4);
    PickLanguage(1);
    EXPECT_EQ(f.comboPriority->currentIndex(), 4);
    EXPECT_EQ(f.comboPriority->currentText(), QStringLiteral("Самый низкий"));
    EXPECT_EQ(f.comboPriority->itemText(0), QStringLiteral("Высший"));
    f.comboPriority->setCurrentIndex(0);
    PickLanguage(0);
    EXPECT_EQ(f.comboPriority->currentIndex(), 0);
    EXPECT_EQ(f.comboPriority->currentText(), QStringLiteral("Highest"));
    f.comboPriority->setCurrentIndex(-1);
    PickLanguage(1);
    EXPECT_EQ(f.comboPriority->currentIndex(), -1);
    EXPECT_EQ(f.comboPriority->count(), 5);

    // The files count: an empty label stays empty, a filled one follows the language.
    EXPECT_TRUE(f.lblFilesCount->text().isEmpty());
    f.gridFiles->setRowCount(3);
    f.lblFilesCount->setText("x");
    PickLanguage(0);
    EXPECT_EQ(f.lblFilesCount->text(), LoadFormatted(1030, 3));
    PickLanguage(1);
    EXPECT_EQ(f.lblFilesCount->text(), LoadFormatted(30, 3));

    // The protocol is shown in the language picked, line for line.
    f.RussianProtocol = {"Sendorix 1.03", "Соединение", "Готово"};
    f.EnglishProtocol = {"Sendorix 1.03", "Connecting", "Done"};
    PickLanguage(0);
    EXPECT_EQ(f.memoProtocol->toPlainText(), f.EnglishProtocol.join('\n'));
    PickLanguage(1);
    EXPECT_EQ(f.memoProtocol->toPlainText(), f.RussianProtocol.join('\n'));

    // With the archiving option the files page shows the message size in place of the
    // files-per-message spin, starting from the default; without it, the other way round.
    f.spinOneMessSizeDef->setValue(2048);
    f.cbUseZip->click();
    PickLanguage(0);
    EXPECT_TRUE(f.spinFilesInMessage->isHidden());
    EXPECT_TRUE(f.Label9->isHidden());
    EXPECT_FALSE(f.spinOneMessageSize->isHidden());
    EXPECT_FALSE(f.Label16->isHidden());
    EXPECT_EQ(f.spinOneMessageSize->value(), 2048);
    EXPECT_TRUE(f.spinOneMessSizeDef->isEnabled());
    f.cbUseZip->click();
    EXPECT_FALSE(f.spinFilesInMessage->isHidden());
    EXPECT_TRUE(f.spinOneMessageSize->isHidden());
}

TEST_F(MainFormTest, LayoutFollowsCaptionWidthsInBothLanguages)
{
    TMainForm &f = *form;
    for (int language : {0, 1, 0}) {
        PickLanguage(language);
        SCOPED_TRACE(language);
        EXPECT_EQ(f.spinOneMessSizeDef->x(), f.Label17->x() + f.Label17->width() + f.S(5));
        EXPECT_EQ(f.Label16->x() + f.Label16->width(), f.spinOneMessageSize->x() - f.S(5));
        EXPECT_EQ(f.ArcPanel->width(), f.Label18->width() + f.S(20));
        EXPECT_EQ(f.BasicPanel->width(), f.Label21->width() + f.S(20));
        for (QWidget *page : {f.TabSheet1, f.TabSheet2, f.TabSheet3, f.TabSheet5, f.TabSheet4,
                              f.TabSheet7, f.TabSheet6}) {
            f.PageControl->setCurrentWidget(page);
            QApplication::processEvents();
        }
        ExpectReadableLayout(f);
    }
}

TEST_F(MainFormTest, LinksOpenTheirAddressesAndCopyTheBareText)
{
    TMainForm &f = *form;
    auto click = [](QWidget *w) {
        const QPointF at(2, 2);
        QMouseEvent press(QEvent::MouseButtonPress, at, w->mapToGlobal(at), Qt::LeftButton,
                          Qt::LeftButton, Qt::NoModifier);
        QMouseEvent release(QEvent::MouseButtonRelease, at, w->mapToGlobal(at), Qt::LeftButton,
                            Qt::NoButton, Qt::NoModifier);
        QCoreApplication::sendEvent(w, &press);
        QCoreApplication::sendEvent(w, &release);
    };
    click(f.lblEmail);
    click(f.lblURL);
    f.PageControl->setCurrentWidget(f.TabSheet6);
    f.btnLatestNews->click();
    f.lblEmailPopupMenuItemOpen->trigger();
    f.lblURLPopupMenuItemOpen->trigger();
    ASSERT_EQ(opened.size(), 5);
    EXPECT_EQ(opened[0], "mailto:" + TMainForm::SupportAddress);
    EXPECT_EQ(opened[1], TMainForm::HomePage);
    EXPECT_EQ(opened[2], TMainForm::HomePage + "news.html");
    EXPECT_EQ(opened[3], opened[0]);
    EXPECT_EQ(opened[4], opened[1]);
    EXPECT_TRUE(QUrl(TMainForm::HomePage).isValid());

    f.lblEmailPopupMenuItemCopy->trigger();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), TMainForm::SupportAddress);
    f.lblURLPopupMenuItemCopy->trigger();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), TMainForm::HomePage);

    // The link menus draw their Open item bold; the banner menu draws everything bold.
    emit f.lblEmailPopupMenu->aboutToShow();
    emit f.AdvertPopupMenu->aboutToShow();
    EXPECT_TRUE(f.lblEmailPopupMenuItemOpen->font().bold());
    EXPECT_FALSE(f.lblEmailPopupMenuItemCopy->font().bold());
    EXPECT_TRUE(f.lblURLPopupMenuItemOpen->font().bold());
    EXPECT_FALSE(f.lblURLPopupMenuItemCopy->font().bold());
    EXPECT_TRUE(f.AdvertPopupMenuItemOpen->font().bold());
    EXPECT_EQ(f.lblEmail->contextMenuPolicy(), Qt::CustomContextMenu);
}

TEST_F(MainFormTest, ContextHelpUsesTheNearestHelpContext)
{
    TMainForm &f = *form;
    auto *shortcut = f.findChild<QShortcut *>();
    ASSERT_NE(shortcut, nullptr);
    EXPECT_EQ(shortcut->key(), QKeySequence(Qt::Key_F1));

    auto helpFor = [&](QWidget *page, QWidget *field) {
        f.PageControl->setCurrentWidget(page);
        field->setFocus();
        helpRequests.clear();
        emit shortcut->activated();
        EXPECT_EQ(helpRequests.size(), 1u);
        EXPECT_EQ(helpRequests.empty() ? QString() : helpRequests[0].first, f.HelpFile);
        return helpRequests.empty() ? -1 : helpRequests[0].second;
    };
    EXPECT_EQ(helpFor(f.TabSheet1, f.edtTo), 1);
    EXPECT_EQ(helpFor(f.TabSheet1, f.edtCC), 2);
    EXPECT_EQ(helpFor(f.TabSheet2, f.memoText), 2);
    EXPECT_EQ(helpFor(f.TabSheet3, f.spinFilesInMessage), 4);
    EXPECT_EQ(helpFor(f.TabSheet5, f.memoProtocol), 9);
    EXPECT_EQ(helpFor(f.TabSheet4, f.edSMTPName), 6);
    EXPECT_EQ(helpFor(f.TabSheet7, f.cbUseZip), 10);
    EXPECT_EQ(helpFor(f.TabSheet6, f.btnLatestNews), 5);   // the About page has none
    EXPECT_EQ(helpFor(f.TabSheet1, f.comboLanguage), 5);

    // The page control follows the active page, also after a sender mode change.
    f.PageControl->setCurrentWidget(f.TabSheet4);
    EXPECT_EQ(OwnHelpContext(f.PageControl), 6);
    f.SetSenderMode(false);
    EXPECT_EQ(OwnHelpContext(f.PageControl), 0);
    EXPECT_TRUE(f.btnNews->isChecked());
    EXPECT_TRUE(f.SMTPPanel->isHidden());
    f.SetSenderMode(true);
    EXPECT_EQ(OwnHelpContext(f.PageControl), 6);
}

TEST_F(MainFormTest, HelpWithoutAManualSaysWhereItLookedAndOpensNothing)
{
    SetHelpHandler({});   // the real path
    QTemporaryDir empty;
    SetHelpFoldersForTests({empty.path()});
    TMainForm &f = *form;
    f.edtTo->setFocus();
    f.ShowContextHelp();
    QApplication::processEvents();
    SetHelpFoldersForTests({});
    const QList<TShownMessageDlg> boxes = ComDialogsTest::TakeLog();
    ASSERT_EQ(boxes.size(), 1);
    EXPECT_TRUE(boxes[0].Text.contains(empty.path() + "/")) << boxes[0].Text.toStdString();
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_TRUE(opened.isEmpty());
}

TEST_F(MainFormTest, LabelClicksFocusTheirFields)
{
    TMainForm &f = *form;
    QApplication::setActiveWindow(&f);
    auto clickLabel = [](QLabel *l) {
        const QPointF at(1, 1);
        QMouseEvent release(QEvent::MouseButtonRelease, at, l->mapToGlobal(at), Qt::LeftButton,
                            Qt::NoButton, Qt::NoModifier);
        QCoreApplication::sendEvent(l, &release);
    };
    const std::tuple<QWidget *, QLabel *, QWidget *> cases[] = {
        {f.TabSheet1, f.Label1, f.edtTo},      {f.TabSheet1, f.Label2, f.edtSubject},
        {f.TabSheet3, f.Label9, f.spinFilesInMessage}, {f.TabSheet4, f.Label3, f.edSMTPName},
        {f.TabSheet4, f.Label10, f.edPort},    {f.TabSheet4, f.Label4, f.edAccount},
        {f.TabSheet4, f.Label8, f.edtName},    {f.TabSheet4, f.Label7, f.edtReplyTo},
        {f.TabSheet4, f.Label5, f.comboEncoding},
    };
    for (const auto &[page, label, field] : cases) {
        f.PageControl->setCurrentWidget(page);
        f.btnClose->setFocus();
        clickLabel(label);
        QWidget *focus = f.focusWidget();
        EXPECT_TRUE(focus == field || (focus && field->isAncestorOf(focus)))
            << label->objectName().toStdString();
    }
    // The charset note has no field.
    f.PageControl->setCurrentWidget(f.TabSheet4);
    f.edAccount->setFocus();
    clickLabel(f.Label6);
    EXPECT_EQ(f.focusWidget(), f.edAccount);
}

TEST_F(MainFormTest, EnterSendsAndEscCancelsOnlyWhileSending)
{
    TMainForm &f = *form;
    int sends = 0;
    QObject::connect(f.btnSend, &QPushButton::clicked, [&] { ++sends; });
    auto key = [](QWidget *w, int k) {
        QKeyEvent press(QEvent::KeyPress, k, Qt::NoModifier);
        QCoreApplication::sendEvent(w, &press);
    };
    f.edtSubject->setFocus();
    key(f.edtSubject->lineEdit(), Qt::Key_Return);
    EXPECT_EQ(sends, 1);
    // The message text takes Enter as a new line.
    f.PageControl->setCurrentWidget(f.TabSheet2);
    key(f.memoText, Qt::Key_Return);
    EXPECT_EQ(sends, 1);
    EXPECT_EQ(f.memoText->document()->blockCount(), 2);

    f.PageControl->setCurrentWidget(f.TabSheet1);
    key(f.edtTo->lineEdit(), Qt::Key_Escape);
    EXPECT_FALSE(f.Cancelled);   // Cancel is disabled while idle
    f.btnCancel->setEnabled(true);   // as during a send
    key(f.edtTo->lineEdit(), Qt::Key_Escape);
    EXPECT_TRUE(f.Cancelled);
    // While sending, Send is disabled and Enter does nothing.
    f.btnSend->setEnabled(false);
    key(f.edtTo->lineEdit(), Qt::Key_Return);
    EXPECT_EQ(sends, 1);
}

TEST_F(MainFormTest, CloseAsksAboutUnsavedSenderSettings)
{
    TMainForm &f = *form;
    // Unchanged: closes without a question.
    EXPECT_FALSE(f.SettingsChanged);
    EXPECT_TRUE(f.close());
    EXPECT_TRUE(ComDialogsTest::TakeLog().isEmpty());

    f.show();
    f.edSMTPName->setEditText("smtp.example.org");
    EXPECT_TRUE(f.SettingsChanged);
    // A box closed without an answer keeps the window open.
    EXPECT_FALSE(f.close());
    EXPECT_TRUE(f.isVisible());
    // No: closes without saving.
    ComDialogsTest::QueueAnswer(mrNo);
    EXPECT_TRUE(f.close());
    const QList<TShownMessageDlg> log = ComDialogsTest::TakeLog();
    ASSERT_EQ(log.size(), 2);
    EXPECT_EQ(log[1].Text, LoadStr(1058));
    EXPECT_EQ(log[1].DlgType, mtConfirmation);
    EXPECT_EQ(log[1].Buttons, (TMsgDlgButtons{mbYes, mbNo, mbCancel}));
    EXPECT_EQ(log[1].Result, mrNo);

    // Exit takes the same way.
    f.show();
    ComDialogsTest::QueueAnswer(mrNo);
    f.btnClose->click();
    EXPECT_FALSE(f.isVisible());
    EXPECT_EQ(ComDialogsTest::TakeLog().size(), 1);
}

TEST(DialogFilters, PairsBecomeNameFilters)
{
    EXPECT_EQ(DialogNameFilters("Settings (*.smt)|*.smt|All files (*.*)|*.*"),
              QStringList({"Settings (*.smt)", "All files (*)"}));
    EXPECT_EQ(DialogNameFilters("Все файлы (*.*)|*.*"), QStringList({"Все файлы (*)"}));
    EXPECT_EQ(DialogNameFilters("Protocol files|*.log;*.txt"),
              QStringList({"Protocol files (*.log *.txt)"}));
    EXPECT_TRUE(DialogNameFilters("").isEmpty());
}

TEST(MyStringGrid, DeleteRowEmptiesTheOnlyRowInsteadOfRemovingIt)
{
    TMyStringGrid grid(2);
    grid.SetCell(0, 0, "a");
    grid.SetCell(0, 1, "b");
    grid.DeleteRow(5);
    EXPECT_EQ(grid.rowCount(), 1);
    EXPECT_EQ(grid.Cell(0, 0), "");
    EXPECT_EQ(grid.Cell(0, 1), "");

    grid.setRowCount(3);
    for (int r = 0; r < 3; ++r)
        grid.SetCell(r, 0, QString::number(r));
    grid.DeleteRow(1);
    ASSERT_EQ(grid.rowCount(), 2);
    EXPECT_EQ(grid.Cell(0), "0");
    EXPECT_EQ(grid.Cell(1), "2");
}

// Not a check: writes a picture of every page in both languages when
// SENDORIX_SCREENSHOT_DIR is set, for a person to look at.
TEST_F(MainFormTest, Screenshots)
{
    const QString dir = qEnvironmentVariable("SENDORIX_SCREENSHOT_DIR");
    if (dir.isEmpty())
        GTEST_SKIP() << "set SENDORIX_SCREENSHOT_DIR to write screenshots";
    QDir().mkpath(dir);
    TMainForm &f = *form;
    // What the strip below the pages shows during a send.
    f.lbProgressInfo->setText(LoadFormatted(1038, "/tmp/report-2026.pdf", 123456));
    f.lblNumOfMessage->setText("3/10");
    f.ProgressBar->setValue(40);
    for (int language : {0, 1}) {
        PickLanguage(language);
        for (int i = 0; i < f.PageControl->count(); ++i) {
            f.PageControl->setCurrentIndex(i);
            QApplication::processEvents();
            const QString name = QStringLiteral("%1/%2-%3.png")
                                     .arg(dir, language ? "ru" : "en",
                                          f.PageControl->widget(i)->objectName());
            EXPECT_TRUE(f.grab().save(name));
        }
    }
    // The files page and the status line with the archiver on.
    f.cbUseZip->setChecked(true);
    f.ShowFilesPerMessage();
    for (int language : {0, 1}) {
        PickLanguage(language);
        f.lbProgressInfo->setText(Text(TextId::ArchivePacking, QStringLiteral("Фото отпуска 2024.jpg"), 117, 1200));
        f.PageControl->setCurrentWidget(f.TabSheet3);
        QApplication::processEvents();
        EXPECT_TRUE(f.grab().save(QStringLiteral("%1/%2-archiver.png").arg(dir, language ? "ru" : "en")));
    }
}
