#include "ProviderLookup.h"

#include "Strings.h"

#include <QDnsLookup>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QSslConfiguration>
#include <QTimer>
#include <QUrl>
#include <QUrlQuery>
#include <QXmlStreamReader>

#include <algorithm>
#include <optional>
#include <tuple>

namespace {

// ---- test hooks ------------------------------------------------------------------------------
QHostAddress HookNameserver;
QList<QSslCertificate> HookCaCertificates;
QMap<QString, QString> HookEndpoints;
int HookTimeLimit = 0;

// A DNS host name in ASCII form: labels of letters, digits and hyphens.
bool IsHostName(const QString &host)
{
    static const QRegularExpression label(QStringLiteral("^[a-z0-9](?:[a-z0-9-]{0,61}[a-z0-9])?$"),
                                          QRegularExpression::CaseInsensitiveOption);
    if (host.isEmpty() || host.size() > 253)
        return false;
    for (const QString &part : host.split(QLatin1Char('.'))) {
        if (!label.match(part).hasMatch())
            return false;
    }
    return true;
}

bool IsServerName(const QString &host)
{
    return IsHostName(host) || !QHostAddress(host).isNull();
}

QString NoTrailingDot(QString name)
{
    while (name.endsWith(QLatin1Char('.')))
        name.chop(1);
    return name;
}

QString Fill(QString text, const TMailAddress &a)
{
    text.replace(QLatin1String("%EMAILADDRESS%"), a.Address, Qt::CaseInsensitive);
    text.replace(QLatin1String("%EMAILLOCALPART%"), a.LocalPart, Qt::CaseInsensitive);
    text.replace(QLatin1String("%EMAILDOMAIN%"), a.Domain, Qt::CaseInsensitive);
    return text;
}

// Text from outside shown to the user: one paragraph of printable characters, bounded.
QString CleanText(const QString &text, int max = 600)
{
    QString out;
    for (const QChar c : text) {
        if (c.isSpace())
            out += QLatin1Char(' ');
        else if (c.isPrint())
            out += c;
    }
    out = out.simplified();
    if (out.size() > max)
        out = out.left(max - 1) + QChar(0x2026);
    return out;
}

// Only https pages are offered as links.
QString HttpsLink(const QString &text)
{
    const QUrl url(text.trimmed(), QUrl::StrictMode);
    if (!url.isValid() || url.scheme() != QLatin1String("https") || url.host().isEmpty())
        return QString();
    return url.toString(QUrl::FullyEncoded);
}

int SecurityFromText(const QString &text, bool *ok)
{
    *ok = true;
    const QString t = text.trimmed().toLower();
    if (t == QLatin1String("ssl") || t == QLatin1String("tls"))
        return fsTls;
    if (t == QLatin1String("starttls"))
        return fsStartTls;
    if (t == QLatin1String("none") || t == QLatin1String("plain"))
        return fsNone;
    *ok = false;
    return fsNone;
}

bool NeedsPassword(const TFoundSettings &f)
{
    return !f.User.isEmpty();
}

}  // namespace

// ---- the address ---------------------------------------------------------------------------

std::optional<TMailAddress> ParseMailAddress(const QString &text)
{
    QString s = text.trimmed();
    const qsizetype open = s.lastIndexOf(QLatin1Char('<'));
    if (open >= 0) {
        const qsizetype close = s.indexOf(QLatin1Char('>'), open);
        if (close < 0)
            return std::nullopt;
        s = s.mid(open + 1, close - open - 1).trimmed();
    }
    const qsizetype at = s.lastIndexOf(QLatin1Char('@'));
    if (at <= 0 || at == s.size() - 1)
        return std::nullopt;
    TMailAddress a;
    a.LocalPart = s.left(at);
    for (const QChar c : a.LocalPart)
        if (c.isSpace() || !c.isPrint() || c == QLatin1Char('<') || c == QLatin1Char('>'))
            return std::nullopt;
    a.Domain = NoTrailingDot(s.mid(at + 1)).toLower();
    a.AceDomain = QString::fromLatin1(QUrl::toAce(a.Domain)).toLower();
    if (a.AceDomain.isEmpty() || !IsHostName(a.AceDomain) || !a.AceDomain.contains(QLatin1Char('.')))
        return std::nullopt;
    a.Address = a.LocalPart + QLatin1Char('@') + a.Domain;
    return a;
}

