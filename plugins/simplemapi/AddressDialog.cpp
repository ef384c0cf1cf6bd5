#include "AddressDialog.h"

#include <QDialogButtonBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

constexpr int NameRole = Qt::UserRole;
constexpr int AddressRole = Qt::UserRole + 1;

QString Shown(const QString &name, const QString &address)
{
    return name.isEmpty() ? address : QStringLiteral("%1 <%2>").arg(name, address);
}

} // namespace

QString TAddressDialog::T(const char *ru, const char *en) const
{
    return russian_ ? QString::fromUtf8(ru) : QString::fromUtf8(en);
}

// The contacts: the search field, the list and the buttons that add sources.
QVBoxLayout *TAddressDialog::BuildContactsSide()
{
    auto *searchLabel = new QLabel(T("&Поиск:", "&Search:"), this);
    edtSearch = new QLineEdit(this);
    edtSearch->setObjectName(QStringLiteral("edtSearch"));
    edtSearch->setClearButtonEnabled(true);
    edtSearch->setPlaceholderText(T("имя или адрес", "name or address"));
    searchLabel->setBuddy(edtSearch);

    lvContacts = new QTreeWidget(this);
    lvContacts->setObjectName(QStringLiteral("lvContacts"));
    lvContacts->setColumnCount(2);
    lvContacts->setHeaderLabels({T("Имя", "Name"), T("Адрес", "E-mail")});
    lvContacts->setRootIsDecorated(false);
    lvContacts->setSelectionMode(QAbstractItemView::ExtendedSelection);
    lvContacts->setUniformRowHeights(true);
    lvContacts->header()->setSectionResizeMode(QHeaderView::Stretch);
    lvContacts->setMinimumWidth(200);

    auto *btnFolder = new QPushButton(T("Папка контактов...", "Contacts folder..."), this);
    btnFolder->setObjectName(QStringLiteral("btnFolder"));
    auto *btnFile = new QPushButton(T("Добавить файл vCard...", "Add vCard file..."), this);
    btnFile->setObjectName(QStringLiteral("btnFile"));

    auto *left = new QVBoxLayout;
    auto *searchRow = new QHBoxLayout;
    searchRow->addWidget(searchLabel);
    searchRow->addWidget(edtSearch, 1);
    left->addLayout(searchRow);
    left->addWidget(lvContacts, 1);
    auto *sourceButtons = new QHBoxLayout;
    sourceButtons->addWidget(btnFolder);
    sourceButtons->addWidget(btnFile);
    sourceButtons->addStretch(1);
    left->addLayout(sourceButtons);

    connect(btnFolder, &QPushButton::clicked, this, &TAddressDialog::ChooseFolder);
    connect(btnFile, &QPushButton::clicked, this, &TAddressDialog::AddFile);
    return left;
}

// The recipient lists, each with its add button, and the button that removes from them.
QGridLayout *TAddressDialog::BuildRecipientsSide(const QString &label)
{
    auto *right = new QGridLayout;
    const QString names[3] = {
        fields_ == 1 && !label.isEmpty() ? label : T("Кому ->", "To ->"),
        T("Копия ->", "Cc ->"), T("Скрытая ->", "Bcc ->")};
    const char *objectNames[3] = {"To", "Cc", "Bcc"};
    for (int i = 0; i < fields_; ++i) {
        addButtons_[i] = new QPushButton(names[i], this);
        addButtons_[i]->setObjectName(QStringLiteral("btn%1").arg(QLatin1String(objectNames[i])));
        addButtons_[i]->setAutoDefault(false);
        lists_[i] = new QListWidget(this);
        lists_[i]->setObjectName(QStringLiteral("lst%1").arg(QLatin1String(objectNames[i])));
        lists_[i]->setSelectionMode(QAbstractItemView::ExtendedSelection);
        lists_[i]->setMinimumWidth(120);
        right->addWidget(addButtons_[i], i, 0, Qt::AlignTop);
        right->addWidget(lists_[i], i, 1);
        connect(addButtons_[i], &QPushButton::clicked, this, [this, i] { AddTo(i); });
        connect(lists_[i], &QListWidget::itemDoubleClicked, this, [this] { RemoveSelected(); });
        auto *del = new QShortcut(QKeySequence::Delete, lists_[i], nullptr, nullptr,
                                  Qt::WidgetShortcut);
        connect(del, &QShortcut::activated, this, [this] { RemoveSelected(); });
    }
    if (fields_ > 0) {
        btnRemove = new QPushButton(T("Удалить", "Remove"), this);
        btnRemove->setObjectName(QStringLiteral("btnRemove"));
        btnRemove->setAutoDefault(false);
        right->addWidget(btnRemove, fields_, 1, Qt::AlignRight);
        connect(btnRemove, &QPushButton::clicked, this, &TAddressDialog::RemoveSelected);
    }

    return right;
}

