#include "Application.h"

#include "Language.h"

TApplication::TApplication(int &argc, char **argv) : QApplication(argc, argv) {}

bool TApplication::notify(QObject *receiver, QEvent *event)
{
    return NotifyGuarded([&] { return QApplication::notify(receiver, event); });
}

bool NotifyGuarded(const std::function<bool()> &dispatch)
{
    try {
        return dispatch();
    } catch (...) {
        return ReportException(QApplication::activeWindow(), std::current_exception());
    }
}
