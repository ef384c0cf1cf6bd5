#include "AdImage.h"

#include "Desktop.h"

#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>

#include <cstdio>
#include <dlfcn.h>

namespace {

const char *const LibraryBaseName = "libsendorix_banner.so";

QString &LibraryFileNameSetting()
{
    static QString name;
    return name;
}

// Every bit the status word defines; the others are the library's business.
constexpr uint32_t KnownStatusBits = AdStWinsockStarted | AdStNetworkIsUp | AdStConnectHasFailed
    | AdStConnectHasWorked | AdStAdLoadHasFailed | AdStAdLoadHasWorked | AdStClickHasFailed
    | AdStClickHasWorked | AdStIdle | AdStConnecting | AdStWorking;

bool Passed(uint32_t result)
{
    return (result & 0xFFFFu) != 0;
}

} // namespace

void TAdImage::SetLibraryFileName(const QString &fileName)
{
    LibraryFileNameSetting() = fileName;
}

QString TAdImage::LibraryFileName()
{
    return LibraryFileNameSetting();
}

QStringList TAdImage::LibraryPlaces()
{
    // The program's folder first, then where the install puts its run-time libraries.
    QStringList places;
    for (QString folder : PluginFolders()) {
        if (folder.size() > 1 && folder.endsWith(QLatin1Char('/')))
            folder.chop(1);
        places << folder;
    }
    return places;
}

QString TAdImage::DefaultLibraryFile()
{
    for (const QString &dir : LibraryPlaces()) {
        const QString file = dir + QLatin1Char('/') + QString::fromLatin1(LibraryBaseName);
        if (QFileInfo(file).isFile())
            return file;
    }
    return {};
}

TAdImage::TAdImage(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("AdImage"));
    resize(Dimensions(FSize));
    QString file = LibraryFileName();
    if (file.isEmpty())
        file = DefaultLibraryFile();
    if (file.isEmpty())
        Error = QStringLiteral("Couldn't load %1: not found in %2")
                    .arg(QString::fromLatin1(LibraryBaseName), LibraryPlaces().join(QStringLiteral(", ")));
    if (file.isEmpty() || !LoadLibrary(file))
        std::fprintf(stderr, "sendorix: no banner: %s\n", Error.toLocal8Bit().constData());
}

TAdImage::~TAdImage()
{
    if (FStarted && Entry.Shutdown)
        Entry.Shutdown(&Context);
    if (Library)
        dlclose(Library);
}

