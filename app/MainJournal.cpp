// Where the send job keeps its journal, and the offer to continue a series that was cut short.
#include "MainForm.h"

#include "AppHelp.h"
#include "ComDialogs.h"
#include "Desktop.h"
#include "Language.h"
#include "SendJournal.h"
#include "Settings.h"

#include <QDir>
#include <QFileInfo>

QString TMainForm::JournalFile()
{
    // Beside the settings file, wherever that is kept.
    const QString settings = SettingsIoPath(SettingsFilePath(SettingsFolder()));
    return QFileInfo(settings).absoluteDir().filePath(QStringLiteral("Sendorix.job"));
}

void TMainForm::OfferResume(TSendRequest &request)
{
    const TSendJournal::TSeries series = TSendJournal::Read(request.JournalFile, request.Identity);
    if (series.Delivered.isEmpty() && series.InFlight.isEmpty())
        return;
    int first = 1;
    while (series.Delivered.contains(first))
        ++first;
    const int delivered = static_cast<int>(series.Delivered.size());
    QString question;
    if (series.InFlight.isEmpty()) {
        question = Text(TextId::ContinueSeries, delivered, series.Total, first);
    } else {
        // The message the server was taking when the program ended may have arrived.
        QStringList numbers;
        for (const int n : series.InFlight.keys())
            numbers << QStringLiteral("#%1").arg(n);
        const QString list = numbers.join(QStringLiteral(", "));
        question = Text(TextId::ContinueSeriesInFlight, delivered, series.Total, list, first, list);
    }
    if (ComMessageDlg(question, mtConfirmation, {mbYes, mbNo, mbHelp}, InterruptedSeriesHelpContext) == mrYes) {
        request.Delivered = series.Delivered;
        request.InFlight = series.InFlight;
        request.ArchivePartSize = series.PartSize;
        request.ArchiveFiles = series.ArchiveFiles;
        request.ArchiveSha256 = series.ArchiveSha256;
    }
}
