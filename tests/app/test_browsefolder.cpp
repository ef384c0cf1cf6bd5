// The folder browser: path shortening, the real dialog driven offscreen, the root folders of
// a Linux desktop, and the main window's browse button.
#include "BrowseFolder.h"
#include "TempDir.h"
#include "window_test_support.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QTimer>
#include <QToolButton>

#include <gtest/gtest.h>

#include <functional>

namespace {

TEST(ShortenPath, KeepsTheFirstComponentAndAsManyLastOnesAsFit)
{
    const QString six = "data/alexandra_smith/workspaces/projects/sendorix/tmpfil";
    ASSERT_EQ(six.size(), 56);
    ASSERT_EQ(six.count('/') + 1, 6);
    const struct {
        QString In, Out;
    } cases[] = {
        // the second component replaced, then the third removed
        {six, "data/.../projects/sendorix/tmpfil"},
        // 35 characters: unchanged; one more: the second component goes, which is enough
        {"/aaaa/bbbb/cccc/dddd/eeee/ffff/gggg", "/aaaa/bbbb/cccc/dddd/eeee/ffff/gggg"},
        {"/aaaa/bbbb/cccc/dddd/eeee/ffff/ggggg", "/.../bbbb/cccc/dddd/eeee/ffff/ggggg"},
        // a single separator: nothing to take out, however long
        {"first-very-long-component-name-here/second-very-long-component-name",
         "first-very-long-component-name-here/second-very-long-component-name"},
        // long first and last components: exactly three components remain, still too long
        {"a-very-long-first-component/b/c/d/and-a-very-long-last-component",
         "a-very-long-first-component/.../and-a-very-long-last-component"},
        // a Linux path starts with an empty component, a folder path may end with one
        {"/home/alexandra/projects/sendorix/build/temporary/files", "/.../sendorix/build/temporary/files"},
        {"/home/alexandra/projects/sendorix/build/temporary/", "/.../sendorix/build/temporary/"},
        {"", ""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ShortenPath(c.In), c.Out) << c.In.toStdString();
    EXPECT_EQ(ShortenPath("/.../projects/sendorix/tmpfil"), "/.../projects/sendorix/tmpfil");
    EXPECT_EQ(ShortenPath(QString(six).replace('/', '\\'), '\\'), "data\\...\\projects\\sendorix\\tmpfil");
}

// Runs Execute with `script` acting on the open dialog once it is up; a dialog the script
// leaves open is cancelled after a generous while so a broken case fails instead of hanging.
bool RunDialog(TBrowseFolder &bf, const std::function<void(QFileDialog *)> &script)
{
    bool initialized = false;
    bf.OnInitialized = [&](TBrowseFolder *sender, QWidget *dialog) {
        EXPECT_EQ(sender, &bf);
        EXPECT_EQ(dialog, bf.Dialog());
        initialized = true;
        QPointer<QFileDialog> d = qobject_cast<QFileDialog *>(dialog);
        QTimer::singleShot(0, dialog, [d, &script] {
            script(d);
            if (d && d->isVisible())
                QTimer::singleShot(0, d, [d] { d->reject(); });
        });
    };
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [] {
        ADD_FAILURE() << "the folder dialog was still open";
        if (QWidget *w = QApplication::activeModalWidget())
            w->close();
    });
    watchdog.start(60000);
    const bool result = bf.Execute();
    EXPECT_TRUE(initialized);
    EXPECT_EQ(bf.Dialog(), nullptr);
    return result;
}

// Types into the name field as a user does. With the focus in the field the dialog drops the
// list's earlier selection; offscreen the field gets no focus, so the selection is dropped here.
void Type(QFileDialog *d, const QString &text)
{
    QLineEdit *edit = d->findChild<QLineEdit *>("fileNameEdit");
    ASSERT_TRUE(edit);
    for (QAbstractItemView *view : d->findChildren<QAbstractItemView *>())
        view->clearSelection();
    edit->setText(text);
}

class BrowseFolderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(QDir().mkpath(Deep));
        testsupport::WriteFile((Base + "/file.txt").toStdString(), "x");
    }
    testsupport::TempDir dir;
    const QString Base = QString::fromStdString(dir.path());
    const QString Alpha = Base + "/alpha";
    const QString Beta = Alpha + "/beta";
    const QString Deep = Beta + "/a-folder-with-a-long-name/and-another-long-one";
};

