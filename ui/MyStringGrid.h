// The string grid of the file list and the address book.
#pragma once

#include <QStringList>
#include <QTableWidget>

class TMyStringGrid : public QTableWidget {
public:
    // A grid always keeps at least one row.
    explicit TMyStringGrid(int columns = 1, QWidget *parent = nullptr);

    QString Cell(int row, int column = 0) const;
    void SetCell(int row, int column, const QString &text);

    // Removes the row; when it is the only row, its cells are emptied instead.
    void DeleteRow(int row);
    // Removes count rows from first on at once, as DeleteRow would one by one from the last:
    // when they are all the rows, the first row stays with its cells emptied.
    void DeleteRows(int first, int count);

    // The texts of one column, row 0 first.
    QStringList Column(int column) const;
    // Rewrites the grid with one row per text in column 0 (other columns emptied); no texts
    // leave the single empty row. Rows whose text stays are not touched.
    void SetRows(const QStringList &texts);
    // New rows at the end, one per text in column 0; the rows there stay as they are.
    void AppendRows(const QStringList &texts);
};
