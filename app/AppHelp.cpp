#include "AppHelp.h"

#include "Global.h"

#include <QFileInfo>

namespace {

QString &helpFileName()
{
    static QString name;
    return name;
}

THelpHandler &handler()
{
    static THelpHandler h;
    return h;
}

}  // namespace

void SetApplicationHelpFile(const QString &fileName)
{
    helpFileName() = fileName;
}

QString ApplicationHelpFile()
{
    return helpFileName();
}

bool ShowHelpContext(int context, const QString &helpFile)
{
    const QString file = helpFile.isEmpty() ? helpFileName() : helpFile;
    if (handler())
        return handler()(file, context);
    // The desktop opener knows no context numbers: open the file itself. The help files are
    // not shipped, so a missing one simply shows nothing.
    if (file.isEmpty() || !QFileInfo(file).isFile())
        return false;
    return OpenDocument(file);
}

THelpHandler SetHelpHandler(THelpHandler newHandler)
{
    THelpHandler old = std::move(handler());
    handler() = std::move(newHandler);
    return old;
}
