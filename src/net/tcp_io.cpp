// TCP channels: the line reader, timed reads and writes, output buffering and the
// traffic log.
//
// Plain sockets stay in whatever mode the channel is in. A timed read on a blocking socket
// waits in the receive itself with the socket's receive time-out set to the time left (one
// system call a read); tcp_close_now and the process-wide stop shut such a socket down,
// which ends the receive at once. Other timed operations use MSG_DONTWAIT and poll(), one
// poll for the whole time left that also watches the stop (tcp_wait_or_stop), so they
// never block past their limit and no wait is cut into slices. A channel carrying a stream
// (SSL) is switched to non-blocking mode instead, as the stream decides for itself when it
// would block.
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "foundation/lib.h"
#include "foundation/log.h"
#include "foundation/tracefile.h"
#include "net/tcp.h"
#include "net/tcp_internal.h"

namespace tolvane {

namespace {

constexpr int R_CLOSED = 0;
constexpr int R_AGAIN = -1;
constexpr int R_ERROR = -3;

// A read whose peer has kept it waiting this long hands the thread's held trace lines
// out (once per read) rather than keeping them until the dialogue ends.
constexpr long TRACE_FLUSH_MS = 1000;

bool would_block(int err) {
    return err == EAGAIN || err == EWOULDBLOCK || err == EINTR || err == ENOTCONN ||
           err == EINPROGRESS;
}

// ---- traffic log ----

void traffic_log(const char* what, const char* data, int len) {
    TcpLockHold hold(0);
    struct stat st {};
    if (::stat("tcp.log", &st) == 0 && st.st_size > 5000000) std::rename("tcp.log", "tcp2.log");
    std::FILE* f = std::fopen("tcp.log", "a");
    if (!f) return;
    for (int at = 0; at < len; at += 100) {
        int n = std::min(100, len - at);
        std::string piece;
        for (int i = 0; i < n; ++i) {
            auto ch = static_cast<unsigned char>(data[at + i]);
            if (ch == 0) {
                piece += "\\_";
            } else if (ch < 32) {
                piece += '\\';
                piece += static_cast<char>(ch + 96);
            } else {
                piece += static_cast<char>(ch);
            }
        }
        std::fprintf(f, "tcp_%s: [%d] %s\n", what, n, piece.c_str());
    }
    std::fclose(f);
}

// ---- one transfer without waiting ----

// >0 bytes, R_CLOSED when the peer closed, R_AGAIN when nothing is there yet, R_ERROR
// (xerrno set) on a real failure.
int recv_now(CHAN* c, char* buf, int len) {
    if (c->ssl) {
        if (c->block) tcp_setblock(c, 0);
        int n = c->ssl->read(*c, buf, len);
        if (n > 0) return n;
        if (n < 0 || c->ssl->wouldblock()) return R_AGAIN;
        c->xerrno = -1;
        return R_CLOSED;
    }
    ssize_t n = ::recv(c->sk, buf, static_cast<std::size_t>(len), MSG_DONTWAIT);
    if (n > 0) return static_cast<int>(n);
    if (n == 0) {
        c->xerrno = -1;
        return R_CLOSED;
    }
    if (would_block(errno)) return R_AGAIN;
    c->xerrno = errno;
    return R_ERROR;
}

int send_now(CHAN* c, const char* data, int len) {
    if (c->ssl) {
        if (c->block) tcp_setblock(c, 0);
        int n = c->ssl->write(*c, data, len);
        if (n > 0) return n;
        if (n < 0 || c->ssl->wouldblock()) return R_AGAIN;
        c->xerrno = -1;
        return R_ERROR;
    }
    ssize_t n = ::send(c->sk, data, static_cast<std::size_t>(len), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) return static_cast<int>(n);
    if (n < 0 && would_block(errno)) return R_AGAIN;
    c->xerrno = n == 0 ? -1 : errno;
    return R_ERROR;
}

constexpr int R_TIMEOUT = -4;
constexpr int R_STOP = -5;

// The receive time-out a blocking wait of `left` ms sets: the one the socket has is kept
// while it ends no later than a little after the deadline and no sooner than half way to
// it (or than TRACE_FLUSH_MS), so that consecutive reads with about the same time left
// cost no setsockopt each; a wait that ends early is simply taken up again.
bool set_receive_limit(CHAN* c, long left) {
    const long slack = std::min<long>(100, left / 10);
    if (c->rcv_timeo_ms > 0 && c->rcv_timeo_ms <= left + slack &&
        c->rcv_timeo_ms >= std::min(left / 2, TRACE_FLUSH_MS))
        return true;
    const long ms = std::max<long>(left, 1);
    timeval tv{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>((ms % 1000) * 1000)};
    if (::setsockopt(c->sk, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) return false;
    c->rcv_timeo_ms = static_cast<int>(std::min<long>(ms, INT32_MAX));
    return true;
}

// A plain blocking socket waits in the receive itself, at most `left` ms: one system call
// per read, where a receive that finds nothing, a poll and a receive again would be three.
// A stop still ends it at once: tcp_close_now and the process-wide stop shut the socket
// down, which ends the receive as if the peer had closed. Bytes, R_CLOSED, R_ERROR,
// R_TIMEOUT, R_STOP, or R_AGAIN when this way is not open (the caller polls instead).
int recv_blocking(CHAN* c, char* buf, int len, long left) {
    if (c->ssl || !c->block || c->sk < 0 || c->in_close) return R_AGAIN;
    tcp_wake_publish(c, c->sk);
    if (!set_receive_limit(c, left)) return R_AGAIN;
    if (!tcp_blocked_enter(c)) return R_STOP;
    ssize_t n = ::recv(c->sk, buf, static_cast<std::size_t>(len), 0);
    const int err = errno;
    tcp_blocked_leave(c);
    if (n > 0) return static_cast<int>(n);
    if (tcp_stop_requested(c)) return R_STOP;
    if (n == 0) {
        c->xerrno = -1;
        return R_CLOSED;
    }
    if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR) return R_TIMEOUT;
    if (would_block(err)) return R_AGAIN;
    c->xerrno = err;
    return R_ERROR;
}

// ms, or less when the channel's stream has a deadline of its own that comes sooner.
long stream_cap(const CHAN* c, long ms) {
    long limit = c->ssl ? c->ssl->wait_limit_ms() : -1;
    return limit >= 0 && limit < ms ? limit : ms;
}

// Waits for readability for at most ms; 1 ready (data, end or error to collect), 0 not
// yet, -1 the wait itself failed, TCP_WAIT_STOP on a stop.
int wait_readable(CHAN* c, long ms) {
    if (c->ssl && c->ssl->pending()) return 1;
    return tcp_wait_or_stop(c, c->sk, POLLIN | POLLPRI, static_cast<int>(ms));
}

// A stop ends the channel as if the peer had gone: closed, xerrno -1.
int stopped(CHAN* c) {
    tcp_report("Fake channel close for tcp_set_exit");
    c->xerrno = -1;
    tcp_close_nice(c);
    return 0;
}

// A stream is driven in non-blocking mode; the channel's own mode comes back afterwards.
class StreamMode {
  public:
    explicit StreamMode(CHAN* c) : c_(c), was_(c->block) {}
    ~StreamMode() {
        if (c_->ssl && c_->sk >= 0 && c_->block != was_) tcp_setblock(c_, was_);
    }
    StreamMode(const StreamMode&) = delete;
    StreamMode& operator=(const StreamMode&) = delete;

