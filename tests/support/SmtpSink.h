// A real SMTP server for tests: aiosmtpd (tests/app/send_smtp_server.py, /usr/bin/python3) on a
// free loopback port. Every message that arrives is parsed with Python's email package and
// recorded as JSON (envelope, decoded subject, raw subject bytes, text part, attachment names);
// the options make it refuse, drop the connection, go slow or speak TLS.
#pragma once

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

namespace testsupport {

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

}  // namespace testsupport
