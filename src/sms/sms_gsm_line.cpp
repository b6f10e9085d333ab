// The GSM modem line layer: the reader thread, taking lines and raw bytes out of
// the input buffer, writing commands, classifying replies, the dialogue log.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <optional>

#include "foundation/lib.h"
#include "foundation/log.h"
#include "sms/sms_gsm_impl.h"

namespace tolvane {

namespace {

bool unsolicited(std::string_view line) {
    return line == "RING" || line.starts_with("+CRING:") || line.starts_with("+CLIP:") ||
           line.starts_with("+CMTI:");
}

// Runs scan over the input buffer (under lock_buffer) until it gives a result; between
// scans waits for the reader to append (or end, or a stop). Nothing when
// the deadline passes, the reader has ended (it brings nothing more: no use waiting
// out the time) or the state is being freed.
template <class Scan>
std::optional<int> scan_buffer(sms_data_gsm* gsm, std::chrono::steady_clock::time_point deadline,
                               Scan&& scan) {
    for (;;) {
        unsigned long seen;
        {
            std::lock_guard<std::mutex> l(gsm->arrived_lock);
            seen = gsm->arrivals;
        }
        {
            MutexHold hold(gsm->lock_buffer.get());
            if (std::optional<int> r = scan(gsm->buffer)) return r;
        }
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline || !gsm->reader_running || gsm->stopping || gsm->cutting)
            return std::nullopt;
        std::unique_lock<std::mutex> l(gsm->arrived_lock);
        gsm->arrived.wait_until(l, deadline, [&] {
            return gsm->arrivals != seen || !gsm->reader_running || gsm->stopping || gsm->cutting;
        });
    }
}

// Whole lines at the front are dropped until the buffer is back to half its bound; a
// line still arriving at the end is kept unless it alone is past the bound.
void bound_buffer(std::string& buffer, const std::string& endl) {
    if (buffer.size() <= GSM_BUFFER_MAX) return;
    std::size_t cut_at = 0;
    while (buffer.size() - cut_at > GSM_BUFFER_MAX / 2) {
        std::size_t e = buffer.find(endl, cut_at);
        if (e == std::string::npos) break;
        cut_at = e + endl.size();
    }
    if (buffer.size() - cut_at > GSM_BUFFER_MAX) cut_at = buffer.size() - GSM_BUFFER_MAX / 2;
    emsg("Modem input buffer past %zu bytes, dropped %zu bytes of old input", GSM_BUFFER_MAX,
         cut_at);
    buffer.erase(0, cut_at);
}

// Wakes the reader's poll() (the eventfd outlives the reader: gsm_reader_stop closes it
// after the join).
void wake_reader(int fd) {
    if (fd < 0) return;
    std::uint64_t one = 1;
    // Only fails when the counter is full, which wakes the reader just the same.
    (void)!::write(fd, &one, sizeof one);
}

void reader_main(std::stop_token stop, sms_data_gsm* gsm) {
    imsg("th_reader: %d", th_id());
    std::stop_callback wake(stop, [fd = gsm->reader_wake] { wake_reader(fd); });
    std::string chunk(GSM_READ_CHUNK, '\0');
    while (!stop.stop_requested() && !gsm->stopping) {
        long n = com_read(gsm->com.get(), chunk.data(), chunk.size());
        if (n < 0) {
            // The device went away (unplugged: EIO, ENXIO, ENODEV; or hung up): the
            // watcher looks for it again.
            int e = errno;
            emsg("Error reading from com, %d:%s", e, system_error(e).c_str());
            gsm_device_lost(gsm, e);
            break;
        }
        if (n == 0) {
            // Input or a stop's wake, whichever comes first.
            pollfd p[2] = {{gsm->com ? gsm->com->f : -1, POLLIN, 0}, {gsm->reader_wake, POLLIN, 0}};
            if (p[0].fd < 0 || ::poll(p, 2, -1) < 0) lib_msleep(GSM_POLL_MS);
            continue;
        }
        {
            MutexHold hold(gsm->lock_buffer.get());
            gsm->buffer.append(chunk.data(), static_cast<std::size_t>(n));
            bound_buffer(gsm->buffer, gsm->r_endl);
        }
        {
            std::lock_guard<std::mutex> l(gsm->arrived_lock);
            ++gsm->arrivals;
        }
        gsm->arrived.notify_all();
    }
    imsg("th_reader: exiting");
    {
        std::lock_guard<std::mutex> l(gsm->arrived_lock);
        gsm->reader_running = false;
    }
    gsm->arrived.notify_all();
}

}  // namespace

