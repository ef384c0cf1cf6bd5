// The application object with a safety net: an exception that escapes an event handler not
// wrapped in RunGuarded is reported like RunGuarded would, instead of ending the program.
#pragma once

#include <QApplication>

#include <functional>

class TApplication : public QApplication
{
public:
    TApplication(int &argc, char **argv);
    bool notify(QObject *receiver, QEvent *event) override;
};

// What TApplication::notify does around the normal dispatch: the dispatch's answer, or false
// after a silent abort (nothing shown) or any other exception (the application's error box).
bool NotifyGuarded(const std::function<bool()> &dispatch);
