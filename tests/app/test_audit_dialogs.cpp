// The folders the add-files and save-protocol dialogs remember, with the real dialogs: only a
// file actually chosen moves them, not a folder browsed to and then cancelled.
#include "ComDialogs.h"
#include "Language.h"
#include "MainForm.h"
#include "window_test_support.h"
#include "TempDir.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QTimer>

#include <gtest/gtest.h>

#include <memory>

namespace {

class AuditDialogsTest : public WindowTestBase {
protected:
    void SetUp() override
    {
        WindowTestBase::SetUp();
        // These tests answer the real file dialogs themselves (and close them if they stay up).
        TMainForm::FileDialogsTest::Reset();
        form = Start();
        ASSERT_TRUE(QDir().mkpath(Folder("start")));
        ASSERT_TRUE(QDir().mkpath(Folder("elsewhere")));
    }

    QString Folder(const char *name) const
    {
        return QDir(QString::fromStdString(dir.path())).absoluteFilePath(QString::fromLatin1(name));
    }

    // Opens the dialog through the command; once it is up, browses to another folder and
    // cancels there.
    void Run(QFileDialog *dialog, const std::function<void()> &command)
    {
        // The toolkit's own dialog, which the test can reach (a desktop's native one it cannot).
        dialog->setOption(QFileDialog::DontUseNativeDialog);
        bool seen = false;
        QTimer timer;
        int ticks = 0;
        int answeredAt = 0;
        QObject::connect(&timer, &QTimer::timeout, [&] {
            ++ticks;
            if (seen || ticks > 500) {
                // Still open long after it was answered (or never seen): close it, never hang.
                if (ticks > 500 || ticks > answeredAt + 100)
                    if (QWidget *w = QApplication::activeModalWidget())
                        static_cast<QDialog *>(w)->reject();
                return;
            }
            if (!dialog->isVisible())
                return;
            seen = true;
            answeredAt = ticks;
            dialog->setDirectory(Folder("elsewhere"));
            dialog->reject();
        });
        timer.start(10);
        command();
        timer.stop();
        EXPECT_TRUE(seen) << dialog->objectName().toStdString();
    }

    testsupport::TempDir dir{"sendorix-dialogs"};
};

TEST_F(AuditDialogsTest, CancelledAddFilesDialogKeepsItsFolder)
{
    TMainForm::SetInitialDir(form->FileDialog, Folder("start"));
    Run(form->FileDialog, [this] { form->btnLoadClick(); });
    EXPECT_TRUE(form->FileListEmpty());
    EXPECT_EQ(QDir(TMainForm::InitialDir(form->FileDialog)), QDir(Folder("start")));
}

TEST_F(AuditDialogsTest, CancelledSaveProtocolDialogKeepsItsFolder)
{
    form->AddProtocolText(QStringLiteral("line"));
    TMainForm::SetInitialDir(form->SaveLogDialog, Folder("start"));
    Run(form->SaveLogDialog, [this] { form->btnSaveLogClick(); });
    EXPECT_EQ(QDir(TMainForm::InitialDir(form->SaveLogDialog)), QDir(Folder("start")));
    EXPECT_TRUE(QDir(Folder("elsewhere")).isEmpty());
}

}  // namespace
