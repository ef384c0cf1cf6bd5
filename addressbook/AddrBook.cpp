#include "AddrBook.h"

#include "AddAddr.h"
#include "AppHelp.h"
#include "ComDialogs.h"
#include "Global.h"
#include "IniFile.h"
#include "Language.h"
#include "MyStringGrid.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QFileInfo>
#include <QHeaderView>
#include <QHelpEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QResizeEvent>
#include <QPushButton>
#include <QToolTip>

#include <algorithm>

namespace {

const QString BookSection = QStringLiteral("Addresses");
// What a read returns for an absent key; a value equal to it counts as absent.
const QString AbsentMarker = QStringLiteral("this string is not in inifile");

QString nameKey(int n)
{
    return QStringLiteral("Name%1").arg(n);
}

QString addressKey(int n)
{
    return QStringLiteral("Address%1").arg(n);
}

// The selected rows as one range (the grids allow one contiguous range), or the focused row.
void selectedRange(const TMyStringGrid *grid, int &top, int &bottom)
{
    const QList<QTableWidgetSelectionRange> ranges = grid->selectedRanges();
    if (ranges.isEmpty()) {
        top = bottom = std::max(0, grid->currentRow());
        return;
    }
    top = ranges.first().topRow();
    bottom = ranges.first().bottomRow();
    for (const QTableWidgetSelectionRange &r : ranges) {
        top = std::min(top, r.topRow());
        bottom = std::max(bottom, r.bottomRow());
    }
}

bool sameAddress(const QString &a, const QString &b)
{
    return QString::compare(TrimBlanks(a), TrimBlanks(b), Qt::CaseInsensitive) == 0;
}

// The hourglass for the life of the object.
struct TBusyCursor
{
    TBusyCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~TBusyCursor() { QApplication::restoreOverrideCursor(); }
};

TMyStringGrid *makeGrid(QWidget *parent, const char *name)
{
    auto *grid = new TMyStringGrid(2, parent);
    grid->setObjectName(QString::fromLatin1(name));
    grid->horizontalHeader()->show();   // the title row
    grid->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    grid->horizontalHeader()->setHighlightSections(false);
    // The address column takes what is left of the width, so no empty strip remains.
    grid->horizontalHeader()->setStretchLastSection(true);
    grid->setSelectionBehavior(QAbstractItemView::SelectRows);
    grid->setSelectionMode(QAbstractItemView::ContiguousSelection);
    grid->setWordWrap(false);
    grid->setTextElideMode(Qt::ElideRight);
    grid->setContextMenuPolicy(Qt::CustomContextMenu);
    return grid;
}

QPushButton *makeButton(QWidget *parent, const char *name, const QString &text = QString())
{
    auto *b = new QPushButton(text, parent);
    b->setObjectName(QString::fromLatin1(name));
    b->setAutoDefault(false);
    return b;
}

} // namespace

// ---- The book file ------------------------------------------------------------------------

QString AddressBookFileBeside(const QString &settingsFile)
{
    return QFileInfo(settingsFile).absolutePath() + QStringLiteral("/Sendorix.adr");
}

TRecipientList ReadAddressBook(const QString &path)
{
    const TIniFile ini(path);
    TRecipientList entries;
    for (int n = 1;; ++n) {
        const QString name = ini.ReadString(BookSection, nameKey(n), AbsentMarker);
        if (name == AbsentMarker)
            break;
        QString address = ini.ReadString(BookSection, addressKey(n), AbsentMarker);
        if (address == AbsentMarker)
            address.clear();
        entries.append({address, name});
    }
    return entries;
}

void WriteAddressBook(const QString &path, const TRecipientList &entries)
{
    TIniFile ini(path);
    ini.EraseSection(BookSection);
    const TRecipientList rows = entries.isEmpty() ? TRecipientList{TRecipient{}} : entries;
    for (int n = 1; n <= rows.size(); ++n) {
        ini.WriteString(BookSection, nameKey(n), rows[n - 1].Name);
        ini.WriteString(BookSection, addressKey(n), rows[n - 1].Address);
    }
    ini.UpdateFile();
}