// ---- the provider table --------------------------------------------------------------------

// The table's texts as written, where the entry keeps only what they mean.
struct TRawEntryTexts {
    QString Auth, Link, Checked;
    bool PortOk, SecurityOk;
};

// What is wrong with an entry: its own values, keys left over, clashes with the entries before it.
QStringList EntryProblems(const TProviderEntry &e, const TRawEntryTexts &raw, const QMap<QString, QString> &unknown,
                          const QList<TProviderEntry> &others)
{
    QStringList problems;
    if (e.Name.isEmpty())
        problems << QStringLiteral("no name");
    if (e.Domains.isEmpty() && e.MxSuffixes.isEmpty())
        problems << QStringLiteral("neither domains nor mx");
    for (const QString &d : e.Domains + e.MxSuffixes)
        if (!IsHostName(d))
            problems << QStringLiteral("not a domain: %1").arg(d);
    if (!IsServerName(e.Host))
        problems << QStringLiteral("no valid host");
    if (!raw.PortOk || e.Port < 1 || e.Port > 65535)
        problems << QStringLiteral("no valid port");
    if (!raw.SecurityOk)
        problems << QStringLiteral("security is not ssl, starttls or none");
    if (e.Login.isEmpty())
        problems << QStringLiteral("no login");
    if (raw.Auth != QLatin1String("password") && raw.Auth != QLatin1String("oauth2"))
        problems << QStringLiteral("auth is not password or oauth2");
    if (e.NoteEn.isEmpty() != e.NoteRu.isEmpty())
        problems << QStringLiteral("a note in one language only");
    if (!raw.Link.isEmpty() && e.Link.isEmpty())
        problems << QStringLiteral("link is not an https address");
    if (e.Source.isEmpty())
        problems << QStringLiteral("no source page (an https address)");
    if (raw.Checked != QLatin1String("yes") && raw.Checked != QLatin1String("no"))
        problems << QStringLiteral("checked is not yes or no");
    for (auto it = unknown.cbegin(); it != unknown.cend(); ++it)
        problems << QStringLiteral("unknown key %1").arg(it.key());
    for (const TProviderEntry &other : others) {
        if (other.Id == e.Id)
            problems << QStringLiteral("a second entry of this name");
        for (const QString &d : e.Domains)
            if (other.Domains.contains(d))
                problems << QStringLiteral("%1 is also in [%2]").arg(d, other.Id);
        for (const QString &m : e.MxSuffixes)
            if (other.MxSuffixes.contains(m))
                problems << QStringLiteral("mx %1 is also in [%2]").arg(m, other.Id);
    }
    return problems;
}

TProviderTable TProviderTable::Parse(const QString &text)
{
    TProviderTable table;
    QMap<QString, QString> keys;
    QString id;
    int startLine = 0;
    auto problem = [&](int line, const QString &what) {
        table.Problems << QStringLiteral("line %1%2: %3")
                              .arg(line)
                              .arg(id.isEmpty() ? QString() : QStringLiteral(" [%1]").arg(id), what);
    };
    auto close = [&] {
        if (id.isEmpty())
            return;
        TProviderEntry e;
        e.Id = id;
        e.Name = keys.take(QStringLiteral("name"));
        e.Domains = keys.take(QStringLiteral("domains")).toLower().split(QLatin1Char(' '), Qt::SkipEmptyParts);
        e.MxSuffixes = keys.take(QStringLiteral("mx")).toLower().split(QLatin1Char(' '), Qt::SkipEmptyParts);
        e.Host = keys.take(QStringLiteral("host")).toLower();
        bool portOk = false;
        e.Port = keys.take(QStringLiteral("port")).toInt(&portOk);
        bool securityOk = false;
        e.Security = SecurityFromText(keys.take(QStringLiteral("security")), &securityOk);
        e.Login = keys.take(QStringLiteral("login"));
        const QString auth = keys.take(QStringLiteral("auth"));
        e.OAuth2 = auth == QLatin1String("oauth2");
        e.NoteEn = keys.take(QStringLiteral("note.en"));
        e.NoteRu = keys.take(QStringLiteral("note.ru"));
        const QString link = keys.take(QStringLiteral("link"));
        e.Link = HttpsLink(link);
        const QString source = keys.take(QStringLiteral("source"));
        e.Source = HttpsLink(source);
        const QString checked = keys.take(QStringLiteral("checked"));
        e.Checked = checked == QLatin1String("yes");

        for (const QString &what : EntryProblems(e, {auth, link, checked, portOk, securityOk}, keys, table.List))
            problem(startLine, what);
        table.List << e;
        keys.clear();
    };

    const QStringList lines = text.split(QLatin1Char('\n'));
    for (int i = 0; i < lines.size(); ++i) {
        const QString line = lines[i].trimmed();
        const int number = i + 1;
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'))) {
            close();
            id = line.mid(1, line.size() - 2).trimmed();
            startLine = number;
            if (id.isEmpty())
                problem(number, QStringLiteral("an entry without a name"));
            continue;
        }
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (id.isEmpty() || eq <= 0) {
            problem(number, QStringLiteral("not a key=value line inside an entry"));
            continue;
        }
        const QString key = line.left(eq).trimmed().toLower();
        if (keys.contains(key))
            problem(number, QStringLiteral("key %1 given twice").arg(key));
        keys[key] = line.mid(eq + 1).trimmed();
    }
    close();
    return table;
}

