// Finding a provider's outgoing server from an e-mail address, without widgets.
//
// Where the settings come from, in this order (the first source that answers wins):
//   1. the table of widely used providers shipped with the program (resources/providers.ini);
//   2. DNS SRV records: _submissions._tcp.DOMAIN (TLS from the first byte), then
//      _submission._tcp.DOMAIN (STARTTLS);
//   3. the domain's published configuration file in the format mail programs read:
//      https://autoconfig.DOMAIN/mail/config-v1.1.xml?emailaddress=ADDRESS, then
//      https://DOMAIN/.well-known/autoconfig/mail/config-v1.1.xml (HTTPS only, certificate
//      verified, size and time bounded; only its SMTP entries are used);
//   4. the domain's MX records matched against the table (a custom domain hosted by a listed
//      provider).
// The network sources run side by side and the whole lookup ends within a time bound; nothing
// blocks the caller's event loop.
#pragma once

#include "Global.h"

#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QSslCertificate>
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

class QDnsLookup;
class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

// ---- the address --------------------------------------------------------------------------

struct TMailAddress {
    QString Address;     // as typed, trimmed (local part kept as it is)
    QString LocalPart;
    QString Domain;      // lower case, Unicode
    QString AceDomain;   // lower case, ASCII (punycode) form for DNS and URLs
};
// The address in a "From" text: a bare address or "Name <address>"; nothing when it is not one.
std::optional<TMailAddress> ParseMailAddress(const QString &text);

// ---- the provider table -------------------------------------------------------------------

// Security values as the sender page keeps them.
enum TFoundSecurity { fsNone = 0, fsStartTls = 1, fsTls = 2 };

struct TProviderEntry {
    QString Id;              // the section name
    QString Name;
    QStringList Domains;     // lower case
    QStringList MxSuffixes;  // lower case, no trailing dot
    QString Host;
    int Port = 0;
    int Security = fsNone;
    QString Login;           // with %EMAILADDRESS% / %EMAILLOCALPART%
    bool OAuth2 = false;
    QString NoteEn, NoteRu;
    QString Link;            // https address or empty
    QString Source;          // the provider's help page the values came from
    bool Checked = false;    // the values were compared with that page
};

class TProviderTable {
public:
    // Parses the table's text; every problem is kept in Errors() (entry and line).
    static TProviderTable Parse(const QString &text);
    // The table shipped with the program (read once).
    static const TProviderTable &Builtin();

    const QList<TProviderEntry> &Entries() const { return List; }
    const QStringList &Errors() const { return Problems; }
    const TProviderEntry *ForDomain(const QString &aceDomain) const;
    // The entry whose MX suffix the exchanger's name ends in (on a label boundary).
    const TProviderEntry *ForMx(const QString &exchanger) const;

private:
    QList<TProviderEntry> List;
    QStringList Problems;
};

// ---- a result -----------------------------------------------------------------------------

enum TLookupSource {
    lsTable,
    lsSrvSubmissions,   // _submissions._tcp: TLS from the first byte
    lsSrvSubmission,    // _submission._tcp: STARTTLS
    lsAutoconfigHost,   // https://autoconfig.DOMAIN/...
    lsAutoconfigWellKnown,   // https://DOMAIN/.well-known/...
    lsMx,
    lsSourceCount
};

struct TFoundSettings {
    QString Host;
    int Port = 0;
    int Security = fsNone;
    QString User;             // login name; empty: no login
    bool OAuth2 = false;
    TLookupSource Source = lsTable;
    QString Where;            // the record, URL or exchanger the answer came from
    QString ProviderName;     // the table's or the file's name of the provider
    QString NoteEn, NoteRu;   // what the user must know or do first
    QString Link;             // an https page for that step
    QString Documentation;    // the page the values came from (table) or the file's own
    // The result as found would send the password without TLS to a host that is not this
    // computer. Such a result is never offered as it is: see SafeProposal.
    bool PlainPassword = false;
};

