// The internal archiver: the files of a list packed into one ZIP archive that a series sends in
// parts. libarchive writes it: its ZIP writer streams (each entry's sizes and CRC follow its
// data, nothing is patched afterwards), so bytes written are final and a part can go out while
// later files are still being packed. It also handles ZIP64 and UTF-8 names.
//
// The archive is deterministic: the same files give the same bytes (names, times and modes come
// from the files, never from the moment of packing), which resuming a series relies on.
#pragma once

#include <QString>
#include <QStringList>

#include <atomic>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace Archive {

// One file of the archive.
struct TEntry {
    std::string Path;   // as the file system spells it
    std::string Name;   // in the archive, UTF-8, unique
    uint64_t Size = 0;
    int64_t MTime = 0;   // seconds
    bool Store = false;  // true: its trial block did not shrink, so it goes uncompressed
};

struct TPlan {
    std::vector<TEntry> Entries;
    uint64_t InputBytes = 0;
    bool AllStored() const;
};

// What went wrong while planning or packing.
struct TError : std::runtime_error {
    enum TKind { kRead, kWrite, kCancelled };
    TError(TKind kind, std::string path, int error);
    TKind Kind;
    std::string Path;   // the file read or written
    int Errno;          // 0: the file changed while it was packed
};

// Names as the user sees them: the base names, a repeated one made distinct with " (2)",
// " (3)" ... before its extension.
std::vector<QString> UniqueNames(const QStringList &paths);

// The archive's name without ".zip": the subject made safe for a file name on any system, or
// the first file's name without its extension when the subject has nothing left.
QString ArchiveBaseName(const QString &subject, const QString &firstFile);

// The name of part k of n: NAME.001, NAME.002, ... with at least three digits; NAME itself
// when there is one part.
QString PartName(const QString &name, int k, int n);

// Called now and then during long steps on the caller's thread (to let the window run).
using TTick = std::function<void()>;

// Whether a file's first block shrinks under quick compression (photos, videos and archives
// do not).
bool Compressible(const char *data, size_t size);

// The entries for the files, in order: each checked to be a readable regular file (TError
// kRead otherwise, with EISDIR or EINVAL for what is not a regular file) and its trial block
// judged.
TPlan MakePlan(const QStringList &paths, const std::atomic<bool> &cancel, const TTick &tick);

// The archive's exact size when every entry is stored (it does not depend on the data then).
uint64_t StoredArchiveSize(const TPlan &plan, const std::atomic<bool> &cancel, const TTick &tick);
// A digest of the entries' names, sizes and times: what tells that the files changed.
QString PlanDigest(const TPlan &plan);
// At most this many bytes, whatever the compression does (for the free-space check).
uint64_t ArchiveSizeBound(const TPlan &plan);

// Where the archive's bytes go, in order.
class TSink {
public:
    virtual ~TSink() = default;
    virtual void Write(const void *data, size_t size) = 0;
    // The errno of a failed Write (0 when it did not fail or knows none).
    virtual int Error() const { return 0; }
};

// What packing has got to; read from another thread.
struct TProgress {
    std::atomic<int> Entry{0};           // the entry being packed (0-based); Entries when done
    std::atomic<uint64_t> BytesRead{0};  // of all files
    std::atomic<bool> Cancel{false};     // set to stop at once (TError kCancelled)
};

// Packs the plan into the sink. Throws TError.
void Pack(const TPlan &plan, TSink &sink, TProgress &progress);

}  // namespace Archive
