// Dialogue trace files: private mode, rotation within the size budget, reopening after
// an outside rename, failure to open, concurrent writers.
#include "foundation/tracefile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace tolvane {
namespace {

namespace fs = std::filesystem;

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<std::string> lines_of(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> out;
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

unsigned mode_of(const fs::path& p) {
    struct stat st {};
    if (::stat(p.c_str(), &st) != 0) return 0;
    return st.st_mode & 07777;
}

class Trace : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "tvtraceXXXXXX").string();
        dir = mkdtemp(tmpl.data());
        path = dir / "smtp.log";
    }
    void TearDown() override {
        trace_set_limits(TRACE_MAX_SIZE_DEFAULT, TRACE_KEEP_DEFAULT);
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    std::shared_ptr<TraceFile> open() {
        auto t = trace_open(path.string());
        EXPECT_TRUE(t) << t.reason();
        return t ? *t : nullptr;
    }
    static std::string line(int n) {
        char bf[32];
        std::snprintf(bf, sizeof bf, "line %04d .........\n", n);  // 20 bytes
        return bf;
    }
    fs::path dir, path;
};

TEST_F(Trace, CreatedPrivateAndAnOlderPublicTraceIsMadePrivate) {
    mode_t old = ::umask(0);
    auto t = open();
    ::umask(old);
    ASSERT_TRUE(t);
    EXPECT_EQ(mode_of(path), 0600u);
    t.reset();
    ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
    t = open();
    EXPECT_EQ(mode_of(path), 0600u) << "message texts must not stay readable by every user";
}

TEST_F(Trace, RotatesWithinTheBudgetKeepingTheNewestLinesWhole) {
    trace_set_limits(100, 2);
    auto t = open();
    for (int n = 0; n < 40; ++n) trace_write(*t, line(n));
    t.reset();
    ASSERT_TRUE(fs::exists(dir / "smtp.log0"));
    ASSERT_TRUE(fs::exists(dir / "smtp.log1"));
    EXPECT_FALSE(fs::exists(dir / "smtp.log2")) << "only two old files are kept";
    std::uintmax_t total = 0;
    for (const char* name : {"smtp.log", "smtp.log0", "smtp.log1"}) {
        SCOPED_TRACE(name);
        std::uintmax_t size = fs::file_size(dir / name);
        EXPECT_LE(size, 100u);
        total += size;
        EXPECT_EQ(mode_of(dir / name), 0600u);
        for (const std::string& l : lines_of(dir / name)) EXPECT_EQ(l.size(), 19u) << l;
    }
    EXPECT_LE(total, 300u);
    // Oldest to newest: log1, log0, the current file, with no line missing between them.
    std::vector<std::string> all;
    for (const char* name : {"smtp.log1", "smtp.log0", "smtp.log"})
        for (const std::string& l : lines_of(dir / name)) all.push_back(l);
    ASSERT_EQ(all.size(), 15u);
    for (std::size_t i = 0; i < all.size(); ++i)
        EXPECT_EQ(all[i] + "\n", line(static_cast<int>(25 + i)));
}

TEST_F(Trace, LineLongerThanTheLimitIsCutSoTheBudgetHolds) {
    trace_set_limits(50, 1);
    auto t = open();
    trace_write(*t, std::string(500, 'x') + "\n");
    trace_write(*t, std::string(500, 'y') + "\n");
    t.reset();
    EXPECT_EQ(fs::file_size(path), 50u);
    EXPECT_EQ(fs::file_size(dir / "smtp.log0"), 50u);
    EXPECT_EQ(slurp(path), std::string(50, 'y'));
}

TEST_F(Trace, NoLimitNeverRotates) {
    trace_set_limits(0, 5);
    auto t = open();
    for (int n = 0; n < 100; ++n) trace_write(*t, line(n));
    t.reset();
    EXPECT_EQ(fs::file_size(path), 2000u);
    EXPECT_FALSE(fs::exists(dir / "smtp.log0"));
}

