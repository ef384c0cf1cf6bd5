// Shared by the address book tests: a folder for the book file, and a way to answer the
// book's modal dialogs as a user would.
#pragma once

#include "AddAddr.h"
#include "AddrBook.h"
#include "ComDialogs.h"
#include "IniFile.h"
#include "MyStringGrid.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace booktest {

// Runs `answer` on the next dialog of type D once it is shown modally (it runs inside that
// dialog's exec()). A watchdog closes whatever modal dialog is up after a minute, so a test
// that expected a dialog fails instead of hanging.
template <class D> void WhenShown(std::function<void(D *)> answer)
{
    auto *timer = new QTimer(qApp);
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    QObject::connect(timer, &QTimer::timeout, timer, [timer, clock, answer] {
        QWidget *modal = QApplication::activeModalWidget();
        if (D *dialog = qobject_cast<D *>(modal)) {
            timer->stop();
            timer->deleteLater();
            answer(dialog);
            return;
        }
        if (clock->elapsed() > 60000) {
            timer->stop();
            timer->deleteLater();
            ADD_FAILURE() << "the expected dialog was not shown";
            if (auto *other = qobject_cast<QDialog *>(modal))
                other->reject();
        }
    });
    timer->start(1);
}

// Entry dialog answer: fills name and address and presses OK.
inline std::function<void(TAddAddress *)> Enter(const QString &name, const QString &address)
{
    return [name, address](TAddAddress *d) {
        d->edName->setText(name);
        d->edAddress->setText(address);
        d->OKBtn->click();
    };
}

inline QString Show(const TRecipientList &list)
{
    QString s;
    for (const TRecipient &r : list)
        s += "[" + r.Name + "|" + r.Address + "]";
    return s;
}

inline QString Show(const TMyStringGrid *grid)
{
    QString s;
    for (int r = 0; r < grid->rowCount(); ++r)
        s += "[" + grid->Cell(r, 0) + "|" + grid->Cell(r, 1) + "]";
    return s;
}

inline QByteArray ReadBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline void WriteBytes(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

// Makes the next writes of any settings file fail as a full disk would, for its lifetime.
struct TFailingWrites
{
    TFailingWrites() { TIniFile::SetWriteHookForTests([](qint64) { return false; }); }
    ~TFailingWrites() { TIniFile::SetWriteHookForTests(nullptr); }
};

} // namespace booktest
