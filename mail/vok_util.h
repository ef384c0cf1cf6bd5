// Small shared routines of the mail components: the user-interface hook,
// the application title, dates and zones, temporary names, MIME types by
// extension and the recipient address helpers.
//
// All texts are byte strings (std::string); nothing here converts them.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

namespace vok {

// ---- User-interface hook -------------------------------------------------
// The mail components run on the window's thread over a blocking socket.
// At fixed points they "let the user interface process its pending
// messages" by calling this hook; the application points it at its event
// loop (e.g. QCoreApplication::processEvents). No-op by default.
void SetProcessMessagesHook(std::function<void()> hook);
// Calls the hook now.
void ProcessMessages();
// Calls the hook only when at least 10 ms passed since it last really ran;
// used on hot paths (every encoded block, every sent line) so that a large
// message is not slowed by millions of event-loop passes.
void PumpMessages();

// ---- Progress ---------------------------------------------------------------
// part / whole as a percentage rounded to the nearest whole number, ties to
// even (100 for an empty whole).
uint16_t RoundPercent(uint64_t part, uint64_t whole);

// ---- Application title -----------------------------------------------------
// Written into the X-Mailer header. The window sets it to name and version.
void SetApplicationTitle(std::string title);
const std::string& ApplicationTitle();

// ---- Numbers, zones, dates ------------------------------------------------
// Decimal N, prefixed with "0" up to Width characters (never cut).
std::string PadNumber(long long n, int width);
// True for exactly four dot-separated numbers 0..255 ("10.0.0.1").
bool IsIPAddress(const std::string& s);
// Minutes from local time towards UTC at time t (east of Greenwich < 0).
int TimeZoneBias(std::time_t t);
int TimeZoneBias();  // now
// "GMT" for 0, else "+hhmm" / "-hhmm" (bias -180 gives "+0300").
std::string ZoneText(int bias);
std::string ZoneText();  // now
// Date header value, e.g. "Wed, 9 Jun 1999 07:05:03 +0300".
std::string FormatMessageDate(const std::tm& local, int bias);
std::string FormatMessageDate(std::time_t t);  // local time of t

// ---- Files ------------------------------------------------------------------
// A fresh name "vok..." in the temporary folder ($TMPDIR or /tmp); the name
// is reserved by creating the file and then removed, as callers create it.
std::string MakeTempFileName();
// MIME type by the file's extension from /etc/mime.types, matched without
// regard to letter case; "application/octet-stream" when none is known.
std::string ContentTypeOf(const std::string& fileName);
// The name part of a path (after the last '/').
std::string ExtractFileName(const std::string& path);

// ---- Addresses --------------------------------------------------------------
// The bare address of one recipient text: comments "(...)" removed, trimmed,
// the part between "<" and ">" taken when both occur; wrapped in "<" ">"
// when brackets is true.
std::string ExtractAddress(const std::string& text, bool brackets);
// A comma-separated recipient text split into lower-case bare addresses.
// Quoted display names are dropped first, so a comma inside one does not
// split; empty parts stay as empty items; a blank text gives an empty list.
std::vector<std::string> SplitAddresses(const std::string& text);

// ---- Small text helpers used across the library ----------------------------
// Trims spaces and control characters (bytes <= ' ') at both ends.
std::string TrimText(const std::string& s);
// A header value with every CR, LF or CR LF replaced by one space, so a
// value can never start a header line of its own.
std::string HeaderSafe(const std::string& s);
// The longest line SMTP servers must accept, line end not counted.
constexpr size_t kMaxLineLength = 998;
// A header line as physical lines: unchanged when it fits kMaxLineLength,
// else folded before blanks so that every piece fits (a piece after the
// first starts with the blank it was folded at; unfolding gives back the
// line). A run without blanks longer than the limit stays whole.
std::vector<std::string> FoldHeader(const std::string& line);
// A MIME quoted-string body: '"' and '\' escaped with a backslash.
std::string QuoteEscape(const std::string& s);

}  // namespace vok
