// Benchmark driver for the whole window: the program's main window, offscreen, sends a series
// the way a user does it: the files go in through the window's add path, Send is pressed, and
// the job runs inside the window's event loop.
//
//   bench_window_driver --port N [--per-message K] [--zip KIB [--temp DIR]] [--trace-gap-ms X] (--list FILE | FILE...)
//   bench_window_driver --file-list ROWS [--batch B]
//
// The longest gap between two turns of the event loop is measured with a 1 ms timer: it can
// only fire when the loop turns, so a gap between two firings is how long the window could not
// have repainted or taken a click. The last line of output is machine-readable:
//   RESULT ok=1 messages=M attachment_bytes=B wall_s=S add_s=A max_loop_gap_ms=X
//          loop_gaps_over_25ms=N
// (wall_s: from the Send click to the end of the job; add_s: adding the files).
//
// --file-list measures the file list alone with ROWS made-up paths (they need not exist): adds
// in batches of B (default 1000), deleting every row selected, adding them all at once, no
// duplicates, clearing. Its RESULT line carries the longest single command of each kind (the
// first add apart: it also makes the file dialog).
#include "ComDialogs.h"
#include "Language.h"
#include "MainForm.h"
#include "MyStringGrid.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// Gaps between two turns of the event loop, while it is armed.
class TLoopClock : public QObject {
public:
    TLoopClock()
    {
        Tick.setTimerType(Qt::PreciseTimer);
        Tick.setInterval(1);
        connect(&Tick, &QTimer::timeout, this, [this] { Turn(); });
    }
    void Start()
    {
        MaxMs = 0;
        Over25 = 0;
        Since.start();
        Clock.start();
        Tick.start();
    }
    void Stop()
    {
        Turn();   // the stretch after the last turn counts too
        Tick.stop();
    }
    double MaxMs = 0;
    long long Over25 = 0;
    double TraceMs = -1;   // print every gap longer than this (diagnosis)

private:
    void Turn()
    {
        const double ms = Clock.nsecsElapsed() / 1e6;
        Clock.restart();
        MaxMs = std::max(MaxMs, ms);
        if (ms > 25)
            ++Over25;
        if (TraceMs >= 0 && ms > TraceMs)
            std::fprintf(stderr, "loop gap %.3f ms ending at %.3f s\n", ms, Since.nsecsElapsed() / 1e9);
    }
    QTimer Tick;
    QElapsedTimer Clock, Since;
};

int Usage(const char *argv0)
{
    std::fprintf(stderr,
                 "usage: %s --port N [--per-message K] (--list FILE | FILE...)\n"
                 "       %s --file-list ROWS [--batch B]\n",
                 argv0, argv0);
    return 2;
}

double Seconds(const QElapsedTimer &t)
{
    return t.nsecsElapsed() / 1e9;
}

// Adds paths through the window's add path: its file dialog, answered as a user would.
void AddThroughWindow(TMainForm &form, const QStringList &paths)
{
    TMainForm::FileDialogsTest::QueueAnswer(paths);
    form.btnLoad->click();
}

int FileListRun(TMainForm &form, int rows, int batch)
{
    QStringList paths;
    paths.reserve(rows);
    for (int i = 0; i < rows; ++i)
        paths << QStringLiteral("/nonexistent/bench/folder/file%1.bin").arg(i, 6, 10, QLatin1Char('0'));
    form.PageControl->setCurrentWidget(form.TabSheet3);
    QApplication::processEvents();

    QElapsedTimer t;
    // The first add also makes the file dialog (once per run of the program): apart.
    double addFirst = 0, addMax = 0;
    for (int first = 0; first < rows; first += batch) {
        t.start();
        AddThroughWindow(form, paths.mid(first, batch));
        QApplication::processEvents();   // and painted
        (first == 0 ? addFirst : addMax) = std::max(first == 0 ? addFirst : addMax, Seconds(t));
    }
    const bool addedAll = form.gridFiles->rowCount() == rows;

    form.gridFiles->selectAll();
    ComDialogsTest::QueueAnswer(mrYes);
    t.start();
    form.btnDelete->click();
    QApplication::processEvents();
    const double deleteAll = Seconds(t);
    const bool deleted = form.FileListEmpty();

    t.start();
    AddThroughWindow(form, paths + paths.mid(0, rows / 2));
    QApplication::processEvents();
    const double addOnce = Seconds(t);

    t.start();
    form.btnNoDuplicaties->click();
    QApplication::processEvents();
    const double noDuplicates = Seconds(t);
    const bool unique = form.gridFiles->rowCount() == rows;

    ComDialogsTest::QueueAnswer(mrYes);
    t.start();
    form.btnClear->click();
    QApplication::processEvents();
    const double clear = Seconds(t);
    const bool ok = addedAll && deleted && unique && form.FileListEmpty();
    std::printf("RESULT ok=%d rows=%d batch=%d add_first_batch_ms=%.1f add_batch_max_ms=%.1f delete_all_ms=%.1f "
                "add_all_ms=%.1f no_duplicates_ms=%.1f clear_ms=%.1f\n",
                ok ? 1 : 0, rows, batch, addFirst * 1e3, addMax * 1e3, deleteAll * 1e3, addOnce * 1e3,
                noDuplicates * 1e3, clear * 1e3);
    return ok ? 0 : 1;
}

}  // namespace