// Outside any namespace: the resource initialiser must be reachable from a static library.
static void initProviderResource()
{
    Q_INIT_RESOURCE(providers);
}

const TProviderTable &TProviderTable::Builtin()
{
    static const TProviderTable table = [] {
        initProviderResource();
        QFile file(QStringLiteral(":/providers.ini"));
        if (!file.open(QIODevice::ReadOnly))
            return TProviderTable();
        return Parse(QString::fromUtf8(file.readAll()));
    }();
    return table;
}

const TProviderEntry *TProviderTable::ForDomain(const QString &aceDomain) const
{
    const QString d = NoTrailingDot(aceDomain).toLower();
    for (const TProviderEntry &e : List)
        if (e.Domains.contains(d))
            return &e;
    return nullptr;
}

const TProviderEntry *TProviderTable::ForMx(const QString &exchanger) const
{
    const QString x = NoTrailingDot(exchanger).toLower();
    // The longest suffix wins, so a more specific entry beats a general one.
    const TProviderEntry *best = nullptr;
    qsizetype bestLength = 0;
    for (const TProviderEntry &e : List)
        for (const QString &m : e.MxSuffixes)
            if ((x == m || x.endsWith(QLatin1Char('.') + m)) && m.size() > bestLength) {
                best = &e;
                bestLength = m.size();
            }
    return best;
}

// ---- results ---------------------------------------------------------------------------------

bool IsLoopbackHost(const QString &host)
{
    const QString h = NoTrailingDot(host.trimmed()).toLower();
    if (h == QLatin1String("localhost") || h.endsWith(QLatin1String(".localhost")))
        return true;
    QString bare = h;
    if (bare.startsWith(QLatin1Char('[')) && bare.endsWith(QLatin1Char(']')))
        bare = bare.mid(1, bare.size() - 2);
    const QHostAddress address(bare);
    return !address.isNull() && address.isLoopback();
}

static bool WouldSendPlainPassword(const TFoundSettings &f)
{
    return f.Security == fsNone && NeedsPassword(f) && !IsLoopbackHost(f.Host);
}

TFoundSettings SafeProposal(const TFoundSettings &found)
{
    TFoundSettings s = found;
    if (WouldSendPlainPassword(s))
        s.Security = fsStartTls;
    return s;
}

TFoundSettings FromTable(const TProviderEntry &entry, const TMailAddress &address, TLookupSource source,
                         const QString &where)
{
    TFoundSettings f;
    f.Host = entry.Host;
    f.Port = entry.Port;
    f.Security = entry.Security;
    f.User = Fill(entry.Login, address);
    f.OAuth2 = entry.OAuth2;
    f.Source = source;
    f.Where = where;
    f.ProviderName = entry.Name;
    f.NoteEn = entry.NoteEn;
    f.NoteRu = entry.NoteRu;
    f.Link = entry.Link;
    f.Documentation = entry.Source;
    f.PlainPassword = WouldSendPlainPassword(f);
    return f;
}

// ---- the configuration file ------------------------------------------------------------------

