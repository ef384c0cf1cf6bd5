// The journal of a send job: which messages of the series the server has taken, kept beside
// the settings so that a series cut short (a lost network, a stop, a crash) can go on where it
// ended instead of sending its first messages a second time. A job that completes removes it.
#include "MainForm.h"

#include "ComDialogs.h"
#include "Desktop.h"
#include "FileAccess.h"
#include "Global.h"
#include "Language.h"
#include "SendLogic.h"
#include "Settings.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSpinBox>

#include <thread>

#include <unistd.h>

QString TMainForm::JournalFile()
{
    // Beside the settings file, wherever that is kept.
    const QString settings = SettingsIoPath(SettingsFilePath(SettingsFolder()));
    return QFileInfo(settings).absoluteDir().filePath(QStringLiteral("Sendorix.job"));
}

QString TMainForm::JobIdentity()
{
    // What makes two jobs the same series: the files, the recipients, the subject and how the
    // files are grouped and numbered. Only a digest is kept: the journal holds no addresses.
    QStringList files;
    FilesToSend(files);
    const QStringList parts = {
        files.join(QChar(0)), edtTo->currentText(), edtCC->currentText(), edBCC->currentText(),
        edtSubject->currentText(),
        QString::number(SendLogic::ClampFilesPerMessage(spinFilesInMessage->cleanText())),
        QString::number(cbUseZip->isChecked()), QString::number(cbAddPartNo->isChecked()),
        QString::number(cbAddFileName->isChecked())};
    return QString::fromLatin1(
        QCryptographicHash::hash(parts.join(QChar(1)).toUtf8(), QCryptographicHash::Sha256).toHex());
}

void TMainForm::OfferResume()
{
    ResumeDelivered.clear();
    JournalDelivered.clear();
    JournalIdentity = JobIdentity();
    QByteArray data;
    QString error;
    if (ReadRegularFile(JournalFile(), data, error) != TReadResult::Ok)
        return;
    // The first line tells which series it is; then one line per message the server took. A
    // line cut short by a crash is passed over.
    const QList<QByteArray> lines = data.split('\n');
    const QJsonObject head = QJsonDocument::fromJson(lines.value(0)).object();
    if (head.value(QStringLiteral("identity")).toString() != JournalIdentity)
        return;   // another series: the new job starts afresh and replaces the journal
    QMap<int, QString> delivered;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QJsonObject m = QJsonDocument::fromJson(lines[i]).object();
        const int number = m.value(QStringLiteral("number")).toInt();
        if (number > 0)
            delivered.insert(number, m.value(QStringLiteral("message_id")).toString());
    }
    const int total = head.value(QStringLiteral("total")).toInt();
    if (delivered.isEmpty() || total <= 0 || delivered.size() >= total)
        return;
    int first = 1;
    while (delivered.contains(first))
        ++first;
    const QString question =
        PickStr(IsRussian(),
                Format("Эта серия уже отправлялась и была прервана: доставлено сообщений %d из %d.\n"
                       "Продолжить с сообщения %d?\n\n"
                       "«Нет» отправит всю серию заново.",
                       static_cast<int>(delivered.size()), total, first),
                Format("This series was sent before and did not finish: %d of %d messages were "
                       "delivered.\nContinue with message %d?\n\n"
                       "\"No\" sends the whole series again.",
                       static_cast<int>(delivered.size()), total, first));
    if (ComMessageDlg(question, mtConfirmation, {mbYes, mbNo}, 0) == mrYes) {
        ResumeDelivered = delivered;
        JournalDelivered = delivered;
    }
}

namespace {

QByteArray JournalLine(int number, const QString &messageId)
{
    // Written out by hand: one line per message, and a series may have thousands.
    QByteArray line = "{\"number\":" + QByteArray::number(number) + ",\"message_id\":\"";
    for (const char c : messageId.toUtf8()) {
        if (c == '"' || c == '\\')
            line += '\\';
        if (static_cast<unsigned char>(c) < 0x20)
            line += "\\u00" + QByteArray::number(static_cast<unsigned char>(c), 16).rightJustified(2, '0');
        else
            line += c;
    }
    return line + "\"}\n";
}

}  // namespace

void TMainForm::StartJournal(int total)
{
    // The series and what an earlier job of it delivered; each message the server takes from
    // now on is one line appended. Nothing here waits for the disk: a journal torn by a power
    // cut only costs the offer to continue (a broken line is passed over when it is read).
    JournalOut.reset();
    JournalTotal = total;
    QByteArray data = QJsonDocument(QJsonObject{{QStringLiteral("identity"), JournalIdentity},
                                                {QStringLiteral("total"), total}})
                          .toJson(QJsonDocument::Compact)
                      + '\n';
    for (auto it = JournalDelivered.cbegin(); it != JournalDelivered.cend(); ++it)
        data += JournalLine(it.key(), it.value());
    auto out = std::make_unique<QFile>(JournalFile());
    // A journal that cannot be written costs only the offer to continue; the job goes on.
    if (!out->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered,
                   QFile::ReadOwner | QFile::WriteOwner)
        || out->write(data) != data.size())
        return;
    JournalOut = std::move(out);
    JournalSynced.start();
}

namespace {

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

void TMainForm::JournalMessageDelivered(int number, const QString &messageId)
{
    JournalDelivered.insert(number, messageId);
    if (!JournalOut)
        return;
    // Written at once, so the line outlives a crash of the program; flushed to the disk at
    // most once a second.
    if (JournalOut->write(JournalLine(number, messageId)) < 0) {
        JournalOut.reset();
        return;
    }
    if (JournalSynced.hasExpired(1000)) {
        SyncInBackground(*JournalOut);
        JournalSynced.start();
    }
}

void TMainForm::EndJournal()
{
    const int total = JournalTotal;
    JournalTotal = 0;
    if (JournalOut)
        SyncInBackground(*JournalOut);
    JournalOut.reset();
    if (total > 0 && JournalDelivered.size() >= total)
        QFile::remove(JournalFile());
}
