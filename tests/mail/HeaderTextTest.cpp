// Header values as mail programs receive them (folded, encoded, 8-bit,
// broken) and what the window shows of them.
#include "mail/HeaderText.h"

#include <gtest/gtest.h>

namespace {

TEST(HeaderTextTest, HeaderFieldUnfoldsTheFirstFieldOfTheBlock)
{
    const std::vector<std::string> block = {
        "Received: from mail1.example.net",
        "\tby mx.example.com; Mon, 1 Dec 2025 14:05:00 +0200",
        "SUBJECT:   Kokouksen esityslista torstaille ja",
        "\tTervetuloa m\xF6kille",
        "  juhannukseksi",
        "Subject: second",
        "Subject-Extra: not this one",
        "From :  Liisa <l@example.fi>",
        "X-Empty:",
        "X-Later:",
        " only folded",
        "",
        "Date: in the body",
    };
    const struct {
        const char* Name;
        std::optional<std::string> Value;
    } cases[] = {
        {"Subject", "Kokouksen esityslista torstaille ja\tTervetuloa m\xF6kille  juhannukseksi"},
        {"subject-extra", "not this one"},
        {"From", "Liisa <l@example.fi>"}, // blanks before the colon (obsolete syntax)
        {"Received", "from mail1.example.net\tby mx.example.com; Mon, 1 Dec 2025 14:05:00 +0200"},
        {"X-Empty", ""},
        {"X-Later", "only folded"},
        {"Date", std::nullopt}, // only after the empty line, in the body
        {"Subj", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(HeaderField(block, c.Name), c.Value) << c.Name;
    EXPECT_EQ(HeaderField({}, "Subject"), std::nullopt);
    EXPECT_EQ(HeaderField({" Subject: a continuation, not a field"}, "Subject"), std::nullopt);
}

TEST(HeaderTextTest, DecodeHeaderTextReadsMailAsMailProgramsDo)
{
    const struct {
        const char* Raw;
        const char* Shown; // UTF-8
    } cases[] = {
        // Well-formed encoded words, B and Q, in either letter case.
        {"=?UTF-8?B?UMOkaXbDpG4gc8Okw6Q=?=", "Päivän sää"},
        {"=?ISO-8859-1?Q?Fwd:_Matkavaraus_Ouluun?=", "Fwd: Matkavaraus Ouluun"},
        {"=?utf-8?b?UMOkaXbDpA==?= =?iso-8859-1?q?_ja_S=E4hk=F6?=", "Päivä ja Sähkö"},
        {"Re: =?UTF-8?Q?Kes=C3=A4loma?= (2025)", "Re: Kesäloma (2025)"},
        // Adjacent words: the white space between them goes, also a fold;
        // a character split between two words of one charset comes whole.
        {"=?UTF-8?Q?P=C3?=\t =?UTF-8?Q?=A4iv=C3=A4?=", "Päivä"},
        {"=?UTF-8?B?w6TD?= =?utf-8?B?tg==?=", "äö"},
        {"=?UTF-8?Q?a?= b =?UTF-8?Q?c?=", "a b c"},
        // RFC 2231 language; lower-case and encoded "?" in Q; blanks inside.
        {"=?UTF-8*fi?Q?Hyv=C3=A4=3F?=", "Hyvä?"},
        {"=?iso-8859-1?q?Hello World?=", "Hello World"},
        {"=?utf-8?q?Mit?" "?= nyt", "Mit? nyt"}, // "?" "?=": no trigraph
        // Inside a word and inside quotes.
        {"Tervetuloa=?UTF-8?Q?_m=C3=B6kille?=!", "Tervetuloa mökille!"},
        {"\"=?UTF-8?Q?Liisa_J=C3=A4rvinen?=\"", "\"Liisa Järvinen\""},
        // Missing "?=": decoded up to the white space or the end.
        {"=?UTF-8?B?UMOkaXbDpG4", "Päivän"},
        {"=?UTF-8?Q?P=C3=A4iv=C3=A4 huomenna", "Päivä huomenna"},
        // Not decodable: kept as written.
        {"=?x-bogus?Q?abc?= ok", "=?x-bogus?Q?abc?= ok"},
        {"=?UTF-8?B?@@@?=", "=?UTF-8?B?@@@?="},
        {"=?UTF-8//IGNORE?Q?a?=", "=?UTF-8//IGNORE?Q?a?="},
        {"=?UTF-8?X?abc?= =? ?=", "=?UTF-8?X?abc?= =? ?="},
        // Charsets through iconv, and labels read as their supersets.
        {"=?ISO-8859-15?Q?=A4?= =?ISO-8859-1?Q?=80?= =?us-ascii?Q?=80?=", "€€€"},
        {"=?koi8-r?B?8NLJ18XU?=", "Привет"},
        {"=?ISO-2022-JP?B?GyRCJUYlOSVIGyhC?=", "テスト"},
        {"=?gb2312?B?1tDOxA==?=", "中文"},
        {"=?Shift_JIS?B?gqA=?=", "あ"},
        {"=?Shift_JIS?B?/w==?= x", "\xEF\xBF\xBD x"}, // not convertible: U+FFFD
        // UTF-8 that is not UTF-8 (Windows-1252 mislabelled).
        {"=?UTF-8?Q?P=E4iv=E4?=", "Päivä"},
        // Raw 8-bit: UTF-8 where valid, Windows-1252 byte by byte otherwise.
        {"\"Pekka H\xC3\xA4m\xC3\xA4l\xC3\xA4inen\"", "\"Pekka Hämäläinen\""},
        {"Lasku joulukuulta, 49,90 \x80", "Lasku joulukuulta, 49,90 €"},
        {"P\xE4iv\xE4 ja P\xC3\xA4iv\xC3\xA4", "Päivä ja Päivä"},
        {"\xC3", "Ã"},
        {"\xED\xA0\x80", "í\xC2\xA0€"}, // a surrogate is no UTF-8: three Windows-1252 bytes
        // Control characters: CR and LF go, the others become U+FFFD; tab stays.
        {"a\tb\r\nc\x01\x1B[31m\x7F", "a\tbc\xEF\xBF\xBD\xEF\xBF\xBD[31m\xEF\xBF\xBD"},
        {"=?UTF-8?Q?x=00y=0Az=C2=85?=", "x\xEF\xBF\xBDyz\xEF\xBF\xBD"},
        {"=?windows-1252?Q?=81?=", "\xEF\xBF\xBD"},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DecodeHeaderText(c.Raw), c.Shown) << c.Raw;
}

TEST(HeaderTextTest, ParseMailboxGivesTheFirstNameAndAddress)
{
    const struct {
        const char* Raw;
        const char* Name;
        const char* Address;
    } cases[] = {
        {"Liisa Virtanen <liisa@example.org>", "Liisa Virtanen", "liisa@example.org"},
        {"\"Pekka H\xC3\xA4m\xC3\xA4l\xC3\xA4inen\" <pekka@example.fi>", "Pekka Hämäläinen", "pekka@example.fi"},
        {"=?ISO-8859-1?Q?Matti_Meik=E4l=E4inen?= <matti@example.com>", "Matti Meikäläinen", "matti@example.com"},
        {"\"=?UTF-8?Q?J=C3=A4rvinen=2C?= Anna\" <ak@example.com>", "Järvinen, Anna", "ak@example.com"},
        {"\"Virtanen, \\\"Lii\\\\sa\\\"\" (work) <l@example.org> (old)", "Virtanen, \"Lii\\sa\"", "l@example.org"},
        {"  Matti   (Meik\xE4l\xE4inen)  Mies <m@x.fi>", "Matti Mies", "m@x.fi"},
        {"pekka@example.fi (Pekka H\xE4m\xE4l\xE4inen)", "Pekka Hämäläinen", "pekka@example.fi"},
        {"pekka@example.fi", "", "pekka@example.fi"},
        {"<pekka@example.fi>", "", "pekka@example.fi"},
        {"Liisa liisa@example.org", "Liisa", "liisa@example.org"},
        {"\"john doe\"@example.com", "", "\"john doe\"@example.com"},
        {"Matti <m@example.fi", "Matti", "m@example.fi"},
        {"\"Unclosed <u@example.fi>", "Unclosed <u@example.fi>", ""},
        {"Liisa <@relay.example:liisa@example.org>", "Liisa", "liisa@example.org"},
        {"a@example.com, Second <b@example.com>", "", "a@example.com"},
        {", , First <f@example.com>", "First", "f@example.com"},
        {"Tiimi: Ville <v@example.org>, a@example.org;", "Ville", "v@example.org"},
        {"undisclosed-recipients:;", "undisclosed-recipients", ""},
        {"MAILER-DAEMON", "MAILER-DAEMON", ""},
        {"<>", "", ""},
        {"Kotitalous Oy <laskutus@\xC3\xA4x.fi>", "Kotitalous Oy", "laskutus@äx.fi"},
        {"(open comment <x@example.fi>", "open comment <x@example.fi>", ""},
        {"", "", ""},
    };
    for (const auto& c : cases) {
        const TMailbox box = ParseMailbox(c.Raw);
        EXPECT_EQ(box.Name + "|" + box.Address, std::string(c.Name) + "|" + c.Address) << c.Raw;
    }
}

TEST(HeaderTextTest, ParseMailDateReadsEveryFormMailCarries)
{
    constexpr int64_t kDec1 = 1764547200; // 2025-12-01 00:00:00 UTC
    constexpr int64_t kAt1205 = kDec1 + 12 * 3600 + 5 * 60;
    const struct {
        const char* Raw;
        std::optional<int64_t> Time;
    } cases[] = {
        {"Mon, 1 Dec 2025 14:05:00 +0200", kAt1205},
        {"1 Dec 2025 14:05 +0200", kAt1205},                         // no weekday, no seconds
        {"  Mon ,01   Dec\t2025 14:05:00   +0200  ", kAt1205},       // extra white space
        {"Mon, 1 Dec 2025 14:05:00 +0200 (EET)", kAt1205},           // comment
        {"Mon, (a (nested) one) 1 Dec 2025 (x\\)y) 14:05:00 +0200", kAt1205},
        {"mon, 1 dec 2025 12:05:00 GMT", kAt1205},
        {"Mon, 1 December 2025 12:05:00 UT", kAt1205},
        {"Mon, 1 Dec 2025 07:05:00 EST", kAt1205},
        {"Mon, 1 Dec 2025 08:05:00 EDT", kAt1205},
        {"Mon, 1 Dec 2025 04:05:00 PST", kAt1205},
        {"Mon, 1 Dec 2025 12:05:00 Z", kAt1205},
        {"Mon, 1 Dec 2025 12:05:00 A", kAt1205},                     // military: +0000
        {"Mon, 1 Dec 2025 12:05:00 CET", kAt1205},                   // unknown name: +0000
        {"Mon, 1 Dec 2025 12:05:00", kAt1205},                       // no zone
        {"Mon, 1 Dec 2025 14:05:00 +02:00", kAt1205},
        {"Mon, 1 Dec 2025 11:05:00 -0100", kAt1205},
        {"Mon, 1 Dec 25 12:05:00 +0000", kAt1205},                   // two-digit years
        {"1 Jan 49 00:00:00 +0000", int64_t(2493072000)},
        {"1 Jan 50 00:00:00 +0000", int64_t(-631152000)},
        {"Mon, 1 Dec 125 12:05:00 +0000", kAt1205},                  // three digits: 1900 +
        {"Mon Dec  1 12:05:00 2025", kAt1205},                       // asctime
        {"Mon Dec 1 14:05:00 +0200 2025", kAt1205},
        {"Mon, 1 Dec 2025 12:05 PM +0200", kAt1205 - 2 * 3600},
        {"Thu, 29 Feb 2024 00:00:00 +0000", int64_t(1709164800)},
        {"Sat, 1 Jan 2000 23:59:60 +0000", int64_t(946771200)},      // leap second
        {"Fri, 29 Feb 2025 00:00:00 +0000", std::nullopt},
        {"Mon, 32 Dec 2025 12:05:00 +0000", std::nullopt},
        {"Mon, 1 Dec 2025 24:00:00 +0000", std::nullopt},
        {"Mon, 1 Dec 2025", std::nullopt},                           // no time
        {"Mon, 1 2025 12:05:00 +0000", std::nullopt},                // no month
        {"Mon, Dec 12:05:00 +0000", std::nullopt},
        {"Mon, 1 Dec 20255 12:05:00 +0000", std::nullopt},
        {"huomenna", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ParseMailDate(c.Raw), c.Time) << c.Raw;
}

TEST(HeaderTextTest, ParseMailDateReadsTheCommonFormAsAnyOtherForm)
{
    // Dates in the form nearly all mail carries, at the edges of what it
    // allows; a blank put in front makes the same date take the general
    // reading, which must agree.
    constexpr int64_t kAt1205 = 1764590700; // 2025-12-01 12:05:00 UTC
    const struct {
        const char* Raw;
        std::optional<int64_t> Time;
    } cases[] = {
        {"Mon, 1 Dec 2025 14:05:00 +0200", kAt1205},
        {"01 Dec 2025 14:05 +0200", kAt1205},
        {"Mon, 1 Dec 2025 14:05:00 +0200 (EET)\t ", kAt1205},
        {"Mon, 1 Dec 2025 14:05:00 +0200 (EET) (x)", kAt1205},       // two comments
        {"Mon, 1 Dec 2025 14:05:00 +0200 (a (b) c)", kAt1205},       // nested
        {"Mon, 1 Dec 2025 14:05:00 +0200 (open", kAt1205},
        {"Mon, 1 Dec 2025 14:05:00 +0200 x", kAt1205},
        {"Mon, 1 Dec 2025 12:05:00 +0060", kAt1205},                 // zone out of range: none
        {"Mon, 1 Dec 2025 12:05:00 +2400", kAt1205},
        {"Mon, 1 Dec 2025 12:05:00 -0000", kAt1205},
        {"Mon, 1 Dec 2025 14:05:00 +02000", kAt1205 + 2 * 3600},     // five digits: no zone
        {"Mon, 1 Dec 2025 14:05:00 +02:00", kAt1205},
        {"Mon, 1 Dec 2025 14:05:000 +0200", std::nullopt},
        {"Mon,1 Dec 2025 14:05:00 +0200", kAt1205},
        {"Sat, 31 Dec 2016 23:59:60 +0000", int64_t(1483228800)},
        {"Sat, 1 Jan 1000 00:00:00 +0000", int64_t(-30610224000)},
        {"Fri, 31 Dec 9999 23:59:00 +0000", int64_t(253402300740)},
        {"Mon, 0 Dec 2025 12:05:00 +0000", std::nullopt},
        {"Mon, 31 Nov 2025 12:05:00 +0000", std::nullopt},
        {"Mon, 1 Dec 2025 24:00:00 +0000", std::nullopt},
        {"Mon, 1 Dec 2025 12:60:00 +0000", std::nullopt},
        {"Mon, 1 Dec 0999 12:05:00 +0000", std::nullopt},
        {"Mon, 1 Dcm 2025 12:05:00 +0000", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseMailDate(c.Raw), c.Time) << c.Raw;
        EXPECT_EQ(ParseMailDate(std::string(" ") + c.Raw), c.Time) << c.Raw;
    }
}

TEST(HeaderTextTest, DecodeHeaderTextReadsRawBytesAtEveryOffset)
{
    // Long raw text goes across in blocks of bytes: a byte to convert or
    // drop at any offset in it must still be found.
    const struct {
        const char* Raw;
        const char* Shown; // UTF-8
    } bytes[] = {
        {"\xE4", "\xC3\xA4"}, {"\xC3\xA4", "\xC3\xA4"}, {"\x80", "\xE2\x82\xAC"}, {"\t", "\t"},
        {"\r\n", ""},        {"\x01", "\xEF\xBF\xBD"}, {"\x7F", "\xEF\xBF\xBD"}, {"\xC2\x85", "\xEF\xBF\xBD"},
    };
    for (const auto& b : bytes)
        for (size_t offset = 0; offset <= 17; ++offset) {
            const std::string before(offset, 'a'), after(19 - offset, 'z');
            EXPECT_EQ(DecodeHeaderText(before + b.Raw + after), before + b.Shown + after) << b.Raw << " at " << offset;
        }
}

TEST(HeaderTextTest, ParseMailboxReadsTheCommonFormAsAnyOtherForm)
{
    // From values near the form nearly all mail has ("Name" <address>); a
    // blank put in front makes the same value take the general reading,
    // which must agree.
    const struct {
        const char* Raw;
        const char* Name;
        const char* Address;
    } cases[] = {
        {"\"A B\" <a@b>", "A B", "a@b"},
        {"A B<a@b>", "A B", "a@b"},
        {"A  B <a@b>", "A B", "a@b"},
        {"A\tB <a@b>", "A B", "a@b"},
        {"\"A\"<a@b> ", "A", "a@b"},
        {"\"  A  \" <a@b>", "A", "a@b"},
        {"\"\" <a@b>", "", "a@b"},
        {"\"A\" x <a@b>", "A x", "a@b"},
        {"\"A\" <a@b> (c)", "A", "a@b"},
        {"\"A\" <a@b>, \"C\" <c@d>", "A", "a@b"},
        {"A <a@b> <c@d>", "A", "a@b"},
        {"\"A\\\"B\" <a@b>", "A\"B", "a@b"},
        {"A>B <a@b>", "A>B", "a@b"},
        {"=?UTF-8?Q?=C3=A4?= <a b@c>", "\xC3\xA4", "ab@c"},
    };
    for (const auto& c : cases)
        for (const std::string& raw : {std::string(c.Raw), std::string(" ") + c.Raw}) {
            const TMailbox box = ParseMailbox(raw);
            EXPECT_EQ(box.Name + "|" + box.Address, std::string(c.Name) + "|" + c.Address) << raw;
        }
}

} // namespace
