// The file list page: add, delete, clear, remove duplicates, the count label, and the
// paths the send job takes.
#include "MainForm.h"

#include "ComDialogs.h"
#include "Desktop.h"
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
    lblFilesCount->setText(any ? LoadFormatted(30 + StringBase, gridFiles->rowCount()) : QString());
}

void TMainForm::AddFilesToList(const QStringList &paths)
{
    if (paths.isEmpty())
        return;
    gridFiles->SetRows(FileListEmpty() ? paths : gridFiles->Column(0) + paths);
    UpdateFileListCommands();
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
        FileDialog->setDirectory(QFileInfo(chosen.first()).absolutePath());
        AddFilesToList(chosen);
    });
}

void TMainForm::btnDeleteClick()
{
    RunGuarded(this, [this] {
        if (FileListEmpty())
            return;
        int first = gridFiles->currentRow(), last = first;
        const QList<QTableWidgetSelectionRange> ranges = gridFiles->selectedRanges();
        if (!ranges.isEmpty()) {
            first = ranges.first().topRow();
            last = ranges.first().bottomRow();
            for (const QTableWidgetSelectionRange &r : ranges) {
                first = std::min(first, r.topRow());
                last = std::max(last, r.bottomRow());
            }
        }
        if (first < 0)
            return;   // nothing selected, nothing current
        const int n = last - first + 1;
        if (ComMessageDlg(LoadFormatted(32 + StringBase, n), mtConfirmation, {mbYes, mbNo}, 0) != mrYes)
            return;
        gridFiles->scrollToItem(gridFiles->item(first, 0), QAbstractItemView::PositionAtTop);
        for (int row = last; row >= first; --row)
            gridFiles->DeleteRow(row);
        gridFiles->clearSelection();
        const int top = std::max(0, gridFiles->rowAt(0));
        gridFiles->setCurrentCell(std::min(top, gridFiles->rowCount() - 1), 0);
        UpdateFileListCommands();
    });
}

void TMainForm::btnClearClick()
{
    RunGuarded(this, [this] {
        if (ComMessageDlg(LoadMessage(33), mtConfirmation, {mbYes, mbNo}, 0) != mrYes)
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
