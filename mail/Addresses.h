// Recipient and sender entries: splitting a field into entries, checking
// that each is an e-mail address, and the forms an address takes on the
// wire. Internationalized domains go as A-labels (IDNA2008, libidn2); a
// local part outside ASCII stays UTF-8 and needs a server offering
// SMTPUTF8.
//
// The checks work on UTF-8; ToUtf8 turns a field in the message's charset
// into UTF-8 first.
#pragma once

#include <string>
#include <vector>

namespace vok {

// Why an entry is not an address.
enum class TAddressProblem {
  apNone,
  apEmpty,         // nothing but blanks or a comment
  apNoAt,          // no "@" at all ("Foo Bar")
  apNameComma,     // a display name with a comma, not quoted: the comma split it
  apLocalPart,     // the part before "@" is neither a dot-atom nor a quoted string
  apDomain,        // the part after "@" is no domain or address literal
  apTrailingText,  // text after the angle-bracketed address
  apDisplayName,   // characters a display name may not hold unquoted, or an open quote
  apTooLong        // local part over 64 bytes or address over 254
};

struct TAddress {
  std::string Entry;      // the entry as given, trimmed (for an apNameComma, both pieces)
  std::string Name;       // the display name as given (before "<"), trimmed; empty for a bare address
  std::string Typed;      // the bare address as typed
  // The address to send: the local part as typed, the domain in A-labels; an international
  // address (which goes only with SMTPUTF8) keeps its domain as typed.
  std::string Wire;
  bool International = false;  // the local part is not ASCII: needs SMTPUTF8
  TAddressProblem Problem = TAddressProblem::apNone;
  std::string Detail;     // what was refused (the domain and libidn2's reason, the text after ">")
  bool Ok() const { return Problem == TAddressProblem::apNone; }
};

// A field split into its entries at commas and semicolons outside quotes,
// comments and angle brackets; entries trimmed, empty ones kept.
std::vector<std::string> SplitEntries(const std::string& text);

// One entry checked: a bare address or a display name followed by an
// address in angle brackets; comments "(...)" are allowed around either.
TAddress CheckEntry(const std::string& entry);

// Every non-empty entry of a field checked, in order. An entry without "@"
// followed by one with a display name is reported once, as a display name
// with a comma that needs quotes.
std::vector<TAddress> CheckEntries(const std::string& text);

// The first entry of the result that is not an address, or nullptr.
const TAddress* FirstProblem(const std::vector<TAddress>& list);

// An English sentence naming the entry and what is wrong, with a hint
// where one helps.
std::string ProblemText(const TAddress& a);

// The field as UTF-8: unchanged for UTF-8 and ASCII, else converted from
// charset (bytes that do not convert become U+FFFD, which no check passes).
std::string ToUtf8(const std::string& bytes, const std::string& charset);

// The field as a header value: entries joined by ", ", each as its display
// name (bytes as given) and its wire address in angle brackets, or the bare
// wire address. A field whose entries are all plain ASCII addresses and
// that has no semicolon comes back unchanged; so does one holding an entry
// that is no address. charset is the field's.
std::string HeaderAddressList(const std::string& field, const std::string& charset);

}  // namespace vok
