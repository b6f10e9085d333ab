// Recipient reduction and SMS text composition of the mail-to-SMS path.
#include "gateway/mail_text.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/lib.h"
#include "gateway/mail_log_capture.h"

namespace tolvane {
namespace {

// ---- strip_email ----

TEST(StripEmail, CutsAtTheLastAt) {
    EXPECT_EQ(strip_email("0412345678@sms.example", nullptr), "0412345678");
    EXPECT_EQ(strip_email("a@b@c.example", ""), "a@b");
}

TEST(StripEmail, AddressWithoutAtIsKeptWhole) {
    EXPECT_EQ(strip_email("0412345678", "sms"), "0412345678");
    EXPECT_EQ(strip_email("", "sms"), "");
}

TEST(StripEmail, PrefixIsRemovedWithoutRegardToCase) {
    EXPECT_EQ(strip_email("sms0412345678@gw.example", "sms"), "0412345678");
    EXPECT_EQ(strip_email("SmS0412345678@gw.example", "sMs"), "0412345678");
}

TEST(StripEmail, PrefixOnlyCountsAtTheFront) {
    EXPECT_EQ(strip_email("0412sms@gw.example", "sms"), "0412sms");
    EXPECT_EQ(strip_email("xsms0412@gw.example", "sms"), "xsms0412");
}

TEST(StripEmail, PrefixLongerThanAddressRemovesNothing) {
    EXPECT_EQ(strip_email("sm@x", "sms"), "sm");
}

TEST(StripEmail, ResultIsCutAtTextLimit) {
    std::string local(1500, '7');
    std::string r = strip_email(local + "@x.example", nullptr);
    EXPECT_EQ(r.size(), TEXT_MAX);
    EXPECT_EQ(r, std::string(TEXT_MAX, '7'));
}

// ---- fix_phone ----

TEST(FixPhone, LeadingZeroBecomesCountry) {
    LogCapture log;
    EXPECT_EQ(fix_phone("0412345678", "+61"), "+61412345678");
    EXPECT_TRUE(log.has("Fixed number (0412345678) --> (+61412345678)"));
}

TEST(FixPhone, LeadingZeroIsDroppedWithoutCountry) {
    EXPECT_EQ(fix_phone("0412345678", nullptr), "412345678");
    EXPECT_EQ(fix_phone("0412345678", ""), "412345678");
}

TEST(FixPhone, OnlyTheFirstZeroIsReplaced) {
    EXPECT_EQ(fix_phone("00441234", "+61"), "+610441234");
}

TEST(FixPhone, OtherNumbersAreUnchangedAndNotLogged) {
    LogCapture log;
    EXPECT_EQ(fix_phone("+61412345678", "+61"), "+61412345678");
    EXPECT_EQ(fix_phone("412345678", "+61"), "412345678");
    EXPECT_EQ(fix_phone("alice", "+61"), "alice");
    EXPECT_EQ(fix_phone("", "+61"), "");
    for (const std::string& m : log.messages())
        EXPECT_EQ(m.find("Fixed number"), std::string::npos);
}

TEST(FixPhone, ResultIsCutAtTextLimit) {
    std::string country(600, '9');
    std::string number = "0" + std::string(600, '1');
    std::string r = fix_phone(number, country.c_str());
    EXPECT_EQ(r.size(), TEXT_MAX);
    EXPECT_EQ(r.substr(0, 600), country);
}

// ---- phone_destination ----

struct NumberCase {
    const char* recipient;
    const char* prefix;
    const char* country;
    const char* e164;  // null: not a phone number
};

TEST(PhoneDestination, EveryWrittenFormBecomesOneInternationalNumber) {
    const NumberCase cases[] = {
        {"0412345678@gw", nullptr, "+61", "+61412345678"},
        {"0412-345-678@gw", nullptr, "+61", "+61412345678"},
        {"0412.345.678@gw", nullptr, "+61", "+61412345678"},
        {"0412 345 678@gw", nullptr, "+61", "+61412345678"},
        {"(02) 9999 8888@gw", nullptr, "+61", "+61299998888"},
        {"\"0412 345 678\"@gw", nullptr, "+61", "+61412345678"},
        {"\"04\\12345678\"@gw", nullptr, "+61", "+61412345678"},
        {"00441234567890@gw", nullptr, "+61", "+441234567890"},    // not +610441234567890
        {"0011441234567890@gw", nullptr, "+61", "+441234567890"},  // Australia's own prefix
        {"+441234567890@gw", nullptr, "+61", "+441234567890"},
        {"011441234567890@gw", nullptr, "+1", "+441234567890"},  // North America's
        {"(212) 555-0123@gw", nullptr, "+1", "+12125550123"},
        {"030 123456@gw", nullptr, "+49", "+4930123456"},
        {"06 12 34 56 78@gw", nullptr, "33", "+33612345678"},  // country without its "+"
        {"090-1234-5678@gw", nullptr, "+81", "+819012345678"},
        {"00819012345678@gw", nullptr, nullptr, "+819012345678"},
        {"+61412345678@gw", nullptr, nullptr, "+61412345678"},
        {"sms0412345678@gw", "sms", "+61", "+61412345678"},
        {"SMS0412345678@gw", "sms", "+61", "+61412345678"},
        {"0412345678", nullptr, "+61", "+61412345678"},  // no domain at all
    };
    for (const NumberCase& c : cases) {
        SCOPED_TRACE(std::string(c.recipient) + " country " + (c.country ? c.country : "none"));
        std::optional<std::string> r = phone_destination(c.recipient, c.prefix, c.country);
        ASSERT_TRUE(r.has_value());
        EXPECT_EQ(*r, c.e164);
    }
}

TEST(PhoneDestination, AnythingButANumberIsRefused) {
    const NumberCase cases[] = {
        {"abc@gw", nullptr, "+61", nullptr},
        {"0412@gw", nullptr, "+61", nullptr},          // too short to be a number
        {"0412345678@gw", nullptr, nullptr, nullptr},  // national, and no country
        {"0412345678@gw", nullptr, "", nullptr},
        {"0412345678@gw", nullptr, "+999", nullptr},    // no such calling code
        {"0412345678x12@gw", nullptr, "+61", nullptr},  // extension
        {"1800FLOWERS@gw", nullptr, "+61", nullptr},    // letters are never dialled
        {"sms0412345678@gw", nullptr, "+61", nullptr},  // a prefix nobody configured
        {"0412+345678@gw", nullptr, "+61", nullptr},    // "+" inside
        {"++61412345678@gw", nullptr, "+61", nullptr},
        {"\"\"@gw", nullptr, "+61", nullptr},
        {"@gw", nullptr, "+61", nullptr},
        {"", nullptr, "+61", nullptr},
        {"0412\r\n345678@gw", nullptr, "+61", nullptr},
        {"00@gw", nullptr, "+61", nullptr},
        {"0412345678@b@gw", nullptr, "+61", nullptr},  // the last "@" ends the local part
    };
    for (const NumberCase& c : cases) {
        SCOPED_TRACE(std::string(c.recipient) + " country " + (c.country ? c.country : "none"));
        EXPECT_EQ(phone_destination(c.recipient, c.prefix, c.country), std::nullopt);
    }
}

// The number data ages: an area code opened after it was made is a real number that only
// the "possible" check lets through; what cannot be a number fails either check.
TEST(PhoneDestination, PossibleNumbersPassTheDefaultCheckValidOnesBoth) {
    struct Case {
        const char* recipient;
        const char* country;
        const char* possible;  // the destination under each check; null: refused
        const char* valid;
    };
    const Case cases[] = {
        {"0412345678@gw", "+61", "+61412345678", "+61412345678"},
        {"+61412345678@gw", nullptr, "+61412345678", "+61412345678"},
        // North American area code 835, in service since the installed data was made.
        {"(835) 555-0123@gw", "+1", "+18355550123", nullptr},
        {"+1 835 555 0123@gw", nullptr, "+18355550123", nullptr},
        {"0412@gw", "+61", nullptr, nullptr},              // too short
        {"+614123456789012@gw", "+61", nullptr, nullptr},  // too long
        {"04123FLOWERS@gw", "+61", nullptr, nullptr},      // letters
        {"+999412345678@gw", "+61", nullptr, nullptr},     // no such country code
        {"0412345678@gw", "+999", nullptr, nullptr},       // nor here
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.recipient) + " country " + (c.country ? c.country : "none"));
        auto want = [](const char* e) {
            return e ? std::optional<std::string>(e) : std::optional<std::string>();
        };
        EXPECT_EQ(phone_destination(c.recipient, nullptr, c.country), want(c.possible));
        EXPECT_EQ(phone_destination(c.recipient, nullptr, c.country, number_check::possible),
                  want(c.possible));
        EXPECT_EQ(phone_destination(c.recipient, nullptr, c.country, number_check::valid),
                  want(c.valid));
    }
}

