// The protocol of the last send job in both languages, the status line and progress bar
// driven by the SMTP component's events, and saving the protocol.
#include "MainForm.h"

#include "Desktop.h"
#include "Global.h"
#include "Language.h"
#include "vok_util.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QRegion>
#include <QScrollBar>
#include <QSet>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextCursor>
#include <QTimer>

#include <functional>

// Paints a few widgets that change on every event of a running job at most once per tick.
// Their updates are held off between ticks (a progress bar would otherwise paint at once on
// every new value); each tick paints the latest values, so the last one is always shown.
class TStripPainter : public QObject {
public:
    TStripPainter(QObject *parent, QList<QWidget *> widgets, std::function<void()> beforePaint)
        : QObject(parent), Widgets(std::move(widgets)), BeforePaint(std::move(beforePaint))
    {
        Tick.setSingleShot(true);
        Tick.setInterval(33);   // 30 paints a second: smooth for a progress strip
        connect(&Tick, &QTimer::timeout, this, [this] { Paint(); });
    }
    void SetPaced(bool on)
    {
        if (on == Paced)
            return;
        Paced = on;
        Tick.stop();
        Dirty = 0;
        if (!on)
            BeforePaint();
        for (QWidget *w : Widgets)
            w->setUpdatesEnabled(!on);   // enabling schedules a paint of what the widget holds
    }
    void Changed(QWidget *w)
    {
        if (!Paced)
            return;
        // A bit per widget: called several times per message, where a set's hashing shows.
        const qsizetype i = Widgets.indexOf(w);
        if (i < 0)
            return;
        Dirty |= 1u << i;
        if (!Tick.isActive())
            Tick.start();
    }

    bool IsPaced() const { return Paced; }

    // Paints the widgets changed since the last tick (all of them with all = true).
    void Paint(bool all = false)
    {
        Tick.stop();
        if (all)
            Dirty = (1u << Widgets.size()) - 1;
        if (!Dirty)
            return;
        BeforePaint();
        // One paint of the window over the changed widgets' places: a paint per widget would
        // put the window on the screen once for each.
        QWidget *window = nullptr;
        QRegion places;
        const QList<QWidget *> dirty = DirtyWidgets();
        for (QWidget *w : dirty) {
            w->setUpdatesEnabled(true);
            if (w->isVisible()) {
                window = w->window();
                places += QRect(w->mapTo(window, QPoint(0, 0)), w->size());
            }
        }
        if (window)
            window->repaint(places);
        for (QWidget *w : dirty)
            w->setUpdatesEnabled(!Paced);
        Dirty = 0;
    }

private:
    QList<QWidget *> DirtyWidgets() const
    {
        QList<QWidget *> dirty;
        for (qsizetype i = 0; i < Widgets.size(); ++i)
            if (Dirty & (1u << i))
                dirty << Widgets[i];
        return dirty;
    }
    QList<QWidget *> Widgets;            // a few: their bits are in Dirty
    quint32 Dirty = 0;                   // changed since the last tick
    std::function<void()> BeforePaint;   // brings the widgets up to date
    QTimer Tick;
    bool Paced = false;
};

void TMainForm::SetUpMail()
{
    // The component works on this thread over a blocking socket; while it waits or encodes
    // it lets the window repaint and take clicks (Cancel above all) through this hook.
    // A series of small messages calls the hook dozens of times per message (around every
    // command and reply); one turn of the event loop every few milliseconds is as lively for
    // the user and leaves the series its speed.
    vok::SetProcessMessagesHook([] {
        static QElapsedTimer lastTurn;
        if (lastTurn.isValid() && !lastTurn.hasExpired(4))
            return;
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        lastTurn.start();
    });
    vok::SetApplicationTitle(ApplicationTitle.toStdString());
    // The TLS tables and the system's certificates are made now, while the window starts, so
    // that the first secure Send does not stall it for them.
    TlsWarmUp();
    VokSMTP.EncodeProgressStep = 10;
    VokSMTP.SendProgressStep = 10;
    VokSMTP.OnEncodeStart = [this](void *s, const std::string &name, int64_t bytes) {
        VokSMTPEncodeStart(s, name, bytes);
    };
    VokSMTP.OnEncodeProgress = [this](void *s, uint16_t p) { VokSMTPEncodeProgress(s, p); };
    VokSMTP.OnBeforeSend = [this](void *s) { VokSMTPBeforeSend(s); };
    VokSMTP.OnSendProgress = [this](void *s, uint16_t p) { VokSMTPSendProgress(s, p); };
    VokSMTP.OnAfterSend = [this](void *s) { VokSMTPAfterSend(s); };
    VokSMTP.OnError = [this](void *s, int error, const std::string &msg) { VokSMTPError(s, error, msg); };
    // The protocol grows by a few lines per message; on its page in front it would repaint as
    // often as the strip.
    // Its lines go into the memo at each tick too: laying a line out costs more than sending a
    // small message.
    StripPainter = new TStripPainter(this, {ProgressBar, lbProgressInfo, lblNumOfMessage, memoProtocol},
                                     [this] { ShowPendingStrip(); });
    connect(ProgressBar, &QProgressBar::valueChanged, this, [this] { StripChanged(ProgressBar); });
}

