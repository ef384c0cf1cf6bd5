#pragma once
// The plain OK/Cancel dialog both address book dialogs are built on: a window centred on the
// screen it opens on (and shrunk to fit it), a framed bevel around the content and OK and
// Cancel at the bottom right. Fixed-size unless a subclass makes it resizable.
#include <QDialog>

class QFrame;
class QPushButton;

class TOKBottomDlg : public QDialog
{
    Q_OBJECT
public:
    // Client size in design pixels (scaled like the main window).
    TOKBottomDlg(QWidget *parent, int clientWidth, int clientHeight);

    QFrame *Bevel;
    QPushButton *OKBtn;
    QPushButton *CancelBtn;

    // The design geometry was made for an 8-point font; it is scaled by this factor so the
    // larger fonts of Linux desktops fit, exactly as the main window scales.
    double Scale = 1.0;
    int S(int px) const;

    // Sets the client size (already in pixels), puts the bevel and the buttons at the bottom,
    // and centres the window on the screen. Subclasses call it once their content is placed.
    void ArrangeFrame(int width, int height);
    // Puts the bevel and the buttons for a client of this size, and nothing else.
    void PlaceFrame(int width, int height);
    // The height the OK and Cancel row takes at the bottom, with its margins.
    int FrameBottom() const;
    // Centres the window on the screen it opens on.
    void CentreOnScreen();
    // A push button's width for its caption: at least `designWidth` (scaled).
    int ButtonWidth(const QPushButton *button, int designWidth) const;
};

// The scale factor the main window and the dialogs apply to their design geometry.
double DesignScale(const QFont &font);