TAddressDialog::TAddressDialog(QWidget *parent, const QString &caption, int fields,
                               const QString &label, bool russian)
    : QDialog(parent), russian_(russian), fields_(qBound(0, fields, 3))
{
    setObjectName(QStringLiteral("SimpleMapiAddressDialog"));
    setWindowTitle(caption.isEmpty() ? T("Адресная книга", "Address Book") : caption);
    setModal(true);
    settings_ = LoadContactSettings();

    QVBoxLayout *left = BuildContactsSide();
    QGridLayout *right = BuildRecipientsSide(label);

    auto *middle = new QHBoxLayout;
    middle->addLayout(left, 3);
    if (fields_ > 0)
        middle->addLayout(right, 2);

    lblSources = new QLabel(this);
    lblSources->setObjectName(QStringLiteral("lblSources"));
    lblSources->setWordWrap(true);
    lblProblems = new QLabel(this);
    lblProblems->setObjectName(QStringLiteral("lblProblems"));
    lblProblems->setWordWrap(true);
    lblProblems->setStyleSheet(QStringLiteral("color: #a00000;"));
    lblProblems->setTextInteractionFlags(Qt::TextSelectableByMouse);

    buttonBox = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttonBox->setObjectName(QStringLiteral("buttonBox"));
    buttonBox->button(QDialogButtonBox::Ok)->setText(T("ОК", "OK"));
    buttonBox->button(QDialogButtonBox::Cancel)->setText(T("Отмена", "Cancel"));
    connect(buttonBox, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttonBox, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto *main = new QVBoxLayout(this);
    main->addLayout(middle, 1);
    main->addWidget(lblSources);
    main->addWidget(lblProblems);
    main->addWidget(buttonBox);

    connect(edtSearch, &QLineEdit::textChanged, this, &TAddressDialog::Filter);
    edtSearch->installEventFilter(this);
    connect(lvContacts, &QTreeWidget::itemDoubleClicked, this, [this] { AddTo(0); });

    auto *helpKey = new QShortcut(QKeySequence(Qt::Key_F1), this);
    helpKey->setObjectName(QStringLiteral("helpKey"));
    connect(helpKey, &QShortcut::activated, this, [this] {
        if (help_)
            help_();
    });

    resize(820, 520);
    Reload();
    edtSearch->setFocus();
}

void TAddressDialog::SetHelp(std::function<void()> help)
{
    help_ = std::move(help);
}

// The dialog fits the screen it opens on, whatever the scale (a 1280x1024 screen at 2x leaves
// it 640x512): it shrinks about its middle and its lists scroll.
void TAddressDialog::showEvent(QShowEvent *event)
{
    const QWidget *parent = parentWidget() != nullptr ? parentWidget()->window() : nullptr;
    if (const QScreen *screen = parent != nullptr ? parent->screen() : this->screen()) {
        const QRect free = screen->availableGeometry();
        const QSize frame = frameGeometry().size() - size();
        QRect fitted(QPoint(0, 0), size().boundedTo(free.size() - frame).expandedTo(minimumSizeHint()));
        fitted.moveCenter(geometry().center());
        fitted.moveLeft(qMax(free.left(), qMin(fitted.left(), free.right() + 1 - fitted.width() - frame.width())));
        fitted.moveTop(qMax(free.top(), qMin(fitted.top(), free.bottom() + 1 - fitted.height() - frame.height())));
        if (fitted != geometry())
            setGeometry(fitted);
    }
    QDialog::showEvent(event);
}

void TAddressDialog::Reload()
{
    const TContactList list = ReadContacts(settings_, russian_);
    lvContacts->clear();
    QList<QTreeWidgetItem *> items;
    for (const TContact &c : list.Contacts) {
        auto *item = new QTreeWidgetItem({c.Name, c.Address});
        item->setData(0, NameRole, c.Name);
        item->setData(0, AddressRole, c.Address);
        item->setToolTip(0, c.Source);
        item->setToolTip(1, c.Source);
        items << item;
    }
    lvContacts->addTopLevelItems(items);

    if (list.Sources.isEmpty() && list.Problems.isEmpty()) {
        lblSources->setText(T("Контакты не найдены. Положите файлы vCard в папку %1 или "
                              "выберите папку контактов.",
                              "No contacts found. Put vCard files into %1 or choose a contacts "
                              "folder.")
                                .arg(settings_.Folder.isEmpty() ? DefaultContactsFolder()
                                                                : settings_.Folder));
    } else {
        lblSources->setText(T("Контакты из: %1", "Contacts from: %1")
                                .arg(list.Sources.join(QStringLiteral("; "))));
    }
    lblSources->setVisible(!lblSources->text().isEmpty());
    lblProblems->setText(list.Problems.isEmpty()
                             ? QString()
                             : T("Не удалось прочитать:", "Could not read:") + QLatin1Char('\n')
                                   + list.Problems.join(QLatin1Char('\n')));
    lblProblems->setVisible(!list.Problems.isEmpty());
    Filter(edtSearch->text());
}

// Enter in the search box takes the found contact (or the typed address) into the first field
// instead of closing the dialog; with nothing to take it is OK as usual.
bool TAddressDialog::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == edtSearch && event->type() == QEvent::KeyPress && fields_ > 0) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        const QString typed = edtSearch->text().trimmed();
        if ((key == Qt::Key_Return || key == Qt::Key_Enter) && !typed.isEmpty()) {
            AddTo(0);
            edtSearch->clear();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

namespace {

// A text as the search compares it: letter case folded, and ё read as е, as Russian readers
// do (most texts never write the dots).
QString SearchForm(const QString &text)
{
    QString folded = text.toCaseFolded();
    folded.replace(QChar(0x0451), QChar(0x0435));
    return folded;
}

}  // namespace

void TAddressDialog::Filter(const QString &text)
{
    const QString needle = SearchForm(text.trimmed());
    QTreeWidgetItem *first = nullptr;
    for (int i = 0; i < lvContacts->topLevelItemCount(); ++i) {
        QTreeWidgetItem *item = lvContacts->topLevelItem(i);
        const bool match = needle.isEmpty() || SearchForm(item->text(0)).contains(needle)
                        || SearchForm(item->text(1)).contains(needle);
        item->setHidden(!match);
        if (match && first == nullptr)
            first = item;
    }
    // Typing narrows to one contact that the add buttons take without a click.
    if (!needle.isEmpty()) {
        lvContacts->clearSelection();
        if (first != nullptr) {
            lvContacts->setCurrentItem(first);
            first->setSelected(true);
        }
    }
}

void TAddressDialog::AddTo(int field)
{
    if (field < 0 || field >= fields_)
        return;
    QList<QPair<QString, QString>> picked;
    for (QTreeWidgetItem *item : lvContacts->selectedItems()) {
        if (!item->isHidden())
            picked.append({item->data(0, NameRole).toString(), item->data(0, AddressRole).toString()});
    }
    // An address typed into the search box that no contact has goes in as it is.
    const QString typed = edtSearch->text().trimmed();
    if (picked.isEmpty() && typed.contains(QLatin1Char('@')))
        picked.append({QString(), typed});
    QListWidget *list = lists_[field];
    for (const auto &[name, address] : picked) {
        bool present = false;
        for (int i = 0; i < list->count() && !present; ++i)
            present = list->item(i)->data(AddressRole).toString().compare(address, Qt::CaseInsensitive) == 0;
        if (present)
            continue;
        auto *item = new QListWidgetItem(Shown(name, address), list);
        item->setData(NameRole, name);
        item->setData(AddressRole, address);
    }
}

void TAddressDialog::RemoveSelected()
{
    for (int i = 0; i < fields_; ++i)
        qDeleteAll(lists_[i]->selectedItems());
}

void TAddressDialog::ChooseFolder()
{
    const QString start = settings_.Folder.isEmpty() ? DefaultContactsFolder() : settings_.Folder;
    const QString folder = QFileDialog::getExistingDirectory(
        this, T("Папка с файлами vCard", "Folder of vCard files"), start);
    if (folder.isEmpty())
        return;
    settings_.Folder = folder;
    SaveContactSettings(settings_);
    Reload();
}

void TAddressDialog::AddFile()
{
    const QString file = QFileDialog::getOpenFileName(
        this, T("Файл vCard", "vCard file"), QString(),
        T("Файлы vCard (*.vcf *.vcard);;Все файлы (*)", "vCard files (*.vcf *.vcard);;All files (*)"));
    if (file.isEmpty() || settings_.Files.contains(file))
        return;
    settings_.Files << file;
    SaveContactSettings(settings_);
    Reload();
}

void TAddressDialog::SetRecipients(const QList<TRecipientEntry> &entries)
{
    for (int i = 0; i < fields_; ++i)
        lists_[i]->clear();
    if (fields_ == 0)
        return;
    for (const TRecipientEntry &e : entries) {
        // A class the dialog has no field for goes to its last field rather than being lost.
        auto *item = new QListWidgetItem(Shown(e.Name, e.Address), lists_[qBound(0, e.Field, fields_ - 1)]);
        item->setData(NameRole, e.Name);
        item->setData(AddressRole, e.Address);
    }
}

QList<TRecipientEntry> TAddressDialog::Recipients() const
{
    QList<TRecipientEntry> entries;
    for (int f = 0; f < fields_; ++f) {
        for (int i = 0; i < lists_[f]->count(); ++i) {
            const QListWidgetItem *item = lists_[f]->item(i);
            entries.append({item->data(NameRole).toString(), item->data(AddressRole).toString(), f});
        }
    }
    return entries;
}
