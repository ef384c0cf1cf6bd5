#include "FindSettingsDialog.h"

#include "AppHelp.h"
#include "ScreenFit.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>

namespace {

// Long names and addresses may wrap after their separators instead of widening the dialog.
QString Breakable(const QString &text)
{
    QString out;
    for (const QChar c : text) {
        out += c;
        if (c == QLatin1Char('/') || c == QLatin1Char('.') || c == QLatin1Char('?') || c == QLatin1Char('&')
            || c == QLatin1Char('=') || c == QLatin1Char('_') || c == QLatin1Char('-'))
            out += QChar(0x200B);
    }
    return out;
}

QString Link(const QString &url)
{
    return QStringLiteral("<a href=\"%1\">%2</a>").arg(url.toHtmlEscaped(), Breakable(url).toHtmlEscaped());
}

QLabel *Value(QWidget *parent, const char *name)
{
    auto *l = new QLabel(parent);
    l->setObjectName(QString::fromLatin1(name));
    l->setTextFormat(Qt::PlainText);
    l->setTextInteractionFlags(Qt::TextSelectableByMouse);
    l->setWordWrap(true);
    return l;
}

}  // namespace

QString SecurityText(int security, bool russian)
{
    switch (security) {
    case fsStartTls:
        return QStringLiteral("STARTTLS");
    case fsTls:
        return QStringLiteral("SSL/TLS");
    default:
        return TextIn(russian, TextId::NoEncryption);
    }
}

TFindSettingsDialog::TFindSettingsDialog(QWidget *parent, const TMailAddress &address, bool russian,
                                         std::function<void(const QString &)> openLink)
    : QDialog(parent), Address(address), Russian(russian), OpenLink(std::move(openLink))
{
    setObjectName(QStringLiteral("FindSettingsDialog"));
    setWindowTitle(T(TextId::FindSettingsTitle));
    Lookup = new TProviderLookup(this);

    auto *heading = new QLabel(this);
    heading->setObjectName(QStringLiteral("lblHeading"));
    heading->setTextFormat(Qt::PlainText);
    heading->setWordWrap(true);
    heading->setText(T(TextId::SendingSettingsFor, address.Address));
    QFont bold = heading->font();
    bold.setBold(true);
    heading->setFont(bold);

    lblStatus = Value(this, "lblStatus");
    Busy = new QProgressBar(this);
    Busy->setObjectName(QStringLiteral("Busy"));
    Busy->setRange(0, 0);   // runs until the lookup ends
    Busy->setTextVisible(false);

    BuildResultPanel();

    lblWarning = Value(this, "lblWarning");
    {
        QPalette p = lblWarning->palette();
        p.setColor(QPalette::WindowText, QColor(0xb0, 0x00, 0x00));
        lblWarning->setPalette(p);
    }
    lblTried = Value(this, "lblTried");
    cbSaveProfile = new QCheckBox(this);
    cbSaveProfile->setObjectName(QStringLiteral("cbSaveProfile"));
    cbSaveProfile->setText(T(TextId::SaveFoundProfile, address.Domain));

    auto *buttons = new QDialogButtonBox(this);
    btnUse = buttons->addButton(T(TextId::UseFoundSettings), QDialogButtonBox::AcceptRole);
    btnUse->setObjectName(QStringLiteral("btnUse"));
    btnCancel = buttons->addButton(T(TextId::Cancel), QDialogButtonBox::RejectRole);
    btnCancel->setObjectName(QStringLiteral("btnCancel"));
    btnHelp = buttons->addButton(T(TextId::HelpButton), QDialogButtonBox::HelpRole);
    btnHelp->setObjectName(QStringLiteral("btnHelp"));
    connect(btnUse, &QPushButton::clicked, this, &QDialog::accept);
    connect(btnCancel, &QPushButton::clicked, this, &TFindSettingsDialog::reject);
    connect(btnHelp, &QPushButton::clicked, this, [] { ShowHelpContext(HelpContext); });

    auto *all = new QVBoxLayout(this);
    all->addWidget(heading);
    all->addWidget(lblStatus);
    all->addWidget(Busy);
    all->addWidget(ResultPanel);
    all->addWidget(lblWarning);
    all->addWidget(cbSaveProfile);
    all->addWidget(lblTried);
    all->addStretch(1);
    all->addWidget(buttons);
    // Wide enough for a host name and a short note per line; long texts wrap.
    setMinimumWidth(fontMetrics().averageCharWidth() * 72);
    FitToScreen(this);

    connect(Lookup, &TProviderLookup::Progress, this, &TFindSettingsDialog::ShowProgress);
    connect(Lookup, &TProviderLookup::Finished, this, [this] {
        ShowOutcome();
        emit LookupFinished();
    });

    ResultPanel->hide();
    lblWarning->hide();
    cbSaveProfile->hide();
    lblTried->hide();
    btnUse->hide();
    lblStatus->setText(T(TextId::LookupStarted, address.Domain));
}

