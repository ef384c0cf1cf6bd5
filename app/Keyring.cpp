#include "Keyring.h"

#include <QEventLoop>
#include <QTimer>

#include <qt6keychain/keychain.h>

namespace Keyring {

namespace {

const QString Service = QStringLiteral("Sendorix");

// Runs a job to its end (at most a minute: a keyring that never answers counts as absent).
TResult Run(QKeychain::Job &job)
{
    job.setAutoDelete(false);
    QEventLoop loop;
    QObject::connect(&job, &QKeychain::Job::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(60000, &loop, &QEventLoop::quit);
    job.start();
    loop.exec();
    switch (job.error()) {
    case QKeychain::NoError:
        return krOk;
    case QKeychain::EntryNotFound:
        return krNotFound;
    default:
        return krUnavailable;
    }
}

}  // namespace

QString EntryKey(const QString &server, const QString &port, const QString &user)
{
    return user + QLatin1Char('@') + server.trimmed().toLower() + QLatin1Char(':') + port.trimmed();
}

TResult Read(const QString &key, QString &secret)
{
    QKeychain::ReadPasswordJob job(Service);
    job.setKey(key);
    job.setInsecureFallback(false);
    const TResult r = Run(job);
    if (r == krOk)
        secret = job.textData();
    return r;
}

TResult Write(const QString &key, const QString &secret)
{
    QKeychain::WritePasswordJob job(Service);
    job.setKey(key);
    job.setInsecureFallback(false);   // never a plain file
    job.setTextData(secret);
    return Run(job);
}

TResult Remove(const QString &key)
{
    QKeychain::DeletePasswordJob job(Service);
    job.setKey(key);
    job.setInsecureFallback(false);
    return Run(job);
}

}  // namespace Keyring