// The settings to fill in: a result that would send the password in plain text gets STARTTLS
// instead (the mail component then refuses to log in unless the server offers it).
TFoundSettings SafeProposal(const TFoundSettings &found);

// Whether a host name or address is this computer (localhost, 127.0.0.0/8, ::1).
bool IsLoopbackHost(const QString &host);

// The table entry as a result for the address.
TFoundSettings FromTable(const TProviderEntry &entry, const TMailAddress &address, TLookupSource source,
                         const QString &where);

// ---- the configuration file ---------------------------------------------------------------

struct TAutoconfigResult {
    std::optional<TFoundSettings> Found;
    QString ErrorEn, ErrorRu;   // why nothing was taken (malformed, no SMTP server, ...)
};
// Reads a configuration file (clientConfig, version 1.1): the first SMTP entry that uses TLS
// and an authentication the program has, else the first usable one (then flagged when it would
// send a password in plain text). preferRussian picks the language of the provider's note.
TAutoconfigResult ParseAutoconfig(const QByteArray &xml, const TMailAddress &address, bool preferRussian);

// ---- the lookup ---------------------------------------------------------------------------

// What happened to one source, for the user.
struct TSourceReport {
    enum TState { Waiting, Running, Found, Nothing, Failed, TimedOut, Cancelled, NotAsked };
    TState State = Waiting;
    QString DetailEn, DetailRu;
};

struct TLookupOutcome {
    std::optional<TFoundSettings> Found;
    TSourceReport Reports[lsSourceCount];
    bool TimedOut = false;
    bool Cancelled = false;
};

class TProviderLookup : public QObject {
    Q_OBJECT
public:
    // Limits: the whole lookup, and the size of a configuration file.
    static constexpr int TimeLimitMs = 10000;
    static constexpr qint64 MaxConfigBytes = 64 * 1024;

    explicit TProviderLookup(QObject *parent = nullptr);
    ~TProviderLookup() override;

    // Starts looking; Finished comes once, later (also when the table answers at once).
    void Start(const TMailAddress &address, bool preferRussian);
    // Ends every lookup at once; Finished follows with Cancelled set.
    void Cancel();
    bool Running() const { return Active; }
    const TLookupOutcome &Outcome() const { return Result; }
    // The source's name for the user.
    static QString SourceName(TLookupSource source, bool russian);

    // ---- test hooks (never set by the program) ----
    struct TestHooks {
        // The DNS server asked instead of the system's.
        static void SetNameserver(const QHostAddress &server);
        // Certificates trusted besides the system's for the HTTPS requests (verification stays on).
        static void SetExtraCaCertificates(const QList<QSslCertificate> &certificates);
        // Where an HTTPS host is reached ("127.0.0.1:4443"); the certificate is still checked
        // against the host's own name.
        static void SetHttpsEndpoint(const QString &host, const QString &endpoint);
        // A different time limit (ms), 0 for the real one.
        static void SetTimeLimit(int ms);
        static void Reset();
    };

signals:
    void Progress(int source);   // a source changed state
    void Finished();

private:
    void StartDns(TLookupSource source, int type, const QString &name);
    void DnsDone(TLookupSource source, QDnsLookup *lookup);
    void StartFetch(TLookupSource source, const QString &url);
    void FetchDone(TLookupSource source, QNetworkReply *reply);
    void Settle(TLookupSource source, TSourceReport::TState state, const QString &en, const QString &ru);
    // The same with message id of the string table, formatted in both languages.
    void Settle(TLookupSource source, TSourceReport::TState state, int id, std::initializer_list<FormatArg> args);
    void Decide(bool atDeadline);
    void Finish();

    TMailAddress Address;
    bool PreferRussian = false;
    bool Active = false;
    TLookupOutcome Result;
    std::optional<TFoundSettings> Answers[lsSourceCount];
    QList<QPointer<QDnsLookup>> Dns;
    QList<QPointer<QNetworkReply>> Replies;
    QNetworkAccessManager *Network = nullptr;
    QTimer *Deadline = nullptr;
    int Generation = 0;   // late signals of an earlier lookup are ignored
};