TEST_F(BrowseFolderTest, PreselectsShowsTheShortenedPathAndAcceptsOnlyFolders)
{
    TBrowseFolder bf;
    bf.Directory = Alpha;
    bf.Title = "Pick a folder:";
    bf.ShowPathInStatusArea = true;
    QStringList changes;
    bf.OnSelectionChanged = [&](TBrowseFolder *, QWidget *, const QString &item, const QString &dir) {
        changes << item + "|" + dir;
    };
    bool ran = false;
    const bool ok = RunDialog(bf, [&](QFileDialog *d) {
        ran = true;
        EXPECT_EQ(QDir(d->directory()).absolutePath(), Alpha);
        QLabel *title = d->findChild<QLabel *>("TitleLabel");
        ASSERT_TRUE(title);
        EXPECT_EQ(title->text(), "Pick a folder:");
        ASSERT_TRUE(bf.StatusLabel() && bf.OkButton());
        EXPECT_EQ(bf.StatusLabel()->text(), ShortenPath(Alpha));
        EXPECT_TRUE(bf.OkButton()->isEnabled());

        for (const QString &notAFolder : {QString("no-such-folder"), QString("../file.txt")}) {
            Type(d, notAFolder);
            EXPECT_FALSE(bf.OkButton()->isEnabled()) << notAFolder.toStdString();
            EXPECT_EQ(bf.StatusLabel()->text(), "");
            EXPECT_EQ(bf.Selection(), "");
            static_cast<QDialog *>(d)->accept();   // Enter on a non-folder does not close the dialog
            EXPECT_TRUE(d->isVisible());
        }
        Type(d, Deep);
        EXPECT_TRUE(bf.OkButton()->isEnabled());
        EXPECT_EQ(bf.StatusLabel()->text(), ShortenPath(Deep));
        EXPECT_NE(bf.StatusLabel()->text(), Deep);
        Type(d, "beta");
        EXPECT_EQ(bf.StatusLabel()->text(), ShortenPath(Beta));
        bf.OkButton()->click();
    });
    EXPECT_TRUE(ran);
    EXPECT_TRUE(ok);
    EXPECT_EQ(bf.Directory, Beta);
    EXPECT_TRUE(changes.contains(Alpha + "/no-such-folder|"));
    EXPECT_TRUE(changes.contains(Beta + "|" + Beta));
}

TEST_F(BrowseFolderTest, CancelKeepsDirectoryAndAMissingFolderOpensAtHomeWithoutError)
{
    TBrowseFolder bf;
    bf.Directory = Base + "/no/such/folder";
    const bool ok = RunDialog(bf, [&](QFileDialog *d) {
        EXPECT_EQ(QDir(d->directory()).absolutePath(), QDir::homePath());
        EXPECT_EQ(QApplication::activeModalWidget(), d);   // no message box on top of it
        EXPECT_EQ(bf.StatusLabel()->text(), "");   // the path is shown only when asked for
        Type(d, Beta);
        d->reject();
    });
    EXPECT_FALSE(ok);
    EXPECT_EQ(bf.Directory, Base + "/no/such/folder");
}