// ---- The dialog ---------------------------------------------------------------------------

TAddressBook::TAddressBook(QWidget *parent, const QString &bookFile)
    : TOKBottomDlg(parent, 538, 354), BookFile(bookFile)
{
    setObjectName(QStringLiteral("AddressBook"));
    InstallHelpKey(this, OwnBookHelpContext);
    lblAddresses = new QLabel(this);
    lblAddresses->setObjectName(QStringLiteral("lblAddresses"));
    lblReceivers = new QLabel(this);
    lblReceivers->setObjectName(QStringLiteral("lblReceivers"));
    gridAdresses = makeGrid(this, "gridAdresses");
    gridTarget = makeGrid(this, "gridTarget");
    lblAddresses->setBuddy(gridAdresses);
    lblReceivers->setBuddy(gridTarget);
    btnToTarget = makeButton(this, "btnToTarget", QStringLiteral("->"));
    btnFromTarget = makeButton(this, "btnFromTarget", QStringLiteral("<-"));
    btnNewAddr = makeButton(this, "btnNewAddr");
    btnEditAddr = makeButton(this, "btnEditAddr");
    btnDeleteAddress = makeButton(this, "btnDeleteAddress");
    cbNoDuplicates = new QCheckBox(this);
    cbNoDuplicates->setObjectName(QStringLiteral("cbNoDuplicates"));
    btnTargetDeleteAddr = makeButton(this, "btnTargetDeleteAddr");
    for (TMyStringGrid *g : {gridAdresses, gridTarget})
        g->viewport()->installEventFilter(this);

    // Context menus; their keys act while their grid has the focus.
    auto item = [](QMenu *menu, TMyStringGrid *grid, const char *name,
                   const QList<QKeySequence> &keys) {
        QAction *a = menu->addAction(QString());
        a->setObjectName(QString::fromLatin1(name));
        a->setShortcuts(keys);
        a->setShortcutContext(Qt::WidgetShortcut);
        grid->addAction(a);
        return a;
    };
    popupAddr = new QMenu(this);
    popupAddr->setObjectName(QStringLiteral("popupAddr"));
    piNewAddr = item(popupAddr, gridAdresses, "piNewAddr", {QKeySequence(Qt::Key_Insert)});
    piEditAddr = item(popupAddr, gridAdresses, "piEditAddr",
                      {QKeySequence(Qt::ALT | Qt::Key_Return), QKeySequence(Qt::ALT | Qt::Key_Enter)});
    piDeleteAddr = item(popupAddr, gridAdresses, "piDeleteAddr", {QKeySequence(Qt::Key_Delete)});
    popupAddr->addSeparator();
    piAddToAddr = item(popupAddr, gridAdresses, "piAddToAddr",
                       {QKeySequence(Qt::CTRL | Qt::Key_Return), QKeySequence(Qt::CTRL | Qt::Key_Enter)});
    popupTarget = new QMenu(this);
    popupTarget->setObjectName(QStringLiteral("popupTarget"));
    piDeleteReceiver = item(popupTarget, gridTarget, "piDeleteReceiver", {QKeySequence(Qt::Key_Delete)});
    connect(gridAdresses, &QWidget::customContextMenuRequested, this, [this](const QPoint &pos) {
        popupAddr->popup(gridAdresses->viewport()->mapToGlobal(pos));
    });
    connect(gridTarget, &QWidget::customContextMenuRequested, this, [this](const QPoint &pos) {
        popupTarget->popup(gridTarget->viewport()->mapToGlobal(pos));
    });

    // Every command runs guarded: a failure shows its box and leaves the dialog open.
    auto guarded = [this](void (TAddressBook::*handler)()) {
        return [this, handler] { RunGuarded(this, [&] { (this->*handler)(); }); };
    };
    connect(btnNewAddr, &QPushButton::clicked, this, guarded(&TAddressBook::piNewAddrClick));
    connect(piNewAddr, &QAction::triggered, this, guarded(&TAddressBook::piNewAddrClick));
    connect(btnEditAddr, &QPushButton::clicked, this, guarded(&TAddressBook::btnEditAddrClick));
    connect(piEditAddr, &QAction::triggered, this, guarded(&TAddressBook::btnEditAddrClick));
    connect(btnDeleteAddress, &QPushButton::clicked, this, guarded(&TAddressBook::piDeleteAddrClick));
    connect(piDeleteAddr, &QAction::triggered, this, guarded(&TAddressBook::piDeleteAddrClick));
    connect(btnToTarget, &QPushButton::clicked, this, guarded(&TAddressBook::btnToTargetClick));
    connect(piAddToAddr, &QAction::triggered, this, guarded(&TAddressBook::btnToTargetClick));
    for (QPushButton *b : {btnFromTarget, btnTargetDeleteAddr})
        connect(b, &QPushButton::clicked, this, guarded(&TAddressBook::btnFromTargetClick));
    connect(piDeleteReceiver, &QAction::triggered, this, guarded(&TAddressBook::btnFromTargetClick));
    connect(cbNoDuplicates, &QCheckBox::clicked, this, guarded(&TAddressBook::cbNoDuplicatesClick));

    setTabOrder(gridAdresses, btnToTarget);
    setTabOrder(btnToTarget, btnFromTarget);
    setTabOrder(btnFromTarget, gridTarget);
    setTabOrder(gridTarget, btnNewAddr);
    setTabOrder(btnNewAddr, btnEditAddr);
    setTabOrder(btnEditAddr, btnDeleteAddress);
    setTabOrder(btnDeleteAddress, cbNoDuplicates);
    setTabOrder(cbNoDuplicates, btnTargetDeleteAddr);
    setTabOrder(btnTargetDeleteAddr, OKBtn);
    setTabOrder(OKBtn, CancelBtn);

    SetBookCaptions();
    const int rowH = std::max(S(16), fontMetrics().height() + 3);
    for (TMyStringGrid *g : {gridAdresses, gridTarget}) {
        g->verticalHeader()->setMinimumSectionSize(1);
        g->verticalHeader()->setDefaultSectionSize(rowH);
    }
    gridAdresses->setColumnWidth(0, S(88));
    gridAdresses->setColumnWidth(1, S(97));
    gridTarget->setColumnWidth(0, S(97));
    gridTarget->setColumnWidth(1, S(90));
    gridAdresses->setFocus();
    FormCreate();
}

