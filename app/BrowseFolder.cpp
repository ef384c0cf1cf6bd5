#include "BrowseFolder.h"

#include "AppHelp.h"
#include "Global.h"
#include "ScreenFit.h"
#include "Strings.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QSplitter>
#include <QStandardPaths>
#include <QTextStream>

QString ShortenPath(const QString &path, QChar separator, const QString &filler, int limit)
{
    if (path.size() <= limit)
        return path;
    QStringList parts = path.split(separator);   // empty parts are kept on purpose
    if (parts.size() <= 2)
        return path;
    parts[1] = filler;
    QString result = parts.join(separator);
    while (result.size() > limit && parts.size() > 3) {
        parts.removeAt(2);
        result = parts.join(separator);
    }
    return result;
}

namespace {

// A folder named in the desktop's user-dirs file (XDG_TEMPLATES_DIR and the like), or empty.
QString XdgUserDir(const char *key)
{
    QFile file(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
               + QStringLiteral("/user-dirs.dirs"));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    const QString prefix = QString::fromLatin1(key) + QLatin1Char('=');
    QTextStream in(&file);
    while (!in.atEnd()) {
        QString line = in.readLine().trimmed();
        if (!line.startsWith(prefix))
            continue;
        QString value = line.mid(prefix.size());
        if (value.size() >= 2 && value.startsWith(QLatin1Char('"')) && value.endsWith(QLatin1Char('"')))
            value = value.mid(1, value.size() - 2);
        if (value.startsWith(QLatin1String("$HOME")))
            value.replace(0, 5, QDir::homePath());
        return QDir::isAbsolutePath(value) ? value : QString();
    }
    return {};
}

bool IsUnder(const QString &path, const QString &root)
{
    if (root.isEmpty() || root == QLatin1String("/"))
        return true;
    const QString p = QDir::cleanPath(path);
    return p == root || p.startsWith(root + QLatin1Char('/'));
}

// Makes room for a new row in a grid layout by moving every row from `at` down by one.
void InsertGridRow(QGridLayout *grid, int at)
{
    struct TCell {
        QLayoutItem *Item;
        int Row, Column, RowSpan, ColumnSpan;
    };
    QList<TCell> cells;
    while (grid->count() > 0) {
        TCell c{};
        grid->getItemPosition(0, &c.Row, &c.Column, &c.RowSpan, &c.ColumnSpan);
        c.Item = grid->takeAt(0);
        cells << c;
    }
    for (const TCell &c : cells) {
        int row = c.Row, span = c.RowSpan;
        if (row >= at)
            ++row;
        else if (row + span > at)
            ++span;
        grid->addItem(c.Item, row, c.Column, span, c.ColumnSpan);
    }
}

} // namespace

// The dialog itself: OK goes through the component, which refuses anything but a folder.
class TFolderDialog : public QFileDialog {
public:
    TFolderDialog(TBrowseFolder *owner, QWidget *parent) : QFileDialog(parent), Owner(owner) {}
    void accept() override
    {
        if (Owner->Accepting())
            QFileDialog::accept();
    }

private:
    TBrowseFolder *Owner;
};

TBrowseFolder::TBrowseFolder(QObject *owner) : QObject(owner) {}

TBrowseFolder::~TBrowseFolder() = default;

void TBrowseFolder::SetCustomButtonEnabled(bool enabled)
{
    FCustomButtonEnabled = enabled;
    if (FCustomButton)
        FCustomButton->setEnabled(enabled);
}

void TBrowseFolder::SetCustomButtonCaption(const QString &caption)
{
    FCustomButtonCaption = caption;
    if (FCustomButton)
        FCustomButton->setText(caption);
}

void TBrowseFolder::SetCustomButtonWidth(int width)
{
    FCustomButtonWidth = width > 0 ? width : 75;
}

QString TBrowseFolder::RootPath(TSHFolders folder, TBrowseInfoFlags flags)
{
    const QString home = QDir::homePath();
    // Printers and computers on the network have no folder here: such a browser starts at home.
    if (flags & (bfBrowseForComputer | bfBrowseForPrinter))
        return home;
    QString path;
    switch (folder) {
    case foDesktopExpanded:
        return {};
    case foMyComputer:
        return QStringLiteral("/");
    case foDesktop:
    case foDesktopDirectory:
        path = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
        break;
    case foPersonal:
        path = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
        break;
    case foTemplates:
        path = XdgUserDir("XDG_TEMPLATES_DIR");
        if (path.isEmpty())
            path = home + QStringLiteral("/Templates");
        break;
    case foPrograms:
    case foStartMenu:
        path = QStandardPaths::writableLocation(QStandardPaths::ApplicationsLocation);
        break;
    case foStartup:
        path = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
               + QStringLiteral("/autostart");
        break;
    default:   // control panel, printers, favourites, recent, send to, recycle bin, network, fonts
        return home;
    }
    return QFileInfo(path).isDir() ? QDir::cleanPath(path) : home;
}

