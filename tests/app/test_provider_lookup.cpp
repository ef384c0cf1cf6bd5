// Finding a provider's server without the window: the shipped table of providers, the sender
// address, the configuration file format, and the network sources end to end against a DNS
// server and an HTTPS server started by the test on loopback addresses.
#include "ProviderLookup.h"
#include "provider_test_support.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <gtest/gtest.h>

using namespace providertest;

namespace {

// ---- the table -------------------------------------------------------------------------------

TEST(ProviderTable, EveryEntryParsesAndNamesItsSourcePage)
{
    const TProviderTable &table = TProviderTable::Builtin();
    EXPECT_TRUE(table.Errors().isEmpty()) << table.Errors().join('\n').toStdString();
    QStringList ids;
    for (const TProviderEntry &e : table.Entries()) {
        SCOPED_TRACE(e.Id.toStdString());
        ids << e.Id;
        EXPECT_FALSE(e.Name.isEmpty());
        EXPECT_FALSE(e.Host.isEmpty());
        EXPECT_GT(e.Port, 0);
        EXPECT_LE(e.Port, 65535);
        EXPECT_TRUE(e.Security == fsTls || e.Security == fsStartTls) << "a listed provider without TLS";
        EXPECT_TRUE(e.Source.startsWith("https://")) << e.Source.toStdString();
        EXPECT_FALSE(e.Domains.isEmpty() && e.MxSuffixes.isEmpty());
        EXPECT_FALSE(e.NoteEn.isEmpty());
        EXPECT_FALSE(e.NoteRu.isEmpty());
    }
    for (const char *id : {"gmail", "outlook", "microsoft365", "yahoo", "icloud", "aol", "gmx", "webde", "yandex",
                           "mailru", "rambler", "zoho", "fastmail", "proton"})
        EXPECT_TRUE(ids.contains(id)) << id;

    // The checks catch what an editor of the file might get wrong: each case changes one line of
    // a good entry (or adds one).
    const QString good = "[a]\nname=A\ndomains=a.test\nhost=smtp.a.test\nport=465\nsecurity=ssl\nlogin=x\n"
                         "auth=password\nsource=https://a.test/\nchecked=no\n";
    EXPECT_TRUE(TProviderTable::Parse(good).Errors().isEmpty());
    const struct {
        const char *from, *to, *problem;
    } broken[] = {
        {"port=465", "port=0", "no valid port"},
        {"port=465", "port=65536", "no valid port"},
        {"security=ssl", "security=tls1", "security"},
        {"source=https:", "source=http:", "no source page"},
        {"host=smtp.a.test", "host=smtp a.test", "no valid host"},
        {"domains=a.test\n", "", "neither domains nor mx"},
        {"checked=no\n", "checked=no\nnote.en=Only English\n", "one language"},
        {"checked=no\n", "checked=no\nhots=typo\n", "unknown key hots"},
        {"checked=no\n", "checked=no\n[b]\nname=B\ndomains=b.test a.test\nhost=smtp.b.test\nport=465\nsecurity=ssl\n"
                         "login=x\nauth=password\nsource=https://b.test/\nchecked=no\n",
         "a.test is also in [a]"},
    };
    for (const auto &b : broken) {
        const TProviderTable t = TProviderTable::Parse(QString(good).replace(b.from, b.to));
        EXPECT_TRUE(t.Errors().join('\n').contains(b.problem)) << b.problem << ": " << t.Errors().join('\n').toStdString();
    }
}

TEST(ProviderTable, AddressesAndExchangersGetTheirProvidersSettings)
{
    const struct {
        const char *from;
        const char *host;
        int port;
        int security;
        const char *user;
        bool oauth2;
    } cases[] = {
        {"Anna@GMail.com", "smtp.gmail.com", 465, fsTls, "Anna@gmail.com", false},
        {"\"Ivan\" <ivan@bk.ru>", "smtp.mail.ru", 465, fsTls, "ivan@bk.ru", false},
        {"olga@internet.ru", "smtp.mail.ru", 465, fsTls, "olga@internet.ru", false},
        {"olga@yandex.ru", "smtp.yandex.ru", 465, fsTls, "olga@yandex.ru", false},
        {"x@hotmail.com", "smtp-mail.outlook.com", 587, fsStartTls, "x@hotmail.com", true},
        {"me@icloud.com", "smtp.mail.me.com", 587, fsStartTls, "me@icloud.com", false},
        {"u@web.de", "smtp.web.de", 587, fsStartTls, "u@web.de", false},
        {"u@gmx.de", "mail.gmx.net", 587, fsStartTls, "u@gmx.de", false},
        {"r@rambler.ru", "smtp.rambler.ru", 465, fsTls, "r@rambler.ru", false},
        {"p@pm.me", "127.0.0.1", 1025, fsStartTls, "p@pm.me", false},
    };
    const TProviderTable &table = TProviderTable::Builtin();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.from);
        const std::optional<TMailAddress> a = ParseMailAddress(QString::fromUtf8(c.from));
        ASSERT_TRUE(a);
        const TProviderEntry *e = table.ForDomain(a->AceDomain);
        ASSERT_NE(e, nullptr);
        const TFoundSettings f = FromTable(*e, *a, lsTable, e->Name);
        EXPECT_EQ(f.Host, c.host);
        EXPECT_EQ(f.Port, c.port);
        EXPECT_EQ(f.Security, c.security);
        EXPECT_EQ(f.User, c.user);
        EXPECT_EQ(f.OAuth2, c.oauth2);
        EXPECT_FALSE(f.PlainPassword);
    }
    EXPECT_EQ(table.ForDomain("example.org"), nullptr);
    EXPECT_EQ(table.ForDomain("mail.ru.example.org"), nullptr);

    const struct {
        const char *exchanger;
        const char *id;   // nullptr: not a listed provider
    } mx[] = {
        {"aspmx.l.google.com.", "gmail"},
        {"ALT1.ASPMX.L.GOOGLE.COM", "gmail"},
        {"example-org.mail.protection.outlook.com", "microsoft365"},
        {"mx.yandex.net", "yandex"},
        {"emx.mail.ru", "mailru"},
        {"mx.zoho.eu", "zohocustomeu"},
        {"in1-smtp.messagingengine.com", "fastmail"},
        {"notgoogle.com", nullptr},
        {"google.com.example.org", nullptr},
        {"mx.example.org", nullptr},
    };
    for (const auto &m : mx) {
        const TProviderEntry *e = table.ForMx(m.exchanger);
        if (m.id) {
            ASSERT_NE(e, nullptr) << m.exchanger;
            EXPECT_EQ(e->Id, m.id) << m.exchanger;
        } else {
            EXPECT_EQ(e, nullptr) << m.exchanger << " -> " << (e ? e->Id.toStdString() : "");
        }
    }
}

