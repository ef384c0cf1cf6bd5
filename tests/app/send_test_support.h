// Shared pieces of the window's send, file list and protocol tests: a real SMTP server
// (aiosmtpd in /usr/bin/python3, on a free loopback port) that records what it receives
// after parsing it with Python's email package, and a window fixture with the file dialog
// and message boxes answered by the test.
#pragma once

#include "ComDialogs.h"
#include "Global.h"
#include "Language.h"
#include "MainForm.h"
#include "MyStringGrid.h"
#include "SmtpSink.h"
#include "window_test_support.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QToolButton>

#include <gtest/gtest.h>

#include <memory>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace sendtest {

using testsupport::SmtpSink;

// A loopback port below 10000 (the port field holds four digits) on which nothing listens.
inline int ClosedPort()
{
    for (int port = 9973; port > 2000; port -= 37) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool free = ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
        ::close(fd);
        if (free)
            return port;
    }
    return 9;
}

inline QString Text(const QJsonObject &o, const char *key)
{
    return o.value(QLatin1String(key)).toString();
}

inline QStringList Strings(const QJsonValue &v)
{
    QStringList out;
    for (const QJsonValue &x : v.toArray())
        out << x.toString();
    return out;
}

inline QByteArray Hex(const QJsonObject &o, const char *key)
{
    return QByteArray::fromHex(Text(o, key).toLatin1());
}

// The window started for each test, with files to send.
class WindowTest : public WindowTestBase {
protected:
    void SetUp() override
    {
        WindowTestBase::SetUp();
        form = Start();
    }

    // Files of the given names in a temporary folder, each with its own content.
    QStringList MakeFiles(const QStringList &names)
    {
        QStringList paths;
        int i = 0;
        for (const QString &name : names) {
            const QString path = files.filePath(name);
            QFile f(path);
            f.open(QIODevice::WriteOnly);
            QByteArray data;
            for (int k = 0; k < 700 * (i + 1); ++k)
                data.append(static_cast<char>((k * 31 + i * 7) & 0xFF));
            f.write(data);
            paths << path;
            ++i;
        }
        return paths;
    }
    // Adds files through the Add button, answering its dialog.
    void AddThroughDialog(const QStringList &paths)
    {
        TMainForm::FileDialogsTest::QueueAnswer(paths);
        form->btnLoad->click();
    }
    QStringList Rows() const { return form->gridFiles->Column(0); }
    // The window's file dialogs run so far, in order.
    QList<QFileDialog *> DialogsShown()
    {
        for (const TMainForm::FileDialogsTest::TShown &shown : TMainForm::FileDialogsTest::TakeLog())
            dialogsShown << form->findChild<QFileDialog *>(shown.Dialog);
        return dialogsShown;
    }

    QTemporaryDir files;
    QList<QFileDialog *> dialogsShown;
};

}  // namespace sendtest
