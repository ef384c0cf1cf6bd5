// The three recipient fields and their address book buttons: the program's own book for one
// field, or the system address book for all three at once.
#include "MainForm.h"

#include "AddrBook.h"
#include "Language.h"
#include "Recipients.h"
#include "SMAPI.h"
#include "ScreenFit.h"

#include <QCheckBox>
#include <QComboBox>

#include <memory>

QString TMainForm::AddressBookFile() const
{
    return AddressBookFileBeside(SettingsIoPath(SettingsFile));
}

void TMainForm::btnAddressBookToClick()
{
    RunGuarded(this, [this] { PickRecipients(edtTo); });
}

void TMainForm::btnAddressBookCcClick()
{
    RunGuarded(this, [this] { PickRecipients(edtCC); });
}

void TMainForm::btnAddressBookBccClick()
{
    RunGuarded(this, [this] { PickRecipients(edBCC); });
}

void TMainForm::PickRecipients(QComboBox *field)
{
    // The system's dialog edits all three fields at once, whichever button was pressed.
    if (cbUseMAPIAddresBook->isChecked())
        PickFromWindowsAddressBook();
    else
        PickFromAddressBook(field);
}

void TMainForm::PickFromAddressBook(QComboBox *field)
{
    auto book = std::make_unique<TAddressBook>(this, AddressBookFile());
    book->SetBookCaptions();
    // The size the user gave the book last time (the screen may have shrunk since: it is fitted
    // to the screen when shown).
    const QString settings = SettingsIoPath(SettingsFile);
    if (const QSize kept = KeptDialogSize(settings, book->objectName()); kept.isValid())
        book->resize(kept);
    TRecipientList receivers;
    ParseRecipients(field->currentText(), receivers);
    book->SetReceivers(receivers);
    const bool accepted = book->exec() == QDialog::Accepted;
    KeepDialogSize(settings, book.get());
    if (accepted)
        field->setEditText(FormatBookRecipients(book->Receivers()));
    // The book is saved after Cancel too; a failed save reaches the error box once and the
    // old file stays whole.
    book->FormDestroy();
}

void TMainForm::PickFromWindowsAddressBook()
{
    TRecipientList to, cc, bcc;
    ParseRecipients(edtTo->currentText(), to);
    ParseRecipients(edtCC->currentText(), cc);
    ParseRecipients(edBCC->currentText(), bcc);
    if (!SmapiEditRecipients(this, to, cc, bcc))
        return;
    edtTo->setEditText(FormatRecipients(to));
    edtCC->setEditText(FormatRecipients(cc));
    edBCC->setEditText(FormatRecipients(bcc));
}