namespace {

struct TOptions {
    QString port, tempDir;
    double traceMs = -1;
    int perMessage = 1, listRows = 0, batch = 1000, zipKb = 0;
    QStringList files;
};

// False on anything it does not know.
bool ParseArguments(const QStringList &args, TOptions &o)
{
    for (int i = 1; i < args.size(); ++i) {
        const QString a = args[i];
        auto value = [&]() -> QString { return i + 1 < args.size() ? args[++i] : QString(); };
        if (a == QLatin1String("--port"))
            o.port = value();
        else if (a == QLatin1String("--per-message"))
            o.perMessage = value().toInt();
        else if (a == QLatin1String("--file-list"))
            o.listRows = value().toInt();
        else if (a == QLatin1String("--trace-gap-ms"))
            o.traceMs = value().toDouble();
        else if (a == QLatin1String("--zip"))   // the internal archiver, messages of KIB KiB
            o.zipKb = value().toInt();
        else if (a == QLatin1String("--temp"))
            o.tempDir = value();
        else if (a == QLatin1String("--batch"))
            o.batch = value().toInt();
        else if (a == QLatin1String("--list")) {
            QFile list(value());
            if (!list.open(QIODevice::ReadOnly | QIODevice::Text))
                return false;
            for (const QByteArray &line : list.readAll().split('\n'))
                if (!line.isEmpty())
                    o.files << QFile::decodeName(line);
        } else if (a.startsWith(QLatin1Char('-')))
            return false;
        else
            o.files << a;
    }
    if (o.listRows > 0)
        return o.batch >= 1;
    return !o.port.isEmpty() && !o.files.isEmpty() && o.perMessage >= 1;
}

// The fields of a series as a user fills them in.
void FillSeries(TMainForm &form, const TOptions &o)
{
    form.edtTo->setEditText(QStringLiteral("sink@sendorix.test"));
    form.edtSubject->setEditText(QStringLiteral("Bench"));
    form.cbAddPartNo->setChecked(true);
    form.cbAddFileName->setChecked(true);
    form.memoText->setPlainText(QStringLiteral("Benchmark series."));
    form.edSMTPName->setEditText(QStringLiteral("127.0.0.1"));
    // The field takes four digits as a user types them; the sink's port may have five.
    form.edPort->setValidator(nullptr);
    form.edPort->setMaxLength(5);
    form.edPort->setText(o.port);
    form.edAccount->setText(QStringLiteral("bench@sendorix.test"));
    form.spinFilesInMessage->setValue(o.perMessage);
    form.cbJumpToProtocol->setChecked(true);   // the protocol grows in sight, as users see it
    if (o.zipKb > 0) {
        form.cbUseZip->click();
        form.spinOneMessageSize->setValue(o.zipKb);
        if (!o.tempDir.isEmpty())
            form.edTempDir->setEditText(o.tempDir);
    }
}

int SeriesRun(QApplication &app, TMainForm &form, const TOptions &o)
{
    long long attachmentBytes = 0;
    for (const QString &f : o.files)
        attachmentBytes += QFileInfo(f).size();
    FillSeries(form, o);

    QElapsedTimer t;
    t.start();
    AddThroughWindow(form, o.files);
    QApplication::processEvents();
    const double addSeconds = Seconds(t);

    TLoopClock loop;
    loop.TraceMs = o.traceMs;
    double wall = 0;
    QTimer::singleShot(0, &form, [&] {
        loop.Start();
        t.start();
        form.btnSend->click();   // the job runs here, inside the event loop
        wall = Seconds(t);
        loop.Stop();
        // Not quit(): that closes the window first, and its close may ask about the settings.
        QCoreApplication::exit(0);
    });
    app.exec();

    const QStringList protocol = form.EnglishProtocol;
    const bool ok = !protocol.isEmpty() && protocol.last() == QLatin1String("All done")
                    && ComDialogsTest::TakeLog().isEmpty();
    const int messages = static_cast<int>(protocol.filter(QStringLiteral("Transfer... done.")).size());
    std::printf("RESULT ok=%d messages=%d attachment_bytes=%lld wall_s=%.6f add_s=%.6f max_loop_gap_ms=%.3f "
                "loop_gaps_over_25ms=%lld%s%s\n",
                ok ? 1 : 0, messages, attachmentBytes, wall, addSeconds, loop.MaxMs, loop.Over25,
                ok ? "" : " reply=", ok ? "" : qPrintable(protocol.isEmpty() ? QString() : protocol.last()));
    form.SettingsChanged = false;
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    TOptions o;
    if (!ParseArguments(QCoreApplication::arguments(), o))
        return Usage(argv[0]);

    // A settings folder of its own (the first start's question is answered No) and no box
    // that could wait for a person: a failure ends the run instead.
    QTemporaryDir settings;
    TMainForm::SetSettingsFolderForTests(settings.path());
    ComDialogsTest::SetRefuseUnanswered(true);
    ComDialogsTest::QueueAnswer(mrNo);
    LanguageHook = IsRussian;
    TMainForm form;
    form.show();
    QApplication::processEvents();
    ComDialogsTest::TakeLog();

    if (o.listRows > 0)
        return FileListRun(form, o.listRows, o.batch);
    return SeriesRun(app, form, o);
}
