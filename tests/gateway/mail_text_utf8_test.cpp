// The SMS text of a mail counts characters, never bytes: limits never split a
// character, and encoded subjects arrive decoded.
#include <gtest/gtest.h>

#include <string>

#include "foundation/utf8.h"
#include "gateway/mail_text.h"
#include "gateway/mail_to_sms.h"

namespace tolvane {
namespace {

std::string repeat(std::string_view s, int n) {
    std::string out;
    for (int k = 0; k < n; ++k) out += s;
    return out;
}

TEST(SmsTextCharacters, SmartBodyLimitCountsCharacters) {
    struct row {
        const char* name;
        std::string add;
        std::size_t limit;
        std::string want;
    } rows[] = {
        {"two-byte letters", repeat("\xC3\xBC", 10), 6, repeat("\xC3\xBC", 5)},
        {"emoji", repeat("\xF0\x9F\x98\x80", 10), 4, repeat("\xF0\x9F\x98\x80", 3)},
        {"a full text of 999 Cyrillic letters", repeat("\xD0\xAF", 1200), 1000,
         repeat("\xD0\xAF", 999)},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        std::string text;
        smart_body(nullptr, text, r.add.c_str(), r.limit);
        EXPECT_EQ(text, r.want);
        EXPECT_TRUE(utf8_is_valid(text));
    }
}

TEST(SmsTextCharacters, SpacesModeKeepsLettersBeyondAsciiWhole) {
    std::string text;
    smart_body("spaces", text,
               "gr\xC3\xBC\xC3\x9F"
               "e \xC3\xBC"
               "ber alles",
               1000);
    EXPECT_EQ(text,
              "Gr\xC3\xBC\xC3\x9F"
              "e\xC3\xBC"
              "berAlles");
    text.clear();
    smart_body("spaces", text, "\xD0\xB0 \xD0\xB1 \xD0\xB2", 3);  // two characters of room
    EXPECT_EQ(text, "\xD0\xB0\xD0\xB1");
}

TEST(SmsTextCharacters, FormatCountsCharactersOfValuesAndTheWhole) {
    HeaderLookup none = [](std::string_view) { return std::optional<std::string_view>(); };
    std::string text;
    format_sms(repeat("\xE2\x82\xAC", 20), none, "$(body5)!", text, 1000);
    EXPECT_EQ(text, repeat("\xE2\x82\xAC", 5) + "!");
    text.clear();
    format_sms(repeat("\xE2\x82\xAC", 20), none, "$(body)", text, 8);
    EXPECT_EQ(text, repeat("\xE2\x82\xAC", 7));
}

TEST(SmsTextCharacters, SubjectsArriveDecoded) {
    mail_headers h;
    mail_header_set(h, "Subject", "=?ISO-8859-1?Q?Gr=FC=DFe?= =?UTF-8?B?8J+YgA==?=");
    TextRules r;
    EXPECT_EQ(compose_sms_text(r, "a@b", &h, "body"),
              "Gr\xC3\xBC\xC3\x9F"
              "e\xF0\x9F\x98\x80 - body");
    // The template's header values too.
    r.format = "$(Subject): $(body)";
    EXPECT_EQ(compose_sms_text(r, "a@b", &h, "body"),
              "Gr\xC3\xBC\xC3\x9F"
              "e\xF0\x9F\x98\x80: body");
}

TEST(SmsTextCharacters, LongBodyIsCutAtACharacter) {
    TextRules r;
    r.sms_subject = false;
    std::string body = "x" + repeat("\xF0\x9F\x98\x80", 1200);
    std::string text = compose_sms_text(r, "a@b", nullptr, body);
    EXPECT_EQ(utf8_length(text), 999u);
    EXPECT_TRUE(utf8_is_valid(text));
}

}  // namespace
}  // namespace tolvane