TEST(ProviderAddress, TheFromFieldGivesAnAddressOrNothing)
{
    const struct {
        const char *text;
        const char *domain;   // nullptr: not an address
        const char *ace;
        const char *local;
    } cases[] = {
        {"anna@example.org", "example.org", "example.org", "anna"},
        {"  Anna Smith <Anna.Smith@Example.ORG.> ", "example.org", "example.org", "Anna.Smith"},
        {"ivan@пример.рф", "пример.рф", "xn--e1afmkfd.xn--p1ai", "ivan"},
        {"a+tag@sub.example.co.uk", "sub.example.co.uk", "sub.example.co.uk", "a+tag"},
        {"", nullptr, nullptr, nullptr},
        {"anna", nullptr, nullptr, nullptr},
        {"@example.org", nullptr, nullptr, nullptr},
        {"anna@", nullptr, nullptr, nullptr},
        {"anna@localhost", nullptr, nullptr, nullptr},
        {"an na@example.org", nullptr, nullptr, nullptr},
        {"anna@exa mple.org", nullptr, nullptr, nullptr},
        {"anna@-bad.org", nullptr, nullptr, nullptr},
        {"anna@example..org", nullptr, nullptr, nullptr},
        {"Anna <anna@example.org", nullptr, nullptr, nullptr},
    };
    for (const auto &c : cases) {
        const std::optional<TMailAddress> a = ParseMailAddress(QString::fromUtf8(c.text));
        if (!c.domain) {
            EXPECT_FALSE(a) << c.text;
            continue;
        }
        ASSERT_TRUE(a) << c.text;
        EXPECT_EQ(a->Domain, QString::fromUtf8(c.domain)) << c.text;
        EXPECT_EQ(a->AceDomain, c.ace) << c.text;
        EXPECT_EQ(a->LocalPart, c.local) << c.text;
    }
}

