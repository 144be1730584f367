#include "tests/support/Mailbox.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <stdexcept>
#include <string_view>

namespace testsupport {

namespace {

// splitmix64: a small generator whose output is fixed by its seed alone.
class Rng {
public:
    Rng(uint32_t seed, size_t index)
        : FState((uint64_t{seed} << 32) ^ (uint64_t{index} * 0x9E3779B97F4A7C15ull) ^ 0x5155494C4C424F58ull)
    {
    }
    uint64_t Next()
    {
        uint64_t z = (FState += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Uniform enough in [0, n) for n far below 2^32.
    size_t Below(size_t n) { return static_cast<size_t>(Next() % n); }
    bool Chance(size_t oneIn) { return Below(oneIn) == 0; }
    template <size_t N>
    std::string_view Pick(const std::array<std::string_view, N>& pool)
    {
        return pool[Below(N)];
    }

private:
    uint64_t FState;
};

// Windows-1252: E4 a-umlaut, F6 o-umlaut, E5 a-ring, C4/D6 capitals, 80 euro sign.
constexpr std::array<std::string_view, 16> Subjects = {
    "Kokouksen esityslista torstaille",
    "Lasku joulukuulta, 49,90 \x80",
    "Tervetuloa m\xF6kille juhannukseksi",
    "P\xE4ivityksen tila",
    "Muistutus: hammasl\xE4\xE4k\xE4ri tiistaina",
    "Kes\xE4loman suunnitelmat",
    "Vuokrasopimuksen jatko",
    "Re: Saunailta perjantaina",
    "Fwd: Matkavaraus Ouluun",
    "Yhdistyksen vuosikokous",
    "Tilausvahvistus 48213",
    "Kuvia syntym\xE4p\xE4iv\xE4ilt\xE4",
    "S\xE4hk\xF6katko huomenna klo 9-12",
    "Tarjous: talvirenkaat",
    "\xC4lyk\xE4s kodinohjaus - viikkoraportti",
    "J\xE4rjestelm\xE4huolto viikonloppuna",
};

struct Person {
    std::string_view Name;
    std::string_view Address;
};

constexpr std::array<Person, 8> People = {{
    {"Matti Meik\xE4l\xE4inen", "matti.meikalainen@example.com"},
    {"Liisa Virtanen", "liisa.virtanen@example.org"},
    {"Pekka K\xF6rkk\xF6", "pekka@example.net"},
    {"Anna-Kaisa J\xE4rvinen", "ak.jarvinen@example.com"},
    {"Ville Nieminen", "ville.nieminen@example.org"},
    {"Kotitalous Oy", "laskutus@example.net"},
    {"S\xE4hk\xF6yhti\xF6", "asiakaspalvelu@example.com"},
    {"\xC5sa \xD6stman", "asa.ostman@example.org"},
}};

constexpr std::array<std::string_view, 14> Sentences = {
    "Hei, t\xE4ss\xE4 viel\xE4 lupaamani tiedot ennen torstain kokousta.",
    "Muistathan ottaa mukaan avaimet ja py\xF6r\xE4n lukon.",
    "Lasku er\xE4\xE4ntyy kahden viikon kuluttua, viitenumero on alla.",
    "Sauna l\xE4mpi\xE4\xE4 kuudelta, ja ruokaa on kaikille riitt\xE4v\xE4sti.",
    "Pahoittelen my\xF6h\xE4ist\xE4 vastausta, olin lomalla koko viikon.",
    "Liitteen\xE4 on p\xF6yt\xE4kirja sek\xE4 ensi vuoden talousarvio.",
    "Huoltokatko kest\xE4\xE4 arviolta kolme tuntia.",
    "Voisitko tarkistaa, onko osoite oikein?",
    "Kiitos viel\xE4 eilisest\xE4, oli todella mukava ilta.",
    "Toimitus l\xE4htee varastolta arviolta maanantaina.",
    "Junaan on viel\xE4 vapaita paikkoja, varaa ajoissa.",
    "Terveisin koko porukka ja erityisesti \xC4iti.",
    "Kokous pidet\xE4\xE4n tuttuun tapaan kerhohuoneella.",
    "Kes\xE4n aikataulu on viel\xE4 auki, palataan asiaan.",
};

// Body lines that a POP3 server must dot-stuff on the way out.
constexpr std::array<std::string_view, 5> DotLines = {
    ".hidden-tiedosto ei n\xE4y listauksessa",
    "..",
    ". alkaa pisteell\xE4",
    "...kolme pistett\xE4",
    ".",
};

constexpr std::array<std::string_view, 7> Weekdays = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
constexpr std::array<std::string_view, 12> Months = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// The first message's time; message i is about i * 37 minutes later.
constexpr int64_t FirstMessageTime = 1764547200; // 2025-12-01 00:00:00 UTC

std::string Hex(uint64_t v, int digits)
{
    std::string s(static_cast<size_t>(digits), '0');
    for (int i = digits - 1; i >= 0; --i, v >>= 4)
        s[static_cast<size_t>(i)] = "0123456789ABCDEF"[v & 15];
    return s;
}

std::string TwoDigits(int v)
{
    return std::string{static_cast<char>('0' + v / 10), static_cast<char>('0' + v % 10)};
}

// RFC 5322 date in Finnish winter time (+0200).
std::string MailDate(int64_t unixTime)
{
    using namespace std::chrono;
    const int64_t local = unixTime + 2 * 3600;
    const sys_days day{days{local / 86400}};
    const year_month_day ymd{day};
    const weekday wd{day};
    const int64_t secs = local % 86400;
    return std::string(Weekdays[(wd.iso_encoding() - 1) % 7]) + ", " + std::to_string(unsigned(ymd.day())) + " " +
           std::string(Months[unsigned(ymd.month()) - 1]) + " " + std::to_string(int(ymd.year())) + " " +
           TwoDigits(int(secs / 3600)) + ":" + TwoDigits(int(secs / 60 % 60)) + ":" + TwoDigits(int(secs % 60)) +
           " +0200";
}

// RFC 2047 "Q" encoding of Windows-1252 text as ISO-8859-1 (same bytes for
// the letters used here).
std::string QEncodedWord(std::string_view text)
{
    std::string out = "=?ISO-8859-1?Q?";
    for (char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b == ' ')
            out += '_';
        else if (b < 0x80 && b > 0x20 && b != '=' && b != '?' && b != '_')
            out += c;
        else
            out += "=" + Hex(b, 2);
    }
    return out + "?=";
}

// Windows-1252 to UTF-8 for the bytes our texts use (ASCII, 80, A0..FF).
std::string Utf8FromCp1252(std::string_view text)
{
    std::string out;
    for (char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x80) {
            out += c;
        } else if (b == 0x80) {
            out += "\xE2\x82\xAC";
        } else {
            out += static_cast<char>(0xC0 | (b >> 6));
            out += static_cast<char>(0x80 | (b & 0x3F));
        }
    }
    return out;
}

std::string Base64(std::string_view bytes)
{
    static constexpr char Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t n = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size())
            n |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size())
            n |= static_cast<unsigned char>(bytes[i + 2]);
        out += Alphabet[(n >> 18) & 63];
        out += Alphabet[(n >> 12) & 63];
        out += i + 1 < bytes.size() ? Alphabet[(n >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? Alphabet[n & 63] : '=';
    }
    return out;
}

std::string BEncodedWord(std::string_view text)
{
    return "=?UTF-8?B?" + Base64(Utf8FromCp1252(text)) + "?=";
}

enum class SubjectShape { Raw8Bit, QWord, BWord, Folded, Repeated, Missing };

std::string SubjectLines(SubjectShape shape, std::string_view subject, Rng& rng)
{
    switch (shape) {
    case SubjectShape::Raw8Bit:
        return "Subject: " + std::string(subject) + "\n";
    case SubjectShape::QWord:
        return "Subject: " + QEncodedWord(subject) + "\n";
    case SubjectShape::BWord:
        return "Subject: " + BEncodedWord(subject) + "\n";
    case SubjectShape::Folded:
        // RFC 5322 2.2.3: a folded line continues after CRLF + white space.
        return "Subject: " + std::string(subject) + " ja\n\t" + std::string(rng.Pick(Subjects)) + "\n";
    case SubjectShape::Repeated:
        return "Subject: " + std::string(subject) + "\nSubject: " + std::string(rng.Pick(Subjects)) + "\n";
    case SubjectShape::Missing:
        return {};
    }
    return {};
}

std::string FromLine(const Person& p, bool encoded)
{
    const std::string name = encoded ? QEncodedWord(p.Name) : "\"" + std::string(p.Name) + "\"";
    return "From: " + name + " <" + std::string(p.Address) + ">\n";
}

// Wraps sentences into lines of at most about 72 bytes.
void AppendParagraph(std::string& body, Rng& rng, size_t sentences)
{
    std::string line;
    for (size_t i = 0; i < sentences; ++i) {
        std::string_view s = rng.Pick(Sentences);
        if (!line.empty() && line.size() + 1 + s.size() > 72) {
            body += line + "\n";
            line.clear();
        }
        if (!line.empty())
            line += ' ';
        line += s;
    }
    if (!line.empty())
        body += line + "\n";
}

// A base64 attachment of `size` pseudo-random bytes in 76-byte lines.
std::string Attachment(Rng& rng, size_t size)
{
    std::string raw(size, '\0');
    for (auto& c : raw)
        c = static_cast<char>(rng.Next() & 0xFF);
    const std::string encoded = Base64(raw);
    std::string out;
    for (size_t i = 0; i < encoded.size(); i += 76)
        out += encoded.substr(i, 76) + "\n";
    return out;
}

struct Shape {
    SubjectShape Subject;
    bool EncodedFrom;
    bool DotLines;
    bool LoneDot;
    size_t AttachmentBytes; // 0: plain text message
    size_t Paragraphs;
};

// Messages 0..2 carry every shape between them; later ones draw at random.
Shape ShapeOf(size_t index, Rng& rng)
{
    switch (index) {
    case 0:
        return {SubjectShape::Folded, false, true, true, 0, 3};
    case 1:
        return {SubjectShape::Repeated, true, true, false, 0, 2};
    case 2:
        return {SubjectShape::Missing, false, false, false, 30000, 1};
    default:
        break;
    }
    static constexpr std::array<SubjectShape, 8> Drawn = {
        SubjectShape::Raw8Bit, SubjectShape::Raw8Bit, SubjectShape::QWord,    SubjectShape::BWord,
        SubjectShape::Folded,  SubjectShape::Repeated, SubjectShape::Missing, SubjectShape::Raw8Bit,
    };
    Shape s{};
    s.Subject = Drawn[rng.Below(Drawn.size())];
    s.EncodedFrom = rng.Chance(4);
    s.DotLines = rng.Chance(3);
    s.LoneDot = rng.Chance(8);
    s.AttachmentBytes = rng.Chance(40) ? 10000 + rng.Below(65000) : 0;
    s.Paragraphs = 1 + rng.Below(rng.Chance(10) ? 40 : 5);
    return s;
}

} // namespace

