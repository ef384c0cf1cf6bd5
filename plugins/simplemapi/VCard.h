#pragma once
// A small vCard reader that keeps what an address dialog needs: the name and the e-mail
// addresses of every card. Reads versions 2.1, 3.0 and 4.0 as address books write them.
#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

struct TVCard
{
    QString Name;          // FN, else N put together, else ORG; may be empty
    QStringList Emails;    // in the card's order, without repeats
};

struct TVCardFile
{
    QList<TVCard> Cards;   // every well-formed card, also those without an address
    int Broken = 0;        // cards skipped: a line that is no property, or no END
};

// Lines are unfolded (a leading blank or tab continues the line; in 2.1 a quoted-printable
// value ending in "=" continues on the next line); values are unescaped (\n \, \; \\) and
// decoded (QUOTED-PRINTABLE, BASE64/B, CHARSET; UTF-8 by default, Windows-1251 for text that
// is not UTF-8).
TVCardFile ReadVCards(const QByteArray &data);
