// Dialogs that fit the screen they open on, at any scale (a 1280x1024 screen at 2x leaves
// 640x512 to a dialog), and the sizes the user gave resizable dialogs, kept in the settings file.
#pragma once

#include <QRect>
#include <QSize>
#include <QString>

class QScreen;
class QWidget;

// Where a window of geometry `wanted` goes on a screen whose free area is `available`: shrunk to
// fit (never below `minimum`, which wins where the screen is smaller still) and moved inside.
// `frame` is what the window manager adds around the window (title bar, borders).
QRect FittedGeometry(const QRect &wanted, const QSize &minimum, const QRect &available,
                     const QSize &frame = QSize());

// The screen a dialog opens on: its parent window's, else its own.
QScreen *DialogScreen(const QWidget *dialog);

// Shrinks and moves `dialog` into the free area of its screen each time it is shown. Its
// layout does the rest: lists and grids get scroll bars.
void FitToScreen(QWidget *dialog);
// The same, at once (for a dialog that changes its size while it is up).
void FitToScreenNow(QWidget *dialog);

// The size kept for the dialog named `name` in `settingsFile` ("DialogSizes", "width,height"),
// or an invalid size when there is none or it is too small to be meant.
QSize KeptDialogSize(const QString &settingsFile, const QString &name);
// Keeps the dialog's size under its object name; a file that cannot be written loses only the
// size. Returns false then.
bool KeepDialogSize(const QString &settingsFile, const QWidget *dialog);
