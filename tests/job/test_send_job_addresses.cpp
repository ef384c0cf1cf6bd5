// The send job's address check against a real server (aiosmtpd, read back with Python's
// email): what goes out for fields a user types in either language, and the error, in both
// languages and in a box, for a field that is no address or a server without SMTPUTF8.
#include "SendJob.h"
#include "job_test_support.h"

#include "SmtpSink.h"
#include "TempDir.h"
#include "Strings.h"

#include <QJsonArray>
#include <QRegularExpression>

#include <gtest/gtest.h>

using namespace testsupport;

namespace {

QStringList Strings(const QJsonValue &v)
{
    QStringList out;
    for (const QJsonValue &x : v.toArray())
        out << x.toString();
    return out;
}

struct Case {
    const char *name;
    bool russian;
    bool smtputf8;   // the server offers SMTPUTF8
    QString to, cc;
    // Delivered: the envelope, MAIL FROM's options and the To addresses Python reads.
    QStringList rcpt, mailOptions, toAddresses, toNames;
    // Refused: the protocol's last line in each language.
    QString english, russianLine;
};

TEST(JobAddresses, FieldsThroughTheJobToARealServer)
{
    const QString kInvalidTo = QStringLiteral("Invalid address (To): ");
    const std::vector<Case> cases = {
        {"semicolon between addresses", false, false, "Ann <ann@example.org>; bob@example.org", "",
         {"ann@example.org", "bob@example.org"}, {}, {"ann@example.org", "bob@example.org"}, {"Ann", ""}, "", ""},
        {"IDN domain in Russian mode", true, false, "Иван <ivan@пример.рф>", "",
         {"ivan@xn--e1afmkfd.xn--p1ai"}, {}, {"ivan@xn--e1afmkfd.xn--p1ai"}, {"Иван"}, "", ""},
        {"non-ASCII local part, server with SMTPUTF8", true, true, "Иван <иван@пример.рф>", "",
         {"иван@пример.рф"}, {"SMTPUTF8"}, {"иван@пример.рф"}, {"Иван"}, "", ""},
        {"non-ASCII local part, server without SMTPUTF8", false, false, "иван@пример.рф", "", {}, {}, {}, {},
         "иван@пример.рф: the server does not accept international addresses (no SMTPUTF8)",
         "иван@пример.рф: сервер не принимает международные адреса (нет SMTPUTF8)"},
        {"display name with a comma", true, true, "Петров, Пётр <p@x.test>", "", {}, {}, {}, {},
         kInvalidTo + "\"Петров, Пётр <p@x.test>\" — a display name with a comma needs quotes: "
                      "\"Surname, Name\" <address>",
         "Неверный адрес (Кому): \"Петров, Пётр <p@x.test>\" — имя с запятой нужно взять в кавычки: "
         "\"Фамилия, Имя\" <адрес>"},
        {"a name in Cc", false, true, "a@x.test", "Foo Bar", {}, {}, {}, {},
         "Invalid address (Cc): \"Foo Bar\" — this is not an e-mail address (no @)",
         "Неверный адрес (Копия): \"Foo Bar\" — это не адрес электронной почты (нет @)"},
        {"text after the address", false, true, "Ann <ann@example.org> bob@example.org", "", {}, {}, {}, {},
         kInvalidTo + "\"Ann <ann@example.org> bob@example.org\" — text after the address: bob@example.org; "
                      "separate addresses with commas or semicolons",
         "Неверный адрес (Кому): \"Ann <ann@example.org> bob@example.org\" — текст после адреса: "
         "bob@example.org; адреса разделяются запятой или точкой с запятой"},
        {"invalid IDN domain", false, true, "a@пример..рф", "", {}, {}, {}, {},
         kInvalidTo + "\"a@пример..рф\" — invalid domain пример..рф", ""},
    };
    TempDir dir{"sendorix-addresses"};
    const std::string file = dir.file("a.txt");
    WriteFile(file, "file 1\n");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SmtpSink sink(c.smtputf8 ? QStringList{"--smtputf8"} : QStringList{});
        ASSERT_NE(sink.port, 0);
        StringBase = c.russian ? RussianBase : EnglishBase;
        TSendRequest r;
        r.Russian = c.russian;
        r.Account = "me@example.org";
        r.To = c.to;
        r.CC = c.cc;
        r.Subject = "Addresses";
        r.Text = "Hello";
        r.Files = {QString::fromStdString(file)};
        r.Server = "127.0.0.1";
        r.Port = QString::number(sink.port);
        // A login: the password question comes before connecting, so a field checked before it
        // never sees it. SMTPUTF8 needs the server, and aiosmtpd here offers no login.
        const bool checkedBeforeConnecting = c.rcpt.isEmpty() && !c.english.contains("SMTPUTF8");
        if (checkedBeforeConnecting)
            r.User = QStringLiteral("someone");
        r.TimeoutMs = 5000;
        r.ProgramTitle = "Sendorix test";
        TVokSMTP smtp;
        smtp.HostNameSource = [] { return std::string("client.example.net"); };
        TVokMsg msg;
        jobtest::RecordingHost host;
        host.Password = QStringLiteral("secret");
        TSendJob job(smtp, msg, host, r);
        job.Run();
        if (!c.rcpt.isEmpty()) {
            EXPECT_EQ(job.Outcome(), TJobOutcome::joDone) << host.English.join('\n').toStdString();
            ASSERT_EQ(sink.Count(), 1);
            const QJsonObject m = sink.Message(1);
            EXPECT_EQ(Strings(m.value("rcpt_tos")), c.rcpt);
            // SIZE=n comes with every EHLO session; SMTPUTF8 only with an international address.
            const QStringList options = Strings(m.value("mail_options")).filter(QRegularExpression("^(?!SIZE=)"));
            EXPECT_EQ(options, c.mailOptions) << options.join(' ').toStdString();
            EXPECT_EQ(Strings(m.value("modern").toObject().value("to_addresses")), c.toAddresses);
            EXPECT_EQ(Strings(m.value("modern").toObject().value("to_names")), c.toNames);
            EXPECT_TRUE(host.Boxes.isEmpty());
            // The protocol names the recipients as typed.
            EXPECT_TRUE(host.English.contains("To: " + c.to)) << host.English.join('\n').toStdString();
            continue;
        }
        EXPECT_EQ(job.Outcome(), TJobOutcome::joFailed);
        EXPECT_EQ(sink.Count(), 0);
        ASSERT_FALSE(host.English.isEmpty());
        EXPECT_EQ(host.English.last(), c.english);
        if (!c.russianLine.isEmpty()) {
            EXPECT_EQ(host.Russian.last(), c.russianLine);
        }
        // The box says it in the interface language.
        ASSERT_EQ(host.Boxes.size(), 1);
        EXPECT_EQ(host.Boxes[0], c.russian ? host.Russian.last() : host.English.last());
        EXPECT_FALSE(host.Statuses.isEmpty());
        // A field that is no address is refused before the password is asked or the server
        // reached; only a server's answer to EHLO can tell about SMTPUTF8.
        EXPECT_FALSE(host.AskedForSecret);
        EXPECT_EQ(host.English.filter("Connecting to server").isEmpty(), checkedBeforeConnecting);
    }
    StringBase = EnglishBase;
}

}  // namespace