namespace {

struct TSmtpCandidate {
    QString Host, Port, SocketType, User;
    QStringList Authentication;
};

// A text of the element the reader stands on, with the language of a "lang" attribute.
struct TLangText {
    QString Lang, Text;
};

QString Pick(const QList<TLangText> &texts, bool russian)
{
    const QString want = russian ? QStringLiteral("ru") : QStringLiteral("en");
    for (const TLangText &t : texts)
        if (t.Lang.startsWith(want))
            return t.Text;
    for (const TLangText &t : texts)
        if (t.Lang.isEmpty() || t.Lang.startsWith(QLatin1String("en")))
            return t.Text;
    return texts.isEmpty() ? QString() : texts.first().Text;
}

// The fields of one <outgoingServer>, read up to its end tag.
TSmtpCandidate ReadOutgoingServer(QXmlStreamReader &r)
{
    TSmtpCandidate c;
    while (!r.atEnd()) {
        r.readNext();
        if (r.isEndElement() && r.name() == QLatin1String("outgoingServer"))
            break;
        if (!r.isStartElement())
            continue;
        const QString field = r.name().toString();
        const QString value = r.readElementText(QXmlStreamReader::SkipChildElements).trimmed();
        if (field == QLatin1String("hostname"))
            c.Host = value;
        else if (field == QLatin1String("port"))
            c.Port = value;
        else if (field == QLatin1String("socketType"))
            c.SocketType = value;
        else if (field == QLatin1String("username"))
            c.User = value;
        else if (field == QLatin1String("authentication"))
            c.Authentication << value.toLower();
    }
    return c;
}

// An entry the program can use: a valid server and port, a known security, a login it can do.
std::optional<TFoundSettings> UsableSettings(const TSmtpCandidate &c, const TMailAddress &address)
{
    TFoundSettings f;
    f.Host = NoTrailingDot(Fill(c.Host, address)).toLower();
    bool portOk = false;
    f.Port = c.Port.toInt(&portOk);
    bool securityOk = false;
    f.Security = SecurityFromText(c.SocketType, &securityOk);
    if (!IsServerName(f.Host) || !portOk || f.Port < 1 || f.Port > 65535 || !securityOk)
        return std::nullopt;
    static const QStringList passwordKinds = {QStringLiteral("password-cleartext"), QStringLiteral("plain"),
                                              QStringLiteral("password-encrypted"), QStringLiteral("secure")};
    bool password = c.Authentication.isEmpty(), oauth = false, none = false;
    for (const QString &a : c.Authentication) {
        password = password || passwordKinds.contains(a);
        oauth = oauth || a == QLatin1String("oauth2");
        none = none || a == QLatin1String("none") || a == QLatin1String("client-ip-address");
    }
    if (!password && !oauth && !none)
        return std::nullopt;
    f.OAuth2 = !password && oauth;
    f.User = (password || oauth) ? CleanText(Fill(c.User.isEmpty() ? QStringLiteral("%EMAILADDRESS%") : c.User, address), 256)
                                 : QString();
    return f;
}

// A message of the string table in English (first) and in Russian: a lookup keeps both.
std::pair<QString, QString> InBothLanguages(int id, std::initializer_list<FormatArg> args = {})
{
    return {FormatText(LoadStr(id + EnglishBase), args), FormatText(LoadStr(id + RussianBase), args)};
}

}  // namespace

