// Character sets at the mail edge: bodies in the charsets mail really uses,
// encoded words in headers both ways, and quoted-printable bodies.
#include "mail/mail_charset.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "foundation/utf8.h"

namespace tolvane {
namespace {

// A quoted-printable decoder of the test's own (soft breaks joined, =XX read).
std::string qp_decode(std::string_view qp) {
    std::string out;
    for (std::size_t i = 0; i < qp.size(); ++i) {
        if (qp[i] == '=' && qp.substr(i + 1, 2) == "\r\n") {
            i += 2;
        } else if (qp[i] == '=' && i + 2 < qp.size()) {
            out += static_cast<char>(std::stoi(std::string(qp.substr(i + 1, 2)), nullptr, 16));
            i += 2;
        } else {
            out += qp[i];
        }
    }
    return out;
}

std::vector<std::string> lines_of(std::string_view text) {
    std::vector<std::string> out;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t e = text.find("\r\n", at);
        if (e == std::string_view::npos) e = text.size();
        out.emplace_back(text.substr(at, e - at));
        at = e + 2;
    }
    return out;
}

TEST(ContentCharset, FindsTheParameter) {
    struct row {
        const char* value;
        const char* want;
    } rows[] = {
        {"text/plain; charset=utf-8", "utf-8"},
        {"text/plain; charset=\"ISO-8859-1\"", "iso-8859-1"},
        {"text/html;\tCharSet = windows-1252 ; format=flowed", "windows-1252"},
        {"text/plain; format=flowed", ""},
        {"text/plain; xcharset; charset=koi8-r", "koi8-r"},
        {"text/plain; charset=", ""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.value);
        EXPECT_EQ(content_charset(r.value), r.want);
    }
}

TEST(CharsetToUtf8, TheCharsetsMailUses) {
    struct row {
        std::string bytes;
        const char* charset;
        const char* want;
    } rows[] = {
        {"Gr\xFC\xDF"
         "e",
         "iso-8859-1",
         "Gr\xC3\xBC\xC3\x9F"
         "e"},
        {"\x80 \x93x\x94", "windows-1252", "\xE2\x82\xAC \xE2\x80\x9Cx\xE2\x80\x9D"},
        // Windows mailers label their 1252 text as Latin-1: read it as they mean it.
        {"5 \x80", "ISO-8859-1", "5 \xE2\x82\xAC"},
        {"\xA4", "iso-8859-15", "\xE2\x82\xAC"},
        {"\xF0\xD2\xC9\xD7\xC5\xD4", "koi8-r", "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82"},
        {"\xC4\xE3\xBA\xC3", "gb2312", "\xE4\xBD\xA0\xE5\xA5\xBD"},
        {"\x1B$B$3$s\x1B(B!", "iso-2022-jp", "\xE3\x81\x93\xE3\x82\x93!"},
        {"ok \xFF ok", "utf-8", "ok \xEF\xBF\xBD ok"},
        // An undecodable byte in the middle becomes U+FFFD; the rest still arrives.
        {"a\x81"
         "b\xE9",
         "windows-1252",
         "a\xEF\xBF\xBD"
         "b\xC3\xA9"},
        {"a\xC4", "gb2312", "a\xEF\xBF\xBD"},  // cut inside a character at the end
        // Unlabelled, mislabelled or unknown: UTF-8 when it is valid, else 1252.
        {"Gr\xC3\xBC\xC3\x9F"
         "e",
         "",
         "Gr\xC3\xBC\xC3\x9F"
         "e"},
        {"Gr\xC3\xBC\xC3\x9F"
         "e",
         "us-ascii",
         "Gr\xC3\xBC\xC3\x9F"
         "e"},
        {"Gr\xFC\xDF"
         "e",
         "us-ascii",
         "Gr\xC3\xBC\xC3\x9F"
         "e"},
        {"Gr\xFC\xDF"
         "e",
         "x-no-such-charset",
         "Gr\xC3\xBC\xC3\x9F"
         "e"},
        {"", "koi8-r", ""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.charset << " " << testing::PrintToString(r.bytes));
        std::string got = charset_to_utf8(r.bytes, r.charset);
        EXPECT_EQ(got, r.want);
        EXPECT_TRUE(utf8_is_valid(got));
    }
}

TEST(HeaderDecode, EncodedWords) {
    struct row {
        const char* value;
        const char* want;
    } rows[] = {
        {"=?ISO-8859-1?Q?Gr=FC=DFe?=",
         "Gr\xC3\xBC\xC3\x9F"
         "e"},
        {"=?utf-8?b?R3LDvMOfZQ==?=",
         "Gr\xC3\xBC\xC3\x9F"
         "e"},
        {"=?KOI8-R?B?8NLJ18XU?=", "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82"},
        {"=?windows-1252?q?5_=80_each?=", "5 \xE2\x82\xAC each"},
        // Adjacent words: the blanks between them go; each keeps its own charset.
        {"=?iso-8859-1?q?Gr=FC?= \r\n =?koi8-r?b?8NLJ18XU?=",
         "Gr\xC3\xBC\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82"},
        {"=?utf-8?q?a?= =?utf-8?q?_b?=", "a b"},
        // A character split between two words of the same charset is read whole.
        {"=?UTF-8?B?8J+Y?= =?UTF-8?B?gA==?=", "\xF0\x9F\x98\x80"},
        // Plain text around words keeps its blanks.
        {"Re: =?utf-8?q?Gr=C3=BC=C3=9Fe?= from Anna",
         "Re: Gr\xC3\xBC\xC3\x9F"
         "e from Anna"},
        {"=?utf-8*de?q?Gr=C3=BC=C3=9Fe?=",
         "Gr\xC3\xBC\xC3\x9F"
         "e"},  // language suffix
        {"=?utf-8?q?"
         "?=",
         ""},
        // Malformed words stay as written.
        {"=?utf-8?x?abc?=", "=?utf-8?x?abc?="},
        {"=?only?three", "=?only?three"},
        {"price =? unknown", "price =? unknown"},
        {"=?utf-8?b?***?=", "=?utf-8?b?***?="},
        // A raw 8-bit header: UTF-8 when valid, else 1252.
        {"Gr\xFC\xDF"
         "e",
         "Gr\xC3\xBC\xC3\x9F"
         "e"},
        {"plain", "plain"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.value);
        EXPECT_EQ(header_decode(r.value), r.want);
    }
}

// Text that is UTF-8 apart from a character cut in two (a byte limit somewhere before)
// keeps its characters: only the broken bytes become U+FFFD, nothing is read as
// Latin-1 ("ÐŸÑ€Ð¸Ð²ÐµÑ‚" for "Привет").
TEST(BytesToUtf8, BrokenUtf8IsNeverReadAsLatin1) {
    const struct {
        std::string bytes;
        std::string want;
    } rows[] = {
        {"Привет мир \xF0\x9F", "Привет мир \xEF\xBF\xBD\xEF\xBF\xBD"},  // each lost byte
        {"\xD0"
         "Привет",
         "\xEF\xBF\xBDПривет"},
        {"caf\xC3\xA9 \xFF", "caf\xC3\xA9 \xEF\xBF\xBD"},
        {"Gr\xFC\xDF"
         "e",
         "Grüße"},  // no UTF-8 sequence at all: Windows-1252
        {"\x80 10", "€ 10"},
        {"Привет", "Привет"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.bytes);
        EXPECT_EQ(bytes_to_utf8(r.bytes), r.want);
        EXPECT_EQ(header_decode(r.bytes), r.want);
    }
}

TEST(HeaderEncode, PlainAsciiStaysPlain) {
    EXPECT_EQ(header_encode("Hello world", 9), "Hello world");
    EXPECT_EQ(header_encode("", 9), "");
    // Text that looks like an encoded word must be encoded, or a reader would decode it.
    std::string e = header_encode("a =?x?q?y?= b", 9);
    EXPECT_NE(e, "a =?x?q?y?= b");
    EXPECT_EQ(header_decode(e), "a =?x?q?y?= b");
}

TEST(HeaderEncode, RoundTripsWithShortLinesAndWholeCharacters) {
    const std::string texts[] = {
        "Gr\xC3\xBC\xC3\x9F"
        "e aus M\xC3\xBCnchen",
        "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82, " + std::string(200, 'x'),
        [] {
            std::string s;
            for (int k = 0; k < 60; ++k) s += "\xE4\xBD\xA0\xF0\x9F\x98\x80";
            return s;
        }(),
        "\xE2\x82\xAC [ ] ~ ^ { } | \\ _ ? = (x)",
    };
    for (const std::string& t : texts) {
        SCOPED_TRACE(t.substr(0, 30));
        std::string e = header_encode(t, 9);
        EXPECT_EQ(header_decode(e), t);
        std::vector<std::string> lines = lines_of(e);
        for (std::size_t k = 0; k < lines.size(); ++k) {
            const std::string& l = lines[k];
            EXPECT_LE(l.size() + (k == 0 ? 9 : 0), 76u) << l;
            // Each word alone is whole UTF-8: no character is split between words.
            std::string one = header_decode(l.substr(l.find("=?")));
            EXPECT_TRUE(utf8_is_valid(one)) << l;
            EXPECT_EQ(one.find("\xEF\xBF\xBD"), std::string::npos) << l;
            // One whole word a line, and never a word inside a word.
            EXPECT_TRUE(std::regex_match(l, std::regex(R"( ?=\?UTF-8\?[QB]\?[^? ]*\?=)"))) << l;
        }
    }
}

TEST(HeaderEncode, AddressesEncodeOnlyTheName) {
    struct row {
        const char* value;
        const char* want;
    } rows[] = {
        {"a@example.com", "a@example.com"},
        {"<a@example.com>", "<a@example.com>"},
        {"John Smith <a@example.com>", "John Smith <a@example.com>"},
        {"\"Smith, John\" <a@example.com>", "\"Smith, John\" <a@example.com>"},
        {"M\xC3\xBCller, J <a@example.com>", "=?UTF-8?Q?M=C3=BCller=2C_J?= <a@example.com>"},
        {"\"J\xC3\xBCrgen\" <a@example.com>", "=?UTF-8?Q?J=C3=BCrgen?= <a@example.com>"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.value);
        EXPECT_EQ(header_encode_address(r.value, 6), r.want);
    }
}

TEST(BodyEncodeQp, ShortLinesThatDecodeBackExactly) {
    const std::string texts[] = {
        "Hello\nworld",
        ".starts with a dot\n.\nend",
        "trailing blank \ntrailing tab\t",
        "a=b",
        std::string(300, 'x'),
        [] {
            std::string s;
            for (int k = 0; k < 100; ++k)
                s += "Gr\xC3\xBC\xC3\x9F"
                     "e \xF0\x9F\x98\x80 ";
            return s;
        }(),
        std::string(74, 'x') + "." + std::string(10, 'y'),
    };
    for (const std::string& t : texts) {
        SCOPED_TRACE(t.substr(0, 30));
        std::string qp = body_encode_qp(t);
        std::string want = t;
        for (std::size_t p = 0; (p = want.find('\n', p)) != std::string::npos; p += 2)
            want.replace(p, 1, "\r\n");
        if (!want.ends_with("\r\n")) want += "\r\n";
        EXPECT_EQ(qp_decode(qp), want);
        for (const std::string& l : lines_of(qp)) {
            EXPECT_LE(l.size(), 76u) << l;
            EXPECT_FALSE(!l.empty() && l.front() == '.') << l;  // no dot stuffing needed
            EXPECT_FALSE(!l.empty() && (l.back() == ' ' || l.back() == '\t')) << l;
            for (unsigned char c : l) EXPECT_LT(c, 0x80) << l;
        }
        // Decoding line by line (soft breaks joined) still gives valid UTF-8 per line.
        for (const std::string& l : lines_of(qp)) {
            if (!l.ends_with("=")) continue;
            std::string piece = qp_decode(l.substr(0, l.size() - 1));
            EXPECT_TRUE(utf8_is_valid(piece)) << l;
        }
    }
}

}  // namespace
}  // namespace tolvane
