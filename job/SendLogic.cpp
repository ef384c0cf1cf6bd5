#include "SendLogic.h"

#include "Global.h"
#include "Strings.h"
#include "vok_util.h"

#include <QLocale>
#include <QSet>
#include <QTextCodec>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace SendLogic {

int ClampFilesPerMessage(long long value)
{
    return static_cast<int>(std::clamp<long long>(value, MinFilesPerMessage, MaxFilesPerMessage));
}

int ClampFilesPerMessage(const QString &text)
{
    bool ok = false;
    const long long v = text.trimmed().toLongLong(&ok);
    return ok ? ClampFilesPerMessage(v) : MinFilesPerMessage;
}

int GroupSize(bool useZip, int filesPerMessage)
{
    return useZip ? 1 : ClampFilesPerMessage(static_cast<long long>(filesPerMessage));
}

int MessageCount(int files, int filesPerMessage, bool useZip)
{
    if (files <= 0)
        return 0;
    const int group = GroupSize(useZip, filesPerMessage);
    return (files + group - 1) / group;
}

QString NumberedSubject(const QString &subject, bool addPartNo, int number, int total)
{
    return addPartNo ? Format("%s %d(%d)", subject, number, total) : subject;
}

QString FullSubject(const QString &numbered, bool addFileName, const QStringList &names)
{
    if (!addFileName)
        return numbered;
    return numbered + QStringLiteral(" <") + names.join(QStringLiteral(", ")) + QLatin1Char('>');
}

QString NamePart(const QString &path)
{
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

QString TrimBlanks(const QString &text)
{
    qsizetype begin = 0, end = text.size();
    while (begin < end && (text[begin] <= QLatin1Char(' ') || text[begin].isSpace()))
        ++begin;
    while (end > begin && (text[end - 1] <= QLatin1Char(' ') || text[end - 1].isSpace()))
        --end;
    return text.mid(begin, end - begin);
}

std::string WireText(const QString &text, bool russian, bool utf8)
{
    if (utf8)
        return text.toStdString();
    return ToStdBytes(russian ? RecodeToKoi8(ToWin1251(text)) : ToLatin1(text));
}

std::string WireCharSet(bool russian, bool utf8)
{
    if (utf8)
        return "utf-8";
    return russian ? "koi8-r" : "iso-8859-1";
}

bool FitsWireCharSet(const QString &text, bool russian)
{
    if (!russian)
        return std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() <= 0xFF; });
    // Read back what the recoder made: a character Windows-1251 or the KOI8-R table lacks
    // comes back as something else.
    static QTextCodec *const koi8 = QTextCodec::codecForName("KOI8-R");
    if (!koi8)
        return true;
    return koi8->toUnicode(RecodeToKoi8(ToWin1251(text))) == text;
}

int FileReadError(const std::string &path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return errno;
    if (S_ISDIR(st.st_mode))
        return EISDIR;
    if (!S_ISREG(st.st_mode))
        return EINVAL;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return errno;
    ::close(fd);
    return 0;
}

QString FileErrorReason(int error, bool russian)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        return PickStr(russian, "файл не найден", "file not found");
    case EACCES:
    case EPERM:
        return PickStr(russian, "нет доступа к файлу", "permission denied");
    case EISDIR:
        return PickStr(russian, "это папка, а не файл", "it is a folder, not a file");
    case EINVAL:
        return PickStr(russian, "это не обычный файл", "not a regular file");
    default:
        return QString::fromLocal8Bit(std::strerror(error));
    }
}

QStringList TextLines(const QString &text)
{
    if (text.isEmpty())
        return {};
    QStringList lines = text.split(QLatin1Char('\n'));
    if (text.endsWith(QLatin1Char('\n')))
        lines.removeLast();
    for (QString &l : lines)
        if (l.endsWith(QLatin1Char('\r')))
            l.chop(1);
    return lines;
}

bool HasOverlongLine(const std::vector<std::string> &lines)
{
    return std::any_of(lines.begin(), lines.end(), [](const std::string &l) { return l.size() > vok::kMaxLineLength; });
}

QString ProtocolDateTime(const QDateTime &when)
{
    const QLocale locale = QLocale::system();
    const QString date = locale.toString(when.date(), QLocale::ShortFormat);
    const QTime t = when.time();
    if (t.hour() == 0 && t.minute() == 0 && t.second() == 0)
        return date;
    return date + QLatin1Char(' ') + locale.toString(t, QLocale::LongFormat);
}

QStringList WithoutDuplicates(const QStringList &paths)
{
    QStringList kept;
    QSet<QString> seen;
    for (const QString &p : paths) {
        const QString key = p.toCaseFolded();
        if (seen.contains(key))
            continue;
        seen.insert(key);
        kept << p;
    }
    return kept;
}

QString AddressProblemReason(const vok::TAddress &a, bool russian)
{
    const QString detail = QString::fromStdString(a.Detail);
    switch (a.Problem) {
    case vok::TAddressProblem::apNone: return QString();
    case vok::TAddressProblem::apEmpty: return TextIn(russian, TextId::AddressEmpty);
    case vok::TAddressProblem::apNoAt: return TextIn(russian, TextId::AddressNoAt);
    case vok::TAddressProblem::apNameComma: return TextIn(russian, TextId::AddressNameComma);
    case vok::TAddressProblem::apLocalPart: return TextIn(russian, TextId::AddressLocalPart);
    case vok::TAddressProblem::apDomain: return TextIn(russian, TextId::AddressDomain, detail);
    case vok::TAddressProblem::apTrailingText: return TextIn(russian, TextId::AddressTrailingText, detail);
    case vok::TAddressProblem::apDisplayName: return TextIn(russian, TextId::AddressDisplayName);
    case vok::TAddressProblem::apTooLong: return TextIn(russian, TextId::AddressTooLong);
    }
    return QString();
}

}   // namespace SendLogic