TAutoconfigResult ParseAutoconfig(const QByteArray &xml, const TMailAddress &address, bool preferRussian)
{
    TAutoconfigResult result;
    QXmlStreamReader r(xml);
    QList<TSmtpCandidate> smtp;
    QString providerName;
    QString enableUrl, docUrl;
    QList<TLangText> instructions, descriptions;
    bool rootSeen = false, providerSeen = false;

    auto fail = [&](int id, std::initializer_list<FormatArg> args = {}) {
        std::tie(result.ErrorEn, result.ErrorRu) = InBothLanguages(id, args);
        return result;
    };

    while (!r.atEnd()) {
        r.readNext();
        if (!r.isStartElement())
            continue;
        const QStringView name = r.name();
        if (!rootSeen) {
            rootSeen = true;
            if (name != QLatin1String("clientConfig"))
                return fail(TextId::NotAMailConfigFile);
            continue;
        }
        if (name == QLatin1String("emailProvider")) {
            providerSeen = true;
        } else if (name == QLatin1String("displayName") && providerName.isEmpty()) {
            providerName = CleanText(r.readElementText(QXmlStreamReader::SkipChildElements), 80);
        } else if (name == QLatin1String("outgoingServer")) {
            const bool isSmtp = r.attributes().value(QLatin1String("type")) == QLatin1String("smtp");
            const TSmtpCandidate c = ReadOutgoingServer(r);
            if (isSmtp)
                smtp << c;
        } else if (name == QLatin1String("enable")) {
            enableUrl = r.attributes().value(QLatin1String("visiturl")).toString();
        } else if (name == QLatin1String("instruction")) {
            const QString lang = r.attributes().value(QLatin1String("lang")).toString().toLower();
            instructions << TLangText{lang, CleanText(r.readElementText(QXmlStreamReader::SkipChildElements))};
        } else if (name == QLatin1String("documentation")) {
            if (docUrl.isEmpty())
                docUrl = r.attributes().value(QLatin1String("url")).toString();
        } else if (name == QLatin1String("descr")) {
            const QString lang = r.attributes().value(QLatin1String("lang")).toString().toLower();
            descriptions << TLangText{lang, CleanText(r.readElementText(QXmlStreamReader::SkipChildElements))};
        }
    }
    if (r.hasError())
        return fail(TextId::ConfigFileNotXml, {r.lineNumber(), r.errorString()});
    if (!rootSeen || !providerSeen)
        return fail(TextId::ConfigFileNoProvider);

    QList<TFoundSettings> usable;
    for (const TSmtpCandidate &c : smtp)
        if (const std::optional<TFoundSettings> f = UsableSettings(c, address))
            usable << *f;
    if (usable.isEmpty())
        return fail(TextId::ConfigFileNoSmtp);
    auto chosen = std::find_if(usable.begin(), usable.end(), [](const TFoundSettings &f) { return f.Security != fsNone; });
    TFoundSettings f = chosen != usable.end() ? *chosen : usable.first();
    f.ProviderName = providerName;
    const QString note = Pick(instructions, preferRussian);
    const QString fallback = note.isEmpty() ? Pick(descriptions, preferRussian) : note;
    // The file speaks one language at best; both halves carry what it says.
    f.NoteEn = fallback;
    f.NoteRu = fallback;
    f.Link = HttpsLink(enableUrl);
    f.Documentation = HttpsLink(docUrl);
    f.PlainPassword = WouldSendPlainPassword(f);
    result.Found = f;
    return result;
}

// ---- the lookup ----------------------------------------------------------------------------

void TProviderLookup::TestHooks::SetNameserver(const QHostAddress &server) { HookNameserver = server; }
void TProviderLookup::TestHooks::SetExtraCaCertificates(const QList<QSslCertificate> &c) { HookCaCertificates = c; }
void TProviderLookup::TestHooks::SetHttpsEndpoint(const QString &host, const QString &endpoint)
{
    HookEndpoints[host.toLower()] = endpoint;
}
void TProviderLookup::TestHooks::SetTimeLimit(int ms) { HookTimeLimit = ms; }
void TProviderLookup::TestHooks::Reset()
{
    HookNameserver = QHostAddress();
    HookCaCertificates.clear();
    HookEndpoints.clear();
    HookTimeLimit = 0;
}

TProviderLookup::TProviderLookup(QObject *parent) : QObject(parent)
{
    Deadline = new QTimer(this);
    Deadline->setSingleShot(true);
    connect(Deadline, &QTimer::timeout, this, [this] {
        if (!Active)
            return;
        Result.TimedOut = true;
        for (int s = 0; s < lsSourceCount; ++s)
            if (Result.Reports[s].State == TSourceReport::Running)
                Settle(TLookupSource(s), TSourceReport::TimedOut, TextId::NoAnswerWithin,
                       {QString::number((HookTimeLimit ? HookTimeLimit : TimeLimitMs) / 1000.0)});
        Decide(true);
    });
}

TProviderLookup::~TProviderLookup()
{
    ++Generation;
    Active = false;
    for (const QPointer<QNetworkReply> &r : Replies)
        if (r) {
            r->disconnect(this);
            r->abort();
        }
    for (const QPointer<QDnsLookup> &d : Dns)
        if (d) {
            d->disconnect(this);
            d->abort();
        }
}

QString TProviderLookup::SourceName(TLookupSource source, bool russian)
{
    switch (source) {
    case lsTable:
        return TextIn(russian, TextId::SourceTable);
    case lsSrvSubmissions:
        return TextIn(russian, TextId::SourceSrvSubmissions);
    case lsSrvSubmission:
        return TextIn(russian, TextId::SourceSrvSubmission);
    case lsAutoconfigHost:
        return TextIn(russian, TextId::SourceAutoconfigHost);
    case lsAutoconfigWellKnown:
        return TextIn(russian, TextId::SourceAutoconfigWellKnown);
    case lsMx:
        return TextIn(russian, TextId::SourceMx);
    default:
        return QString();
    }
}

