// Atomic file replacement and the self-closing descriptor: the mode is exact from the
// start whatever the umask, every failure leaves the old file as it was and no
// temporary file behind, and the step that failed is named.
#include "foundation/fileio.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace tolvane {
namespace {

namespace fs = std::filesystem;

class FileIo : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("fileio_test_" + std::to_string(::getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string file(const std::string& name) const { return (dir / name).string(); }
    static std::string slurp(const std::string& p) {
        std::ifstream f(p, std::ios::binary);
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }
    static void spit(const std::string& p, const std::string& text) {
        std::ofstream(p, std::ios::binary) << text;
    }
    static mode_t mode_of(const std::string& p) {
        struct stat st {};
        EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
        return st.st_mode & 07777;
    }
    fs::path dir;
};

// Restores the process umask when it goes.
struct Umask {
    explicit Umask(mode_t m) : old(::umask(m)) {}
    ~Umask() { ::umask(old); }
    mode_t old;
};

TEST_F(FileIo, ModeIsExactWhateverTheUmask) {
    const struct {
        mode_t umask, mode;
    } rows[] = {{022, 0644}, {077, 0644}, {077, 0755}, {0, 0600}, {0277, 0600}};
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << std::oct << "umask " << r.umask << " mode " << r.mode);
        Umask u(r.umask);
        std::string p = file("f");
        ASSERT_EQ(write_file_atomic(p, "data\n", r.mode).reason(), "");
        EXPECT_EQ(mode_of(p), r.mode);
        EXPECT_EQ(slurp(p), "data\n");
    }
}

TEST_F(FileIo, ReplacesTheOldFileAndLeavesNoTemporary) {
    std::string p = file("f");
    spit(p, "old contents that are longer than the new ones\n");
    ASSERT_EQ(write_file_atomic(p, "new\n", 0600).reason(), "");
    EXPECT_EQ(slurp(p), "new\n");
    EXPECT_EQ(mode_of(p), 0600u);
    EXPECT_FALSE(fs::exists(p + ".tmp"));
    ASSERT_EQ(write_file_atomic(p, "", 0600).reason(), "");  // empty is a content too
    EXPECT_EQ(slurp(p), "");
}

TEST_F(FileIo, MissingDirectoryFailsAtCreateWithItsCode) {
    std::string p = file("nope/f");
    FileWriteError err;
    EXPECT_FALSE(write_file_atomic(p, "x", 0644, err));
    EXPECT_EQ(err.code, ENOENT);
    EXPECT_EQ(err.text, "cannot create " + p + ".tmp (No such file or directory)");
    Status st = write_file_atomic(p, "x", 0644);
    ASSERT_FALSE(st);
    EXPECT_EQ(st.error().code, ENOENT);
    EXPECT_EQ(st.error().reason, err.text);
    EXPECT_FALSE(fs::exists(dir / "nope"));
}

TEST_F(FileIo, ALeftoverTemporaryIsReplacedNotReused) {
    std::string p = file("f");
    spit(p + ".tmp", "half-written by a crash, much longer than what comes now");
    ::chmod((p + ".tmp").c_str(), 0666);
    ASSERT_EQ(write_file_atomic(p, "whole\n", 0600).reason(), "");
    EXPECT_EQ(slurp(p), "whole\n");
    EXPECT_EQ(mode_of(p), 0600u);
    EXPECT_FALSE(fs::exists(p + ".tmp"));
}

TEST_F(FileIo, TemporaryThatCannotBeRemovedFailsAndKeepsTheOldFile) {
    std::string p = file("f");
    spit(p, "old\n");
    fs::create_directory(p + ".tmp");
    FileWriteError err;
    EXPECT_FALSE(write_file_atomic(p, "new\n", 0644, err));
    EXPECT_TRUE(err.text.starts_with("cannot remove " + p + ".tmp (")) << err.text;
    EXPECT_NE(err.code, 0);
    EXPECT_EQ(slurp(p), "old\n");
}

