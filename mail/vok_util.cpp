#include "vok_util.h"

#include "HeaderWords.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <unistd.h>
#include <unordered_map>

namespace vok {

namespace {

std::function<void()>& Hook() {
  static std::function<void()> hook;
  return hook;
}

std::chrono::steady_clock::time_point& LastPump() {
  static std::chrono::steady_clock::time_point last{};
  return last;
}

std::string& Title() {
  static std::string title = "Sendorix " SENDORIX_VERSION;
  return title;
}

bool IsCtlOrSpace(char c) { return static_cast<unsigned char>(c) <= ' '; }

}  // namespace

void SetProcessMessagesHook(std::function<void()> hook) { Hook() = std::move(hook); }

void ProcessMessages() {
  LastPump() = std::chrono::steady_clock::now();
  if (Hook()) Hook()();
}

void PumpMessages() {
  auto now = std::chrono::steady_clock::now();
  if (now - LastPump() >= std::chrono::milliseconds(10)) ProcessMessages();
}

void SetApplicationTitle(std::string title) { Title() = std::move(title); }
const std::string& ApplicationTitle() { return Title(); }

std::string PadNumber(long long n, int width) {
  std::string s = std::to_string(n);
  while (static_cast<int>(s.size()) < width) s.insert(s.begin(), '0');
  return s;
}

namespace {
// A part of a dotted address as a number: optional sign and decimal digits,
// nothing else (no blanks, no hex); a failure counts as -1 here.
long long ReadInt(const std::string& s) {
  if (s.empty() || s.size() > 18) return -1;
  size_t i = 0;
  bool neg = false;
  if (s[0] == '+' || s[0] == '-') { neg = s[0] == '-'; i = 1; }
  if (i >= s.size()) return -1;
  long long v = 0;
  for (; i < s.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(s[i]))) return -1;
    v = v * 10 + (s[i] - '0');
  }
  return neg ? -v : v;
}
}  // namespace

bool IsIPAddress(const std::string& s) {
  std::string rest = s;
  for (int i = 0; i < 3; ++i) {
    size_t dot = rest.find('.');
    if (dot == std::string::npos) return false;
    long long part = ReadInt(rest.substr(0, dot));
    rest.erase(0, dot + 1);
    if (part < 0 || part > 255) return false;
  }
  long long last = ReadInt(rest);
  return last >= 0 && last <= 255;
}

int TimeZoneBias(std::time_t t) {
  // The zone's real offset at t, whether or not the zone has daylight rules:
  // a zone without them still has an offset, and "GMT" would misdate mail.
  std::tm tm{};
  if (!localtime_r(&t, &tm)) return 0;
  return static_cast<int>(-tm.tm_gmtoff / 60);
}

int TimeZoneBias() { return TimeZoneBias(std::time(nullptr)); }

std::string ZoneText(int bias) {
  if (bias == 0) return "GMT";
  if (bias < 0) return "+" + PadNumber(-bias / 60, 2) + PadNumber(-bias % 60, 2);
  return "-" + PadNumber(bias / 60, 2) + PadNumber(bias % 60, 2);
}

std::string ZoneText() { return ZoneText(TimeZoneBias()); }

std::string FormatMessageDate(const std::tm& t, int bias) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  // Recompute the weekday so a hand-filled tm gives the right day name.
  std::tm copy = t;
  copy.tm_isdst = -1;
  std::tm norm = copy;
  timegm(&norm);
  std::string s = kDays[norm.tm_wday % 7];
  s += ", ";
  s += std::to_string(t.tm_mday);
  s += " ";
  s += kMonths[(t.tm_mon % 12 + 12) % 12];
  s += " ";
  s += std::to_string(t.tm_year + 1900);
  s += " ";
  s += PadNumber(t.tm_hour, 2) + ":" + PadNumber(t.tm_min, 2) + ":" + PadNumber(t.tm_sec, 2);
  s += " ";
  s += ZoneText(bias);
  return s;
}

std::string FormatMessageDate(std::time_t t) {
  std::tm tm{};
  localtime_r(&t, &tm);
  return FormatMessageDate(tm, TimeZoneBias(t));
}

std::string MakeTempFileName() {
  const char* dir = std::getenv("TMPDIR");
  std::string path = (dir && *dir) ? dir : "/tmp";
  if (path.size() > 1 && path.back() == '/') path.pop_back();
  path += "/vokXXXXXX";
  int fd = mkstemp(path.data());
  if (fd < 0) return path;  // the caller's create then fails with this name
  close(fd);
  std::remove(path.c_str());
  return path;
}

