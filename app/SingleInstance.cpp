#include "SingleInstance.h"

#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>

#include <csignal>
#include <cstdio>
#include <cstring>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// What a second start sends: this marker, then the list of absolute paths.
constexpr quint32 HandOverMagic = 0x53445831;   // "SDX1"
constexpr char Ack = '1';
// A hand-over is a list of paths; anything larger is not one.
constexpr qint64 MaxHandOverBytes = 4 * 1024 * 1024;

// The socket to remove when a signal ends the program; written before the handlers are set.
char SocketToRemove[4096];

extern "C" void RemoveSocketAndDie(int sig)
{
    if (SocketToRemove[0])
        ::unlink(SocketToRemove);
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

void RemoveSocketOnSignals(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    if (native.size() >= qsizetype(sizeof SocketToRemove))
        return;
    std::memcpy(SocketToRemove, native.constData(), native.size() + 1);
    struct sigaction action{};
    action.sa_handler = RemoveSocketAndDie;
    sigemptyset(&action.sa_mask);
    for (const int sig : {SIGTERM, SIGINT, SIGHUP}) {
        struct sigaction old{};
        // A handler someone else set (a debugger, a test harness) stays.
        if (::sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_DFL)
            ::sigaction(sig, &action, nullptr);
    }
}

void ForgetSocketOnSignals()
{
    SocketToRemove[0] = 0;
}

// The user the other end of a local socket runs as, or false when it cannot be told.
bool PeerIsThisUser(qintptr fd)
{
    struct ucred cred{};
    socklen_t len = sizeof cred;
    if (fd < 0 || ::getsockopt(int(fd), SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred)
        return false;
    return cred.uid == ::geteuid();
}

} // namespace

QString TSingleInstance::DefaultName()
{
    const QString own = qEnvironmentVariable("SENDORIX_INSTANCE");
    return own.isEmpty() ? QStringLiteral("sendorix") : own;
}

QString TSingleInstance::FolderProblem(const QString &folder)
{
    struct stat st{};
    if (::lstat(QFile::encodeName(folder).constData(), &st) != 0)
        return QStringLiteral("%1: %2").arg(folder, QString::fromLocal8Bit(std::strerror(errno)));
    if (S_ISLNK(st.st_mode))
        return QStringLiteral("%1 is a symbolic link").arg(folder);
    if (!S_ISDIR(st.st_mode))
        return QStringLiteral("%1 is not a folder").arg(folder);
    if (st.st_uid != ::geteuid())
        return QStringLiteral("%1 belongs to another user").arg(folder);
    // Others may look in (the socket itself is ours alone), but never put anything there.
    if (st.st_mode & 022)
        return QStringLiteral("%1 is writable by other users (mode %2)").arg(folder).arg(st.st_mode & 07777, 4, 8, QLatin1Char('0'));
    return QString();
}

QString TSingleInstance::PrivateFolder(QString *why)
{
    // The desktop session's own runtime folder, where it is what it should be.
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir::isAbsolutePath(runtime) && FolderProblem(runtime).isEmpty())
        return QDir::cleanPath(runtime);
    // Else a folder of our own among everybody's temporary files: made private, and checked,
    // because anybody could have made it first.
    const QString own = QDir::temp().filePath(QStringLiteral("sendorix-%1").arg(::geteuid()));
    if (::mkdir(QFile::encodeName(own).constData(), 0700) != 0 && errno != EEXIST) {
        if (why)
            *why = QStringLiteral("%1: %2").arg(own, QString::fromLocal8Bit(std::strerror(errno)));
        return QString();
    }
    const QString problem = FolderProblem(own);
    if (!problem.isEmpty()) {
        if (why)
            *why = problem;
        return QString();
    }
    return own;
}

TSingleInstance::TSingleInstance(QString name, QObject *parent) : QObject(parent)
{
    if (name.contains(QLatin1Char('/'))) {
        Path_ = QDir::cleanPath(QDir::current().absoluteFilePath(name));
        Problem_ = FolderProblem(QFileInfo(Path_).absolutePath());
    } else {
        const QString folder = PrivateFolder(&Problem_);
        if (!folder.isEmpty())
            Path_ = QDir(folder).filePath(name);
    }
    if (!Problem_.isEmpty())
        Path_.clear();
}

TSingleInstance::~TSingleInstance()
{
    if (Server) {
        ForgetSocketOnSignals();
        Server->close();   // removes the socket file
    }
}

bool TSingleInstance::HandOverOrListen(const QStringList &files, int timeoutMs)
{
    if (Path_.isEmpty())
        return false;
    // Two starts at the same moment must not both become the running one.
    QLockFile lock(Path_ + QStringLiteral(".lock"));
    lock.setStaleLockTime(30000);
    const bool locked = lock.tryLock(timeoutMs);
    QString why;
    if (HandOverTo(Path_, files, timeoutMs, &why))
        return true;
    if (!why.isEmpty())
        Problem_ = why;
    else if (locked && Listen())
        return false;
    else if (Problem_.isEmpty())
        Problem_ = locked ? QStringLiteral("cannot listen on %1").arg(Path_)
                          : QStringLiteral("%1 is locked by a start that does not answer").arg(Path_);
    return false;
}

bool TSingleInstance::HandOverTo(const QString &path, const QStringList &files, int timeoutMs, QString *why)
{
    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(timeoutMs))
        return false;   // nobody listens: this start becomes the running one
    // Paths are private: they go only to a window of this user's own.
    if (!PeerIsThisUser(socket.socketDescriptor())) {
        socket.abort();
        if (why)
            *why = QStringLiteral("%1 is served by another user").arg(path);
        return false;
    }
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
    if (!server->listen(Path_)) {
        // Left over from a program that did not end cleanly: nobody answered on it. Our own
        // folder, so nobody else can have put it there.
        QLocalServer::removeServer(Path_);
        if (!server->listen(Path_)) {
            delete server;
            return false;
        }
    }
    connect(server, &QLocalServer::newConnection, this, [this, server] {
        while (QLocalSocket *socket = server->nextPendingConnection())
            Accept(socket);
    });
    Server = server;
    RemoveSocketOnSignals(Path_);
    return true;
}

void TSingleInstance::Accept(QLocalSocket *socket)
{
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    if (!PeerIsThisUser(socket->socketDescriptor())) {
        socket->abort();
        return;
    }
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] { ReadFrom(socket); });
    ReadFrom(socket);
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
    in >> magic;
    // Checked before the list is read: a stranger's bytes are never taken for a list.
    if (in.status() == QDataStream::Ok && magic != HandOverMagic) {
        socket->abort();
        return;
    }
    in >> files;
    if (!in.commitTransaction()) {
        if (in.status() != QDataStream::ReadPastEnd || socket->bytesAvailable() > MaxHandOverBytes)
            socket->abort();   // not a list, or larger than any list of paths
        return;                // else the rest is still on its way
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
