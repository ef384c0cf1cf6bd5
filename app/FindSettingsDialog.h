// The "Find settings" dialog: looks the sender address's domain up (TProviderLookup), shows
// what it found and where it came from, and hands the settings back only when the user accepts.
// Nothing found and errors are said plainly, with the manual's section on finding the
// settings by hand (F1 and the Help button).
#pragma once

#include "ProviderLookup.h"
#include "Strings.h"

#include <QDialog>

#include <functional>
#include <optional>

class QCheckBox;
class QFormLayout;
class QLabel;
class QProgressBar;
class QPushButton;

class TFindSettingsDialog : public QDialog {
    Q_OBJECT
public:
    // The manual's help context of this dialog and of the Find settings button.
    static constexpr int HelpContext = 15;

    // openLink opens the provider's pages (the window's document opener).
    TFindSettingsDialog(QWidget *parent, const TMailAddress &address, bool russian,
                        std::function<void(const QString &)> openLink);

    // Starts the lookup (the window calls it before exec; tests may call it themselves).
    void StartLookup();
    // After the lookup: the settings to fill in (a plain-text password result made safe), or
    // nothing when nothing was found.
    std::optional<TFoundSettings> Proposal() const;
    // The result as found, before it was made safe.
    const TLookupOutcome &Outcome() const { return Lookup->Outcome(); }
    bool SaveAsProfile() const;
    bool Searching() const { return Lookup->Running(); }

    TProviderLookup *Lookup;
    QLabel *lblStatus, *lblWarning, *lblNote, *lblSource, *lblTried;
    QLabel *lblHost, *lblPort, *lblSecurity, *lblUser;
    QProgressBar *Busy;
    QWidget *ResultPanel;
    QCheckBox *cbSaveProfile;
    QPushButton *btnUse, *btnCancel, *btnHelp;

    // Cancel, Esc and the close box: ends every lookup at once.
    void reject() override;

signals:
    void LookupFinished();

protected:
    void keyPressEvent(QKeyEvent *e) override;

private:
    void ShowProgress();
    void BuildResultPanel();
    void ShowOutcome();
    bool ShowTried(const TLookupOutcome &outcome);
    void ShowNothingFound(const TLookupOutcome &outcome, bool failed);
    void ShowFound(const TFoundSettings &found, bool failed);
    QString SourceText(const TFoundSettings &found) const;
    void FitToContents();
    // Message id of the string table in the dialog's language, formatted.
    template <class... A> QString T(int id, const A &...args) const { return TextIn(Russian, id, args...); }

    TMailAddress Address;
    bool Russian;
    std::function<void(const QString &)> OpenLink;
};

// The words for a security value, as the dialog shows it.
QString SecurityText(int security, bool russian);
