// Placeholder until the system address book bridge is built.
#include "SMAPI.h"

#include "Global.h"

bool SmapiEditRecipients(QWidget *, TRecipientList &, TRecipientList &, TRecipientList &)
{
    throw Exception(QStringLiteral("The system address book is not available yet."));
}
