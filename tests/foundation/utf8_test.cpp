// UTF-8 reading, counting and cutting: valid sequences of every length and the
// malformed ones a mail or an SMS may carry.
#include "foundation/utf8.h"

#include <gtest/gtest.h>

#include <vector>

#include "foundation/lib.h"

namespace tolvane {
namespace {

std::vector<char32_t> code_points(std::string_view text) {
    std::vector<char32_t> out;
    for (std::size_t at = 0; at < text.size();) out.push_back(utf8_next(text, at));
    return out;
}

constexpr char32_t R = UTF8_REPLACEMENT;

TEST(Utf8, ReadsEveryLengthAndReplacesWhatIsBroken) {
    struct row {
        std::string text;
        std::vector<char32_t> want;
    } rows[] = {
        {"A", {'A'}},
        {"\xC3\xBC", {0xFC}},
        {"\xE2\x82\xAC", {0x20AC}},
        {"\xF0\x9F\x98\x80", {0x1F600}},
        {"\xF4\x8F\xBF\xBF", {0x10FFFF}},
        {"\x80"
         "A",
         {R, 'A'}},  // stray continuation byte
        {"\xC3"
         "A",
         {R, 'A'}},                          // cut short, the next byte kept
        {"\xE2\x82", {R, R}},                // cut short at the end
        {"\xC0\xAF", {R, R}},                // overlong slash
        {"\xE0\x80\xAF", {R, R, R}},         // overlong, three bytes
        {"\xED\xA0\x80", {R, R, R}},         // a surrogate written as UTF-8
        {"\xF4\x90\x80\x80", {R, R, R, R}},  // beyond U+10FFFF
        {"\xFF\xFE", {R, R}},
        {std::string("a\0b", 3), {'a', 0, 'b'}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::PrintToString(r.text));
        EXPECT_EQ(code_points(r.text), r.want);
        EXPECT_EQ(utf8_length(r.text), r.want.size());
    }
}

TEST(Utf8, AppendRoundTripsAndRefusesSurrogates) {
    for (char32_t cp : {char32_t{0}, char32_t{0x7F}, char32_t{0x80}, char32_t{0x7FF},
                        char32_t{0x800}, char32_t{0xFFFF}, char32_t{0x10000}, char32_t{0x10FFFF}}) {
        SCOPED_TRACE(static_cast<unsigned>(cp));
        std::string s;
        utf8_append(s, cp);
        std::size_t at = 0;
        EXPECT_EQ(utf8_next(s, at), cp);
        EXPECT_EQ(at, s.size());
    }
    std::string s;
    utf8_append(s, 0xD800);
    utf8_append(s, 0x110000);
    EXPECT_EQ(s, "\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(Utf8, CutNeverSplitsACharacter) {
    std::string text = "a\xC3\xBC\xE2\x82\xAC\xF0\x9F\x98\x80z";  // 5 characters, 11 bytes
    struct row {
        std::size_t max;
        std::size_t bytes;
    } rows[] = {{0, 0}, {1, 1}, {2, 3}, {3, 6}, {4, 10}, {5, 11}, {99, 11}};
    for (const row& r : rows) {
        SCOPED_TRACE(r.max);
        EXPECT_EQ(utf8_prefix_bytes(text, r.max), r.bytes);
        EXPECT_EQ(utf8_cut(text, r.max), text.substr(0, r.bytes));
    }
}

TEST(Utf8, ValidityAndRepair) {
    EXPECT_TRUE(
        utf8_is_valid("Gr\xC3\xBC\xC3\x9F"
                      "e \xEF\xBF\xBD"));  // a real U+FFFD is fine
    EXPECT_FALSE(
        utf8_is_valid("Gr\xFC\xDF"
                      "e"));
    EXPECT_EQ(utf8_valid("Gr\xFC"
                         "e"),
              "Gr\xEF\xBF\xBD"
              "e");
    EXPECT_EQ(utf8_valid("ok"), "ok");
    EXPECT_TRUE(text_is_ascii("plain 123"));
    EXPECT_FALSE(text_is_ascii("\xC3\xBC"));
}

// Every helper that cuts text for a person counts characters and never ends inside one:
// the generic cut, the byte-sized fit, and the bounded formatter's space and precision.
TEST(Utf8, EveryCutKeepsWholeCharacters) {
    const std::string ru = "Привет мир 😀 — тест";  // 19 characters, 37 bytes
    const std::string de = "Grüße, ça va? àéîõü ok";
    struct row {
        std::string text;
        std::size_t n;
        std::string want;
    } rows[] = {
        {ru, 0, ""},
        {ru, 6, "Привет"},
        {ru, 12, "Привет мир 😀"},
        {ru, 19, ru},
        {ru, 99, ru},
        {de, 21, "Grüße, ça va? àéîõü o"},
        {"plain", 3, "pla"},
        {"a\xFF\xFE"
         "b",
         2, "a\xFF"},  // invalid bytes count one each
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.text + " / " + std::to_string(r.n));
        EXPECT_EQ(cut(r.text, r.n), r.want);
    }
    // A size in bytes: the longest prefix that fits without splitting.
    struct fit {
        std::size_t max;
        std::size_t bytes;
    } fits[] = {{0, 0}, {12, 12}, {13, 13}, {21, 20}, {23, 20}, {24, 24}, {26, 25}, {99, 37}};
    for (const fit& f : fits) {
        SCOPED_TRACE(f.max);
        EXPECT_EQ(utf8_fit_bytes(ru, f.max), f.bytes);
    }
    // The formatter: a full buffer and a precision both stop before a split character.
    EXPECT_EQ(strnprintf(5, "%s", "Привет"), "Пр");
    EXPECT_EQ(strnprintf(8, "x%sy", "😀😀"), "x😀");
    EXPECT_EQ(strprintf("[%.3s]", "Привет"), "[П]");
    EXPECT_EQ(strprintf("[%.*s]", 5, "a😀b"), "[a😀]");
    EXPECT_TRUE(utf8_is_valid(strnprintf(10, "%s", ru.c_str())));
}

}  // namespace
}  // namespace tolvane
