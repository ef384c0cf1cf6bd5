#include "ArchiveSeries.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <csignal>
#include <cstdlib>

#include <sys/stat.h>
#include <unistd.h>

namespace Archive {

QString TempFolder(const QString &folder)
{
    const QString f = folder.trimmed();
    return f.isEmpty() ? QDir::tempPath() : f;
}

void RemoveStaleArchives(const QString &folder)
{
    const QDir dir(TempFolder(folder));
    const QString prefix = QString::fromLatin1(kTempPrefix);
    // Matched by hand: a name filter would bring in the regular expression engine for this alone.
    for (const QString &name : dir.entryList(QDir::Files | QDir::Hidden)) {
        if (!name.startsWith(prefix))
            continue;
        // sendorix-pack-<pid>-XXXXXX.zip
        bool ok = false;
        const pid_t pid = static_cast<pid_t>(name.mid(prefix.size()).section(QLatin1Char('-'), 0, 0).toInt(&ok));
        const QByteArray path = QFile::encodeName(dir.filePath(name));
        struct stat st {};
        if (!ok || pid <= 0 || ::lstat(path.constData(), &st) != 0 || st.st_uid != ::getuid())
            continue;
        if (pid != ::getpid() && ::kill(pid, 0) != 0 && errno == ESRCH)
            ::unlink(path.constData());
    }
}

TTempFile::TTempFile(const QString &folder)
{
    const QByteArray dir = QFile::encodeName(TempFolder(folder));
    std::string pattern = dir.toStdString() + "/" + kTempPrefix + std::to_string(::getpid()) + "-XXXXXX.zip";
    // mkstemps creates the file new (O_EXCL) with mode 0600.
    Fd_ = ::mkstemps(pattern.data(), 4);
    if (Fd_ < 0)
        throw TError(TError::kWrite, dir.toStdString(), errno);
    Path_ = pattern;
}

TTempFile::~TTempFile()
{
    // The name goes at once; the last close frees the file's pages, which for a large archive
    // takes long enough to hold the window, so it happens on a thread of its own.
    if (!Path_.empty())
        ::unlink(Path_.c_str());
    if (Fd_ >= 0)
        std::thread([fd = Fd_] { ::close(fd); }).detach();
}

TPacker::TPacker(const TPlan &plan, int fd) : Plan(plan), Fd_(fd) {}

TPacker::~TPacker()
{
    Cancel();
    if (Thread.joinable())
        Thread.join();
}

void TPacker::Start()
{
    // Nettle's SHA-256 uses the processor's SHA instructions where there are some, as
    // OpenSSL's does, without loading OpenSSL's providers (a few MiB) into a plain job.
    sha256_init(&Digest);
    Thread = std::thread([this] { Run(); });
}

void TPacker::Run()
{
    try {
        Pack(Plan, *this, Progress);
        unsigned char md[SHA256_DIGEST_SIZE];
        sha256_digest(&Digest, sizeof md, md);
        Sha256_ = QByteArray(reinterpret_cast<const char *>(md), static_cast<qsizetype>(sizeof md)).toHex();
    } catch (...) {
        Error_ = std::current_exception();
    }
    Done_.store(true, std::memory_order_release);
}

void TPacker::Write(const void *data, size_t size)
{
    const char *p = static_cast<const char *>(data);
    for (size_t left = size; left > 0;) {
        const ssize_t n = ::write(Fd_, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            WriteErrno = n < 0 ? errno : ENOSPC;
            throw TError(TError::kWrite, std::string(), WriteErrno);
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    sha256_update(&Digest, size, static_cast<const uint8_t *>(data));
    // Published only once the bytes are in the file: a reader never sees more than is there.
    Written_.fetch_add(size, std::memory_order_release);
}

}  // namespace Archive