// ---- the configuration file --------------------------------------------------------------------

TEST(ProviderAutoconfig, OnlyUsableSmtpEntriesAreTakenAndAPlainPasswordIsFlagged)
{
    const TMailAddress a = *ParseMailAddress("anna@example.org");
    const struct {
        QString xml;
        const char *host;   // nullptr: nothing taken, `error` says why
        int port;
        int security;
        const char *user;
        bool plain;
        bool oauth2;
        const char *error;
    } cases[] = {
        {ConfigFile({"smtp.example.org 465 SSL password-cleartext %EMAILADDRESS%"}), "smtp.example.org", 465, fsTls,
         "anna@example.org", false, false, nullptr},
        {ConfigFile({"SMTP.%EMAILDOMAIN%. 587 STARTTLS password-encrypted %EMAILLOCALPART%"}), "smtp.example.org", 587,
         fsStartTls, "anna", false, false, nullptr},
        // TLS is preferred over an earlier plain entry.
        {ConfigFile({"plain.example.org 25 plain password-cleartext %EMAILADDRESS%",
                     "tls.example.org 587 STARTTLS password-cleartext %EMAILADDRESS%"}),
         "tls.example.org", 587, fsStartTls, "anna@example.org", false, false, nullptr},
        // Only plain text with a password: taken, but flagged.
        {ConfigFile({"plain.example.org 587 plain password-cleartext %EMAILADDRESS%"}), "plain.example.org", 587, fsNone,
         "anna@example.org", true, false, nullptr},
        // Plain text without a login sends no password; to this computer it stays here.
        {ConfigFile({"relay.example.org 25 plain none x"}), "relay.example.org", 25, fsNone, "", false, false, nullptr},
        {ConfigFile({"localhost 1025 plain password-cleartext %EMAILADDRESS%"}), "localhost", 1025, fsNone,
         "anna@example.org", false, false, nullptr},
        {ConfigFile({"smtp.example.org 465 SSL OAuth2 %EMAILADDRESS%"}), "smtp.example.org", 465, fsTls,
         "anna@example.org", false, true, nullptr},
        // Entries the program cannot use are passed over.
        {ConfigFile({"smtp.example.org 465 SSL GSSAPI %EMAILADDRESS%"}), nullptr, 0, 0, nullptr, false, false,
         "no SMTP server"},
        {ConfigFile({"smtp.example.org 99999 SSL password-cleartext x", "evil;host 465 SSL password-cleartext x",
                     "smtp.example.org 465 SSL3 password-cleartext x"}),
         nullptr, 0, 0, nullptr, false, false, "no SMTP server"},
        {ConfigFile({}), nullptr, 0, 0, nullptr, false, false, "no SMTP server"},
        {QStringLiteral("<clientConfig><emailProvider><outgoingServer type=\"smtp\"><hostname>x</outgoingServer>"), nullptr,
         0, 0, nullptr, false, false, "not well-formed"},
        {QStringLiteral("<html><body>Not found</body></html>"), nullptr, 0, 0, nullptr, false, false,
         "not a mail configuration file"},
        {QStringLiteral("<clientConfig version=\"1.1\"></clientConfig>"), nullptr, 0, 0, nullptr, false, false,
         "no mail provider"},
        {QString(), nullptr, 0, 0, nullptr, false, false, "not well-formed"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.xml.toStdString());
        const TAutoconfigResult r = ParseAutoconfig(c.xml.toUtf8(), a, false);
        if (!c.host) {
            EXPECT_FALSE(r.Found);
            EXPECT_TRUE(r.ErrorEn.contains(c.error)) << r.ErrorEn.toStdString();
            EXPECT_FALSE(r.ErrorRu.isEmpty());
            continue;
        }
        ASSERT_TRUE(r.Found) << r.ErrorEn.toStdString();
        EXPECT_EQ(r.Found->Host, c.host);
        EXPECT_EQ(r.Found->Port, c.port);
        EXPECT_EQ(r.Found->Security, c.security);
        EXPECT_EQ(r.Found->User, c.user);
        EXPECT_EQ(r.Found->PlainPassword, c.plain);
        EXPECT_EQ(r.Found->OAuth2, c.oauth2);
        // What is offered never sends a password in plain text to another computer.
        const TFoundSettings offer = SafeProposal(*r.Found);
        EXPECT_EQ(offer.Security, c.plain ? fsStartTls : c.security);
        EXPECT_EQ(offer.Port, c.port);
    }

    // The provider's note in the interface language, and only an https page as its link.
    const QString extra = QStringLiteral(
        "  <enable visiturl=\"https://example.org/app-passwords\">\n"
        "   <instruction lang=\"en\">Create an app password first.</instruction>\n"
        "   <instruction lang=\"ru\">Сначала создайте пароль приложения.</instruction>\n"
        "  </enable>\n  <documentation url=\"http://example.org/help\"><descr lang=\"en\">Help</descr></documentation>\n");
    const QByteArray xml = ConfigFile({"smtp.example.org 465 SSL password-cleartext %EMAILADDRESS%"}, extra).toUtf8();
    const TAutoconfigResult en = ParseAutoconfig(xml, a, false), ru = ParseAutoconfig(xml, a, true);
    ASSERT_TRUE(en.Found && ru.Found);
    EXPECT_EQ(en.Found->NoteEn, "Create an app password first.");
    EXPECT_EQ(ru.Found->NoteRu, "Сначала создайте пароль приложения.");
    EXPECT_EQ(en.Found->Link, "https://example.org/app-passwords");
    EXPECT_TRUE(en.Found->Documentation.isEmpty()) << "a plain http page is not offered";
    EXPECT_EQ(en.Found->ProviderName, "Example Mail");

    for (const char *h : {"localhost", "LOCALHOST.", "127.0.0.1", "127.3.4.5", "::1", "[::1]"})
        EXPECT_TRUE(IsLoopbackHost(h)) << h;
    for (const char *h : {"example.org", "128.0.0.1", "localhost.example.org", "10.0.0.1", ""})
        EXPECT_FALSE(IsLoopbackHost(h)) << h;
}