void TMainForm::PaceStripPainting(bool on)
{
    StripPainter->SetPaced(on);
}

bool TMainForm::StripPaced() const
{
    return StripPainter && StripPainter->IsPaced();
}

void TMainForm::StripChanged(QWidget *changed)
{
    StripPainter->Changed(changed);
}

void TMainForm::PaintStripNow()
{
    StripPainter->Paint(true);
}

// ---- the two protocol copies and the memo that shows one of them --------------------------

void TMainForm::ClearProtocol()
{
    memoProtocol->clear();
    RussianProtocol.clear();
    EnglishProtocol.clear();
    ProtocolLinesShown = 0;
    ProtocolLastLineStale = false;
}

void TMainForm::ShowProtocolLines()
{
    const QStringList &lines = IsRussian() ? RussianProtocol : EnglishProtocol;
    if (!ProtocolLastLineStale && ProtocolLinesShown >= lines.size())
        return;
    // A memo scrolled to its end stays there as the job writes, on its page or not, and also
    // when a line extended in place wraps onto one more row.
    QScrollBar *bar = memoProtocol->verticalScrollBar();
    const bool atEnd = bar->value() >= bar->maximum();
    if (ProtocolLastLineStale && ProtocolLinesShown > 0) {
        // The memo's last line is replaced in place, so its line count stays the same.
        QTextCursor c(memoProtocol->document());
        c.movePosition(QTextCursor::End);
        c.movePosition(QTextCursor::StartOfBlock, QTextCursor::KeepAnchor);
        c.insertText(lines[ProtocolLinesShown - 1]);
    }
    ProtocolLastLineStale = false;
    if (ProtocolLinesShown < lines.size())
        memoProtocol->appendPlainText(lines.mid(ProtocolLinesShown).join(QLatin1Char('\n')));
    ProtocolLinesShown = lines.size();
    if (atEnd)
        bar->setValue(bar->maximum());
}

void TMainForm::ShowWholeProtocol()
{
    memoProtocol->setPlainText((IsRussian() ? RussianProtocol : EnglishProtocol).join(QLatin1Char('\n')));
    ProtocolLinesShown = EnglishProtocol.size();
    ProtocolLastLineStale = false;
}

void TMainForm::AddProtocolLine(const QString &russian, const QString &english)
{
    // Server replies and field texts may carry control characters: a line break would split
    // the line, and the rest has no business in a text file.
    RussianProtocol << VisibleText(russian);
    EnglishProtocol << VisibleText(english);
    ProtocolChanged();
}

void TMainForm::ProtocolChanged()
{
    // While a job runs the memo takes the new lines at the next tick, all at once.
    if (StripPainter && StripPainter->IsPaced())
        StripChanged(memoProtocol);
    else
        ShowProtocolLines();
}

void TMainForm::AddProtocolText(const QString &text)
{
    AddProtocolLine(text, text);
}

void TMainForm::AppendToProtocolLine(const QString &russian, const QString &english)
{
    if (RussianProtocol.isEmpty() || EnglishProtocol.isEmpty())
        return;   // the job always writes a line first; nothing to extend otherwise
    RussianProtocol.last() += VisibleText(russian);
    EnglishProtocol.last() += VisibleText(english);
    if (ProtocolLinesShown == EnglishProtocol.size())
        ProtocolLastLineStale = true;
    ProtocolChanged();
}

void TMainForm::btnSaveLogClick()
{
    RunGuarded(this, [this] {
        const QString dir = SaveLogDialog->directory().path();
        if (dir.isEmpty() || !QFileInfo(dir).isDir())
            SaveLogDialog->setDirectory(DocumentsStartFolder());
        SaveLogDialog->setNameFilters(DialogNameFilters(Text(TextId::ProtocolFilesFilter)));
        const QStringList chosen = RunFileDialog(SaveLogDialog);
        if (chosen.isEmpty()) {
            return;
        }
        SaveLogDialog.PointAt(QFileInfo(chosen.first()).absolutePath());
        // The copy in the current language, as the memo shows it.
        QStringList lines;
        for (QTextBlock b = memoProtocol->document()->begin(); b.isValid(); b = b.next())
            lines << b.text();
        SaveMemoLines(chosen.first(), lines);
    });
}

