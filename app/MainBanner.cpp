// The main window's banner below the pages, and the browse button of the temporary folder.
#include "MainForm.h"

#include "AdImage.h"
#include "BrowseFolder.h"
#include "Strings.h"

#include <QComboBox>

#include <algorithm>

void TMainForm::CreateBanner()
{
    // A missing or broken banner library leaves an empty strip and a line on standard error;
    // the rest of the start-up goes on regardless.
    Banner = new TAdImage(this);
    Banner->setObjectName(QStringLiteral("Banner"));
    Banner->ProgramID = 473;
    // Centred as designed; the banner keeps its own pixel size when the window is scaled up.
    Banner->move(std::max(S(27), (S(521) - Banner->width()) / 2), S(315));
    Banner->setToolTip(QStringLiteral("Click here!"));
    Banner->setCursor(Qt::PointingHandCursor);
    Banner->SetPopupMenu(AdvertPopupMenu);
    Banner->StartAds();
}

void TMainForm::AdvertPopupMenuItemOpenClick()
{
    if (Banner)
        Banner->Click();
}

void TMainForm::btnSelectTempDirClick()
{
    BrowseFolder->Directory = edTempDir->currentText();
    BrowseFolder->Title = Msg(TextId::TempFolderBrowserTitle);
    if (BrowseFolder->Execute())
        edTempDir->setEditText(BrowseFolder->Directory);
}
