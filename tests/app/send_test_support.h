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

// The server runs while the object lives (and stops by itself after two minutes at most).
class SmtpSink {
public:
    explicit SmtpSink(const QStringList &options = {})
    {
        const QString script = QStringLiteral(TEST_SOURCE_DIR "/app/send_smtp_server.py");
        proc.start(QStringLiteral(TEST_PYTHON), QStringList{script, dir.path()} + options);
        QElapsedTimer t;
        t.start();
        while (!QFile::exists(dir.filePath("port")) && t.elapsed() < 30000
               && proc.state() != QProcess::NotRunning)
            QThread::msleep(20);
        QFile f(dir.filePath("port"));
        if (f.open(QIODevice::ReadOnly))
            port = f.readAll().trimmed().toInt();
        if (port == 0)
            ADD_FAILURE() << "SMTP server did not start: " << proc.readAllStandardError().toStdString();
    }
    ~SmtpSink()
    {
        proc.closeWriteChannel();
        if (!proc.waitForFinished(15000)) {
            proc.kill();
            proc.waitForFinished(5000);
        }
    }

    // Transactions received so far (each DATA is one).
    int Count() const
    {
        return static_cast<int>(QDir(dir.path()).entryList({QStringLiteral("*.json")}, QDir::Files).size());
    }
    // The n-th transaction (1-based).
    QJsonObject Message(int n) const
    {
        QFile f(dir.filePath(QString::asprintf("%03d.json", n)));
        if (!f.open(QIODevice::ReadOnly))
            return {};
        return QJsonDocument::fromJson(f.readAll()).object();
    }
    // Decoded bytes of attachment k (1-based) of transaction n.
    QByteArray Attachment(int n, int k) const
    {
        QFile f(dir.filePath(QString::asprintf("%03d-%d.bin", n, k)));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }

    QTemporaryDir dir;
    QProcess proc;
    int port = 0;
};

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
