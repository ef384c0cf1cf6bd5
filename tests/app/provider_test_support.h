// The provider lookup's servers for tests: a DNS server on port 53 of a loopback address of its
// own (python3-dnslib) and an HTTPS server with a certificate made here by openssl, reached
// through the lookup's test hooks (nameserver, extra CA, where an HTTPS host is reached). The
// servers stop when the object goes (or after two minutes by themselves).
#pragma once

#include "ProviderLookup.h"

#include <QByteArray>
#include <QFile>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSslCertificate>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

namespace providertest {

// A configuration file as a domain publishes it, with one SMTP entry per item of `servers`
// ("host port socketType authentication username").
inline QString ConfigFile(const QStringList &servers, const QString &extra = QString())
{
    QString out = QStringLiteral("<?xml version=\"1.0\"?>\n<clientConfig version=\"1.1\">\n"
                                 " <emailProvider id=\"example\">\n  <domain>example</domain>\n"
                                 "  <displayName>Example Mail</displayName>\n"
                                 "  <incomingServer type=\"imap\"><hostname>imap.in.test</hostname><port>993</port>"
                                 "<socketType>SSL</socketType><username>%EMAILADDRESS%</username></incomingServer>\n");
    for (const QString &s : servers) {
        const QStringList f = s.split(QLatin1Char(' '));
        out += QStringLiteral("  <outgoingServer type=\"smtp\"><hostname>%1</hostname><port>%2</port>"
                              "<socketType>%3</socketType><authentication>%4</authentication>"
                              "<username>%5</username></outgoingServer>\n")
                   .arg(f.value(0), f.value(1), f.value(2), f.value(3), f.value(4));
    }
    return out + extra + QStringLiteral(" </emailProvider>\n</clientConfig>\n");
}

inline bool RunOpenSsl(const QString &dir, const QStringList &args)
{
    QProcess p;
    p.setWorkingDirectory(dir);
    p.start(QStringLiteral("openssl"), args);
    return p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

class ProviderServers {
public:
    // records: zone lines; routes: "host/path" -> route (see provider_servers.py); hosts: the
    // names the HTTPS certificate is made for and that the lookup reaches at this server.
    ProviderServers(const QStringList &records, const QJsonObject &routes, const QStringList &hosts,
                    const QJsonObject &dnsDelay = QJsonObject())
    {
        const QString d = dir.path();
        const QStringList key = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};
        QStringList san;
        for (const QString &h : hosts)
            san << "DNS:" + h;
        QFile ext(d + "/leaf.ext");
        if (!ext.open(QIODevice::WriteOnly))
            return;
        ext.write(("subjectAltName=" + san.join(',') + "\n").toUtf8());
        ext.close();
        if (!RunOpenSsl(d, QStringList{"req", "-x509"} + key
                               + QStringList{"-keyout", "ca.key", "-out", "ca.pem", "-days", "2", "-subj",
                                             "/CN=Provider Test CA", "-addext", "basicConstraints=critical,CA:TRUE",
                                             "-addext", "keyUsage=critical,keyCertSign,cRLSign"})
            || !RunOpenSsl(d, QStringList{"req"} + key
                                  + QStringList{"-keyout", "leaf.key", "-out", "leaf.csr", "-subj", "/CN=provider.test"})
            || !RunOpenSsl(d, {"x509", "-req", "-in", "leaf.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                               "-CAcreateserial", "-out", "leaf.pem", "-days", "2", "-extfile", "leaf.ext"})) {
            ADD_FAILURE() << "openssl could not make the test certificates";
            return;
        }
        QJsonObject config;
        config["records"] = QJsonArray::fromStringList(records);
        config["routes"] = routes;
        config["dns_delay"] = dnsDelay;
        config["cert"] = d + "/leaf.pem";
        config["key"] = d + "/leaf.key";
        QFile c(d + "/config.json");
        if (!c.open(QIODevice::WriteOnly))
            return;
        c.write(QJsonDocument(config).toJson());
        c.close();

        proc.start(QStringLiteral(TEST_PYTHON),
                   {QStringLiteral(TEST_SOURCE_DIR "/app/provider_servers.py"), d + "/config.json"});
        QByteArray line;
        for (int i = 0; i < 300 && !line.contains('\n') && proc.state() != QProcess::NotRunning; ++i) {
            proc.waitForReadyRead(100);
            line += proc.readAllStandardOutput();
        }
        const QJsonObject ready = QJsonDocument::fromJson(line.trimmed()).object();
        if (ready.contains("skip")) {
            skip = ready["skip"].toString();
            return;
        }
        dns = QHostAddress(ready["dns"].toString());
        https = ready["https"].toInt();
        if (dns.isNull() || https == 0) {
            ADD_FAILURE() << "the test servers did not start: " << line.toStdString()
                          << proc.readAllStandardError().toStdString();
            return;
        }
        caFile = d + "/ca.pem";
        TProviderLookup::TestHooks::SetNameserver(dns);
        TProviderLookup::TestHooks::SetExtraCaCertificates(QSslCertificate::fromPath(caFile));
        for (const QString &h : hosts)
            TProviderLookup::TestHooks::SetHttpsEndpoint(h, QStringLiteral("127.0.0.1:%1").arg(https));
    }
    ~ProviderServers()
    {
        TProviderLookup::TestHooks::Reset();
        proc.closeWriteChannel();
        if (!proc.waitForFinished(5000)) {
            proc.kill();
            proc.waitForFinished(2000);
        }
    }
    bool Ready() const { return https != 0; }
    // What the servers were asked ("dns SRV name", "https host /path?query"), in order.
    QStringList Requests() const
    {
        QFile f(dir.path() + "/config.json.log");
        if (!f.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
    }

    QString skip;
    QHostAddress dns;
    int https = 0;
    QString caFile;

private:
    QTemporaryDir dir;
    QProcess proc;
};

// ---- the domains of the tests ----------------------------------------------------------------
// srv.test: SRV for TLS (and everything else); starttls.test: SRV for STARTTLS only; dot.test:
// "no TLS service" then STARTTLS; conf.test: a file at autoconfig.conf.test (and MX to Google);
// wellknown.test: a file under .well-known; hosted.test, m365.test: MX of listed providers;
// broken, big, bigchunked, redirect, plain, slow, nothing: files that must not be taken.

inline const QStringList Records = {
    // SRV for TLS wins over STARTTLS, the file and MX.
    "_submissions._tcp.srv.test. 60 IN SRV 10 1 465 mail.srv.test.",
    "_submissions._tcp.srv.test. 60 IN SRV 20 1 465 backup.srv.test.",
    "_submission._tcp.srv.test. 60 IN SRV 0 1 587 other.srv.test.",
    "srv.test. 60 IN MX 10 aspmx.l.google.com.",
    // STARTTLS only; the lower priority number and then the higher weight win.
    "_submission._tcp.starttls.test. 60 IN SRV 5 10 587 light.starttls.test.",
    "_submission._tcp.starttls.test. 60 IN SRV 5 90 2587 mail.starttls.test.",
    "_submission._tcp.starttls.test. 60 IN SRV 9 99 25 late.starttls.test.",
    // "." says there is no TLS submission service.
    "_submissions._tcp.dot.test. 60 IN SRV 0 0 0 .",
    "_submission._tcp.dot.test. 60 IN SRV 0 1 587 mail.dot.test.",
    // A file wins over MX.
    "conf.test. 60 IN MX 10 aspmx.l.google.com.",
    "hosted.test. 60 IN MX 20 mx.hosted.test.",
    "hosted.test. 60 IN MX 5 aspmx.l.google.com.",
    "m365.test. 60 IN MX 0 m365-test.mail.protection.outlook.com.",
    "nothing.test. 60 IN MX 10 mx.nothing.test.",
    // A port the sender page's four-digit field cannot hold.
    "_submissions._tcp.bigport.test. 60 IN SRV 0 1 10465 mail.bigport.test.",
};

inline QJsonObject Route(const QString &body)
{
    return QJsonObject{{"body", body}};
}

inline QJsonObject Routes()
{
    const QString path = "/mail/config-v1.1.xml";
    const QString wellKnown = "/.well-known/autoconfig/mail/config-v1.1.xml";
    QJsonObject r;
    r["autoconfig.srv.test" + path] = Route(ConfigFile({"file.srv.test 465 SSL password-cleartext %EMAILADDRESS%"}));
    r["autoconfig.starttls.test" + path] = Route(ConfigFile({"file.starttls.test 465 SSL password-cleartext x"}));
    r["autoconfig.conf.test" + path] =
        Route(ConfigFile({"smtp.conf.test 465 SSL password-cleartext %EMAILADDRESS%"},
                         "  <enable visiturl=\"https://conf.test/app-passwords\"><instruction lang=\"en\">Create an app "
                         "password at conf.test first.</instruction></enable>\n"));
    r["conf.test" + wellKnown] = Route(ConfigFile({"other.conf.test 587 STARTTLS password-cleartext x"}));
    r["wellknown.test" + wellKnown] = Route(ConfigFile({"smtp.wellknown.test 587 STARTTLS password-cleartext %EMAILLOCALPART%"}));
    r["autoconfig.broken.test" + path] = Route("<clientConfig><emailProvider><outgoingServer type=\"smtp\">");
    r["autoconfig.big.test" + path] = QJsonObject{{"size", 200000}};
    r["autoconfig.bigchunked.test" + path] = QJsonObject{{"size", 300000}, {"chunked", true}};
    r["autoconfig.redirect.test" + path] = QJsonObject{{"status", 301}, {"location", "http://redirect.test/config.xml"}};
    r["autoconfig.plain.test" + path] = Route(ConfigFile({"smtp.plain.test 587 plain password-cleartext %EMAILADDRESS%"}));
    r["autoconfig.slow.test" + path] = QJsonObject{{"trickle", true}};
    return r;
}

inline const QStringList Hosts = {"autoconfig.srv.test", "autoconfig.starttls.test", "autoconfig.conf.test", "conf.test",
                           "wellknown.test", "autoconfig.wellknown.test", "autoconfig.broken.test", "autoconfig.big.test",
                           "autoconfig.bigchunked.test", "autoconfig.redirect.test", "redirect.test",
                           "autoconfig.plain.test", "autoconfig.slow.test", "slow.test", "autoconfig.nothing.test",
                           "nothing.test", "autoconfig.hosted.test", "hosted.test", "autoconfig.m365.test", "m365.test",
                           "autoconfig.dot.test", "dot.test", "srv.test", "starttls.test", "broken.test", "big.test",
                           "bigchunked.test", "plain.test"};

// The servers with the domains above; the SRV answer for slow.test comes after 4 s.
inline std::unique_ptr<ProviderServers> StandardServers()
{
    return std::make_unique<ProviderServers>(Records, Routes(), Hosts, QJsonObject{{"_submissions._tcp.slow.test", 4}});
}

}  // namespace providertest
