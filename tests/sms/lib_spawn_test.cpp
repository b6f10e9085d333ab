// Spawning, argument splitting, timed line reads and reaping.
#include "sms/lib_spawn.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "foundation/log.h"

namespace tolvane {
namespace {

TEST(SpawnArgs, SplitAtBlanksTabsAndLineEnds) {
    EXPECT_EQ(spawn_split_args("  /bin/x a\tb\r\nc  "),
              (std::vector<std::string>{"/bin/x", "a", "b", "c"}));
}

TEST(SpawnArgs, QuotedPartsStayTogetherWithoutQuotes) {
    EXPECT_EQ(spawn_split_args("/bin/x \"a b\" c\"d e\"f \"\""),
              (std::vector<std::string>{"/bin/x", "a b", "cd ef", ""}));
}

TEST(SpawnArgs, UnclosedQuoteRunsToTheEnd) {
    EXPECT_EQ(spawn_split_args("x \"a b"), (std::vector<std::string>{"x", "a b"}));
}

TEST(SpawnArgs, AtMostNinetySixArguments) {
    std::string cmd = "prog";
    for (int i = 0; i < 120; ++i) cmd += " a" + std::to_string(i);
    auto args = spawn_split_args(cmd);
    ASSERT_EQ(args.size(), SPAWN_MAX_ARGS);
    EXPECT_EQ(args.back(), "a94");
}

TEST(SpawnArgs, EmptyCommandGivesNoArguments) {
    EXPECT_TRUE(spawn_split_args("").empty());
    EXPECT_TRUE(spawn_split_args(" \t\r\n").empty());
}

class Pipe : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(::pipe(fd_), 0); }
    void TearDown() override {
        if (fd_[0] >= 0) ::close(fd_[0]);
        if (fd_[1] >= 0) ::close(fd_[1]);
    }
    void put(std::string_view s) {
        ASSERT_EQ(::write(fd_[1], s.data(), s.size()), static_cast<ssize_t>(s.size()));
    }
    int fd_[2] = {-1, -1};
};

TEST_F(Pipe, LineEndsAtLineFeedAndRestIsKept) {
    put("first\r\nsecond\nthi");
    std::string line, excess;
    long n = 0;
    ASSERT_EQ(spawn_gets_timed(fd_[0], line, excess, 1000, n, 1000), 1);
    EXPECT_EQ(line, "first");
    EXPECT_EQ(n, 7);
    ASSERT_EQ(spawn_gets_timed(fd_[0], line, excess, 1000, n, 1000), 1);
    EXPECT_EQ(line, "second");
    EXPECT_EQ(excess, "thi");
    put("rd\n");
    ASSERT_EQ(spawn_gets_timed(fd_[0], line, excess, 1000, n, 1000), 1);
    EXPECT_EQ(line, "third");
}

TEST_F(Pipe, TimeOutGivesZeroAndMinusTwo) {
    put("partial");
    std::string line, excess;
    long n = 0;
    EXPECT_EQ(spawn_gets_timed(fd_[0], line, excess, 1000, n, 50), 0);
    EXPECT_EQ(n, -2);
}

TEST_F(Pipe, EndOfFileGivesZero) {
    put("no line end");
    ::close(fd_[1]);
    fd_[1] = -1;
    std::string line, excess;
    long n = 5;
    EXPECT_EQ(spawn_gets_timed(fd_[0], line, excess, 1000, n, 1000), 0);
    EXPECT_EQ(n, 0);
}

TEST_F(Pipe, FullBufferWithoutLineFeedGivesZero) {
    put("0123456789\n");
    std::string line, excess;
    long n = 0;
    EXPECT_EQ(spawn_gets_timed(fd_[0], line, excess, 8, n, 1000), 0);
    EXPECT_LE(line.size(), 7u);
}

TEST_F(Pipe, ClosingTwiceIsHarmless) {
    int h = fd_[0];
    fd_[0] = -1;
    EXPECT_EQ(spawn_close_pipex(h, __FILE__, __LINE__), 1);
    EXPECT_EQ(h, -1);
    EXPECT_EQ(spawn_close_pipex(h, __FILE__, __LINE__), 1);
}

