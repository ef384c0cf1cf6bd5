// A file dialog of the window that is made the first time it is opened: a dialog that exists
// reads its folder (and watches it) in the background of the window, so none does before the
// user asks for one.
#pragma once

#include <QFileDialog>
#include <QPointer>
#include <QString>

#include <functional>
#include <utility>

class TFileDialogSlot {
public:
    TFileDialogSlot() = default;
    TFileDialogSlot(const TFileDialogSlot &) = delete;
    TFileDialogSlot &operator=(const TFileDialogSlot &) = delete;

    // How the dialog is made: the owner, its object name, and what it is set up with (given
    // the folder it is to open in, as the settings keep it).
    void Define(QWidget *owner, const QString &name,
                std::function<void(QFileDialog *, const QString &initialDir)> setUp)
    {
        Owner = owner;
        Name = name;
        SetUp = std::move(setUp);
    }

    // The dialog, made now when it was not, and in the folder it was pointed at.
    QFileDialog *Get()
    {
        if (!Dialog) {
            Dialog = new QFileDialog(Owner);
            Dialog->setObjectName(Name);
            if (SetUp)
                SetUp(Dialog, InitialDir);
        }
        if (!NextDir.isEmpty())
            Dialog->setDirectory(std::exchange(NextDir, QString()));
        return Dialog;
    }

    // Where the dialog is to open next time. It goes there only then: a dialog pointed at a
    // folder reads it at once, and that would happen in the background of whatever the
    // window does next (a send job, say).
    void PointAt(const QString &dir) { NextDir = dir; }
    const QString &NextFolder() const { return NextDir; }
    QFileDialog *operator->() { return Get(); }
    operator QFileDialog *() { return Get(); }

    QFileDialog *Made() const { return Dialog; }
    const QString &ObjectName() const { return Name; }

    // The folder setting while the dialog is not made yet (empty: its default folder).
    QString InitialDir;

private:
    QWidget *Owner = nullptr;
    QString Name;
    std::function<void(QFileDialog *, const QString &)> SetUp;
    QPointer<QFileDialog> Dialog;
    QString NextDir;
};
