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
    const QJsonObject journal = QJsonDocument::fromJson(data).object();
    if (journal.value(QStringLiteral("identity")).toString() != JournalIdentity)
        return;   // another series: the new job starts afresh and replaces the journal
    QMap<int, QString> delivered;
    for (const QJsonValue &v : journal.value(QStringLiteral("delivered")).toArray()) {
        const QJsonObject m = v.toObject();
        const int number = m.value(QStringLiteral("number")).toInt();
        if (number > 0)
            delivered.insert(number, m.value(QStringLiteral("message_id")).toString());
    }
    const int total = journal.value(QStringLiteral("total")).toInt();
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

void TMainForm::WriteJournal(int total)
{
    QJsonArray delivered;
    for (auto it = JournalDelivered.cbegin(); it != JournalDelivered.cend(); ++it)
        delivered.append(QJsonObject{{QStringLiteral("number"), it.key()},
                                     {QStringLiteral("message_id"), it.value()}});
    const QJsonObject journal{{QStringLiteral("identity"), JournalIdentity},
                              {QStringLiteral("total"), total},
                              {QStringLiteral("delivered"), delivered}};
    // A journal that cannot be written costs only the offer to continue; the job goes on.
    ReplaceFileContent(JournalFile(), QJsonDocument(journal).toJson(QJsonDocument::Compact));
}

void TMainForm::EndJournal(int total)
{
    if (JournalDelivered.size() >= total)
        QFile::remove(JournalFile());
}
