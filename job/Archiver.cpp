#include "Archiver.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <archive.h>
#include <archive_entry.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Archive {

namespace {

constexpr size_t kTrialBlock = 64 * 1024;
constexpr size_t kDeflateTrial = 16 * 1024;
constexpr size_t kReadBlock = 256 * 1024;

struct Fd {
    int fd = -1;
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

// Opens a regular file for reading without waiting on a FIFO or a device.
int OpenRegular(const std::string &path, struct stat &st)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        throw TError(TError::kRead, path, errno);
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        ::close(fd);
        throw TError(TError::kRead, path, error);
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

// Reads up to size bytes; fewer only at the end of the file.
size_t ReadFull(int fd, char *buffer, size_t size, const std::string &path)
{
    size_t got = 0;
    while (got < size) {
        const ssize_t n = ::read(fd, buffer + got, size - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw TError(TError::kRead, path, errno);
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    return got;
}

la_ssize_t SinkWrite(struct archive *, void *sink, const void *data, size_t size)
{
    try {
        static_cast<TSink *>(sink)->Write(data, size);
    } catch (...) {
        return -1;   // the sink keeps its own error; libarchive only has to stop
    }
    return static_cast<la_ssize_t>(size);
}

using TArchivePtr = std::unique_ptr<struct archive, int (*)(struct archive *)>;
using TEntryPtr = std::unique_ptr<struct archive_entry, void (*)(struct archive_entry *)>;

TArchivePtr OpenWriter(TSink &sink, bool fakeCrc)
{
    TArchivePtr a(archive_write_new(), archive_write_free);
    archive_write_set_format_zip(a.get());
    archive_write_set_options(a.get(), fakeCrc ? "zip:hdrcharset=UTF-8,zip:fakecrc32" : "zip:hdrcharset=UTF-8");
    // No blocking: libarchive hands its bytes straight to the sink (no copy, no padding at the
    // end), so the archive is exactly what the format makes.
    archive_write_set_bytes_per_block(a.get(), 0);
    archive_write_set_bytes_in_last_block(a.get(), 1);
    if (archive_write_open2(a.get(), &sink, nullptr, SinkWrite, nullptr, nullptr) != ARCHIVE_OK)
        throw TError(TError::kWrite, std::string(), EIO);
    return a;
}

// The entry's header: only what comes from the file, so packing again gives the same bytes.
TEntryPtr Header(const TEntry &e)
{
    TEntryPtr h(archive_entry_new(), archive_entry_free);
    archive_entry_set_pathname_utf8(h.get(), e.Name.c_str());
    archive_entry_set_filetype(h.get(), AE_IFREG);
    archive_entry_set_perm(h.get(), 0644);
    archive_entry_set_size(h.get(), static_cast<la_int64_t>(e.Size));
    archive_entry_set_mtime(h.get(), static_cast<time_t>(e.MTime), 0);
    archive_entry_set_uid(h.get(), 0);
    archive_entry_set_gid(h.get(), 0);
    return h;
}

[[noreturn]] void WriteFailed(struct archive *a, TSink &sink)
{
    const int error = sink.Error() ? sink.Error() : archive_errno(a);
    throw TError(TError::kWrite, std::string(), error > 0 ? error : EIO);
}

void BeginEntry(struct archive *a, TSink &sink, const TEntry &e)
{
    if (e.Store)
        archive_write_zip_set_compression_store(a);
    else
        archive_write_zip_set_compression_deflate(a);
    if (archive_write_header(a, Header(e).get()) != ARCHIVE_OK)
        WriteFailed(a, sink);
}

void WriteData(struct archive *a, TSink &sink, const char *data, size_t size)
{
    while (size > 0) {
        const la_ssize_t n = archive_write_data(a, data, size);
        if (n <= 0)
            WriteFailed(a, sink);
        data += n;
        size -= static_cast<size_t>(n);
    }
}

// One file's data: exactly the size planned; a file that changed since fails the packing.
void PackFile(struct archive *a, TSink &sink, const TEntry &e, TProgress &progress, std::vector<char> &buffer)
{
    struct stat st {};
    Fd in{OpenRegular(e.Path, st)};
    if (static_cast<uint64_t>(st.st_size) != e.Size)
        throw TError(TError::kRead, e.Path, 0);
    uint64_t left = e.Size;
    while (left > 0) {
        if (progress.Cancel.load(std::memory_order_relaxed))
            throw TError(TError::kCancelled, std::string(), 0);
        const size_t want = static_cast<size_t>(std::min<uint64_t>(left, buffer.size()));
        if (ReadFull(in.fd, buffer.data(), want, e.Path) != want)
            throw TError(TError::kRead, e.Path, 0);
        WriteData(a, sink, buffer.data(), want);
        left -= want;
        progress.BytesRead.fetch_add(want, std::memory_order_relaxed);
    }
}

void Finish(struct archive *a, TSink &sink)
{
    if (archive_write_close(a) != ARCHIVE_OK)
        WriteFailed(a, sink);
}

class TCounter : public TSink {
public:
    uint64_t Bytes = 0;
    void Write(const void *, size_t size) override { Bytes += size; }
};

}  // namespace

TError::TError(TKind kind, std::string path, int error)
    : std::runtime_error(path), Kind(kind), Path(std::move(path)), Errno(error)
{
}

bool TPlan::AllStored() const
{
    return std::all_of(Entries.begin(), Entries.end(), [](const TEntry &e) { return e.Store; });
}

std::vector<QString> UniqueNames(const QStringList &paths)
{
    std::vector<QString> names;
    QSet<QString> taken;
    for (const QString &path : paths) {
        const QString name = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
        QString unique = name;
        const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
        const QString stem = dot > 0 ? name.left(dot) : name;
        const QString ext = dot > 0 ? name.mid(dot) : QString();
        for (int k = 2; taken.contains(unique.toLower()); ++k)
            unique = QStringLiteral("%1 (%2)%3").arg(stem).arg(k).arg(ext);
        // Compared without letter case: a receiver on Windows or macOS would lose one of two
        // names that differ only in case.
        taken.insert(unique.toLower());
        names.push_back(unique);
    }
    return names;
}

QString ArchiveBaseName(const QString &subject, const QString &firstFile)
{
    // Characters Windows refuses in names, control characters and the path separators become
    // '_'; blanks and dots at the ends go (Windows drops them).
    auto safe = [](const QString &text) {
        QString out;
        for (const QChar c : text)
            out += c.unicode() < 0x20 || QStringLiteral("/\\:*?\"<>|").contains(c) ? QLatin1Char('_') : c;
        while (!out.isEmpty() && (out.front().isSpace() || out.front() == QLatin1Char('.')))
            out.remove(0, 1);
        while (!out.isEmpty() && (out.back().isSpace() || out.back() == QLatin1Char('.')))
            out.chop(1);
        return out.left(100).trimmed();
    };
    QString name = safe(subject);
    if (name.isEmpty()) {
        const QString file = firstFile.mid(firstFile.lastIndexOf(QLatin1Char('/')) + 1);
        const qsizetype dot = file.lastIndexOf(QLatin1Char('.'));
        name = safe(dot > 0 ? file.left(dot) : file);
    }
    return name.isEmpty() ? QStringLiteral("archive") : name;
}

QString PartName(const QString &name, int k, int n)
{
    if (n <= 1)
        return name;
    const int digits = std::max(3, static_cast<int>(QString::number(n).size()));
    return name + QLatin1Char('.') + QString::number(k).rightJustified(digits, QLatin1Char('0'));
}

QString PlanDigest(const TPlan &plan)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    for (const TEntry &e : plan.Entries) {
        hash.addData(QByteArray::fromStdString(e.Name + '\0' + std::to_string(e.Size) + '\0' +
                                               std::to_string(e.MTime) + '\0' + (e.Store ? "s" : "d") + '\1'));
    }
    return QString::fromLatin1(hash.result().toHex());
}

bool Compressible(const char *data, size_t size)
{
    if (size < 64)
        return false;   // nothing to gain on a few bytes
    // Bytes far from evenly spread (two bytes taken at random are the same one more often than
    // 1 in 128 times): Huffman codes alone shrink the data well. Counting them costs next to
    // nothing, where a trial deflate of random data is slow.
    uint64_t counts[256] = {};
    for (size_t i = 0; i < size; ++i)
        ++counts[static_cast<unsigned char>(data[i])];
    uint64_t same = 0;
    for (uint64_t c : counts)
        same += c * c;
    if (same * 128 > static_cast<uint64_t>(size) * size)
        return true;
    // Nearly even: only repeated runs could shrink it, which a short trial finds.
    const uLong trial = static_cast<uLong>(std::min<size_t>(size, kDeflateTrial));
    uLongf out = compressBound(trial);
    std::vector<Bytef> buffer(out);
    if (compress2(buffer.data(), &out, reinterpret_cast<const Bytef *>(data), trial, 1) != Z_OK)
        return false;
    // Worth it only when it saves at least a twentieth.
    return out < trial - trial / 20;
}

TPlan MakePlan(const QStringList &paths, const std::atomic<bool> &cancel, const TTick &tick)
{
    TPlan plan;
    const std::vector<QString> names = UniqueNames(paths);
    std::vector<char> trial(kTrialBlock);
    for (qsizetype i = 0; i < paths.size(); ++i) {
        tick();
        if (cancel.load(std::memory_order_relaxed))
            throw TError(TError::kCancelled, std::string(), 0);
        TEntry e;
        e.Path = QFile::encodeName(paths[i]).toStdString();
        e.Name = names[static_cast<size_t>(i)].toStdString();
        struct stat st {};
        Fd in{OpenRegular(e.Path, st)};
        e.Size = static_cast<uint64_t>(st.st_size);
        e.MTime = static_cast<int64_t>(st.st_mtim.tv_sec);
        e.Store = !Compressible(trial.data(), ReadFull(in.fd, trial.data(), trial.size(), e.Path));
        plan.InputBytes += e.Size;
        plan.Entries.push_back(std::move(e));
    }
    return plan;
}

uint64_t StoredArchiveSize(const TPlan &plan, const std::atomic<bool> &cancel, const TTick &tick)
{
    // Packed for real into a counter, with zeros for data and no CRC: the layout of stored
    // entries does not depend on their bytes.
    TCounter counter;
    TArchivePtr a = OpenWriter(counter, true);
    std::vector<char> zeros(kReadBlock, 0);
    for (const TEntry &e : plan.Entries) {
        BeginEntry(a.get(), counter, e);
        for (uint64_t left = e.Size; left > 0;) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(left, zeros.size()));
            WriteData(a.get(), counter, zeros.data(), n);
            left -= n;
            tick();
            if (cancel.load(std::memory_order_relaxed))
                throw TError(TError::kCancelled, std::string(), 0);
        }
    }
    Finish(a.get(), counter);
    return counter.Bytes;
}

uint64_t ArchiveSizeBound(const TPlan &plan)
{
    // Per entry: two headers with the name and the extra fields, and a descriptor; deflate
    // adds at most a few bytes per 16 KiB of data it cannot shrink.
    uint64_t bound = 1024;
    for (const TEntry &e : plan.Entries)
        bound += e.Size + e.Size / 1000 + 2 * e.Name.size() + 512;
    return bound;
}

void Pack(const TPlan &plan, TSink &sink, TProgress &progress)
{
    TArchivePtr a = OpenWriter(sink, false);
    std::vector<char> buffer(kReadBlock);
    for (size_t i = 0; i < plan.Entries.size(); ++i) {
        progress.Entry.store(static_cast<int>(i), std::memory_order_relaxed);
        BeginEntry(a.get(), sink, plan.Entries[i]);
        PackFile(a.get(), sink, plan.Entries[i], progress, buffer);
    }
    Finish(a.get(), sink);
    progress.Entry.store(static_cast<int>(plan.Entries.size()), std::memory_order_release);
}

}  // namespace Archive
