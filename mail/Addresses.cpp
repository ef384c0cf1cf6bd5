// Entries of the address fields: splitting, the address check, the wire forms.
#include "Addresses.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iconv.h>
#include <idn2.h>

#include "HeaderWords.h"
#include "vok_util.h"

namespace vok {

namespace {


// atext of RFC 5322, ASCII part.
bool IsAtext(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  return std::isalnum(u) || (u < 0x80 && c != '\0' && std::strchr("!#$%&'*+-/=?^_`{|}~", c));
}

// True when s is valid UTF-8 (no overlong two-byte forms, no bytes past U+10FFFF's lead).
bool ValidUtf8(const std::string& s) {
  size_t i = 0;
  while (i < s.size()) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n = 0;
    if (c < 0x80) n = 0;
    else if (c >= 0xC2 && c <= 0xDF) n = 1;
    else if (c >= 0xE0 && c <= 0xEF) n = 2;
    else if (c >= 0xF0 && c <= 0xF4) n = 3;
    else return false;
    for (size_t k = 1; k <= n; ++k)
      if (i + k >= s.size() || (static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += n + 1;
  }
  return true;
}

// The text with comments "(...)" outside quoted strings removed (nesting
// and backslash escapes as in RFC 5322); false when one is left open.
bool WithoutComments(const std::string& s, std::string& out) {
  out.clear();
  bool quoted = false;
  int depth = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if ((quoted || depth > 0) && c == '\\' && i + 1 < s.size()) {
      if (depth == 0) {
        out += c;
        out += s[i + 1];
      }
      ++i;
      continue;
    }
    if (depth > 0) {
      if (c == '(') ++depth;
      if (c == ')') --depth;
      continue;
    }
    if (c == '"') quoted = !quoted;
    if (c == '(' && !quoted) {
      depth = 1;
      continue;
    }
    out += c;
  }
  return depth == 0;
}

bool DotAtom(const std::string& s, bool& international) {
  if (s.empty() || s.front() == '.' || s.back() == '.' || s.find("..") != std::string::npos) return false;
  for (char c : s) {
    if (static_cast<unsigned char>(c) >= 0x80) {
      international = true;
      continue;
    }
    if (c != '.' && !IsAtext(c)) return false;
  }
  return ValidUtf8(s);
}

// A quoted local part, quotes included; its content may be any text but
// line breaks and NUL.
bool QuotedLocal(const std::string& s, bool& international) {
  if (s.size() < 2 || s.front() != '"' || s.back() != '"') return false;
  for (size_t i = 1; i + 1 < s.size(); ++i) {
    const char c = s[i];
    if (c == '\r' || c == '\n' || c == '\0') return false;
    if (c == '"') return false;
    if (c == '\\') {
      if (i + 2 >= s.size()) return false;  // would escape the closing quote
      ++i;
      if (s[i] == '\r' || s[i] == '\n' || s[i] == '\0') return false;
    }
    if (static_cast<unsigned char>(s[i]) >= 0x80) international = true;
  }
  return ValidUtf8(s);
}

bool LdhDomain(const std::string& d) {
  if (d.empty() || d.size() > 253) return false;
  size_t start = 0;
  for (;;) {
    size_t dot = d.find('.', start);
    const std::string label = d.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
    if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-') return false;
    for (char c : label)
      if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-') return false;
    if (dot == std::string::npos) return true;
    start = dot + 1;
  }
}

// The domain to send, or the reason it cannot be one (in detail).
bool WireDomain(const std::string& domain, std::string& wire, std::string& detail) {
  if (!domain.empty() && domain.front() == '[') {
    wire = domain;
    if (domain.back() != ']') return false;
    const std::string inner = domain.substr(1, domain.size() - 2);
    unsigned char buf[16];
    if (inner.rfind("IPv6:", 0) == 0) return inet_pton(AF_INET6, inner.c_str() + 5, buf) == 1;
    return inet_pton(AF_INET, inner.c_str(), buf) == 1;
  }
  if (IsAscii(domain)) {
    wire = domain;
    return LdhDomain(domain);
  }
  if (!ValidUtf8(domain)) return false;
  char* out = nullptr;
  const int rc = idn2_to_ascii_8z(domain.c_str(), &out, IDN2_NFC_INPUT | IDN2_NONTRANSITIONAL);
  if (rc != IDN2_OK) {
    detail = idn2_strerror(rc);
    return false;
  }
  wire = out;
  idn2_free(out);
  return LdhDomain(wire);
}

// Checks addr (the bare address, trimmed) into a.
void CheckAddrSpec(const std::string& addr, TAddress& a) {
  a.Typed = addr;
  if (addr.empty()) {
    a.Problem = TAddressProblem::apEmpty;
    return;
  }
  // The "@" after the local part: past a quoted local part, else the last one.
  size_t at;
  if (addr.front() == '"') {
    size_t close = std::string::npos;
    for (size_t i = 1; i < addr.size(); ++i) {
      if (addr[i] == '\\') {
        ++i;
        continue;
      }
      if (addr[i] == '"') {
        close = i;
        break;
      }
    }
    at = close == std::string::npos ? addr.rfind('@') : close + 1;
    if (at != std::string::npos && (at >= addr.size() || addr[at] != '@')) at = addr.find('@', at);
  } else {
    at = addr.rfind('@');
  }
  if (at == std::string::npos) {
    a.Problem = TAddressProblem::apNoAt;
    return;
  }
  const std::string local = addr.substr(0, at), domain = addr.substr(at + 1);
  const bool localOk = local.front() == '"' ? QuotedLocal(local, a.International)
                                            : DotAtom(local, a.International);
  if (local.empty() || !localOk) {
    a.Problem = TAddressProblem::apLocalPart;
    a.Detail = local;
    return;
  }
  std::string wireDomain, why;
  if (!WireDomain(domain, wireDomain, why)) {
    a.Problem = TAddressProblem::apDomain;
    a.Detail = why.empty() ? domain : domain + " (" + why + ")";
    return;
  }
  // With SMTPUTF8 the whole address goes as UTF-8, the domain as typed (it passed the
  // IDNA check above); otherwise the domain goes in A-labels.
  a.Wire = local + "@" + (a.International ? domain : wireDomain);
  if (local.size() > 64 || a.Wire.size() > 254) a.Problem = TAddressProblem::apTooLong;
}

// A display name: words and quoted strings; the specials that end or
// split a name are allowed only inside quotes.
bool DisplayNameOk(const std::string& name) {
  bool quoted = false;
  for (size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    if (quoted && c == '\\') {
      ++i;
      continue;
    }
    if (c == '"') quoted = !quoted;
    else if (!quoted && std::strchr("<>[]:;@\\,", c) && c != '\0') return false;
  }
  return !quoted;
}

// Where the angle-bracketed address starts: the first "<" outside quotes
// and comments, or npos.
size_t AngleStart(const std::string& s) {
  bool quoted = false;
  int depth = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if ((quoted || depth) && c == '\\') {
      ++i;
      continue;
    }
    if (depth) {
      depth += c == '(' ? 1 : c == ')' ? -1 : 0;
      continue;
    }
    if (c == '"') quoted = !quoted;
    else if (!quoted && c == '(') depth = 1;
    else if (!quoted && c == '<') return i;
  }
  return std::string::npos;
}

}  // namespace