// What was found, a row each, with the source and the provider's note as links.
void TFindSettingsDialog::BuildResultPanel()
{
    ResultPanel = new QWidget(this);
    ResultPanel->setObjectName(QStringLiteral("ResultPanel"));
    auto *form = new QFormLayout(ResultPanel);
    form->setContentsMargins(0, 0, 0, 0);
    form->setRowWrapPolicy(QFormLayout::DontWrapRows);
    form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
    form->setLabelAlignment(Qt::AlignLeft | Qt::AlignTop);
    lblHost = Value(ResultPanel, "lblHost");
    lblPort = Value(ResultPanel, "lblPort");
    lblSecurity = Value(ResultPanel, "lblSecurity");
    lblUser = Value(ResultPanel, "lblUser");
    lblSource = Value(ResultPanel, "lblSource");
    lblSource->setTextFormat(Qt::RichText);
    lblSource->setTextInteractionFlags(Qt::TextBrowserInteraction);
    lblNote = Value(ResultPanel, "lblNote");
    lblNote->setTextFormat(Qt::RichText);
    lblNote->setTextInteractionFlags(Qt::TextBrowserInteraction);
    form->addRow(T(TextId::FoundHostLabel), lblHost);
    form->addRow(T(TextId::FoundPortLabel), lblPort);
    form->addRow(T(TextId::FoundSecurityLabel), lblSecurity);
    form->addRow(T(TextId::FoundUserLabel), lblUser);
    form->addRow(T(TextId::FoundSourceLabel), lblSource);
    form->addRow(T(TextId::FoundNoteLabel), lblNote);
    for (QLabel *l : {lblSource, lblNote}) {
        l->setOpenExternalLinks(false);
        connect(l, &QLabel::linkActivated, this, [this](const QString &url) {
            if (OpenLink)
                OpenLink(url);
        });
    }
}

void TFindSettingsDialog::StartLookup()
{
    Lookup->Start(Address, Russian);
}

void TFindSettingsDialog::ShowProgress()
{
    if (!Lookup->Running())
        return;
    int done = 0, asked = 0;
    for (const TSourceReport &r : Lookup->Outcome().Reports) {
        if (r.State == TSourceReport::NotAsked)
            continue;
        ++asked;
        if (r.State != TSourceReport::Running && r.State != TSourceReport::Waiting)
            ++done;
    }
    lblStatus->setText(T(TextId::LookupProgress, Address.Domain, done, asked));
}

void TFindSettingsDialog::ShowOutcome()
{
    Busy->hide();
    const TLookupOutcome &o = Lookup->Outcome();
    if (o.Cancelled)
        return;
    const bool failed = ShowTried(o);
    if (o.Found)
        ShowFound(*o.Found, failed);
    else
        ShowNothingFound(o, failed);
    FitToContents();
}

// What each source said, for the record and for finding the settings by hand; true when one
// of them failed.
bool TFindSettingsDialog::ShowTried(const TLookupOutcome &o)
{
    QStringList tried;
    bool failed = false;
    for (int s = 0; s < lsSourceCount; ++s) {
        const TSourceReport &r = o.Reports[s];
        if (r.State == TSourceReport::NotAsked)
            continue;
        QString state;
        switch (r.State) {
        case TSourceReport::Found: state = T(TextId::SourceFound); break;
        case TSourceReport::Nothing: state = T(TextId::SourceNothing); break;
        case TSourceReport::Failed: state = T(TextId::SourceFailed); failed = true; break;
        case TSourceReport::TimedOut: state = T(TextId::SourceTimedOut); failed = true; break;
        case TSourceReport::Cancelled: state = T(TextId::SourceNotNeeded); break;
        default: state = T(TextId::SourceUnfinished); break;
        }
        const QString detail = Russian ? r.DetailRu : r.DetailEn;
        tried << QStringLiteral("• %1 — %2: %3")
                     .arg(TProviderLookup::SourceName(TLookupSource(s), Russian), state, Breakable(detail));
    }
    lblTried->setText(T(TextId::WhatWasTried) + QLatin1Char('\n') + tried.join(QLatin1Char('\n')));
    return failed;
}