TAddressBook::~TAddressBook()
{
    if (!destroyed_)
        RunGuarded(parentWidget(), [this] { FormDestroy(); });
}

void TAddressBook::FormCreate()
{
    LoadBook();
}

void TAddressBook::FormDestroy()
{
    if (destroyed_)
        return;
    destroyed_ = true;   // a failed save is reported once, not again by the destructor
    SaveBook();
}

bool TAddressBook::IsBlank(const TMyStringGrid *grid)
{
    return grid->rowCount() == 1 && grid->Cell(0, 0).isEmpty() && grid->Cell(0, 1).isEmpty();
}

TRecipientList TAddressBook::Entries() const
{
    TRecipientList list;
    for (int r = 0; r < gridAdresses->rowCount(); ++r)
        list.append({gridAdresses->Cell(r, 1), gridAdresses->Cell(r, 0)});
    return list;
}

TRecipientList TAddressBook::Receivers() const
{
    TRecipientList list;
    for (int r = 0; r < gridTarget->rowCount(); ++r)
        list.append({gridTarget->Cell(r, 1), gridTarget->Cell(r, 0)});
    return list;
}

void TAddressBook::SetReceivers(const TRecipientList &list)
{
    gridTarget->clearContents();
    gridTarget->setRowCount(std::max<int>(1, static_cast<int>(list.size())));
    for (int r = 0; r < list.size(); ++r) {
        gridTarget->SetCell(r, 0, list[r].Name);
        gridTarget->SetCell(r, 1, list[r].Address);
    }
}