TEST_F(BrowseFolderTest, ExtraButtonClicksChangesWhileOpenAndReturnsItsStateOnOkOnly)
{
    for (TCustomButtonType type : {btCheckBox, btPushButton}) {
        for (bool confirm : {true, false}) {
            SCOPED_TRACE(testing::Message() << "type " << type << " confirm " << confirm);
            TBrowseFolder bf;
            bf.Directory = Alpha;
            bf.CustomButtonVisible = true;
            bf.CustomButtonType = type;
            bf.SetCustomButtonCaption("Keep");
            bf.SetCustomButtonWidth(0);
            EXPECT_EQ(bf.CustomButtonWidth(), 75);
            bf.CustomButtonChecked = true;
            int clicks = 0;
            bf.OnCustomButtonClick = [&](TBrowseFolder *sender, QWidget *dialog) {
                clicks += sender == &bf && dialog == bf.Dialog();
            };
            RunDialog(bf, [&](QFileDialog *d) {
                QAbstractButton *b = bf.CustomButton();
                ASSERT_TRUE(b);
                EXPECT_EQ(b->text(), "Keep");
                EXPECT_EQ(b->width(), 75);
                EXPECT_EQ(qobject_cast<QCheckBox *>(b) != nullptr, type == btCheckBox);
                EXPECT_EQ(b->isChecked(), type == btCheckBox);
                b->click();
                EXPECT_EQ(clicks, 1);
                EXPECT_TRUE(d->isVisible());   // the click is the program's, not the dialog's
                bf.SetCustomButtonCaption("Other");
                bf.SetCustomButtonEnabled(false);
                EXPECT_EQ(b->text(), "Other");
                EXPECT_FALSE(b->isEnabled());
                if (confirm)
                    bf.OkButton()->click();
                else
                    d->reject();
            });
            // Only a confirmed check box reports its (now cleared) state.
            EXPECT_EQ(bf.CustomButtonChecked, !(confirm && type == btCheckBox));
        }
    }
}

TEST_F(BrowseFolderTest, SyncedExtraButtonFollowsOk)
{
    TBrowseFolder bf;
    bf.Directory = Alpha;
    bf.CustomButtonVisible = true;
    bf.SyncCustomButton = true;
    RunDialog(bf, [&](QFileDialog *d) {
        EXPECT_TRUE(bf.CustomButton()->isEnabled());
        Type(d, "missing");
        EXPECT_FALSE(bf.CustomButton()->isEnabled());
        EXPECT_FALSE(bf.CustomButtonEnabled());
        Type(d, "beta");
        EXPECT_TRUE(bf.CustomButton()->isEnabled());
        d->reject();
    });
}

TEST_F(BrowseFolderTest, OpensAQuarterDownAndCentredOnTheActiveWindow)
{
    QWidget front;
    front.setGeometry(100, 80, 601, 402);
    front.show();
    front.activateWindow();
    QApplication::processEvents();
    ASSERT_TRUE(!QApplication::activeWindow() || QApplication::activeWindow() == &front);
    TBrowseFolder bf(&front);
    RunDialog(bf, [&](QFileDialog *d) {
        EXPECT_EQ(d->parentWidget(), &front);
        const QRect f = front.frameGeometry();
        const QRect own = d->frameGeometry();
        EXPECT_EQ(own.topLeft(), QPoint(f.left() + f.width() / 2 - own.width() / 2, f.top() + f.height() / 4));
        d->reject();
    });
}