TEST(SpawnEnv, EntriesAreNameEqualsValueCutAt999) {
    std::vector<std::string> env;
    EXPECT_EQ(lib_spawn_addenv(env, "SMS_TO", "+61400"), 1u);
    EXPECT_EQ(env[0], "SMS_TO=+61400");
    EXPECT_EQ(lib_spawn_addenv(env, "BIG", std::string(2000, 'v')), 2u);
    EXPECT_EQ(env[1].size(), 999u);
}

TEST(Spawn, ChildGetsTheGivenEnvironmentOnly) {
    int in = -1, out = -1;
    std::string msg;
    int pid = lib_spawn("/bin/sh -c \"echo $ONLY:${HOME:-unset}\"", {"ONLY=me"}, in, out, msg);
    ASSERT_GT(pid, 0) << msg;
    std::string line, excess;
    long n = 0;
    ASSERT_EQ(spawn_gets_timed(out, line, excess, 1000, n, 5000), 1);
    EXPECT_EQ(line, "me:unset");
    spawn_close_pipex(out, __FILE__, __LINE__);
    spawn_close_pipex(in, __FILE__, __LINE__);
    spawn_release(pid);
}

// A password kept in the environment must not reach the log, at any level.
TEST(Spawn, TheEnvironmentIsNeverLogged) {
    char tmpl[] = "/tmp/spawn_log.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    auto log = log_init(LOG_DEBUG);
    log_doflush(log.get(), 1);
    ASSERT_EQ(log_open(log.get(), dir + "/test.log"), 1);
    log_set(log.get());
    for (const std::vector<std::string>& env :
         {std::vector<std::string>{"PGPASSWORD=s3cret-db", "SMS_TO=+61400"},
          std::vector<std::string>{}}) {
        int in = -1, out = -1;
        std::string msg;
        const int pid = lib_spawn("/bin/sh -c \"echo done\"", env, in, out, msg);
        ASSERT_GT(pid, 0) << msg;
        std::string line, excess;
        long n = 0;
        ASSERT_EQ(spawn_gets_timed(out, line, excess, 1000, n, 5000), 1);
        spawn_close_pipex(out, __FILE__, __LINE__);
        spawn_close_pipex(in, __FILE__, __LINE__);
        spawn_release(pid);
    }
    log_flush(log.get());
    std::ifstream f(dir + "/test.log");
    const std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("lib_spawn: lib_spawn(/bin/sh -c \"echo done\")"), std::string::npos)
        << text;
    EXPECT_EQ(text.find("s3cret-db"), std::string::npos) << text;
    EXPECT_EQ(text.find("env("), std::string::npos) << text;
    EXPECT_EQ(text.find("no env vars"), std::string::npos) << text;
    log_free(log);
    std::filesystem::remove_all(dir);
}

TEST(Spawn, ChildHoldsNoOtherDescriptorOfOurs) {
    int extra[2];
    ASSERT_EQ(::pipe(extra), 0);  // no close-on-exec on purpose
    int in = -1, out = -1;
    std::string msg;
    std::string probe = "/bin/sh -c \"ls /proc/self/fd | wc -l\"";
    int pid = lib_spawn(probe, {}, in, out, msg);
    ASSERT_GT(pid, 0) << msg;
    std::string line, excess;
    long n = 0;
    ASSERT_EQ(spawn_gets_timed(out, line, excess, 1000, n, 5000), 1);
    // 0, 1, 2 and the descriptor ls opens for the listing.
    EXPECT_EQ(std::stoi(line), 4);
    spawn_close_pipex(out, __FILE__, __LINE__);
    spawn_close_pipex(in, __FILE__, __LINE__);
    spawn_release(pid);
    ::close(extra[0]);
    ::close(extra[1]);
}

TEST(Spawn, MissingProgramGivesNoProcessAndTheReason) {
    int in = 7, out = 7;
    std::string msg;
    EXPECT_EQ(lib_spawn("/nonexistent/robot", {}, in, out, msg), -1);
    EXPECT_EQ(in, -1);
    EXPECT_EQ(out, -1);
    EXPECT_EQ(msg, "No such file or directory");
}

