#pragma once
// A recipient as the three recipient fields and both address books see it, and the rules that
// turn a field's text into recipients and recipients back into text.
#include <QList>
#include <QString>

struct TRecipient
{
    QString Address;
    QString Name; // display name; may be empty
    bool operator==(const TRecipient &) const = default;
};
using TRecipientList = QList<TRecipient>;

// Removes the characters with codes 0 to 32 (blanks and control characters) at both ends.
QString TrimBlanks(const QString &text);

// Appends the entries of a field's text to list. Entries are separated by "," only; empty
// ones are skipped. An entry without "<" is a bare address; otherwise the text before the
// first "<" is the name (one '"' dropped at each end) and the text after it the address (one
// trailing ">" dropped). A name written by QuoteDisplayName comes back as it was: commas
// inside a closed pair of quotes do not separate, and its \" and \\ are unescaped.
void ParseRecipients(const QString &text, TRecipientList &list);

// The system address book's form: "\"name\" <address>" items joined by ", ", the address
// standing in for an empty name.
QString FormatRecipients(const TRecipientList &list);

// The program's own book's form: items joined by "," without blanks; "\"name\" <address>"
// when the name is not empty, else the bare address. Names and addresses are trimmed.
QString FormatBookRecipients(const TRecipientList &list);

// The name as it stands between the quotes of "\"%s\" <%s>". A name holding a ',', a '"' or a
// '\' would not survive ParseRecipients as it stands, so its '"' and '\' are escaped with '\'
// (the quotes around it then keep its commas together); any other name is returned as it is.
// Line breaks and other control characters become blanks in both name and address, as the
// field is one line.
QString QuoteDisplayName(const QString &name);