void TAddressBook::LoadBook()
{
    const TRecipientList entries = ReadAddressBook(BookFile);
    if (!entries.isEmpty()) {
        gridAdresses->clearContents();
        gridAdresses->setRowCount(static_cast<int>(entries.size()));
        for (int r = 0; r < entries.size(); ++r) {
            gridAdresses->SetCell(r, 0, entries[r].Name);
            gridAdresses->SetCell(r, 1, entries[r].Address);
        }
    }
    UpdateButtons();
}

void TAddressBook::SaveBook()
{
    WriteAddressBook(BookFile, Entries());
}

bool TAddressBook::IsBookEmpty() const
{
    return IsBlank(gridAdresses);
}

void TAddressBook::UpdateButtons()
{
    const bool any = !IsBookEmpty();
    btnEditAddr->setEnabled(any);
    btnDeleteAddress->setEnabled(any);
}

void TAddressBook::piNewAddrClick()
{
    TAddAddress dialog(this);
    dialog.SetAddressCaptions();
    if (dialog.exec() != QDialog::Accepted)
        return;
    int row = gridAdresses->rowCount() - 1;
    if (!gridAdresses->Cell(row, 0).isEmpty() || !gridAdresses->Cell(row, 1).isEmpty()) {
        gridAdresses->insertRow(++row);
        gridAdresses->setCurrentCell(row, 0);
    }
    gridAdresses->SetCell(row, 0, dialog.edName->text());
    gridAdresses->SetCell(row, 1, dialog.edAddress->text());
    UpdateButtons();
}

void TAddressBook::EditRow(TMyStringGrid *grid)
{
    const int row = grid->currentRow();
    if (row < 0)
        return;
    TAddAddress dialog(this);
    dialog.SetAddressCaptions();
    dialog.edName->setText(grid->Cell(row, 0));
    dialog.edAddress->setText(grid->Cell(row, 1));
    // A long text shows its beginning, not its end.
    dialog.edName->setCursorPosition(0);
    dialog.edAddress->setCursorPosition(0);
    if (dialog.exec() != QDialog::Accepted)
        return;
    grid->SetCell(row, 0, dialog.edName->text());
    grid->SetCell(row, 1, dialog.edAddress->text());
    // Editing the blank row of an empty book fills the book.
    UpdateButtons();
}

void TAddressBook::DeleteRows(TMyStringGrid *grid, bool confirm)
{
    if (confirm && ComMessageDlg(Text(TextId::AreYouSure), mtConfirmation, {mbOK, mbCancel}, 0) != mrOk)
        return;
    const int focused = grid->currentRow();
    int top = 0, bottom = 0;
    selectedRange(grid, top, bottom);
    for (int row = bottom; row >= top; --row) {
        if (grid->rowCount() == 1) {
            grid->DeleteRow(0);   // the only row is emptied, not removed
            return;
        }
        grid->DeleteRow(row);
    }
    const int row = focused >= 0 && focused < grid->rowCount() ? focused : grid->rowCount() - 1;
    grid->setCurrentCell(row, 0);
}

void TAddressBook::btnEditAddrClick()
{
    EditRow(gridAdresses);
}

void TAddressBook::piDeleteAddrClick()
{
    DeleteRows(gridAdresses, true);
    UpdateButtons();
}

void TAddressBook::btnFromTargetClick()
{
    DeleteRows(gridTarget, false);
}

bool TAddressBook::IsReceiver(const QString &address) const
{
    if (TrimBlanks(address).isEmpty())
        return false;
    for (int r = 0; r < gridTarget->rowCount(); ++r)
        if (sameAddress(gridTarget->Cell(r, 1), address))
            return true;
    return false;
}

