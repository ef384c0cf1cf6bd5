// The send job's internal archiver: the files packed into one ZIP archive in the temporary
// folder, sent as a numbered series of its parts. Packing runs on a thread of its own; when
// every file is stored the archive's size is known before it is written, so the parts go out
// while later ones are still being packed. Otherwise packing ends before the first part goes.
#include "ArchiveSeries.h"
#include "SendJob.h"

#include "Global.h"
#include "SendLogic.h"
#include "Strings.h"
#include "vok_util.h"

#include <QFile>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include <sys/statvfs.h>

using namespace SendLogic;

TSendJob::~TSendJob() = default;

namespace {

template <class... A> QString Both(TSendJobHost &host, int id, const A &...args)
{
    host.ProtocolLine(TextIn(true, id, args...), TextIn(false, id, args...));
    return Text(id, args...);
}

QString Bytes(uint64_t n)
{
    return QString::number(static_cast<qulonglong>(n));
}

// The bytes free for this user in a folder; all of them when it cannot be told.
uint64_t FreeBytes(const QString &folder)
{
    struct statvfs st {};
    if (::statvfs(QFile::encodeName(folder).constData(), &st) != 0)
        return UINT64_MAX;
    return static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
}

}  // namespace

void TSendJob::ArchiveFailed()
{
    // Called when the packer or the plan ended with an error: says what and ends the job.
    try {
        std::rethrow_exception(Archive->Packer && Archive->Packer->Done() ? Archive->Packer->Failure()
                                                                             : std::current_exception());
    } catch (const Archive::TError &e) {
        const QString path = QFile::decodeName(QByteArray::fromStdString(e.Path));
        QString text;
        if (e.Kind == Archive::TError::kWrite && e.Path.empty())
            text = Both(Host, TextId::ArchiveWriteFailed, Archive->Folder,
                        QString::fromLocal8Bit(std::strerror(e.Errno)));
        else if (e.Kind == Archive::TError::kWrite)
            text = Both(Host, TextId::ArchiveTempFailed, path, QString::fromLocal8Bit(std::strerror(e.Errno)));
        else if (e.Errno == 0)
            text = Both(Host, TextId::ArchiveFileChanged, path);
        else
            text = Both(Host, TextId::CannotReadFile, path, FileErrorReason(e.Errno, IsRussian()));
        throw Exception(text);
    }
}

void TSendJob::ReportPacking()
{
    TArchiveSeries &a = *Archive;
    Archive::TPacker &p = *a.Packer;
    const int count = static_cast<int>(a.Plan.Entries.size());
    const int current = std::min(count, p.Progress.Entry.load(std::memory_order_acquire) + 1);
    for (; a.Reported < current; ++a.Reported) {
        const QString name = QString::fromStdString(a.Plan.Entries[static_cast<size_t>(a.Reported)].Name);
        Host.Status(Both(Host, TextId::ArchivePacking, name, a.Reported + 1, count));
    }
    const uint64_t input = std::max<uint64_t>(1, a.Plan.InputBytes);
    Host.Progress(static_cast<int>(p.Progress.BytesRead.load(std::memory_order_relaxed) * 100 / input));
    if (a.Finished || !p.Done() || p.Failure())
        return;
    a.Finished = true;
    a.Sha256 = QString::fromLatin1(p.Sha256());
    a.Size = p.Written();
    a.SizeKnown = true;
    const QString ratio = a.Plan.InputBytes ? QString::number(100.0 * double(a.Size) / double(a.Plan.InputBytes), 'f', 1)
                                            : QStringLiteral("100");
    Both(Host, TextId::ArchivePacked, a.Name, Bytes(a.Size), ratio, Bytes(a.Plan.InputBytes));
    Journal.ArchiveDigest(a.Sha256);
}