  private:
    CHAN* c_;
    int was_;
};

// Reads what arrives within ms: bytes, 0 when closed or failed (the channel is then
// closed), -2 on time-out. Gives up at once, closing, on the process-wide stop or
// close_now. `who` names the caller in reports (null: no reports).
int read_within(CHAN* c, char* buf, int len, int ms, const char* who) {
    StreamMode mode(c);
    long started = tcp_now_ms();
    long deadline = started + std::max(ms, 0);
    bool flushed = false;
    for (;;) {
        if (tcp_stop_requested(c)) return stopped(c);
        // Held trace lines go out once the read has waited TRACE_FLUSH_MS: until then a
        // thread that holds some waits no longer than that.
        const long to_go = deadline - tcp_now_ms();
        const bool holding = !flushed && trace_holding();
        int n = to_go > 0
                    ? recv_blocking(c, buf, len, holding ? std::min(to_go, TRACE_FLUSH_MS) : to_go)
                    : R_TIMEOUT;
        if (n == R_STOP) return stopped(c);
        if (n == R_TIMEOUT) {
            if (holding && to_go >= TRACE_FLUSH_MS) {
                trace_write_held();
                flushed = true;
            }
            if (deadline - tcp_now_ms() > 0) continue;  // woke before the deadline
            c->erradd = strprintf("after %ld seconds", (tcp_now_ms() - started) / 1000);
            return -2;
        }
        if (n == R_AGAIN) n = recv_now(c, buf, len);
        if (n > 0) {
            c->total_read += n;
            if (c->log_read) traffic_log("read", buf, n);
            return n;
        }
        if (n == R_CLOSED || n == R_ERROR) {
            // A socket shut down by tcp_close_now reads as closed: that is the stop.
            if (tcp_stop_requested(c)) return stopped(c);
            if (who && n == R_CLOSED) {
                tcp_report("%s: socket closed normally by remote end", who);
            } else if (who) {
                tcp_report("%s: Not a blocking error so something really wrong %s", who,
                           tcp_error(c).c_str());
            }
            c->erradd = "CloseOnRead";
            tcp_close_nice(c);
            return 0;
        }
        long left = deadline - tcp_now_ms();
        if (left <= 0) {
            c->erradd = strprintf("after %ld seconds", (tcp_now_ms() - started) / 1000);
            return -2;
        }
        // The first wait ends after TRACE_FLUSH_MS so that a quiet peer gets this thread's
        // held trace out; the next one takes all the time left.
        long wait = stream_cap(c, flushed ? left : std::min(left, TRACE_FLUSH_MS));
        int ready = wait_readable(c, wait);
        if (ready == TCP_WAIT_STOP) return stopped(c);
        if (ready == 0 && !flushed && wait >= TRACE_FLUSH_MS) {
            trace_write_held();
            flushed = true;
        }
        if (ready < 0) {
            c->xerrno = errno;
            tcp_report("tcp_waitfor error so closing socket %d %s", c->sk,
                       system_error(errno).c_str());
            c->erradd = "open check2";
            tcp_close_nice(c);
            return 0;
        }
    }
}

// Makes the input buffer at least size bytes, keeping the unread bytes.
void grow_inbf(CHAN* c, std::size_t size) {
    if (c->inbf.size() >= size) return;
    std::vector<char> bigger = tcp_bf_get(size);
    int unread = c->inlen - c->inupto;
    if (unread > 0) std::memcpy(bigger.data(), c->inbf.data() + c->inupto, unread);
    tcp_bf_free(std::move(c->inbf));
    c->inbf = std::move(bigger);
    c->inupto = 0;
    c->inlen = std::max(unread, 0);
}

void hand_out(std::string& out, const char* data, std::size_t n) {
    out.assign(data, n);
    // The line reader's callers work with C-like texts: a NUL would cut their line short.
    std::replace(out.begin(), out.end(), '\0', ' ');
}

}  // namespace

// ---- reading ----

int tcp_readline(CHAN* c, std::string& out, int len) {
    out.clear();
    if (!c) return 0;
    if (len < 1) len = 1;
    std::size_t keep = static_cast<std::size_t>(len - 1);
    int limit = c->read_timeout > 0 ? c->read_timeout : TCP_READ_TIMEOUT;
    grow_inbf(c, std::max<std::size_t>(static_cast<std::size_t>(len), TCP_INBUF));
    const int cap = static_cast<int>(c->inbf.size());
    c->lastcut = 0;
    long started = tcp_now_ms();
    for (;;) {
        char* base = c->inbf.data();
        int unread = c->inlen - c->inupto;
        if (unread > 0) {
            char* from = base + c->inupto;
            auto* lf =
                static_cast<char*>(std::memchr(from, '\n', static_cast<std::size_t>(unread)));
            if (lf) {
                std::size_t n = static_cast<std::size_t>(lf - from);
                if (c->inskip) {
                    // The end of an over-long line: its first part is the line.
                    out.swap(c->skiphead);
                    c->skiphead.clear();
                    c->inskip = 0;
                    c->lastcut = 1;
                } else {
                    if (n > 0 && from[n - 1] == '\r') --n;
                    if (n > keep) {
                        n = keep;
                        c->lastcut = 1;
                    }
                    hand_out(out, from, n);
                }
                c->inupto = static_cast<int>(lf - base) + 1;
                if (c->inupto >= c->inlen) c->inupto = c->inlen = 0;
                return 1;
            }
        }
        if (c->sk < 0) {
            c->xerrno = -1;
            return 0;
        }
        // No line end yet: make room at the end of the buffer.
        if (c->inupto > 0) {
            if (unread > 0) std::memmove(base, base + c->inupto, static_cast<std::size_t>(unread));
            c->inupto = 0;
            c->inlen = std::max(unread, 0);
        }
        if (c->inlen >= cap) {
            // A line longer than the buffer: keep its first part, skip on to its line end,
            // so that the next line read is the peer's next line.
            if (!c->inskip) {
                tcp_report("No end of line in input buffer inupto=%d inlen=%d maxinbf=%d max=%d",
                           c->inupto, c->inlen, cap, len);
                std::size_t n = std::min<std::size_t>(keep, static_cast<std::size_t>(c->inlen));
                hand_out(c->skiphead, base, n);
                c->inskip = 1;
            }
            c->inupto = c->inlen = 0;
        }
        long left = limit - (tcp_now_ms() - started);
        if (left <= 0) {
            c->erradd = strprintf("after %ld seconds", (tcp_now_ms() - started) / 1000);
            return 0;
        }
        int n = read_within(c, base + c->inlen, cap - c->inlen, static_cast<int>(left), nullptr);
        if (n <= 0) {
            if (n == -2) {
                c->erradd = strprintf("after %ld seconds", (tcp_now_ms() - started) / 1000);
            }
            return 0;
        }
        if (c->fixnulls) std::replace(base + c->inlen, base + c->inlen + n, '\0', 'N');
        c->inlen += n;
    }
}

int tcp_read(CHAN* c, char* buf, int len) {
    if (!c) return 0;
    if (c->sk < 0) {
        c->xerrno = -1;
        return 0;
    }
    if (len <= 0) return 0;
    int n;
    if (c->ssl) {
        n = c->ssl->read(*c, buf, len);
        if (n <= 0 && c->block && tcp_stop_requested(c)) {
            stopped(c);
            c->xerrno = ECANCELED;
            return -1;
        }
        if (n == 0) c->xerrno = -1;
    } else {
        ssize_t r;
        // A blocking channel waits in poll(), not in the receive, so that a stop ends it.
        bool stop = false;
        for (;;) {
            if (c->block && tcp_stop_requested(c)) {
                stop = true;
                break;
            }
            r = ::recv(c->sk, buf, static_cast<std::size_t>(len), MSG_DONTWAIT);
            if (r > 0 || !c->block) break;
            if (r == 0 || !would_block(errno)) {
                // A socket shut down by tcp_close_now reads as closed: that is the stop.
                stop = tcp_stop_requested(c);
                break;
            }
            int w = tcp_wait_or_stop(c, c->sk, POLLIN | POLLPRI, -1);
            if (w == TCP_WAIT_STOP) {
                stop = true;
                break;
            }
            if (w < 0) {
                r = -1;
                break;
            }
        }
        if (stop) {
            stopped(c);
            c->xerrno = ECANCELED;
            return -1;
        }
        n = static_cast<int>(r);
        if (r == 0) c->xerrno = -1;
        if (r < 0) c->xerrno = errno;
    }
    if (n > 0) {
        c->total_read += n;
        if (c->log_read) traffic_log("read", buf, n);
    }
    return n;
}

int tcp_read_timed(CHAN* c, char* buf, int len, int ms) {
    if (!c) return -1;
    if (len <= 0) return 0;
    int unread = c->inlen - c->inupto;
    if (unread > 0) {
        int n = std::min(unread, len);
        std::memcpy(buf, c->inbf.data() + c->inupto, static_cast<std::size_t>(n));
        c->inupto += n;
        if (c->inupto >= c->inlen) c->inupto = c->inlen = 0;
        return n;
    }
    if (c->sk < 0) return -1;
    return read_within(c, buf, len, ms, "tcp_read_timed");
}

void tcp_release_input_buffer(CHAN* c) {
    if (!c || c->inlen > c->inupto) return;
    tcp_bf_free(std::move(c->inbf));
    c->inbf = std::vector<char>();
    c->inupto = c->inlen = 0;
}

// ---- writing ----

int tcp_write(CHAN* c, const char* data, int len) {
    if (!c || len <= 0) return 0;
    if (c->out_fn) return c->out_fn(data, len);
    if (c->sk < 0) {
        c->xerrno = -1;
        return 0;
    }
    if (c->isbuffer) return tcp_buffer_add(c, data, len);
    int n;
    if (c->ssl) {
        n = c->ssl->write(*c, data, len);
    } else {
        ssize_t r;
        do {
            r = ::send(c->sk, data, static_cast<std::size_t>(len), MSG_NOSIGNAL);
        } while (r < 0 && errno == EINTR);
        n = static_cast<int>(r);
        if (r < 0) c->xerrno = errno;
    }
    if (n > 0) {
        c->total_sent += n;
        if (c->log_write) traffic_log("write", data, n);
    }
    return n;
}

namespace {

// True (reported) when a stop is asking the write to give up.
bool write_stopped(CHAN* c) {
    if (tcp_exiting()) {
        tcp_report("tcp: Closing channel on write due to shutdown");
        return true;
    }
    if (c->close_now) {
        tcp_report("tcp: Closing channel on write due to close_now setting");
        return true;
    }
    return false;
}

// Waits until the socket takes more data. 1 writable, 0 stop (reported), -1 stop with the
// channel closed.
int wait_writable(CHAN* c, long last_progress, int ms) {
    for (;;) {
        if (write_stopped(c)) return 0;
        long idle = tcp_now_ms() - last_progress;
        if (idle > ms) {
            tcp_report("Closing as timeout on write %d %ld seconds", c->sk, idle / 1000);
            return 0;
        }
        short got = 0;
        int r = tcp_wait_or_stop(c, c->sk, POLLOUT, static_cast<int>(stream_cap(c, ms - idle + 1)),
                                 &got);
        if (r == -1) {
            c->xerrno = errno;
            tcp_report("Closing as error on tcp_wait_write %d", errno);
            tcp_close_nice(c);
            return -1;
        }
        if (r <= 0) continue;  // time-out or stop: said above
        if (got & (POLLERR | POLLNVAL)) {
            int err = 0;
            socklen_t elen = sizeof err;
            getsockopt(c->sk, SOL_SOCKET, SO_ERROR, &err, &elen);
            c->xerrno = err ? err : -1;
            c->erradd = "writeopencheck";
            tcp_close_nice(c);
            return -1;
        }
        return 1;
    }
}

}  // namespace

int tcp_write_timed(CHAN* c, const char* data, int len, int ms) {
    if (!c || len <= 0) return 0;
    if (c->out_fn) return c->out_fn(data, len);
    if (c->sk < 0 || c->xerrno == -1 || c->close_now) return 0;
    if (c->isbuffer) return tcp_buffer_add(c, data, len);
    if (ms <= 0) ms = TCP_WRITE_TIMEOUT;
    StreamMode mode(c);
    long started = tcp_now_ms();
    long last = started;
    int sent = 0;
    while (sent < len) {
        int n = send_now(c, data + sent, len - sent);
        if (n > 0) {
            if (c->log_write) traffic_log("write", data + sent, n);
            sent += n;
            c->total_sent += n;
            last = tcp_now_ms();
            continue;
        }
        if (n == R_ERROR) {
            // A socket shut down by tcp_close_now fails the send: that is the stop.
            if (write_stopped(c)) break;
            tcp_report("Closing as error on socket_write %d %s %p %d %d", c->xerrno,
                       tcp_error(c).c_str(), static_cast<void*>(c), sent, len);
            tcp_close_nice(c);
            break;
        }
        if (c->mean) break;
        if (wait_writable(c, last, ms) <= 0) break;
    }
    long waited = (tcp_now_ms() - started) / 1000;
    if (sent == 0) {
        tcp_report("Unable to send any data upto=0 len=%d, waited %ld (%d) seconds", len, waited,
                   ms / 1000);
    } else if (sent < len && tcp_now_ms() - last > 10000) {
        tcp_report("tcp: Slow write %ld (%d) seconds, %d/%d bytes sent", waited, ms / 1000, sent,
                   len);
    }
    return sent;
}

int tcp_printf(CHAN* c, const char* fmt, ...) {
    if (!c || (c->sk < 0 && !c->out_fn)) return 0;
    va_list ap;
    va_start(ap, fmt);
    std::string text = vstrprintf(TCP_PRINTF_MAX, fmt, ap);
    va_end(ap);
    if (text.empty()) return 1;
    if (tcp_debugging()) tcp_report("tcp_printf --> %.90s", text.c_str());
    int len = static_cast<int>(text.size());
    int sent = tcp_write_timed(c, text.data(), len,
                               c->write_timeout > 0 ? c->write_timeout : TCP_WRITE_TIMEOUT);
    if (sent != len) {
        tcp_report("tcp_printf: failed only %d sent %s", sent, tcp_error(c).c_str());
        tcp_close_nice(c);
        return 0;
    }
    return 1;
}

// ---- output buffering ----

int tcp_buffer_set(CHAN* c, int on) {
    if (!c) return 0;
    if (on) {
        c->isbuffer = 1;
        return 1;
    }
    int ok = tcp_buffer_flush(c);
    c->isbuffer = 0;
    return ok;
}

int tcp_buffer_flush(CHAN* c) {
    if (!c) return 0;
    if (c->buffer.empty()) return 1;
    std::string pending;
    pending.swap(c->buffer);
    int was = c->isbuffer;
    c->isbuffer = 0;
    int len = static_cast<int>(pending.size());
    int sent = tcp_write_timed(c, pending.data(), len,
                               c->write_timeout > 0 ? c->write_timeout : TCP_WRITE_TIMEOUT);
    c->isbuffer = was;
    return sent == len ? 1 : 0;
}

int tcp_buffer_add(CHAN* c, const char* data, int len) {
    if (!c || len <= 0) return 0;
    c->buffer.append(data, static_cast<std::size_t>(len));
    return len;
}

}  // namespace tolvane