TEST(PhoneDestination, TheSettingNamesTheCheck) {
    EXPECT_EQ(number_check_of(nullptr), number_check::possible);
    EXPECT_EQ(number_check_of(""), number_check::possible);
    EXPECT_EQ(number_check_of("possible"), number_check::possible);
    EXPECT_EQ(number_check_of("valid"), number_check::valid);
    EXPECT_EQ(number_check_of("Valid "), number_check::valid);
}

// Readings are remembered: the same digits asked again under another country or another
// check keep their own reading, and more numbers than the memo holds are all still read
// right.
TEST(PhoneDestination, RememberedReadingsKeepTheirCountryAndSurviveAFullMemo) {
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        EXPECT_EQ(phone_destination("0412345678@gw", nullptr, "+61"), "+61412345678");
        EXPECT_EQ(phone_destination("0612345678@gw", nullptr, "+33"), "+33612345678");
        // Australia has no 06 area, though its numbers are that long.
        EXPECT_EQ(phone_destination("0612345678@gw", nullptr, "+61", number_check::valid),
                  std::nullopt);
        EXPECT_EQ(phone_destination("0612345678@gw", nullptr, "+61"), "+61612345678");
        EXPECT_EQ(phone_destination("0412345678@gw", nullptr, nullptr), std::nullopt);
    }
    for (int i = 0; i < 5000; ++i) {
        char local[16];
        std::snprintf(local, sizeof local, "0412%06d", i);
        char want[16];
        std::snprintf(want, sizeof want, "+61412%06d", i);
        ASSERT_EQ(phone_destination(std::string(local) + "@gw", nullptr, "+61"), want);
    }
    EXPECT_EQ(phone_destination("0412000000@gw", nullptr, "+61"), "+61412000000");
}

