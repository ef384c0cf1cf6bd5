#pragma once
// The bridge to the system address book: a Simple MAPI library loaded at run time.
#include "Recipients.h"

class QWidget;

// Shows the system address book's dialog with the three lists as its To, Cc and Bcc fields,
// modal to parent. On success the three lists are replaced by what the dialog returned and the
// result is true; on any other outcome they are untouched and the result is false. A library
// that cannot be loaded raises an Exception with the reason.
bool SmapiEditRecipients(QWidget *parent, TRecipientList &to, TRecipientList &cc,
                         TRecipientList &bcc);
