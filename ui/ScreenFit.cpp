#include "ScreenFit.h"

#include "IniFile.h"

#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

#include <algorithm>

namespace {

const QString DialogSizesSection = QStringLiteral("DialogSizes");
// A kept size below this was not given by a person (a damaged or hand-edited file).
constexpr int SmallestKeptWidth = 200;
constexpr int SmallestKeptHeight = 150;

class TScreenFitter : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        // Show arrives before the window is mapped, so the window manager sees the fitted size.
        if (event->type() == QEvent::Show && watched->isWidgetType())
            FitToScreenNow(static_cast<QWidget *>(watched));
        return false;
    }
};

}  // namespace

QRect FittedGeometry(const QRect &wanted, const QSize &minimum, const QRect &available, const QSize &frameSize)
{
    const QSize frame = frameSize.isValid() ? frameSize : QSize(0, 0);
    const QSize room = (available.size() - frame).expandedTo(QSize(0, 0));
    QRect fitted(QPoint(0, 0), wanted.size().boundedTo(room).expandedTo(minimum));
    // Shrunk about its middle, then moved inside the free area as far as it can be.
    fitted.moveCenter(wanted.center());
    const int right = available.right() + 1 - fitted.width() - frame.width();
    const int bottom = available.bottom() + 1 - fitted.height() - frame.height();
    fitted.moveTopLeft({std::max(available.left(), std::min(fitted.left(), right)),
                        std::max(available.top(), std::min(fitted.top(), bottom))});
    return fitted;
}

QScreen *DialogScreen(const QWidget *dialog)
{
    if (const QWidget *parent = dialog->parentWidget())
        if (QScreen *screen = parent->window()->screen())
            return screen;
    if (QScreen *screen = dialog->screen())
        return screen;
    return QGuiApplication::primaryScreen();
}

void FitToScreenNow(QWidget *dialog)
{
    const QScreen *screen = DialogScreen(dialog);
    if (screen == nullptr || !dialog->isWindow())
        return;
    const QSize frame = dialog->frameGeometry().size() - dialog->geometry().size();
    const QSize minimum = dialog->minimumSize().expandedTo(dialog->minimumSizeHint());
    const QRect fitted = FittedGeometry(dialog->geometry(), minimum, screen->availableGeometry(), frame);
    if (fitted.size() != dialog->size())
        dialog->resize(fitted.size());
    // move() places the frame, geometry() is inside it.
    if (fitted.topLeft() != dialog->geometry().topLeft())
        dialog->move(fitted.topLeft() - (dialog->geometry().topLeft() - dialog->pos()));
}

void FitToScreen(QWidget *dialog)
{
    // Once per dialog (the class has no meta-object of its own, so it is found by name).
    const QString name = QStringLiteral("screenFitter");
    if (dialog->findChild<QObject *>(name, Qt::FindDirectChildrenOnly) != nullptr)
        return;
    auto *fitter = new TScreenFitter(dialog);
    fitter->setObjectName(name);
    dialog->installEventFilter(fitter);
}

QSize KeptDialogSize(const QString &settingsFile, const QString &name)
{
    const TIniFile ini(settingsFile);
    const QStringList wh = ini.ReadString(DialogSizesSection, name, QString()).split(QLatin1Char(','));
    const QSize size = wh.size() == 2 ? QSize(wh[0].trimmed().toInt(), wh[1].trimmed().toInt()) : QSize();
    return size.width() >= SmallestKeptWidth && size.height() >= SmallestKeptHeight ? size : QSize();
}

bool KeepDialogSize(const QString &settingsFile, const QWidget *dialog)
{
    const QString size = QStringLiteral("%1,%2").arg(dialog->width()).arg(dialog->height());
    try {
        TIniFile ini(settingsFile);
        if (ini.ReadString(DialogSizesSection, dialog->objectName(), QString()) == size)
            return true;
        ini.WriteString(DialogSizesSection, dialog->objectName(), size);
        ini.UpdateFile();
        return true;
    } catch (...) {
        return false;
    }
}