std::string GenerateMessage(uint32_t seed, size_t index)
{
    Rng rng(seed, index);
    const Shape shape = ShapeOf(index, rng);
    const int64_t time = FirstMessageTime + static_cast<int64_t>(index) * 37 * 60 + static_cast<int64_t>(rng.Below(600));
    const Person& from = People[rng.Below(People.size())];
    const std::string_view subject = index < Subjects.size() ? Subjects[index] : rng.Pick(Subjects);
    const std::string id = Hex(rng.Next(), 12);

    std::string m;
    m += "Return-Path: <" + std::string(from.Address) + ">\n";
    for (size_t hop = 0, hops = 1 + rng.Below(3); hop < hops; ++hop) {
        const std::string relay = "mail" + std::to_string(hop + 1) + ".example.net";
        m += "Received: from " + relay + " (" + relay + " [192.0.2." + std::to_string(1 + rng.Below(250)) + "])\n";
        m += "\tby mx.example.com (Postfix) with ESMTP id " + Hex(rng.Next(), 10) + "\n";
        m += "\tfor <demo@example.com>; " + MailDate(time - static_cast<int64_t>(hop) * 7) + "\n";
    }
    m += FromLine(from, shape.EncodedFrom);
    m += "To: demo@example.com\n";
    m += SubjectLines(shape.Subject, subject, rng);
    m += "Date: " + MailDate(time - 30) + "\n";
    m += "Message-ID: <" + id + "." + std::to_string(index) + "@example.com>\n";
    if (rng.Chance(3)) {
        m += "References: <" + Hex(rng.Next(), 16) + "@example.org>\n";
        m += " <" + Hex(rng.Next(), 16) + "@example.org>\n";
    }
    m += "MIME-Version: 1.0\n";

    std::string text;
    for (size_t p = 0; p < shape.Paragraphs; ++p) {
        AppendParagraph(text, rng, 1 + rng.Below(5));
        if (shape.DotLines && p == 0) {
            text += std::string(DotLines[0]) + "\n" + std::string(DotLines[1 + rng.Below(3)]) + "\n";
        }
        if (shape.LoneDot && p == 0)
            text += ".\n";
        text += "\n";
    }
    text += "--\n" + std::string(from.Name) + "\n";

    if (shape.AttachmentBytes == 0) {
        m += "Content-Type: text/plain; charset=windows-1252\n";
        m += "Content-Transfer-Encoding: 8bit\n\n";
        m += text;
    } else {
        const std::string boundary = "=_quillbox_" + id;
        m += "Content-Type: multipart/mixed;\n\tboundary=\"" + boundary + "\"\n\n";
        m += "This is a multi-part message in MIME format.\n\n";
        m += "--" + boundary + "\nContent-Type: text/plain; charset=windows-1252\n";
        m += "Content-Transfer-Encoding: 8bit\n\n" + text + "\n";
        m += "--" + boundary + "\nContent-Type: application/octet-stream; name=\"liite.bin\"\n";
        m += "Content-Transfer-Encoding: base64\n";
        m += "Content-Disposition: attachment; filename=\"liite.bin\"\n\n";
        m += Attachment(rng, shape.AttachmentBytes);
        m += "--" + boundary + "--\n";
    }
    return m;
}

