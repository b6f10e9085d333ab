// The process log: line format, levels, held errors, rotation, failure paths, threads.
#include "foundation/log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "foundation/thread.h"

namespace tolvane {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> read_lines(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// The text after "Level: " of a line, or the whole line when it has no such shape.
std::string body(const std::string& line) {
    auto c = line.find(": ", line.find("] "));
    return c == std::string::npos ? line : line.substr(c + 2);
}

class LogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/log_test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        // Start from a clean slate: no current log and nothing held from earlier tests.
        auto sink = log_init(LOG_ERROR);
        log_set(sink.get());
        log_free(sink);
        ASSERT_EQ(log_current(), nullptr);
    }
    void TearDown() override {
        log_free(log_);
        log_set(nullptr);
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    void setup(int level) {
        log_ = log_init(level);
        ASSERT_TRUE(log_);
        log_doflush(log_.get(), 1);
        ASSERT_EQ(log_setup(log_.get(), dir_.c_str(), "tolvane.log"), 1);
    }
    std::string path(const std::string& suffix = "") const {
        return dir_ + "/tolvane.log" + suffix;
    }
    std::vector<std::string> lines() { return read_lines(path()); }

    std::string dir_;
    std::unique_ptr<Log> log_;
};

TEST_F(LogTest, LineHasTimePidThreadLevelAndText) {
    setup(LOG_DEBUG);
    emsg("hello %d %s", 42, "world");
    auto ls = lines();
    ASSERT_EQ(ls.size(), 1u);
    std::string want_ids = "[" + std::to_string(getpid()) + "][" + std::to_string(th_id()) + "]";
    std::regex shape(
        R"(^(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 123][0-9] )"
        R"([0-2][0-9]:[0-5][0-9]:[0-6][0-9]  \[[0-9]+\]\[[0-9]+\] Error: hello 42 world$)");
    EXPECT_TRUE(std::regex_match(ls[0], shape)) << ls[0];
    EXPECT_NE(ls[0].find(want_ids), std::string::npos) << ls[0];
    EXPECT_EQ(log_lines(log_.get()), 1);
    EXPECT_EQ(log_file(log_.get()), path());
}

TEST_F(LogTest, LevelNamesInLines) {
    setup(LOG_DEBUG);
    emsg("e");
    imsg("i");
    dmsg("d");
    auto ls = lines();
    ASSERT_EQ(ls.size(), 3u);
    EXPECT_NE(ls[0].find("] Error: e"), std::string::npos);
    EXPECT_NE(ls[1].find("] Info: i"), std::string::npos);
    EXPECT_NE(ls[2].find("] Debug: d"), std::string::npos);
}

TEST_F(LogTest, WarningsAreInfoLinesLabelledWarning) {
    setup(LOG_INFO);
    wmsg("peer sent %d junk bytes", 3);
    imsg("i");
    auto ls = lines();
    ASSERT_EQ(ls.size(), 2u);
    EXPECT_NE(ls[0].find("] Warning: peer sent 3 junk bytes"), std::string::npos) << ls[0];
    EXPECT_EQ(body(ls[0]), "peer sent 3 junk bytes");
    // An operator who asked for errors only does not see a peer's junk.
    log_set_level(log_.get(), LOG_ERROR);
    wmsg("not shown");
    emsg("shown");
    ls = lines();
    ASSERT_EQ(ls.size(), 3u);
    EXPECT_EQ(body(ls[2]), "shown");
}

TEST_F(LogTest, ErrorLevelWritesOnlyErrors) {
    setup(LOG_ERROR);
    imsg("info");
    dmsg("debug");
    emsg("error");
    auto ls = lines();
    ASSERT_EQ(ls.size(), 1u);
    EXPECT_EQ(body(ls[0]), "error");
    EXPECT_TRUE(log_wants(LOG_ERROR));
    EXPECT_FALSE(log_wants(LOG_INFO));
}

TEST_F(LogTest, InfoLevelSkipsDebug) {
    setup(LOG_INFO);
    dmsg("debug");
    imsg("info");
    auto ls = lines();
    ASSERT_EQ(ls.size(), 1u);
    EXPECT_EQ(body(ls[0]), "info");
}

TEST_F(LogTest, LevelNoneWritesNothingAndHoldsNothing) {
    setup(LOG_NONE);
    emsg("dropped");
    EXPECT_FALSE(log_wants(LOG_ERROR));
    log_set_level(log_.get(), LOG_ERROR);
    emsg("kept");
    auto ls = lines();
    ASSERT_EQ(ls.size(), 1u);
    EXPECT_EQ(body(ls[0]), "kept");
}

TEST_F(LogTest, LevelNamesInAnyCase) {
    log_ = log_init(LOG_ERROR);
    for (const char* n : {"debug", "DEBUG", "Debug"}) {
        log_set_level(log_.get(), LOG_ERROR);
        log_set_level_name(log_.get(), n);
        EXPECT_EQ(log_level(log_.get()), LOG_DEBUG) << n;
    }
    log_set_level_name(log_.get(), "verbose");
    EXPECT_EQ(log_level(log_.get()), LOG_DEBUG);
    log_set_level_name(log_.get(), nullptr);
    EXPECT_EQ(log_level(log_.get()), LOG_DEBUG);
    log_set_level_name(log_.get(), "info");
    EXPECT_STREQ(log_level_name(log_.get()), "Info");
    log_set_level_name(log_.get(), "NONE");
    EXPECT_STREQ(log_level_name(log_.get()), "None");
    log_set_level_name(log_.get(), "error");
    EXPECT_STREQ(log_level_name(log_.get()), "Error");
}

TEST_F(LogTest, TrailingLineEndsAndBlanksAreRemoved) {
    setup(LOG_DEBUG);
    emsg("one\n");
    emsg("two \t\r\n\n");
    auto ls = lines();
    ASSERT_EQ(ls.size(), 2u);
    EXPECT_EQ(body(ls[0]), "one");
    EXPECT_EQ(body(ls[1]), "two");
}

TEST_F(LogTest, LongMessagesAreCutAt999) {
    setup(LOG_DEBUG);
    std::string big(3000, 'x');
    emsg("%s", big.c_str());
    log_text(LOG_ERROR, big.c_str());
    auto ls = lines();
    ASSERT_EQ(ls.size(), 2u);
    EXPECT_EQ(body(ls[0]), std::string(999, 'x'));
    EXPECT_EQ(body(ls[1]), std::string(999, 'x'));
}

// Text from outside (a web request's field, an SMS originator) cannot forge a line of its
// own or send the terminal escapes: the logger shows control bytes, whoever the caller.
TEST_F(LogTest, ControlBytesInAMessageAreShownAndTheLineStaysOne) {
    setup(LOG_DEBUG);
    struct row {
        const char* given;
        const char* shown;
    } rows[] = {
        {"limit (x\nJan  1 00:00:00  [1][1] Error: forged line) unknown",
         "limit (x\\nJan  1 00:00:00  [1][1] Error: forged line) unknown"},
        {"a\r\nb", "a\\r\\nb"},
        {"tab\there", "tab\\there"},
        {"\x1b[31mred\x7f", "\\x1b[31mred\\x7f"},
        {"Привет 😀 stays", "Привет 😀 stays"},
    };
    for (const row& r : rows) imsg("%s", r.given);
    log_text(LOG_ERROR, "via log_text\nsecond");
    auto ls = lines();
    ASSERT_EQ(ls.size(), std::size(rows) + 1);
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(rows[i].shown);
        EXPECT_EQ(body(ls[i]), rows[i].shown);
    }
    EXPECT_EQ(body(ls.back()), "via log_text\\nsecond");
}