void TAddressBook::btnToTargetClick()
{
    const bool noDuplicates = cbNoDuplicates->isChecked();
    const int focused = gridAdresses->currentRow();
    if (noDuplicates && focused >= 0 && IsReceiver(gridAdresses->Cell(focused, 1)))
        return;
    int top = 0, bottom = 0;
    selectedRange(gridAdresses, top, bottom);
    for (int row = top; row <= bottom; ++row) {
        const QString name = gridAdresses->Cell(row, 0);
        const QString address = gridAdresses->Cell(row, 1);
        // With No duplicates on, the other selected rows must not bring one in either.
        if (noDuplicates && IsReceiver(address))
            continue;
        int target = 0;
        if (!IsBlank(gridTarget)) {
            target = gridTarget->rowCount();
            gridTarget->insertRow(target);
        }
        gridTarget->SetCell(target, 0, name);
        gridTarget->SetCell(target, 1, address);
    }
    OKBtn->setDefault(true);
}

void TAddressBook::RemoveDuplicates()
{
    const TBusyCursor busy;
    for (int j = 0; j < gridTarget->rowCount(); ++j) {
        const QString address = gridTarget->Cell(j, 1);
        for (int k = j + 1; k < gridTarget->rowCount();) {
            if (sameAddress(gridTarget->Cell(k, 1), address))
                gridTarget->DeleteRow(k);
            else
                ++k;
        }
    }
}

void TAddressBook::cbNoDuplicatesClick()
{
    if (cbNoDuplicates->isChecked())
        RemoveDuplicates();
}

void TAddressBook::SetBookCaptions()
{
    setWindowTitle(Text(TextId::AddressBookTitle));
    CancelBtn->setText(Text(TextId::Cancel));
    const QStringList titles = {Text(TextId::NameColumn), Text(TextId::AddressColumn)};
    gridAdresses->setHorizontalHeaderLabels(titles);
    gridTarget->setHorizontalHeaderLabels(titles);
    piNewAddr->setText(Text(TextId::NewAddressItem));
    piEditAddr->setText(Text(TextId::EditAddressItem));
    piDeleteAddr->setText(Text(TextId::DeleteAddressItem));
    piAddToAddr->setText(Text(TextId::SelectAsReceiverItem));
    lblAddresses->setText(Text(TextId::AddressesLabel));
    lblReceivers->setText(Text(TextId::ReceiversLabel));
    piDeleteReceiver->setText(Text(TextId::DeleteReceiverItem));
    btnToTarget->setToolTip(Text(TextId::AddReceiverHint));
    btnFromTarget->setToolTip(Text(TextId::RemoveReceiverHint));
    btnNewAddr->setText(Text(TextId::AddButton));
    btnEditAddr->setText(Text(TextId::EditButton));
    btnDeleteAddress->setText(Text(TextId::DeleteButton));
    btnTargetDeleteAddr->setText(Text(TextId::DeleteButton));
    cbNoDuplicates->setText(Text(TextId::NoDuplicatesBox));
    Arrange();
}

// The fixed parts of the layout for the current captions: the grids take the rest of the size.
TAddressBook::TBookLayout TAddressBook::Layout() const
{
    TBookLayout m;
    m.BookButtonW = S(65);
    m.ButtonH = std::max(S(25), btnNewAddr->sizeHint().height());
    for (QPushButton *b : {btnNewAddr, btnEditAddr, btnDeleteAddress, btnTargetDeleteAddr})
        m.BookButtonW = std::max(m.BookButtonW, b->sizeHint().width());
    // Closer than the design's 7: three buttons under each grid must fit 640 pixels at 2x.
    m.Gap = S(4);
    m.CheckW = cbNoDuplicates->sizeHint().width();
    // A grid is never narrower than the buttons under it; below that it scrolls.
    m.MinGridW = std::max(3 * m.BookButtonW + 2 * m.Gap, m.CheckW + m.Gap + m.BookButtonW);
    m.MiddleW = std::max(btnToTarget->sizeHint().width(), btnFromTarget->sizeHint().width());
    m.Left = S(16);
    m.Top = S(32);
    m.Around = m.Left + S(7) + m.MiddleW + S(5) + S(17);
    m.Below = S(7) + m.ButtonH + S(12) + FrameBottom();
    return m;
}