bool TAdImage::LoadLibrary(const QString &fileName)
{
    void *handle = dlopen(QFile::encodeName(fileName).constData(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char *why = dlerror();
        Error = QStringLiteral("Couldn't load %1: %2")
                    .arg(fileName, why ? QString::fromLocal8Bit(why) : QStringLiteral("unknown reason"));
        return false;
    }
    TEntryPoints e;
    struct TRequired {
        const char *Name;
        void **Slot;
    };
    const TRequired required[] = {
        {"_Startup", reinterpret_cast<void **>(&e.Startup)},
        {"_Paint", reinterpret_cast<void **>(&e.Paint)},
        {"_OnClick", reinterpret_cast<void **>(&e.OnClick)},
        {"_SetCallback", reinterpret_cast<void **>(&e.SetCallback)},
        {"_SetNetworkCallback", reinterpret_cast<void **>(&e.SetNetworkCallback)},
        {"_SetAdRecordedCallback", reinterpret_cast<void **>(&e.SetAdRecordedCallback)},
        {"_SetBandwidthThrottle", reinterpret_cast<void **>(&e.SetBandwidthThrottle)},
        {"_SetMinimumAdDisplayTime", reinterpret_cast<void **>(&e.SetMinimumAdDisplayTime)},
        {"_IsConnectOkay", reinterpret_cast<void **>(&e.IsConnectOkay)},
        {"_RetryConnect", reinterpret_cast<void **>(&e.RetryConnect)},
        {"_SetNetworkState", reinterpret_cast<void **>(&e.SetNetworkState)},
        {"_SetProxy", reinterpret_cast<void **>(&e.SetProxy)},
        {"_GetStatus", reinterpret_cast<void **>(&e.GetStatus)},
        {"_UseDefaultAd", reinterpret_cast<void **>(&e.UseDefaultAd)},
        {"_Shutdown", reinterpret_cast<void **>(&e.Shutdown)},
        {"_debugTriggerEvent", reinterpret_cast<void **>(&e.DebugTriggerEvent)},
    };
    for (const TRequired &r : required) {
        *r.Slot = dlsym(handle, r.Name);
        if (!*r.Slot) {
            Error = QStringLiteral("Couldn't find address of %1 in %2")
                        .arg(QString::fromLatin1(r.Name), fileName);
            dlclose(handle);
            return false;
        }
    }
    e.SetLanguage = reinterpret_cast<AdSetLanguageProc>(dlsym(handle, "_SetLanguage"));
    Library = handle;
    Entry = e;
    Error.clear();
    return true;
}

QSize TAdImage::Dimensions(TAdImageSize size)
{
    switch (size) {
    case ads150x40: return {150, 40};
    case ADS468x60: return {468, 60};
    case ads300x50: return {300, 50};
    case ads70x70: return {70, 70};
    case ads50x200: return {50, 200};
    case ADS392x72: return {392, 72};
    case ADS234x60: return {234, 60};
    case ADS125x125: return {125, 125};
    case ADS120x90: return {120, 90};
    case ADS120x60: return {120, 60};
    case ADS88x31: return {88, 31};
    case ADS120x240: return {120, 240};
    }
    return {468, 60};
}

TAdImageSize TAdImage::SnapSize(int width, int height)
{
    if (width < 60)
        return ads50x200;
    if (width < 79)
        return ads70x70;
    if (width < 104)
        return ADS88x31;
    if (width < 135) {
        if (height < 75)
            return ADS120x60;
        if (height < 108)
            return ADS120x90;
        if (height < 182)
            return ADS125x125;
        if (height > 182)
            return ADS120x240;
        // exactly 182 high: the width rules below decide
    }
    if (width < 192)
        return ads150x40;
    if (width < 267)
        return ADS234x60;
    if (width < 346)
        return ads300x50;
    if (width < 430)
        return ADS392x72;
    return ADS468x60;
}

void TAdImage::SetSize(TAdImageSize size)
{
    FSize = size;
    resize(Dimensions(size));
}

void TAdImage::SetBounds(int left, int top, int width, int height)
{
    FSize = SnapSize(width, height);
    setGeometry(left, top, Dimensions(FSize).width(), Dimensions(FSize).height());
}

void TAdImage::resizeEvent(QResizeEvent *e)
{
    QWidget::resizeEvent(e);
    // Whoever resized the control directly still gets a size the library can draw.
    const TAdImageSize snapped = SnapSize(width(), height());
    FSize = snapped;
    if (size() != Dimensions(snapped))
        resize(Dimensions(snapped));
}

void TAdImage::SetBandwidthThrottle(int value)
{
    FBandwidthThrottle = value;
    if (FStarted)
        Entry.SetBandwidthThrottle(&Context, value);
}

void TAdImage::SetMinimumAdDisplayTime(int value)
{
    FMinimumAdDisplayTime = value;
    if (FStarted)
        Entry.SetMinimumAdDisplayTime(&Context, value);
}

bool TAdImage::NetworkIsUp() const
{
    if (!FStarted)
        return false;
    int32_t up = 0;
    auto *self = const_cast<TAdImage *>(this);
    return Entry.IsConnectOkay(&self->Context, &up) != 0 && up != 0;
}

void TAdImage::SetNetworkIsUp(bool up)
{
    if (FStarted)
        Entry.SetNetworkState(&Context, up ? -1 : 0);
}

TAdImageStatus TAdImage::Status() const
{
    if (!Library)
        return {};
    auto *self = const_cast<TAdImage *>(this);
    return TAdImageStatus::fromInt(Entry.GetStatus(&self->Context) & KnownStatusBits);
}

void TAdImage::SetLanguage(const QString &language)
{
    if (language == Language)
        return;
    Language = language;
    PassLanguage();
}

void TAdImage::PassLanguage()
{
    if (FStarted && Entry.SetLanguage && !Language.isEmpty()) {
        Entry.SetLanguage(&Context, Language.toUtf8().constData());
        update();
    }
}

bool TAdImage::StartAds()
{
    if (!Library)
        return false;
    if (FStarted)
        return true;   // a second _Startup would leak the library's first banner
    Context = AdContext{};
    if (!Passed(Entry.Startup(&Context, Library, 0, ProgramID, static_cast<int32_t>(FSize), Options)))
        return false;
    FStarted = true;   // from here on _Shutdown is owed, whatever follows
    if (!Passed(Entry.SetCallback(&Context, &TAdImage::RepaintCallback, this)))
        return false;
    if (!Passed(Entry.SetNetworkCallback(&Context, &TAdImage::NetworkCallback, this)))
        return false;
    if (!Passed(Entry.SetAdRecordedCallback(&Context, &TAdImage::AdRecordedCallback, this)))
        return false;
    if (!Passed(Entry.SetBandwidthThrottle(&Context, FBandwidthThrottle)))
        return false;
    if (!Passed(Entry.SetMinimumAdDisplayTime(&Context, FMinimumAdDisplayTime)))
        return false;
    PassLanguage();
    update();
    return true;
}

void TAdImage::AfterLoad()
{
    if (AutoLoad)
        StartAds();
}

void TAdImage::Click()
{
    if (OnClick)
        OnClick(this);
    if (FStarted)
        Entry.OnClick(&Context);
}

void TAdImage::RepaintCallback(void *data)
{
    static_cast<TAdImage *>(data)->update();
}

void TAdImage::NetworkCallback(void *data)
{
    auto *self = static_cast<TAdImage *>(data);
    if (self->OnNetworkRequest)
        self->OnNetworkRequest(self);
    else
        self->SetNetworkIsUp(self->Status().testFlag(adiNetworkIsUp));
}

void TAdImage::AdRecordedCallback(void *data)
{
    auto *self = static_cast<TAdImage *>(data);
    if (self->OnAdCounted)
        self->OnAdCounted(self);
}

void TAdImage::paintEvent(QPaintEvent *)
{
    if (!FStarted)
        return;   // nothing to show: the window's background stays
    const qreal ratio = devicePixelRatioF();
    const QSize pixels = size() * ratio;
    if (Offscreen.size() != pixels)
        Offscreen = QImage(pixels, QImage::Format_ARGB32_Premultiplied);
    Offscreen.setDevicePixelRatio(1.0);
    Offscreen.fill(Qt::transparent);
    const AdSurface surface{Offscreen.bits(), Offscreen.width(), Offscreen.height(),
                            static_cast<int32_t>(Offscreen.bytesPerLine()), ratio};
    Entry.Paint(&Context, &surface, 0, 0);
    Offscreen.setDevicePixelRatio(ratio);
    QPainter painter(this);
    painter.drawImage(QPoint(0, 0), Offscreen);
}

void TAdImage::mousePressEvent(QMouseEvent *e)
{
    Pressed = e->button() == Qt::LeftButton;
    QWidget::mousePressEvent(e);
}

void TAdImage::mouseReleaseEvent(QMouseEvent *e)
{
    const bool click = Pressed && e->button() == Qt::LeftButton && rect().contains(e->pos());
    Pressed = false;
    QWidget::mouseReleaseEvent(e);
    if (click)
        Click();
}

void TAdImage::contextMenuEvent(QContextMenuEvent *e)
{
    if (PopupMenu)
        PopupMenu->popup(e->globalPos());
    else
        QWidget::contextMenuEvent(e);
}
