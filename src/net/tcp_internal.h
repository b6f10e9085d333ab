// Private helpers shared by the files of the TCP channel library (tcp.cpp, tcp_io.cpp,
// tcp_pool.cpp, tcp_ssl.cpp). Not for other modules.
#pragma once

#include <cstddef>
#include <vector>

#include "foundation/thread.h"
#include "net/tcp.h"

namespace tolvane {

// Reports through the sink given to tcp_init (emsg when none).
void tcp_report(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// The library's three named locks: 0 "d_tcplib" (buffer pool, traffic log, SSL set-up),
// 1 "d_tcplib2", 2 "d_tcplib3". Not getting one within 600000 ms ends the process.
MUTEX* tcp_lock(int which);
class TcpLockHold {
  public:
    explicit TcpLockHold(int which);
    ~TcpLockHold();
    TcpLockHold(const TcpLockHold&) = delete;
    TcpLockHold& operator=(const TcpLockHold&) = delete;

  private:
    MUTEX* m_;
};

bool tcp_exiting();
// True when the process-wide stop (tcp_set_exit) or c's close_now is set (c may be null).
bool tcp_stop_requested(const CHAN* c);

// What tcp_wait_or_stop gives when a stop ended the wait.
inline constexpr int TCP_WAIT_STOP = -2;
// Waits up to ms (-1: without limit) for events on fd, or for a stop: the process-wide
// one, or c's close_now (c may be null). 1 ready (fd's revents in got), 0 time-out, -1 the
// poll failed (errno), TCP_WAIT_STOP. The wait is whole: it ends on the first of the three.
int tcp_wait_or_stop(CHAN* c, int fd, short events, int ms, short* got = nullptr);
// Puts c on the list of channels whose owner is about to wait in a blocking receive on
// c->sk (the process-wide stop shuts their sockets down), or takes it off. enter gives
// false, without listing c, when a stop is already requested.
bool tcp_blocked_enter(CHAN* c);
void tcp_blocked_leave(CHAN* c);
// Makes fd the descriptor tcp_close_now shuts down for c (-1: none, before fd is closed,
// so that a stopper never shuts down a number the system has given out again).
void tcp_wake_publish(CHAN* c, int fd);
bool tcp_debugging();
long tcp_now_ms();  // monotonic

std::vector<char> tcp_bf_get(std::size_t size);
void tcp_bf_free(std::vector<char>&& block);
long tcp_pool_total();  // bytes ever allocated for input buffers

}  // namespace tolvane
