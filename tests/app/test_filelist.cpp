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
