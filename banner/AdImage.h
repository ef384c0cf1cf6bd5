// The banner control: a fixed-size area whose picture, click and state come from a banner
// library loaded at run time (AdLibrary.h). A library that is missing or incomplete leaves an
// empty area and one line on standard error; the program goes on without a banner.
#pragma once

#include "AdLibrary.h"

#include <QFlags>
#include <QImage>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <cstdint>
#include <functional>

class QMenu;

// Order matters: the ordinal is what the library receives.
enum TAdImageSize {
    ads150x40, ADS468x60, ads300x50, ads70x70, ads50x200, ADS392x72,
    ADS234x60, ADS125x125, ADS120x90, ADS120x60, ADS88x31, ADS120x240
};

enum TAdImageOption : uint32_t {
    adoNoConnect = AdOptNoConnect,
    adoNoDialOnDemand = AdOptNoDialOnDemand,
    adoDelayedStartup = AdOptDelayedStartup,
    adoAll = AdOptNoConnect | AdOptNoDialOnDemand | AdOptDelayedStartup
};

enum TAdImageStatusItem : uint32_t {
    adiWinsockStarted = AdStWinsockStarted,
    adiNetworkIsUp = AdStNetworkIsUp,
    adiConnectHasFailed = AdStConnectHasFailed,
    adiConnectHasWorked = AdStConnectHasWorked,
    adiAdLoadHasFailed = AdStAdLoadHasFailed,
    adiAdLoadHasWorked = AdStAdLoadHasWorked,
    adiClickHasFailed = AdStClickHasFailed,
    adiClickHasWorked = AdStClickHasWorked,
    adiIdle = AdStIdle,
    adiConnecting = AdStConnecting,
    adiWorking = AdStWorking
};
Q_DECLARE_FLAGS(TAdImageStatus, TAdImageStatusItem)
Q_DECLARE_OPERATORS_FOR_FLAGS(TAdImageStatus)

class TAdImage : public QWidget {
public:
    // Loads the library (LibraryFileName, or the project's own); see LoadError on failure.
    explicit TAdImage(QWidget *parent = nullptr);
    ~TAdImage() override;   // _Shutdown if started, then unload

    // ---- the library
    // The file the next control loads; empty: the project's own banner library, beside the
    // program first, then where the install puts it.
    static void SetLibraryFileName(const QString &fileName);
    static QString LibraryFileName();
    static QString DefaultLibraryFile();   // the file the empty name stands for; empty if none
    static QStringList LibraryPlaces();    // where that file is looked for, in order
    bool Loaded() const { return Library != nullptr; }
    QString LoadError() const { return Error; }   // why the library is not usable; empty if it is

    // ---- published properties
    int ProgramID = 0;
    bool AutoLoad = true;
    uint32_t Options = 0;   // TAdImageOption bits
    TAdImageSize Size() const { return FSize; }
    void SetSize(TAdImageSize size);   // resizes the control
    int BandwidthThrottle() const { return FBandwidthThrottle; }
    void SetBandwidthThrottle(int value);
    int MinimumAdDisplayTime() const { return FMinimumAdDisplayTime; }
    void SetMinimumAdDisplayTime(int value);
    bool NetworkIsUp() const;             // false until started
    void SetNetworkIsUp(bool up);         // ignored until started
    TAdImageStatus Status() const;        // empty without a library
    // The interface language ("en", "ru") handed to a library that asks for it.
    void SetLanguage(const QString &language);
    void SetPopupMenu(QMenu *menu) { PopupMenu = menu; }
    QMenu *GetPopupMenu() const { return PopupMenu; }

    // ---- events
    std::function<void(TAdImage *Sender)> OnClick;
    std::function<void(TAdImage *Sender)> OnNetworkRequest;
    std::function<void(TAdImage *Sender)> OnAdCounted;

    // ---- commands
    // _Startup and the set-up calls; true when all of them passed.
    bool StartAds();
    bool Started() const { return FStarted; }
    // For a control built from a stored layout: starts it when AutoLoad is on.
    void AfterLoad();
    void Click();   // OnClick, then the library's click

    // Bounds are snapped to the nearest banner size, by width first.
    static TAdImageSize SnapSize(int width, int height);
    static QSize Dimensions(TAdImageSize size);
    void SetBounds(int left, int top, int width, int height);

    QSize sizeHint() const override { return Dimensions(FSize); }

protected:
    void paintEvent(QPaintEvent *e) override;
    void resizeEvent(QResizeEvent *e) override;
    void mousePressEvent(QMouseEvent *e) override;
    void mouseReleaseEvent(QMouseEvent *e) override;
    void contextMenuEvent(QContextMenuEvent *e) override;

private:
    struct TEntryPoints {
        AdStartupProc Startup = nullptr;
        AdPaintProc Paint = nullptr;
        AdPlainProc OnClick = nullptr;
        AdSetCallbackProc SetCallback = nullptr;
        AdSetCallbackProc SetNetworkCallback = nullptr;
        AdSetCallbackProc SetAdRecordedCallback = nullptr;
        AdSetIntProc SetBandwidthThrottle = nullptr;
        AdSetIntProc SetMinimumAdDisplayTime = nullptr;
        AdIsConnectOkayProc IsConnectOkay = nullptr;
        AdPlainProc RetryConnect = nullptr;
        AdSetIntProc SetNetworkState = nullptr;
        AdSetProxyProc SetProxy = nullptr;
        AdPlainProc GetStatus = nullptr;
        AdPlainProc UseDefaultAd = nullptr;
        AdPlainProc Shutdown = nullptr;
        AdSetIntProc DebugTriggerEvent = nullptr;
        AdSetLanguageProc SetLanguage = nullptr;   // optional
    };

    bool LoadLibrary(const QString &fileName);
    void PassLanguage();
    static void RepaintCallback(void *data);
    static void NetworkCallback(void *data);
    static void AdRecordedCallback(void *data);

    void *Library = nullptr;   // dlopen handle
    TEntryPoints Entry;
    AdContext Context{};
    QString Error;
    bool FStarted = false;
    TAdImageSize FSize = ADS468x60;
    int FBandwidthThrottle = 2147483647;
    int FMinimumAdDisplayTime = 0;
    QString Language;
    QImage Offscreen;
    QMenu *PopupMenu = nullptr;
    bool Pressed = false;
};