TEST_F(FileIo, TargetThatIsADirectoryFailsAtRenameAndCleansUp) {
    std::string p = file("d");
    fs::create_directory(p);
    spit(p + "/inside", "kept");
    FileWriteError err;
    EXPECT_FALSE(write_file_atomic(p, "new\n", 0644, err));
    EXPECT_EQ(err.code, EISDIR);
    EXPECT_TRUE(err.text.starts_with("cannot rename " + p + ".tmp to " + p + " (")) << err.text;
    EXPECT_EQ(slurp(p + "/inside"), "kept");
    EXPECT_FALSE(fs::exists(p + ".tmp"));
}

TEST_F(FileIo, AWriteCutShortKeepsTheOldFileWhole) {
    std::string p = file("f");
    spit(p, "old\n");
    // The file size limit makes the write itself fail, as a full disk would.
    ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit old {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    struct rlimit small = old;
    small.rlim_cur = 1000;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    FileWriteError err;
    bool ok = write_file_atomic(p, std::string(5000, 'x'), 0644, err);
    ::setrlimit(RLIMIT_FSIZE, &old);
    ::signal(SIGXFSZ, SIG_DFL);
    EXPECT_FALSE(ok);
    EXPECT_EQ(err.code, EFBIG);
    EXPECT_TRUE(err.text.starts_with("cannot write " + p + ".tmp (")) << err.text;
    EXPECT_EQ(slurp(p), "old\n");
    EXPECT_FALSE(fs::exists(p + ".tmp"));
}

TEST_F(FileIo, TheHookSeesTheTemporaryBeforeItIsInPlace) {
    std::string p = file("f");
    spit(p, "old\n");
    std::string seen;
    FileWriteError err;
    auto hook = [&](int fd) {
        seen = slurp(p);  // the target is still the old file
        struct timespec times[2] = {{1000, 0}, {2000, 0}};
        ::futimens(fd, times);
    };
    ASSERT_TRUE(write_file_atomic(p, "new\n", 0644, err, hook)) << err.text;
    EXPECT_EQ(seen, "old\n");
    struct stat st {};
    ASSERT_EQ(::stat(p.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 2000);
}

bool is_open(int fd) {
    return ::fcntl(fd, F_GETFD) != -1;
}

TEST(UniqueFd, ClosesWhatItHoldsExactlyOnce) {
    int raw = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(raw, 0);
    {
        UniqueFd a(raw);
        EXPECT_TRUE(a);
        UniqueFd b(std::move(a));
        EXPECT_FALSE(a);  // NOLINT: moved-from is empty by contract
        EXPECT_EQ(b.get(), raw);
        EXPECT_TRUE(is_open(raw));
    }
    EXPECT_FALSE(is_open(raw));

    int kept = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    {
        UniqueFd c(kept);
        EXPECT_EQ(c.release(), kept);
    }
    EXPECT_TRUE(is_open(kept));

    int other = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    UniqueFd d(kept);
    d.reset(other);
    EXPECT_FALSE(is_open(kept));
    EXPECT_TRUE(is_open(other));
    UniqueFd e;
    e = std::move(d);
    EXPECT_EQ(e.get(), other);
    EXPECT_TRUE(e.close());
    EXPECT_FALSE(is_open(other));
    EXPECT_FALSE(e);
    EXPECT_TRUE(e.close());  // nothing held: nothing to fail
}

TEST(UniqueFd, CloseReportsAFailedClose) {
    UniqueFd bad(100000);  // no such descriptor
    errno = 0;
    EXPECT_FALSE(bad.close());
    EXPECT_EQ(errno, EBADF);
    EXPECT_FALSE(bad);
}

TEST(WriteAll, AReaderGoneIsAFailure) {
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    UniqueFd r(p[0]), w(p[1]);
    ASSERT_TRUE(write_all(w.get(), "through"));
    char buf[16] = {};
    EXPECT_EQ(::read(r.get(), buf, sizeof buf), 7);
    r.reset();
    ::signal(SIGPIPE, SIG_IGN);
    errno = 0;
    EXPECT_FALSE(write_all(w.get(), "nobody reads"));
    EXPECT_EQ(errno, EPIPE);
}

}  // namespace
}  // namespace tolvane
