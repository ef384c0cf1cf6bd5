// The window on a desktop: files dropped on it or handed over from outside, the Tab chain,
// the icon and the size of its file dialogs.
#include "MainForm.h"
#include "MyStringGrid.h"

#include "AppHelp.h"
#include "Desktop.h"
#include "IniFile.h"
#include "Language.h"
#include "ScreenFit.h"

#include <QAbstractButton>
#include <QApplication>
#include <QButtonGroup>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QListView>
#include <QScrollBar>
#include <QSplitter>
#include <QTreeView>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <QUrl>

#include <algorithm>

namespace {

QStringList LocalFiles(const QMimeData *data)
{
    QStringList files;
    if (!data || !data->hasUrls())
        return files;
    for (const QUrl &url : data->urls())
        if (url.isLocalFile() && !url.toLocalFile().isEmpty())
            files << url.toLocalFile();
    return files;
}

// Takes drags of local files wherever they go on the window, also over fields that would
// otherwise paste the file's URL as text. Other drags (text, web links) are left alone.
class TFileDropFilter : public QObject
{
public:
    explicit TFileDropFilter(TMainForm *form) : QObject(form), Form(form) {}

protected:
    bool eventFilter(QObject *, QEvent *e) override
    {
        if (e->type() != QEvent::DragEnter && e->type() != QEvent::DragMove && e->type() != QEvent::Drop)
            return false;
        auto *drop = static_cast<QDropEvent *>(e);
        const QStringList files = LocalFiles(drop->mimeData());
        if (files.isEmpty())
            return false;
        // Copy or link only: accepting a move would let the file manager delete the files.
        const Qt::DropActions possible = drop->possibleActions();
        const Qt::DropAction action = possible & Qt::CopyAction ? Qt::CopyAction
                                      : possible & Qt::LinkAction ? Qt::LinkAction : Qt::IgnoreAction;
        if (Form->SendJobRunning() || action == Qt::IgnoreAction) {
            drop->ignore();
            return true;
        }
        drop->setDropAction(action);
        drop->accept();
        if (e->type() == QEvent::Drop) {
            // After the drop has finished: the add path may ask or report something.
            QTimer::singleShot(0, Form, [form = Form, files] { form->AcceptFilesFromOutside(files, false); });
        }
        return true;
    }

private:
    TMainForm *Form;
};

// Widens a file dialog's size, type and date columns and its side bar to their contents
// whenever a folder has been read: the dialog's defaults cut them ("12....MiB"). Columns the
// user made wider stay so.
//
// Also keeps the size the user gave a dialog in the settings file, for the next run.

class TFileDialogFitter : public QObject
{
public:
    TFileDialogFitter(TMainForm *form) : QObject(form), Form(form) {}

protected:
    bool eventFilter(QObject *watched, QEvent *e) override
    {
        auto *dialog = qobject_cast<QFileDialog *>(watched);
        if (dialog && e->type() == QEvent::Hide)
            KeepSize(dialog);
        if (e->type() != QEvent::Show || !dialog || dialog->property("sendorixFitted").toBool())
            return false;
        auto *view = dialog->findChild<QTreeView *>(QStringLiteral("treeView"));
        auto *model = dialog->findChild<QFileSystemModel *>();
        if (!view || !model)
            return false;   // a dialog of the desktop's own, not Qt's
        dialog->setProperty("sendorixFitted", true);
        auto fit = [dialog, view] {
            QHeaderView *header = view->header();
            for (int column = 1; column < header->count(); ++column) {
                const int need = std::max(header->sectionSizeHint(column), static_cast<QAbstractItemView *>(view)->sizeHintForColumn(column));
                if (!header->isSectionHidden(column) && header->sectionSize(column) < need)
                    header->resizeSection(column, need);
            }
            // The names take the room that is left.
            const int spare = view->viewport()->width() - header->length();
            if (spare > 0)
                header->resizeSection(0, header->sectionSize(0) + spare);
            auto *splitter = dialog->findChild<QSplitter *>(QStringLiteral("splitter"));
            auto *sidebar = dialog->findChild<QListView *>(QStringLiteral("sidebar"));
            if (splitter && sidebar && splitter->count() == 2) {
                QList<int> sizes = splitter->sizes();
                const int need = static_cast<QAbstractItemView *>(sidebar)->sizeHintForColumn(0) + 2 * sidebar->frameWidth()
                                 + sidebar->verticalScrollBar()->sizeHint().width();
                if (sizes[0] < need && sizes[1] > 2 * need) {
                    sizes[1] -= need - sizes[0];
                    sizes[0] = need;
                    splitter->setSizes(sizes);
                }
            }
        };
        connect(model, &QFileSystemModel::directoryLoaded, view, [view, fit] { QTimer::singleShot(0, view, fit); });
        QTimer::singleShot(0, view, fit);
        return false;
    }

private:
    void KeepSize(QFileDialog *dialog)
    {
        KeepDialogSize(TMainForm::SettingsIoPath(Form->SettingsFile), dialog);
    }