TEST_F(LogTest, LongMessagesAreCutAtWholeCharacters) {
    setup(LOG_DEBUG);
    std::string big = "x";
    for (int i = 0; i < 1200; ++i) big += "я";  // 1201 characters, 2401 bytes
    log_text(LOG_ERROR, big.c_str());
    emsg("%s", big.c_str());  // through the formatter's space of 999 bytes
    auto ls = lines();
    ASSERT_EQ(ls.size(), 2u);
    std::string want = "x";
    for (int i = 0; i < 998; ++i) want += "я";
    EXPECT_EQ(body(ls[0]), want);
    EXPECT_EQ(body(ls[1]), want.substr(0, 999));  // 1 + 2 x 499 bytes: no half character
}

TEST_F(LogTest, LogTextIgnoresBadLevels) {
    setup(LOG_DEBUG);
    log_text(LOG_NONE, "none");
    log_text(7, "seven");
    log_text(-1, "minus");
    log_text(LOG_INFO, nullptr);
    log_text(LOG_INFO, "info");
    auto ls = lines();
    ASSERT_EQ(ls.size(), 1u);
    EXPECT_EQ(body(ls[0]), "info");
}

TEST_F(LogTest, ErrorsBeforeSetupAreWrittenFirstInOrder) {
    emsg("early %d", 1);
    imsg("not held");
    wmsg("a warning is not held");
    dmsg("not held either");
    emsg("early %d", 2);
    setup(LOG_DEBUG);
    emsg("later");
    auto ls = lines();
    ASSERT_EQ(ls.size(), 3u);
    EXPECT_NE(ls[0].find("] Error: early 1"), std::string::npos) << ls[0];
    EXPECT_NE(ls[1].find("] Error: early 2"), std::string::npos) << ls[1];
    EXPECT_EQ(body(ls[2]), "later");
}

