// The program's own banner: a few short tips about the program, one after another, in the
// program's colours. It never touches the network and counts nothing; a click opens the home
// page in the desktop's browser.
#include "AdLibrary.h"

#include <QDesktopServices>
#include <QFont>
#include <QFontMetricsF>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <type_traits>

#define AD_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

const char *const HomePage = "https://example.org/sendorix/";
constexpr int TipInterval = 6000;   // ms; long enough to read a tip twice

const char *const EnglishTips[] = {
    "Send a whole folder as a numbered series of messages, a few files in each.",
    "Tick \"File enumeration in subject\" and every subject says which part it is.",
    "Save your server settings as a profile and switch servers with one click.",
    "The Protocol page keeps the whole dialogue with the server of the last send.",
    "Pick recipients from your address book with the buttons beside To, Cc and Bcc.",
};
const char *const RussianTips[] = {
    "Отправляйте целую папку нумерованной серией писем, по нескольку файлов в каждом.",
    "Включите «порядковый номер файла», и тема скажет, какая это часть серии.",
    "Сохраните настройки сервера в профиль и меняйте серверы одним щелчком.",
    "На странице «Протокол» виден весь разговор с сервером при последней отправке.",
    "Адресатов можно выбрать из адресной книги кнопками рядом с полями адресов.",
};
constexpr int TipCount = static_cast<int>(std::size(EnglishTips));
static_assert(std::size(RussianTips) == std::size(EnglishTips));

struct TBanner {
    int Width = 468;
    int Height = 60;
    int Tip = 0;
    bool Russian = false;
    uint32_t Status = AdStIdle;
    AdNotifyProc Repaint = nullptr;
    void *RepaintData = nullptr;
    QTimer *Timer = nullptr;
};

TBanner *Of(AdContext *ctx)
{
    return ctx ? static_cast<TBanner *>(ctx->Instance) : nullptr;
}

void SizeOf(int32_t size, int &w, int &h)
{
    static const int dims[][2] = {{150, 40}, {468, 60}, {300, 50}, {70, 70}, {50, 200}, {392, 72},
                                  {234, 60}, {125, 125}, {120, 90}, {120, 60}, {88, 31}, {120, 240}};
    const int i = size >= 0 && size < static_cast<int32_t>(std::size(dims)) ? size : AdSize468x60;
    w = dims[i][0];
    h = dims[i][1];
}

// A white envelope, the program's mark, inside `r`.
void DrawEnvelope(QPainter &p, const QRectF &r)
{
    p.setPen(QPen(Qt::white, std::max(1.5, r.height() / 14)));
    p.setBrush(QColor(255, 255, 255, 40));
    p.drawRoundedRect(r, 2, 2);
    QPainterPath flap;
    flap.moveTo(r.topLeft());
    flap.lineTo(r.center().x(), r.top() + r.height() * 0.58);
    flap.lineTo(r.topRight());
    p.setBrush(Qt::NoBrush);
    p.drawPath(flap);
}

// The largest font of at most `maxPixels` (not below `minPixels`) whose word-wrapped `text`
// fits in `box`.
QFont FittingFont(QFont f, const QString &text, const QRectF &box, int maxPixels, int minPixels)
{
    for (int px = maxPixels; px >= minPixels; --px) {
        f.setPixelSize(px);
        const QRectF need = QFontMetricsF(f).boundingRect(box, Qt::TextWordWrap, text);
        if (need.height() <= box.height() && need.width() <= box.width())
            return f;
    }
    f.setPixelSize(minPixels);
    return f;
}