TEST(Spawn, WritingToADeadChildGivesBrokenPipeNotASignal) {
    int in = -1, out = -1;
    std::string msg;
    int pid = lib_spawn("/bin/true", {}, in, out, msg);
    ASSERT_GT(pid, 0) << msg;
    // End of its output means the child has gone, and with it the reader of our pipe.
    std::string line, excess;
    long n = 0;
    EXPECT_EQ(spawn_gets_timed(out, line, excess, 100, n, 5000), 0);
    EXPECT_EQ(n, 0);
    // The kernel may release the child's output a moment before its input; write until the
    // broken pipe shows (a signal would have ended this test program instead).
    long w = 0;
    for (int i = 0; i < 1000 && (w = spawn_write(in, "hello")) > 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(w, -1);
    EXPECT_EQ(errno, EPIPE);
    spawn_close_pipex(out, __FILE__, __LINE__);
    spawn_close_pipex(in, __FILE__, __LINE__);
    spawn_release(pid);
}

// The escalation of a shutdown: SIGTERM to every running child's group, then SIGKILL to
// those still there; a child taken out of the set is never signalled.
TEST(SpawnRunning, TermThenKillReachesEachChildAndItsGroup) {
    struct Case {
        const char* name;
        const char* cmd;
        int ended_by;  // the signal that ends it
    };
    const Case cases[] = {
        // The shell's child holds the answer pipe: only a signal to the group ends it.
        {"shell with a child", "/bin/sh -c \"echo up; sleep 30; echo late\"", SIGTERM},
        {"deaf to SIGTERM", "/bin/sh -c \"trap '' TERM; echo up; sleep 30; echo late\"", SIGKILL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int in = -1, out = -1;
        std::string msg;
        int pid = lib_spawn(c.cmd, {}, in, out, msg);
        ASSERT_GT(pid, 0) << msg;
        std::string line, excess;
        long n = 0;
        ASSERT_EQ(spawn_gets_timed(out, line, excess, 100, n, 10000), 1);  // the trap is set
        spawn_running running;
        running.add(pid);
        EXPECT_EQ(running.signal_all(SIGTERM), 1);
        int status = 0;
        if (c.ended_by == SIGKILL) {
            EXPECT_EQ(::waitpid(pid, &status, WNOHANG), 0) << "SIGTERM is ignored";
            EXPECT_EQ(running.signal_all(SIGKILL), 1);
        }
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status));
        EXPECT_EQ(WTERMSIG(status), c.ended_by);
        // Its whole group ended: the pipe sees end of file, not the late answer.
        EXPECT_EQ(spawn_gets_timed(out, line, excess, 100, n, 10000), 0);
        EXPECT_EQ(n, 0);
        running.remove(pid);
        EXPECT_EQ(running.size(), 0u);
        EXPECT_EQ(running.signal_all(SIGKILL), 0);
        spawn_close_pipex(out, __FILE__, __LINE__);
        spawn_close_pipex(in, __FILE__, __LINE__);
    }
}

void drain_pending() {
    for (int i = 0; i < 500 && spawn_pending() > 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        spawn_release(0);
    }
}

TEST(Spawn, ReleasedChildIsReapedLater) {
    drain_pending();
    ASSERT_EQ(spawn_pending(), 0u);
    int in = -1, out = -1;
    std::string msg;
    int pid = lib_spawn("/bin/sleep 0.2", {}, in, out, msg);
    ASSERT_GT(pid, 0) << msg;
    spawn_close_pipex(out, __FILE__, __LINE__);
    spawn_close_pipex(in, __FILE__, __LINE__);
    spawn_release(pid);  // still running: remembered
    EXPECT_EQ(spawn_pending(), 1u);
    drain_pending();
    EXPECT_EQ(spawn_pending(), 0u);
    errno = 0;
    EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);  // already reaped, by spawn_release
    EXPECT_EQ(errno, ECHILD);
}

}  // namespace
}  // namespace tolvane