TEST_F(LogTest, HeldErrorsAreDrainedByLogOpenToo) {
    emsg("before open");
    log_ = log_init(LOG_ERROR);
    ASSERT_EQ(log_open(log_.get(), path()), 1);
    log_flush(nullptr);
    auto ls = lines();
    ASSERT_EQ(ls.size(), 1u);
    EXPECT_EQ(body(ls[0]), "before open");
}

TEST_F(LogTest, HeldErrorsAreBoundedOldestDropped) {
    const int extra = 7;
    for (std::size_t i = 0; i < LOG_HELD_MAX + extra; ++i) emsg("held %zu", i);
    setup(LOG_ERROR);
    auto ls = lines();
    ASSERT_EQ(ls.size(), LOG_HELD_MAX + 1);
    EXPECT_NE(ls[0].find(std::to_string(extra) + " errors"), std::string::npos) << ls[0];
    EXPECT_EQ(body(ls[1]), "held " + std::to_string(extra));
    EXPECT_EQ(body(ls.back()), "held " + std::to_string(LOG_HELD_MAX + extra - 1));
}

TEST_F(LogTest, HeldErrorsGoToNoneLevelLogAreDropped) {
    emsg("held");
    setup(LOG_NONE);
    emsg("none");
    EXPECT_TRUE(lines().empty());
}

TEST_F(LogTest, SecondLogDoesNotBecomeCurrentBySetup) {
    setup(LOG_ERROR);
    auto other = log_init(LOG_ERROR);
    ASSERT_EQ(log_setup(other.get(), dir_.c_str(), "other.log"), 1);
    EXPECT_EQ(log_current(), log_.get());
    log_free(other);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(log_current(), log_.get());
}

TEST_F(LogTest, FreeingTheCurrentLogClearsIt) {
    setup(LOG_ERROR);
    log_free(log_);
    EXPECT_EQ(log_current(), nullptr);
    emsg("after free");  // held, not written anywhere, no crash
}

TEST_F(LogTest, DestroyingTheCurrentLogWithoutLogFreeClearsIt) {
    setup(LOG_ERROR);
    log_.reset();  // the owner's handle goes away without log_free
    EXPECT_EQ(log_current(), nullptr);
    emsg("held, not written to a destroyed log");
    log_flush(nullptr);
}

TEST_F(LogTest, DoFlushOneMakesEveryLineVisible) {
    setup(LOG_DEBUG);
    for (int i = 0; i < 5; ++i) {
        imsg("line %d", i);
        EXPECT_EQ(read_lines(path()).size(), static_cast<std::size_t>(i + 1));
    }
}

TEST_F(LogTest, DoFlushThreeFlushesEveryThirdLine) {
    log_ = log_init(LOG_DEBUG);
    log_doflush(log_.get(), 3);
    ASSERT_EQ(log_setup(log_.get(), dir_.c_str(), "tolvane.log"), 1);
    std::vector<std::size_t> visible;
    for (int i = 0; i < 7; ++i) {
        imsg("line %d", i);
        visible.push_back(lines().size());
    }
    // Counted before each line: lines 0, 3 and 6 are the ones that flush.
    std::vector<std::size_t> want{1, 1, 1, 4, 4, 4, 7};
    EXPECT_EQ(visible, want);
}

