// Fixtures of the tests that use the interface language or drive the real window offscreen.
#pragma once

#include "AppHelp.h"
#include "ComDialogs.h"
#include "Language.h"
#include "MainForm.h"

#include <QApplication>
#include <QComboBox>
#include <QStringList>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <utility>
#include <vector>

// English texts and an empty message box queue before and after every test.
// The window as it is while a job runs, without running one: the job is set and the window
// locked, until the end of the scope.
class PretendJob
{
public:
    explicit PretendJob(TMainForm &form) : Form(form), Job(form.VokSMTP, form.VokMsg, Host, {})
    {
        Form.Job = &Job;
        Form.EnterSendState();
    }
    ~PretendJob() { End(); }
    void End()
    {
        if (Form.Job == &Job) {
            Form.LeaveSendState();
            Form.Job = nullptr;
        }
    }

private:
    struct : TSendJobHost {
        void ClearProtocol() override {}
        void ProtocolLine(const QString &, const QString &) override {}
        void ProtocolAppend(const QString &, const QString &) override {}
        void Status(const QString &) override {}
        void Counter(const QString &) override {}
        TSecretAnswer Secret(const QString &, const QString &) override { return {}; }
        bool TrustCertificate(const QString &, const TCertificateProblem &) override { return false; }
    } Host;
    TMainForm &Form;
    TSendJob Job;
};

class LanguageTestBase : public ::testing::Test
{
protected:
    void SetUp() override
    {
        StringBase = EnglishBase;
        InstallLanguageHook();
        ComDialogsTest::Reset();
    }
    void TearDown() override
    {
        StringBase = EnglishBase;
        ComDialogsTest::Reset();
    }
};

// The window with its message boxes and file dialogs answered by the test (one without a queued
// answer is cancelled, so a forgotten answer cannot hang), and documents and help recorded
// instead of opened.
class WindowTestBase : public LanguageTestBase
{
protected:
    void SetUp() override
    {
        LanguageTestBase::SetUp();
        ComDialogsTest::SetRefuseUnanswered(true);
        TMainForm::FileDialogsTest::Reset();
        TMainForm::FileDialogsTest::SetRefuseUnanswered(true);
        previousOpener = TMainForm::DocumentOpener;
        TMainForm::DocumentOpener = [this](const QString &target) { opened << target; };
        previousHelp = SetHelpHandler([this](const QString &file, int context) {
            helpRequests.push_back({file, context});
            return true;
        });
    }
    void TearDown() override
    {
        if (form) {
            form->SettingsChanged = false;   // the test's edits are not written at close
            form.reset();
        }
        TMainForm::DocumentOpener = previousOpener;
        SetHelpHandler(previousHelp);
        TMainForm::FileDialogsTest::Reset();
        LanguageTestBase::TearDown();
    }

    // A window as the program starts it, shown offscreen.
    std::unique_ptr<TMainForm> Start()
    {
        auto f = std::make_unique<TMainForm>();
        f->show();
        QApplication::processEvents();
        return f;
    }

    void PickLanguage(int index)
    {
        form->comboLanguage->setCurrentIndex(index);
        emit form->comboLanguage->activated(index);   // what a user's pick sends
    }

    std::unique_ptr<TMainForm> form;   // set by fixtures that start the window in SetUp
    QStringList opened;
    std::vector<std::pair<QString, int>> helpRequests;

private:
    std::function<void(const QString &)> previousOpener;
    THelpHandler previousHelp;
};