TEST(PhoneDestination, AnOverlongRecipientIsRefusedNotCut) {
    // Cutting would turn 1,000 digits into some other valid-looking number.
    std::string local = "+61" + std::string(1000, '4');
    EXPECT_EQ(phone_destination(local + "@gw", nullptr, "+61"), std::nullopt);
}

// ---- smart_body ----

TEST(SmartBody, WithoutSettingCopiesUnchanged) {
    std::string text = "Subj - ";
    EXPECT_EQ(smart_body(nullptr, text, "hello  big\tworld", 1000), 23u);
    EXPECT_EQ(text, "Subj - hello  big\tworld");
}

TEST(SmartBody, UnknownWordsLeaveTextUnchanged) {
    std::string text;
    smart_body("compact, vowels", text, "hello big world", 1000);
    EXPECT_EQ(text, "hello big world");
}

TEST(SmartBody, SpacesModeDropsBlanksAndCapitalisesWords) {
    std::string text;
    EXPECT_EQ(smart_body("spaces", text, "hello big world", 1000), 13u);
    EXPECT_EQ(text, "HelloBigWorld");
}

TEST(SmartBody, SpacesWordIsFoundAmongOthersInAnyCase) {
    std::string text;
    smart_body("vowels,SPACES", text, "a b", 1000);
    EXPECT_EQ(text, "AB");
    text.clear();
    smart_body("  x ,, Spaces ", text, "a b", 1000);
    EXPECT_EQ(text, "AB");
}