// Lines of one step go out together when its hold ends; an error inside it is not held
// (and takes the held lines before it along); nested holds write at the outermost end.
TEST_F(LogTest, HeldLinesGoOutTogetherWhenTheOutermostHoldEndsButErrorsAtOnce) {
    setup(LOG_DEBUG);
    std::vector<std::size_t> visible;
    {
        LogHold outer;
        imsg("held 1");
        visible.push_back(lines().size());
        {
            LogHold inner;
            dmsg("held 2");
        }
        visible.push_back(lines().size());
        emsg("an error");
        visible.push_back(lines().size());
        imsg("held 3");
        visible.push_back(lines().size());
    }
    visible.push_back(lines().size());
    imsg("after");
    visible.push_back(lines().size());
    EXPECT_EQ(visible, (std::vector<std::size_t>{0, 0, 3, 3, 4, 5}));
    std::vector<std::string> got = lines();
    ASSERT_EQ(got.size(), 5u);
    const char* want[] = {"held 1", "held 2", "an error", "held 3", "after"};
    for (std::size_t i = 0; i < got.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_NE(got[i].find(want[i]), std::string::npos) << got[i];
    }
}

// A hold whose log stopped being current (freed at shutdown) leaves nothing behind: the
// log wrote its held lines when it closed.
TEST_F(LogTest, HoldOutlivingItsLogLosesNoLine) {
    setup(LOG_DEBUG);
    {
        LogHold hold;
        imsg("held until the close");
        log_free(log_);
    }
    std::vector<std::string> got = lines();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_NE(got[0].find("held until the close"), std::string::npos);
}

TEST_F(LogTest, CloseWritesWhatIsPending) {
    log_ = log_init(LOG_DEBUG);
    ASSERT_EQ(log_setup(log_.get(), dir_.c_str(), "tolvane.log"), 1);
    imsg("pending");
    log_close(log_.get());
    EXPECT_EQ(lines().size(), 1u);
    imsg("reopened");  // the next line opens the file again
    log_free(log_);
    EXPECT_EQ(lines().size(), 2u);
}

TEST(LogExit, PendingLinesAreWrittenAtExit) {
    char tmpl[] = "/tmp/log_exit.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string dir = tmpl;
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto log = log_init(LOG_DEBUG);  // no DoFlush: lines wait in the log
        log_setup(log.get(), dir.c_str(), "tolvane.log");
        log_set(log.get());
        imsg("written at exit");
        std::exit(read_lines(dir + "/tolvane.log").empty() ? 0 : 3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);  // nothing was written before exit
    auto ls = read_lines(dir + "/tolvane.log");
    ASSERT_EQ(ls.size(), 1u);
    EXPECT_EQ(body(ls[0]), "written at exit");
    fs::remove_all(dir);
}

TEST_F(LogTest, ExplicitFlushWithoutDoFlush) {
    log_ = log_init(LOG_DEBUG);
    ASSERT_EQ(log_setup(log_.get(), dir_.c_str(), "tolvane.log"), 1);
    imsg("buffered");
    log_flush(log_.get());
    EXPECT_EQ(lines().size(), 1u);
}

TEST_F(LogTest, UnwritableDirectoryIsRefusedAndChangesNothing) {
    log_ = log_init(LOG_ERROR);
    EXPECT_EQ(log_setup(log_.get(), (dir_ + "/absent").c_str(), "tolvane.log"), 0);
    std::ofstream(dir_ + "/plainfile") << "x";
    EXPECT_EQ(log_setup(log_.get(), (dir_ + "/plainfile").c_str(), "tolvane.log"), 0);
    EXPECT_TRUE(log_file(log_.get()).empty());
    EXPECT_EQ(log_current(), nullptr);
    if (geteuid() != 0) {
        std::string ro = dir_ + "/ro";
        ASSERT_EQ(mkdir(ro.c_str(), 0555), 0);
        EXPECT_EQ(log_setup(log_.get(), ro.c_str(), "tolvane.log"), 0);
    }
    // Errors keep being held while no log is current.
    emsg("still held");
    ASSERT_EQ(log_setup(log_.get(), dir_.c_str(), "tolvane.log"), 1);
    log_flush(nullptr);
    auto ls = lines();
    ASSERT_EQ(ls.size(), 1u);
    EXPECT_EQ(body(ls[0]), "still held");
}

