#pragma once
// A recipient as the three recipient fields and both address books see it.
#include <QList>
#include <QString>

struct TRecipient
{
    QString Address;
    QString Name; // display name; may be empty
    bool operator==(const TRecipient &) const = default;
};
using TRecipientList = QList<TRecipient>;