// ---- the network, end to end -------------------------------------------------------------------

class ProviderLookupNetwork : public ::testing::Test {
protected:
    void SetUp() override
    {
        servers = StandardServers();
        if (!servers->skip.isEmpty())
            GTEST_SKIP() << servers->skip.toStdString();
        ASSERT_TRUE(servers->Ready());
    }
    void TearDown() override { servers.reset(); }

    // Runs one lookup to its end (a watchdog fails a lookup that never ends).
    TLookupOutcome Run(const QString &from, int *finishedCount = nullptr)
    {
        TProviderLookup lookup;
        int finished = 0;
        QEventLoop loop;
        QObject::connect(&lookup, &TProviderLookup::Finished, &loop, [&] {
            ++finished;
            loop.quit();
        });
        QTimer watchdog;
        watchdog.setSingleShot(true);
        QObject::connect(&watchdog, &QTimer::timeout, &loop, [&] {
            ADD_FAILURE() << "the lookup for " << from.toStdString() << " never ended";
            loop.quit();
        });
        watchdog.start(60000);
        const std::optional<TMailAddress> a = ParseMailAddress(from);
        EXPECT_TRUE(a);
        lookup.Start(*a, false);
        EXPECT_EQ(finished, 0) << "Finished came before Start returned";
        loop.exec();
        // Nothing more comes later.
        QCoreApplication::processEvents();
        EXPECT_EQ(finished, 1);
        if (finishedCount)
            *finishedCount = finished;
        for (const TSourceReport &r : lookup.Outcome().Reports)
            EXPECT_NE(r.State, TSourceReport::Running) << "a source still running after the end";
        return lookup.Outcome();
    }

