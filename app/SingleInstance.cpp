#include "SingleInstance.h"

#include <QDataStream>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>

#include <unistd.h>

namespace {

// What a second start sends: this marker, then the list of absolute paths.
constexpr quint32 HandOverMagic = 0x53445831;   // "SDX1"
constexpr char Ack = '1';

QString LockPath(const QString &name)
{
    // A name with a '/' is a socket path of its own; a plain one lives in the temporary folder,
    // where QLocalServer puts it too.
    const QString base = name.contains(QLatin1Char('/')) ? name : QDir::temp().filePath(name);
    return base + QStringLiteral(".lock");
}

} // namespace

QString TSingleInstance::DefaultName()
{
    const QString own = qEnvironmentVariable("SENDORIX_INSTANCE");
    if (!own.isEmpty())
        return own;
    return QStringLiteral("sendorix-%1").arg(::getuid());
}

TSingleInstance::TSingleInstance(QString name, QObject *parent) : QObject(parent), Name_(std::move(name)) {}

TSingleInstance::~TSingleInstance()
{
    if (Server)
        Server->close();   // removes the socket file
}

bool TSingleInstance::HandOverOrListen(const QStringList &files, int timeoutMs)
{
    // Two starts at the same moment must not both become the running one.
    QLockFile lock(LockPath(Name_));
    lock.setStaleLockTime(30000);
    const bool locked = lock.tryLock(timeoutMs);
    if (HandOver(files, timeoutMs))
        return true;
    if (locked)
        Listen();
    return false;
}

bool TSingleInstance::HandOver(const QStringList &files, int timeoutMs)
{
    QLocalSocket socket;
    socket.connectToServer(Name_);
    if (!socket.waitForConnected(timeoutMs))
        return false;
    QByteArray data;
    {
        QDataStream out(&data, QIODevice::WriteOnly);
        out.setVersion(QDataStream::Qt_6_0);
        out << HandOverMagic << files;
    }
    socket.write(data);
    if (!socket.waitForBytesWritten(timeoutMs))
        return false;
    // Only the running window's answer says the files are in its hands.
    while (socket.bytesAvailable() < 1)
        if (!socket.waitForReadyRead(timeoutMs))
            return false;
    char answer = 0;
    return socket.getChar(&answer) && answer == Ack;
}

bool TSingleInstance::Listen()
{
    auto *server = new QLocalServer(this);
    server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server->listen(Name_)) {
        // Left over from a program that did not end cleanly: nobody answered on it.
        QLocalServer::removeServer(Name_);
        if (!server->listen(Name_)) {
            delete server;
            return false;
        }
    }
    connect(server, &QLocalServer::newConnection, this, [this, server] {
        while (QLocalSocket *socket = server->nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] { ReadFrom(socket); });
            ReadFrom(socket);
        }
    });
    Server = server;
    return true;
}

bool TSingleInstance::Listening() const
{
    return Server && Server->isListening();
}

void TSingleInstance::ReadFrom(QLocalSocket *socket)
{
    QDataStream in(socket);
    in.setVersion(QDataStream::Qt_6_0);
    in.startTransaction();
    quint32 magic = 0;
    QStringList files;
    in >> magic >> files;
    if (!in.commitTransaction())
        return;   // the rest is still on its way
    if (magic != HandOverMagic) {
        socket->abort();
        return;
    }
    socket->write(&Ack, 1);
    socket->flush();
    socket->disconnectFromServer();
    Deliver(files);
}

void TSingleInstance::SetReceiver(std::function<void(const QStringList &)> receiver)
{
    Receiver = std::move(receiver);
    const QList<QStringList> waiting = std::exchange(Waiting, {});
    for (const QStringList &files : waiting)
        Deliver(files);
}

void TSingleInstance::Deliver(const QStringList &files)
{
    if (Receiver)
        Receiver(files);
    else
        Waiting << files;
}
