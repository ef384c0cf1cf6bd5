// One window per user: a second start hands its files to the running program over a local
// socket and ends, instead of opening a second window.
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
    // else one per user.
    static QString DefaultName();

    explicit TSingleInstance(QString name = DefaultName(), QObject *parent = nullptr);
    ~TSingleInstance() override;

    // Hands the files to a running instance and is true when it took them; this process should
    // then end. Otherwise this instance starts listening and is false. Without a working
    // socket every start simply opens its own window.
    bool HandOverOrListen(const QStringList &files, int timeoutMs = 10000);

    // Where files handed over by later starts go. Files that arrived before a receiver was set
    // are delivered to it at once.
    void SetReceiver(std::function<void(const QStringList &)> receiver);

    bool Listening() const;
    QString Name() const { return Name_; }

private:
    bool HandOver(const QStringList &files, int timeoutMs);
    bool Listen();
    void ReadFrom(QLocalSocket *socket);
    void Deliver(const QStringList &files);

    QString Name_;
    QLocalServer *Server = nullptr;
    std::function<void(const QStringList &)> Receiver;
    QList<QStringList> Waiting;
};
