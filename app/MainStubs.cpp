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
void TMainForm::ReadSettings(const QString &) {}
// not built yet
void TMainForm::WriteSettings(const QString &) {}
// not built yet
void TMainForm::AddToHistory(QComboBox *) {}
// not built yet
void TMainForm::AddEditToHistory(QComboBox *) {}
// not built yet
void TMainForm::AskWindowsAddressBook() {}
// not built yet
void TMainForm::LoadSMTPProfile(const QString &) {}
// not built yet
void TMainForm::LoadNNTPProfile(const QString &) {}
// not built yet
void TMainForm::SaveSMTPProfile(const QString &) {}
// not built yet
void TMainForm::SaveNNTPProfile(const QString &) {}
// not built yet
bool TMainForm::SaveProfileAs() { return false; }
// not built yet
void TMainForm::btnSaveConfigClick() {}
// not built yet
void TMainForm::btnLoadConfigClick() {}
// not built yet
void TMainForm::btnAddressBookToClick() {}
// not built yet
void TMainForm::btnAddressBookCcClick() {}
// not built yet
void TMainForm::btnAddressBookBccClick() {}
// not built yet
void TMainForm::cbUseMAPIAddresBookClick() {}
// not built yet
void TMainForm::btnSelectTempDirClick() {}
