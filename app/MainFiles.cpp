// The file list page: add, delete, clear, remove duplicates, the count label, and the
// paths the send job takes.
#include "MainForm.h"

#include "ComDialogs.h"
#include "Desktop.h"
#include "FileAccess.h"
#include "Global.h"
#include "Language.h"
#include "MyStringGrid.h"
#include "SendLogic.h"

#include <QAction>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QToolButton>

#include <algorithm>
#include <utility>

bool TMainForm::FileListEmpty() const
{
    return gridFiles->rowCount() <= 1 && gridFiles->Cell(0).isEmpty();
}

void TMainForm::UpdateFileListCommands()
{
    const bool any = !FileListEmpty();
    for (QToolButton *b : {btnDelete, btnClear, btnNoDuplicaties})
        b->setEnabled(any);
    for (QAction *a : {piDelete, piClear, piNoDuplicates})
        a->setEnabled(any);
    lblFilesCount->setText(any ? Text(TextId::FilesCount, gridFiles->rowCount()) : QString());
}

void TMainForm::AddFilesToList(const QStringList &paths)
{
    // Only regular files can be sent: a FIFO or a device would block or never end when the
    // job reads it. They are named and left out; the rest are added.
    QStringList accepted, refused;
    for (const QString &path : paths)
        (NotRegularFileError(path).isEmpty() ? accepted : refused) << path;
    if (!accepted.isEmpty()) {
        // Only the new rows are written: the rows already there stay as they are.
        if (FileListEmpty())
            gridFiles->SetRows(accepted);
        else
            gridFiles->AppendRows(accepted);
        UpdateFileListCommands();
    }
    if (!refused.isEmpty()) {
        QStringList lines;
        for (const QString &path : refused)
            lines << Text(TextId::NotRegularFile, path);
        ComMessageDlg(lines.join(QLatin1Char('\n')), mtError, {mbOK}, 0);
    }
}

void TMainForm::FilesToSend(QStringList &list)
{
    if (!FileListEmpty())
        list += gridFiles->Column(0);
}

void TMainForm::btnLoadClick()
{
    RunGuarded(this, [this] {
        // A folder that is gone (or was never set) falls back to the program's folder.
        const QString dir = FileDialog->directory().path();
        if (dir.isEmpty() || !QFileInfo(dir).isDir())
            FileDialog->setDirectory(DocumentsStartFolder());
        const QStringList chosen = RunFileDialog(FileDialog);
        if (chosen.isEmpty()) {
            return;
        }
        FileDialog.PointAt(QFileInfo(chosen.first()).absolutePath());
        AddFilesToList(chosen);
    });
}

void TMainForm::btnDeleteClick()
{
    RunGuarded(this, [this] {
        if (FileListEmpty())
            return;
        // The selected rows as blocks, top to bottom. Only they go: rows between two blocks
        // of a scattered selection were not chosen and stay.
        QList<std::pair<int, int>> blocks;   // first row, last row
        for (const QTableWidgetSelectionRange &r : gridFiles->selectedRanges())
            blocks.append({r.topRow(), r.bottomRow()});
        if (blocks.isEmpty() && gridFiles->currentRow() >= 0)
            blocks.append({gridFiles->currentRow(), gridFiles->currentRow()});
        if (blocks.isEmpty())
            return;   // nothing selected, nothing current
        std::sort(blocks.begin(), blocks.end());
        QList<std::pair<int, int>> merged;
        for (const auto &b : blocks) {
            if (!merged.isEmpty() && b.first <= merged.last().second + 1)
                merged.last().second = std::max(merged.last().second, b.second);
            else
                merged.append(b);
        }
        int n = 0;
        for (const auto &b : merged)
            n += b.second - b.first + 1;
        if (ComMessageDlg(Text(TextId::ConfirmDeleteFiles, n), mtConfirmation, {mbYes, mbNo}, 0) != mrYes)
            return;
        gridFiles->scrollToItem(gridFiles->item(merged.first().first, 0), QAbstractItemView::PositionAtTop);
        // A selection the model no longer has to follow row by row as blocks go.
        gridFiles->clearSelection();
        for (qsizetype i = merged.size() - 1; i >= 0; --i)
            gridFiles->DeleteRows(merged[i].first, merged[i].second - merged[i].first + 1);
        const int top = std::max(0, gridFiles->rowAt(0));
        gridFiles->setCurrentCell(std::min(top, gridFiles->rowCount() - 1), 0);
        UpdateFileListCommands();
    });
}

void TMainForm::btnClearClick()
{
    RunGuarded(this, [this] {
        if (ComMessageDlg(Text(TextId::ConfirmClearList), mtConfirmation, {mbYes, mbNo}, 0) != mrYes)
            return;
        gridFiles->SetRows({});
        UpdateFileListCommands();
    });
}

void TMainForm::btnNoDuplicatiesClick()
{
    RunGuarded(this, [this] {
        if (FileListEmpty())
            return;
        gridFiles->SetRows(SendLogic::WithoutDuplicates(gridFiles->Column(0)));
        UpdateFileListCommands();
    });
}
