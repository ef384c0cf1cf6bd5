// What the job tests hand the send job as its window: a host that writes down what the job
// says and answers its questions as the test set them.
#pragma once

#include "SendJob.h"

#include <QStringList>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace jobtest {

class RecordingHost : public TSendJobHost {
public:
    QStringList Russian, English, Statuses, Boxes;
    std::function<void(const QString &english)> OnLine;   // the test's hand on the job
    std::optional<QString> Password;                      // nothing: the user declines
    QString CommandErrorEnglish;                          // set: the password command failed
    bool AskedForSecret = false;
    QStringList Accepted, Refused;                        // what the job said of the login

    void ClearProtocol() override
    {
        Russian.clear();
        English.clear();
    }
    void ProtocolLine(const QString &russian, const QString &english) override
    {
        Russian << russian;
        English << english;
        if (OnLine)
            OnLine(english);
    }
    void ProtocolAppend(const QString &russian, const QString &english) override
    {
        Russian.last() += russian;
        English.last() += english;
    }
    void Status(const QString &text) override { Statuses << text; }
    void Counter(const QString &) override {}
    TSecretAnswer Secret(const QString &, const QString &) override
    {
        AskedForSecret = true;
        TSecretAnswer a;
        if (!CommandErrorEnglish.isEmpty()) {
            a.ErrorRussian = QStringLiteral("RU ") + CommandErrorEnglish;
            a.ErrorEnglish = CommandErrorEnglish;
        } else {
            a.Secret = Password;
        }
        return a;
    }
    void SecretAccepted(const QString &, const QString &, const QString &secret) override { Accepted << secret; }
    void SecretRefused(const QString &, const QString &, const QString &reply) override { Refused << reply; }
    bool TrustCertificate(const QString &, const TCertificateProblem &) override { return false; }
    void ErrorBox(const QString &text) override { Boxes << text; }

    // The English protocol with the two times replaced by "*".
    std::vector<std::string> Lines() const
    {
        std::vector<std::string> lines;
        for (QString l : English) {
            for (const char *timed : {"Transfer started: ", "Transfer finished: "})
                if (l.startsWith(QLatin1String(timed)))
                    l = QLatin1String(timed) + QLatin1Char('*');
            lines.push_back(l.toStdString());
        }
        return lines;
    }
};

// A series to the test server on 127.0.0.1: the fields every job test starts from.
inline TSendRequest ServerRequest(int port, const QStringList &files)
{
    TSendRequest r;
    r.Account = "me@example.org";
    r.To = "to@example.org";
    r.Subject = "Series";
    r.Text = "Hello";
    r.Files = files;
    r.Server = "127.0.0.1";
    r.Port = QString::number(port);
    r.TimeoutMs = 5000;
    r.ReconnectAttempts = 2;
    r.ReconnectDelayMs = 10;
    r.ProgramTitle = "Sendorix test";
    return r;
}

}  // namespace jobtest