// The special folders on a desktop whose user folders live under a made-up home.
TEST_F(BrowseFolderTest, RootFoldersMapToTheDesktopsFoldersOrHome)
{
    const QByteArray oldHome = qgetenv("HOME"), oldConfig = qgetenv("XDG_CONFIG_HOME");
    const QString home = Base + "/home";
    QDir().mkpath(home + "/.config");
    for (const char *sub : {"/Docs", "/Vorlagen", "/Schreibtisch", "/.config/autostart", "/.local/share/applications"})
        QDir().mkpath(home + sub);
    testsupport::WriteFile((home + "/.config/user-dirs.dirs").toStdString(),
                           "# written by the test\n"
                           "XDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n"
                           "XDG_DOCUMENTS_DIR=\"$HOME/Docs\"\n"
                           "XDG_TEMPLATES_DIR=\"$HOME/Vorlagen\"\n");
    qputenv("HOME", home.toUtf8());
    qputenv("XDG_CONFIG_HOME", (home + "/.config").toUtf8());

    const struct {
        TSHFolders Folder;
        TBrowseInfoFlags Flags;
        QString Path;
    } cases[] = {
        {foDesktopExpanded, 0, ""},
        {foMyComputer, 0, "/"},
        {foPersonal, 0, home + "/Docs"},
        {foTemplates, 0, home + "/Vorlagen"},
        {foDesktop, 0, home + "/Schreibtisch"},
        {foDesktopDirectory, 0, home + "/Schreibtisch"},
        {foStartup, 0, home + "/.config/autostart"},
        {foPrograms, 0, home + "/.local/share/applications"},
        {foStartMenu, 0, home + "/.local/share/applications"},
        {foPrinters, 0, home},
        {foControlPanel, 0, home},
        {foFonts, 0, home},
        {foNetwork, 0, home},
        {foRecycleBin, 0, home},
        {foMyComputer, bfBrowseForComputer, home},
        {foPersonal, bfBrowseForPrinter | bfStatusText, home},
    };
    for (const auto &c : cases)
        EXPECT_EQ(TBrowseFolder::RootPath(c.Folder, c.Flags), c.Path) << c.Folder << " " << c.Flags;

    // A preselection outside the root is not offered; the tree starts at its root.
    TBrowseFolder bf;
    bf.RootFolder = foPersonal;
    bf.Directory = Alpha;
    RunDialog(bf, [&](QFileDialog *d) {
        EXPECT_EQ(QDir(d->directory()).absolutePath(), home + "/Docs");
        Type(d, Alpha);   // typed outside the root: not a choice
        EXPECT_FALSE(bf.OkButton()->isEnabled());
        d->reject();
    });

    QDir(home + "/Docs").removeRecursively();   // a user folder that is gone: home instead
    EXPECT_EQ(TBrowseFolder::RootPath(foPersonal), home);

    qputenv("HOME", oldHome);
    if (oldConfig.isNull())
        qunsetenv("XDG_CONFIG_HOME");
    else
        qputenv("XDG_CONFIG_HOME", oldConfig);
}

class BrowseButtonTest : public WindowTestBase {};

TEST_F(BrowseButtonTest, TheTemporaryFolderButtonBrowsesFromTheBoxAndPutsTheChoiceBack)
{
    testsupport::TempDir dir;
    const QString base = QString::fromStdString(dir.path());
    QDir().mkpath(base + "/one/two");
    form = Start();
    form->edTempDir->setEditText(base + "/one");

    TBrowseFolder *bf = form->BrowseFolder;
    ASSERT_TRUE(bf);
    for (int language : {0, 1}) {
        PickLanguage(language);
        bool shown = false;
        const QString typed = language ? "missing" : "two";
        bf->OnInitialized = [&](TBrowseFolder *, QWidget *dialog) {
            auto *d = qobject_cast<QFileDialog *>(dialog);
            QTimer::singleShot(0, d, [&, d] {
                shown = true;
                EXPECT_EQ(d->parentWidget(), form.get());
                EXPECT_EQ(d->findChild<QLabel *>("TitleLabel")->text(), form->Msg(73));
                EXPECT_EQ(QDir(d->directory()).absolutePath(), base + "/one");
                EXPECT_EQ(bf->StatusLabel()->text(), ShortenPath(base + "/one"));
                Type(d, typed);
                if (bf->OkButton()->isEnabled())
                    bf->OkButton()->click();
                else
                    d->reject();
            });
        };
        form->btnSelectTempDir->click();
        EXPECT_TRUE(shown);
        // English: "two" chosen; Russian: nothing chosen, the box keeps what it had.
        EXPECT_EQ(form->edTempDir->currentText(), base + "/one" + (language ? "" : "/two"));
        form->edTempDir->setEditText(base + "/one");
    }
    EXPECT_NE(form->Msg(73), "");
}

} // namespace
