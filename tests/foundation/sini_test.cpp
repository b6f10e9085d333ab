// Settings table and readers: loading, word cutting, templates, resolution, sharing, readers.
#include "foundation/sini.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "foundation/log.h"

namespace tolvane {
namespace {

namespace fs = std::filesystem;

enum Key : int {
    HOME = 0,
    WORKPATH,
    LOGPATH,
    SMTP_GREETING,
    LOGLEVEL,
    ACCEPT_IP,
    REPORT,
    LIMIT,
    PHONE_RANGE,
    WIDE,
    DUPS,
    ECHO,
    LOOP_A,
    LOOP_B,
    MULTI_PLAIN,
    SAME_NAME,
};

// Rows shaped like the gateway's, plus a few that exercise limits of the rules.
const sini_table kKeys[] = {
    {HOME, "home", SM_NONE, "/usr/local/tolvane", -1, nullptr},
    {WORKPATH, "workpath", SM_NONE, nullptr, HOME, nullptr},
    {LOGPATH, "logpath", SM_NONE, nullptr, WORKPATH, nullptr},
    {SMTP_GREETING, "smtp_greeting", SM_NONE, "TOLVANE", -1, nullptr},
    {LOGLEVEL, "loglevel", SM_NONE, "debug", -1, ""},
    {ACCEPT_IP, "accept_ip", SM_MULTI, "*", -1, nullptr},
    {REPORT, "report", SM_MULTI, "message=\"Tolvane is alive\" days=\"*\"", -1,
     "time=VALUE to=VALUE message=VALUE days=VALUE"},
    {LIMIT, "limit", SM_MULTI, "name=\"msgrec\" period=\"24\"", -1,
     "name=VALUE ip=VALUE to=VALUE from=VALUE period=VALUE"},
    {PHONE_RANGE, "phone_range", SM_NONE, nullptr, -1, "min=\"VALUE\" max=\"VALUE\""},
    {WIDE, "wide", SM_MULTI, nullptr, -1,
     "a=VALUE b=VALUE c=VALUE d=VALUE e=VALUE f=VALUE g=VALUE h=VALUE i=VALUE j=VALUE "
     "k=VALUE"},
    {DUPS, "dups", SM_NONE, "c=\"dc\"", -1, "a=VALUE b=VALUE c=VALUE"},
    {ECHO, "echo", SM_NONE, "a=\"b\" b=\"c\"", -1, "a=VALUE b=VALUE"},
    {LOOP_A, "loop_a", SM_NONE, nullptr, LOOP_B, nullptr},
    {LOOP_B, "loop_b", SM_NONE, nullptr, LOOP_A, nullptr},
    {MULTI_PLAIN, "multi_plain", SM_MULTI, nullptr, -1, nullptr},
    {SAME_NAME, "SMTP_Greeting", SM_NONE, "second row", -1, nullptr},
    {-1, nullptr, SM_NONE, nullptr, -1, nullptr},
};

std::string S(const char* p) {
    return p ? std::string(p) : std::string("<null>");
}

// Each test gets its own directory and its own log there, so that the errors the loader
// logs can be read back.
class SIniTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/sini_test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        // Drop whatever earlier tests left held, then make a log of our own current.
        auto sink = log_init(LOG_ERROR);
        log_set(sink.get());
        log_free(sink);
        log_ = log_init(LOG_ERROR);
        log_doflush(log_.get(), 1);
        ASSERT_EQ(log_setup(log_.get(), dir_.c_str(), "test.log"), 1);
        ini_ = sini_init(kKeys);
        ASSERT_TRUE(ini_);
    }
    void TearDown() override {
        sini_free(ini_);
        log_free(log_);
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    std::string write(const std::string& name, const std::string& content) {
        std::string path = dir_ + "/" + name;
        std::ofstream out(path, std::ios::binary);
        out << content;
        return path;
    }
    void load(const std::string& content) {
        ASSERT_EQ(sini_load(ini_.get(), write("t.ini", content), nullptr), 1);
    }
    std::string logged() {
        log_flush(log_.get());
        std::ifstream in(dir_ + "/test.log");
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    int count_logged(const std::string& needle) {
        std::string all = logged();
        int n = 0;
        for (std::size_t p = all.find(needle); p != std::string::npos; p = all.find(needle, p + 1))
            ++n;
        return n;
    }
    const char* get(int id, const char* sec = nullptr, const char* part = nullptr, int n = 0) {
        return sini_getx(ini_.get(), id, sec, part, n);
    }

    std::string dir_;
    std::unique_ptr<Log> log_;
    std::unique_ptr<SIni> ini_;
};

// ---------------------------------------------------------------- loading lines

TEST_F(SIniTest, CommentWithLeadingBlanksIsIgnored) {
    load("  # note\n\t#smtp_greeting x\n");
    EXPECT_STREQ(get(SMTP_GREETING), "TOLVANE");
    EXPECT_EQ(count_logged("Setting invalid"), 0);
}

TEST_F(SIniTest, HashLaterInLineBelongsToValue) {
    load("smtp_greeting Hello # note\n");
    EXPECT_STREQ(get(SMTP_GREETING), "Hello # note");
}

TEST_F(SIniTest, PlainValueKeepsQuotesAndBlanks) {
    load("smtp_greeting \"Hello\"\n");
    EXPECT_STREQ(get(SMTP_GREETING), "\"Hello\"");
    sini_free(ini_);
    ini_ = sini_init(kKeys);
    load("smtp_greeting  x  \n");
    EXPECT_STREQ(get(SMTP_GREETING), " x  ");
}

TEST_F(SIniTest, PlainValueKeepsBackslashes) {
    load("smtp_greeting a\\\\b\\\"c\n");
    EXPECT_STREQ(get(SMTP_GREETING), "a\\\\b\\\"c");
}

TEST_F(SIniTest, KeyAloneStoresEmptyTextThatHidesDefault) {
    load("smtp_greeting\n");
    const char* v = get(SMTP_GREETING);
    ASSERT_NE(v, nullptr);
    EXPECT_STREQ(v, "");
}

TEST_F(SIniTest, KeyNamesMatchInAnyCase) {
    load("LogLevel Info\nSMTP_GREETING hi\n");
    EXPECT_STREQ(get(LOGLEVEL), "Info");
    EXPECT_STREQ(get(SMTP_GREETING), "hi");
}

TEST_F(SIniTest, TabEndsTheKey) {
    load("smtp_greeting\tTabbed value\n");
    EXPECT_STREQ(get(SMTP_GREETING), "Tabbed value");
}

TEST_F(SIniTest, CarriageReturnEndsTheLine) {
    load("smtp_greeting abc\rdef\nloglevel info\r\n");
    EXPECT_STREQ(get(SMTP_GREETING), "abc");
    EXPECT_STREQ(get(LOGLEVEL), "info");
}

TEST_F(SIniTest, LastLineWithoutLineFeedIsRead) {
    load("loglevel info\nsmtp_greeting last");
    EXPECT_STREQ(get(SMTP_GREETING), "last");
}

TEST_F(SIniTest, UnknownKeyIsLoggedAndLoadingGoesOn) {
    load("nosuchkey 1\nsmtp_greeting ok\n");
    EXPECT_STREQ(get(SMTP_GREETING), "ok");
    EXPECT_EQ(count_logged("Setting invalid (nosuchkey)(1)"), 1);
}

TEST_F(SIniTest, LongLineIsCutIntoPiecesOf998) {
    std::string value(5000 - 14, 'v');
    load("smtp_greeting " + value + "\nloglevel info\n");
    // The first piece holds 998 characters: the key, its blank and 984 of the value.
    EXPECT_EQ(std::string(get(SMTP_GREETING)), std::string(984, 'v'));
    // The other pieces are lines of their own, whose "keys" are runs of v.
    EXPECT_EQ(count_logged("Setting invalid (vvvv"), 5);
    EXPECT_STREQ(get(LOGLEVEL), "info");
}

TEST_F(SIniTest, LineOfExactly998CharactersIsOneLine) {
    std::string value(998 - 14, 'w');
    load("smtp_greeting " + value + "\nloglevel info\n");
    EXPECT_EQ(std::string(get(SMTP_GREETING)).size(), 984u);
    EXPECT_EQ(count_logged("Setting invalid"), 0);
    EXPECT_STREQ(get(LOGLEVEL), "info");
}

TEST_F(SIniTest, LineOf999CharactersContinuesOnANewLine) {
    std::string value(998 - 14, 'w');
    load("smtp_greeting " + value + "Z\n");
    EXPECT_EQ(count_logged("Setting invalid (Z)()"), 1);
}

TEST_F(SIniTest, NulByteEndsTheLine) {
    const char raw[] = "smtp_greeting ab\0cd\nloglevel info\n";
    load(std::string(raw, sizeof raw - 1));
    EXPECT_STREQ(get(SMTP_GREETING), "ab");
    EXPECT_STREQ(get(LOGLEVEL), "info");
}

TEST_F(SIniTest, BinaryGarbageLoadsWhatItCan) {
    std::string junk;
    for (int i = 0; i < 4096; ++i) junk.push_back(static_cast<char>((i * 131 + 7) & 0xff));
    load(junk + "\nsmtp_greeting after junk\n");
    EXPECT_STREQ(get(SMTP_GREETING), "after junk");
}

TEST_F(SIniTest, MissingFileReturnsZeroAndTableStaysEmpty) {
    EXPECT_EQ(sini_load(ini_.get(), dir_ + "/absent.ini", nullptr), 0);
    EXPECT_STREQ(get(SMTP_GREETING), "TOLVANE");
    EXPECT_EQ(sini_domains(ini_.get()), 0);
}

TEST_F(SIniTest, DirectoryIsNotASettingsFile) {
    EXPECT_EQ(sini_load(ini_.get(), dir_, nullptr), 0);
}

TEST_F(SIniTest, UnreadableFileReturnsZero) {
    std::string path = write("secret.ini", "smtp_greeting hidden\n");
    ASSERT_EQ(chmod(path.c_str(), 0), 0);
    if (geteuid() == 0) GTEST_SKIP() << "root reads any file";
    EXPECT_EQ(sini_load(ini_.get(), path, nullptr), 0);
    EXPECT_STREQ(get(SMTP_GREETING), "TOLVANE");
}

TEST_F(SIniTest, NullTableIsRefused) {
    EXPECT_EQ(sini_load(nullptr, write("x.ini", "home /x\n"), nullptr), 0);
    EXPECT_EQ(sini_init(nullptr), nullptr);
    EXPECT_EQ(sini_getx(nullptr, HOME, nullptr, nullptr, 0), nullptr);
    EXPECT_EQ(sini_set(nullptr, HOME, nullptr, "x"), 0);
}

// ---------------------------------------------------------------- sections

TEST_F(SIniTest, SettingsAfterSectionLineAreInvisibleWithoutSection) {
    load("smtp_greeting global\ndomain x\nsmtp_greeting inx\nloglevel info\n");
    EXPECT_STREQ(get(SMTP_GREETING), "global");
    EXPECT_STREQ(get(LOGLEVEL), "debug");
    EXPECT_STREQ(get(SMTP_GREETING, "x"), "inx");
    EXPECT_STREQ(get(LOGLEVEL, "x"), "info");
}

TEST_F(SIniTest, SectionFallsBackToGlobalPart) {
    load("smtp_greeting global\ndomain x\nloglevel info\n");
    EXPECT_STREQ(get(SMTP_GREETING, "x"), "global");
    EXPECT_STREQ(get(SMTP_GREETING, "nosuch"), "global");
}

TEST_F(SIniTest, SectionNamesAreCaseExact) {
    load("domain Office\nsmtp_greeting office\n");
    EXPECT_STREQ(get(SMTP_GREETING, "Office"), "office");
    EXPECT_STREQ(get(SMTP_GREETING, "office"), "TOLVANE");
}

TEST_F(SIniTest, SectionKeywordAnyCaseAndRepeatedSectionIsReused) {
    load(
        "DOMAIN a\nsmtp_greeting one\nDomain b extra words\nloglevel info\ndomain a\n"
        "accept_ip 10.*\n");
    ASSERT_EQ(sini_domains(ini_.get()), 2);
    EXPECT_STREQ(sini_domain_name(ini_.get(), 0), "a");
    EXPECT_STREQ(sini_domain_name(ini_.get(), 1), "b");
    EXPECT_EQ(sini_domain_name(ini_.get(), 2), nullptr);
    EXPECT_EQ(sini_domain_name(ini_.get(), -1), nullptr);
    EXPECT_STREQ(get(ACCEPT_IP, "a"), "10.*");
    EXPECT_STREQ(get(LOGLEVEL, "b"), "info");
}

TEST_F(SIniTest, CallerChosenSectionKeyword) {
    ASSERT_EQ(sini_load(ini_.get(), write("k.ini", "site s1\nsmtp_greeting s\ndomain d\n"), "Site"),
              1);
    EXPECT_STREQ(get(SMTP_GREETING, "s1"), "s");
    EXPECT_EQ(count_logged("Setting invalid (domain)(d)"), 1);
}

TEST_F(SIniTest, SectionLineWithoutNameIsDroppedAndLogged) {
    load("domain a\ndomain\nsmtp_greeting stays_in_a\ndomain   \t \n");
    EXPECT_EQ(sini_domains(ini_.get()), 1);
    EXPECT_STREQ(get(SMTP_GREETING, "a"), "stays_in_a");
    EXPECT_STREQ(get(SMTP_GREETING), "TOLVANE");
    EXPECT_EQ(count_logged("Setting invalid (domain)()"), 2);
}

TEST_F(SIniTest, AddDomainCreatesOnceByExactName) {
    EXPECT_EQ(sini_add_domain(ini_.get(), "x"), 1);
    EXPECT_EQ(sini_add_domain(ini_.get(), "x"), 1);
    EXPECT_EQ(sini_add_domain(ini_.get(), "X"), 1);
    EXPECT_EQ(sini_add_domain(ini_.get(), nullptr), 0);
    EXPECT_EQ(sini_add_domain(nullptr, "y"), 0);
    EXPECT_EQ(sini_domains(ini_.get()), 2);
}

// ---------------------------------------------------------------- templates and attributes

TEST_F(SIniTest, ReportLineTakesMissingAttributesFromDefault) {
    load("report time=\"08:00\" to=\"0412000000\"\n");
    auto attrs = sini_attributes(ini_.get(), REPORT, nullptr, 0);
    using P = std::pair<std::string, std::string>;
    std::vector<P> want{
        {"time", "08:00"}, {"to", "0412000000"}, {"message", "Tolvane is alive"}, {"days", "*"}};
    EXPECT_EQ(attrs, want);
    EXPECT_STREQ(get(REPORT, nullptr, "message", 0), "Tolvane is alive");
    EXPECT_EQ(get(REPORT, nullptr, "message", 1), nullptr);
    EXPECT_STREQ(get(REPORT, nullptr, nullptr, 0), "08:00");
}

TEST_F(SIniTest, LimitAttributesInWrittenOrderThenDefaults) {
    load("limit name=\"a\" ip=\"5\"\n");
    auto attrs = sini_attributes(ini_.get(), LIMIT, nullptr, 0);
    using P = std::pair<std::string, std::string>;
    std::vector<P> want{{"name", "a"}, {"ip", "5"}, {"period", "24"}};
    EXPECT_EQ(attrs, want);
}

TEST_F(SIniTest, GivenAttributeOverridesDefault) {
    load("limit period=\"1\" name=\"b\"\n");
    EXPECT_STREQ(get(LIMIT, nullptr, "period"), "1");
    EXPECT_STREQ(get(LIMIT, nullptr, "name"), "b");
    EXPECT_EQ(sini_attributes(ini_.get(), LIMIT, nullptr, 0).size(), 2u);
}

TEST_F(SIniTest, AttributeLookupIgnoresCaseButValueNamesMustMatchTemplateCase) {
    load("report Time=\"08:00\"\nreport time=\"09:00\"\n");
    EXPECT_EQ(count_logged("Setting invalid (report)(Time=\"08:00\")"), 1);
    EXPECT_STREQ(get(REPORT, nullptr, "TIME"), "09:00");
    EXPECT_EQ(get(REPORT, nullptr, "time", 1), nullptr);
}

TEST_F(SIniTest, QuotedTemplateWordsAreTheSameTemplate) {
    load("phone_range min=\"100\" max=\"199\"\n");
    EXPECT_STREQ(get(PHONE_RANGE, nullptr, "min"), "100");
    EXPECT_STREQ(get(PHONE_RANGE, nullptr, "max"), "199");
}

TEST_F(SIniTest, UnquotedAttributeValues) {
    load("phone_range min=100 max=199\n");
    EXPECT_STREQ(get(PHONE_RANGE, nullptr, "max"), "199");
}

TEST_F(SIniTest, IncompleteTriplesAreRejected) {
    load("report time=\"1\" to\n");
    EXPECT_EQ(count_logged("Setting invalid (report)(time=\"1\" to)"), 1);
    EXPECT_STREQ(get(REPORT), "message=\"Tolvane is alive\" days=\"*\"");
}

TEST_F(SIniTest, BlanksAroundEqualsDoNotFormAnAttribute) {
    load("report time = \"1\"\n");
    EXPECT_EQ(count_logged("Setting invalid (report)"), 1);
}

TEST_F(SIniTest, EmptyAttributeValueIsRejected) {
    load("report\n");
    EXPECT_EQ(count_logged("Setting invalid (report)()"), 1);
}

TEST_F(SIniTest, MiddleWordMustBeEquals) {
    load("report time x \"1\"\n");
    EXPECT_EQ(count_logged("Setting invalid (report)"), 1);
    EXPECT_EQ(get(REPORT, nullptr, "time"), nullptr);
}

TEST_F(SIniTest, NineAttributesAcceptedTenRejected) {
    std::string nine = "a=1 b=2 c=3 d=4 e=5 f=6 g=7 h=8 i=9";
    ASSERT_EQ(sini_set(ini_.get(), WIDE, nullptr, nine.c_str()), 1);
    EXPECT_STREQ(get(WIDE, nullptr, "i"), "9");
    EXPECT_EQ(sini_set(ini_.get(), WIDE, nullptr, (nine + " j=10").c_str()), 0);
    EXPECT_EQ(sini_set(ini_.get(), WIDE, nullptr, (nine + " j=10 k=11").c_str()), 0);
    load("wide " + nine + " j=10\n");
    EXPECT_EQ(count_logged("Setting invalid (wide)(a=1 b=2"), 1);
    EXPECT_EQ(get(WIDE, nullptr, "a", 1), nullptr);
}

TEST_F(SIniTest, UnbalancedQuoteRunsToEndOfValue) {
    load("report time=\"08:00 to=\"x\nreport to=\"0412\n");
    EXPECT_STREQ(get(REPORT, nullptr, "time", 0), "08:00 to=\"x");
    EXPECT_STREQ(get(REPORT, nullptr, "to", 1), "0412");
    EXPECT_STREQ(get(REPORT, nullptr, "message", 1), "Tolvane is alive");
}

TEST_F(SIniTest, QuoteNotFollowedByBlankBelongsToWord) {
    load("report message=\"a\"b c\" to=1\n");
    EXPECT_STREQ(get(REPORT, nullptr, "message"), "a\"b c");
    EXPECT_STREQ(get(REPORT, nullptr, "to"), "1");
}

TEST_F(SIniTest, EmptyQuotedValue) {
    load("report to=\"\" time=\"7\"\n");
    EXPECT_STREQ(get(REPORT, nullptr, "to"), "");
    EXPECT_STREQ(get(REPORT, nullptr, "time"), "7");
}

TEST_F(SIniTest, EscapesInAttributeValues) {
    load("report message=\"a \\\"b\\\"c\" to=\"back\\\\slash\" time=x\\y\n");
    EXPECT_STREQ(get(REPORT, nullptr, "message"), "a \"b\"c");
    EXPECT_STREQ(get(REPORT, nullptr, "to"), "back\\slash");
    EXPECT_STREQ(get(REPORT, nullptr, "time"), "x\\y");
}

TEST_F(SIniTest, FoundSettingWithoutAttributeDoesNotFallToDefault) {
    // Nine words, as many as the template has: nothing is merged from the default.
    load("dups a=\"1\" a=\"2\" a=\"3\"\n");
    EXPECT_STREQ(get(DUPS, nullptr, "a"), "1");
    EXPECT_EQ(get(DUPS, nullptr, "c"), nullptr);
    sini_free(ini_);
    ini_ = sini_init(kKeys);
    load("dups a=\"1\"\n");
    EXPECT_STREQ(get(DUPS, nullptr, "c"), "dc");
    EXPECT_EQ(get(DUPS, nullptr, "b"), nullptr);
}

TEST_F(SIniTest, PlainSettingIgnoresPart) {
    load("smtp_greeting hi\n");
    EXPECT_STREQ(get(SMTP_GREETING, nullptr, "whatever"), "hi");
}

// ---------------------------------------------------------------- defaults and fallbacks

TEST_F(SIniTest, DefaultServesOnlyFirstOccurrence) {
    EXPECT_STREQ(get(ACCEPT_IP, nullptr, nullptr, 0), "*");
    EXPECT_EQ(get(ACCEPT_IP, nullptr, nullptr, 1), nullptr);
    EXPECT_EQ(get(ACCEPT_IP, nullptr, nullptr, -1), nullptr);
}

TEST_F(SIniTest, DefaultAttributesByName) {
    EXPECT_STREQ(get(REPORT), "message=\"Tolvane is alive\" days=\"*\"");
    EXPECT_STREQ(get(REPORT, nullptr, "message"), "Tolvane is alive");
    EXPECT_STREQ(get(REPORT, nullptr, "days"), "*");
    EXPECT_EQ(get(REPORT, nullptr, "time"), nullptr);
    EXPECT_EQ(get(REPORT, nullptr, "Message"), nullptr);  // exact case in the default
    EXPECT_STREQ(get(LIMIT, nullptr, "name"), "msgrec");
}

TEST_F(SIniTest, DefaultValueEqualToAnotherNameDoesNotAnswerForIt) {
    // Default a="b" b="c": asking for b must give c, not the "=" after the value b.
    EXPECT_STREQ(get(ECHO, nullptr, "b"), "c");
    EXPECT_STREQ(get(ECHO, nullptr, "a"), "b");
    EXPECT_EQ(get(ECHO, nullptr, "c"), nullptr);
}

TEST_F(SIniTest, FallbackChainEndsAtHomeDefault) {
    EXPECT_STREQ(get(LOGPATH), "/usr/local/tolvane");
    load("workpath /var/tv\n");
    EXPECT_STREQ(get(LOGPATH), "/var/tv");
    EXPECT_EQ(get(LOGPATH, nullptr, nullptr, 1), nullptr);
}

TEST_F(SIniTest, FallbackLooksInSectionFirst) {
    load("home /h\ndomain s\nworkpath /s/work\n");
    EXPECT_STREQ(get(LOGPATH, "s"), "/s/work");
    EXPECT_STREQ(get(LOGPATH), "/h");
}

TEST_F(SIniTest, FallbackLoopInKeyTableEnds) {
    EXPECT_EQ(get(LOOP_A), nullptr);
    ASSERT_EQ(sini_set(ini_.get(), LOOP_B, nullptr, "b"), 1);
    EXPECT_STREQ(get(LOOP_A), "b");
}

TEST_F(SIniTest, MultiValuedSectionOccurrencesComeBeforeGlobal) {
    load("accept_ip g1\naccept_ip g2\ndomain x\naccept_ip x1\n");
    EXPECT_STREQ(get(ACCEPT_IP, "x", nullptr, 0), "x1");
    EXPECT_STREQ(get(ACCEPT_IP, "x", nullptr, 1), "g1");
    EXPECT_STREQ(get(ACCEPT_IP, "x", nullptr, 2), "g2");
    EXPECT_EQ(get(ACCEPT_IP, "x", nullptr, 3), nullptr);
    EXPECT_STREQ(get(ACCEPT_IP, nullptr, nullptr, 0), "g1");
}

TEST_F(SIniTest, UnknownIdsAndNames) {
    EXPECT_EQ(get(999), nullptr);
    EXPECT_EQ(get(-5), nullptr);
    EXPECT_EQ(sini_set(ini_.get(), 999, nullptr, "x"), 0);
    EXPECT_EQ(sini_set_l(ini_.get(), "nosuch", nullptr, "x"), 0);
    EXPECT_EQ(sini_getx_l(ini_.get(), "nosuch", nullptr, nullptr, 0), nullptr);
    EXPECT_EQ(sini_id(ini_.get(), "nosuch"), -1);
    EXPECT_EQ(sini_id(ini_.get(), nullptr), -1);
}

TEST_F(SIniTest, IdByNameIsCaseInsensitiveAndFirstRowWins) {
    EXPECT_EQ(sini_id(ini_.get(), "Smtp_Greeting"), SMTP_GREETING);
    EXPECT_STREQ(sini_getx_l(ini_.get(), "SMTP_GREETING", nullptr, nullptr, 0), "TOLVANE");
    EXPECT_EQ(sini_keys(ini_.get()), kKeys);
}

// ---------------------------------------------------------------- storing

TEST_F(SIniTest, SingleValuedSetTwiceKeepsSecond) {
    load("smtp_greeting one\nsmtp_greeting two\n");
    EXPECT_STREQ(get(SMTP_GREETING), "two");
    EXPECT_EQ(count_logged("Setting invalid"), 0);
}

TEST_F(SIniTest, SingleValuedSetTwiceEqualIsRefusedAndLogged) {
    load("smtp_greeting same\nsmtp_greeting same\n");
    EXPECT_STREQ(get(SMTP_GREETING), "same");
    EXPECT_EQ(count_logged("Setting invalid (smtp_greeting)(same)"), 1);
    EXPECT_EQ(sini_set(ini_.get(), SMTP_GREETING, nullptr, "same"), 0);
}

TEST_F(SIniTest, ReplacementDropsOldAttributes) {
    ASSERT_EQ(sini_set(ini_.get(), PHONE_RANGE, nullptr, "min=1 max=2"), 1);
    ASSERT_EQ(sini_set(ini_.get(), PHONE_RANGE, nullptr, "min=5"), 1);
    EXPECT_STREQ(get(PHONE_RANGE, nullptr, "min"), "5");
    EXPECT_EQ(get(PHONE_RANGE, nullptr, "max"), nullptr);
}

TEST_F(SIniTest, MultiValuedEqualValuesAreKeptTwice) {
    load("accept_ip 1.2.3.4\naccept_ip 1.2.3.4\n");
    EXPECT_STREQ(get(ACCEPT_IP, nullptr, nullptr, 1), "1.2.3.4");
    EXPECT_EQ(get(ACCEPT_IP, nullptr, nullptr, 2), nullptr);
}

TEST_F(SIniTest, SetRefusals) {
    EXPECT_EQ(sini_set(ini_.get(), SMTP_GREETING, nullptr, nullptr), 0);
    EXPECT_EQ(sini_set(ini_.get(), REPORT, nullptr, "nosuch=1"), 0);
    EXPECT_EQ(sini_set(ini_.get(), REPORT, nullptr, "time=1 to"), 0);
    EXPECT_EQ(sini_set(ini_.get(), REPORT, nullptr, ""), 0);
    EXPECT_EQ(sini_set_l(ini_.get(), "REPORT", nullptr, "time=1"), 1);
}

TEST_F(SIniTest, SetIntoUnknownSectionGoesToGlobalPart) {
    ASSERT_EQ(sini_set(ini_.get(), SMTP_GREETING, "nosuch", "g"), 1);
    EXPECT_STREQ(get(SMTP_GREETING), "g");
    EXPECT_EQ(sini_domains(ini_.get()), 0);
}

TEST_F(SIniTest, StoredValuesAreCutAt999) {
    std::string big(3000, 'q');
    ASSERT_EQ(sini_set(ini_.get(), SMTP_GREETING, nullptr, big.c_str()), 1);
    EXPECT_EQ(std::string(get(SMTP_GREETING)).size(), 999u);
}

TEST_F(SIniTest, EqualSettingsAreSharedAndChangingOneSectionKeepsTheOther) {
    load("domain x\nsmtp_greeting same\ndomain y\nsmtp_greeting same\n");
    EXPECT_EQ(get(SMTP_GREETING, "x"), get(SMTP_GREETING, "y"));  // one pooled text
    ASSERT_EQ(sini_set(ini_.get(), SMTP_GREETING, "x", "changed"), 1);
    EXPECT_STREQ(get(SMTP_GREETING, "x"), "changed");
    EXPECT_STREQ(get(SMTP_GREETING, "y"), "same");
}

TEST_F(SIniTest, AttributeListsWithEqualValuesButOtherNamesAreNotShared) {
    ASSERT_EQ(sini_add_domain(ini_.get(), "x"), 1);
    ASSERT_EQ(sini_add_domain(ini_.get(), "y"), 1);
    ASSERT_EQ(sini_set(ini_.get(), PHONE_RANGE, "x", "min=7"), 1);
    ASSERT_EQ(sini_set(ini_.get(), PHONE_RANGE, "y", "max=7"), 1);
    EXPECT_STREQ(get(PHONE_RANGE, "x", "min"), "7");
    EXPECT_STREQ(get(PHONE_RANGE, "y", "max"), "7");
    EXPECT_EQ(get(PHONE_RANGE, "y", "min"), nullptr);
}

TEST_F(SIniTest, TextsStayValidAfterTheKeyIsSetAgain) {
    ASSERT_EQ(sini_set(ini_.get(), SMTP_GREETING, nullptr, "first"), 1);
    const char* first = get(SMTP_GREETING);
    for (int i = 0; i < 100; ++i)
        sini_set(ini_.get(), SMTP_GREETING, nullptr, std::to_string(i).c_str());
    EXPECT_STREQ(first, "first");
}

// ---------------------------------------------------------------- concurrency of lookups

TEST_F(SIniTest, ConcurrentLookupsBuildDefaultsOnce) {
    std::atomic<int> wrong{0};
    std::vector<std::thread> ts;
    std::vector<const char*> first(8);
    for (int t = 0; t < 8; ++t) {
        ts.emplace_back([&, t] {
            for (int i = 0; i < 2000; ++i) {
                const char* m = get(REPORT, nullptr, "message");
                if (!m || std::string(m) != "Tolvane is alive") ++wrong;
                if (i == 0) first[t] = m;
                const char* n = get(LIMIT, nullptr, "period");
                if (!n || std::string(n) != "24") ++wrong;
            }
        });
    }
    for (auto& t : ts) t.join();
    EXPECT_EQ(wrong.load(), 0);
    for (int t = 1; t < 8; ++t) EXPECT_EQ(first[t], first[0]);  // one parsed default
}

// ---------------------------------------------------------------- readers

TEST_F(SIniTest, ReaderWalkBeforeFirstGivesNull) {
    load("accept_ip a\n");
    auto r = rini_init(ini_.get());
    ASSERT_TRUE(r);
    EXPECT_EQ(rini_get_cur(r.get(), nullptr), nullptr);
    EXPECT_EQ(rini_get_next(r.get(), nullptr), nullptr);
    rini_free(r);
    EXPECT_EQ(r, nullptr);
}

TEST_F(SIniTest, ReaderWalksAttributeEntries) {
    load("report time=\"1\" to=\"a\"\nreport time=\"2\" to=\"b\" message=\"m\"\n");
    auto r = rini_init(ini_.get());
    std::vector<std::string> seen;
    for (const char* t = rini_get_first(r.get(), REPORT, nullptr, "time"); t;
         t = rini_get_next(r.get(), "time")) {
        seen.push_back(std::string(t) + "/" + S(rini_get_cur(r.get(), "to")) + "/" +
                       S(rini_get_cur(r.get(), "message")));
        // A part given to rini_get_cur is for that call only.
        EXPECT_STREQ(rini_get_cur(r.get(), nullptr), t);
    }
    std::vector<std::string> want{"1/a/Tolvane is alive", "2/b/m"};
    EXPECT_EQ(seen, want);
    rini_free(r);
}

TEST_F(SIniTest, ReaderNameLookups) {
    load("smtp_greeting hi\naccept_ip x\naccept_ip y\n");
    auto r = rini_init(ini_.get());
    EXPECT_STREQ(rini_get_l(r.get(), "SMTP_greeting", nullptr, nullptr), "hi");
    EXPECT_EQ(rini_get_l(r.get(), "nosuch", nullptr, nullptr), nullptr);
    EXPECT_STREQ(rini_get(r.get(), ACCEPT_IP, nullptr, nullptr), "x");
    ASSERT_STREQ(rini_get_first_l(r.get(), "accept_ip", nullptr, nullptr), "x");
    // An unknown name leaves the walk where it was.
    EXPECT_EQ(rini_get_first_l(r.get(), "nosuch", nullptr, nullptr), nullptr);
    EXPECT_STREQ(rini_get_next(r.get(), nullptr), "y");
    EXPECT_EQ(rini_get_next(r.get(), nullptr), nullptr);
    EXPECT_EQ(rini_get_next(r.get(), nullptr), nullptr);
    rini_free(r);
}

TEST_F(SIniTest, ReaderWalkRemembersCopiesOfSectionAndPart) {
    load("accept_ip g\ndomain office\naccept_ip o\n");
    auto r = rini_init(ini_.get());
    std::string sec = "office";
    ASSERT_STREQ(rini_get_first(r.get(), ACCEPT_IP, sec.c_str(), nullptr), "o");
    sec = "xxxxxx";  // the caller's text changes; the walk must not
    EXPECT_STREQ(rini_get_next(r.get(), nullptr), "g");
    rini_free(r);
}

TEST_F(SIniTest, ReaderStoresAndAddsSections) {
    auto r = rini_init(ini_.get());
    EXPECT_EQ(rini_add_domain(r.get(), "s"), 1);
    EXPECT_EQ(rini_set(r.get(), SMTP_GREETING, "s", "in s"), 1);
    EXPECT_STREQ(rini_get(r.get(), SMTP_GREETING, "s", nullptr), "in s");
    EXPECT_EQ(rini_table(r.get()), ini_.get());
    rini_free(r);
}

TEST_F(SIniTest, ReaderWithoutTableGivesNothing) {
    auto r = rini_init(nullptr);
    ASSERT_TRUE(r);
    EXPECT_EQ(rini_get(r.get(), HOME, nullptr, nullptr), nullptr);
    EXPECT_EQ(rini_get_first(r.get(), HOME, nullptr, nullptr), nullptr);
    EXPECT_EQ(rini_get_next(r.get(), nullptr), nullptr);
    EXPECT_EQ(rini_set(r.get(), HOME, nullptr, "x"), 0);
    EXPECT_EQ(rini_add_domain(r.get(), "x"), 0);
    EXPECT_EQ(rini_get(nullptr, HOME, nullptr, nullptr), nullptr);
    rini_free(r);
}

TEST_F(SIniTest, NewReaderDoesNotInheritAFreedReadersWalk) {
    load("accept_ip a\naccept_ip b\n");
    for (int i = 0; i < 20; ++i) {
        auto r = rini_init(ini_.get());
        EXPECT_EQ(rini_get_cur(r.get(), nullptr), nullptr);
        ASSERT_STREQ(rini_get_first(r.get(), ACCEPT_IP, nullptr, nullptr), "a");
        rini_free(r);
    }
}

TEST_F(SIniTest, ThreadsSharingAReaderKeepTheirOwnWalks) {
    std::string text;
    for (int i = 0; i < 50; ++i) text += "accept_ip g" + std::to_string(i) + "\n";
    for (int i = 0; i < 30; ++i)
        text += "report time=\"" + std::to_string(i) + "\" to=\"t" + std::to_string(i) + "\"\n";
    text += "domain s\n";
    for (int i = 0; i < 20; ++i) text += "accept_ip s" + std::to_string(i) + "\n";
    load(text);
    auto r = rini_init(ini_.get());
    constexpr int kThreads = 6;
    std::atomic<int> bad{0};
    std::vector<std::thread> ts;
    for (int t = 0; t < kThreads; ++t) {
        ts.emplace_back([&, t] {
            for (int round = 0; round < 40; ++round) {
                if (t % 3 == 0) {
                    int n = 0;
                    for (const char* v = rini_get_first(r.get(), ACCEPT_IP, nullptr, nullptr); v;
                         v = rini_get_next(r.get(), nullptr), ++n) {
                        if (std::string(v) != "g" + std::to_string(n)) ++bad;
                    }
                    if (n != 50) ++bad;
                } else if (t % 3 == 1) {
                    int n = 0;
                    for (const char* v = rini_get_first(r.get(), ACCEPT_IP, "s", nullptr); v;
                         v = rini_get_next(r.get(), nullptr), ++n) {
                        std::string want =
                            n < 20 ? "s" + std::to_string(n) : "g" + std::to_string(n - 20);
                        if (std::string(v) != want) ++bad;
                    }
                    if (n != 70) ++bad;
                } else {
                    int n = 0;
                    for (const char* v = rini_get_first(r.get(), REPORT, nullptr, "time"); v;
                         v = rini_get_next(r.get(), "time"), ++n) {
                        const char* to = rini_get_cur(r.get(), "to");
                        if (std::string(v) != std::to_string(n) || !to ||
                            std::string(to) != "t" + std::to_string(n))
                            ++bad;
                    }
                    if (n != 30) ++bad;
                }
            }
        });
    }
    for (auto& t : ts) t.join();
    EXPECT_EQ(bad.load(), 0);
    rini_free(r);
}

}  // namespace
}  // namespace tolvane