TEST_F(Trace, ReopenAfterAnOutsideRenameStartsANewFile) {
    auto t = open();
    trace_write(*t, line(1));
    fs::rename(path, dir / "smtp.log.1");
    trace_write(*t, line(2));  // still the renamed file until the reopen
    trace_reopen_all();
    trace_write(*t, line(3));
    t.reset();
    EXPECT_EQ(slurp(dir / "smtp.log.1"), line(1) + line(2));
    EXPECT_EQ(slurp(path), line(3));
    EXPECT_EQ(mode_of(path), 0600u);
}

TEST_F(Trace, ReopenSkipsTracesAlreadyClosed) {
    auto gone = open();
    gone.reset();
    fs::remove(path);
    trace_reopen_all();
    EXPECT_FALSE(fs::exists(path)) << "a closed trace must not be created again";
}

TEST_F(Trace, UnopenableTraceGivesTheReason) {
    auto t = trace_open((dir / "missing" / "smtp.log").string());
    ASSERT_FALSE(t);
    EXPECT_EQ(t.error().reason, "No such file or directory");
}

// A held exchange: nothing reaches the file until it is written out, then every line in
// order; a thread that holds nothing writes at once, also meanwhile.
TEST_F(Trace, HeldLinesGoOutTogetherInOrderAndOtherThreadsAreNotHeld) {
    auto t = open();
    {
        TraceHold hold;
        trace_write(*t, line(1));
        trace_write(*t, line(2));
        std::thread([&t] { trace_write(*t, line(9)); }).join();
        EXPECT_EQ(slurp(path), line(9));
        {
            TraceHold inner;  // holds nest: the inner end writes nothing
            trace_write(*t, line(3));
        }
        EXPECT_EQ(slurp(path), line(9));
        trace_write_held();
        EXPECT_EQ(slurp(path), line(9) + line(1) + line(2) + line(3));
        trace_write(*t, line(4));
        t.reset();  // the held line keeps its trace open
    }
    EXPECT_EQ(slurp(path), line(9) + line(1) + line(2) + line(3) + line(4));
}

