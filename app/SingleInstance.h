// One window per user: a second start hands its files to the running program over a local
// socket and ends, instead of opening a second window.
//
// The socket and its lock live in a folder only this user can reach: $XDG_RUNTIME_DIR, or a
// folder of the program's own in the temporary folder, created 0700 and checked (ours, not a
// link, nobody else's way in) before every use. Both ends check that the other runs as the same
// user (SO_PEERCRED). When no such folder can be had, every start opens its own window.
#pragma once

#include <QObject>
#include <QStringList>

#include <functional>

class QLocalServer;
class QLocalSocket;

class TSingleInstance : public QObject
{
public:
    // The socket's name: $SENDORIX_INSTANCE when set (tests and parallel runs pick their own),
    // else "sendorix". A name with a '/' is a path whose folder gets the same checks.
    static QString DefaultName();

    // The private folder, or empty with the reason in *why.
    static QString PrivateFolder(QString *why);

    // A folder fit to hold the socket: a real folder (not a link) owned by this user that no
    // one else may write to. Empty when fit, else the reason.
    static QString FolderProblem(const QString &folder);

    explicit TSingleInstance(QString name = DefaultName(), QObject *parent = nullptr);
    ~TSingleInstance() override;

    // Hands the files to a running instance and is true when it took them; this process should
    // then end. Otherwise this instance starts listening and is false. Without a trusted
    // folder or a working socket every start simply opens its own window (Problem() says why).
    bool HandOverOrListen(const QStringList &files, int timeoutMs = 10000);

    // Where files handed over by later starts go. Files that arrived before a receiver was set
    // are delivered to it at once.
    void SetReceiver(std::function<void(const QStringList &)> receiver);

    bool Listening() const;
    QString Path() const { return Path_; }
    // Why this start does not take part in one-window-per-user; empty when it does.
    QString Problem() const { return Problem_; }

    // Hands the files to whoever listens at path, provided it runs as this user.
    static bool HandOverTo(const QString &path, const QStringList &files, int timeoutMs, QString *why = nullptr);

private:
    bool Listen();
    void Accept(QLocalSocket *socket);
    void ReadFrom(QLocalSocket *socket);
    void Deliver(const QStringList &files);

    QString Path_;
    QString Problem_;
    QLocalServer *Server = nullptr;
    std::function<void(const QStringList &)> Receiver;
    QList<QStringList> Waiting;
};
