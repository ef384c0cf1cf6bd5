// A folder chooser: Qt's own directory dialog (not the desktop's, so it can be extended) with a
// title above the folders, a preselected folder, a status line showing the selection's path,
// OK only for real folders and an optional extra push button or check box.
#pragma once

#include <QObject>
#include <QString>

#include <functional>

class QAbstractButton;
class QFileDialog;
class QLabel;
class QWidget;

enum TBrowseInfoFlag : unsigned {
    bfFileSysDirsOnly = 1,
    bfDontGoBelowDomain = 2,
    bfStatusText = 4,
    bfFileSysAncestors = 8,
    bfBrowseForComputer = 4096,
    bfBrowseForPrinter = 8192
};
using TBrowseInfoFlags = unsigned;   // the sum of the members present

// Where the folder tree starts. The numbers are the classic special-folder numbers; see
// RootPath for the folder each stands for here.
enum TSHFolders {
    foDesktopExpanded = -1,   // no root: the whole file system
    foDesktop = 0,
    foPrograms = 2,
    foControlPanel = 3,
    foPrinters = 4,
    foPersonal = 5,
    foFavorites = 6,
    foStartup = 7,
    foRecent = 8,
    foSendto = 9,
    foRecycleBin = 10,
    foStartMenu = 11,
    foDesktopDirectory = 16,
    foMyComputer = 17,
    foNetwork = 18,
    foNetworkNeighborhood = 19,
    foFonts = 20,
    foTemplates = 21
};

enum TCustomButtonType { btPushButton, btCheckBox };

// Shortens a long path for a status line: the first component, the filler in place of the
// second, and as many of the last components as fit in `limit` characters (at least the last).
QString ShortenPath(const QString &path, QChar separator = QLatin1Char('/'),
                    const QString &filler = QStringLiteral("..."), int limit = 35);

class TBrowseFolder : public QObject {
public:
    explicit TBrowseFolder(QObject *owner = nullptr);
    ~TBrowseFolder() override;

    // ---- published properties
    QString Directory;   // preselected on open; the chosen folder after a successful Execute
    QString Title;       // shown above the folders
    TBrowseInfoFlags Flags = bfFileSysDirsOnly | bfStatusText;
    bool ShowPathInStatusArea = false;
    TSHFolders RootFolder = foDesktopExpanded;
    bool CustomButtonVisible = false;
    bool CustomButtonEnabled() const { return FCustomButtonEnabled; }
    void SetCustomButtonEnabled(bool enabled);          // at once while the dialog is open
    QString CustomButtonCaption() const { return FCustomButtonCaption; }
    void SetCustomButtonCaption(const QString &caption);   // at once while the dialog is open
    int CustomButtonWidth() const { return FCustomButtonWidth; }
    void SetCustomButtonWidth(int width);               // 0 or less means 75
    TCustomButtonType CustomButtonType = btPushButton;
    bool CustomButtonChecked = false;   // the check box's state, in on open, out on OK
    bool SyncCustomButton = false;      // extra button enabled exactly when OK is

    // ---- events
    std::function<void(TBrowseFolder *Sender, QWidget *Dialog)> OnInitialized;
    std::function<void(TBrowseFolder *Sender, QWidget *Dialog, const QString &Item,
                       const QString &Directory)>
        OnSelectionChanged;
    std::function<void(TBrowseFolder *Sender, QWidget *Dialog)> OnCustomButtonClick;

    // The window the dialog belongs to; when unset (or gone), the owner if it is a widget,
    // else the application's active window.
    QWidget *OwnerWindow = nullptr;

    // Shows the dialog; true with Directory set when the user confirmed a folder.
    bool Execute();

    // ---- while the dialog is open (null otherwise)
    QFileDialog *Dialog() const { return FDialog; }
    QAbstractButton *CustomButton() const { return FCustomButton; }
    QLabel *StatusLabel() const { return FStatus; }
    QAbstractButton *OkButton() const;
    QString Selection() const { return FSelection; }   // the selection's folder; empty if none

    // The folder a root value stands for on this system (empty for foDesktopExpanded).
    static QString RootPath(TSHFolders folder, TBrowseInfoFlags flags = 0);

private:
    friend class TFolderDialog;
    QWidget *DialogParent() const;
    void AddOwnRows(QFileDialog &dialog);
    void Initialize(QWidget *foreground);
    void SelectionChanged();
    void ApplyOkState();
    bool Accepting();

    bool FCustomButtonEnabled = true;
    QString FCustomButtonCaption;
    int FCustomButtonWidth = 75;

    QFileDialog *FDialog = nullptr;
    QAbstractButton *FCustomButton = nullptr;
    QLabel *FStatus = nullptr;
    QString FSelection;
    QString FRoot;
    bool FOkEnabled = false;
};
