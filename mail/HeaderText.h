// Header values of a message made readable: the unfolded value of a field,
// its display text (RFC 2047 encoded words, charsets, raw 8-bit bytes), the
// first mailbox of an address list and the time of a date. Every function
// takes bytes as they came from the server, returns valid UTF-8 text (or a
// number) and never throws for any input.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The unfolded value of the first header field called Name (case-blind), from header lines as TOP
// delivered them: continuation lines (starting with space or tab) joined as RFC 5322 2.2.3 says
// (CR LF removed, the white space kept), the leading white space after the colon removed.
// std::nullopt when the block has no such field (the block ends at the first empty line).
std::optional<std::string> HeaderField(const std::vector<std::string>& Lines, std::string_view Name);

// Display text, UTF-8, of a header value: RFC 2047 encoded words decoded (B and Q, case-blind,
// every charset glibc's iconv knows, RFC 2231 language suffix "*lang" ignored); white space between
// two adjacent encoded words dropped; raw 8-bit runs read as UTF-8 where valid, else as
// Windows-1252; an encoded word that cannot be decoded (unknown charset, bad base64) kept as
// written; control characters (other than tab) replaced by U+FFFD or dropped; never throws.
//
// How mail in the wild is read:
// - An encoded word is recognised anywhere, also inside a word or a quoted string, and its Q text
//   may hold blanks and "?" (the word ends at the first "?="). One without its closing "?=" runs
//   to the next white space or the end and is decoded when its text is good.
// - The bytes of adjacent encoded words of one charset are joined before they are converted, so
//   a character split between two words comes out whole.
// - Charset labels are read as browsers and mail programs read them: ISO-8859-1 and US-ASCII as
//   Windows-1252, GB2312 and GBK as GB18030, EUC-KR as CP949, Shift_JIS as CP932, Big5 as
//   Big5-HKSCS; UTF-8 bytes that are not valid UTF-8 are read as Windows-1252 byte by byte.
//   Bytes a charset cannot convert become U+FFFD.
// - CR and LF are dropped; every other control character (C0 but tab, DEL, C1) becomes U+FFFD.
std::string DecodeHeaderText(std::string_view Raw);

// The first mailbox of an address-list value (From): display name (decoded, quotes and
// quoted-pair escapes removed, comments dropped) and the addr-spec; Name empty when none is given.
// The old form "address (Name)" gives the comment as the name when there is no other name; a
// group ("Team: a@b, c@d;") gives its first member, an empty group its name and no address;
// an address without angle brackets after words ("Name a@b") is taken as the address.
struct TMailbox {
    std::string Name;
    std::string Address;
};
TMailbox ParseMailbox(std::string_view Raw);

// An RFC 5322 date-time, obsolete forms included (two- and three-digit years, named zones UT GMT
// EST EDT CST CDT MST MDT PST PDT, military zones read as +0000, missing seconds or weekday,
// comments, extra white space): seconds since the epoch, UTC. std::nullopt when it is no date.
// Also read: the asctime order ("Mon Dec  1 14:05:00 2025"), "+hh:mm" zones, AM/PM, full month
// names. A missing or unknown zone counts as +0000 (RFC 5322 4.3); the weekday is not checked.
// A date needs a day, a month, a year and a time; days that do not exist are no date.
std::optional<int64_t> ParseMailDate(std::string_view Raw);