sms_data_gsm::~sms_data_gsm() {
    // Reads give up at once from here on, so that a watcher round waiting for a silent
    // modem does not hold the shutdown for a reply time.
    {
        std::lock_guard<std::mutex> l(arrived_lock);
        stopping = true;
    }
    arrived.notify_all();
    gsm_watch_stop(this);
    gsm_reader_stop(this);
    com_free(com);
    stored.clear();
}

void gsm_reader_start(sms_data_gsm* gsm) {
    // stopping is left as it is: a reader started again for a device that came back
    // while the state is being freed ends at once.
    gsm->reader_running = true;
    if (gsm->reader_wake < 0) gsm->reader_wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    gsm->reader = std::jthread(reader_main, gsm);
}

void gsm_reader_stop(sms_data_gsm* gsm) {
    {
        std::lock_guard<std::mutex> l(gsm->arrived_lock);
        gsm->stopping = true;
    }
    gsm->arrived.notify_all();
    // The reader's stop callback wakes its poll(); a reader that ended on its own (the
    // device was lost) is only joined.
    gsm->reader.request_stop();
    if (gsm->reader.joinable()) gsm->reader.join();
    if (gsm->reader_wake >= 0) {
        ::close(gsm->reader_wake);
        gsm->reader_wake = -1;
    }
}