// The grids share what the window's size leaves them; everything else keeps its place.
void TAddressBook::Arrange()
{
    for (QLabel *l : {lblAddresses, lblReceivers})
        l->adjustSize();
    const TBookLayout m = Layout();
    const QSize least(m.Around + 2 * m.MinGridW, m.Top + S(72) + m.Below);
    setMinimumSize(least);
    setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    // The designed size is where the book starts (the window may give it the user's own).
    if (!designSized_) {
        designSized_ = true;
        resize(least.expandedTo(QSize(S(538), S(354))));
        CentreOnScreen();
    }
    const int width = std::max(this->width(), least.width());
    const int height = std::max(this->height(), least.height());
    const int gridW = (width - m.Around) / 2;
    const int gridH = height - m.Top - m.Below;
    const int middleX = m.Left + gridW + S(7);
    const int targetX = middleX + m.MiddleW + S(5);

    gridAdresses->setGeometry(m.Left, m.Top, gridW, gridH);
    gridTarget->setGeometry(targetX, m.Top, gridW, gridH);
    btnToTarget->setGeometry(middleX, m.Top, m.MiddleW, m.ButtonH);
    btnFromTarget->setGeometry(middleX, m.Top + m.ButtonH + S(7), m.MiddleW, m.ButtonH);
    lblAddresses->move(m.Left, m.Top - lblAddresses->height() - S(3));
    lblReceivers->move(targetX, m.Top - lblReceivers->height() - S(3));

    const int rowY = m.Top + gridH + S(7);
    QPushButton *bookButtons[] = {btnNewAddr, btnEditAddr, btnDeleteAddress};
    for (int i = 0; i < 3; ++i)
        bookButtons[i]->setGeometry(m.Left + i * (m.BookButtonW + m.Gap), rowY, m.BookButtonW, m.ButtonH);
    btnTargetDeleteAddr->setGeometry(targetX + gridW - m.BookButtonW, rowY, m.BookButtonW, m.ButtonH);
    cbNoDuplicates->setGeometry(targetX, rowY, m.CheckW, m.ButtonH);
    PlaceFrame(width, height);
}

void TAddressBook::resizeEvent(QResizeEvent *event)
{
    TOKBottomDlg::resizeEvent(event);
    Arrange();
}

bool TAddressBook::eventFilter(QObject *watched, QEvent *event)
{
    TMyStringGrid *grid = watched == gridAdresses->viewport() ? gridAdresses
                          : watched == gridTarget->viewport() ? gridTarget
                                                              : nullptr;
    if (grid == nullptr)
        return TOKBottomDlg::eventFilter(watched, event);
    if (event->type() == QEvent::MouseButtonDblClick) {
        // Only a plain left double click: with Shift, Ctrl or Alt it is a selection gesture.
        const auto *me = static_cast<QMouseEvent *>(event);
        if (me->button() == Qt::LeftButton && me->buttons() == Qt::LeftButton
            && (me->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
            if (grid == gridAdresses)
                RunGuarded(this, [this] { btnToTargetClick(); });
            else
                RunGuarded(this, [this] { EditRow(gridTarget); });
            return true;
        }
    }
    if (event->type() == QEvent::ToolTip) {
        // A cell too narrow for its text shows it whole as a tip.
        const auto *he = static_cast<QHelpEvent *>(event);
        const QModelIndex index = grid->indexAt(he->pos());
        const QString text = index.isValid() ? grid->Cell(index.row(), index.column()) : QString();
        if (!text.isEmpty()
            && grid->fontMetrics().horizontalAdvance(text) + S(6) > grid->columnWidth(index.column()))
            QToolTip::showText(he->globalPos(), text, grid->viewport());
        else
            QToolTip::hideText();
        return true;
    }
    return TOKBottomDlg::eventFilter(watched, event);
}
