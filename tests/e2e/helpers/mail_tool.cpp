// Test helper driven by the Python end-to-end tests: composes a message to a
// file, or sends a numbered series of messages over one SMTP connection,
// using the mail library exactly as the program does.
//
//   mail_tool build OUT [options] FILE...   lines after DATA, CR LF ended
//   mail_tool send [options] FILE...        prints one result line per step; a
//                                           message the server took is SENT even
//                                           if the connection ended after it
// options: --host H --port P --from A --user NAME --to L --cc L --bcc L
//          --subject S --text LINE (repeatable) --base64 --charset C
//          --per N (files per message when sending; default all)
//          --count N (build: N messages, one after another, into OUT)
//          --start-at MS (wait until this wall-clock time, ms since the epoch,
//                         so that several processes build at the same moment)
// secure sending: --security none|starttls|tls --login USER --auth auto|plain|login|oauth2
//          --password-stdin (the first line of standard input is the secret)
//          --cafile F (trusted besides the system's) --pin FINGERPRINT
//          --trace (prints every line written, as the events show it)
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "VokSMTP.h"
#include "vok_util.h"

namespace {

struct Options {
  std::string host = "127.0.0.1", port = "25";
  std::string from, user, to, cc, bcc, subject, charset = "utf-8";
  std::vector<std::string> text, files;
  bool base64 = false;
  int per = 0;
  int count = 1;
  long long startAt = 0;
  std::string security = "none", login, auth = "auto", cafile, pin;
  bool passwordStdin = false, trace = false;
};

void Fill(TVokMsg& msg, const Options& o) {
  msg.From = o.from;
  msg.UserName = o.user;
  msg.SendTo = o.to;
  msg.CC = o.cc;
  msg.BCC = o.bcc;
  msg.CharSet = o.charset;
  msg.TextEncoding = o.base64 ? teBase64 : te8Bit;
  msg.Text = o.text;
}

int Build(const std::string& out, const Options& o) {
  TVokSMTP smtp;
  smtp.Host = o.host;
  if (o.startAt > 0)
    std::this_thread::sleep_until(std::chrono::system_clock::time_point(
        std::chrono::milliseconds(o.startAt)));
  std::ofstream file(out, std::ios::binary);
  for (int n = 0; n < o.count; ++n) {
    TVokMsg msg;
    Fill(msg, o);
    msg.Subject = o.subject;
    msg.Date = vok::FormatMessageDate(std::time(nullptr));
    for (const auto& f : o.files) msg.AttachedFiles.AddFile(f);
    auto lines = smtp.BuildMessage(msg);
    if (!lines) return 3;
    file << lines->Text();
  }
  return file.good() ? 0 : 2;
}

int SendSeries(const Options& o) {
  TVokSMTP smtp;
  smtp.Host = o.host;
  smtp.Port = o.port;
  smtp.TimeOut = 20000;
  smtp.Security = o.security == "starttls" ? secStartTls : o.security == "tls" ? secTls : secNone;
  smtp.UserName = o.login;
  smtp.AuthMethod = o.auth == "plain" ? amPlain : o.auth == "login" ? amLogin
                    : o.auth == "oauth2" ? amOAuth2 : amAutomatic;
  smtp.ExtraCaFile = o.cafile;
  smtp.PinnedFingerprint = o.pin;
  if (o.passwordStdin) std::getline(std::cin, smtp.Password);
  if (o.trace)
    smtp.OnSendTextToSocket = [](void*, const std::string& s) {
      std::string line = s;
      while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
      std::cout << "C: " << line.substr(0, 200) << std::endl;
    };
  smtp.Connect();
  if (smtp.Failed) {
    std::cout << "CONNECT FAILED " << smtp.ReplyCode << " " << smtp.ReplyText << std::endl;
    if (smtp.CertificateRefused)
      std::cout << "CERT " << smtp.Certificate.Reason << "|" << smtp.Certificate.Subject << "|"
                << smtp.Certificate.Issuer << "|" << smtp.Certificate.Fingerprint << std::endl;
    return 1;
  }
  std::cout << "CONNECTED" << (smtp.Encrypted ? " TLS" : "") << (smtp.AuthUsed.empty() ? "" : " AUTH ")
            << smtp.AuthUsed << std::endl;
  TVokMsg msg;
  Fill(msg, o);
  size_t per = o.per > 0 ? static_cast<size_t>(o.per) : std::max<size_t>(o.files.size(), 1);
  size_t total = o.files.empty() ? 1 : (o.files.size() + per - 1) / per;
  for (size_t n = 0; n < total; ++n) {
    msg.AttachedFiles.Clear();
    char subject[512];
    std::snprintf(subject, sizeof subject, "%s %zu(%zu)", o.subject.c_str(), n + 1, total);
    msg.Subject = subject;
    for (size_t i = n * per; i < std::min(o.files.size(), (n + 1) * per); ++i)
      msg.AttachedFiles.AddFile(o.files[i]);
    smtp.Send(msg);
    // A message the server took counts as sent even when the step after it
    // (RSET) failed, as in the window.
    if (smtp.Failed && !smtp.Delivered) {
      std::cout << "SEND FAILED " << smtp.ReplyCode << " " << smtp.ReplyText << (smtp.TooLarge ? " TOO LARGE" : "")
                << std::endl;
      return 1;
    }
    std::cout << "SENT " << n + 1 << std::endl;
    if (smtp.Failed) {
      std::cout << "AFTER SENT " << smtp.ReplyCode << " " << smtp.ReplyText << std::endl;
      if (!smtp.Connected && n + 1 < total) {
        // The rest of the series needs a connection again.
        smtp.Connect();
        if (smtp.Failed) {
          std::cout << "CONNECT FAILED " << smtp.ReplyCode << " " << smtp.ReplyText << std::endl;
          return 1;
        }
        std::cout << "RECONNECTED" << std::endl;
      }
    }
  }
  // The series is complete; a connection the server already closed needs no QUIT.
  if (!smtp.Connected) {
    std::cout << "DONE" << std::endl;
    return 0;
  }
  smtp.Quit();
  std::cout << (smtp.Failed ? "QUIT FAILED" : "DONE") << std::endl;
  return smtp.Failed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 64;
  std::string mode = argv[1];
  Options o;
  std::string out;
  int i = 2;
  if (mode == "build") {
    if (argc < 3) return 64;
    out = argv[2];
    i = 3;
  }
  for (; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
    if (a == "--host") o.host = next();
    else if (a == "--port") o.port = next();
    else if (a == "--from") o.from = next();
    else if (a == "--user") o.user = next();
    else if (a == "--to") o.to = next();
    else if (a == "--cc") o.cc = next();
    else if (a == "--bcc") o.bcc = next();
    else if (a == "--subject") o.subject = next();
    else if (a == "--text") o.text.push_back(next());
    else if (a == "--charset") o.charset = next();
    else if (a == "--base64") o.base64 = true;
    else if (a == "--per") o.per = std::atoi(next().c_str());
    else if (a == "--count") o.count = std::atoi(next().c_str());
    else if (a == "--security") o.security = next();
    else if (a == "--login") o.login = next();
    else if (a == "--auth") o.auth = next();
    else if (a == "--cafile") o.cafile = next();
    else if (a == "--pin") o.pin = next();
    else if (a == "--password-stdin") o.passwordStdin = true;
    else if (a == "--trace") o.trace = true;
    else if (a == "--start-at") o.startAt = std::atoll(next().c_str());
    else o.files.push_back(a);
  }
  try {
    if (mode == "build") return Build(out, o);
    if (mode == "send") return SendSeries(o);
  } catch (const std::exception& e) {
    std::cout << "ERROR " << e.what() << std::endl;
    return 2;
  }
  return 64;
}
