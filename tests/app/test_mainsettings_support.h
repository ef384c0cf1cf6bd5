// Shared by the settings and profile window tests: a window started on a settings folder of
// the test's own, and small file helpers.
#pragma once

#include "AppHelp.h"
#include "ComDialogs.h"
#include "Global.h"
#include "Language.h"
#include "MainForm.h"
#include "Settings.h"
#include "TempDir.h"

#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QFocusEvent>

#include <gtest/gtest.h>

#include <memory>

class WindowTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        StringBase = EnglishBase;
        InstallLanguageHook();
        ComDialogsTest::Reset();
        ComDialogsTest::SetRefuseUnanswered(true);   // a forgotten answer must not hang
        TMainForm::FileDialogsTest::Reset();
        TMainForm::FileDialogsTest::SetRefuseUnanswered(true);
        previousOpener = TMainForm::DocumentOpener;
        TMainForm::DocumentOpener = [](const QString &) {};
        previousHelp = SetHelpHandler([](const QString &, int) { return true; });
        TMainForm::SetSettingsFolderForTests(Dir());
    }
    void TearDown() override
    {
        TMainForm::DocumentOpener = previousOpener;
        SetHelpHandler(previousHelp);
        ComDialogsTest::Reset();
        TMainForm::FileDialogsTest::Reset();
        StringBase = EnglishBase;
    }

    // A window as the program starts it, shown offscreen.
    std::unique_ptr<TMainForm> Start()
    {
        auto f = std::make_unique<TMainForm>();
        f->show();
        QApplication::processEvents();
        return f;
    }

    QString Dir() const { return QString::fromStdString(dir.path()); }
    QString SettingsPath() const { return SettingsFilePath(Dir()); }

    static void WriteBytes(const QString &path, const QByteArray &bytes)
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
        f.write(bytes);
    }
    static void WriteText(const QString &path, const QString &text) { WriteBytes(path, text.toUtf8()); }
    static QString ReadText(const QString &path)
    {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly))
            return QString();
        return QString::fromUtf8(f.readAll());
    }

    testsupport::TempDir dir{"sendorix-window"};
    std::function<void(const QString &)> previousOpener;
    THelpHandler previousHelp;
};
