// The banner control against a recording library (every call and its arguments), the
// project's own banner library, and the main window with a good, a missing and an
// incomplete library.
#include "AdImage.h"
#include "Language.h"
#include "MainForm.h"
#include "../app/window_test_support.h"

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QMenu>
#include <QPlainTextEdit>
#include <QMouseEvent>
#include <QUrl>

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <memory>

namespace {

// The test's own hold on the recorder: its log survives the control unloading it.
class Recorder {
public:
    Recorder() : Handle(dlopen(TEST_BANNER_RECORDER, RTLD_NOW | RTLD_LOCAL))
    {
        if (!Handle)
            return;
        Log = reinterpret_cast<const char *(*)()>(dlsym(Handle, "RecorderLog"));
        Reset = reinterpret_cast<void (*)()>(dlsym(Handle, "RecorderReset"));
        SetResult = reinterpret_cast<void (*)(const char *, uint32_t)>(dlsym(Handle, "RecorderSetResult"));
        SetStatus = reinterpret_cast<void (*)(uint32_t)>(dlsym(Handle, "RecorderSetStatus"));
        SetConnect = reinterpret_cast<void (*)(uint32_t, int32_t)>(dlsym(Handle, "RecorderSetConnect"));
        Note = reinterpret_cast<void (*)(const char *)>(dlsym(Handle, "RecorderNote"));
        Fire = reinterpret_cast<void (*)(int)>(dlsym(Handle, "RecorderFire"));
        Reset();
    }
    ~Recorder()
    {
        if (Handle)
            dlclose(Handle);
    }
    bool Ok() const { return Handle && Log && Reset && SetResult && SetStatus && SetConnect && Note && Fire; }
    QStringList Lines() const { return QString::fromUtf8(Log()).split('\n', Qt::SkipEmptyParts); }

    const char *(*Log)() = nullptr;
    void (*Reset)() = nullptr;
    void (*SetResult)(const char *, uint32_t) = nullptr;
    void (*SetStatus)(uint32_t) = nullptr;
    void (*SetConnect)(uint32_t, int32_t) = nullptr;
    void (*Note)(const char *) = nullptr;
    void (*Fire)(int) = nullptr;

private:
    void *Handle;
};

class LibraryChoice {
public:
    explicit LibraryChoice(const QString &file) : Previous(TAdImage::LibraryFileName())
    {
        TAdImage::SetLibraryFileName(file);
    }
    ~LibraryChoice() { TAdImage::SetLibraryFileName(Previous); }

private:
    QString Previous;
};

class AdImageTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(rec.Ok()) << dlerror(); }
    // The log since the last call.
    QStringList Calls()
    {
        const QStringList all = rec.Lines();
        const QStringList fresh = all.mid(seen);
        seen = static_cast<int>(all.size());
        return fresh;
    }
    Recorder rec;
    LibraryChoice library{QStringLiteral(TEST_BANNER_RECORDER)};
    int seen = 0;
};

