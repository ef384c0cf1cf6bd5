// The file list page through the real window: add, delete with its question, clear, no
// duplicates, the count label and the enabled states of the commands.
#include "send_test_support.h"

#include <QAction>
#include <QScrollBar>
#include <QToolButton>

using namespace sendtest;

namespace {

class FileListTest : public WindowTest {
protected:
    void ExpectCommandsEnabled(bool on)
    {
        EXPECT_TRUE(form->btnLoad->isEnabled());
        EXPECT_TRUE(form->piInsert->isEnabled());
        for (QToolButton *b : {form->btnDelete, form->btnClear, form->btnNoDuplicaties})
            EXPECT_EQ(b->isEnabled(), on) << b->objectName().toStdString();
        for (QAction *a : {form->piDelete, form->piClear, form->piNoDuplicates})
            EXPECT_EQ(a->isEnabled(), on) << a->objectName().toStdString();
    }
    void SelectRows(int first, int last)
    {
        form->gridFiles->clearSelection();
        form->gridFiles->setRangeSelected(QTableWidgetSelectionRange(first, 0, last, 0), true);
    }
};

TEST_F(FileListTest, AddingFillsTheEmptyListThenAppends)
{
    EXPECT_TRUE(form->FileListEmpty());
    ExpectCommandsEnabled(false);
    EXPECT_EQ(form->lblFilesCount->text(), "");

    // A cancelled dialog changes nothing.
    form->btnLoad->click();
    ASSERT_EQ(DialogsShown().size(), 1);
    EXPECT_EQ(DialogsShown()[0]->fileMode(), QFileDialog::ExistingFiles);
    EXPECT_EQ(DialogsShown()[0]->windowTitle(), "Select files for posting");
    EXPECT_TRUE(form->FileListEmpty());

    const QStringList paths = MakeFiles({"one.txt", "two.txt", "three.txt"});
    AddThroughDialog(paths);
    EXPECT_EQ(Rows(), paths);   // no leading empty row
    EXPECT_EQ(form->lblFilesCount->text(), "Total: 3");
    ExpectCommandsEnabled(true);
    EXPECT_EQ(QDir(form->FileDialog->directory()).canonicalPath(), QDir(files.path()).canonicalPath());

    // Existing rows stay; the same file again is a new row.
    TMainForm::FileDialogsTest::QueueAnswer(paths[0]);
    form->piInsert->trigger();
    EXPECT_EQ(Rows(), paths + QStringList{paths[0]});
    EXPECT_EQ(form->lblFilesCount->text(), "Total: 4");

    QStringList sent;
    form->FilesToSend(sent);
    EXPECT_EQ(sent, Rows());

    PickLanguage(1);
    EXPECT_EQ(form->lblFilesCount->text(), "Всего файлов: 4");
}

TEST_F(FileListTest, NoDuplicatesKeepsTheFirstOfPathsEqualInAnyCase)
{
    const QStringList paths = MakeFiles({"a.txt", "b.txt"});
    const QString upper = paths[0].left(paths[0].size() - 5) + "A.TXT";
    AddThroughDialog({paths[0], paths[1], paths[0], upper, paths[1]});
    EXPECT_EQ(Rows().size(), 5);
    ComDialogsTest::TakeLog();
    form->btnNoDuplicaties->click();
    EXPECT_TRUE(ComDialogsTest::TakeLog().isEmpty());   // no question
    EXPECT_EQ(Rows(), paths);
    EXPECT_EQ(form->lblFilesCount->text(), "Total: 2");
    ExpectCommandsEnabled(true);
}

TEST_F(FileListTest, DeleteAsksWithTheSelectedCountAndMovesRowsUp)
{
    const QStringList paths = MakeFiles({"0", "1", "2", "3", "4", "5", "6"});
    AddThroughDialog(paths);

    // Rows 2 to 5 selected: the question names 4; No keeps everything.
    SelectRows(2, 5);
    ComDialogsTest::QueueAnswer(mrNo);
    form->btnDelete->click();
    QList<TShownMessageDlg> log = ComDialogsTest::TakeLog();
    ASSERT_EQ(log.size(), 1);
    EXPECT_EQ(log[0].Text, "Are you sure to delete 4 file(s)?");
    EXPECT_EQ(log[0].DlgType, mtConfirmation);
    EXPECT_EQ(log[0].Buttons, TMsgDlgButtons({mbYes, mbNo}));
    EXPECT_EQ(Rows(), paths);

    ComDialogsTest::QueueAnswer(mrYes);
    form->piDelete->trigger();
    EXPECT_EQ(Rows(), QStringList({paths[0], paths[1], paths[6]}));
    EXPECT_EQ(form->lblFilesCount->text(), "Total: 3");
    ExpectCommandsEnabled(true);

    // One row in the middle.
    SelectRows(1, 1);
    ComDialogsTest::QueueAnswer(mrYes);
    form->btnDelete->click();
    EXPECT_EQ(Rows(), QStringList({paths[0], paths[6]}));

    // Everything: the single empty row stays, the commands go off, Add stays on.
    SelectRows(0, 1);
    ComDialogsTest::QueueAnswer(mrYes);
    form->btnDelete->click();
    EXPECT_EQ(form->gridFiles->rowCount(), 1);
    EXPECT_TRUE(form->FileListEmpty());
    EXPECT_EQ(form->lblFilesCount->text(), "");
    ExpectCommandsEnabled(false);
}

TEST_F(FileListTest, BatchesScatteredDeletesAndDuplicatesKeepTheRowsInOrder)
{
    QStringList names;
    for (int i = 0; i < 30; ++i)
        names << QString("f%1.bin").arg(i, 2, 10, QChar('0'));
    const QStringList paths = MakeFiles(names);

    // Three batches: each lands after the rows already there.
    for (int b = 0; b < 3; ++b) {
        AddThroughDialog(paths.mid(b * 10, 10));
        EXPECT_EQ(Rows(), paths.mid(0, (b + 1) * 10));
        EXPECT_EQ(form->lblFilesCount->text(), QString("Total: %1").arg((b + 1) * 10));
    }

    // A scattered selection (blocks out of order, one overlapping another): exactly the
    // selected rows go, the rows between the blocks stay.
    form->PageControl->setCurrentWidget(form->TabSheet3);
    QApplication::processEvents();
    form->gridFiles->clearSelection();
    for (auto [first, last] : {std::pair{20, 27}, {2, 4}, {10, 10}, {3, 5}})
        form->gridFiles->setRangeSelected(QTableWidgetSelectionRange(first, 0, last, 0), true);
    ComDialogsTest::QueueAnswer(mrYes);
    form->btnDelete->click();
    const QList<TShownMessageDlg> log = ComDialogsTest::TakeLog();
    ASSERT_EQ(log.size(), 1);
    EXPECT_EQ(log[0].Text, "Are you sure to delete 13 file(s)?");
    QStringList expected;
    for (int i = 0; i < 30; ++i)
        if (!((i >= 2 && i <= 5) || i == 10 || (i >= 20 && i <= 27)))
            expected << paths[i];
    EXPECT_EQ(Rows(), expected);
    EXPECT_EQ(form->lblFilesCount->text(), "Total: 17");
    // The first deleted row's place is at the top, and the row now there is the current one.
    EXPECT_EQ(form->gridFiles->rowAt(0), 2);
    EXPECT_EQ(form->gridFiles->currentRow(), 2);
    EXPECT_EQ(form->gridFiles->selectedRanges().size(), 1);

    // Duplicates in any case go after their first occurrence, which keeps its place.
    const QStringList again = {QFileInfo(paths[0]).path() + "/F00.BIN", paths[29], paths[6], paths[0]};
    AddThroughDialog(again);
    EXPECT_EQ(Rows(), expected + again);
    EXPECT_EQ(form->lblFilesCount->text(), "Total: 21");
    form->btnNoDuplicaties->click();
    EXPECT_EQ(Rows(), expected);
    EXPECT_EQ(form->lblFilesCount->text(), "Total: 17");
    ExpectCommandsEnabled(true);

    // Every row selected: the single empty row is left.
    form->gridFiles->clearSelection();
    form->gridFiles->setRangeSelected(QTableWidgetSelectionRange(0, 0, 16, 0), true);
    ComDialogsTest::QueueAnswer(mrYes);
    form->btnDelete->click();
    EXPECT_TRUE(form->FileListEmpty());
    EXPECT_EQ(form->gridFiles->rowCount(), 1);
    EXPECT_EQ(form->lblFilesCount->text(), "");
    ExpectCommandsEnabled(false);
}

TEST_F(FileListTest, ClearAsksFirst)
{
    AddThroughDialog(MakeFiles({"a", "b"}));
    ComDialogsTest::QueueAnswer(mrNo);
    form->btnClear->click();
    QList<TShownMessageDlg> log = ComDialogsTest::TakeLog();
    ASSERT_EQ(log.size(), 1);
    EXPECT_EQ(log[0].Text, "Are you sure to clear list?");
    EXPECT_EQ(Rows().size(), 2);

    ComDialogsTest::QueueAnswer(mrYes);
    form->piClear->trigger();
    EXPECT_TRUE(form->FileListEmpty());
    EXPECT_EQ(form->lblFilesCount->text(), "");
    ExpectCommandsEnabled(false);
    QStringList sent;
    form->FilesToSend(sent);
    EXPECT_TRUE(sent.isEmpty());
}

TEST_F(FileListTest, MenuItemsCarryTheirKeysForTheList)
{
    const std::vector<std::pair<QAction *, QKeySequence>> keys = {
        {form->piInsert, QKeySequence(Qt::Key_Insert)},
        {form->piDelete, QKeySequence(Qt::Key_Delete)},
        {form->piClear, QKeySequence(Qt::CTRL | Qt::Key_Delete)},
        {form->piNoDuplicates, QKeySequence(Qt::CTRL | Qt::Key_N)}};
    for (const auto &[action, key] : keys) {
        EXPECT_EQ(action->shortcut(), key);
        EXPECT_EQ(action->shortcutContext(), Qt::WidgetShortcut);
        EXPECT_TRUE(form->gridFiles->actions().contains(action));
    }
}

TEST(MyStringGridTest, DeleteRowEmptiesTheOnlyRowInEveryColumn)
{
    TMyStringGrid grid(2);
    grid.SetCell(0, 0, "x");
    grid.SetCell(0, 1, "y");
    grid.DeleteRow(5);   // whatever row is named, the only row is emptied
    EXPECT_EQ(grid.rowCount(), 1);
    EXPECT_EQ(grid.Cell(0, 0), "");
    EXPECT_EQ(grid.Cell(0, 1), "");

    grid.SetRows({"a", "b", "c"});
    EXPECT_EQ(grid.Column(0), QStringList({"a", "b", "c"}));
    grid.DeleteRow(1);
    EXPECT_EQ(grid.Column(0), QStringList({"a", "c"}));
    grid.SetRows({});
    EXPECT_EQ(grid.rowCount(), 1);
    EXPECT_EQ(grid.Cell(0), "");

    // Blocks of rows at once follow the same rule; rewriting keeps no stale second column.
    grid.SetRows({"a", "b", "c", "d"});
    grid.SetCell(3, 1, "note");
    grid.DeleteRows(1, 2);
    EXPECT_EQ(grid.Column(0), QStringList({"a", "d"}));
    EXPECT_EQ(grid.Column(1), QStringList({"", "note"}));
    grid.SetRows({"x", "d", "y"});
    EXPECT_EQ(grid.Column(0), QStringList({"x", "d", "y"}));
    EXPECT_EQ(grid.Column(1), QStringList({"", "", ""}));
    grid.AppendRows({"z"});
    EXPECT_EQ(grid.Column(0), QStringList({"x", "d", "y", "z"}));
    grid.SetCell(0, 1, "n");
    grid.DeleteRows(0, 4);
    EXPECT_EQ(grid.rowCount(), 1);
    EXPECT_EQ(grid.Column(0), QStringList({""}));
    EXPECT_EQ(grid.Column(1), QStringList({""}));
}

}  // namespace

namespace {

TEST_F(FileListTest, ALongPathCanBeScrolledIntoView)
{
    const QString name = QString("a long name ").repeated(12) + ".bin";
    AddThroughDialog(MakeFiles({name}));
    QApplication::processEvents();
    QScrollBar *bar = form->gridFiles->horizontalScrollBar();
    EXPECT_GT(form->gridFiles->columnWidth(0), form->gridFiles->viewport()->width());
    EXPECT_EQ(bar->maximum(), form->gridFiles->columnWidth(0) - form->gridFiles->viewport()->width());
}

}  // namespace