void TProviderLookup::Start(const TMailAddress &address, bool preferRussian)
{
    if (Active)
        Cancel();
    ++Generation;
    Address = address;
    PreferRussian = preferRussian;
    Result = TLookupOutcome();
    for (auto &a : Answers)
        a.reset();
    Active = true;

    if (const TProviderEntry *e = TProviderTable::Builtin().ForDomain(address.AceDomain)) {
        Answers[lsTable] = FromTable(*e, address, lsTable, e->Name);
        Result.Reports[lsTable] = {TSourceReport::Found, e->Name, e->Name};
        for (int s = lsTable + 1; s < lsSourceCount; ++s)
            Result.Reports[s].State = TSourceReport::NotAsked;
        const int generation = Generation;
        // Finished always comes later than Start, as it does for the network.
        QTimer::singleShot(0, this, [this, generation] {
            if (generation == Generation && Active)
                Decide(false);
        });
        return;
    }
    const auto [notInTableEn, notInTableRu] = InBothLanguages(TextId::NotInTable, {address.Domain});
    Result.Reports[lsTable] = {TSourceReport::Nothing, notInTableEn, notInTableRu};

    if (!Network) {
        Network = new QNetworkAccessManager(this);
        Network->setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
    }
    Deadline->start(HookTimeLimit ? HookTimeLimit : TimeLimitMs);
    const QString d = address.AceDomain;
    StartDns(lsSrvSubmissions, QDnsLookup::SRV, QStringLiteral("_submissions._tcp.") + d);
    StartDns(lsSrvSubmission, QDnsLookup::SRV, QStringLiteral("_submission._tcp.") + d);
    QUrl first(QStringLiteral("https://autoconfig.%1/mail/config-v1.1.xml").arg(d));
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("emailaddress"),
                       QString::fromLatin1(QUrl::toPercentEncoding(address.LocalPart + QLatin1Char('@') + d)));
    first.setQuery(query);
    StartFetch(lsAutoconfigHost, first.toString(QUrl::FullyEncoded));
    StartFetch(lsAutoconfigWellKnown, QStringLiteral("https://%1/.well-known/autoconfig/mail/config-v1.1.xml").arg(d));
    StartDns(lsMx, QDnsLookup::MX, d);
}

void TProviderLookup::Cancel()
{
    if (!Active)
        return;
    Result.Cancelled = true;
    for (int s = 0; s < lsSourceCount; ++s)
        if (Result.Reports[s].State == TSourceReport::Running)
            Settle(TLookupSource(s), TSourceReport::Cancelled, TextId::SourceCancelled, {});
    Finish();
}

void TProviderLookup::StartDns(TLookupSource source, int type, const QString &name)
{
    auto *lookup = new QDnsLookup(QDnsLookup::Type(type), name, this);
    if (!HookNameserver.isNull())
        lookup->setNameserver(HookNameserver);
    const int generation = Generation;
    connect(lookup, &QDnsLookup::finished, this, [this, source, lookup, generation] {
        lookup->deleteLater();
        if (generation == Generation)
            DnsDone(source, lookup);
    });
    Dns << lookup;
    Result.Reports[source] = {TSourceReport::Running, name, name};
    emit Progress(source);
    lookup->lookup();
}