TEST(SmartBody, OnlyTwentyWordsOfTheSettingAreRead) {
    std::string twenty;
    for (int i = 0; i < 20; ++i) twenty += "w" + std::to_string(i) + " ";
    std::string text;
    smart_body((twenty + "spaces").c_str(), text, "a b", 1000);
    EXPECT_EQ(text, "a b");  // "spaces" is the 21st word

    std::string nineteen;
    for (int i = 0; i < 19; ++i) nineteen += "w" + std::to_string(i) + ",";
    text.clear();
    smart_body((nineteen + "spaces").c_str(), text, "a b", 1000);
    EXPECT_EQ(text, "AB");  // the 20th word still counts
}

TEST(SmartBody, FirstCharacterOfEveryAdditionIsUpperCased) {
    std::string text = "abc";
    smart_body("spaces", text, "def", 1000);
    EXPECT_EQ(text, "abcDef");
}

TEST(SmartBody, EveryKindOfWhiteSpaceIsDropped) {
    std::string text;
    smart_body("spaces", text, " one\ttwo\r\nthree\f\vfour ", 1000);
    EXPECT_EQ(text, "OneTwoThreeFour");
}

TEST(SmartBody, NonLettersAfterBlanksStayAsTheyAre) {
    std::string text;
    smart_body("spaces", text, "Reply w/ bob@x.example - 2 days", 1000);
    EXPECT_EQ(text, "ReplyW/Bob@x.example-2Days");
}

TEST(SmartBody, OnlyTheFirstLetterOfAWordChanges) {
    std::string text;
    smart_body("spaces", text, "mIxEd cASE", 1000);
    EXPECT_EQ(text, "MIxEdCASE");
}

TEST(SmartBody, StopsAtLimitMinusOne) {
    std::string text(995, 'x');
    EXPECT_EQ(smart_body(nullptr, text, "0123456789", 1000), 999u);
    EXPECT_EQ(text.substr(995), "0123");

    std::string spaced(995, 'x');
    EXPECT_EQ(smart_body("spaces", spaced, "a b c d e f", 1000), 999u);
    EXPECT_EQ(spaced.substr(995), "ABCD");
}

TEST(SmartBody, FullTextIsLeftAlone) {
    std::string text(999, 'x');
    EXPECT_EQ(smart_body(nullptr, text, "more", 1000), 999u);
    EXPECT_EQ(text, std::string(999, 'x'));
    std::string small = "abc";
    EXPECT_EQ(smart_body(nullptr, small, "more", 3), 3u);  // already past a tiny limit
    EXPECT_EQ(small, "abc");
}

TEST(SmartBody, NullAdditionAppendsNothing) {
    std::string text = "keep";
    EXPECT_EQ(smart_body("spaces", text, nullptr, 1000), 4u);
    EXPECT_EQ(text, "keep");
}

TEST(SmartBody, LogsEachStep) {
    LogCapture log;
    std::string text = "abc";
    smart_body("spaces", text, "x y", 1000);
    std::vector<std::string> m = log.messages();
    std::vector<std::string> want = {"sms_smart: setting(spaces)", "sms_smart: existing(3)",
                                     "sms_smart: mode(spaces)", "sms_smart: add(x y)",
                                     "sms_smart: result (5)(abcXY)"};
    EXPECT_EQ(m, want);
}

TEST(SmartBody, LogsNoneForAMissingSetting) {
    LogCapture log;
    std::string text;
    smart_body(nullptr, text, "z", 1000);
    EXPECT_TRUE(log.has("sms_smart: setting(--none--)"));
    EXPECT_TRUE(log.has("sms_smart: result (1)(z)"));
}

