// The journal of a send job: which messages of the series the server has taken, kept beside
// the settings so that a series cut short (a lost network, a stop, a crash) can go on where it
// ended instead of sending its first messages a second time. A job that completes removes it.
//
// The first line tells which series it is (a digest, no addresses) and how many messages it
// has; then one line per message the server took. Just before a message's end of data, a line
// says it is in flight, with its Message-Id: if the program ends before the server's answer is
// known, the message may have arrived, and a resumed series sends it under the same
// Message-Id. A refusal of the end of data settles it as not sent.
#pragma once

#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QString>

#include <memory>

class TSendJournal {
public:
    // What the journal at `path` says of the series `identity`: the messages delivered, by
    // number, with their Message-Ids, and those possibly delivered (in flight when the journal
    // ended). Empty for another series, a series all delivered, or no journal at all.
    struct TSeries {
        int Total = 0;
        QMap<int, QString> Delivered;
        QMap<int, QString> InFlight;
        qint64 PartSize = 0;               // a series of archive parts: their size,
        QString ArchiveFiles, ArchiveSha256;   // the files packed, the archive's digest
    };
    static TSeries Read(const QString &path, const QString &identity);

    TSendJournal() = default;
    TSendJournal(const TSendJournal &) = delete;
    TSendJournal &operator=(const TSendJournal &) = delete;
    ~TSendJournal() { End(); }

    // Starts the journal of a series with what an earlier job of it delivered. A journal that
    // cannot be written costs only the offer to continue; the job goes on without it.
    void Start(const QString &path, const QString &identity, int total, const QMap<int, QString> &delivered,
               const QMap<int, QString> &inFlight = {});
    // Before Start: the series sends an archive in parts of this size, packed from these files
    // (their names, sizes and times, as a digest), with its SHA-256 when packing has ended.
    void SetArchive(qint64 partSize, const QString &files, const QString &sha256);
    // The archive's SHA-256, once packing has ended.
    void ArchiveDigest(const QString &sha256);
    // One message the server took, written at once.
    void MessageDelivered(int number, const QString &messageId);
    // A message whose end of data goes out now, and one the server refused after all.
    void MessageInFlight(int number, const QString &messageId);
    void MessageNotSent(int number);
    // Closes the journal; a series all delivered removes it.
    void End();

private:
    QString Path;
    int Total = 0;   // 0 before Start
    QMap<int, QString> Delivered;
    qint64 PartSize = 0;
    QString ArchiveFiles, ArchiveSha256;
    std::unique_ptr<QFile> Out;
    void Write(const QByteArray &line);
    QElapsedTimer Synced;   // since the journal was last flushed to the disk
};