    std::unique_ptr<ProviderServers> servers;
};

TEST_F(ProviderLookupNetwork, TheSourcesAnswerInTheirOrder)
{
    const struct {
        const char *from;
        TLookupSource source;
        const char *host;
        int port;
        int security;
        const char *user;
    } cases[] = {
        {"anna@srv.test", lsSrvSubmissions, "mail.srv.test", 465, fsTls, "anna@srv.test"},
        {"anna@starttls.test", lsSrvSubmission, "mail.starttls.test", 2587, fsStartTls, "anna@starttls.test"},
        {"anna@dot.test", lsSrvSubmission, "mail.dot.test", 587, fsStartTls, "anna@dot.test"},
        {"anna@conf.test", lsAutoconfigHost, "smtp.conf.test", 465, fsTls, "anna@conf.test"},
        {"anna@wellknown.test", lsAutoconfigWellKnown, "smtp.wellknown.test", 587, fsStartTls, "anna"},
        {"anna@hosted.test", lsMx, "smtp.gmail.com", 465, fsTls, "anna@hosted.test"},
        {"anna@m365.test", lsMx, "smtp.office365.com", 587, fsStartTls, "anna@m365.test"},
        {"anna@gmail.com", lsTable, "smtp.gmail.com", 465, fsTls, "anna@gmail.com"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.from);
        const TLookupOutcome o = Run(c.from);
        ASSERT_TRUE(o.Found);
        EXPECT_EQ(o.Found->Source, c.source);
        EXPECT_EQ(o.Found->Host, c.host);
        EXPECT_EQ(o.Found->Port, c.port);
        EXPECT_EQ(o.Found->Security, c.security);
        EXPECT_EQ(o.Found->User, c.user);
        EXPECT_FALSE(o.Found->PlainPassword);
        EXPECT_FALSE(o.TimedOut);
        EXPECT_EQ(o.Reports[c.source].State, TSourceReport::Found);
    }
    // The file's note and where it came from travel with the result.
    const TLookupOutcome conf = Run("anna@conf.test");
    ASSERT_TRUE(conf.Found);
    EXPECT_EQ(conf.Found->NoteEn, "Create an app password at conf.test first.");
    EXPECT_EQ(conf.Found->Link, "https://conf.test/app-passwords");
    EXPECT_TRUE(conf.Found->Where.startsWith("https://autoconfig.conf.test/mail/config-v1.1.xml?emailaddress="));
    const TLookupOutcome hosted = Run("anna@hosted.test");
    ASSERT_TRUE(hosted.Found);
    EXPECT_EQ(hosted.Found->Where, "aspmx.l.google.com");

    const QStringList asked = servers->Requests();
    EXPECT_TRUE(asked.contains("https autoconfig.conf.test /mail/config-v1.1.xml?emailaddress=anna%40conf.test"))
        << asked.join('\n').toStdString();
    EXPECT_TRUE(asked.contains("dns SRV _submissions._tcp.srv.test")) << asked.join('\n').toStdString();
    // A table provider is answered without any network.
    for (const QString &line : asked)
        EXPECT_FALSE(line.contains("gmail.com")) << line.toStdString();
}