QWidget *TBrowseFolder::DialogParent() const
{
    if (OwnerWindow)
        return OwnerWindow;
    if (auto *w = qobject_cast<QWidget *>(parent()))
        return w->window();
    return QApplication::activeWindow();
}

QAbstractButton *TBrowseFolder::OkButton() const
{
    if (!FDialog)
        return nullptr;
    auto *box = FDialog->findChild<QDialogButtonBox *>();
    if (!box)
        return nullptr;
    for (QAbstractButton *b : box->buttons())
        if (box->buttonRole(b) == QDialogButtonBox::AcceptRole)
            return b;
    return nullptr;
}

void TBrowseFolder::AddOwnRows(QFileDialog &dialog)
{
    // The title above the folders, the status text below them and the custom button at the
    // bottom, in the rows of the dialog's own grid.
    auto *grid = qobject_cast<QGridLayout *>(dialog.layout());
    if (!grid)
        return;
    InsertGridRow(grid, 0);
    auto *title = new QLabel(Title, &dialog);
    title->setObjectName(QStringLiteral("TitleLabel"));
    title->setWordWrap(true);
    grid->addWidget(title, 0, 0, 1, -1);
    if (Flags & bfStatusText) {
        int row = 2, column, rowSpan = 1, columnSpan;
        if (auto *splitter = dialog.findChild<QSplitter *>()) {
            const int index = grid->indexOf(splitter);
            if (index >= 0)
                grid->getItemPosition(index, &row, &column, &rowSpan, &columnSpan);
        }
        InsertGridRow(grid, row + rowSpan);
        FStatus = new QLabel(&dialog);
        FStatus->setObjectName(QStringLiteral("StatusText"));
        FStatus->setTextFormat(Qt::PlainText);
        grid->addWidget(FStatus, row + rowSpan, 0, 1, -1);
    }
    if (CustomButtonVisible) {
        QAbstractButton *b;
        if (CustomButtonType == btCheckBox) {
            auto *check = new QCheckBox(&dialog);
            check->setChecked(CustomButtonChecked);
            b = check;
        } else {
            auto *push = new QPushButton(&dialog);
            push->setAutoDefault(false);   // Enter stays with OK
            b = push;
        }
        b->setObjectName(QStringLiteral("CustomButton"));
        b->setText(FCustomButtonCaption);
        b->setFixedWidth(FCustomButtonWidth);
        b->setEnabled(FCustomButtonEnabled);
        b->setFocusPolicy(Qt::StrongFocus);
        connect(b, &QAbstractButton::clicked, this, [this] {
            if (OnCustomButtonClick)
                OnCustomButtonClick(this, FDialog);
        });
        grid->addWidget(b, grid->rowCount(), 0, 1, 2, Qt::AlignLeft);
        FCustomButton = b;
    }
}

