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
void TMainForm::btnSendClick() {}
// not built yet
bool TMainForm::CheckBeforeSend() { return false; }
// not built yet
void TMainForm::EnterSendState() {}
// not built yet
void TMainForm::LeaveSendState() {}
// not built yet
void TMainForm::FilesToSend(QStringList &) {}
// not built yet
void TMainForm::ClearProtocol() {}
// not built yet
void TMainForm::AddProtocolLine(const QString &, const QString &) {}
// not built yet
void TMainForm::AddProtocolText(const QString &) {}
// not built yet
void TMainForm::AppendToProtocolLine(const QString &, const QString &) {}
// not built yet
void TMainForm::btnSaveLogClick() {}
// not built yet
void TMainForm::btnLoadClick() {}
// not built yet
void TMainForm::btnDeleteClick() {}
// not built yet
void TMainForm::btnClearClick() {}
// not built yet
void TMainForm::btnNoDuplicatiesClick() {}
// not built yet
void TMainForm::btnAddressBookToClick() {}
// not built yet
void TMainForm::btnAddressBookCcClick() {}
// not built yet
void TMainForm::btnAddressBookBccClick() {}
// not built yet
void TMainForm::btnSelectTempDirClick() {}
