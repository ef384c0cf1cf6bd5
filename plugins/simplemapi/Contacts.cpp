#include "Contacts.h"

#include "VCard.h"

#include <QCollator>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>

#include <algorithm>

namespace {

QString Pick(bool russian, const char *ru, const char *en)
{
    return russian ? QString::fromUtf8(ru) : QString::fromUtf8(en);
}

// A path as a person reads it: the home folder as "~".
QString Shown(const QString &path)
{
    const QString home = QDir::homePath();
    if (path == home || path.startsWith(home + QLatin1Char('/')))
        return QLatin1Char('~') + path.mid(home.size());
    return path;
}

QString SettingsFile()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
         + QStringLiteral("/sendorix/contacts.ini");
}

void AddCards(const TVCardFile &file, const QString &source, QList<TContact> &into)
{
    for (const TVCard &card : file.Cards) {
        for (const QString &address : card.Emails)
            into.append({card.Name, address, source});
    }
}

// One vCard file; false with the reason when it cannot be read.
bool ReadVCardFile(const QString &path, const QString &source, QList<TContact> &into,
                   QStringList &problems, bool russian)
{
    QFile file(path);
    if (QFileInfo(path).isDir() || !file.open(QIODevice::ReadOnly)) {
        problems << QStringLiteral("%1: %2").arg(Shown(path),
            QFileInfo(path).isDir() ? Pick(russian, "это папка", "is a folder") : file.errorString());
        return false;
    }
    const TVCardFile cards = ReadVCards(file.readAll());
    AddCards(cards, source, into);
    if (cards.Broken > 0) {
        problems << QStringLiteral("%1: %2").arg(Shown(path),
            Pick(russian, "пропущено повреждённых карточек: %1", "%1 damaged card(s) skipped")
                .arg(cards.Broken));
    }
    return true;
}

int CountFrom(const QList<TContact> &contacts, qsizetype from)
{
    return int(contacts.size() - from);
}

void ReadFolder(const QString &folder, bool isDefault, TContactList &list, bool russian)
{
    const QDir dir(folder);
    if (!dir.exists()) {
        // The default folder is only there when something syncs into it.
        if (!isDefault)
            list.Problems << QStringLiteral("%1: %2").arg(Shown(folder),
                Pick(russian, "папка не найдена", "no such folder"));
        return;
    }
    const QString source = Shown(folder);
    const qsizetype before = list.Contacts.size();
    const QStringList files = dir.entryList({QStringLiteral("*.vcf"), QStringLiteral("*.VCF")},
                                            QDir::Files | QDir::System | QDir::Dirs
                                                | QDir::NoDotAndDotDot,
                                            QDir::Name);
    for (const QString &name : files)
        ReadVCardFile(dir.filePath(name), source, list.Contacts, list.Problems, russian);
    list.Sources << QStringLiteral("%1 (%2)").arg(source).arg(CountFrom(list.Contacts, before));
}

QString Reason(const QSqlError &error)
{
    return error.databaseText().isEmpty() ? error.text() : error.databaseText();
}

// Thunderbird keeps each card's fields as name/value rows of its "properties" table; newer
// versions add the whole card as a vCard under "_vCard", which is where further addresses live.
bool ReadAddressBook(const QString &path, const QString &source, QList<TContact> &into,
                     QString &reason, bool russian)
{
    static int connections = 0;
    const QString connection = QStringLiteral("sendorix-abook-%1").arg(++connections);
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        db.setDatabaseName(path);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        if (!QFileInfo(path).isFile()) {
            reason = Pick(russian, "это не файл", "not a file");
        } else if (!db.open()) {
            reason = Reason(db.lastError());
        } else {
            QSqlQuery query(db);
            query.setForwardOnly(true);
            if (!query.exec(QStringLiteral(
                    "SELECT card, name, value FROM properties WHERE name IN "
                    "('DisplayName', 'FirstName', 'LastName', 'PrimaryEmail', 'SecondEmail', "
                    "'_vCard') ORDER BY card"))) {
                reason = Reason(query.lastError());
            } else {
                struct TCard { QString Display, First, Last, Primary, Second; QByteArray VCard; };
                QList<TCard> cards;
                QString current;
                bool any = false;
                while (query.next()) {
                    const QString card = query.value(0).toString();
                    if (!any || card != current) {
                        cards.append(TCard());
                        current = card;
                        any = true;
                    }
                    const QString name = query.value(1).toString();
                    const QString value = query.value(2).toString().trimmed();
                    TCard &c = cards.last();
                    if (name == QLatin1String("DisplayName")) c.Display = value;
                    else if (name == QLatin1String("FirstName")) c.First = value;
                    else if (name == QLatin1String("LastName")) c.Last = value;
                    else if (name == QLatin1String("PrimaryEmail")) c.Primary = value;
                    else if (name == QLatin1String("SecondEmail")) c.Second = value;
                    else c.VCard = value.toUtf8();
                }
                for (const TCard &c : cards) {
                    QString name = c.Display;
                    const TVCardFile parsed = ReadVCards(c.VCard);
                    if (name.isEmpty() && !parsed.Cards.isEmpty())
                        name = parsed.Cards.first().Name;
                    if (name.isEmpty())
                        name = QStringList{c.First, c.Last}.join(QLatin1Char(' ')).trimmed();
                    QStringList addresses;
                    for (const QString &a : QStringList{c.Primary, c.Second}
                                                + (parsed.Cards.isEmpty() ? QStringList()
                                                                          : parsed.Cards.first().Emails)) {
                        if (!a.isEmpty() && !addresses.contains(a, Qt::CaseInsensitive))
                            addresses << a;
                    }
                    for (const QString &a : addresses)
                        into.append({name, a, source});
                }
                ok = true;
            }
            db.close();
        }
    }
    QSqlDatabase::removeDatabase(connection);
    return ok;
}

