// TCP channels: the process-wide state every channel shares: the message sink, the
// debug and exit switches, the library's named locks, the monotonic clock and the pool
// of input buffers. Sockets are in tcp.cpp, reading and writing in tcp_io.cpp, the SSL
// seam in tcp_ssl.cpp.
//
// Ownership: the pool and the locks live for the whole process (never destroyed, since
// channels may outlive static destruction). Limits: pool blocks are recycled by size and
// never given back to the system.
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <mutex>

#include "foundation/lib.h"
#include "foundation/log.h"
#include "foundation/thread.h"
#include "net/tcp.h"
#include "net/tcp_internal.h"

namespace tolvane {

namespace {

std::atomic<void (*)(const char*)> g_sink{nullptr};
std::atomic<int> g_debug{0};
std::atomic<int> g_exit{0};

// The buffer pool: blocks of equal size are recycled instead of freed, so that the many
// short-lived connections do not allocate anew.
struct Pool {
    std::vector<std::vector<char>> free;
    long total = 0;
};
Pool& pool() {
    static Pool* p = new Pool;  // never destroyed: channels may outlive static destruction
    return *p;
}

}  // namespace

// ---- internal helpers shared with tcp_io.cpp ----

void tcp_report(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string text = vstrprintf(TEXT_MAX, fmt, ap);
    va_end(ap);
    if (auto* s = g_sink.load()) {
        s(text.c_str());
    } else {
        emsg("%s", text.c_str());
    }
}

MUTEX* tcp_lock(int which) {
    static MUTEX* locks[3] = {th_mutex_new("d_tcplib").release(),
                              th_mutex_new("d_tcplib2").release(),
                              th_mutex_new("d_tcplib3").release()};
    return locks[which];
}

TcpLockHold::TcpLockHold(int which) : m_(tcp_lock(which)) {
    if (!th_mutex_wait(m_, 600000)) {
        static const char* names[3] = {"mutex", "mutex2", "mutex3"};
        tcp_report("Signal Cannot get %s, fatal problem, dieing tcp", names[which]);
        lib_abort();
    }
}
TcpLockHold::~TcpLockHold() {
    th_mutex_release(m_);
}

bool tcp_exiting() {
    return g_exit.load() != 0;
}
bool tcp_debugging() {
    return g_debug.load() != 0;
}

long tcp_now_ms() {
    using namespace std::chrono;
    return static_cast<long>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

std::vector<char> tcp_bf_get(std::size_t size) {
    TcpLockHold hold(0);
    auto& p = pool();
    for (auto it = p.free.begin(); it != p.free.end(); ++it) {
        if (it->size() == size) {
            std::vector<char> b = std::move(*it);
            p.free.erase(it);
            return b;
        }
    }
    p.total += static_cast<long>(size);
    return std::vector<char>(size, 0);
}

void tcp_bf_free(std::vector<char>&& block) {
    if (block.empty()) return;
    TcpLockHold hold(0);
    pool().free.push_back(std::move(block));
}

long tcp_pool_total() {
    TcpLockHold hold(0);
    return pool().total;
}

// ---- set-up ----

void tcp_init(void (*sink)(const char* text)) {
    g_sink.store(sink);
    static std::once_flag once;
    std::call_once(once, [] {
        for (int i = 0; i < 3; ++i) tcp_lock(i);
        std::signal(SIGPIPE, SIG_IGN);
    });
}

void tcp_set_debug(int on) {
    g_debug.store(on);
}
void tcp_set_exit(int on) {
    g_exit.store(on);
}
int tcp_get_exit() {
    return g_exit.load();
}

}  // namespace tolvane