std::vector<std::string> SplitEntries(const std::string& text) {
  std::vector<std::string> list;
  if (TrimText(text).empty()) return list;
  std::string entry;
  bool quoted = false, angle = false;
  int depth = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if ((quoted || depth) && c == '\\' && i + 1 < text.size()) {
      entry += c;
      entry += text[++i];
      continue;
    }
    if (depth) {
      depth += c == '(' ? 1 : c == ')' ? -1 : 0;
    } else if (c == '"') {
      quoted = !quoted;
    } else if (!quoted) {
      if (c == '(') depth = 1;
      else if (c == '<') angle = true;
      else if (c == '>') angle = false;
      else if ((c == ',' || c == ';') && !angle) {
        list.push_back(TrimText(entry));
        entry.clear();
        continue;
      }
    }
    entry += c;
  }
  list.push_back(TrimText(entry));
  return list;
}

TAddress CheckEntry(const std::string& entry) {
  TAddress a;
  a.Entry = TrimText(entry);
  const size_t lt = AngleStart(a.Entry);
  if (lt == std::string::npos) {
    std::string bare;
    if (!WithoutComments(a.Entry, bare)) {
      a.Problem = TAddressProblem::apDisplayName;
      return a;
    }
    bare = TrimText(bare);
    if (bare.find('>') != std::string::npos) {
      a.Problem = TAddressProblem::apDisplayName;
      return a;
    }
    CheckAddrSpec(bare, a);
    // Blanks inside an address without "@" show a name, not an address.
    return a;
  }
  std::string name;
  a.Name = TrimText(a.Entry.substr(0, lt));
  if (!WithoutComments(a.Name, name) || !DisplayNameOk(name)) {
    a.Problem = TAddressProblem::apDisplayName;
    a.Detail = a.Name;
    return a;
  }
  // The closing ">" of the address: past a quoted local part.
  size_t gt = std::string::npos;
  bool quoted = false;
  for (size_t i = lt + 1; i < a.Entry.size(); ++i) {
    if (quoted && a.Entry[i] == '\\') {
      ++i;
      continue;
    }
    if (a.Entry[i] == '"') quoted = !quoted;
    if (a.Entry[i] == '>' && !quoted) {
      gt = i;
      break;
    }
  }
  if (gt == std::string::npos) {
    a.Problem = TAddressProblem::apDisplayName;
    a.Detail = a.Entry.substr(lt);
    return a;
  }
  std::string rest;
  const std::string after = a.Entry.substr(gt + 1);
  if (!WithoutComments(after, rest) || !TrimText(rest).empty()) {
    a.Problem = TAddressProblem::apTrailingText;
    a.Detail = TrimText(after);
    return a;
  }
  CheckAddrSpec(TrimText(a.Entry.substr(lt + 1, gt - lt - 1)), a);
  return a;
}

