// Commands of the main window whose parts of the program are not built yet. Each is replaced
// by its real implementation in its own file (MainSend.cpp, MainProtocol.cpp, MainFiles.cpp,
// MainSettings.cpp, MainProfiles.cpp, ...) and removed from here.
#include "MainForm.h"

#include <QComboBox>

// not built yet
void TMainForm::CreateBanner() {}
// not built yet
void TMainForm::AdvertPopupMenuItemOpenClick() {}
// not built yet
void TMainForm::btnSelectTempDirClick() {}