TEST_F(LogTest, SetupWithoutDirectoryUsesTheNameAlone) {
    log_ = log_init(LOG_ERROR);
    ASSERT_EQ(log_setup(log_.get(), nullptr, path().c_str()), 1);
    EXPECT_EQ(log_file(log_.get()), path());
    EXPECT_EQ(log_setup(log_.get(), nullptr, nullptr), 0);
}

TEST_F(LogTest, OpenFailureReportsZero) {
    log_ = log_init(LOG_ERROR);
    EXPECT_EQ(log_open(log_.get(), dir_ + "/absent/tolvane.log"), 0);
    EXPECT_EQ(log_current(), nullptr);
    EXPECT_TRUE(log_file(log_.get()).empty());
}

TEST_F(LogTest, LinesAreLostWhileFileCannotBeOpenedThenItRecovers) {
    std::string sub = dir_ + "/logs";
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    log_ = log_init(LOG_DEBUG);
    log_doflush(log_.get(), 1);
    ASSERT_EQ(log_setup(log_.get(), sub.c_str(), "tolvane.log"), 1);
    fs::remove_all(sub);
    emsg("lost");
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    emsg("found");
    auto ls = read_lines(sub + "/tolvane.log");
    ASSERT_EQ(ls.size(), 1u);
    EXPECT_EQ(body(ls[0]), "found");
}

TEST_F(LogTest, OpenAppendsAndCountsTheExistingSize) {
    std::string old(150, 'o');
    std::ofstream(path()) << old << "\n";
    log_ = log_init(LOG_ERROR);
    log_doflush(log_.get(), 1);
    log_dorotate(log_.get(), 4, 200);
    ASSERT_EQ(log_open(log_.get(), path()), 1);
    emsg("pushes the file past 200 bytes");
    // The existing 151 bytes counted: this one line made the file rotate.
    auto old_lines = read_lines(path("0"));
    ASSERT_EQ(old_lines.size(), 2u);
    EXPECT_EQ(old_lines[0], old);
    EXPECT_TRUE(lines().empty());
}