// ---- format_sms ----

class FormatSms : public ::testing::Test {
  protected:
    std::map<std::string, std::string> headers{{"Subject", "Meeting moved"}, {"X-Ref", "R-42"}};
    std::vector<std::string> asked;
    HeaderLookup lookup = [this](std::string_view name) -> std::optional<std::string_view> {
        asked.emplace_back(name);
        for (const auto& [k, v] : headers)
            if (iequals(k, name)) return std::string_view(v);
        return std::nullopt;
    };
    std::string run(std::string_view body, std::string_view tmpl, std::size_t limit = 1000) {
        std::string text;
        std::size_t n = format_sms(body, lookup, tmpl, text, limit);
        EXPECT_EQ(n, text.size());
        return text;
    }
};

TEST_F(FormatSms, SubjectColonAndFirstHundredCharactersOfBody) {
    std::string body(150, 'b');
    EXPECT_EQ(run(body, "$(Subject): $(body100)"), "Meeting moved: " + std::string(100, 'b'));
}

TEST_F(FormatSms, BodyAndNlIgnoreLetterCase) {
    EXPECT_EQ(run("text", "$(BODY)$(NL)$(Body)$(nl)"), "text\ntext\n");
}

TEST_F(FormatSms, HeaderNameIsPassedAsWritten) {
    EXPECT_EQ(run("", "[$(x-ref)]"), "[R-42]");
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0], "x-ref");
}

TEST_F(FormatSms, MissingHeaderGivesNothing) {
    EXPECT_EQ(run("b", "<$(X-None)>"), "<>");
}

TEST_F(FormatSms, LengthCutsAHeaderValue) {
    EXPECT_EQ(run("", "$(Subject7)!"), "Meeting!");
}

TEST_F(FormatSms, ADigitEndsTheNameAndTheRestUpToTheParenIsSkipped) {
    // X-Ref2 cannot be named: the digit ends the name at "X-Ref", length 2, "abc" skipped.
    headers["X-Ref2"] = "never";
    EXPECT_EQ(run("", "$(X-Ref2abc)"), "R-");
    EXPECT_EQ(asked.back(), "X-Ref");
}

TEST_F(FormatSms, LengthZeroKeepsNothing) {
    EXPECT_EQ(run("body", "a$(body0)b"), "ab");
}

TEST_F(FormatSms, UnclosedVariableIsCopiedUnchanged) {
    EXPECT_EQ(run("body", "hi $(body"), "hi $(body");
    EXPECT_EQ(run("body", "$(body) then $(Subject"), "body then $(Subject");
}

TEST_F(FormatSms, TextOutsideVariablesIsKept) {
    EXPECT_EQ(run("B", "pre $ (x) $(body) post)"), "pre $ (x) B post)");
    EXPECT_EQ(run("B", ""), "");
    EXPECT_EQ(run("B", "plain"), "plain");
}

TEST_F(FormatSms, EmptyNameIsAnUnknownHeader) {
    EXPECT_EQ(run("B", "[$()]"), "[]");
}

TEST_F(FormatSms, TextNeverPassesLimitMinusOne) {
    std::string body(2000, 'z');
    std::string t = run(body, "$(Subject) $(body) tail");
    EXPECT_EQ(t.size(), 999u);
    EXPECT_EQ(t.substr(0, 14), "Meeting moved ");
    EXPECT_EQ(run("abc", "1234$(body)", 6), "1234a");
}

TEST_F(FormatSms, AppendsToExistingText) {
    std::string text = "Reply w/ a@b - ";
    format_sms("hi", lookup, "$(body)", text, 1000);
    EXPECT_EQ(text, "Reply w/ a@b - hi");
}

TEST_F(FormatSms, WorksWithoutHeaderLookup) {
    std::string text;
    format_sms("b", HeaderLookup{}, "$(Subject)-$(body)", text, 1000);
    EXPECT_EQ(text, "-b");
}

}  // namespace
}  // namespace tolvane
