#include "OkCancl1.h"

#include "ScreenFit.h"

#include <QFontMetricsF>
#include <QFrame>
#include <QGuiApplication>
#include <QPushButton>
#include <QScreen>

#include <algorithm>
#include <cmath>

double DesignScale(const QFont &font)
{
    // The design font's line height and average character width.
    const QFontMetricsF fm(font);
    return std::max({1.0, fm.height() / 13.0, fm.averageCharWidth() / 5.0});
}

TOKBottomDlg::TOKBottomDlg(QWidget *parent, int clientWidth, int clientHeight)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                          | Qt::WindowCloseButtonHint)
{
    Scale = DesignScale(font());
    Bevel = new QFrame(this);
    Bevel->setObjectName(QStringLiteral("Bevel"));
    Bevel->setFrameShape(QFrame::Box);
    Bevel->setFrameShadow(QFrame::Sunken);
    OKBtn = new QPushButton(QStringLiteral("OK"), this);
    OKBtn->setObjectName(QStringLiteral("OKBtn"));
    CancelBtn = new QPushButton(this);
    CancelBtn->setObjectName(QStringLiteral("CancelBtn"));
    // Enter presses only the button made default on purpose, never the focused one.
    OKBtn->setAutoDefault(false);
    CancelBtn->setAutoDefault(false);
    connect(OKBtn, &QPushButton::clicked, this, &QDialog::accept);
    connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
    ArrangeFrame(S(clientWidth), S(clientHeight));
    FitToScreen(this);
}

int TOKBottomDlg::S(int px) const
{
    return static_cast<int>(std::lround(px * Scale));
}

int TOKBottomDlg::ButtonWidth(const QPushButton *button, int designWidth) const
{
    return std::max(S(designWidth), button->sizeHint().width());
}

void TOKBottomDlg::PlaceFrame(int width, int height)
{
    const int buttonH = std::max(S(25), OKBtn->sizeHint().height());
    const int buttonW = std::max(ButtonWidth(OKBtn, 75), ButtonWidth(CancelBtn, 75));
    CancelBtn->setGeometry(width - S(8) - buttonW, height - S(6) - buttonH, buttonW, buttonH);
    OKBtn->setGeometry(CancelBtn->x() - S(5) - buttonW, CancelBtn->y(), buttonW, buttonH);
    Bevel->setGeometry(S(8), S(8), width - S(16), CancelBtn->y() - S(6) - S(8));
    Bevel->lower();
}

int TOKBottomDlg::FrameBottom() const
{
    return S(6) + std::max(S(25), OKBtn->sizeHint().height()) + S(6);
}

void TOKBottomDlg::ArrangeFrame(int width, int height)
{
    PlaceFrame(width, height);
    setFixedSize(width, height);
    CentreOnScreen();
}

void TOKBottomDlg::CentreOnScreen()
{
    if (const QScreen *screen = DialogScreen(this))
        move(screen->availableGeometry().center() - rect().center());
}
