// The bridge to the system address book. The library is loaded at first use by file name and
// kept for the life of the program; its two entry points are looked up once.
#include "SMAPI.h"

#include "AppHelp.h"
#include "Desktop.h"
#include "Global.h"

#include <QFile>
#include <QWidget>

#include <dlfcn.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

struct TSmapiLibrary
{
    QString FileName = QString::fromLatin1(SmapiDefaultLibrary);
    void *Handle = nullptr;
    bool AddressLookedUp = false;
    LPMAPIADDRESS Address = nullptr;
    bool FreeBufferLookedUp = false;
    LPMAPIFREEBUFFER FreeBuffer = nullptr;
    bool SetHelpLookedUp = false;
    LPSENDORIXMAPISETHELP SetHelp = nullptr;

    void Unload()
    {
        if (Handle != nullptr)
            dlclose(Handle);
        Handle = nullptr;
        AddressLookedUp = FreeBufferLookedUp = SetHelpLookedUp = false;
        Address = nullptr;
        FreeBuffer = nullptr;
        SetHelp = nullptr;
    }
    // Released, and its name cleared, when the program ends.
    ~TSmapiLibrary()
    {
        Unload();
        FileName.clear();
    }
};

TSmapiLibrary &Library()
{
    static TSmapiLibrary library;
    return library;
}

// A bare name is a plugin of the program's: beside the program (a build or portable copy),
// then where the install puts plugins; a path is taken as it is.
QString ResolvedPath(const QString &name)
{
    return name.contains(QLatin1Char('/')) ? name : FindPluginFile(name);
}

char *CopyText(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    auto *copy = static_cast<char *>(std::malloc(bytes.size() + 1));
    if (copy == nullptr)
        throw std::bad_alloc();
    std::memcpy(copy, bytes.constData(), bytes.size() + 1);
    return copy;
}

QString Text(const char *text)
{
    return text != nullptr ? QString::fromUtf8(text) : QString();
}

// F1 in the library's dialog: the manual of the interface language at the dialog's section.
void OpenSystemBookHelp(void *)
{
    ShowHelpContext(SystemBookHelpContext);
}

} // namespace

void SmapiSetLibraryName(const QString &fileName)
{
    TSmapiLibrary &lib = Library();
    const QString name = fileName.isEmpty() ? QString::fromLatin1(SmapiDefaultLibrary) : fileName;
    if (name == lib.FileName)
        return;
    lib.Unload();
    lib.FileName = name;
}

QString SmapiLibraryName()
{
    return Library().FileName;
}

void SmapiLoad()
{
    TSmapiLibrary &lib = Library();
    if (lib.Handle != nullptr)
        return;
    const QByteArray path = QFile::encodeName(ResolvedPath(lib.FileName));
    errno = 0;
    lib.Handle = dlopen(path.constData(), RTLD_NOW | RTLD_LOCAL);
    if (lib.Handle == nullptr) {
        const int code = errno;
        const char *reason = dlerror();
        QString message = QStringLiteral("MAPI Initialization Error: %1").arg(code);
        if (reason != nullptr && *reason != '\0')
            message += QStringLiteral(" (%1)").arg(QString::fromLocal8Bit(reason));
        throw Exception(message);
    }
}

void SmapiUnload()
{
    Library().Unload();
}

MapiULong SmapiAddress(MapiHandle lhSession, MapiHandle ulUIParam, char *lpszCaption,
                       MapiULong nEditFields, char *lpszLabels, MapiULong nRecips,
                       lpMapiRecipDesc lpRecips, MapiFlags flFlags, MapiULong ulReserved,
                       MapiULong *lpnNewRecips, lpMapiRecipDesc *lppNewRecips)
{
    SmapiLoad();
    TSmapiLibrary &lib = Library();
    if (!lib.AddressLookedUp) {
        lib.Address = reinterpret_cast<LPMAPIADDRESS>(dlsym(lib.Handle, "MAPIAddress"));
        lib.AddressLookedUp = true;
    }
    if (lib.Address == nullptr)
        return 1;
    return lib.Address(lhSession, ulUIParam, lpszCaption, nEditFields, lpszLabels, nRecips,
                       lpRecips, flFlags, ulReserved, lpnNewRecips, lppNewRecips);
}

bool SmapiSetHelp(bool on)
{
    TSmapiLibrary &lib = Library();
    if (lib.Handle == nullptr)
        return false;   // nothing to hand it to (never loads: it runs in a destructor)
    if (!lib.SetHelpLookedUp) {
        lib.SetHelp = reinterpret_cast<LPSENDORIXMAPISETHELP>(dlsym(lib.Handle, "SendorixMapiSetHelp"));
        lib.SetHelpLookedUp = true;
    }
    if (lib.SetHelp == nullptr)
        return false;
    lib.SetHelp(on ? OpenSystemBookHelp : nullptr, nullptr);
    return true;
}

