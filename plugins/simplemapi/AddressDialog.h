#pragma once
// The address dialog: the desktop's contacts on the left, up to three recipient lists (To, Cc,
// Bcc) on the right; search as you type, add, remove, OK and Cancel.
#include "Contacts.h"

#include <QDialog>

#include <functional>

class QGridLayout;
class QVBoxLayout;

class QDialogButtonBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QTreeWidget;

struct TRecipientEntry
{
    QString Name;
    QString Address;
    int Field = 0;   // 0 To, 1 Cc, 2 Bcc
};

class TAddressDialog : public QDialog
{
    Q_OBJECT
public:
    // fields: 0 (browse only) to 3; label: the one field's label when fields is 1.
    TAddressDialog(QWidget *parent, const QString &caption, int fields, const QString &label,
                   bool russian);

    void SetRecipients(const QList<TRecipientEntry> &entries);
    QList<TRecipientEntry> Recipients() const;
    // What F1 does (the program's manual); without it F1 does nothing.
    void SetHelp(std::function<void()> help);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    QVBoxLayout *BuildContactsSide();
    QGridLayout *BuildRecipientsSide(const QString &label);
    void Reload();
    void Filter(const QString &text);
    void AddTo(int field);
    void RemoveSelected();
    void ChooseFolder();
    void AddFile();
    QString T(const char *ru, const char *en) const;

    bool russian_;
    int fields_;
    TContactSettings settings_;
    QLineEdit *edtSearch;
    QTreeWidget *lvContacts;
    QListWidget *lists_[3] = {};
    QPushButton *addButtons_[3] = {};
    QPushButton *btnRemove = nullptr;
    QLabel *lblSources;
    QLabel *lblProblems;
    QDialogButtonBox *buttonBox;
    std::function<void()> help_;
};
