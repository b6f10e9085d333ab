// The serial port against a real pseudo-terminal: raw set-up, non-blocking reads,
// writes, the byte trace and the speed table.
#include "sms/comlib.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace tolvane {
namespace {

namespace fs = std::filesystem;

struct Pty {
    int master = -1;
    int slave = -1;
    std::string path;
    Pty() {
        char name[256] = {0};
        if (::openpty(&master, &slave, name, nullptr, nullptr) == 0) path = name;
    }
    ~Pty() {
        if (master >= 0) ::close(master);
        if (slave >= 0) ::close(slave);
    }
};

// Reads from the port until want bytes came or the limit passed.
std::string read_some(comport* com, std::size_t want) {
    std::string got;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    char bf[100];
    while (got.size() < want && std::chrono::steady_clock::now() < until) {
        long n = com_read(com, bf, sizeof bf);
        if (n > 0) {
            got.append(bf, static_cast<std::size_t>(n));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    return got;
}

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

TEST(ComOpen, MissingDeviceFailsAndLeavesThePortClosed) {
    auto com = com_new();
    Status st = com_open(com.get(), "/nonexistent/ttyX", 9600);
    ASSERT_FALSE(st);
    EXPECT_EQ(st.error().code, ENOENT);
    EXPECT_EQ(st.error().reason, "No such file or directory");
    EXPECT_EQ(com->f, -1);
    char bf[10];
    EXPECT_EQ(com_read(com.get(), bf, sizeof bf), 0);
    EXPECT_EQ(com_write(com.get(), "AT\r", 3), -1);
    com_free(com);
    EXPECT_EQ(com, nullptr);
}

TEST(ComOpen, ANonTerminalIsRefusedAndClosed) {
    auto com = com_new();
    Status st = com_open(com.get(), "/dev/null", 9600);
    ASSERT_FALSE(st);
    EXPECT_EQ(st.error().reason.rfind("cannot read its settings, ", 0), 0u) << st.error().reason;
    EXPECT_EQ(com->f, -1);
}

TEST(ComOpen, SetsRawEightBitAtTheGivenSpeed) {
    Pty pty;
    ASSERT_FALSE(pty.path.empty());
    auto com = com_new();
    ASSERT_TRUE(com_open(com.get(), pty.path, 19200));
    termios t{};
    ASSERT_EQ(::tcgetattr(com->f, &t), 0);
    EXPECT_EQ(::cfgetospeed(&t), static_cast<speed_t>(B19200));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_TRUE(t.c_cflag & CREAD);
    EXPECT_TRUE(t.c_cflag & CLOCAL);
    EXPECT_FALSE(t.c_cflag & PARENB);
    EXPECT_FALSE(t.c_cflag & CSTOPB);
    EXPECT_FALSE(t.c_lflag & (ECHO | ICANON | ISIG));
    EXPECT_FALSE(t.c_iflag & (IXON | ICRNL | INLCR));
    EXPECT_FALSE(t.c_oflag & OPOST);
    EXPECT_TRUE(::fcntl(com->f, F_GETFL) & O_NONBLOCK);
}

TEST(ComRead, NothingWaitingGivesZeroAtOnce) {
    Pty pty;
    auto com = com_new();
    ASSERT_TRUE(com_open(com.get(), pty.path, 9600));
    char bf[10];
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(com_read(com.get(), bf, sizeof bf), 0);
    // Not a speed assertion: a blocking read would never come back at all.
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
}

TEST(ComRead, BytesPassUnchangedBothWays) {
    Pty pty;
    auto com = com_new();
    ASSERT_TRUE(com_open(com.get(), pty.path, 9600));
    // CR, LF, Ctrl-Z and a high byte: a cooked line would translate or swallow them.
    const std::string out = "AT\r\n\x1a\xe9";
    ASSERT_EQ(com_write(com.get(), out.data(), out.size()), static_cast<long>(out.size()));
    std::string seen(out.size(), '\0');
    std::size_t got = 0;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (got < out.size() && std::chrono::steady_clock::now() < until) {
        ssize_t n = ::read(pty.master, seen.data() + got, out.size() - got);
        if (n > 0) got += static_cast<std::size_t>(n);
    }
    EXPECT_EQ(seen, out);
    const std::string in = "\r\nOK\r\n\x03";
    ASSERT_EQ(::write(pty.master, in.data(), in.size()), static_cast<ssize_t>(in.size()));
    EXPECT_EQ(read_some(com.get(), in.size()), in);
}

TEST(ComRead, AGonePeerIsAnError) {
    Pty pty;
    auto com = com_new();
    ASSERT_TRUE(com_open(com.get(), pty.path, 9600));
    ::close(pty.master);
    ::close(pty.slave);
    pty.master = pty.slave = -1;
    char bf[10];
    EXPECT_EQ(com_read(com.get(), bf, sizeof bf), -1);
}

TEST(ComDump, TraceHoldsEveryReadAndWrite) {
    Pty pty;
    fs::path trace = fs::temp_directory_path() / ("tv_com_" + std::to_string(::getpid()));
    fs::remove(trace);
    {
        auto com = com_new();
        ASSERT_TRUE(com_open(com.get(), pty.path, 9600));
        com_dump(com.get(), trace.string());
        ASSERT_NE(com->fp, nullptr);
        com_write(com.get(), "AT\r", 3);
        ASSERT_EQ(::write(pty.master, "OK", 2), 2);
        EXPECT_EQ(read_some(com.get(), 2), "OK");
        com_free(com);
    }
    std::string text = slurp(trace);
    EXPECT_NE(text.find(" WROTE[3][AT\r]\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" READ[2][OK]\n"), std::string::npos) << text;
    // Each line starts with the stamp: month, day and time of day.
    ASSERT_GE(text.size(), 16u);
    EXPECT_EQ(text[3], ' ');
    EXPECT_EQ(text[9], ':');
    EXPECT_EQ(text[15], ' ');
    fs::remove(trace);
}

TEST(ComDump, AnUnwritableTraceIsReportedAndThePortStillWorks) {
    Pty pty;
    auto com = com_new();
    ASSERT_TRUE(com_open(com.get(), pty.path, 9600));
    com_dump(com.get(), "/nonexistent/dir/trace.log");
    EXPECT_EQ(com->fp, nullptr);
    EXPECT_EQ(com_write(com.get(), "AT\r", 3), 3);
    com_debug(com.get(), "x", 1);  // needs a debug build: only logs
    EXPECT_EQ(com->fp, nullptr);
}

TEST(ComSpeed, RatesRoundUpToTheNextStandardSpeed) {
    struct row {
        int rate;
        speed_t code;
    } rows[] = {{0, B110},        {110, B110},       {111, B300},       {600, B600},
                {601, B1200},     {9600, B9600},     {9601, B19200},    {57600, B57600},
                {57601, B115200}, {100000, B115200}, {115200, B115200}, {1000000, B115200}};
    for (const row& r : rows) {
        SCOPED_TRACE(r.rate);
        EXPECT_EQ(com_speed(r.rate), r.code);
    }
}

TEST(ComSpeed, ASpeedConstantIsKeptAndMapsBackToItsRate) {
    EXPECT_EQ(com_speed(static_cast<int>(B9600)), static_cast<speed_t>(B9600));
    EXPECT_EQ(com_speed(static_cast<int>(B115200)), static_cast<speed_t>(B115200));
    EXPECT_EQ(com_rate(static_cast<int>(B2400)), 2400);
    EXPECT_EQ(com_rate(9600), 9600);
    EXPECT_EQ(com_rate(100000), 115200);
}

}  // namespace
}  // namespace tolvane
