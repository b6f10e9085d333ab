// The serial port: termios set-up, non-blocking reads, writes and the byte trace.
#include "sms/comlib.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "foundation/lib.h"
#include "foundation/log.h"

namespace tolvane {

namespace {

struct speed_row {
    int rate;
    speed_t code;
};
constexpr speed_row SPEEDS[] = {{110, B110},     {300, B300},     {600, B600},      {1200, B1200},
                                {2400, B2400},   {4800, B4800},   {9600, B9600},    {19200, B19200},
                                {38400, B38400}, {57600, B57600}, {115200, B115200}};

bool is_speed_code(int baud) {
    for (const speed_row& r : SPEEDS) {
        if (static_cast<speed_t>(baud) == r.code && baud != r.rate) return true;
    }
    return false;
}

void trace(comport* com, const char* what, const char* bf, long n) {
    if (com->fp == nullptr || n <= 0) return;
    trace_write(*com->fp, strnprintf(static_cast<std::size_t>(n) + 64, "%.15s %s[%ld][%.*s]\n",
                                     com_stamp().c_str(), what, n, static_cast<int>(n), bf));
}

}  // namespace

comport::~comport() {
    if (f >= 0) ::close(f);
}

std::string com_stamp() {
    std::tm tm{};
    if (!safe_localtime(std::time(nullptr), tm)) return "Bad Time       ";
    char bf[32];
    std::size_t n = std::strftime(bf, sizeof bf, "%b %e %H:%M:%S", &tm);
    return std::string(bf, n);
}

speed_t com_speed(int baud) {
    if (is_speed_code(baud)) return static_cast<speed_t>(baud);
    for (const speed_row& r : SPEEDS) {
        if (baud <= r.rate) return r.code;
    }
    return B115200;
}

int com_rate(int baud) {
    speed_t code = com_speed(baud);
    for (const speed_row& r : SPEEDS) {
        if (r.code == code) return r.rate;
    }
    return 9600;
}

std::unique_ptr<comport> com_new() {
    return std::make_unique<comport>();
}

Status com_open(comport* com, const std::string& port, int baud) {
    if (com == nullptr) return Error{0, "no serial port record"};
    com_close(com);
    auto failed = [](const char* what, int e) {
        return Error{e, strprintf("%s%s", what, system_error(e).c_str())};
    };
    int fd = ::open(port.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return failed("", errno);
    termios t{};
    if (::tcgetattr(fd, &t) != 0) {
        int e = errno;
        ::close(fd);
        return failed("cannot read its settings, ", e);
    }
    speed_t sp = com_speed(baud);
    t.c_cflag = sp | CS8 | CREAD | CLOCAL;
    t.c_iflag = 0;
    t.c_oflag = 0;
    t.c_lflag = 0;
    ::cfsetispeed(&t, sp);
    ::cfsetospeed(&t, sp);
    if (::tcsetattr(fd, TCSANOW, &t) != 0) {
        int e = errno;
        ::close(fd);
        return failed("cannot set its speed and mode, ", e);
    }
    com->cinf = t;
    com->f = fd;
    return {};
}

int com_close(comport* com) {
    if (com != nullptr && com->f >= 0) {
        ::close(com->f);
        com->f = -1;
    }
    return 1;
}

void com_free(std::unique_ptr<comport>& com) {
    if (com) com_close(com.get());
    com.reset();
}

long com_read(comport* com, char* bf, std::size_t bfsz) {
    if (com == nullptr || com->f < 0 || bfsz == 0) return 0;
    ssize_t n = ::read(com->f, bf, bfsz);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
        return -1;
    }
    if (n == 0) {
        // End of file on a terminal: the line was hung up (a device unplugged, the far
        // end of a pseudo-terminal closed). Nothing more will come.
        errno = EIO;
        return -1;
    }
    trace(com, "READ", bf, n);
    return n;
}

long com_write(comport* com, const char* bf, std::size_t bytes) {
    if (com == nullptr || com->f < 0) return -1;
    ssize_t n;
    do {
        n = ::write(com->f, bf, bytes);
    } while (n < 0 && errno == EINTR);
    trace(com, "WROTE", bf, n);
    return n;
}

void com_dump(comport* com, const std::string& file) {
    if (com == nullptr) return;
    com->fp.reset();
    auto opened = trace_open(file);
    com->fp = opened ? *opened : nullptr;
    if (!opened) emsg("Failed to append to '%s', %s", file.c_str(), opened.reason().c_str());
}

void com_debug(comport* /*com*/, const std::string& /*file*/, int /*crlf*/) {
    emsg("Cannot DEBUG, debug build required");
}

}  // namespace tolvane
