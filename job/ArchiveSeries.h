// The archive a series sends: a temporary file in the chosen folder, packed by a thread of its
// own while the job (on the window's thread) connects and sends the parts already written.
#pragma once

#include "Archiver.h"

#include <nettle/sha2.h>

#include <QByteArray>
#include <QString>

#include <atomic>
#include <exception>
#include <memory>
#include <thread>

namespace Archive {

// Temporary archives are named after this prefix and the process that made them, so the next
// start can remove one that a killed run left behind.
inline constexpr char kTempPrefix[] = "sendorix-pack-";
// Removes the archives in `folder` that no running process of this user holds.
void RemoveStaleArchives(const QString &folder);
// The system's temporary folder when `folder` is empty.
QString TempFolder(const QString &folder);

// A new archive file, readable and writable by its owner only; removed with the object.
class TTempFile {
public:
    explicit TTempFile(const QString &folder);   // throws TError kWrite (Errno set)
    ~TTempFile();
    TTempFile(const TTempFile &) = delete;
    TTempFile &operator=(const TTempFile &) = delete;
    int Fd() const { return Fd_; }
    const std::string &Path() const { return Path_; }

private:
    std::string Path_;
    int Fd_ = -1;
};

// Packs a plan into a file on a thread of its own. Written() bytes of the file are final.
class TPacker : private TSink {
public:
    TPacker(const TPlan &plan, int fd);
    ~TPacker() override;   // stops the packing at once and waits for the thread
    TPacker(const TPacker &) = delete;
    TPacker &operator=(const TPacker &) = delete;

    void Start();
    void Cancel() { Progress.Cancel.store(true); }
    uint64_t Written() const { return Written_.load(std::memory_order_acquire); }
    bool Done() const { return Done_.load(std::memory_order_acquire); }
    // After Done(): what ended it (none when it succeeded), and the SHA-256 of every byte written.
    std::exception_ptr Failure() const { return Error_; }
    QByteArray Sha256() const { return Sha256_; }
    TProgress Progress;

private:
    void Write(const void *data, size_t size) override;
    int Error() const override { return WriteErrno; }
    void Run();
    int WriteErrno = 0;
    const TPlan &Plan;
    const int Fd_;
    sha256_ctx Digest{};   // of every byte written; only the thread touches it
    std::atomic<uint64_t> Written_{0};
    std::atomic<bool> Done_{false};
    std::exception_ptr Error_;
    QByteArray Sha256_;
    std::thread Thread;
};

}  // namespace Archive

// What a send job holds of its archive. The packer goes before the file: the thread stops
// before the file is closed and removed.
class TArchiveSeries {
public:
    Archive::TPlan Plan;
    QString Folder;             // the temporary folder
    QString Name;               // NAME.zip
    std::unique_ptr<Archive::TTempFile> File;
    std::unique_ptr<Archive::TPacker> Packer;
    std::atomic<bool> PlanCancel{false};
    uint64_t Size = 0;          // exact once SizeKnown
    bool SizeKnown = false;
    uint64_t PartSize = 0;
    int Reported = 0;           // files whose packing has been told
    bool Finished = false;      // packing ended and was told
    QString Sha256;             // once Finished
    QString PartName(int k, int n) const { return Archive::PartName(Name, k, n); }
};
