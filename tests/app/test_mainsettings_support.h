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
#include "ini_test_support.h"
#include "window_test_support.h"

#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QFocusEvent>

#include <gtest/gtest.h>

#include <memory>

// The window is started by the test itself (Start), after it has prepared the settings folder.
class WindowTest : public WindowTestBase
{
protected:
    void SetUp() override
    {
        WindowTestBase::SetUp();
        TMainForm::SetSettingsFolderForTests(Dir());
    }

    QString Dir() const { return QString::fromStdString(dir.path()); }
    QString SettingsPath() const { return SettingsFilePath(Dir()); }

    static void WriteBytes(const QString &path, const QByteArray &bytes) { writeBytes(path, bytes); }
    static void WriteText(const QString &path, const QString &text) { WriteBytes(path, text.toUtf8()); }
    static QString ReadText(const QString &path)
    {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly))
            return QString();
        return QString::fromUtf8(f.readAll());
    }

    testsupport::TempDir dir{"sendorix-window"};
};
