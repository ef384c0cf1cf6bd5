// The project's Simple MAPI library: MAPIAddress shows the address dialog over the desktop's
// contacts. Its texts follow SENDORIX_LANGUAGE ("ru" or "en"; unset: the desktop's locale).
#include "SimpleMapi.h"

#include "AddressDialog.h"

#include <QApplication>
#include <QLocale>
#include <QWidget>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#define SIMPLEMAPI_EXPORT __attribute__((visibility("default")))

namespace {

bool Russian()
{
    const QByteArray language = qgetenv("SENDORIX_LANGUAGE").trimmed().toLower();
    if (!language.isEmpty())
        return language.startsWith("ru");
    return QLocale::system().language() == QLocale::Russian;
}

QString Text(const char *text)
{
    return text != nullptr ? QString::fromUtf8(text) : QString();
}

// What F1 in the dialog calls, as the program handed it over.
SENDORIXMAPIHELP HelpProc = nullptr;
void *HelpContext = nullptr;

// The chosen recipients in one block, texts after the records, so MAPIFreeBuffer is one free.
lpMapiRecipDesc Pack(const QList<TRecipientEntry> &entries, bool oneField)
{
    QList<QByteArray> names, addresses;
    size_t size = entries.size() * sizeof(MapiRecipDesc);
    for (const TRecipientEntry &e : entries) {
        names << e.Name.toUtf8();
        addresses << e.Address.toUtf8();
        size += names.last().size() + 1 + addresses.last().size() + 1;
    }
    auto *block = static_cast<char *>(std::calloc(1, size));
    if (block == nullptr)
        throw std::bad_alloc();
    auto *records = reinterpret_cast<lpMapiRecipDesc>(block);
    char *text = block + entries.size() * sizeof(MapiRecipDesc);
    auto copy = [&text](const QByteArray &bytes) {
        char *start = text;
        std::memcpy(text, bytes.constData(), bytes.size() + 1);
        text += bytes.size() + 1;
        return start;
    };
    for (qsizetype i = 0; i < entries.size(); ++i) {
        records[i].ulRecipClass = oneField ? MAPI_TO : MapiULong(MAPI_TO + entries[i].Field);
        records[i].lpszName = copy(names[i]);
        records[i].lpszAddress = copy(addresses[i]);
    }
    return records;
}

} // namespace

extern "C" SIMPLEMAPI_EXPORT MapiULong MAPIAddress(
    MapiHandle, MapiHandle ulUIParam, char *lpszCaption, MapiULong nEditFields, char *lpszLabels,
    MapiULong nRecips, lpMapiRecipDesc lpRecips, MapiFlags, MapiULong, MapiULong *lpnNewRecips,
    lpMapiRecipDesc *lppNewRecips)
{
    if (lpnNewRecips == nullptr || lppNewRecips == nullptr)
        return MAPI_E_FAILURE;
    *lpnNewRecips = 0;
    *lppNewRecips = nullptr;
    if (nEditFields > 4)
        return MAPI_E_INVALID_EDITFIELDS;
    if (nRecips > 0 && lpRecips == nullptr)
        return MAPI_E_INVALID_RECIPS;
    try {
        // A caller without Qt gets an application for the time of the dialog.
        std::unique_ptr<QApplication> ownApplication;
        if (QCoreApplication::instance() == nullptr) {
            static int argc = 1;
            static char name[] = "sendorix-addressbook";
            static char *argv[] = {name, nullptr};
            ownApplication = std::make_unique<QApplication>(argc, argv);
        } else if (qobject_cast<QApplication *>(QCoreApplication::instance()) == nullptr) {
            return MAPI_E_FAILURE;   // no widgets in a console application
        }
        const int fields = nEditFields == 4 ? 3 : int(nEditFields);
        QList<TRecipientEntry> entries;
        for (MapiULong i = 0; i < nRecips; ++i) {
            const MapiRecipDesc &d = lpRecips[i];
            if (d.ulRecipClass < MAPI_TO || d.ulRecipClass > MAPI_BCC)
                continue;   // the originator is no edit field
            entries.append({Text(d.lpszName), Text(d.lpszAddress),
                            fields == 1 ? 0 : int(d.ulRecipClass - MAPI_TO)});
        }
        QWidget *parent = ulUIParam != 0 ? QWidget::find(WId(ulUIParam)) : nullptr;
        TAddressDialog dialog(parent, Text(lpszCaption), fields,
                              fields == 1 ? Text(lpszLabels) : QString(), Russian());
        dialog.SetRecipients(entries);
        if (HelpProc != nullptr)
            dialog.SetHelp([proc = HelpProc, context = HelpContext] { proc(context); });
        if (dialog.exec() != QDialog::Accepted)
            return MAPI_USER_ABORT;
        const QList<TRecipientEntry> chosen = dialog.Recipients();
        if (!chosen.isEmpty()) {
            *lppNewRecips = Pack(chosen, fields == 1);
            *lpnNewRecips = MapiULong(chosen.size());
        }
        return SUCCESS_SUCCESS;
    } catch (const std::bad_alloc &) {
        return MAPI_E_INSUFFICIENT_MEMORY;
    } catch (...) {
        return MAPI_E_FAILURE;
    }
}

extern "C" SIMPLEMAPI_EXPORT MapiULong MAPIFreeBuffer(void *pv)
{
    std::free(pv);
    return SUCCESS_SUCCESS;
}

extern "C" SIMPLEMAPI_EXPORT void SendorixMapiSetHelp(SENDORIXMAPIHELP help, void *context)
{
    HelpProc = help;
    HelpContext = context;
}