std::vector<TAddress> CheckEntries(const std::string& text) {
  const std::vector<std::string> entries = SplitEntries(text);
  std::vector<TAddress> list;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].empty()) continue;
    TAddress a = CheckEntry(entries[i]);
    if (a.Problem == TAddressProblem::apNoAt && i + 1 < entries.size() &&
        AngleStart(entries[i + 1]) != std::string::npos && !CheckEntry(entries[i + 1]).Name.empty()) {
      a.Problem = TAddressProblem::apNameComma;
      a.Entry = entries[i] + ", " + entries[i + 1];
      ++i;
    }
    list.push_back(std::move(a));
  }
  return list;
}

const TAddress* FirstProblem(const std::vector<TAddress>& list) {
  for (const TAddress& a : list)
    if (!a.Ok()) return &a;
  return nullptr;
}

std::string ProblemText(const TAddress& a) {
  const std::string entry = "\"" + HeaderSafe(a.Entry) + "\"";
  const std::string detail = HeaderSafe(a.Detail);
  switch (a.Problem) {
    case TAddressProblem::apNone:
      return std::string();
    case TAddressProblem::apEmpty:
      return "The address " + entry + " is empty.";
    case TAddressProblem::apNoAt:
      return entry + " is not an e-mail address (no @).";
    case TAddressProblem::apNameComma:
      return entry + ": a display name with a comma needs quotes (\"Name, Given\" <address>).";
    case TAddressProblem::apLocalPart:
      return entry + ": the part before @ is not valid.";
    case TAddressProblem::apDomain:
      return entry + ": invalid domain " + detail + ".";
    case TAddressProblem::apTrailingText:
      return entry + ": text after the address (" + detail +
             "); separate addresses with commas or semicolons.";
    case TAddressProblem::apDisplayName:
      return entry + ": the display name holds characters it may not hold without quotes.";
    case TAddressProblem::apTooLong:
      return entry + ": the address is too long.";
  }
  return std::string();
}

std::string ToUtf8(const std::string& bytes, const std::string& charset) {
  if (IsAscii(bytes) || IsUtf8Charset(charset)) return bytes;
  iconv_t cd = iconv_open("UTF-8", charset.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return bytes;
  std::string out;
  std::string in = bytes;
  char* src = in.data();
  size_t left = in.size();
  char buf[256];
  while (left > 0) {
    char* dst = buf;
    size_t room = sizeof buf;
    const size_t r = iconv(cd, &src, &left, &dst, &room);
    out.append(buf, static_cast<size_t>(dst - buf));
    if (r == static_cast<size_t>(-1) && errno != E2BIG) {
      out += "\xEF\xBF\xBD";  // a byte that does not convert
      ++src;
      --left;
    }
  }
  iconv_close(cd);
  return out;
}

std::string HeaderAddressList(const std::string& field, const std::string& charset) {
  const std::vector<std::string> entries = SplitEntries(field);
  bool rewrite = field.find(';') != std::string::npos;
  std::vector<TAddress> checked;
  for (const std::string& e : entries) {
    if (e.empty()) continue;
    TAddress a = CheckEntry(ToUtf8(e, charset));
    if (!a.Ok()) return field;
    if (a.Wire != a.Typed || !IsAscii(a.Typed)) rewrite = true;
    // The display name keeps the field's bytes: it is encoded as a word in that charset.
    const size_t lt = AngleStart(e);
    a.Name = lt == std::string::npos ? std::string() : TrimText(e.substr(0, lt));
    checked.push_back(std::move(a));
  }
  if (!rewrite) return field;
  std::string out;
  for (const TAddress& a : checked) {
    if (!out.empty()) out += ", ";
    out += a.Name.empty() ? a.Wire : a.Name + " <" + a.Wire + ">";
  }
  return out;
}

}  // namespace vok