std::string gsm_printable(std::string_view bytes, std::size_t max) {
    std::string out;
    for (unsigned char c : bytes) {
        if (out.size() >= max) {
            out += "...";
            break;
        }
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < 32 || c == 127) {
            out += strprintf("\\x%02x", c);
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

void gsm_log(sms_data_gsm* gsm, const char* format, ...) {
    if (gsm == nullptr || !gsm->flog) return;
    va_list ap;
    va_start(ap, format);
    std::string text = vstrprintf(TEXT_MAX, format, ap);
    va_end(ap);
    trace_write(*gsm->flog,
                strnprintf(TEXT_MAX + 32, "%.15s %s\n", com_stamp().c_str(), text.c_str()));
}

int gsm_write_raw(sms_data_gsm* gsm, int& errcode, std::string_view bytes) {
    long n = com_write(gsm->com.get(), bytes.data(), bytes.size());
    gsm_log(gsm, "WRITE[%.*s]", static_cast<int>(bytes.size()), bytes.data());
    if (n != static_cast<long>(bytes.size())) {
        emsg("Short write to the modem, %ld of %zu bytes", n, bytes.size());
        errcode = GSM_ERR_WRITE;
        return 0;
    }
    return 1;
}

int gsm_write(sms_data_gsm* gsm, int& errcode, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    std::string text = vstrprintf(TEXT_MAX, format, ap);
    va_end(ap);
    long n = com_write(gsm->com.get(), text.data(), text.size());
    std::string_view shown = text;
    while (!shown.empty() && (shown.back() == '\r' || shown.back() == '\n')) shown.remove_suffix(1);
    gsm_log(gsm, "WRITE[%.*s]", static_cast<int>(shown.size()), shown.data());
    gsm->last_command = gsm_printable(shown);
    gsm->last_reply.clear();
    if (n != static_cast<long>(text.size())) {
        emsg("Short write to the modem, %ld of %zu bytes", n, text.size());
        errcode = GSM_ERR_WRITE;
        return 0;
    }
    return 1;
}

namespace {

// Where in the buffer the piece a read wants lies: a whole line (an answer, or an
// unsolicited one for an incoming read), or raw bytes. start is npos while there is none.
struct buffer_piece {
    std::size_t start = std::string::npos;
    std::size_t len = 0;
    bool is_line = false;
};

// Looks through the buffer b for what a read of this type wants, dropping on the way
// the blank lines and the lines nobody asked for that the type says to drop.
buffer_piece find_piece(sms_data_gsm* gsm, std::string& b, int type, std::size_t bfsz) {
    const bool incoming = (type & GRL_INCOMING) != 0;
    const bool raw = (type & GRL_RAW) != 0;
    const std::string& endl = gsm->r_endl;
    buffer_piece got;
    auto take_line = [&](std::size_t pos, std::size_t e) {
        got.start = pos;
        got.len = e + endl.size() - pos;
        got.is_line = true;
    };
    std::size_t pos = 0;
    for (;;) {
        std::size_t e = b.find(endl, pos);
        if (e == std::string::npos) break;
        std::string_view line(b.data() + pos, e - pos);
        if ((type & GRL_SKIP_BLANK) && line.empty()) {
            b.erase(pos, endl.size());
            continue;
        }
        if (line == "^SYSSTART" && !incoming && !raw) {
            pos = e + endl.size();
            continue;
        }
        if (unsolicited(line)) {
            if (incoming) {
                take_line(pos, e);
                break;
            }
            pos = e + endl.size();
            continue;
        }
        if (incoming && (type & GRL_DISCARD)) {
            if (!line.empty())
                imsg("Dropping a line no dialogue asked for (%s)", gsm_printable(line).c_str());
            b.erase(pos, e + endl.size() - pos);
            continue;
        }
        if (!incoming && !raw) {
            take_line(pos, e);
            break;
        }
        // A prompt is awaited: blank lines before it (around a ring, say) are
        // passed over, and a whole reply line that came instead (an error
        // reply, usually) is handed over rather than waiting out the time.
        if (raw && (type & GRL_EXPECT_GT) && line.empty()) {
            pos = e + endl.size();
            continue;
        }
        if (raw && (type & GRL_EXPECT_GT) && !line.starts_with(">")) take_line(pos, e);
        break;
    }
    if (got.start == std::string::npos && raw && b.size() >= pos + bfsz &&
        (!(type & GRL_EXPECT_GT) || b[pos] == '>')) {
        got.start = pos;
        got.len = bfsz;
        gsm_log(gsm, "RAW  [%.*s]", static_cast<int>(got.len), b.data() + pos);
    }
    return got;
}

// A read that timed out, told with what the buffer holds.
void read_timed_out(sms_data_gsm* gsm, int& errcode, int type, long timeout,
                    std::chrono::steady_clock::time_point start) {
    long waited = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now() - start)
                                        .count());
    std::string content;
    std::size_t bytes;
    {
        MutexHold hold(gsm->lock_buffer.get());
        content = gsm_printable(gsm->buffer);
        bytes = gsm->buffer.size();
    }
    emsg("gsm_read_raw[%d]: timeout %ld > %ld, %zu bytes (%s)", type, waited, timeout, bytes,
         content.c_str());
    errcode = GSM_ERR_TIMEOUT;
    gsm->last_reply.clear();
    gsm->answering = false;
}

}  // namespace

int gsm_read_raw(sms_data_gsm* gsm, int& errcode, int type, long timeout, std::string& bf,
                 std::size_t bfsz) {
    bf.clear();
    if (bfsz == 0) return 0;
    const bool incoming = (type & GRL_INCOMING) != 0;
    const bool raw = (type & GRL_RAW) != 0;
    auto start = std::chrono::steady_clock::now();
    auto deadline = start + std::chrono::milliseconds(timeout);
    std::optional<int> got = scan_buffer(gsm, deadline, [&](std::string& b) -> std::optional<int> {
        buffer_piece p = find_piece(gsm, b, type, bfsz);
        if (p.start == std::string::npos) return std::nullopt;
        std::size_t limit = !p.is_line ? p.len : raw ? GSM_LINE_MAX : bfsz;
        bf.assign(b, p.start, std::min(p.len, limit));
        b.erase(p.start, p.len);
        return static_cast<int>(bf.size());
    });
    if (got) return *got;
    if (!incoming && !(type & GRL_QUIET)) read_timed_out(gsm, errcode, type, timeout, start);
    return 0;
}