void TProviderLookup::DnsDone(TLookupSource source, QDnsLookup *lookup)
{
    if (Result.Reports[source].State != TSourceReport::Running)
        return;
    const QString name = lookup->name();
    if (lookup->error() == QDnsLookup::NotFoundError
        || (lookup->error() == QDnsLookup::NoError && lookup->serviceRecords().isEmpty()
            && lookup->mailExchangeRecords().isEmpty())) {
        Settle(source, TSourceReport::Nothing, TextId::DnsNoRecord, {name});
        return;
    }
    if (lookup->error() != QDnsLookup::NoError) {
        Settle(source, TSourceReport::Failed, TextId::DnsError, {name, lookup->errorString()});
        return;
    }
    if (source == lsMx) {
        QList<QDnsMailExchangeRecord> records = lookup->mailExchangeRecords();
        std::stable_sort(records.begin(), records.end(), [](const auto &a, const auto &b) {
            return a.preference() < b.preference();
        });
        for (const QDnsMailExchangeRecord &mx : records) {
            const QString exchanger = NoTrailingDot(mx.exchange());
            if (const TProviderEntry *e = TProviderTable::Builtin().ForMx(exchanger)) {
                Answers[source] = FromTable(*e, Address, lsMx, exchanger);
                Settle(source, TSourceReport::Found, QStringLiteral("%1 → %2").arg(exchanger, e->Name),
                       QStringLiteral("%1 → %2").arg(exchanger, e->Name));
                return;
            }
        }
        const QString first = records.isEmpty() ? QString() : NoTrailingDot(records.first().exchange());
        Settle(source, TSourceReport::Nothing, TextId::MxNotListed, {first});
        return;
    }
    // SRV: the lowest priority, then the highest weight (RFC 2782); a target of "." says the
    // domain offers no such service.
    QList<QDnsServiceRecord> records = lookup->serviceRecords();
    std::stable_sort(records.begin(), records.end(), [](const auto &a, const auto &b) {
        return a.priority() != b.priority() ? a.priority() < b.priority() : a.weight() > b.weight();
    });
    for (const QDnsServiceRecord &srv : records) {
        const QString target = NoTrailingDot(srv.target()).toLower();
        if (target.isEmpty()) {
            Settle(source, TSourceReport::Nothing, TextId::SrvNoService, {name});
            return;
        }
        if (!IsHostName(target) || srv.port() == 0)
            continue;
        TFoundSettings f;
        f.Host = target;
        f.Port = srv.port();
        f.Security = source == lsSrvSubmissions ? fsTls : fsStartTls;
        f.User = Address.Address;   // RFC 6186: the address is the usual login
        std::tie(f.NoteEn, f.NoteRu) = InBothLanguages(TextId::SrvLoginIsAddress);
        f.Source = source;
        f.Where = QStringLiteral("%1 → %2:%3").arg(name, target).arg(srv.port());
        f.PlainPassword = WouldSendPlainPassword(f);
        Answers[source] = f;
        Settle(source, TSourceReport::Found, f.Where, f.Where);
        return;
    }
    Settle(source, TSourceReport::Nothing, TextId::SrvNoUsableRecord, {name});
}

void TProviderLookup::StartFetch(TLookupSource source, const QString &address)
{
    QUrl url(address);
    QNetworkRequest request(url);
    const QString host = url.host().toLower();
    if (HookEndpoints.contains(host)) {
        const QString endpoint = HookEndpoints.value(host);
        QUrl to = url;
        to.setHost(endpoint.section(QLatin1Char(':'), 0, 0));
        to.setPort(endpoint.section(QLatin1Char(':'), 1).toInt());
        request.setUrl(to);
        request.setRawHeader("Host", host.toLatin1());
        request.setPeerVerifyName(host);
    }
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(3);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    request.setTransferTimeout(HookTimeLimit ? HookTimeLimit : TimeLimitMs);
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
    if (!HookCaCertificates.isEmpty())
        tls.addCaCertificates(HookCaCertificates);
    request.setSslConfiguration(tls);

    QNetworkReply *reply = Network->get(request);
    Replies << reply;
    Result.Reports[source] = {TSourceReport::Running, address, address};
    emit Progress(source);
    const int generation = Generation;
    auto tooLarge = [reply](qint64 size) {
        if (size > MaxConfigBytes && !reply->property("sendorixTooLarge").toBool()) {
            reply->setProperty("sendorixTooLarge", true);
            reply->abort();
        }
    };
    connect(reply, &QNetworkReply::metaDataChanged, this, [reply, tooLarge] {
        tooLarge(reply->header(QNetworkRequest::ContentLengthHeader).toLongLong());
    });
    connect(reply, &QNetworkReply::downloadProgress, this, [tooLarge](qint64 received, qint64 total) {
        tooLarge(std::max(received, total));
    });
    connect(reply, &QNetworkReply::finished, this, [this, source, reply, generation] {
        reply->deleteLater();
        if (generation == Generation)
            FetchDone(source, reply);
    });
}