// The size budget holds for held batches too: a batch that would pass the limit starts
// a new file whole, and one larger than the limit is rotated line by line.
TEST_F(Trace, HeldBatchesKeepTheRotationBudget) {
    struct Case {
        const char* name;
        int before, batch;               // lines of 20 bytes written before, and then held
        std::vector<std::size_t> sizes;  // of smtp.log, smtp.log0, smtp.log1 afterwards
    };
    const Case cases[] = {
        {"fits", 1, 3, {80, 0, 0}},
        {"rotates first, batch whole", 3, 3, {60, 60, 0}},
        {"larger than the limit", 0, 9, {80, 100, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::error_code ec;
        for (const char* name : {"smtp.log", "smtp.log0", "smtp.log1"}) fs::remove(dir / name, ec);
        trace_set_limits(100, 2);
        auto t = open();
        for (int n = 0; n < c.before; ++n) trace_write(*t, line(n));
        {
            TraceHold hold;
            for (int n = 0; n < c.batch; ++n) trace_write(*t, line(100 + n));
        }
        t.reset();
        std::vector<std::size_t> sizes;
        for (const char* name : {"smtp.log", "smtp.log0", "smtp.log1"})
            sizes.push_back(fs::exists(dir / name) ? fs::file_size(dir / name) : 0);
        EXPECT_EQ(sizes, c.sizes);
        EXPECT_EQ(lines_of(path).back() + "\n", line(100 + c.batch - 1));
    }
}

// A thread that holds for a long time (a large mail's body) does not hoard it all.
TEST_F(Trace, HoldingMoreThanTheCapWritesWithoutWaitingForTheRelease) {
    trace_set_limits(0, 0);
    auto t = open();
    TraceHold hold;
    std::size_t lines = TRACE_HOLD_MAX / 20 + 1;
    for (std::size_t n = 0; n < lines; ++n) trace_write(*t, line(static_cast<int>(n % 1000)));
    EXPECT_EQ(fs::file_size(path), lines * 20);
}

TEST_F(Trace, ConcurrentWritersNeverSplitALineAcrossRotations) {
    trace_set_limits(2000, 3);
    auto t = open();
    std::vector<std::thread> threads;
    for (int w = 0; w < 4; ++w) {
        threads.emplace_back([&t, w] {
            for (int n = 0; n < 100; ++n) trace_write(*t, line(w * 1000 + n));
        });
    }
    for (auto& th : threads) th.join();
    t.reset();
    std::set<std::string> seen;
    for (const char* name : {"smtp.log", "smtp.log0", "smtp.log1", "smtp.log2"}) {
        SCOPED_TRACE(name);
        if (!fs::exists(dir / name)) continue;
        EXPECT_LE(fs::file_size(dir / name), 2000u);
        for (const std::string& l : lines_of(dir / name)) {
            EXPECT_EQ(l.size(), 19u) << l;
            EXPECT_TRUE(seen.insert(l).second) << "written twice: " << l;
        }
    }
    // 400 lines of 20 bytes are 8000 bytes; four files of at most 2000 hold them all
    // only if no rotation wasted space, so at least the newest 300 must be there.
    EXPECT_GE(seen.size(), 300u);
}

// A writer held up by a slow file (here a pipe nobody reads yet) does not hold up the
// others: their lines are left to it, and come out whole, in order, after its own.
TEST_F(Trace, WriterHeldByASlowFileLeavesTheOthersFreeAndLosesNothing) {
    trace_set_limits(0, 0);
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    int rd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(rd, 0);
    auto t = open();
    ASSERT_TRUE(t);
    // More than a pipe holds: the first writer blocks until the test reads.
    std::string big(256 * 1024, 'x');
    big.back() = '\n';
    std::atomic<bool> big_done{false};
    std::thread slow([&] {
        trace_write(*t, big);
        big_done = true;
    });
    // Its first bytes are in the pipe: it is inside its write.
    pollfd p{rd, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 10000), 1);
    std::atomic<int> quick_done{0};
    std::vector<std::thread> quick;
    for (int w = 0; w < 3; ++w)
        quick.emplace_back([&t, &quick_done, w] {
            for (int n = 0; n < 5; ++n) trace_write(*t, line(w * 100 + n));
            ++quick_done;
        });
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (quick_done.load() < 3 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(quick_done.load(), 3) << "the other writers waited for the slow one";
    EXPECT_FALSE(big_done.load());
    std::string got;
    char buf[65536];
    ::fcntl(rd, F_SETFL, 0);
    while (got.size() < big.size() + 15 * 20) {
        ssize_t n = ::read(rd, buf, sizeof buf);
        ASSERT_GT(n, 0);
        got.append(buf, static_cast<std::size_t>(n));
    }
    slow.join();
    for (auto& q : quick) q.join();
    ::close(rd);
    ASSERT_EQ(got.substr(0, big.size()), big);
    std::vector<std::string> rest;
    std::stringstream ss(got.substr(big.size()));
    for (std::string l; std::getline(ss, l);) rest.push_back(l + "\n");
    ASSERT_EQ(rest.size(), 15u);
    for (int w = 0; w < 3; ++w) {
        SCOPED_TRACE(w);
        std::vector<std::string> mine;
        for (const std::string& l : rest)
            if (l.rfind(line(w * 100).substr(0, 7), 0) == 0) mine.push_back(l);
        std::vector<std::string> want;
        for (int n = 0; n < 5; ++n) want.push_back(line(w * 100 + n));
        EXPECT_EQ(mine, want);
    }
}

}  // namespace
}  // namespace tolvane
