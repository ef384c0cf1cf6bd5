/* The interface between the banner control and the banner library it loads at run time.
 *
 * This header is the only thing the program and a banner library share. It is plain C so a
 * library can be written in anything that exports C functions.
 *
 * Calling sequence, all on the program's user-interface thread:
 *   _Startup, then _SetCallback, _SetNetworkCallback, _SetAdRecordedCallback,
 *   _SetBandwidthThrottle, _SetMinimumAdDisplayTime (the host stops at the first result whose
 *   low 16 bits are zero); then any number of _Paint, _OnClick, _GetStatus, _IsConnectOkay,
 *   _SetNetworkState, _SetLanguage; finally _Shutdown, after which the library may be unloaded.
 *   _RetryConnect, _SetProxy, _UseDefaultAd and _debugTriggerEvent are required exports but the
 *   host never calls them.
 *
 * Every call gets the control's context record first. The host zeroes it before _Startup and
 * never touches it afterwards; a library keeps its per-banner state behind Instance.
 */
#ifndef SENDORIX_AD_LIBRARY_H
#define SENDORIX_AD_LIBRARY_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct AdContext {
    void *Instance;
    uint32_t Reserved; /* always 0 */
} AdContext;

/* What _Paint draws into: 32-bit premultiplied ARGB pixels in native byte order (0xAARRGGBB
 * as a uint32_t), Height rows of BytesPerLine bytes. Width and Height are device pixels;
 * Scale is device pixels per layout pixel (1 on ordinary screens). */
typedef struct AdSurface {
    void *Bits;
    int32_t Width;
    int32_t Height;
    int32_t BytesPerLine;
    double Scale;
} AdSurface;

/* Banner sizes, passed to _Startup by ordinal. */
enum {
    AdSize150x40, AdSize468x60, AdSize300x50, AdSize70x70, AdSize50x200, AdSize392x72,
    AdSize234x60, AdSize125x125, AdSize120x90, AdSize120x60, AdSize88x31, AdSize120x240
};

/* Options mask passed to _Startup. */
enum { AdOptNoConnect = 1, AdOptNoDialOnDemand = 2, AdOptDelayedStartup = 4 };

/* Bits of the _GetStatus word. */
enum {
    AdStWinsockStarted = 1u << 0,
    AdStNetworkIsUp = 1u << 1,
    AdStConnectHasFailed = 1u << 4,
    AdStConnectHasWorked = 1u << 5,
    AdStAdLoadHasFailed = 1u << 6,
    AdStAdLoadHasWorked = 1u << 7,
    AdStClickHasFailed = 1u << 8,
    AdStClickHasWorked = 1u << 9,
    AdStIdle = 1u << 12,
    AdStConnecting = 1u << 13,
    AdStWorking = 1u << 14
};

/* Called back by the library with the data pointer it was given. */
typedef void (*AdNotifyProc)(void *data);

/* Results: a low 16-bit word of zero means failure, except for _GetStatus (the status word). */
typedef uint32_t (*AdStartupProc)(AdContext *ctx, void *libraryHandle, int32_t reserved,
                                  int32_t programId, int32_t size, uint32_t options);
typedef uint32_t (*AdPaintProc)(AdContext *ctx, const AdSurface *surface, int32_t x, int32_t y);
typedef uint32_t (*AdPlainProc)(AdContext *ctx); /* _OnClick _RetryConnect _UseDefaultAd _Shutdown _GetStatus */
typedef uint32_t (*AdSetCallbackProc)(AdContext *ctx, AdNotifyProc proc, void *data);
/* _SetBandwidthThrottle _SetMinimumAdDisplayTime _SetNetworkState (-1 up, 0 down) _debugTriggerEvent */
typedef uint32_t (*AdSetIntProc)(AdContext *ctx, int32_t value);
/* *isUp receives non-zero when the library considers the network usable. */
typedef uint32_t (*AdIsConnectOkayProc)(AdContext *ctx, int32_t *isUp);
typedef uint32_t (*AdSetProxyProc)(AdContext *ctx, const char *host, int32_t port);
/* Optional: the interface language as a two-letter code ("en", "ru"), UTF-8. */
typedef uint32_t (*AdSetLanguageProc)(AdContext *ctx, const char *language);

#ifdef __cplusplus
}
#endif

#endif
