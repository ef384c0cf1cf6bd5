// The string grid of the file list and the address book.
#pragma once

#include <QTableWidget>

class TMyStringGrid : public QTableWidget {
public:
    // A grid always keeps at least one row.
    explicit TMyStringGrid(int columns = 1, QWidget *parent = nullptr);

    QString Cell(int row, int column = 0) const;
    void SetCell(int row, int column, const QString &text);

    // Removes the row; when it is the only row, its cells are emptied instead.
    void DeleteRow(int row);
};