QString ProfilesIniFolder(const QString &root, const QString &path, bool relative)
{
    return QDir::cleanPath(relative ? root + QLatin1Char('/') + path : path);
}

} // namespace

QString DefaultContactsFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
         + QStringLiteral("/contacts");
}

TContactSettings LoadContactSettings()
{
    QSettings ini(SettingsFile(), QSettings::IniFormat);
    TContactSettings s;
    s.Folder = ini.value(QStringLiteral("vCard/Folder")).toString();
    s.Files = ini.value(QStringLiteral("vCard/Files")).toStringList();
    s.Thunderbird = ini.value(QStringLiteral("Thunderbird/Read"), true).toBool();
    return s;
}

void SaveContactSettings(const TContactSettings &settings)
{
    // Which address books the user reads is nobody else's business: a new file and its
    // folder are made owner-only, and QSettings keeps the mode when it rewrites the file.
    const QString file = SettingsFile();
    const QString folder = QFileInfo(file).absolutePath();
    if (!QFileInfo::exists(folder)) {
        QDir().mkpath(QFileInfo(folder).absolutePath());
        QDir().mkdir(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    if (!QFileInfo::exists(file)) {
        QFile create(file);
        create.open(QIODevice::WriteOnly, QFile::ReadOwner | QFile::WriteOwner);
    }
    QSettings ini(file, QSettings::IniFormat);
    ini.setValue(QStringLiteral("vCard/Folder"), settings.Folder);
    ini.setValue(QStringLiteral("vCard/Files"), settings.Files);
    ini.setValue(QStringLiteral("Thunderbird/Read"), settings.Thunderbird);
}

QList<TThunderbirdProfile> ThunderbirdProfiles()
{
    const QString home = QDir::homePath();
    const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    const QStringList roots{home + QStringLiteral("/.thunderbird"),
                            config + QStringLiteral("/thunderbird"),
                            home + QStringLiteral("/.mozilla-thunderbird"),
                            home + QStringLiteral("/.var/app/org.mozilla.Thunderbird/.thunderbird"),
                            home + QStringLiteral("/snap/thunderbird/common/.thunderbird")};
    QList<TThunderbirdProfile> profiles;
    QStringList seen;
    for (const QString &root : roots) {
        const QString iniPath = root + QStringLiteral("/profiles.ini");
        if (!QFileInfo::exists(iniPath))
            continue;
        QSettings ini(iniPath, QSettings::IniFormat);
        for (const QString &group : ini.childGroups()) {
            if (!group.startsWith(QLatin1String("Profile"), Qt::CaseInsensitive))
                continue;
            ini.beginGroup(group);
            const QString path = ini.value(QStringLiteral("Path")).toString();
            const bool relative = ini.value(QStringLiteral("IsRelative"), 1).toInt() != 0;
            const QString name = ini.value(QStringLiteral("Name"), path).toString();
            ini.endGroup();
            if (path.isEmpty())
                continue;
            const QString folder = ProfilesIniFolder(root, path, relative);
            if (seen.contains(folder))
                continue;
            seen << folder;
            profiles.append({name, folder});
        }
    }
    return profiles;
}

TContactList ReadContacts(const TContactSettings &settings, bool russian)
{
    TContactList list;
    const bool defaultFolder = settings.Folder.isEmpty();
    ReadFolder(defaultFolder ? DefaultContactsFolder() : settings.Folder, defaultFolder, list,
               russian);

    for (const QString &path : settings.Files) {
        const qsizetype before = list.Contacts.size();
        if (ReadVCardFile(path, Shown(path), list.Contacts, list.Problems, russian))
            list.Sources << QStringLiteral("%1 (%2)").arg(Shown(path)).arg(CountFrom(list.Contacts, before));
    }

    if (settings.Thunderbird) {
        for (const TThunderbirdProfile &profile : ThunderbirdProfiles()) {
            const QDir dir(profile.Folder);
            const QStringList books = dir.entryList({QStringLiteral("abook*.sqlite")},
                                                    QDir::Files | QDir::Dirs | QDir::System
                                                        | QDir::NoDotAndDotDot,
                                                    QDir::Name);
            for (const QString &book : books) {
                const QString source = QStringLiteral("Thunderbird %1: %2").arg(profile.Name, book);
                const qsizetype before = list.Contacts.size();
                QString reason;
                if (ReadAddressBook(dir.filePath(book), source, list.Contacts, reason, russian))
                    list.Sources << QStringLiteral("%1 (%2)").arg(source).arg(CountFrom(list.Contacts, before));
                else
                    list.Problems << QStringLiteral("%1: %2").arg(Shown(dir.filePath(book)), reason);
            }
        }
    }

    QCollator collator;
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::stable_sort(list.Contacts.begin(), list.Contacts.end(),
                     [&](const TContact &a, const TContact &b) {
                         const QString ka = a.Name.isEmpty() ? a.Address : a.Name;
                         const QString kb = b.Name.isEmpty() ? b.Address : b.Name;
                         if (const int c = collator.compare(ka, kb); c != 0)
                             return c < 0;
                         return collator.compare(a.Address, b.Address) < 0;
                     });
    return list;
}