void TProviderLookup::FetchDone(TLookupSource source, QNetworkReply *reply)
{
    if (Result.Reports[source].State != TSourceReport::Running)
        return;
    const QString url = Result.Reports[source].DetailEn;
    if (reply->property("sendorixTooLarge").toBool()) {
        Settle(source, TSourceReport::Failed, TextId::ConfigFileTooLarge, {url, MaxConfigBytes / 1024});
        return;
    }
    const QNetworkReply::NetworkError error = reply->error();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (error == QNetworkReply::OperationCanceledError || error == QNetworkReply::TimeoutError) {
        Settle(source, TSourceReport::TimedOut, TextId::ConfigFileNoAnswer, {url});
        return;
    }
    if (error == QNetworkReply::SslHandshakeFailedError) {
        Settle(source, TSourceReport::Failed, TextId::ConfigFileUntrusted, {url, reply->errorString()});
        return;
    }
    if (error == QNetworkReply::InsecureRedirectError) {
        Settle(source, TSourceReport::Failed, TextId::ConfigFilePlainRedirect, {url});
        return;
    }
    if (error == QNetworkReply::HostNotFoundError || error == QNetworkReply::ConnectionRefusedError
        || error == QNetworkReply::ContentNotFoundError || status == 404 || status == 410) {
        Settle(source, TSourceReport::Nothing, TextId::ConfigFileMissing, {url});
        return;
    }
    if (error != QNetworkReply::NoError || status != 200) {
        const QString why = error != QNetworkReply::NoError ? reply->errorString() : QStringLiteral("HTTP %1").arg(status);
        Settle(source, TSourceReport::Failed, QStringLiteral("%1: %2").arg(url, why), QStringLiteral("%1: %2").arg(url, why));
        return;
    }
    if (reply->url().scheme() != QLatin1String("https")) {   // never reached: redirects keep to HTTPS
        Settle(source, TSourceReport::Failed, TextId::ConfigFileNotHttps, {url});
        return;
    }
    const QByteArray body = reply->read(MaxConfigBytes + 1);
    if (body.size() > MaxConfigBytes) {
        Settle(source, TSourceReport::Failed, TextId::ConfigFileTooLarge, {url, MaxConfigBytes / 1024});
        return;
    }
    const TAutoconfigResult parsed = ParseAutoconfig(body, Address, PreferRussian);
    if (!parsed.Found) {
        Settle(source, TSourceReport::Failed, QStringLiteral("%1: %2").arg(url, parsed.ErrorEn),
               QStringLiteral("%1: %2").arg(url, parsed.ErrorRu));
        return;
    }
    TFoundSettings f = *parsed.Found;
    f.Source = source;
    f.Where = url;
    Answers[source] = f;
    Settle(source, TSourceReport::Found, url, url);
}

void TProviderLookup::Settle(TLookupSource source, TSourceReport::TState state, const QString &en, const QString &ru)
{
    TSourceReport &report = Result.Reports[source];
    if (report.State != TSourceReport::Running && report.State != TSourceReport::Waiting)
        return;
    report = {state, en, ru};
    emit Progress(source);
    if (state != TSourceReport::Cancelled)
        Decide(false);
}

void TProviderLookup::Settle(TLookupSource source, TSourceReport::TState state, int id,
                             std::initializer_list<FormatArg> args)
{
    const auto [en, ru] = InBothLanguages(id, args);
    Settle(source, state, en, ru);
}

void TProviderLookup::Decide(bool atDeadline)
{
    if (!Active)
        return;
    for (int s = 0; s < lsSourceCount; ++s) {
        const TSourceReport::TState state = Result.Reports[s].State;
        if (state == TSourceReport::Found) {
            Result.Found = Answers[s];
            // The sources after it are not needed any more.
            for (int later = s + 1; later < lsSourceCount; ++later)
                if (Result.Reports[later].State == TSourceReport::Running)
                    Settle(TLookupSource(later), TSourceReport::Cancelled, TextId::SourceNotNeeded, {});
            Finish();
            return;
        }
        if ((state == TSourceReport::Running || state == TSourceReport::Waiting) && !atDeadline)
            return;   // an earlier source may still answer
    }
    Finish();
}

void TProviderLookup::Finish()
{
    if (!Active)
        return;
    Active = false;
    Deadline->stop();
    for (const QPointer<QNetworkReply> &r : Replies)
        if (r && r->isRunning())
            r->abort();
    for (const QPointer<QDnsLookup> &d : Dns)
        if (d && !d->isFinished())
            d->abort();
    Replies.clear();
    Dns.clear();
    emit Finished();
}