void TFindSettingsDialog::ShowNothingFound(const TLookupOutcome &o, bool failed)
{
    QString why;
    if (o.TimedOut)
        why = T(TextId::LookupTimedOut, Address.Domain, TProviderLookup::TimeLimitMs / 1000);
    else if (failed)
        why = T(TextId::NothingFoundSomeFailed, Address.Domain);
    else
        why = T(TextId::NothingFound, Address.Domain);
    lblStatus->setText(why + QLatin1Char(' ') + T(TextId::FindSettingsYourself));
    lblTried->show();
    btnCancel->setText(T(TextId::CloseButton));
    btnCancel->setDefault(true);
    btnCancel->setFocus();
}

QString TFindSettingsDialog::SourceText(const TFoundSettings &found) const
{
    QString source;
    switch (found.Source) {
    case lsTable:
        source = T(TextId::FoundInTable, found.ProviderName.toHtmlEscaped());
        break;
    case lsSrvSubmissions:
    case lsSrvSubmission:
        source = T(TextId::FoundInSrv, Breakable(found.Where).toHtmlEscaped());
        break;
    case lsAutoconfigHost:
    case lsAutoconfigWellKnown:
        source = T(TextId::FoundInConfigFile, Link(found.Where));
        if (!found.ProviderName.isEmpty())
            source += QStringLiteral(" (%1)").arg(found.ProviderName.toHtmlEscaped());
        break;
    case lsMx:
        source = T(TextId::FoundByMx, found.ProviderName.toHtmlEscaped(), Breakable(found.Where).toHtmlEscaped());
        break;
    default:
        break;
    }
    if (!found.Documentation.isEmpty())
        source += QStringLiteral("<br>") + T(TextId::ProviderPage, Link(found.Documentation));
    return source;
}

void TFindSettingsDialog::ShowFound(const TFoundSettings &found, bool failed)
{
    const TFoundSettings offer = SafeProposal(found);
    lblStatus->setText(T(TextId::FoundCheckSettings));
    lblHost->setText(Breakable(offer.Host));
    lblPort->setText(QString::number(offer.Port));
    lblSecurity->setText(SecurityText(offer.Security, Russian));
    QString user = offer.User.isEmpty() ? T(TextId::NoLogin) : offer.User;
    if (offer.OAuth2 && !offer.User.isEmpty())
        user = T(TextId::OAuth2SignIn, user);
    lblUser->setText(Breakable(user));

    lblSource->setText(SourceText(found));

    QString note = (Russian ? found.NoteRu : found.NoteEn).toHtmlEscaped();
    if (found.OAuth2 && note.isEmpty())
        note = T(TextId::OAuth2Only);
    if (!found.Link.isEmpty())
        note += (note.isEmpty() ? QString() : QStringLiteral("<br>")) + Link(found.Link);
    lblNote->setText(note.isEmpty() ? T(TextId::NoNote) : note);

    if (found.PlainPassword) {
        lblWarning->setText(T(TextId::PlainPasswordRefused, found.Host));
        lblWarning->show();
    }
    ResultPanel->show();
    cbSaveProfile->show();
    lblTried->setVisible(failed);
    btnUse->show();
    btnUse->setDefault(true);
    btnUse->setFocus();
}

void TFindSettingsDialog::FitToContents()
{
    // Wrapped texts take the height they need at the dialog's width, and nothing is cut.
    layout()->activate();
    const int w = std::max(width(), minimumSizeHint().width());
    const int h = layout()->hasHeightForWidth() ? layout()->totalHeightForWidth(w) : sizeHint().height();
    resize(w, std::max(h, minimumSizeHint().height()));
    if (isVisible())
        FitToScreenNow(this);
}

std::optional<TFoundSettings> TFindSettingsDialog::Proposal() const
{
    const TLookupOutcome &o = Lookup->Outcome();
    if (Lookup->Running() || o.Cancelled || !o.Found)
        return std::nullopt;
    return SafeProposal(*o.Found);
}

bool TFindSettingsDialog::SaveAsProfile() const
{
    return !cbSaveProfile->isHidden() && cbSaveProfile->isChecked();
}

void TFindSettingsDialog::keyPressEvent(QKeyEvent *e)
{
    if (e->key() == Qt::Key_F1 && e->modifiers() == Qt::NoModifier) {
        ShowHelpContext(HelpContext);
        return;
    }
    QDialog::keyPressEvent(e);
}

void TFindSettingsDialog::reject()
{
    // Cancel (and Esc, and the close box) ends every lookup at once.
    Lookup->Cancel();
    QDialog::reject();
}