    TMainForm *Form;
};

bool InTabChain(const QWidget *w)
{
    return w->isVisible() && w->isEnabled() && (w->focusPolicy() & Qt::TabFocus) == Qt::TabFocus
           && !qobject_cast<const QScrollArea *>(w) && !qobject_cast<const QTabWidget *>(w);
}

// Rows from top to bottom (widgets whose middle lies within the first widget of a row belong
// to that row), each row from left to right.
void SortInReadingOrder(QList<QWidget *> &widgets, const QWidget *window)
{
    auto rect = [window](const QWidget *w) { return QRect(w->mapTo(window, QPoint(0, 0)), w->size()); };
    std::stable_sort(widgets.begin(), widgets.end(),
                     [&](const QWidget *a, const QWidget *b) { return rect(a).top() < rect(b).top(); });
    QList<QWidget *> sorted;
    for (qsizetype i = 0; i < widgets.size();) {
        const QRect first = rect(widgets[i]);
        qsizetype end = i + 1;
        while (end < widgets.size() && rect(widgets[end]).center().y() <= first.bottom())
            ++end;
        QList<QWidget *> row = widgets.mid(i, end - i);
        std::stable_sort(row.begin(), row.end(), [&](const QWidget *a, const QWidget *b) {
            const QRect ra = rect(a), rb = rect(b);
            return ra.left() != rb.left() ? ra.left() < rb.left() : ra.top() < rb.top();
        });
        sorted += row;
        i = end;
    }
    widgets = sorted;
}

} // namespace

void TMainForm::SetUpDesktop()
{
    setWindowIcon(ProgramIcon());

    setAcceptDrops(true);
    auto *drops = new TFileDropFilter(this);
    installEventFilter(drops);
    for (QWidget *w : findChildren<QWidget *>())
        if (w->acceptDrops())
            w->installEventFilter(drops);

    // Tab leaves the text fields instead of being taken by them (the grids leave it too).
    for (QPlainTextEdit *memo : findChildren<QPlainTextEdit *>())
        memo->setTabChangesFocus(true);

    FilesFromOutsideTimer = new QTimer(this);
    FilesFromOutsideTimer->setInterval(250);
    connect(FilesFromOutsideTimer, &QTimer::timeout, this, &TMainForm::AddFilesFromOutside);
}

void TMainForm::SetUpFileDialog(QFileDialog *d)
{
    // The file dialogs open large enough for their columns; a size the user gives one stays
    // with it, also for the next run.
    QSize screenSize(100000, 100000);
    if (const QScreen *screen = DialogScreen(d))
        screenSize = screen->availableGeometry().size() * 9 / 10;
    const QSize given = KeptDialogSize(SettingsIoPath(SettingsFile), d->objectName());
    d->resize((given.isValid() ? given : QSize(S(760), S(460))).boundedTo(screenSize));
    FitToScreen(d);
    d->installEventFilter(new TFileDialogFitter(this));
    // F1 opens the section of the page whose button opened the dialog.
    const QString name = d->objectName();
    const QWidget *opener = name == QLatin1String("FileDialog")      ? static_cast<QWidget *>(btnLoad)
                            : name == QLatin1String("SaveLogDialog") ? static_cast<QWidget *>(btnSaveLog)
                                                                     : static_cast<QWidget *>(btnSaveConfig);
    InstallHelpKey(d, HelpContextOf(opener));
}