bool TSendJob::WaitForArchive(uint64_t bytes)
{
    Archive::TPacker &p = *Archive->Packer;
    while (!p.Done() && p.Written() < bytes) {
        if (Cancelled()) {
            p.Cancel();
            return false;
        }
        ReportPacking();
        vok::ProcessMessages();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ReportPacking();
    if (p.Done() && p.Failure())
        ArchiveFailed();
    return true;
}

bool TSendJob::PrepareArchive()
{
    Archive = std::make_unique<TArchiveSeries>();
    TArchiveSeries &a = *Archive;
    a.Folder = Archive::TempFolder(Request.TempDir);
    a.Name = Archive::ArchiveBaseName(Request.Subject, Request.Files.value(0)) + QStringLiteral(".zip");
    Host.Status(Text(TextId::ArchivePackingStatus));
    const Archive::TTick tick = [this, &a] {
        vok::PumpMessages();
        a.PlanCancel.store(Cancelled());
    };
    try {
        a.Plan = Archive::MakePlan(Request.Files, a.PlanCancel, tick);
        Archive::RemoveStaleArchives(a.Folder);   // before the room is measured: they take some
        // Nothing is written, nothing sent, when the folder cannot hold the archive.
        const uint64_t bound = Archive::ArchiveSizeBound(a.Plan), free = FreeBytes(a.Folder);
        if (free < bound)
            throw Exception(Both(Host, TextId::ArchiveNoRoom, a.Folder, Bytes(bound), Bytes(free)));
        a.File = std::make_unique<Archive::TTempFile>(a.Folder);
        // A resumed series checks the whole archive before anything goes.
        if (a.Plan.AllStored() && Request.Delivered.isEmpty()) {
            a.Size = Archive::StoredArchiveSize(a.Plan, a.PlanCancel, tick);
            a.SizeKnown = true;
        }
    } catch (const Archive::TError &e) {
        if (e.Kind != Archive::TError::kCancelled)
            ArchiveFailed();
    }
    if (!Cancelled()) {
        a.Packer = std::make_unique<Archive::TPacker>(a.Plan, a.File->Fd());
        a.Packer->Start();
    }
    if (Cancelled() || (!a.SizeKnown && !WaitForArchive(UINT64_MAX))) {
        Host.Status(Text(TextId::JobStopped));
        Both(Host, TextId::JobStopped);
        Outcome_ = TJobOutcome::joStopped;
        return false;
    }
    Host.Status(Text(TextId::Connecting, Request.Server));
    return Request.Delivered.isEmpty() || SameArchiveAsBefore();
}

bool TSendJob::SameArchiveAsBefore()
{
    const TArchiveSeries &a = *Archive;
    const bool same = Request.ArchiveSha256.isEmpty() ? Request.ArchiveFiles == Archive::PlanDigest(a.Plan)
                                                      : Request.ArchiveSha256 == a.Sha256;
    if (same) {
        Both(Host, TextId::ArchiveSameAsBefore, a.Sha256);
        return true;
    }
    // The parts delivered before would not join with parts of this archive: the journal goes,
    // and the next Send starts a fresh series.
    Host.Status(Both(Host, TextId::ArchiveFilesChanged));
    Host.ErrorBox(Text(TextId::ArchiveFilesChanged));
    QFile::remove(Request.JournalFile);
    Outcome_ = TJobOutcome::joFailed;
    return false;
}

uint64_t TSendJob::ArchiveMessageOverhead() const
{
    // Everything of a message but its part, generously: the fixed headers and boundaries, the
    // addresses and the subject as encoded words (folded), the text and the note in base64.
    auto size = [](const QString &s) { return static_cast<uint64_t>(s.toUtf8().size()); };
    uint64_t text = 1024 + 3 * size(Archive->Name);
    for (const QString &line : TextLines_)
        text += size(line) + 2;
    return 2048 + 2 * (size(Request.SenderName) + size(Request.Account) + size(Request.To) + size(Request.CC)) +
           3 * (size(Request.Subject) + 2 * size(Archive->Name)) + 2 * text;
}

bool TSendJob::StartArchiveSeries()
{
    TArchiveSeries &a = *Archive;
    uint64_t limit = static_cast<uint64_t>(Request.MessageSizeKb) * 1024;
    if (Smtp.SizeLimit > 0)
        limit = std::min<uint64_t>(limit, Smtp.SizeLimit);
    const uint64_t overhead = ArchiveMessageOverhead();
    // Whole base64 lines: 57 bytes make 76 characters and a line end.
    if (!Request.Delivered.isEmpty() && Request.ArchivePartSize > 0)
        a.PartSize = static_cast<uint64_t>(Request.ArchivePartSize);
    else if (limit >= overhead + 78)
        a.PartSize = (limit - overhead) / 78 * 57;
    else
        throw Exception(Both(Host, TextId::ArchiveNoRoomForPart, Request.MessageSizeKb,
                             Smtp.SizeLimit ? Bytes(Smtp.SizeLimit) : QStringLiteral("-")));
    Total = static_cast<int>(std::max<uint64_t>(1, (a.Size + a.PartSize - 1) / a.PartSize));
    Both(Host, TextId::ArchiveParts, a.Name, Total, Bytes(std::min(a.PartSize, a.Size)));
    Journal.SetArchive(static_cast<qint64>(a.PartSize), Archive::PlanDigest(a.Plan), a.Sha256);
    return true;
}

QStringList TSendJob::ArchiveNote(int number) const
{
    const TArchiveSeries &a = *Archive;
    const bool ru = Request.Russian;
    QStringList note;
    if (Total == 1) {
        note << TextIn(ru, TextId::ArchiveNoteOne, a.Name, Bytes(a.Size));
    } else {
        const QString first = a.PartName(1, Total);
        note << TextIn(ru, TextId::ArchiveNotePart, number, Total, a.Name, Bytes(a.Size))
             << TextIn(ru, TextId::ArchiveNoteJoin, first, a.Name, a.Name, first, a.PartName(2, Total), a.Name,
                       a.Name);
    }
    note << (a.Finished ? TextIn(ru, TextId::ArchiveNoteSha, a.Sha256) : TextIn(ru, TextId::ArchiveNoteShaLater));
    return note;
}

std::optional<TSendJob::TMessage> TSendJob::ArchiveMessage(int number)
{
    TArchiveSeries &a = *Archive;
    const uint64_t from = static_cast<uint64_t>(number - 1) * a.PartSize;
    const uint64_t length = std::min<uint64_t>(a.PartSize, a.Size - std::min(a.Size, from));
    if (!WaitForArchive(from + length))
        return std::nullopt;
    Msg.AttachedFiles.Clear();
    Msg.Text.clear();
    const QString numbered = NumberedSubject(Request.Subject, Request.AddPartNo, number, Total);
    Both(Host, TextId::MessageStarted, number, numbered);
    const QString name = a.PartName(number, Total);
    Both(Host, TextId::MessageFile, name);
    TAttachedFile &item = Msg.AttachedFiles.AddFile(a.File->Path());
    item.FileName = name.toStdString();
    item.ContentType = Total == 1 ? "application/zip" : "application/octet-stream";
    item.RangeOffset = from;
    item.RangeLength = static_cast<int64_t>(length);

    const QString subject = FullSubject(numbered, Request.AddFileName, {name});
    const bool carriesText = !Request.TextOnlyInFirst || number == 1;
    QStringList lines = carriesText ? TextLines_ : QStringList();
    if (!lines.isEmpty())
        lines << QString();
    const QStringList note = ArchiveNote(number);
    lines += note;
    Utf8 = NeedsUtf8(subject, carriesText) ||
           !std::all_of(note.begin(), note.end(), [this](const QString &t) { return FitsWireCharSet(t, Request.Russian); });
    FillSender();
    TMessage m;
    m.Number = number;
    m.Subject = Wire(subject);
    for (const QString &line : lines)
        Msg.Text.push_back(Wire(line));
    m.Encoding = Request.Encoding == te8Bit && HasOverlongLine(Msg.Text) ? teBase64 : Request.Encoding;
    m.LastOne = number == Total;
    return m;
}