void Draw(QPainter &p, const TBanner &b)
{
    const QRectF all(0, 0, b.Width, b.Height);
    QLinearGradient sky(all.topLeft(), all.bottomLeft());
    sky.setColorAt(0, QColor(0x2f, 0x6f, 0xbf));
    sky.setColorAt(1, QColor(0x1b, 0x47, 0x86));
    p.fillRect(all, sky);
    p.setPen(QColor(0x12, 0x33, 0x63));
    p.setBrush(Qt::NoBrush);
    p.drawRect(all.adjusted(0.5, 0.5, -0.5, -0.5));

    const QString tip = QString::fromUtf8((b.Russian ? RussianTips : EnglishTips)[b.Tip]);
    QFont title;
    title.setBold(true);
    QFont body;
    const bool wide = b.Width >= 2 * b.Height && b.Width >= 200;
    if (wide) {
        const qreal icon = std::min(b.Height * 0.5, 36.0);
        DrawEnvelope(p, QRectF(12, (b.Height - icon * 0.7) / 2, icon, icon * 0.7));
        const qreal left = 12 + icon + 12;
        const qreal dots = 18;   // room for the tip markers on the right
        title.setPixelSize(std::clamp(b.Height / 4, 10, 16));
        p.setFont(title);
        p.setPen(Qt::white);
        const qreal titleH = QFontMetricsF(title).height();
        p.drawText(QRectF(left, 5, b.Width - left - dots, titleH), Qt::AlignLeft | Qt::AlignVCenter,
                   QStringLiteral("Sendorix"));
        const QRectF box(left, 5 + titleH, b.Width - left - dots, b.Height - 9 - titleH);
        p.setFont(FittingFont(body, tip, box, 13, 8));
        p.setPen(QColor(0xe6, 0xef, 0xff));
        p.drawText(box, Qt::TextWordWrap | Qt::AlignLeft | Qt::AlignTop, tip);
        // Which tip this is, as a column of dots.
        const qreal step = std::min(9.0, (b.Height - 8.0) / TipCount);
        const qreal top = (b.Height - step * (TipCount - 1)) / 2;
        p.setPen(Qt::NoPen);
        for (int i = 0; i < TipCount; ++i) {
            p.setBrush(i == b.Tip ? QColor(0xff, 0xd2, 0x4a) : QColor(255, 255, 255, 90));
            p.drawEllipse(QPointF(b.Width - 9, top + i * step), 2.5, 2.5);
        }
        return;
    }
    // Small and tall sizes: the mark and the name, and the tip where there is room for it.
    const qreal icon = std::min({b.Width * 0.45, b.Height * 0.35, 40.0});
    DrawEnvelope(p, QRectF((b.Width - icon) / 2, 5, icon, icon * 0.7));
    title.setPixelSize(std::clamp(b.Width / 8, 8, 14));
    p.setFont(title);
    p.setPen(Qt::white);
    const qreal nameTop = 5 + icon * 0.7 + 3;
    const qreal nameH = QFontMetricsF(title).height();
    p.drawText(QRectF(0, nameTop, b.Width, nameH), Qt::AlignHCenter | Qt::AlignTop,
               QStringLiteral("Sendorix"));
    const QRectF box(5, nameTop + nameH + 3, b.Width - 10, b.Height - nameTop - nameH - 8);
    if (box.height() >= 30) {
        p.setFont(FittingFont(body, tip, box, 12, 8));
        p.setPen(QColor(0xe6, 0xef, 0xff));
        p.drawText(box, Qt::TextWordWrap | Qt::AlignHCenter | Qt::AlignTop, tip);
    }
}

} // namespace

AD_EXPORT uint32_t _Startup(AdContext *ctx, void *, int32_t, int32_t, int32_t size, uint32_t)
{
    if (!ctx || ctx->Instance)
        return 0;
    auto *b = new TBanner;
    SizeOf(size, b->Width, b->Height);
    b->Status = AdStWorking;
    b->Timer = new QTimer;
    b->Timer->setInterval(TipInterval);
    QObject::connect(b->Timer, &QTimer::timeout, [b] {
        b->Tip = (b->Tip + 1) % TipCount;
        if (b->Repaint)
            b->Repaint(b->RepaintData);
    });
    b->Timer->start();
    ctx->Instance = b;
    return 1;
}

AD_EXPORT uint32_t _Shutdown(AdContext *ctx)
{
    TBanner *b = Of(ctx);
    if (!b)
        return 0;
    delete b->Timer;   // now, not later: the library may be unloaded right after this call
    delete b;
    ctx->Instance = nullptr;
    return 1;
}

