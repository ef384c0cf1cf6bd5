// A send job as a process of its own, for the end-to-end tests that kill it: sends a series
// of files to a server on 127.0.0.1 with a journal, printing the English protocol line by
// line as the job writes it. With --resume it goes on with the series its journal tells of,
// as the window does on the user's Yes.
//
// usage: job_tool JOURNAL PORT [--resume] FILE...
#include "SendJob.h"
#include "SendJournal.h"

#include <QCoreApplication>

#include <cstdio>

namespace {

class PrintingHost : public TSendJobHost {
public:
    void ClearProtocol() override {}
    void ProtocolLine(const QString &, const QString &english) override { Print("\n" + english); }
    void ProtocolAppend(const QString &, const QString &english) override { Print(english); }
    void Status(const QString &) override {}
    void Counter(const QString &) override {}
    TSecretAnswer Secret(const QString &, const QString &) override { return {}; }
    bool TrustCertificate(const QString &, const TCertificateProblem &) override { return false; }

private:
    // Unbuffered: a test that kills the process reads every line written before.
    static void Print(const QString &text)
    {
        const QByteArray bytes = text.toUtf8();
        std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
        std::fflush(stdout);
    }
};

}  // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: job_tool JOURNAL PORT [--resume] FILE...\n");
        return 2;
    }
    TSendRequest r;
    r.JournalFile = args.takeFirst();
    r.Port = args.takeFirst();
    const bool resume = args.removeAll(QStringLiteral("--resume")) > 0;
    r.Files = args;
    r.Account = QStringLiteral("me@example.org");
    r.To = QStringLiteral("to@example.org");
    r.Subject = QStringLiteral("Crash series");
    r.Text = QStringLiteral("Hello");
    r.Server = QStringLiteral("127.0.0.1");
    r.ReconnectAttempts = 0;
    r.ProgramTitle = QStringLiteral("job_tool");
    r.Identity = TSendJob::SeriesIdentity(r);
    if (resume) {
        const TSendJournal::TSeries series = TSendJournal::Read(r.JournalFile, r.Identity);
        r.Delivered = series.Delivered;
        r.InFlight = series.InFlight;
    }
    TVokSMTP smtp;
    TVokMsg msg;
    PrintingHost host;
    TSendJob job(smtp, msg, host, r);
    try {
        job.Run();
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s\n", e.what());
    }
    std::printf("\n");
    return job.Outcome() == TJobOutcome::joDone ? 0 : 1;
}
