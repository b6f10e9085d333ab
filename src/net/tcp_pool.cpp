// TCP channels: the process-wide state every channel shares: the message sink, the
// debug switch, the stop (a flag and the descriptor every wait watches), the library's
// named locks, the monotonic clock and the pool of input buffers. Sockets are in tcp.cpp,
// reading and writing in tcp_io.cpp, the SSL seam in tcp_ssl.cpp.
//
// Ownership: the pool and the locks live for the whole process (never destroyed, since
// channels may outlive static destruction). Limits: pool blocks are recycled by size and
// never given back to the system.
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
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

// The stop's descriptor: an eventfd that stays readable from the stop until it is
// cleared, so that every wait in progress and every later one ends at once. -1 when the
// system gives none (then only the flag is left, seen before each wait).
int stop_fd() {
    static const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    return fd;
}

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

// Channels whose owners wait in a blocking receive, in a few lists by descriptor so that
// the many workers entering and leaving rarely meet on one lock. Never destroyed.
struct BlockedList {
    std::mutex lock;
    CHAN* head = nullptr;
};
constexpr int BLOCKED_LISTS = 16;
BlockedList* blocked_lists() {
    static BlockedList* lists = new BlockedList[BLOCKED_LISTS];
    return lists;
}
BlockedList& blocked_list(const CHAN* c) {
    return blocked_lists()[static_cast<unsigned>(c->sk) % BLOCKED_LISTS];
}

// Shuts down the socket of every channel waiting in a blocking receive: each wakes as if
// its peer had closed, finds the stop and ends.
void wake_blocked() {
    BlockedList* lists = blocked_lists();
    for (int i = 0; i < BLOCKED_LISTS; ++i) {
        std::lock_guard<std::mutex> hold(lists[i].lock);
        for (CHAN* c = lists[i].head; c; c = c->blocked_next) ::shutdown(c->sk, SHUT_RDWR);
    }
}

}  // namespace

// ---- internal helpers shared with tcp_io.cpp ----

bool tcp_blocked_enter(CHAN* c) {
    BlockedList& l = blocked_list(c);
    {
        std::lock_guard<std::mutex> hold(l.lock);
        c->blocked_prev = nullptr;
        c->blocked_next = l.head;
        if (l.head) l.head->blocked_prev = c;
        l.head = c;
    }
    // After the listing: a stop set before it is seen here, one set after it finds the
    // channel listed (the flag is stored before the lists are walked).
    if (!tcp_stop_requested(c)) return true;
    tcp_blocked_leave(c);
    return false;
}

void tcp_blocked_leave(CHAN* c) {
    BlockedList& l = blocked_list(c);
    std::lock_guard<std::mutex> hold(l.lock);
    if (c->blocked_prev)
        c->blocked_prev->blocked_next = c->blocked_next;
    else
        l.head = c->blocked_next;
    if (c->blocked_next) c->blocked_next->blocked_prev = c->blocked_prev;
    c->blocked_prev = c->blocked_next = nullptr;
}

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

bool tcp_stop_requested(const CHAN* c) {
    return g_exit.load() != 0 || (c && c->close_now.load() != 0);
}

void tcp_wake_publish(CHAN* c, int fd) {
    if (!c || c->wake_sk.load() == fd) return;
    std::lock_guard<std::mutex> hold(c->wake_lock);
    c->wake_sk.store(fd);
}

int tcp_wait_or_stop(CHAN* c, int fd, short events, int ms, short* got) {
    if (got) *got = 0;
    // Published before the stop is looked at: a stopper that comes later finds the socket
    // to shut down, one that came earlier has set the flag already (both under wake_lock).
    // Not while the channel is closing: its descriptor is about to be given back.
    if (c && c->sk >= 0 && c->sk == fd && !c->in_close) tcp_wake_publish(c, fd);
    long deadline = ms < 0 ? 0 : tcp_now_ms() + ms;
    for (;;) {
        if (tcp_stop_requested(c)) return TCP_WAIT_STOP;
        int wait = -1;
        if (ms >= 0) {
            long left = deadline - tcp_now_ms();
            wait = left > 0 ? static_cast<int>(left) : 0;
        }
        pollfd p[2] = {{fd, events, 0}, {stop_fd(), POLLIN, 0}};
        int r = ::poll(p, 2, wait);
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (tcp_stop_requested(c) || (p[1].revents & POLLIN)) return TCP_WAIT_STOP;
        if (r == 0) return 0;
        if (got) *got = p[0].revents;
        return 1;
    }
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
    // The flag first: a wait that wakes on the descriptor must find it set.
    g_exit.store(on ? 1 : 0);
    if (on) wake_blocked();
    int fd = stop_fd();
    if (fd < 0) return;
    if (on) {
        eventfd_write(fd, 1);
    } else {
        eventfd_t drained;
        eventfd_read(fd, &drained);  // non-blocking: nothing to drain is fine
    }
}

void tcp_close_now(CHAN* c) {
    if (!c) return;
    std::lock_guard<std::mutex> hold(c->wake_lock);
    c->close_now.store(1);
    // Shutting the socket down ends its owner's wait at once (poll, receive, accept or a
    // TLS read all see the end); the owner then closes it as for any stop.
    if (int fd = c->wake_sk.load(); fd >= 0) ::shutdown(fd, SHUT_RDWR);
}
int tcp_get_exit() {
    return g_exit.load();
}

}  // namespace tolvane
