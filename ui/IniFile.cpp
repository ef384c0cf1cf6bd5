#include "IniFile.h"

// Header-only use of the parser: we hand it UTF-8 and keep it away from its own converters.
// Our own name comparison needs the template bodies, which the packaged header only gives with
// SI_IMPLEMENTATION (its shared library holds the stock instantiations only).
#define SI_NO_CONVERSION
#define SI_IMPLEMENTATION
#include <SimpleIni.h>

#include "FileAccess.h"

namespace {

// Names compare without regard to case, Cyrillic included (names are UTF-8 in the store).
struct NoCaseUtf8Less
{
    bool operator()(const char *a, const char *b) const
    {
        for (;; ++a, ++b) {
            const unsigned char ca = static_cast<unsigned char>(*a);
            const unsigned char cb = static_cast<unsigned char>(*b);
            if (ca >= 0x80 || cb >= 0x80)
                return QString::compare(QString::fromUtf8(a), QString::fromUtf8(b),
                                        Qt::CaseInsensitive) < 0;
            const int la = (ca >= 'A' && ca <= 'Z') ? ca + 32 : ca;
            const int lb = (cb >= 'A' && cb <= 'Z') ? cb + 32 : cb;
            if (la != lb)
                return la < lb;
            if (ca == 0)
                return false;
        }
    }
};

using Store = CSimpleIniTempl<char, NoCaseUtf8Less, SI_ConvertA<char>>;

// Values are read whole: cutting one would lose what the user typed at the next write.
QString cutValue(const QString &value)
{
    return value.trimmed();
}

QByteArray nameBytes(const QString &name)
{
    return name.trimmed().toUtf8();
}

} // namespace

struct TIniFile::Data
{
    Store ini{true /*utf8*/, false /*multi-key*/, false /*multi-line*/};
};

TIniFile::TIniFile(const QString &fileName)
    : d_(std::make_unique<Data>()), fileName_(fileName)
{
    d_->ini.SetSpaces(false); // key=value, as the files have always looked
    d_->ini.SetQuotes(false);

    QByteArray bytes;
    switch (ReadRegularFile(fileName, bytes, readError_)) {
    case TReadResult::Missing:
        return;
    case TReadResult::Failed:
        unreadable_ = true;
        return;
    case TReadResult::Ok:
        break;
    }
    // A NUL would end the parser's view of the text early; nothing valid contains one.
    bytes.replace('\0', ' ');
    bytes = DecodeTextLines(bytes, &wasWindows1251_).toUtf8();
    d_->ini.LoadData(bytes.constData(), size_t(bytes.size()));
}

TIniFile::~TIniFile() = default;

QString TIniFile::ReadString(const QString &section, const QString &key,
                             const QString &def) const
{
    const char *v = d_->ini.GetValue(nameBytes(section).constData(),
                                     nameBytes(key).constData(), nullptr);
    if (!v)
        return def;
    return cutValue(QString::fromUtf8(v));
}

int TIniFile::ReadInteger(const QString &section, const QString &key, int def) const
{
    const QString text = ReadString(section, key, QString());
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    return ok ? value : def;
}

bool TIniFile::ReadBool(const QString &section, const QString &key, bool def) const
{
    return ReadInteger(section, key, def ? 1 : 0) != 0;
}

void TIniFile::WriteString(const QString &section, const QString &key, const QString &value)
{
    QString v = value;
    v.replace(QLatin1String("\r\n"), QLatin1String(" "));
    v.replace(QLatin1Char('\r'), QLatin1Char(' '));
    v.replace(QLatin1Char('\n'), QLatin1Char(' '));
    v.replace(QChar(0), QLatin1Char(' '));
    const QByteArray s = nameBytes(section), k = nameBytes(key), b = v.toUtf8();
    const char *old = d_->ini.GetValue(s.constData(), k.constData(), nullptr);
    if (old && b == old && d_->ini.SectionExists(s.constData()))
        return;
    d_->ini.SetValue(s.constData(), k.constData(), b.constData());
    modified_ = true;
}

void TIniFile::WriteInteger(const QString &section, const QString &key, int value)
{
    WriteString(section, key, QString::number(value));
}

void TIniFile::WriteBool(const QString &section, const QString &key, bool value)
{
    WriteString(section, key, value ? QStringLiteral("1") : QStringLiteral("0"));
}

bool TIniFile::SectionExists(const QString &section) const
{
    return d_->ini.SectionExists(nameBytes(section).constData());
}

bool TIniFile::ValueExists(const QString &section, const QString &key) const
{
    return d_->ini.KeyExists(nameBytes(section).constData(), nameBytes(key).constData());
}

QStringList TIniFile::ReadSections() const
{
    Store::TNamesDepend names;
    d_->ini.GetAllSections(names);
    names.sort(Store::Entry::LoadOrder());
    QStringList out;
    for (const auto &e : names)
        out << QString::fromUtf8(e.pItem);
    return out;
}

QStringList TIniFile::ReadSection(const QString &section) const
{
    Store::TNamesDepend names;
    d_->ini.GetAllKeys(nameBytes(section).constData(), names);
    names.sort(Store::Entry::LoadOrder());
    QStringList out;
    for (const auto &e : names)
        out << QString::fromUtf8(e.pItem);
    return out;
}

void TIniFile::EraseSection(const QString &section)
{
    if (d_->ini.Delete(nameBytes(section).constData(), nullptr))
        modified_ = true;
}

void TIniFile::DeleteKey(const QString &section, const QString &key)
{
    if (d_->ini.Delete(nameBytes(section).constData(), nameBytes(key).constData()))
        modified_ = true;
}

void TIniFile::SetWriteHookForTests(WriteHook hook)
{
    SetFileWriteHookForTests(std::move(hook));
}

void TIniFile::UpdateFile()
{
    if (!modified_)
        return;
    // The path, then why, so the user knows what to change.
    const auto failure = [this](const QString &why) {
        return EIniFileError(QStringLiteral("Unable to write to %1: %2").arg(fileName_, why));
    };
    if (unreadable_)
        throw failure(readError_);   // it could not be read, so it is not replaced either

    std::string text;
    if (d_->ini.Save(text) < 0)
        throw failure(QStringLiteral("out of memory"));
    // The writer puts two empty lines before every section; one is easier on the eye. Values
    // never hold line breaks, so this touches nothing else.
    for (std::string::size_type at; (at = text.find("\n\n\n")) != std::string::npos;)
        text.erase(at, 1);
    const QByteArray data(text.data(), qsizetype(text.size()));
    const QString reason = ReplaceFileContent(fileName_, data);
    if (!reason.isEmpty())
        throw failure(reason);
    modified_ = false;
    wasWindows1251_ = false;
}