bool TTextFit::Fits(const QWidget *w, const QString &text, int room)
{
    const QFontMetrics fm = w->fontMetrics();
    if (w->font() != Font) {
        Font = w->font();
        Advance.fill(-1);
    }
    // The sum of the characters' own advances; shaping a Latin or Cyrillic line only moves
    // characters by a kerning pair here and there, far less than a tenth. Beyond those
    // scripts, or near the edge, the line is measured as it will be drawn.
    qint64 sum = 0;
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u >= Advance.size())
            return fm.horizontalAdvance(text) <= room;
        int &advance = Advance[u];
        if (advance < 0)
            advance = fm.horizontalAdvance(c);
        sum += advance;
    }
    return sum + sum / 10 <= room || fm.horizontalAdvance(text) <= room;
}

void TMainForm::ShowStatus(const QString &shown)
{
    // A series of small messages changes the status line several times per message; while the
    // strip is paced only the latest text goes into the label, at the next tick.
    StatusText = VisibleText(shown);
    PendingStatusText = nullptr;
    if (StripPainter && StripPainter->IsPaced()) {
        StatusPending = true;
        StripChanged(lbProgressInfo);
        return;
    }
    PutStatus(StatusText);
}

void TMainForm::ShowStatusLater(std::function<QString()> text)
{
    if (!StripPaced()) {
        ShowStatus(text());
        return;
    }
    PendingStatusText = std::move(text);
    StatusPending = true;
    StripChanged(lbProgressInfo);
}

void TMainForm::PutStatus(const QString &text)
{
    // The status line is plain text (it shows server replies and file names); its tip is rich
    // text by nature, so the full text goes there escaped.
    const int room = lbProgressInfo->contentsRect().width();
    // Three times per message in a series: the common case, a line that plainly fits, costs
    // no shaping.
    const bool fits = StatusFit.Fits(lbProgressInfo, text, room);
    lbProgressInfo->setText(fits ? text : lbProgressInfo->fontMetrics().elidedText(text, Qt::ElideMiddle, room));
    if (fits) {
        lbProgressInfo->setToolTip(QString());
    } else {
        lbProgressInfo->setToolTip(Qt::mightBeRichText(text)
                                       ? QStringLiteral("<qt>") + text.toHtmlEscaped() + QStringLiteral("</qt>")
                                       : text);
    }
    StripChanged(lbProgressInfo);
}

void TMainForm::SetProgress(int percent)
{
    // Setting a progress bar's value works out its text and style metrics each time: done
    // per tick, not per event of a small message.
    if (StripPainter && StripPainter->IsPaced()) {
        PendingProgress = percent;
        StripChanged(ProgressBar);
        return;
    }
    ProgressBar->setValue(percent);
}

void TMainForm::ShowPendingStrip()
{
    if (PendingProgress >= 0)
        ProgressBar->setValue(PendingProgress);
    PendingProgress = -1;
    if (StatusPending) {
        if (PendingStatusText)
            StatusText = VisibleText(PendingStatusText());
        PendingStatusText = nullptr;
        PutStatus(StatusText);
    }
    StatusPending = false;
    ShowProtocolLines();
}

// ---- the SMTP component's events ----------------------------------------------------------

void TMainForm::VokSMTPEncodeStart(void *, const std::string &FileName, int64_t BytesCount)
{
    SetProgress(0);
    ShowStatusLater([FileName, BytesCount] {
        return Text(TextId::EncodingFile, QString::fromStdString(FileName), static_cast<long long>(BytesCount));
    });
}

void TMainForm::VokSMTPEncodeProgress(void *, uint16_t Percent)
{
    SetProgress(Percent);
}

void TMainForm::VokSMTPBeforeSend(void *)
{
    SetProgress(0);
    ShowStatusLater([] { return Text(TextId::Transferring); });
}

void TMainForm::ShowJobProgress(int percent)
{
    ProgressBar->setValue(percent);
}

void TMainForm::VokSMTPSendProgress(void *, uint16_t Percent)
{
    SetProgress(Percent);
}

void TMainForm::VokSMTPAfterSend(void *)
{
    SetProgress(0);
    ShowStatus(QString());
}

void TMainForm::VokSMTPError(void *, int, const std::string &)
{
    ShowStatus(ServerErrorText(IsRussian(), QString::fromStdString(VokSMTP.ReplyCode),
                               QString::fromStdString(VokSMTP.ReplyText)));
}