MapiULong SmapiFreeBuffer(void *pv)
{
    SmapiLoad();
    TSmapiLibrary &lib = Library();
    if (!lib.FreeBufferLookedUp) {
        lib.FreeBuffer = reinterpret_cast<LPMAPIFREEBUFFER>(dlsym(lib.Handle, "MAPIFreeBuffer"));
        lib.FreeBufferLookedUp = true;
    }
    if (lib.FreeBuffer == nullptr)
        return 1;
    return lib.FreeBuffer(pv);
}

void BuildRecipDescs(const TRecipientList &to, const TRecipientList &cc,
                     const TRecipientList &bcc, MapiULong &count, lpMapiRecipDesc &descs)
{
    count = 0;
    descs = nullptr;
    const qsizetype total = to.size() + cc.size() + bcc.size();
    if (total == 0)
        return;
    auto *array = static_cast<lpMapiRecipDesc>(std::calloc(total, sizeof(MapiRecipDesc)));
    if (array == nullptr)
        throw std::bad_alloc();
    MapiULong filled = 0;
    try {
        const struct { const TRecipientList *List; MapiULong Class; } groups[] = {
            {&to, MAPI_TO}, {&cc, MAPI_CC}, {&bcc, MAPI_BCC}};
        for (const auto &group : groups) {
            for (const TRecipient &r : *group.List) {
                MapiRecipDesc &d = array[filled++];
                d.ulRecipClass = group.Class;
                d.lpszName = CopyText(r.Name);
                d.lpszAddress = CopyText(r.Address);
            }
        }
    } catch (...) {
        FreeRecipDescs(filled, array);
        throw;
    }
    count = filled;
    descs = array;
}

void ReadRecipDescs(MapiULong count, const MapiRecipDesc *descs, TRecipientList &to,
                    TRecipientList &cc, TRecipientList &bcc)
{
    // Built apart and swapped in at the end, so a failure part-way leaves the lists whole.
    TRecipientList lists[3];
    for (MapiULong i = 0; descs != nullptr && i < count; ++i) {
        const MapiRecipDesc &d = descs[i];
        if (d.ulRecipClass < MAPI_TO || d.ulRecipClass > MAPI_BCC)
            continue;
        lists[d.ulRecipClass - MAPI_TO].append({Text(d.lpszAddress), Text(d.lpszName)});
    }
    to.swap(lists[0]);
    cc.swap(lists[1]);
    bcc.swap(lists[2]);
}

void FreeRecipDescs(MapiULong &count, lpMapiRecipDesc &descs)
{
    for (MapiULong i = 0; descs != nullptr && i < count; ++i) {
        std::free(descs[i].lpszName);
        std::free(descs[i].lpszAddress);
    }
    std::free(descs);
    descs = nullptr;
    count = 0;
}

bool SmapiEditRecipients(QWidget *parent, TRecipientList &to, TRecipientList &cc,
                         TRecipientList &bcc)
{
    // The library is loaded before anything is built, so a failed load has nothing to release.
    SmapiLoad();
    MapiULong count = 0;
    lpMapiRecipDesc descs = nullptr;
    BuildRecipDescs(to, cc, bcc, count, descs);
    // The dialog's F1 opens the manual for as long as it is up.
    SmapiSetHelp(true);
    struct TRelease {
        MapiULong &Count;
        lpMapiRecipDesc &Descs;
        ~TRelease()
        {
            SmapiSetHelp(false);
            FreeRecipDescs(Count, Descs);
        }
    } release{count, descs};

    // The library's texts follow the interface language.
    qputenv("SENDORIX_LANGUAGE", HookSaysRussian() ? "ru" : "en");
    const MapiHandle window = parent != nullptr ? MapiHandle(parent->window()->winId()) : 0;
    char caption[] = "";
    MapiULong newCount = 0;
    lpMapiRecipDesc newRecips = nullptr;
    const MapiULong result = SmapiAddress(0, window, caption, 3, nullptr, count, descs, 0, 0,
                                          &newCount, &newRecips);
    if (result != SUCCESS_SUCCESS)
        return false;
    try {
        ReadRecipDescs(newCount, newRecips, to, cc, bcc);
    } catch (...) {
        if (newRecips != nullptr)
            SmapiFreeBuffer(newRecips);
        throw;
    }
    if (newRecips != nullptr)
        SmapiFreeBuffer(newRecips);
    return true;
}