std::string MaildirFileName(size_t index)
{
    std::string n = std::to_string(index);
    return std::to_string(FirstMessageTime) + ".Q" + std::string(n.size() < 7 ? 7 - n.size() : 0, '0') + n +
           ".quillbox:2,";
}

namespace {

std::vector<std::filesystem::path> WriteEach(const std::filesystem::path& maildir, size_t count,
                                             const std::function<std::string(size_t)>& content)
{
    namespace fs = std::filesystem;
    for (const char* sub : {"cur", "new", "tmp"})
        fs::create_directories(maildir / sub);
    std::vector<fs::path> paths;
    paths.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        paths.push_back(maildir / "cur" / MaildirFileName(i));
        std::ofstream out(paths.back(), std::ios::binary | std::ios::trunc);
        const std::string bytes = content(i);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out)
            throw std::runtime_error("cannot write " + paths.back().string());
    }
    return paths;
}

} // namespace

std::vector<std::filesystem::path> WriteMaildir(const std::filesystem::path& maildir, size_t count, uint32_t seed)
{
    return WriteEach(maildir, count, [seed](size_t i) { return GenerateMessage(seed, i); });
}

std::vector<std::filesystem::path> WriteMaildir(const std::filesystem::path& maildir,
                                                const std::vector<std::string>& messages)
{
    return WriteEach(maildir, messages.size(), [&messages](size_t i) { return messages[i]; });
}

std::vector<std::filesystem::path> MaildirMessages(const std::filesystem::path& maildir)
{
    std::vector<std::filesystem::path> paths;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(maildir / "cur", ec))
        paths.push_back(entry.path());
    std::sort(paths.begin(), paths.end());
    return paths;
}

std::string ReadFileBytes(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace testsupport
