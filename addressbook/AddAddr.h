#pragma once
// The entry dialog of the address book: one name and one e-mail address.
#include "OkCancl1.h"

class QLabel;
class QLineEdit;

class TAddAddress : public TOKBottomDlg
{
    Q_OBJECT
public:
    explicit TAddAddress(QWidget *parent = nullptr);

    QLabel *lblName, *lblAddress;
    QLineEdit *edName, *edAddress;

    // Captions in the current interface language; whoever creates the dialog calls it.
    void SetAddressCaptions();
    // A blank address shows message 54, puts the focus into the address and ends the command.
    void CheckAddress();
    void OKBtnClick();

private:
    void Arrange();
};