bool TBrowseFolder::Execute()
{
    QWidget *foreground = QApplication::activeWindow();
    QWidget *parent = DialogParent();
    if (!foreground)
        foreground = parent;
    FRoot = RootPath(RootFolder, Flags);

    TFolderDialog dialog(this, parent);
    FDialog = &dialog;
    FSelection.clear();
    dialog.setObjectName(QStringLiteral("BrowseFolderDialog"));
    InstallHelpKey(&dialog, FolderBrowserHelpContext);
    FitToScreen(&dialog);
    dialog.setWindowTitle(TextIn(HookSaysRussian(), TextId::BrowseFolderTitle));
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setOption(QFileDialog::ShowDirsOnly, true);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);

    AddOwnRows(dialog);
    // A folder browser has no file types to pick.
    for (const char *name : {"fileTypeLabel", "fileTypeCombo"})
        if (auto *w = dialog.findChild<QWidget *>(QLatin1String(name)))
            w->hide();
    // Room for the places, the names and the dates without cutting them.
    const int unit = dialog.fontMetrics().averageCharWidth();
    dialog.resize(dialog.sizeHint().expandedTo(QSize(unit * 110, unit * 70)));
    if (auto *splitter = dialog.findChild<QSplitter *>())
        splitter->setSizes({unit * 22, dialog.width() - unit * 22});

    // The preselected folder when it exists (and lies within the root), else the root or home.
    const QFileInfo preset(Directory);
    if (!Directory.isEmpty() && preset.isDir() && IsUnder(preset.absoluteFilePath(), FRoot))
        dialog.setDirectory(preset.absoluteFilePath());
    else
        dialog.setDirectory(FRoot.isEmpty() ? QDir::homePath() : FRoot);

    connect(&dialog, &QFileDialog::currentChanged, this, &TBrowseFolder::SelectionChanged);
    connect(&dialog, &QFileDialog::directoryEntered, this, [this](const QString &dir) {
        if (!IsUnder(dir, FRoot)) {
            FDialog->setDirectory(FRoot);   // the tree has nothing above its root
            return;
        }
        SelectionChanged();
    });
    if (auto *edit = dialog.findChild<QLineEdit *>(QStringLiteral("fileNameEdit")))
        connect(edit, &QLineEdit::textChanged, this, &TBrowseFolder::SelectionChanged);

    // The dialog keeps its own idea of when OK is usable; ours wins whenever they differ.
    struct TOkGuard : QObject {
        TBrowseFolder *Owner;
        explicit TOkGuard(TBrowseFolder *o) : Owner(o) {}
        bool eventFilter(QObject *watched, QEvent *e) override
        {
            if (e->type() == QEvent::EnabledChange) {
                auto *b = static_cast<QAbstractButton *>(watched);
                if (b->isEnabled() != Owner->FOkEnabled)
                    b->setEnabled(Owner->FOkEnabled);
            }
            return false;
        }
    } okGuard(this);
    if (QAbstractButton *ok = OkButton())
        ok->installEventFilter(&okGuard);

    struct TShowWatch : QObject {
        TBrowseFolder *Owner;
        QPointer<QWidget> Foreground;
        bool Done = false;
        TShowWatch(TBrowseFolder *o, QWidget *f) : Owner(o), Foreground(f) {}
        bool eventFilter(QObject *, QEvent *e) override
        {
            if (e->type() == QEvent::Show && !Done) {
                Done = true;
                Owner->Initialize(Foreground);
            }
            return false;
        }
    } showWatch(this, foreground);
    dialog.installEventFilter(&showWatch);

    const bool chosen = dialog.exec() == QDialog::Accepted;
    if (QAbstractButton *ok = OkButton())
        ok->removeEventFilter(&okGuard);
    if (chosen)
        Directory = FSelection;
    FDialog = nullptr;
    FCustomButton = nullptr;
    FStatus = nullptr;
    return chosen;
}

void TBrowseFolder::Initialize(QWidget *foreground)
{
    // A quarter of the way down the window the user was in, centred across it.
    if (foreground && foreground != FDialog) {
        const QRect fg = foreground->frameGeometry();
        const QSize own = FDialog->frameGeometry().size();
        FDialog->move(fg.left() + fg.width() / 2 - own.width() / 2, fg.top() + fg.height() / 4);
    }
    SelectionChanged();
    if (OnInitialized)
        OnInitialized(this, FDialog);
}

void TBrowseFolder::SelectionChanged()
{
    if (!FDialog)
        return;
    const QString item = FDialog->selectedFiles().value(0);
    const QFileInfo info(item);
    FSelection = !item.isEmpty() && info.isDir() && IsUnder(info.absoluteFilePath(), FRoot)
                     ? QDir::cleanPath(info.absoluteFilePath())
                     : QString();
    if (FStatus && ShowPathInStatusArea)
        FStatus->setText(ShortenPath(FSelection));
    FOkEnabled = !FSelection.isEmpty();
    ApplyOkState();
    if (SyncCustomButton)
        SetCustomButtonEnabled(FOkEnabled);
    if (OnSelectionChanged)
        OnSelectionChanged(this, FDialog, item, FSelection);
}

void TBrowseFolder::ApplyOkState()
{
    if (QAbstractButton *ok = OkButton())
        ok->setEnabled(FOkEnabled);
}

bool TBrowseFolder::Accepting()
{
    SelectionChanged();   // what is typed now counts, not what was selected before
    if (FSelection.isEmpty())
        return false;
    if (auto *check = qobject_cast<QCheckBox *>(FCustomButton))
        CustomButtonChecked = check->isChecked();
    return true;
}
