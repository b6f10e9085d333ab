// Formatter, truth words, word cutting, strings, addresses, mail dates, paths and files.
#include "foundation/lib.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

namespace tolvane {
namespace {

namespace fs = std::filesystem;

int call_vsnprintf(char* buf, std::size_t size, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));
int call_vsnprintf(char* buf, std::size_t size, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int r = lib_vsnprintf(buf, size, fmt, ap);
    va_end(ap);
    return r;
}

// Without a format attribute, so that conversions the compiler does not know can be tried.
std::string unchecked_format(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    char buf[200];
    int r = lib_vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return r < 0 ? "OVERFLOW" : std::string(buf);
}

class TempDir {
  public:
    TempDir() {
        std::string tmpl = (fs::temp_directory_path() / "tv_lib_XXXXXX").string();
        path_ = ::mkdtemp(tmpl.data());
    }
    ~TempDir() { fs::remove_all(path_); }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// ---------------------------------------------------------------- formatter

TEST(Formatter, CutsToBufferAndReportsLength) {
    char buf[10];
    EXPECT_EQ(lprintf(buf, sizeof buf, "%s", "01234567890123456789"), 9);
    EXPECT_STREQ(buf, "012345678");
    EXPECT_EQ(lprintf(buf, sizeof buf, "%d-%d", 1, 2), 3);
    EXPECT_STREQ(buf, "1-2");
}

TEST(Formatter, VsnprintfSignalsFullBufferWithoutTerminator) {
    char buf[8];
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(call_vsnprintf(buf, 5, "%s", "abcdefgh"), -1);
    EXPECT_EQ(std::string(buf, 5), "abcde");
    EXPECT_EQ(buf[5], '#');  // nothing written beyond the size
    // Exactly size characters also fill it: no room for the terminator.
    EXPECT_EQ(call_vsnprintf(buf, 4, "%s", "wxyz"), -1);
    // One less fits.
    EXPECT_EQ(call_vsnprintf(buf, 5, "%s", "wxyz"), 4);
    EXPECT_STREQ(buf, "wxyz");
    EXPECT_EQ(call_vsnprintf(buf, 0, "%s", "a"), -1);
}

TEST(Formatter, NullTextPrintsNULL) {
    // Through the unchecked entry: the compiler rightly refuses a known null for "%s".
    const char* none = nullptr;
    EXPECT_EQ(unchecked_format("[%s]", none), "[(NULL)]");
    EXPECT_EQ(unchecked_format("[%8s]", none), "[  (NULL)]");
    EXPECT_EQ(unchecked_format("[%.3s]", none), "[(NU]");
}

TEST(Formatter, ConversionsFlagsWidthPrecision) {
    EXPECT_EQ(strprintf("%5d|%-5d|%05d|%+d|% d", 42, 42, 42, 42, 42), "   42|42   |00042|+42| 42");
    EXPECT_EQ(strprintf("%i %u %o %x %X %#x", -7, 7u, 8u, 255u, 255u, 255u), "-7 7 10 ff FF 0xff");
    EXPECT_EQ(strprintf("%c%c", 'a', 'b'), "ab");
    EXPECT_EQ(unchecked_format("%C|%S", 'c', "text"), "c|text");
    EXPECT_EQ(unchecked_format("%Q|%d", 5), "%Q|5");  // unknown: copied, no argument taken
    EXPECT_EQ(strprintf("%.2f %e %g %G", 3.14159, 1500.0, 0.0001, 1e20),
              "3.14 1.500000e+03 0.0001 1E+20");
    EXPECT_EQ(strprintf("%-6s|%6s|%.2s", "ab", "cd", "efgh"), "ab    |    cd|ef");
    EXPECT_EQ(strprintf("100%%"), "100%");
    EXPECT_EQ(strprintf("%.3d", 7), "007");
}

TEST(Formatter, StarWidthAndPrecision) {
    EXPECT_EQ(strprintf("[%*d]", 5, 1), "[    1]");
    EXPECT_EQ(strprintf("[%-*d]", 3, 1), "[1  ]");
    EXPECT_EQ(strprintf("[%.*s]", 2, "abcdef"), "[ab]");
    EXPECT_EQ(strprintf("[%*.*s]", 4, 1, "xyz"), "[   x]");
    // A negative width means left justification, as in C.
    EXPECT_EQ(strprintf("[%*d]", -3, 1), "[1  ]");
    // The gateway's own format for a counted text.
    EXPECT_EQ(strprintf("%.*s!", 3, "abcdef"), "abc!");
}

TEST(Formatter, LengthModifiersTakeTheRightArguments) {
    EXPECT_EQ(strprintf("%ld %lu %lld %zu %hd %hhu", -5L, 6UL, -7LL, static_cast<std::size_t>(8),
                        static_cast<short>(-9), static_cast<unsigned char>(200)),
              "-5 6 -7 8 -9 200");
    EXPECT_EQ(strprintf("%ld", LONG_MAX), std::to_string(LONG_MAX));
    EXPECT_EQ(strprintf("%d", INT_MIN), std::to_string(INT_MIN));
}

TEST(Formatter, PointerAndCount) {
    int n = -1;
    int x = 0;
    std::string s = strprintf("abc%n%p", &n, static_cast<void*>(&x));
    EXPECT_EQ(n, 3);
    char expect[64];
    std::snprintf(expect, sizeof expect, "abc%p", static_cast<void*>(&x));
    EXPECT_EQ(s, expect);
}

TEST(Formatter, StrprintfCutsAt999) {
    std::string big(5000, 'x');
    EXPECT_EQ(strprintf("%s", big.c_str()).size(), TEXT_MAX);
    EXPECT_EQ(strnprintf(4, "%s", "abcdef"), "abcd");
    EXPECT_EQ(strnprintf(0, "%s", "abcdef"), "");
    // A huge number formatted near the end of the space is cut, not overrun.
    EXPECT_EQ(strnprintf(5, "ab%f", 1e300).size(), 5u);
}

// Texts are formatted in a buffer the thread keeps: each result is a copy of its own,
// whatever came before on the thread (a text too big to keep, texts used as arguments).
TEST(Formatter, EachResultIsItsOwnWhateverWasFormattedBefore) {
    std::string huge(100000, 'h');
    std::string a = strnprintf(200000, "%s", huge.c_str());
    EXPECT_EQ(a.size(), huge.size());
    EXPECT_EQ(strprintf("%d", 5), "5");
    EXPECT_EQ(a, huge) << "an earlier result does not change";
    std::string joined =
        strprintf("%s-%s", strprintf("a%d", 1).c_str(), strprintf("b%d", 2).c_str());
    EXPECT_EQ(joined, "a1-b2");
    char buf[8];
    EXPECT_EQ(lprintf(buf, sizeof buf, "%s", "0123456789"), 7);
    EXPECT_STREQ(buf, "0123456");
    EXPECT_EQ(strprintf("%s", "after a cut"), "after a cut");
}

TEST(Formatter, LpcatAppendsWithinTotal) {
    std::string s = "abc";
    lpcat(s, 8, "%s", "defghij");
    EXPECT_EQ(s, "abcdefg");
    lpcat(s, 8, "%s", "more");
    EXPECT_EQ(s, "abcdefg");
    std::string t;
    lpcat(t, 100, "%d/%d", 1, 2);
    EXPECT_EQ(t, "1/2");
    std::string over = "too long";
    lpcat(over, 4, "x");
    EXPECT_EQ(over, "too");
}

// ---------------------------------------------------------------- truth words

TEST(TruthWords, TrueFalseAndNeither) {
    for (const char* t : {"true", "YES", "y", "On", "checked", "Selected"}) {
        EXPECT_EQ(istrue(t), 1) << t;
        EXPECT_EQ(isfalse(t), 0) << t;
    }
    for (const char* f : {"false", "No", "N", "OFF"}) {
        EXPECT_EQ(isfalse(f), 1) << f;
        EXPECT_EQ(istrue(f), 0) << f;
    }
    for (const char* x : {"1", "0", "", "yess", "o"}) {
        EXPECT_EQ(istrue(x), 0) << x;
        EXPECT_EQ(isfalse(x), 0) << x;
    }
    EXPECT_EQ(istrue(nullptr), 0);
    EXPECT_EQ(isfalse(nullptr), 0);
}

// ---------------------------------------------------------------- cutting text

using Words = std::vector<std::string>;

TEST(Ssplit, EmptyFieldsUnlessSkipTrail) {
    EXPECT_EQ(ssplit("a,,b", ",", 10, false), (Words{"a", "", "b"}));
    EXPECT_EQ(ssplit("a,,b", ",", 10, true), (Words{"a", "b"}));
}

TEST(Ssplit, LastFieldRunsToEndWhenMaxReached) {
    EXPECT_EQ(ssplit("a|b|c|d", "|", 2, false), (Words{"a", "b|c|d"}));
    EXPECT_EQ(ssplit("a|b", "|", 1, false), (Words{"a|b"}));
    EXPECT_EQ(ssplit("a|b", "|", 0, false), Words{});
}

TEST(Ssplit, TrailingDelimiterAndAnyOfSeveral) {
    EXPECT_EQ(ssplit("a,b,", ",", 10, false), (Words{"a", "b", ""}));
    EXPECT_EQ(ssplit("a;b,c", ",;", 10, false), (Words{"a", "b", "c"}));
    EXPECT_EQ(ssplit("", ",", 10, false), (Words{""}));
}

TEST(TokenSplit, SkipsRunsAndKeepsAtMostTmaxMinusOne) {
    EXPECT_EQ(token_split("  one  two three ", " ", 10), (Words{"one", "two", "three"}));
    EXPECT_EQ(token_split("one two three four", " ", 3), (Words{"one", "two"}));
    EXPECT_EQ(token_split("one", " ", 1), Words{});
    EXPECT_EQ(token_split("", " ", 5), Words{});
}

TEST(SplitWords, EmptyDelimitersGiveWholeText) {
    EXPECT_EQ(s_split_words("a b", ""), (Words{"a b"}));
    EXPECT_EQ(s_split_words(",,a,,b,,", ","), (Words{"a", "b"}));
    EXPECT_EQ(s_split_words(",,,", ","), Words{});
}

// ---------------------------------------------------------------- strings

TEST(Strings, CaseBlindComparisonFoldsAsciiOnly) {
    EXPECT_EQ(s_stricmp("HeLLo", "hello"), 0);
    EXPECT_LT(s_stricmp("abc", "abd"), 0);
    EXPECT_LT(s_stricmp("ab", "abc"), 0);
    EXPECT_GT(s_stricmp("b", "A"), 0);
    EXPECT_NE(s_stricmp("\xc9", "\xe9"), 0);  // no folding beyond ASCII
    EXPECT_EQ(s_strnicmp("HELLO world", "hello there", 5), 0);
    EXPECT_NE(s_strnicmp("HELLO world", "hello there", 7), 0);
    EXPECT_TRUE(iequals("Content-Type", "content-type"));
    EXPECT_FALSE(iequals("abc", "abcd"));
    EXPECT_TRUE(istarts_with("Subject: hi", "SUBJECT:"));
    EXPECT_FALSE(istarts_with("Sub", "Subject"));
}

TEST(Strings, SearchWithoutCase) {
    EXPECT_EQ(strstrnc("Hello World", "WORLD"), 6u);
    EXPECT_EQ(strstrnc("Hello", "xyz"), std::string::npos);
    EXPECT_EQ(strstrnc("ab", "abc"), std::string::npos);
    EXPECT_EQ(strstrnc("abc", ""), 0u);
}

TEST(Strings, CaseChangeTrimAndCut) {
    EXPECT_EQ(strlwr("MiXeD \xC9"), "mixed \xC9");
    EXPECT_EQ(strupr("mixed"), "MIXED");
    EXPECT_EQ(strtrm(" \t value \r\n"), "value");
    EXPECT_EQ(strtrm_right("  value \f\v"), "  value");
    EXPECT_EQ(strtrm("   "), "");
    EXPECT_EQ(strip_eol_r("line\r\nnext"), "line");
    EXPECT_EQ(strip_eol_r("line\nnext"), "line");
    EXPECT_EQ(strip_eol_r("plain"), "plain");
    EXPECT_EQ(cut(std::string(1500, 'a')).size(), TEXT_MAX);
    EXPECT_EQ(cut("abc", 2), "ab");
}

TEST(Strings, AtoiLikeConversion) {
    EXPECT_EQ(s_atoi("  42abc"), 42);
    EXPECT_EQ(s_atoi("-17"), -17);
    EXPECT_EQ(s_atoi("x1"), 0);
    EXPECT_EQ(s_atoi(nullptr), 0);
    EXPECT_EQ(s_atoi("99999999999999999999"), INT_MAX);
}

// ---------------------------------------------------------------- addresses

std::string raw_of(std::string_view text, std::size_t bfsz = TEXT_MAX + 1) {
    std::string raw = "junk";
    return rfc_raw_email(text, raw, bfsz) ? raw : "FAIL:" + raw;
}

TEST(RawEmail, NoAtGivesFailureAndEmptyResult) {
    EXPECT_EQ(raw_of("no address here"), "FAIL:");
    EXPECT_EQ(raw_of(""), "FAIL:");
    EXPECT_EQ(raw_of("@example.com"), "FAIL:");
}

TEST(RawEmail, DisplayNameAndAngleBrackets) {
    EXPECT_EQ(raw_of("\"Jane Doe\" <jane@example.com>"), "jane@example.com");
    EXPECT_EQ(raw_of("Jane Doe <jane.doe@mail.example.com>"), "jane.doe@mail.example.com");
    EXPECT_EQ(raw_of("<0412345678@sms.example.net>"), "0412345678@sms.example.net");
    EXPECT_EQ(raw_of("plain@example.com"), "plain@example.com");
}

TEST(RawEmail, CommentAfterAddressIsDropped) {
    EXPECT_EQ(raw_of("jane@example.com (Jane Doe)"), "jane@example.com");
    EXPECT_EQ(raw_of("jane@example.com(Jane)"), "jane@example.com");
    // An "@" inside a quoted comment does not fool the search.
    EXPECT_EQ(raw_of("\"a@b\" <c@d.org>"), "c@d.org");
}

TEST(RawEmail, QuotedLocalPart) {
    EXPECT_EQ(raw_of("<\"john smith\"@example.com>"), "\"john smith\"@example.com");
    EXPECT_EQ(raw_of("Name <\"a\\\"b\"@x.org>"), "\"a\\\"b\"@x.org");
    // A quoted local part that never opens runs to the start of the text.
    EXPECT_EQ(raw_of("x y\"@h.com"), "x y\"@h.com");
}

TEST(RawEmail, EscapedCharacterBelongsToLocalPart) {
    EXPECT_EQ(raw_of("<a\\ b@x.org>"), "a\\ b@x.org");
    EXPECT_EQ(raw_of("<a\\<b@x.org>"), "a\\<b@x.org");
}

TEST(RawEmail, DomainLiteralKeepsBrackets) {
    EXPECT_EQ(raw_of("<user@[192.168.0.1]>"), "user@[192.168.0.1]");
    EXPECT_EQ(raw_of("user@[10.0.0.1"), "user@[10.0.0.1");  // unclosed: what is there
    EXPECT_EQ(raw_of("user@#12345>"), "user@#12345");
}

TEST(RawEmail, MalformedTextNeverReadsBeyondIt) {
    EXPECT_EQ(raw_of("<@x.org>"), "FAIL:");  // nothing before the "@"
    EXPECT_EQ(raw_of("\"@"), "\"@");         // an unopened quote runs to the start
    EXPECT_EQ(raw_of("\"\"@"), "\"\"@");
    EXPECT_EQ(raw_of("user@"), "user@");
    EXPECT_EQ(raw_of("a@b@c"), "a@b");
    EXPECT_EQ(raw_of("\x01user@host\x7f"), "user@host");
    EXPECT_EQ(raw_of("<<<>>>a@@"), "a@");
    EXPECT_EQ(raw_of(std::string_view("a\0b@c", 5)), "b@c");
}

TEST(RawEmail, ResultCutToBufferSize) {
    EXPECT_EQ(raw_of("<abcdef@example.com>", 5), "abcd");
    std::string longlocal(3000, 'x');
    EXPECT_EQ(raw_of(longlocal + "@h.org").size(), TEXT_MAX);
}

TEST(FixEmail, FirstWordWithAtLowerCased) {
    EXPECT_EQ(lib_fix_email("Jane <Jane@Example.COM>"), "jane@example.com");
    EXPECT_EQ(lib_fix_email("x\tA@B y@z"), "a@b");
    EXPECT_EQ(lib_fix_email("\"Quoted@Host\" rest"), "quoted@host");
}

TEST(FixEmail, NullSenderAndFallback) {
    EXPECT_EQ(lib_fix_email("<>"), "<>");
    EXPECT_EQ(lib_fix_email("<> trailing"), "<>");
    EXPECT_EQ(lib_fix_email("Not An Address"), "Not An Address");
    EXPECT_EQ(lib_fix_email(""), "");
}

TEST(FixEmail, LongWordsCut) {
    std::string word = std::string(800, 'a') + "@h";
    EXPECT_EQ(lib_fix_email(word).size(), 500u);
    EXPECT_EQ(lib_fix_email(std::string(2000, 'b')).size(), TEXT_MAX);
}

// ---------------------------------------------------------------- mail time

class MailTime : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        had_ = tz != nullptr;
        if (tz) old_ = tz;
    }
    void TearDown() override {
        if (had_)
            ::setenv("TZ", old_.c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }
    static void zone(const char* tz) {
        ::setenv("TZ", tz, 1);
        ::tzset();
    }
    bool had_ = false;
    std::string old_;
};

TEST_F(MailTime, FormatsLocalTimeWithWholeHourZone) {
    zone("UTC0");
    EXPECT_EQ(lib_mail_time(0), "Thu, 01 Jan 1970 00:00:00 +0000");
    zone("AEST-10");
    EXPECT_EQ(lib_mail_time(0), "Thu, 01 Jan 1970 10:00:00 +1000");
    zone("EST5");
    EXPECT_EQ(lib_mail_time(0), "Wed, 31 Dec 1969 19:00:00 -0500");
    zone("IST-5:30");
    EXPECT_EQ(lib_mail_time(0), "Thu, 01 Jan 1970 05:30:00 +0500");
    zone("UTC0");
    EXPECT_EQ(lib_mail_time(1796594721), "Sun, 06 Dec 2026 22:05:21 +0000");
}

TEST_F(MailTime, UnconvertibleTimeGivesBadTime) {
    EXPECT_EQ(lib_mail_time(std::numeric_limits<std::time_t>::max()), "Bad Time    ");
}

// ---------------------------------------------------------------- paths and files

TEST(AttachPath, ExactlyOneSlash) {
    EXPECT_EQ(attach_path("/var/log/", "/x.log"), "/var/log/x.log");
    EXPECT_EQ(attach_path("/var/log", "x.log"), "/var/log/x.log");
    EXPECT_EQ(attach_path("/var/log//", "//x.log"), "/var/log/x.log");
    EXPECT_EQ(attach_path("", "x.log"), "x.log");
    EXPECT_EQ(attach_path("/", "x"), "/x");
    EXPECT_EQ(attach_path("c:\\dir\\", "sub\\f.txt"), "c:/dir/sub/f.txt");
    EXPECT_EQ(attach_path("/dir", ""), "/dir");
    EXPECT_EQ(attach_path("/abc", "def", 6), "/abc/");
}

TEST(FileName, LastComponent) {
    EXPECT_EQ(file_filename("/a/b/c.txt"), "c.txt");
    EXPECT_EQ(file_filename("a\\b"), "b");
    EXPECT_EQ(file_filename("plain"), "plain");
    EXPECT_EQ(file_filename("/dir/"), "");
}

TEST(FileMkdir, CreatesParentsAndAcceptsExisting) {
    TempDir t;
    const std::string deep = t.path() + "/a/b/c/";
    EXPECT_EQ(file_mkdir(deep, false), 0);  // parents missing
    EXPECT_EQ(file_mkdir(deep, true), 1);
    EXPECT_TRUE(fs::is_directory(t.path() + "/a/b/c"));
    EXPECT_EQ(file_mkdir(deep, false), 1);  // already there
    std::ofstream(t.path() + "/file") << "x";
    EXPECT_EQ(file_mkdir(t.path() + "/file", false), 0);  // a file is not a directory
    EXPECT_EQ(file_mkdir(t.path() + "/file/sub", true), 0);
}

TEST(FileList, MatchingEntriesAsFullPaths) {
    TempDir t;
    for (const char* n : {"a.msg", "b.msg", "c.txt"}) std::ofstream(t.path() + "/" + n) << n;
    fs::create_directory(t.path() + "/d.msg");
    auto all = file_list(t.path(), "*.msg");
    std::sort(all.begin(), all.end());
    EXPECT_EQ(all, (std::vector<std::string>{t.path() + "/a.msg", t.path() + "/b.msg",
                                             t.path() + "/d.msg"}));
    EXPECT_EQ(file_list(t.path() + "/", "*").size(), 4u);  // never "." or ".."
    EXPECT_EQ(file_list(t.path(), "none*").size(), 0u);
}

TEST(FileList, SkipsEntriesWithoutStatus) {
    TempDir t;
    ASSERT_EQ(::symlink((t.path() + "/missing").c_str(), (t.path() + "/dangling").c_str()), 0);
    std::ofstream(t.path() + "/real") << "x";
    EXPECT_EQ(file_list(t.path()), std::vector<std::string>{t.path() + "/real"});
}

TEST(FileList, UnopenableDirectoryGivesEmptyList) {
    TempDir t;
    EXPECT_TRUE(file_list(t.path() + "/nope").empty());
}

TEST(Process, SystemErrorAndCurrentDir) {
    EXPECT_EQ(system_error(ENOENT), std::strerror(ENOENT));
    EXPECT_EQ(currentdir(), fs::current_path().string());
}

TEST(Process, SafeTimeConversions) {
    std::tm tm{};
    ASSERT_TRUE(safe_gmtime(86400 * 365, tm));
    EXPECT_EQ(tm.tm_year, 71);
    EXPECT_EQ(tm.tm_yday, 0);
    EXPECT_TRUE(safe_localtime(0, tm));
    EXPECT_FALSE(safe_gmtime(std::numeric_limits<std::time_t>::max(), tm));
}

TEST(Process, MsleepWaitsAtLeastThatLong) {
    auto start = std::chrono::steady_clock::now();
    lib_msleep(30);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
    lib_msleep(-5);  // nothing to wait for
}

TEST(Process, DetachLeavesParentWithStatusZeroAndChildInNewSession) {
    TempDir t;
    const std::string report = t.path() + "/report";
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (lib_detach() != 0) ::_exit(3);
        // Now the daemon: a session leader with standard input on /dev/null.
        struct stat in {
        }, null{};
        ::fstat(0, &in);
        ::stat("/dev/null", &null);
        std::string tmp = report + ".tmp";
        {
            std::ofstream out(tmp);
            out << (::getsid(0) == ::getpid()) << (in.st_rdev == null.st_rdev);
        }
        std::rename(tmp.c_str(), report.c_str());
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!fs::exists(report) && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::ifstream in(report);
    std::string got;
    in >> got;
    EXPECT_EQ(got, "11");
}

}  // namespace
}  // namespace tolvane
