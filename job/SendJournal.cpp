#include "SendJournal.h"

#include "FileAccess.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QList>

#include <algorithm>
#include <thread>

#include <unistd.h>

TSendJournal::TSeries TSendJournal::Read(const QString &path, const QString &identity)
{
    QByteArray data;
    QString error;
    if (ReadRegularFile(path, data, error) != TReadResult::Ok)
        return {};
    // A line cut short by a crash is passed over.
    const QList<QByteArray> lines = data.split('\n');
    const QJsonObject head = QJsonDocument::fromJson(lines.value(0)).object();
    if (head.value(QStringLiteral("identity")).toString() != identity)
        return {};   // another series: the new job starts afresh and replaces the journal
    TSeries series;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QJsonObject m = QJsonDocument::fromJson(lines[i]).object();
        if (m.contains(QStringLiteral("archive_sha256")))
            series.ArchiveSha256 = m.value(QStringLiteral("archive_sha256")).toString();
        const int number = m.value(QStringLiteral("number")).toInt();
        if (number <= 0)
            continue;
        const QString id = m.value(QStringLiteral("message_id")).toString();
        if (m.value(QStringLiteral("in_flight")).toBool()) {
            if (!series.Delivered.contains(number))
                series.InFlight.insert(number, id);
        } else if (m.value(QStringLiteral("not_sent")).toBool()) {
            series.InFlight.remove(number);
        } else {
            series.Delivered.insert(number, id);
            series.InFlight.remove(number);
        }
    }
    series.Total = head.value(QStringLiteral("total")).toInt();
    series.PartSize = head.value(QStringLiteral("part_size")).toInteger();
    series.ArchiveFiles = head.value(QStringLiteral("archive_files")).toString();
    if (head.contains(QStringLiteral("archive_sha256")))
        series.ArchiveSha256 = head.value(QStringLiteral("archive_sha256")).toString();
    if ((series.Delivered.isEmpty() && series.InFlight.isEmpty()) || series.Total <= 0
        || series.Delivered.size() >= series.Total)
        return {};
    return series;
}

namespace {

QByteArray JournalLine(int number, const QString &messageId, bool inFlight = false)
{
    // Written out by hand: one line per message, and a series may have thousands.
    const QByteArray id = messageId.toUtf8();
    QByteArray line;
    line.reserve(48 + id.size());
    line.append("{\"number\":").append(QByteArray::number(number));
    if (inFlight)
        line.append(",\"in_flight\":true");
    line.append(",\"message_id\":\"");
    const auto plain = [](char c) { return c != '"' && c != '\\' && static_cast<unsigned char>(c) >= 0x20; };
    if (std::all_of(id.cbegin(), id.cend(), plain))
        return line.append(id).append("\"}\n");   // as every Message-Id we make
    for (const char c : id) {
        if (c == '"' || c == '\\')
            line += '\\';
        if (static_cast<unsigned char>(c) < 0x20)
            line += "\\u00" + QByteArray::number(static_cast<unsigned char>(c), 16).rightJustified(2, '0');
        else
            line += c;
    }
    return line + "\"}\n";
}

// Flushes the journal to the disk on a thread of its own: the window never waits for a slow
// disk. The thread has its own descriptor, so the journal may be closed meanwhile.
void SyncInBackground(const QFile &file)
{
    const int fd = ::dup(file.handle());
    if (fd < 0)
        return;
    std::thread([fd] {
        ::fdatasync(fd);
        ::close(fd);
    }).detach();
}

}  // namespace

void TSendJournal::Start(const QString &path, const QString &identity, int total,
                         const QMap<int, QString> &delivered, const QMap<int, QString> &inFlight)
{
    // Nothing here waits for the disk: a journal torn by a power cut only costs the offer to
    // continue (a broken line is passed over when it is read).
    End();
    Path = path;
    Total = total;
    Delivered = delivered;
    if (path.isEmpty())
        return;
    QJsonObject head{{QStringLiteral("identity"), identity}, {QStringLiteral("total"), total}};
    if (PartSize > 0) {
        head.insert(QStringLiteral("part_size"), PartSize);
        head.insert(QStringLiteral("archive_files"), ArchiveFiles);
        if (!ArchiveSha256.isEmpty())
            head.insert(QStringLiteral("archive_sha256"), ArchiveSha256);
    }
    QByteArray data = QJsonDocument(head).toJson(QJsonDocument::Compact) + '\n';
    for (auto it = delivered.cbegin(); it != delivered.cend(); ++it)
        data += JournalLine(it.key(), it.value());
    for (auto it = inFlight.cbegin(); it != inFlight.cend(); ++it)
        data += JournalLine(it.key(), it.value(), true);
    auto out = std::make_unique<QFile>(path);
    if (!out->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered,
                   QFile::ReadOwner | QFile::WriteOwner)
        || out->write(data) != data.size())
        return;
    Out = std::move(out);
    Synced.start();
}

void TSendJournal::SetArchive(qint64 partSize, const QString &files, const QString &sha256)
{
    PartSize = partSize;
    ArchiveFiles = files;
    ArchiveSha256 = sha256;
}

void TSendJournal::ArchiveDigest(const QString &sha256)
{
    Write(QJsonDocument(QJsonObject{{QStringLiteral("archive_sha256"), sha256}}).toJson(QJsonDocument::Compact)
          + '\n');
}

void TSendJournal::MessageDelivered(int number, const QString &messageId)
{
    Delivered.insert(number, messageId);
    Write(JournalLine(number, messageId));
}

void TSendJournal::MessageInFlight(int number, const QString &messageId)
{
    Write(JournalLine(number, messageId, true));
}

void TSendJournal::MessageNotSent(int number)
{
    Write("{\"number\":" + QByteArray::number(number) + ",\"not_sent\":true}\n");
}

void TSendJournal::Write(const QByteArray &line)
{
    if (!Out)
        return;
    // Written at once, so the line outlives a crash of the program; flushed to the disk at
    // most once a second.
    if (Out->write(line) < 0) {
        Out.reset();
        return;
    }
    if (Synced.hasExpired(1000)) {
        SyncInBackground(*Out);
        Synced.start();
    }
}

void TSendJournal::End()
{
    const int total = Total;
    Total = 0;
    if (Out)
        SyncInBackground(*Out);
    Out.reset();
    if (total > 0 && Delivered.size() >= total && !Path.isEmpty())
        QFile::remove(Path);
}