int gsm_read_line(sms_data_gsm* gsm, int& errcode, int type, long timeout, std::string& bf,
                  std::size_t bfsz) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
    long left = timeout;
    for (;;) {
        if (gsm_read_raw(gsm, errcode, type, left, bf, bfsz) == 0) return -1;
        while (!bf.empty() && (bf.back() == '\r' || bf.back() == '\n' || bf.back() == '\0'))
            bf.pop_back();
        gsm_log(gsm, "READ%d[%.*s]", type, static_cast<int>(bf.size()), bf.data());
        if (!(type & GRL_INCOMING)) {
            gsm->last_reply = gsm_printable(bf);
            gsm->answering = true;
        }
        if (type & GRL_INCOMING) {
            bool ring = bf == "RING" || bf.starts_with("+CRING:");
            if (ring || bf.starts_with("+CLIP:")) {
                if (ring) {
                    imsg("Incoming call (%s), hanging up", bf.c_str());
                    int ignored = 0;
                    gsm_clear_ring(gsm, ignored);
                }
                left = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                             deadline - std::chrono::steady_clock::now())
                                             .count());
                if (left <= 0) {
                    bf.clear();
                    return -1;
                }
                continue;
            }
        }
        return static_cast<int>(bf.size());
    }
}

int gsm_iserrorx(std::string_view line, int& errcode, int& iscme) {
    errcode = 0;
    iscme = 0;
    auto number = [](std::string_view rest) {
        std::string n(strtrm(rest));
        return s_atoi(n.c_str());
    };
    if (line.starts_with("+CMS ERROR:")) {
        errcode = number(line.substr(11)) + 1;
        return 1;
    }
    if (line.starts_with("+CME ERROR:")) {
        errcode = number(line.substr(11)) + 1;
        iscme = 1;
        return 1;
    }
    if (line == "ERROR") {
        errcode = GSM_ERR_ERROR;
        return 1;
    }
    return 0;
}

int gsm_iserror(std::string_view line, int& errcode) {
    int iscme = 0;
    return gsm_iserrorx(line, errcode, iscme);
}

int gsm_clear_ring(sms_data_gsm* gsm, int& errcode) {
    if (!gsm_write(gsm, errcode, "ATH0%s", gsm->w_endl.c_str())) return 0;
    std::string line;
    return gsm_read_line(gsm, errcode, GRL_SKIP_BLANK, gsm->reply_ms, line) < 0 ? 0 : 1;
}

int gsm_expect(sms_data_gsm* gsm, int& errcode, std::string& line) {
    if (gsm_read_line(gsm, errcode, GRL_SKIP_BLANK, gsm->reply_ms, line) < 0) return 0;
    return gsm_iserror(line, errcode) ? 0 : 1;
}

int gsm_read_ok(sms_data_gsm* gsm, int& errcode) {
    std::string line;
    return gsm_read_line(gsm, errcode, GRL_SKIP_BLANK, gsm->reply_ms, line) < 0 ? 0 : 1;
}

int gsm_classify(sms_data_gsm* gsm, int& errcode) {
    std::string line;
    if (gsm_read_line(gsm, errcode, GRL_SKIP_BLANK, gsm->reply_ms, line) < 0) return errcode;
    gsm_iserror(line, errcode);
    return errcode;
}

namespace {

// Removes whole lines no dialogue took; true when what is left after them begins with
// a prompt (which is removed too). Called with lock_buffer held.
bool drop_stale_lines(std::string& b, const std::string& endl) {
    std::size_t pos = 0;
    for (;;) {
        std::size_t e = b.find(endl, pos);
        if (e == std::string::npos) break;
        std::string_view line(b.data() + pos, e - pos);
        if (unsolicited(line)) {
            pos = e + endl.size();
            continue;
        }
        if (!line.empty()) imsg("Dropping a late line (%s)", gsm_printable(line).c_str());
        b.erase(pos, e + endl.size() - pos);
    }
    if (pos < b.size() && b[pos] == '>') {
        b.erase(pos);
        return true;
    }
    return false;
}

}  // namespace