void ClickAt(QWidget *w, QPoint p, Qt::MouseButton button = Qt::LeftButton)
{
    const QPointF local(p), global(w->mapToGlobal(p));
    QMouseEvent press(QEvent::MouseButtonPress, local, global, button, button, Qt::NoModifier);
    QApplication::sendEvent(w, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, local, global, button, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(w, &release);
}

TEST_F(AdImageTest, StartsInOrderPassesValuesOnAfterStartAndShutsDownOnce)
{
    {
        TAdImage banner;
        ASSERT_TRUE(banner.Loaded()) << banner.LoadError().toStdString();
        banner.ProgramID = 473;
        banner.Options = adoNoConnect | adoDelayedStartup;
        banner.SetSize(ADS120x60);
        banner.SetBandwidthThrottle(1000);     // before the start: kept, not passed
        banner.SetMinimumAdDisplayTime(15);
        banner.SetLanguage("ru");
        EXPECT_FALSE(banner.NetworkIsUp());    // before the start: the library is not asked
        banner.SetNetworkIsUp(true);
        EXPECT_EQ(Calls(), QStringList());
        EXPECT_EQ(banner.size(), QSize(120, 60));

        ASSERT_TRUE(banner.StartAds());
        EXPECT_EQ(Calls(), QStringList({"_Startup handle=set reserved=0 program=473 size=9 options=5",
                                        "_SetCallback proc", "_SetNetworkCallback proc",
                                        "_SetAdRecordedCallback proc", "_SetBandwidthThrottle 1000",
                                        "_SetMinimumAdDisplayTime 15", "_SetLanguage ru"}));
        EXPECT_TRUE(banner.StartAds());   // already running: no second start
        banner.SetBandwidthThrottle(7);
        banner.SetMinimumAdDisplayTime(3000);
        banner.SetLanguage("en");
        banner.SetNetworkIsUp(true);
        banner.SetNetworkIsUp(false);
        EXPECT_EQ(Calls(), QStringList({"_SetBandwidthThrottle 7", "_SetMinimumAdDisplayTime 3000",
                                        "_SetLanguage en", "_SetNetworkState -1",
                                        "_SetNetworkState 0"}));

        // NetworkIsUp needs both the result and the out value.
        const struct {
            uint32_t Result;
            int32_t Out;
            bool Up;
        } reads[] = {{1, 1, true}, {1, 0, false}, {0, 1, false}, {0x10000, -1, true}};
        for (const auto &r : reads) {
            rec.SetConnect(r.Result, r.Out);
            EXPECT_EQ(banner.NetworkIsUp(), r.Up) << r.Result << " " << r.Out;
        }
        EXPECT_EQ(Calls().count("_IsConnectOkay"), 4);
    }
    EXPECT_EQ(Calls(), QStringList({"_Shutdown"}));
}

TEST_F(AdImageTest, StartStopsAtTheFirstZeroLowWord)
{
    const char *sequence[] = {"_Startup", "_SetCallback", "_SetNetworkCallback",
                              "_SetAdRecordedCallback", "_SetBandwidthThrottle",
                              "_SetMinimumAdDisplayTime"};
    for (int failing = 0; failing < 6; ++failing) {
        SCOPED_TRACE(sequence[failing]);
        rec.Reset();
        seen = 0;
        rec.SetResult(sequence[failing], 0x10000);   // high word set, low word zero
        QStringList expected;
        {
            TAdImage banner;
            EXPECT_FALSE(banner.StartAds());
            // Once _Startup has passed the banner counts as started, whatever failed after.
            EXPECT_EQ(banner.Started(), failing > 0);
            const QStringList calls = Calls();
            ASSERT_EQ(calls.size(), failing + 1);
            EXPECT_TRUE(calls.last().startsWith(sequence[failing]));
            EXPECT_FALSE(calls.join(' ').contains('?')) << calls.join(" | ").toStdString();
        }
        EXPECT_EQ(Calls(), failing > 0 ? QStringList({"_Shutdown"}) : QStringList());
    }
}

TEST_F(AdImageTest, NeverStartedMeansNoShutdownAndAutoLoadDecidesOnLoad)
{
    {
        TAdImage banner;
        banner.AutoLoad = false;
        banner.AfterLoad();
        EXPECT_FALSE(banner.Started());
    }
    EXPECT_EQ(Calls(), QStringList());
    {
        TAdImage banner;   // AutoLoad is on by default
        banner.AfterLoad();
        EXPECT_TRUE(banner.Started());
    }
    const QStringList calls = Calls();
    ASSERT_FALSE(calls.isEmpty());
    EXPECT_TRUE(calls.first().startsWith("_Startup"));
    EXPECT_EQ(calls.last(), "_Shutdown");
}

TEST(AdImageSize, BoundsSnapToTheBannerSizes)
{
    const struct {
        int W, H;
        TAdImageSize Size;
    } cases[] = {
        {1, 1, ads50x200},     {59, 500, ads50x200},   {60, 10, ads70x70},     {78, 10, ads70x70},
        {79, 10, ADS88x31},    {103, 300, ADS88x31},   {104, 1, ADS120x60},    {134, 74, ADS120x60},
        {134, 75, ADS120x90},  {120, 107, ADS120x90},  {120, 108, ADS125x125}, {134, 181, ADS125x125},
        {134, 182, ads150x40}, {134, 183, ADS120x240}, {135, 500, ads150x40},  {191, 1, ads150x40},
        {192, 1, ADS234x60},   {266, 1, ADS234x60},    {267, 1, ads300x50},    {345, 1, ads300x50},
        {346, 1, ADS392x72},   {429, 1, ADS392x72},    {430, 1, ADS468x60},    {5000, 5000, ADS468x60},
    };
    for (const auto &c : cases)
        EXPECT_EQ(TAdImage::SnapSize(c.W, c.H), c.Size) << c.W << "x" << c.H;
    // Each size is where its own bounds snap to.
    for (int s = ads150x40; s <= ADS120x240; ++s) {
        const QSize d = TAdImage::Dimensions(TAdImageSize(s));
        EXPECT_EQ(TAdImage::SnapSize(d.width(), d.height()), s) << d.width() << "x" << d.height();
    }

    LibraryChoice none(QStringLiteral("/nonexistent/banner.so"));
    testing::internal::CaptureStderr();
    TAdImage banner;
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(banner.size(), QSize(468, 60));
    EXPECT_EQ(banner.Size(), ADS468x60);
    banner.SetBounds(10, 20, 200, 100);
    EXPECT_EQ(banner.geometry(), QRect(10, 20, 234, 60));
    EXPECT_EQ(banner.Size(), ADS234x60);
    banner.show();
    banner.resize(100, 30);   // resized directly: snapped all the same
    EXPECT_EQ(banner.size(), QSize(88, 31));
    EXPECT_EQ(banner.Size(), ADS88x31);
    banner.SetSize(ads50x200);
    EXPECT_EQ(banner.size(), QSize(50, 200));
}

TEST_F(AdImageTest, StatusKeepsTheDefinedBitsOnly)
{
    TAdImage banner;
    const struct {
        uint32_t Word;
        TAdImageStatus Status;
    } cases[] = {
        {0, {}},
        {0x3, adiWinsockStarted | adiNetworkIsUp},
        {1u << 4 | 1u << 9, adiConnectHasFailed | adiClickHasWorked},
        {1u << 12, adiIdle},
        {1u << 13 | 1u << 14, adiConnecting | adiWorking},
        {0xC, {}},   // bits 2 and 3 mean nothing
        {0xFFFFFFFFu, adiWinsockStarted | adiNetworkIsUp | adiConnectHasFailed | adiConnectHasWorked
                          | adiAdLoadHasFailed | adiAdLoadHasWorked | adiClickHasFailed
                          | adiClickHasWorked | adiIdle | adiConnecting | adiWorking},
    };
    for (const auto &c : cases) {
        rec.SetStatus(c.Word);
        EXPECT_EQ(banner.Status(), c.Status) << std::hex << c.Word;
    }
}

TEST_F(AdImageTest, CallbacksRepaintAskTheNetworkAndCountAds)
{
    QWidget window;
    window.resize(500, 100);
    auto *banner = new TAdImage(&window);
    int counted = 0, asked = 0;
    banner->OnAdCounted = [&](TAdImage *sender) { counted += sender == banner; };
    ASSERT_TRUE(banner->StartAds());
    window.show();
    QApplication::processEvents();
    Calls();

    rec.Fire(0);   // repaint: the library draws again
    QApplication::processEvents();
    EXPECT_TRUE(Calls().contains("_Paint 0,0 468x60"));

    rec.SetStatus(AdStNetworkIsUp | AdStWorking);
    rec.Fire(1);   // no handler: the network state follows the status
    EXPECT_EQ(Calls(), QStringList({"_GetStatus", "_SetNetworkState -1"}));
    banner->OnNetworkRequest = [&](TAdImage *) { ++asked; };
    rec.Fire(1);
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(Calls(), QStringList());

    rec.Fire(2);
    EXPECT_EQ(counted, 1);
}

TEST_F(AdImageTest, PaintsThroughAnOffscreenImageAndClicksAfterOnClick)
{
    TAdImage banner;
    banner.OnClick = [&](TAdImage *) { rec.Note("OnClick"); };
    // Not started: nothing drawn, and a click reaches only the program.
    QImage before = banner.grab().toImage();
    ClickAt(&banner, {5, 5});
    EXPECT_EQ(Calls(), QStringList({"OnClick"}));

    ASSERT_TRUE(banner.StartAds());
    Calls();
    const QImage after = banner.grab().toImage();
    EXPECT_EQ(after.pixelColor(5, 5), QColor(0, 255, 0));
    EXPECT_EQ(after.pixelColor(467, 59), QColor(0, 255, 0));
    EXPECT_NE(before.pixelColor(5, 5), QColor(0, 255, 0));
    EXPECT_TRUE(Calls().contains("_Paint 0,0 468x60"));

    ClickAt(&banner, {5, 5});
    ClickAt(&banner, {5, 5}, Qt::RightButton);   // not a click
    EXPECT_EQ(Calls(), QStringList({"OnClick", "_OnClick"}));
}

// Records what the desktop was asked to open.
class UrlSink : public QObject {
    Q_OBJECT
public:
    QList<QUrl> Opened;
public slots:
    void Open(const QUrl &url) { Opened << url; }
};

TEST(ProjectBanner, DrawsTipsInTheLanguageWithoutNetworkAndOpensTheHomePage)
{
    LibraryChoice library(QStringLiteral(TEST_BANNER_LIBRARY));
    TAdImage banner;
    ASSERT_TRUE(banner.Loaded()) << banner.LoadError().toStdString();
    EXPECT_TRUE(banner.Status().testFlag(adiIdle));
    ASSERT_TRUE(banner.StartAds());
    const TAdImageStatus status = banner.Status();
    EXPECT_TRUE(status.testFlag(adiWorking));
    EXPECT_FALSE(status & (adiConnecting | adiNetworkIsUp | adiWinsockStarted));
    EXPECT_FALSE(banner.NetworkIsUp());
    banner.SetNetworkIsUp(true);   // asked to go online: it still does not
    EXPECT_FALSE(banner.NetworkIsUp());

    banner.SetLanguage("en");
    const QImage english = banner.grab().toImage();
    banner.SetLanguage("ru");
    const QImage russian = banner.grab().toImage();
    // Something is drawn edge to edge, and the text changes with the language.
    EXPECT_EQ(english.pixelColor(0, 0).alpha(), 255);
    EXPECT_EQ(english.pixelColor(467, 59).alpha(), 255);
    EXPECT_NE(english, russian);

    UrlSink sink;
    QDesktopServices::setUrlHandler("https", &sink, "Open");
    banner.Click();
    QDesktopServices::unsetUrlHandler("https");
    EXPECT_EQ(sink.Opened, QList<QUrl>({QUrl(TMainForm::HomePage)}));
    EXPECT_TRUE(banner.Status().testFlag(adiClickHasWorked));
}

// The program's own library is looked for beside the program first, then where the install
// puts it; not finding it names every place looked in.
TEST(ProjectBanner, IsFoundBesideTheProgramFirst)
{
    LibraryChoice search{QString()};
    const QStringList places = TAdImage::LibraryPlaces();
    ASSERT_GE(places.size(), 2);
    EXPECT_EQ(places.first(), QCoreApplication::applicationDirPath());
    EXPECT_TRUE(places.last().endsWith("/sendorix")) << places.last().toStdString();

    const QString beside = QCoreApplication::applicationDirPath() + "/libsendorix_banner.so";
    ASSERT_FALSE(QFileInfo::exists(beside));
    ASSERT_TRUE(QFile::copy(TEST_BANNER_LIBRARY, beside));
    {
        TAdImage banner;
        EXPECT_TRUE(banner.Loaded()) << banner.LoadError().toStdString();
        EXPECT_EQ(TAdImage::DefaultLibraryFile(), beside);
    }
    QFile::remove(beside);
    if (!TAdImage::DefaultLibraryFile().isEmpty())
        GTEST_SKIP() << "a banner library is installed on this machine";
    testing::internal::CaptureStderr();
    TAdImage banner;
    const QString err = QString::fromStdString(testing::internal::GetCapturedStderr());
    EXPECT_FALSE(banner.Loaded());
    const QString reason = "Couldn't load libsendorix_banner.so: not found in " + places.join(", ");
    EXPECT_EQ(banner.LoadError(), reason);
    EXPECT_EQ(err, "sendorix: no banner: " + reason + "\n");
}

class BannerWindowTest : public WindowTestBase {};

TEST_F(BannerWindowTest, TheWindowHostsTheBannerBelowEverythingElse)
{
    Recorder rec;
    ASSERT_TRUE(rec.Ok());
    {
        LibraryChoice library(QStringLiteral(TEST_BANNER_RECORDER));
        form = Start();
    }
    TAdImage *banner = form->Banner;
    ASSERT_TRUE(banner);
    EXPECT_TRUE(banner->Started());
    EXPECT_TRUE(rec.Lines().first().contains("program=473 size=1 options=0"));
    EXPECT_EQ(banner->toolTip(), "Click here!");
    EXPECT_EQ(banner->cursor().shape(), Qt::PointingHandCursor);
    EXPECT_EQ(banner->GetPopupMenu(), form->AdvertPopupMenu);

    for (int language : {1, 0}) {
        PickLanguage(language);
        QApplication::processEvents();
        EXPECT_TRUE(rec.Lines().contains(language ? "_SetLanguage ru" : "_SetLanguage en"));
        // Inside the window, below the separator, and nothing else on top of it.
        const QRect place = banner->geometry();
        EXPECT_TRUE(form->rect().contains(place));
        EXPECT_GE(place.top(), form->Panel1->geometry().bottom());
        for (QWidget *w : form->findChildren<QWidget *>(Qt::FindDirectChildrenOnly)) {
            if (w != banner && w->isVisible()) {
                EXPECT_FALSE(w->geometry().intersects(place)) << w->objectName().toStdString();
            }
        }
    }

    form->AdvertPopupMenuItemOpen->trigger();
    EXPECT_EQ(rec.Lines().last(), "_OnClick");
    form.reset();
    EXPECT_EQ(rec.Lines().last(), "_Shutdown");
}

TEST_F(BannerWindowTest, AMissingOrIncompleteLibraryLeavesTheAreaEmptyAndSaysWhyOnce)
{
    const struct {
        QString File;
        QString Reason;
    } cases[] = {
        {"/nonexistent/libsendorix_banner.so", "Couldn't load /nonexistent/libsendorix_banner.so: "},
        {TEST_BANNER_RECORDER_INCOMPLETE,
         QStringLiteral("Couldn't find address of _GetStatus in ") + TEST_BANNER_RECORDER_INCOMPLETE},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.File.toStdString());
        LibraryChoice library(c.File);
        testing::internal::CaptureStderr();
        form = Start();
        const QString err = QString::fromStdString(testing::internal::GetCapturedStderr());
        ASSERT_TRUE(form->Banner);
        EXPECT_FALSE(form->Banner->Loaded());
        EXPECT_FALSE(form->Banner->Started());
        EXPECT_TRUE(form->Banner->LoadError().startsWith(c.Reason)) << form->Banner->LoadError().toStdString();
        EXPECT_EQ(err.count('\n'), 1) << err.toStdString();
        EXPECT_TRUE(err.contains(c.Reason)) << err.toStdString();
        // The rest of the start-up ran, and the dead banner is harmless.
        EXPECT_FALSE(form->memoAbout->toPlainText().isEmpty());
        EXPECT_EQ(form->Banner->Status(), TAdImageStatus());
        form->AdvertPopupMenuItemOpen->trigger();
        PickLanguage(1);
        form.reset();
    }
}

} // namespace

#include "test_adimage.moc"
