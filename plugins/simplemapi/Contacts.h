#pragma once
// The desktop user's contacts, read-only: vCard files (a folder of *.vcf, as CardDAV sync tools
// keep it, and single exported files) and Thunderbird's personal address books.
#include <QList>
#include <QString>
#include <QStringList>

struct TContact
{
    QString Name;      // may be empty
    QString Address;
    QString Source;    // the book it came from, as the dialog names it
};

struct TContactSettings
{
    QString Folder;          // every *.vcf in it; empty: DefaultContactsFolder()
    QStringList Files;       // single .vcf files the user added
    bool Thunderbird = true;
};

struct TContactList
{
    QList<TContact> Contacts;   // one entry per address, sorted by name, then address
    QStringList Sources;        // the books read, with their number of addresses
    QStringList Problems;       // the books that could not be read, each with its reason
};

// $XDG_DATA_HOME/contacts, by default ~/.local/share/contacts.
QString DefaultContactsFolder();
// The user's choices kept between calls, in $XDG_CONFIG_HOME/sendorix/contacts.ini.
TContactSettings LoadContactSettings();
void SaveContactSettings(const TContactSettings &settings);
struct TThunderbirdProfile
{
    QString Name;
    QString Folder;
};
// The profiles listed in the profiles.ini of every Thunderbird installation under the home
// folder (the usual one, the older Debian one, Flatpak and Snap).
QList<TThunderbirdProfile> ThunderbirdProfiles();

// Reads every source; russian picks the language of the problems' reasons.
TContactList ReadContacts(const TContactSettings &settings, bool russian);
