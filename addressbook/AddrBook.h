#pragma once
// The program's own address book: the file Sendorix.adr kept beside the settings file, and
// the dialog that shows the book on the left and the receivers of one recipient field on the
// right.
#include "OkCancl1.h"
#include "Recipients.h"

#include <QString>

class QAction;
class QCheckBox;
class QLabel;
class QMenu;
class QPushButton;
class TMyStringGrid;

// ---- The book file ------------------------------------------------------------------------
// Section "Addresses", keys Name1, Address1, Name2, ... numbered from 1 without gaps; the list
// ends before the first absent name key. Entries carry Name and Address (TRecipient).

// Sendorix.adr in the folder of the given settings file.
QString AddressBookFileBeside(const QString &settingsFile);
// A missing file gives no entries. A missing address key gives an empty address.
TRecipientList ReadAddressBook(const QString &path);
// Replaces the section with exactly these entries (no entries: one with empty name and
// address, which reads back as the blank row). Other sections are kept. Throws EIniFileError
// ("Unable to write to <path>") and then leaves the old file as it was.
void WriteAddressBook(const QString &path, const TRecipientList &entries);

// ---- The dialog ---------------------------------------------------------------------------
// Opens at its designed size; the user may make it larger (the grids grow) or smaller down to
// what its buttons need (the grids scroll).
class TAddressBook : public TOKBottomDlg
{
    Q_OBJECT
public:
    // Loads the book from bookFile (FormCreate).
    TAddressBook(QWidget *parent, const QString &bookFile);
    // Saves the book unless FormDestroy already did (or tried to); a failure there is shown
    // in the application's error box, as nothing can be thrown from here.
    ~TAddressBook() override;

    QString BookFile;

    QLabel *lblAddresses, *lblReceivers;
    TMyStringGrid *gridAdresses;   // the book: column 0 name, column 1 address
    TMyStringGrid *gridTarget;     // the receivers
    QPushButton *btnToTarget, *btnFromTarget;
    QPushButton *btnNewAddr, *btnEditAddr, *btnDeleteAddress;
    QCheckBox *cbNoDuplicates;
    QPushButton *btnTargetDeleteAddr;
    QMenu *popupAddr, *popupTarget;
    QAction *piNewAddr, *piEditAddr, *piDeleteAddr, *piAddToAddr, *piDeleteReceiver;

    void FormCreate();
    // Saves the book (also after Cancel). Runs once; throws EIniFileError when the file
    // cannot be written, the old file then being left whole.
    void FormDestroy();

    void LoadBook();
    void SaveBook();
    void EditRow(TMyStringGrid *grid);
    void DeleteRows(TMyStringGrid *grid, bool confirm);
    bool IsBookEmpty() const;
    void UpdateButtons();
    void RemoveDuplicates();
    bool IsReceiver(const QString &address) const;
    void SetBookCaptions();

    // Command handlers.
    void piNewAddrClick();
    void btnEditAddrClick();
    void piDeleteAddrClick();
    void btnToTargetClick();
    void btnFromTargetClick();
    void cbNoDuplicatesClick();

    // The receivers grid as a list (rows in order) and filled from one.
    TRecipientList Receivers() const;
    void SetReceivers(const TRecipientList &list);
    // The book grid's rows as entries.
    TRecipientList Entries() const;

    // A grid with one data row whose cells are both empty.
    static bool IsBlank(const TMyStringGrid *grid);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    struct TBookLayout {
        int ButtonH = 0, BookButtonW = 0, Gap = 0, CheckW = 0, MinGridW = 0, MiddleW = 0;
        int Left = 0, Top = 0;
        int Around = 0;   // the width beside the two grids
        int Below = 0;    // the height under the grids
    };
    TBookLayout Layout() const;
    void Arrange();
    bool destroyed_ = false;
    bool designSized_ = false;
};
