// Wildcard matching: rules without and with character sets, lists, hostile patterns.
#include <gtest/gtest.h>

#include <string>

#include "foundation/lib.h"

namespace tolvane {
namespace {

// A plain recursive matcher for rules A, used as the reference on small inputs.
bool reference_a(const char* s, const char* p) {
    if (!*p) return !*s;
    if (*p == '*') return reference_a(s, p + 1) || (*s && reference_a(s + 1, p));
    if (!*s) return false;
    return (*p == '?' || *p == *s) && reference_a(s + 1, p + 1);
}

TEST(WildMatch, PhoneNumberExamples) {
    EXPECT_EQ(wild_match("0412345678", "04*"), 1);
    EXPECT_EQ(wild_match("0412345678", "04??"), 0);
    EXPECT_EQ(wild_match("0412345678", "*78"), 1);
    EXPECT_EQ(wild_match("0412345678", "*?8"), 1);
    EXPECT_EQ(wild_match("0412345678", "0412345678"), 1);
    EXPECT_EQ(wild_match("0412345678", "041234567"), 0);
}

TEST(WildMatch, StarMatchesEmptyRun) {
    EXPECT_EQ(wild_match("ab", "a*b"), 1);
    EXPECT_EQ(wild_match("", "*"), 1);
    EXPECT_EQ(wild_match("", "**"), 1);
    EXPECT_EQ(wild_match("", "?"), 0);
    EXPECT_EQ(wild_match("", ""), 1);
    EXPECT_EQ(wild_match("x", ""), 0);
    EXPECT_EQ(wild_match("abc", "a***c"), 1);
}

TEST(WildMatch, QuestionMarkAfterStarNeedsOneCharacter) {
    EXPECT_EQ(wild_match("a", "*?"), 1);
    EXPECT_EQ(wild_match("", "*?"), 0);
    EXPECT_EQ(wild_match("ab", "a*?"), 1);
    EXPECT_EQ(wild_match("a", "a*?"), 0);
}

TEST(WildMatch, CaseSensitiveAndNullSafe) {
    EXPECT_EQ(wild_match("Abc", "abc"), 0);
    EXPECT_EQ(wild_match(static_cast<const char*>(nullptr), "*"), 0);
    EXPECT_EQ(wild_match("x", static_cast<const char*>(nullptr)), 0);
}

TEST(WildMatch, HighBytesMatchThemselves) {
    EXPECT_EQ(wild_match("caf\xe9", "caf?"), 1);
    EXPECT_EQ(wild_match("caf\xe9", "*\xe9"), 1);
    EXPECT_EQ(wild_match("caf\xe9", "*\xe8"), 0);
}

TEST(WildMatch, BacktracksPastFalseStarts) {
    EXPECT_EQ(wild_match("aaab", "*ab"), 1);
    EXPECT_EQ(wild_match("abcabd", "*abd"), 1);
    EXPECT_EQ(wild_match("mississippi", "m*iss*ppi"), 1);
    EXPECT_EQ(wild_match("mississippi", "m*iss*ppx"), 0);
}

TEST(WildMatch, AgreesWithReferenceOnAllSmallCases) {
    const std::string alphabet = "ab";
    const std::string pat_alphabet = "ab*?";
    // Every subject up to 5 characters against every pattern up to 4 elements.
    std::vector<std::string> subjects{""}, patterns{""};
    for (int len = 1; len <= 5; ++len)
        for (std::size_t i = subjects.size(); i-- > 0;)
            if (subjects[i].size() == static_cast<std::size_t>(len - 1))
                for (char c : alphabet) subjects.push_back(subjects[i] + c);
    for (int len = 1; len <= 4; ++len)
        for (std::size_t i = patterns.size(); i-- > 0;)
            if (patterns[i].size() == static_cast<std::size_t>(len - 1))
                for (char c : pat_alphabet) patterns.push_back(patterns[i] + c);
    int checked = 0;
    for (const auto& s : subjects)
        for (const auto& p : patterns) {
            SCOPED_TRACE("subject '" + s + "' pattern '" + p + "'");
            ASSERT_EQ(wild_match(s, p), reference_a(s.c_str(), p.c_str()) ? 1 : 0);
            ++checked;
        }
    EXPECT_GT(checked, 10000);
}

TEST(WildMatch, LongSubjectAgainstManyStars) {
    std::string subject(4000, 'a');
    std::string stars;
    for (int i = 0; i < 30; ++i) stars += "*a";
    EXPECT_EQ(wild_match(subject, stars + "*"), 1);
    EXPECT_EQ(wild_match(subject, stars + "*b"), 0);  // the classic exponential case
    subject[1234] = 'b';
    subject[3000] = 'c';
    EXPECT_EQ(wild_match(subject, "*b*c*"), 1);
    EXPECT_EQ(wild_match(subject, "*c*b*"), 0);
    EXPECT_EQ(wild_match(subject, stars + "*b*a*c*a"), 1);
}

TEST(WildList, AddressListExamples) {
    EXPECT_EQ(wild_list("127.0.0.1", "10.*, 127.0.0.*"), 1);
    EXPECT_EQ(wild_list("127.0.0.1", "127.0.0.*1x"), 0);
    EXPECT_EQ(wild_list("127.0.0.1", ""), 0);
    EXPECT_EQ(wild_list("", "*"), 0);  // no word to match
}

TEST(WildList, AnyWordOfEitherListAndAllSeparators) {
    EXPECT_EQ(wild_list("a b\tc", "x,,c"), 1);
    EXPECT_EQ(wild_list("one,two", "  tw?  "), 1);
    EXPECT_EQ(wild_list("one,two", "three\tfour"), 0);
    EXPECT_EQ(wild_list(static_cast<const char*>(nullptr), "*"), 0);
    EXPECT_EQ(wild_list("a", static_cast<const char*>(nullptr)), 0);
}

TEST(MatchWild, SetsAndNegatedSets) {
    EXPECT_EQ(match_wild("limit_[fi]*", "limit_ip"), 1);
    EXPECT_EQ(match_wild("limit_[^i]*", "limit_ip"), 0);
    EXPECT_EQ(match_wild("limit_[^i]*", "limit_from"), 1);
    EXPECT_EQ(match_wild("[a-c]x", "bx"), 1);
    EXPECT_EQ(match_wild("[a-c]x", "dx"), 0);
    EXPECT_EQ(match_wild("[^a-c]x", "dx"), 1);
}

TEST(MatchWild, BracketAndDashFirstAreMembers) {
    EXPECT_EQ(match_wild("[]a]", "]"), 1);
    EXPECT_EQ(match_wild("[]a]", "a"), 1);
    EXPECT_EQ(match_wild("[]a]", "b"), 0);
    EXPECT_EQ(match_wild("[-a]", "-"), 1);
    EXPECT_EQ(match_wild("[a-]", "-"), 1);
    EXPECT_EQ(match_wild("[^]]", "]"), 0);
    EXPECT_EQ(match_wild("[^]]", "x"), 1);
}

TEST(MatchWild, RangesCompareUnsignedBytes) {
    EXPECT_EQ(match_wild("[\x80-\xff]", "\xe9"), 1);
    EXPECT_EQ(match_wild("[\x01-\x7f]", "\xe9"), 0);
}

TEST(MatchWild, BackslashMakesNextLiteral) {
    EXPECT_EQ(match_wild("a\\*b", "a*b"), 1);
    EXPECT_EQ(match_wild("a\\*b", "axb"), 0);
    EXPECT_EQ(match_wild("\\[x]", "[x]"), 1);
    EXPECT_EQ(match_wild("a\\?", "ab"), 0);
}

TEST(MatchWild, StarAloneAndExhaustedSubject) {
    EXPECT_EQ(match_wild("*", ""), 1);
    EXPECT_EQ(match_wild("*", "anything"), 1);
    EXPECT_EQ(match_wild("abc", "ab"), 0);
    EXPECT_EQ(match_wild("ab*", "ab"), 1);
    EXPECT_EQ(match_wild("[ab]", ""), 0);
    EXPECT_EQ(match_wild(nullptr, "x"), 0);
    EXPECT_EQ(match_wild("x", nullptr), 0);
}

TEST(MatchWild, UnclosedBracketIsLiteral) {
    EXPECT_EQ(match_wild("a[b", "a[b"), 1);
    EXPECT_EQ(match_wild("a[b", "ab"), 0);
}

TEST(MatchWild, LongSubjectAgainstManyStarsAndSets) {
    std::string subject(4000, 'a');
    std::string pattern;
    for (int i = 0; i < 30; ++i) pattern += "*[ab]";
    EXPECT_EQ(match_wild((pattern + "*").c_str(), subject.c_str()), 1);
    EXPECT_EQ(match_wild((pattern + "*c").c_str(), subject.c_str()), 0);
}

}  // namespace
}  // namespace tolvane