std::string ExtractFileName(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

namespace {
std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

const std::unordered_map<std::string, std::string>& MimeTable() {
  static const std::unordered_map<std::string, std::string> table = [] {
    std::unordered_map<std::string, std::string> t;
    std::ifstream in("/etc/mime.types");
    std::string line;
    while (std::getline(in, line)) {
      size_t hash = line.find('#');
      if (hash != std::string::npos) line.erase(hash);
      std::vector<std::string> words;
      size_t i = 0;
      while (i < line.size()) {
        while (i < line.size() && IsCtlOrSpace(line[i])) ++i;
        size_t j = i;
        while (j < line.size() && !IsCtlOrSpace(line[j])) ++j;
        if (j > i) words.push_back(line.substr(i, j - i));
        i = j;
      }
      // The first listing of an extension wins, as in other mail programs.
      for (size_t k = 1; k < words.size(); ++k) t.emplace(Lower(words[k]), words[0]);
    }
    return t;
  }();
  return table;
}
}  // namespace

std::string ContentTypeOf(const std::string& fileName) {
  std::string name = ExtractFileName(fileName);
  size_t dot = name.rfind('.');
  std::string result;
  if (dot != std::string::npos && dot + 1 < name.size()) {
    auto it = MimeTable().find(Lower(name.substr(dot + 1)));
    if (it != MimeTable().end()) result = it->second;
  }
  if (result.empty()) result = "application/octet-stream";
  return result;
}

std::string TrimText(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && IsCtlOrSpace(s[b])) ++b;
  while (e > b && IsCtlOrSpace(s[e - 1])) --e;
  return s.substr(b, e - b);
}

std::string HeaderSafe(const std::string& s) {
  if (s.find_first_of("\r\n") == std::string::npos) return s;
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (c == '\r' || c == '\n') {
      if (c == '\r' && i + 1 < s.size() && s[i + 1] == '\n') ++i;
      out += ' ';
    } else {
      out += c;
    }
  }
  return out;
}

std::string QuoteEscape(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

std::string ExtractAddress(const std::string& text, bool brackets) {
  // Comments "(...)" go, first "(" to first ")", in one pass over the text
  // (what lies before a removed comment holds no parenthesis any more).
  std::string s;
  s.reserve(text.size());
  for (size_t at = 0;;) {
    size_t open = text.find('(', at);
    size_t close = text.find(')', at);
    // A ")" before the first "(" ends comment removal: nothing sensible
    // could be cut there.
    if (open == std::string::npos || close == std::string::npos || close < open) {
      s.append(text, at, std::string::npos);
      break;
    }
    s.append(text, at, open - at);
    at = close + 1;
  }
  s = TrimText(s);
  size_t lt = s.find('<');
  size_t gt = s.find('>');
  if (lt != std::string::npos && gt != std::string::npos)
    s = gt > lt ? s.substr(lt + 1, gt - lt - 1) : std::string();
  if (brackets) s = "<" + s + ">";
  return s;
}

std::vector<std::string> SplitAddresses(const std::string& text) {
  std::vector<std::string> list;
  const std::string trimmed = TrimText(text);
  if (trimmed.empty()) return list;
  // Quoted display names go whole; a quote without its pair goes alone.
  // One pass each, so a long list costs time in proportion to its length.
  std::string s;
  s.reserve(trimmed.size());
  for (size_t at = 0;;) {
    size_t q1 = trimmed.find('"', at);
    if (q1 == std::string::npos) {
      s.append(trimmed, at, std::string::npos);
      break;
    }
    s.append(trimmed, at, q1 - at);
    size_t q2 = trimmed.find('"', q1 + 1);
    if (q2 == std::string::npos) {
      s.append(trimmed, q1 + 1, std::string::npos);
      break;
    }
    at = q2 + 1;
  }
  s = Lower(std::move(s));
  for (size_t start = 0;;) {
    size_t comma = s.find(',', start);
    if (comma == std::string::npos) {
      list.push_back(ExtractAddress(s.substr(start), false));
      break;
    }
    list.push_back(ExtractAddress(s.substr(start, comma - start), false));
    start = comma + 1;
  }
  return list;
}

uint16_t RoundPercent(uint64_t part, uint64_t whole) {
  if (whole == 0) return 100;
  uint64_t num = part * 100;
  uint64_t q = num / whole, r = num % whole;
  if (2 * r > whole || (2 * r == whole && (q & 1))) ++q;
  return static_cast<uint16_t>(q);
}

std::vector<std::string> FoldHeader(const std::string& line) {
  return FoldHeaderAt(line, kMaxLineLength);
}

}  // namespace vok