AD_EXPORT uint32_t _Paint(AdContext *ctx, const AdSurface *s, int32_t x, int32_t y)
{
    TBanner *b = Of(ctx);
    if (!b || !s || !s->Bits || s->Width <= 0 || s->Height <= 0)
        return 0;
    QImage image(static_cast<uchar *>(s->Bits), s->Width, s->Height, s->BytesPerLine,
                 QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(s->Scale > 0 ? s->Scale : 1.0);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    p.translate(x, y);
    Draw(p, *b);
    return 1;
}

AD_EXPORT uint32_t _OnClick(AdContext *ctx)
{
    TBanner *b = Of(ctx);
    if (!b)
        return 0;
    const bool opened = QDesktopServices::openUrl(QUrl(QString::fromLatin1(HomePage)));
    b->Status &= ~uint32_t(AdStClickHasWorked | AdStClickHasFailed);
    b->Status |= opened ? uint32_t(AdStClickHasWorked) : uint32_t(AdStClickHasFailed);
    return 1;
}

AD_EXPORT uint32_t _SetCallback(AdContext *ctx, AdNotifyProc proc, void *data)
{
    TBanner *b = Of(ctx);
    if (!b)
        return 0;
    b->Repaint = proc;
    b->RepaintData = data;
    return 1;
}

// Nothing here ever asks for the network or counts an ad, so these callbacks are never used.
AD_EXPORT uint32_t _SetNetworkCallback(AdContext *ctx, AdNotifyProc, void *)
{
    return Of(ctx) ? 1 : 0;
}

AD_EXPORT uint32_t _SetAdRecordedCallback(AdContext *ctx, AdNotifyProc, void *)
{
    return Of(ctx) ? 1 : 0;
}

AD_EXPORT uint32_t _SetBandwidthThrottle(AdContext *ctx, int32_t)
{
    return Of(ctx) ? 1 : 0;
}

// A tip stays at least this many milliseconds.
AD_EXPORT uint32_t _SetMinimumAdDisplayTime(AdContext *ctx, int32_t ms)
{
    TBanner *b = Of(ctx);
    if (!b)
        return 0;
    b->Timer->setInterval(std::max(TipInterval, static_cast<int>(ms)));
    return 1;
}

AD_EXPORT uint32_t _IsConnectOkay(AdContext *ctx, int32_t *isUp)
{
    if (isUp)
        *isUp = 0;   // this banner never connects
    return Of(ctx) ? 1 : 0;
}

AD_EXPORT uint32_t _SetNetworkState(AdContext *ctx, int32_t)
{
    return Of(ctx) ? 1 : 0;
}

AD_EXPORT uint32_t _RetryConnect(AdContext *)
{
    return 0;
}

AD_EXPORT uint32_t _SetProxy(AdContext *, const char *, int32_t)
{
    return 0;
}

AD_EXPORT uint32_t _UseDefaultAd(AdContext *ctx)
{
    return Of(ctx) ? 1 : 0;
}

AD_EXPORT uint32_t _debugTriggerEvent(AdContext *, int32_t)
{
    return 0;
}

AD_EXPORT uint32_t _GetStatus(AdContext *ctx)
{
    const TBanner *b = Of(ctx);
    return b ? b->Status : uint32_t(AdStIdle);
}

AD_EXPORT uint32_t _SetLanguage(AdContext *ctx, const char *language)
{
    TBanner *b = Of(ctx);
    if (!b || !language)
        return 0;
    b->Russian = QString::fromUtf8(language).startsWith(QLatin1String("ru"));
    return 1;
}

// The exports must have exactly the types the program calls them through.
static_assert(std::is_same_v<decltype(&_Startup), AdStartupProc>);
static_assert(std::is_same_v<decltype(&_Paint), AdPaintProc>);
static_assert(std::is_same_v<decltype(&_OnClick), AdPlainProc>);
static_assert(std::is_same_v<decltype(&_Shutdown), AdPlainProc>);
static_assert(std::is_same_v<decltype(&_GetStatus), AdPlainProc>);
static_assert(std::is_same_v<decltype(&_RetryConnect), AdPlainProc>);
static_assert(std::is_same_v<decltype(&_UseDefaultAd), AdPlainProc>);
static_assert(std::is_same_v<decltype(&_SetCallback), AdSetCallbackProc>);
static_assert(std::is_same_v<decltype(&_SetNetworkCallback), AdSetCallbackProc>);
static_assert(std::is_same_v<decltype(&_SetAdRecordedCallback), AdSetCallbackProc>);
static_assert(std::is_same_v<decltype(&_SetBandwidthThrottle), AdSetIntProc>);
static_assert(std::is_same_v<decltype(&_SetMinimumAdDisplayTime), AdSetIntProc>);
static_assert(std::is_same_v<decltype(&_SetNetworkState), AdSetIntProc>);
static_assert(std::is_same_v<decltype(&_debugTriggerEvent), AdSetIntProc>);
static_assert(std::is_same_v<decltype(&_IsConnectOkay), AdIsConnectOkayProc>);
static_assert(std::is_same_v<decltype(&_SetProxy), AdSetProxyProc>);
static_assert(std::is_same_v<decltype(&_SetLanguage), AdSetLanguageProc>);