void gsm_drop_stale(sms_data_gsm* gsm) {
    bool prompt;
    {
        MutexHold hold(gsm->lock_buffer.get());
        prompt = drop_stale_lines(gsm->buffer, gsm->r_endl);
    }
    if (prompt) {
        emsg("The modem is still waiting for the text of an earlier message: ending that");
        gsm_end_text_entry(gsm);
        MutexHold hold(gsm->lock_buffer.get());
        drop_stale_lines(gsm->buffer, gsm->r_endl);
    }
}

bool gsm_is_final(std::string_view line) {
    int ignored = 0;
    return line == "OK" || gsm_iserror(line, ignored);
}

int gsm_wait_prompt(sms_data_gsm* gsm, int& errcode, long timeout) {
    const std::string& endl = gsm->r_endl;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
    std::optional<int> got = scan_buffer(gsm, deadline, [&](std::string& b) -> std::optional<int> {
        std::size_t pos = 0;
        for (;;) {
            std::size_t e = b.find(endl, pos);
            if (e == std::string::npos) {
                // The prompt has no line end of its own.
                if (b.size() >= pos + 2 && b.compare(pos, 2, "> ") == 0) {
                    gsm_log(gsm, "RAW  [> ]");
                    b.erase(pos, 2);
                    return 1;
                }
                break;
            }
            std::string line = b.substr(pos, e - pos);
            if (line.empty()) {
                b.erase(pos, endl.size());
                continue;
            }
            if (unsolicited(line)) {  // left for the indication wait
                pos = e + endl.size();
                continue;
            }
            b.erase(pos, e + endl.size() - pos);
            gsm_log(gsm, "READ%d[%s]", GRL_EXPECT_GT, line.c_str());
            if (line.starts_with(">")) return 1;  // a prompt the modem ended a line after
            gsm->last_reply = gsm_printable(line);
            if (gsm_iserror(line, errcode)) return 0;
            if (line == "OK") {
                emsg("The modem answered OK instead of the prompt");
                errcode = GSM_ERR_UNEXPECTED;
                return 0;
            }
            imsg("Passing over a line before the prompt (%s)", gsm_printable(line).c_str());
        }
        return std::nullopt;
    });
    if (got) return *got;
    std::string content;
    {
        MutexHold hold(gsm->lock_buffer.get());
        content = gsm_printable(gsm->buffer);
    }
    emsg("No prompt within %ld ms (%s)", timeout, content.c_str());
    gsm->last_reply.clear();
    gsm->answering = false;
    errcode = GSM_ERR_TIMEOUT;
    return 0;
}

int gsm_end_text_entry(sms_data_gsm* gsm) {
    int err = 0;
    imsg("Ending text entry with ESC");
    if (!gsm_write_raw(gsm, err, "\x1b")) return 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(gsm->reply_ms);
    for (;;) {
        long left = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          deadline - std::chrono::steady_clock::now())
                                          .count());
        std::string line;
        if (left <= 0 || gsm_read_line(gsm, err, GRL_SKIP_BLANK | GRL_QUIET, left, line) < 0) {
            // A modem that was not in text entry ignores the ESC.
            imsg("No answer to ESC within %ld ms", gsm->reply_ms);
            return 0;
        }
        if (gsm_is_final(line)) {
            imsg("Text entry ended (%s)", line.c_str());
            return 1;
        }
        if (line.starts_with("+CMGS:")) {
            emsg("The modem sent a message after all (%s)", line.c_str());
        } else if (!line.starts_with(">")) {
            imsg("Passing over (%s) after ESC", gsm_printable(line).c_str());
        }
    }
}

}  // namespace tolvane
