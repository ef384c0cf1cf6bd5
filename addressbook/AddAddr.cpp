#include "AddAddr.h"

#include "AppHelp.h"
#include "Global.h"
#include "Language.h"
#include "Recipients.h"
#include "SendLogic.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <algorithm>

TAddAddress::TAddAddress(QWidget *parent) : TOKBottomDlg(parent, 313, 115)
{
    setObjectName(QStringLiteral("AddAddress"));
    InstallHelpKey(this, OwnBookHelpContext);
    lblName = new QLabel(this);
    lblName->setObjectName(QStringLiteral("lblName"));
    lblAddress = new QLabel(this);
    lblAddress->setObjectName(QStringLiteral("lblAddress"));
    edName = new QLineEdit(this);
    edName->setObjectName(QStringLiteral("edName"));
    edAddress = new QLineEdit(this);
    edAddress->setObjectName(QStringLiteral("edAddress"));
    lblName->setBuddy(edName);
    lblAddress->setBuddy(edAddress);
    // OK closes only after the check; Enter presses it.
    disconnect(OKBtn, &QPushButton::clicked, this, &QDialog::accept);
    connect(OKBtn, &QPushButton::clicked, this, &TAddAddress::OKBtnClick);
    OKBtn->setDefault(true);
    setTabOrder(edName, edAddress);
    setTabOrder(edAddress, OKBtn);
    setTabOrder(OKBtn, CancelBtn);
    // Typing starts in the name (the buttons come first in the focus chain otherwise).
    edName->setFocus(Qt::OtherFocusReason);
    SetAddressCaptions();
}

void TAddAddress::SetAddressCaptions()
{
    setWindowTitle(Text(TextId::AddressColumn));
    CancelBtn->setText(Text(TextId::Cancel));
    lblName->setText(Text(TextId::NameLabel));
    lblAddress->setText(Text(TextId::AddressLabel));
    Arrange();
}

void TAddAddress::Arrange()
{
    for (QLabel *l : {lblName, lblAddress})
        l->adjustSize();
    // The edits start at their designed place unless a caption needs more room.
    const int labelW = std::max(lblName->width(), lblAddress->width());
    const int editX = std::max(S(64), S(16) + labelW + S(6));
    const int editW = S(233);
    const int rowH = std::max(S(21), edName->sizeHint().height());
    edName->setGeometry(editX, S(24), editW, rowH);
    edAddress->setGeometry(editX, edName->geometry().bottom() + 1 + S(3), editW, rowH);
    for (QLineEdit *e : {edName, edAddress}) {
        QLabel *l = e == edName ? lblName : lblAddress;
        l->move(S(16), e->y() + (e->height() - l->height()) / 2);
    }
    const int width = std::max(S(313), editX + editW + S(16));
    const int height = std::max(S(115), edAddress->geometry().bottom() + 1 + S(16) + S(6)
                                            + std::max(S(25), OKBtn->sizeHint().height()) + S(6));
    ArrangeFrame(width, height);
}

void TAddAddress::CheckAddress()
{
    const QString text = TrimBlanks(edAddress->text());
    if (text.isEmpty())
        ShowErrorAndAbort(TextId::NeedAddress, edAddress);
    // The same check as before sending; the entry holds one bare address, as the name has
    // its own field and goes around it when the entry is used.
    const vok::TAddress a = vok::CheckEntry(text.toStdString());
    if (!a.Ok())
        ShowErrorTextAndAbort(Text(TextId::AddressBookInvalid, text, SendLogic::AddressProblemReason(a, IsRussian())),
                              edAddress);
    if (a.Typed != a.Entry)
        ShowErrorTextAndAbort(Text(TextId::AddressBookInvalid, text, Text(TextId::AddressBookBareOnly)), edAddress);
}

void TAddAddress::OKBtnClick()
{
    if (RunGuarded(this, [this] { CheckAddress(); }))
        accept();
}