void TMainForm::AcceptFilesFromOutside(const QStringList &paths, bool bringForward)
{
    if (bringForward) {
        if (isMinimized())
            showNormal();
        show();
        raise();
        activateWindow();
    }
    FilesFromOutside += ExpandFolders(paths);
    AddFilesFromOutside();
}

void TMainForm::AddFilesFromOutside()
{
    if (FilesFromOutside.isEmpty()) {
        FilesFromOutsideTimer->stop();
        return;
    }
    // Not into a running job's list, nor behind an open dialog's back: they wait their turn.
    if (SendJobRunning() || QApplication::activeModalWidget()) {
        if (!FilesFromOutsideTimer->isActive())
            FilesFromOutsideTimer->start();
        return;
    }
    // Files that waited for a job do not push its protocol out of sight.
    const bool waited = FilesFromOutsideTimer->isActive();
    FilesFromOutsideTimer->stop();
    const QStringList files = std::exchange(FilesFromOutside, {});
    RunGuarded(this, [&] { AddFilesToList(files); });
    if (!waited)
        PageControl->setCurrentWidget(TabSheet3);
    gridFiles->scrollToBottom();   // where the new files are
}

QList<QWidget *> TMainForm::TabChain() const
{
    QList<QWidget *> chain;
    auto add = [&chain](QWidget *w) {
        if (w && InTabChain(w) && !chain.contains(w))
            chain << w;
    };
    // Everything the window holds that Tab can reach; the parts of a composite control
    // (a combo box's text field, a spin box's) go with the control.
    QList<QWidget *> candidates;
    for (QWidget *w : findChildren<QWidget *>()) {
        if (!InTabChain(w))
            continue;
        bool part = false;
        for (QWidget *p = w->parentWidget(); p && p != this; p = p->parentWidget())
            part = part || InTabChain(p);
        if (!part)
            candidates << w;
    }
    auto inside = [](const QWidget *w, const QWidget *container) {
        return container && (w == container || container->isAncestorOf(w));
    };

    // Buttons of an exclusive group give up Tab focus while another of the group is checked
    // (only the checked one would be reached); here every one of them is a stop.
    for (QWidget *w : QList<QWidget *>{btnMail, btnNews} + PageTabs->findChildren<QWidget *>())
        if (w->isVisible() && w->isEnabled())
            chain << w;
    QList<QWidget *> page;
    for (QWidget *w : candidates)
        if (inside(w, PageControl->currentWidget()))
            page << w;
    SortInReadingOrder(page, this);
    for (QWidget *w : page)
        add(w);
    for (QWidget *w : {static_cast<QWidget *>(btnSend), static_cast<QWidget *>(btnCancel),
                       static_cast<QWidget *>(btnClose), static_cast<QWidget *>(comboLanguage)})
        add(w);
    QList<QWidget *> rest;
    for (QWidget *w : candidates)
        if (!chain.contains(w) && !inside(w, PageTabs))
            rest << w;
    SortInReadingOrder(rest, this);
    for (QWidget *w : rest)
        add(w);
    return chain;
}

bool TMainForm::focusNextPrevChild(bool next)
{
    const QList<QWidget *> chain = TabChain();
    if (chain.isEmpty())
        return QWidget::focusNextPrevChild(next);
    qsizetype at = -1;
    for (QWidget *w = QApplication::focusWidget(); w && w != this && at < 0; w = w->parentWidget())
        at = chain.indexOf(w);
    const qsizetype n = chain.size();
    const qsizetype to = at < 0 ? (next ? 0 : n - 1) : (at + (next ? 1 : n - 1)) % n;
    QWidget *target = chain[to];
    for (QWidget *p = target->parentWidget(); p && p != this; p = p->parentWidget())
        if (auto *area = qobject_cast<QScrollArea *>(p))
            area->ensureWidgetVisible(target);
    target->setFocus(next ? Qt::TabFocusReason : Qt::BacktabFocusReason);
    return true;
}
