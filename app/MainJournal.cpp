// Where the send job keeps its journal, and the offer to continue a series that was cut short.
#include "MainForm.h"

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
    if (series.Delivered.isEmpty())
        return;
    int first = 1;
    while (series.Delivered.contains(first))
        ++first;
    const QString question = Text(TextId::ContinueSeries, static_cast<int>(series.Delivered.size()), series.Total, first);
    if (ComMessageDlg(question, mtConfirmation, {mbYes, mbNo}, 0) == mrYes)
    {
        request.Delivered = series.Delivered;
        request.ArchivePartSize = series.PartSize;
        request.ArchiveFiles = series.ArchiveFiles;
        request.ArchiveSha256 = series.ArchiveSha256;
    }
}
