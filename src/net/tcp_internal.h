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
bool tcp_debugging();
long tcp_now_ms();  // monotonic

std::vector<char> tcp_bf_get(std::size_t size);
void tcp_bf_free(std::vector<char>&& block);
long tcp_pool_total();  // bytes ever allocated for input buffers

}  // namespace tolvane
