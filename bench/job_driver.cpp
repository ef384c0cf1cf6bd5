// The send job without a window: what the program does for a series, the internal archiver
// included, measured the way the library driver is (peak memory against curl's).
//   bench_job_driver --port N [--zip KIB --temp DIR] --list FILE
// Last line: RESULT ok=1 messages=M wall_s=S
#include "SendJob.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>

#include <cstdio>

namespace {

class QuietHost : public TSendJobHost {
public:
    QStringList Lines;
    void ClearProtocol() override { Lines.clear(); }
    void ProtocolLine(const QString &, const QString &english) override { Lines << english; }
    void ProtocolAppend(const QString &, const QString &english) override { Lines.last() += english; }
    void Status(const QString &) override {}
    void Counter(const QString &) override {}
    TSecretAnswer Secret(const QString &, const QString &) override { return {}; }
    bool TrustCertificate(const QString &, const TCertificateProblem &) override { return false; }
};

}  // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    TSendRequest r;
    const QStringList args = QCoreApplication::arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == QLatin1String("--port"))
            r.Port = args[i + 1];
        else if (args[i] == QLatin1String("--zip")) {
            r.UseZip = true;
            r.MessageSizeKb = args[i + 1].toInt();
        } else if (args[i] == QLatin1String("--temp"))
            r.TempDir = args[i + 1];
        else if (args[i] == QLatin1String("--list")) {
            QFile list(args[i + 1]);
            if (list.open(QIODevice::ReadOnly))
                for (const QByteArray &line : list.readAll().split('\n'))
                    if (!line.isEmpty())
                        r.Files << QFile::decodeName(line);
        }
    }
    if (r.Port.isEmpty() || r.Files.isEmpty()) {
        std::fprintf(stderr, "usage: %s --port N [--zip KIB --temp DIR] --list FILE\n", argv[0]);
        return 2;
    }
    r.Account = QStringLiteral("bench@sendorix.test");
    r.To = QStringLiteral("sink@sendorix.test");
    r.Subject = QStringLiteral("Bench");
    r.Text = QStringLiteral("Benchmark series.");
    r.AddPartNo = r.AddFileName = true;
    r.Server = QStringLiteral("127.0.0.1");
    r.ProgramTitle = QStringLiteral("bench");
    TVokSMTP smtp;
    TVokMsg msg;
    QuietHost host;
    QElapsedTimer t;
    t.start();
    TSendJob job(smtp, msg, host, r);
    try {
        job.Run();
    } catch (const std::exception &e) {
        std::printf("RESULT ok=0 reply=%s\n", e.what());
        return 1;
    }
    const bool ok = job.Outcome() == TJobOutcome::joDone;
    std::printf("RESULT ok=%d messages=%d wall_s=%.6f%s%s\n", ok ? 1 : 0,
                static_cast<int>(host.Lines.filter(QStringLiteral("Transfer... done.")).size()), t.nsecsElapsed() / 1e9,
                ok ? "" : " reply=", ok ? "" : qPrintable(host.Lines.value(host.Lines.size() - 1)));
    return ok ? 0 : 1;
}