TEST_F(ProviderLookupNetwork, BadFilesAndServersAreReportedAndNeverTaken)
{
    const struct {
        const char *from;
        TSourceReport::TState state;   // of the file at autoconfig.DOMAIN
        const char *detail;
    } cases[] = {
        {"anna@broken.test", TSourceReport::Failed, "not well-formed"},
        {"anna@big.test", TSourceReport::Failed, "larger than 64 KB"},
        {"anna@bigchunked.test", TSourceReport::Failed, "larger than 64 KB"},
        {"anna@redirect.test", TSourceReport::Failed, "plain HTTP"},
        {"anna@nothing.test", TSourceReport::Nothing, "no such file"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.from);
        const TLookupOutcome o = Run(c.from);
        EXPECT_FALSE(o.Found);
        EXPECT_FALSE(o.TimedOut);
        EXPECT_EQ(o.Reports[lsAutoconfigHost].State, c.state);
        EXPECT_TRUE(o.Reports[lsAutoconfigHost].DetailEn.contains(c.detail))
            << o.Reports[lsAutoconfigHost].DetailEn.toStdString();
        EXPECT_FALSE(o.Reports[lsAutoconfigHost].DetailRu.isEmpty());
        for (TLookupSource s : {lsSrvSubmissions, lsSrvSubmission, lsMx})
            EXPECT_EQ(o.Reports[s].State, TSourceReport::Nothing) << s;
    }
    // The redirect's plain HTTP address was never asked for.
    EXPECT_FALSE(servers->Requests().join('\n').contains("/config.xml")) << servers->Requests().join('\n').toStdString();

    // A file that would send the password in plain text is found but flagged.
    const TLookupOutcome plain = Run("anna@plain.test");
    ASSERT_TRUE(plain.Found);
    EXPECT_TRUE(plain.Found->PlainPassword);
    EXPECT_EQ(plain.Found->Security, fsNone);
    EXPECT_EQ(SafeProposal(*plain.Found).Security, fsStartTls);

    // Without the test's CA the certificate does not verify: the file is refused and the next
    // source answers.
    TProviderLookup::TestHooks::SetExtraCaCertificates({});
    const TLookupOutcome untrusted = Run("anna@conf.test");
    EXPECT_EQ(untrusted.Reports[lsAutoconfigHost].State, TSourceReport::Failed);
    EXPECT_TRUE(untrusted.Reports[lsAutoconfigHost].DetailEn.contains("certificate"))
        << untrusted.Reports[lsAutoconfigHost].DetailEn.toStdString();
    ASSERT_TRUE(untrusted.Found);
    EXPECT_EQ(untrusted.Found->Source, lsMx);
}

TEST_F(ProviderLookupNetwork, ASlowServerIsCutAtTheTimeBoundAndCancelEndsAtOnce)
{
    // A file that trickles in and an SRV answer that comes late: both are cut at the bound.
    TProviderLookup::TestHooks::SetTimeLimit(2000);
    const TLookupOutcome slow = Run("anna@slow.test");
    EXPECT_TRUE(slow.TimedOut);
    EXPECT_FALSE(slow.Found);
    EXPECT_EQ(slow.Reports[lsAutoconfigHost].State, TSourceReport::TimedOut);
    EXPECT_EQ(slow.Reports[lsSrvSubmissions].State, TSourceReport::TimedOut);
    EXPECT_EQ(slow.Reports[lsMx].State, TSourceReport::Nothing);
    TProviderLookup::TestHooks::SetTimeLimit(0);

    // Cancel: everything ends in the call, and Finished comes once.
    TProviderLookup lookup;
    int finished = 0;
    QObject::connect(&lookup, &TProviderLookup::Finished, [&] { ++finished; });
    lookup.Start(*ParseMailAddress("anna@slow.test"), false);
    QEventLoop loop;
    QTimer::singleShot(300, &loop, &QEventLoop::quit);
    loop.exec();
    ASSERT_TRUE(lookup.Running());
    lookup.Cancel();
    EXPECT_FALSE(lookup.Running());
    EXPECT_EQ(finished, 1);
    EXPECT_TRUE(lookup.Outcome().Cancelled);
    EXPECT_FALSE(lookup.Outcome().Found);
    for (const TSourceReport &r : lookup.Outcome().Reports)
        EXPECT_NE(r.State, TSourceReport::Running);
    QTimer::singleShot(200, &loop, &QEventLoop::quit);
    loop.exec();
    EXPECT_EQ(finished, 1);
}

}  // namespace