// The log names senders and recipients: its owner and group read it, nobody else.
TEST_F(LogTest, TheFileIsMadeReadableByOwnerAndGroupOnly) {
    const mode_t old_mask = ::umask(0);  // what the mode asks for, unchanged by the umask
    setup(LOG_INFO);
    imsg("first line");
    log_dorotate(log_.get(), 4, 1);  // the next line rotates: the new file has the same mode
    imsg("second line");
    ::umask(old_mask);
    for (const std::string& p : {path(), path("0")}) {
        SCOPED_TRACE(p);
        struct stat st {};
        ASSERT_EQ(::stat(p.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0640u);
    }
}

TEST_F(LogTest, AnOlderFileReadableByOthersLosesTheOthersBitsOnly) {
    const std::vector<std::pair<mode_t, mode_t>> table = {
        {0644, 0640},                              // an earlier version's log
        {0666, 0660}, {0604, 0600}, {0600, 0600},  // nothing to take
        {0660, 0660},
    };
    for (const auto& [before, after] : table) {
        SCOPED_TRACE(before);
        std::ofstream(path()) << "old line\n";
        ASSERT_EQ(::chmod(path().c_str(), before), 0);
        log_ = log_init(LOG_INFO);
        log_doflush(log_.get(), 1);
        ASSERT_EQ(log_open(log_.get(), path()), 1);
        imsg("new line");
        struct stat st {};
        ASSERT_EQ(::stat(path().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, after);
        EXPECT_EQ(read_lines(path()).size(), 2u);
        log_free(log_);
        fs::remove(path());
    }
}

TEST_F(LogTest, RotationKeepsNumberedOldFiles) {
    setup(LOG_DEBUG);
    // Every line is longer than the limit, so each one rotates the file.
    log_dorotate(log_.get(), 4, 40);
    for (int i = 0; i < 8; ++i) emsg("rotation %d", i);
    // Newest old file is 0; 4 is the oldest kept; older ones are gone.
    for (int n = 0; n <= 4; ++n) {
        auto ls = read_lines(path(std::to_string(n)));
        ASSERT_EQ(ls.size(), 1u) << n;
        EXPECT_EQ(body(ls[0]), "rotation " + std::to_string(7 - n));
    }
    EXPECT_FALSE(fs::exists(path("5")));
    ASSERT_TRUE(fs::exists(path()));
    EXPECT_TRUE(lines().empty());  // opened afresh after the last rotation
    // No temporary files are left behind.
    int files = 0;
    for (auto& e : fs::directory_iterator(dir_)) {
        (void)e;
        ++files;
    }
    EXPECT_EQ(files, 6);
    EXPECT_EQ(log_lines(log_.get()), 8);
}

TEST_F(LogTest, RotationAtSizeLimitThenNewFile) {
    setup(LOG_DEBUG);
    imsg("probe");
    const long line_len = static_cast<long>(slurp(path()).size());
    // Rotate once three lines have been written.
    log_dorotate(log_.get(), 4, 3 * line_len);
    imsg("probe");
    EXPECT_FALSE(fs::exists(path("0")));
    imsg("probe");
    ASSERT_TRUE(fs::exists(path("0")));
    EXPECT_EQ(read_lines(path("0")).size(), 3u);
    imsg("probe");
    EXPECT_EQ(lines().size(), 1u);
}

TEST_F(LogTest, RotationWithDefaultSizeAfterAMebibyte) {
    setup(LOG_DEBUG);
    std::string chunk(900, 'm');
    long written = 0;
    while (!fs::exists(path("0"))) {
        imsg("%s", chunk.c_str());
        written += 1;
        ASSERT_LT(written, 2000);
    }
    EXPECT_GE(fs::file_size(path("0")), 1048576u);
    EXPECT_LT(fs::file_size(path("0")), 1048576u + 1000u);
    imsg("after");
    auto ls = lines();
    ASSERT_EQ(ls.size(), 1u);
    EXPECT_EQ(body(ls[0]), "after");
}

TEST_F(LogTest, ZeroRotateSizeNeverRotates) {
    setup(LOG_DEBUG);
    log_dorotate(log_.get(), 4, 0);
    for (int i = 0; i < 20; ++i) imsg("x");
    EXPECT_FALSE(fs::exists(path("0")));
    EXPECT_EQ(lines().size(), 20u);
}

TEST_F(LogTest, ThreadsNeverInterleaveLines) {
    setup(LOG_DEBUG);
    log_dorotate(log_.get(), 4, 160 * 1024);  // rotates three times or so, drops nothing
    constexpr int kThreads = 4;
    constexpr int kLines = 2000;
    std::vector<std::thread> ts;
    for (int t = 0; t < kThreads; ++t) {
        ts.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) imsg("thread %d line %d %s", t, i, "payload payload");
        });
    }
    for (auto& t : ts) t.join();
    std::vector<std::string> all;
    for (const char* suffix : {"4", "3", "2", "1", "0", ""}) {
        auto ls = read_lines(path(suffix));
        all.insert(all.end(), ls.begin(), ls.end());
    }
    EXPECT_EQ(log_lines(log_.get()), kThreads * kLines);
    EXPECT_EQ(all.size(), static_cast<std::size_t>(kThreads * kLines));
    EXPECT_TRUE(fs::exists(path("1")));
    std::regex shape(
        R"(^.{16} \[[0-9]+\]\[[0-9]+\] Info: thread [0-9] line [0-9]+ payload payload$)");
    std::vector<int> next(kThreads, -1);
    for (const auto& l : all) {
        ASSERT_TRUE(std::regex_match(l, shape)) << l;
        int t = std::stoi(l.substr(l.find("thread ") + 7));
        int i = std::stoi(l.substr(l.find("line ") + 5));
        // Across the rotated files each thread's lines stay in order.
        EXPECT_GT(i, next[t]);
        next[t] = i;
    }
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kLines - 1);
}

TEST_F(LogTest, NullLogArgumentsAreHarmless) {
    log_close(nullptr);
    log_doflush(nullptr, 1);
    log_dorotate(nullptr, 1, 1);
    log_flush(nullptr);
    log_set_level(nullptr, 1);
    EXPECT_EQ(log_level(nullptr), LOG_NONE);
    EXPECT_EQ(log_setup(nullptr, nullptr, "x"), 0);
    EXPECT_EQ(log_open(nullptr, "x"), 0);
    EXPECT_TRUE(log_file(nullptr).empty());
    EXPECT_EQ(log_lines(nullptr), 0);
}

}  // namespace
}  // namespace tolvane
