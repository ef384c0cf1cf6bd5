#include "MyStringGrid.h"

#include <QHeaderView>

#include <algorithm>

TMyStringGrid::TMyStringGrid(int columns, QWidget *parent) : QTableWidget(1, columns, parent)
{
    horizontalHeader()->hide();
    verticalHeader()->hide();
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    // By pixels: scrolling by whole columns cannot reach the end of a column wider than
    // the grid (a long path in the one-column file list).
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    // Tab and Shift+Tab leave the grid for the next control; the arrow keys move inside it.
    setTabKeyNavigation(false);
}

QString TMyStringGrid::Cell(int row, int column) const
{
    const QTableWidgetItem *it = item(row, column);
    return it ? it->text() : QString();
}

void TMyStringGrid::SetCell(int row, int column, const QString &text)
{
    if (QTableWidgetItem *it = item(row, column))
        it->setText(text);
    else
        setItem(row, column, new QTableWidgetItem(text));
}

void TMyStringGrid::DeleteRow(int row)
{
    if (rowCount() <= 1) {
        for (int c = 0; c < columnCount(); ++c)
            SetCell(0, c, QString());
        return;
    }
    if (row >= 0 && row < rowCount())
        removeRow(row);
}

void TMyStringGrid::DeleteRows(int first, int count)
{
    first = std::max(0, first);
    count = std::min(count, rowCount() - first);
    if (count <= 0)
        return;
    // One removal for the whole block: row by row, every removal would move all rows below.
    if (count >= rowCount()) {
        model()->removeRows(1, rowCount() - 1);
        DeleteRow(0);
        return;
    }
    model()->removeRows(first, count);
}

QStringList TMyStringGrid::Column(int column) const
{
    QStringList texts;
    texts.reserve(rowCount());
    for (int r = 0; r < rowCount(); ++r)
        texts << Cell(r, column);
    return texts;
}

void TMyStringGrid::SetRows(const QStringList &texts)
{
    const int wanted = std::max<int>(1, static_cast<int>(texts.size()));
    if (rowCount() > wanted)
        model()->removeRows(wanted, rowCount() - wanted);
    const int kept = rowCount();
    for (int r = 0; r < kept; ++r) {
        const QString text = r < texts.size() ? texts[r] : QString();
        if (Cell(r, 0) != text)
            SetCell(r, 0, text);
        for (int c = 1; c < columnCount(); ++c)
            if (!Cell(r, c).isEmpty())
                SetCell(r, c, QString());
    }
    AppendRows(texts.mid(kept));
}

void TMyStringGrid::AppendRows(const QStringList &texts)
{
    if (texts.isEmpty())
        return;
    const int first = rowCount();
    model()->insertRows(first, static_cast<int>(texts.size()));
    for (int i = 0; i < texts.size(); ++i)
        setItem(first + i, 0, new QTableWidgetItem(texts[i]));
}
