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

QStringList TMyStringGrid::Column(int column) const
{
    QStringList texts;
    for (int r = 0; r < rowCount(); ++r)
        texts << Cell(r, column);
    return texts;
}

void TMyStringGrid::SetRows(const QStringList &texts)
{
    clearContents();
    setRowCount(std::max<int>(1, static_cast<int>(texts.size())));
    for (int r = 0; r < texts.size(); ++r)
        SetCell(r, 0, texts[r]);
}
