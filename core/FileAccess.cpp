#include "FileAccess.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QTextCodec>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

TFileWriteHook &writeHook()
{
    static TFileWriteHook hook;
    return hook;
}

QString systemReason(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

QString notRegular(const QString &path)
{
    return QStringLiteral("\"%1\" is not a regular file.").arg(path);
}

// Writes all of data to fd, through the test hook; false with errno set on failure.
bool writeAll(int fd, const QByteArray &data)
{
    qint64 done = 0;
    const qint64 chunk = 4096;
    while (done < data.size()) {
        if (writeHook() && !writeHook()(done)) {
            errno = ENOSPC;
            return false;
        }
        const qint64 n = std::min(chunk, qint64(data.size()) - done);
        const ssize_t w = ::write(fd, data.constData() + done, size_t(n));
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += w;
    }
    return true;
}

QByteArray tempPath(const QByteArray &target, int attempt)
{
    return target + ".tmp" + QByteArray::number(qint64(::getpid())) + "-" + QByteArray::number(attempt);
}

// Temporary files of earlier writes of the same file whose writer is gone (killed, or this
// very process, which writes one file at a time).
void removeStaleTemporaries(const QString &target)
{
    const QFileInfo info(target);
    const QRegularExpression pattern(QStringLiteral("^%1\\.tmp(\\d+)-\\d+$")
                                         .arg(QRegularExpression::escape(info.fileName())));
    const QDir dir = info.absoluteDir();
    const QStringList names = dir.entryList({info.fileName() + QStringLiteral(".tmp*")},
                                            QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &name : names) {
        const QRegularExpressionMatch m = pattern.match(name);
        if (!m.hasMatch())
            continue;
        bool ok = false;
        const qint64 pid = m.captured(1).toLongLong(&ok);
        const bool gone = ok && (pid == ::getpid() || pid <= 0 || pid > 0x3fffffff
                                 || (::kill(pid_t(pid), 0) != 0 && errno == ESRCH));
        if (gone)
            ::unlink(QFile::encodeName(dir.filePath(name)).constData());
    }
}

} // namespace

QString NotRegularFileError(const QString &path)
{
    struct stat st{};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0 || S_ISREG(st.st_mode))
        return QString();
    return notRegular(path);
}

TReadResult ReadRegularFile(const QString &fileName, QByteArray &data, QString &error)
{
    data.clear();
    error.clear();
    const QByteArray path = QFile::encodeName(fileName);
    struct stat st{};
    if (::stat(path.constData(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return TReadResult::Missing;
        error = QStringLiteral("Cannot open \"%1\": %2").arg(fileName, systemReason(errno));
        return TReadResult::Failed;
    }
    if (!S_ISREG(st.st_mode)) {
        error = notRegular(fileName);
        return TReadResult::Failed;
    }
    // Checked again on the open file: the path may have been swapped meanwhile.
    const int fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        error = QStringLiteral("Cannot open \"%1\": %2").arg(fileName, systemReason(errno));
        return TReadResult::Failed;
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = notRegular(fileName);
        return TReadResult::Failed;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    data.reserve(qsizetype(st.st_size));
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = QStringLiteral("Cannot read \"%1\": %2").arg(fileName, systemReason(errno));
            data.clear();
            return TReadResult::Failed;
        }
        if (n == 0)
            break;
        data.append(buf, qsizetype(n));
    }
    return TReadResult::Ok;
}

QString DecodeTextLines(const QByteArray &bytes, bool *foreign)
{
    static QTextCodec *const cp1251 = QTextCodec::codecForName("Windows-1251");
    bool any = false;
    QString text;
    text.reserve(bytes.size());
    qsizetype start = 0;
    while (start < bytes.size()) {
        qsizetype end = bytes.indexOf('\n', start);
        end = end < 0 ? bytes.size() : end + 1;
        const QByteArrayView line(bytes.constData() + start, end - start);
        QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString decoded = utf8.decode(line);
        if (utf8.hasError()) {
            text += cp1251->toUnicode(line.data(), int(line.size()));
            any = true;
        } else {
            text += decoded;
        }
        start = end;
    }
    if (foreign)
        *foreign = any;
    return text;
}

QString ReplaceFileContent(const QString &fileName, const QByteArray &data)
{
    // Replace what a link points to, not the link itself.
    QString target = fileName;
    const QFileInfo info(fileName);
    if (info.isSymLink() && !info.canonicalFilePath().isEmpty())
        target = info.canonicalFilePath();
    const QByteArray targetPath = QFile::encodeName(target);

    struct stat old{};
    const bool hadOld = ::stat(targetPath.constData(), &old) == 0;
    if (hadOld) {
        if (!S_ISREG(old.st_mode))
            return notRegular(fileName);
        // A rename would replace even a file the user protected; its mode is the user's word.
        if ((old.st_mode & 0222) == 0 || ::access(targetPath.constData(), W_OK) != 0)
            return systemReason(EACCES);
    }

    QByteArray tmp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        tmp = tempPath(targetPath, attempt);
        // Settings, profiles and protocols are the user's business alone; a file that exists
        // keeps the mode it has (below).
        fd = ::open(tmp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0)
        return systemReason(errno);

    int failure = 0;
    if (!writeAll(fd, data))
        failure = errno;
    if (!failure && hadOld)
        ::fchmod(fd, old.st_mode & 07777); // keep the file's permissions
    if (!failure && ::fsync(fd) != 0)
        failure = errno;
    if (::close(fd) != 0 && !failure)
        failure = errno;
    if (!failure && ::rename(tmp.constData(), targetPath.constData()) != 0)
        failure = errno;
    if (failure) {
        ::unlink(tmp.constData());
        return systemReason(failure);
    }
    // Make the rename itself durable; failing here loses nothing, so it is not an error.
    const QByteArray dir = QFile::encodeName(QFileInfo(target).absolutePath());
    const int dfd = ::open(dir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    removeStaleTemporaries(target);
    return QString();
}

void SetFileWriteHookForTests(TFileWriteHook hook)
{
    writeHook() = std::move(hook);
}
