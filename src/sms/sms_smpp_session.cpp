// One SMPP connection: see sms_smpp_session.h.
#include "sms/sms_smpp_session.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "foundation/log.h"
#include "foundation/thread.h"
#include "net/tcp.h"

namespace tolvane {

namespace {

struct status_row {
    std::uint32_t status;
    const char* text;
};

constexpr status_row kStatus[] = {
    {ESME_ROK, "No Error"},
    {ESME_RINVMSGLEN, "Message Length is Invalid"},
    {ESME_RINVCMDLEN, "Command Length is Invalid"},
    {ESME_RINVCMDID, "Invalid Command ID"},
    {ESME_RINVBNDSTS, "Incorrect BIND Status for given Command"},
    {ESME_RALYBND, "ESME Already in Bound State"},
    {ESME_RINVPRTFLG, "Invalid Priority Flag"},
    {ESME_RINVREGDLVFLG, "Invalid Registered Delivery Flag"},
    {ESME_RSYSERR, "System Error"},
    {ESME_RINVSRCADR, "Invalid Source Address"},
    {ESME_RINVDSTADR, "Invalid Dest Address"},
    {ESME_RINVMSGID, "Message ID is invalid"},
    {ESME_RBINDFAIL, "Bind Failed"},
    {ESME_RINVPASWD, "Invalid Password"},
    {ESME_RINVSYSID, "Invalid System ID"},
    {ESME_RCANCELFAIL, "Cancel SM Failed"},
    {ESME_RREPLACEFAIL, "Replace SM Failed"},
    {ESME_RMSGQFUL, "Message Queue Full"},
    {ESME_RINVSERTYP, "Invalid Service Type"},
    {ESME_RINVNUMDESTS, "Invalid Number of Destinations"},
    {ESME_RINVDLNAME, "Invalid Distribution List name"},
    {ESME_RINVDESTFLAG, "Destination flag is invalid"},
    {ESME_RINVSUBREP, "Inalid 'submit with replace' request"},
    {ESME_RINVESMCLASS, "Invalid esm_class field data"},
    {ESME_RCNTSUBDL, "Cannot Submit to Distribution List"},
    {ESME_RSUBMITFAIL, "Submit Failed."},
    {ESME_RINVSRCTON, "Invalid Source Address TON"},
    {ESME_RINVSRCNPI, "Invalid Source Address NPI"},
    {ESME_RINVDSTTON, "Invalid Destination Address TON"},
    {ESME_RINVDSTNPI, "Invalid Destination Address NPI"},
    {ESME_RINVSYSTYP, "Invalid system_type field"},
    {ESME_RINVREPFLAG, "Invalid replace_if_present flag"},
    {ESME_RINVNUMMSGS, "Invalid number of messages"},
    {ESME_RTHROTTLED, "Throttling error"},
    {ESME_RINVSCHED, "Invalid Scheduled Delivery Time"},
    {ESME_RINVEXPIRY, "Invalid message validity period"},
    {ESME_RINVDFTMSGID, "Predefined Message Invalid or Not Found"},
    {ESME_RX_T_APPN, "ESME Receiver Temporary App Error Code"},
    {ESME_RX_P_APPN, "ESME Receiver Permanent App Error Code"},
    {ESME_RX_R_APPN, "ESME Receiver Reject Message Error Code"},
    {ESME_RQUERYFAIL, "query_sm request failed"},
    {ESME_RINVOPTPARSTREAM, "Error in the optional part of the PDU Body"},
    {ESME_ROPTPARNOTALLWD, "Optional Parameter not allowed"},
    {ESME_RINVPARLEN, "Invalid Parameter Length"},
    {ESME_RMISSINGOPTPARAM, "Expected Optional Parameter missing"},
    {ESME_RINVOPTPARAMVAL, "Invalid Optional Parameter Value"},
    {ESME_RDELIVERYFAILURE, "Delivery Failure"},
    {ESME_RUNKNOWNERR, "Unknown Error"},
    {SMPP_ERR_LINK, "Connection to smsc lost"},
    {SMPP_ERR_TIMEOUT, "No response from smsc in time"},
};

}  // namespace

long smpp_now_ms() {
    using namespace std::chrono;
    return static_cast<long>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

smpp_link::smpp_link(std::string_view role, request_hook hook)
    : role_(role), hook_(std::move(hook)) {}

smpp_link::~smpp_link() {
    {
        std::lock_guard<std::mutex> g(lock_);
        on_close_ = nullptr;
    }
    close("released");
    if (reader_.joinable()) {
        // The last owner let go inside a hook, on the reader itself: it cannot join itself,
        // so it is handed to be joined once it has returned.
        if (reader_.get_id() == std::this_thread::get_id()) {
            th_join_later(std::move(reader_));
        } else {
            reader_.request_stop();
            reader_.join();
        }
    }
    if (chan_) tcp_free(chan_);
}

Status smpp_link::connect(const std::string& host, int port) {
    if (host.empty()) return Error{0, "no smsc host set"};
    std::unique_ptr<CHAN> c = tcp_new();
    if (!tcp_open_x(c, host.c_str(), port, nullptr, SMPP_CONNECT_MS)) {
        std::string reason = tcp_error(c.get());
        if (reason.empty()) reason = "connection failed";
        tcp_free(c);
        return Error{0, std::move(reason)};
    }
    // The channel only opens the connection and releases it at the end: the socket is
    // read by one thread and written under a lock, which its buffers are not made for.
    chan_ = std::move(c);
    fd_ = chan_->sk;
    // Writes wait with poll() and a deadline, never in the kernel without one.
    int fl = ::fcntl(fd_, F_GETFL, 0);
    if (fl >= 0) ::fcntl(fd_, F_SETFL, fl | O_NONBLOCK);
    // Every write is one or more whole PDUs that the centre waits for: none is held back
    // for the answer to the one before.
    int on = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    closed_ = false;
    last_read_ = smpp_now_ms();
    owned_ = !weak_from_this().expired();
    reader_ = std::jthread([this](std::stop_token stop) { reader_run(stop); });
    return {};
}

std::string smpp_link::close_reason() const {
    std::lock_guard<std::mutex> g(lock_);
    return close_reason_;
}

std::uint32_t smpp_link::next_sequence() {
    std::uint32_t cur = sequence_.load();
    for (;;) {
        std::uint32_t next = cur >= SMPP_SEQUENCE_MAX ? 1 : cur + 1;
        if (sequence_.compare_exchange_weak(cur, next)) return cur;
    }
}

void smpp_link::set_sequence(std::uint32_t next) {
    sequence_ = next;
}

bool smpp_link::write_all(const std::string& wire) {
    std::lock_guard<std::mutex> g(write_lock_);
    if (closed_) return false;
    std::size_t off = 0;
    long deadline = smpp_now_ms() + SMPP_WRITE_MS;
    while (off < wire.size()) {
        ssize_t n = ::send(fd_, wire.data() + off, wire.size() - off, MSG_NOSIGNAL);
        if (n > 0) {
            off += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            long left = deadline - smpp_now_ms();
            if (left <= 0) return false;
            pollfd pf{fd_, POLLOUT, 0};
            ::poll(&pf, 1, static_cast<int>(left));
            continue;
        }
        return false;
    }
    return true;
}

bool smpp_link::send(pdu& p) {
    if (p.sequence == 0) p.sequence = next_sequence();
    std::string wire = pdu_encode(p);
    if (!write_all(wire)) {
        if (!closed_)
            emsg("SMPP %s: failed to write %s seq %u", role_.c_str(), smpp_command_name(p.cmd_id),
                 p.sequence);
        close("write failed");
        return false;
    }
    dmsg("SMPP %s: sent %s seq %u status 0x%08x (%zu octets)", role_.c_str(),
         smpp_command_name(p.cmd_id), p.sequence, p.cmd_status, wire.size());
    return true;
}

bool smpp_link::answer(std::uint32_t cmd_id, std::uint32_t status, std::uint32_t sequence) {
    auto r = pdu_new(cmd_id, status);
    r->sequence = sequence;
    return send(*r);
}

int smpp_link::request(pdu& req, pdu& resp, long ms) {
    return request_impl(req, resp, ms, true);
}

int smpp_link::request_impl(pdu& req, pdu& resp, long ms, bool cuttable) {
    if (req.sequence == 0) req.sequence = next_sequence();
    const std::uint32_t seq = req.sequence;
    waiter w;
    {
        std::lock_guard<std::mutex> g(lock_);
        if (closed_) return SMPP_ERR_LINK;
        if (cuttable && cut_) return SMPP_ERR_CUT;
        if (!pending_.add(seq, smpp_now_ms() + (ms > 0 ? ms : SMPP_RESPONSE_MS)))
            return SMPP_ERR_LINK;
        waiters_[seq] = &w;
    }
    // w must be out of waiters_ before this returns: whoever completes it takes it out,
    // every other way out below does.
    if (!send(req)) {
        std::lock_guard<std::mutex> g(lock_);
        pending_.complete(seq);
        if (!w.done) waiters_.erase(seq);
        return SMPP_ERR_LINK;
    }
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(ms > 0 ? ms : SMPP_RESPONSE_MS);
    std::unique_lock<std::mutex> lk(lock_);
    // An answer and close() wake this request's own condition; the deadline is its own.
    auto cut_off = [&] { return cuttable && cut_.load(); };
    w.cv.wait_until(lk, deadline, [&] { return w.done || closed_.load() || cut_off(); });
    if (w.done) {
        resp = std::move(*w.got);
        return 0;
    }
    pending_.complete(seq);
    waiters_.erase(seq);
    if (closed_) return SMPP_ERR_LINK;
    return cut_off() ? SMPP_ERR_CUT : SMPP_ERR_TIMEOUT;
}

std::size_t smpp_link::enlist(const std::vector<pdu*>& reqs, waiter* ws, waiter_group& group,
                              long wait_ms) {
    const long deadline = smpp_now_ms() + wait_ms;
    std::size_t added = 0;
    for (; added < reqs.size(); ++added) {
        pdu& req = *reqs[added];
        if (req.sequence == 0) req.sequence = next_sequence();
        if (!pending_.add(req.sequence, deadline)) break;
        ws[added].group = &group;
        waiters_[req.sequence] = &ws[added];
        ++group.left;
    }
    return added;
}

void smpp_link::request_many(const std::vector<pdu*>& reqs, std::vector<pdu>& resps,
                             std::vector<int>& results, long ms,
                             const std::function<void(const std::vector<std::size_t>&)>& answered) {
    const std::size_t n = reqs.size();
    resps.assign(n, pdu());
    results.assign(n, SMPP_ERR_LINK);
    if (n == 0) return;
    const long wait_ms = ms > 0 ? ms : SMPP_RESPONSE_MS;
    std::unique_ptr<waiter[]> ws(new waiter[n]);
    waiter_group group;
    std::string wire;
    std::size_t added = 0;
    {
        std::lock_guard<std::mutex> g(lock_);
        if (closed_) return;
        if (cut_) {
            results.assign(n, SMPP_ERR_CUT);
            return;
        }
        added = enlist(reqs, ws.get(), group, wait_ms);
    }
    // Every waiter must be out of waiters_ before this returns: whoever completes one takes
    // it out, the ways out below take the rest.
    auto drop_rest = [&] {
        for (std::size_t i = 0; i < added; ++i)
            if (!ws[i].done) {
                pending_.complete(reqs[i]->sequence);
                waiters_.erase(reqs[i]->sequence);
            }
    };
    for (std::size_t i = 0; i < added; ++i) wire += pdu_encode(*reqs[i]);
    if (!write_all(wire)) {
        if (!closed_) emsg("SMPP %s: failed to write %zu requests", role_.c_str(), added);
        close("write failed");
        std::lock_guard<std::mutex> g(lock_);
        drop_rest();
        return;
    }
    dmsg("SMPP %s: sent %zu requests together (%zu octets)", role_.c_str(), added, wire.size());
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    // The whole group is usually answered at once and handed over with one wake-up; when
    // some answer is slow, those that came are handed over at every tick, so that one
    // missing answer holds up none of the others.
    std::vector<bool> told(added, false);
    std::vector<std::size_t> fresh;
    std::unique_lock<std::mutex> lk(lock_);
    for (;;) {
        const auto tick = std::min(deadline, std::chrono::steady_clock::now() +
                                                 std::chrono::milliseconds(SMPP_GROUP_TICK_MS));
        group.cv.wait_until(lk, tick,
                            [&] { return group.left == 0 || closed_.load() || cut_.load(); });
        fresh.clear();
        for (std::size_t i = 0; i < added; ++i)
            if (ws[i].done && !told[i]) {
                told[i] = true;
                resps[i] = std::move(*ws[i].got);
                results[i] = 0;
                fresh.push_back(i);
            }
        if (!fresh.empty() && answered) {
            lk.unlock();
            answered(fresh);
            lk.lock();
            continue;  // more may have come meanwhile
        }
        if (group.left == 0 || closed_ || cut_ || std::chrono::steady_clock::now() >= deadline)
            break;
    }
    for (std::size_t i = 0; i < added; ++i)
        if (!ws[i].done)
            results[i] = closed_ ? SMPP_ERR_LINK : cut_ ? SMPP_ERR_CUT : SMPP_ERR_TIMEOUT;
    drop_rest();
}

void smpp_link::finish(std::uint32_t seq, std::unique_ptr<pdu> got) {
    auto it = waiters_.find(seq);
    if (it == waiters_.end()) return;
    waiter* w = it->second;
    waiters_.erase(it);
    w->got = std::move(got);
    w->done = true;
    if (w->group == nullptr)
        w->cv.notify_one();
    else if (--w->group->left == 0)
        w->group->cv.notify_one();
}

void smpp_link::set_close_hook(close_hook h) {
    std::lock_guard<std::mutex> g(lock_);
    on_close_ = std::move(h);
}

void smpp_link::close(std::string_view why) {
    close_hook told;
    {
        std::lock_guard<std::mutex> g(lock_);
        // Under the lock, so that a request checking closed_ before it sleeps cannot
        // miss the notification below.
        bool was_open = !closed_.exchange(true);
        if (!was_open) return;
        close_reason_ = std::string(why);
        pending_.clear();
        // Each waiter sees the link closed and fails with SMPP_ERR_LINK.
        for (auto& [seq, w] : waiters_) {
            if (w->group != nullptr)
                w->group->cv.notify_one();
            else
                w->cv.notify_one();
        }
        told = std::move(on_close_);
        on_close_ = nullptr;
    }
    if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);  // wakes the reader out of poll()
    if (told) told();
}

void smpp_link::cut() {
    std::lock_guard<std::mutex> g(lock_);
    cut_ = true;
    for (auto& [seq, w] : waiters_) {
        if (w->group != nullptr)
            w->group->cv.notify_one();
        else
            w->cv.notify_one();
    }
}

long smpp_link::silent_ms() const {
    return smpp_now_ms() - last_read_.load();
}

namespace {

// Lets go of the reader's reference; false when it was the last one (the link has just
// been destroyed, on this thread): the reader must then return without touching it.
bool let_go(std::shared_ptr<smpp_link>& keep) {
    if (!keep) return true;
    std::weak_ptr<smpp_link> w = keep;
    keep.reset();
    return !w.expired();
}

}  // namespace

void smpp_link::reader_run(std::stop_token stop) {
    pdu_assembler in;
    char buf[8192];
    // A stop asked through the token wakes the wait as close() does (the socket's fd stays
    // valid until the reader is joined).
    std::stop_callback wake(stop, [fd = fd_] { ::shutdown(fd, SHUT_RDWR); });
    // Held while the reader handles what came (hooks run under it) and let go while it
    // waits, so that its owners can release the link then: the destructor, on another
    // thread, shuts the socket down (which wakes the wait) and joins the reader.
    std::shared_ptr<smpp_link> keep;
    for (;;) {
        if (!keep) {
            keep = weak_from_this().lock();
            if (!keep && owned_) return;  // being destroyed: its destructor joins us
        }
        if (closed_ || stop.stop_requested()) break;
        pdu got;
        pdu_take_result t = in.take(got);
        if (t == PDU_TAKEN) {
            last_read_ = smpp_now_ms();
            dispatch(std::make_unique<pdu>(std::move(got)));
            continue;
        }
        if (t == PDU_TOO_LONG) {
            wmsg("SMPP %s: %s(0x%08x) of %u octets is too long; refused and skipped", role_.c_str(),
                 smpp_command_name(got.cmd_id), got.cmd_id, got.length);
            answer(SMPP_GENERIC_NACK, ESME_RINVCMDLEN, got.sequence);
            continue;
        }
        if (t == PDU_BROKEN) {
            wmsg("SMPP %s: command_length %u is out of range; closing the connection",
                 role_.c_str(), got.length);
            answer(SMPP_GENERIC_NACK, ESME_RINVCMDLEN, got.sequence);
            close("the stream from the smsc is out of step");
            break;
        }
        if (!let_go(keep)) return;
        pollfd pf{fd_, POLLIN, 0};
        // No time limit: data, the centre hanging up and close() (a shutdown of this
        // socket) all wake it; requests keep their own deadlines.
        int pr = ::poll(&pf, 1, -1);
        const int poll_errno = errno;
        // Held again before anything that may run a hook: close() runs the close hook, and
        // a hook that lets go of the last owner must not free the link under this thread.
        keep = weak_from_this().lock();
        if (!keep && owned_) return;  // being destroyed: its destructor joins us
        if (pr < 0 && poll_errno != EINTR) {
            close(std::strerror(poll_errno));
            break;
        }
        if (pr <= 0) continue;
        ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n > 0) {
            // What came is acknowledged at once, not after the delayed-ACK pause: a centre
            // that answers several submits in a row with small writes (Nagle's rule on its
            // side) sends the second answer only once the first is acknowledged.
            int quick = 1;
            ::setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &quick, sizeof quick);
            in.feed(buf, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        close(n == 0 ? "closed by the smsc" : std::strerror(errno));
        break;
    }
    close("the reader stopped");  // no-op when closed already; fails what still waits
    let_go(keep);  // may be the last reference: the link is destroyed here, on this thread
}

void smpp_link::dispatch(std::unique_ptr<pdu> p) {
    dmsg("SMPP %s: read %s seq %u status 0x%08x (%u octets)", role_.c_str(),
         smpp_command_name(p->cmd_id), p->sequence, p->cmd_status, p->length);
    if ((p->cmd_id & SMPP_RESP) != 0) {
        std::lock_guard<std::mutex> g(lock_);
        if (pending_.complete(p->sequence)) {
            const std::uint32_t seq = p->sequence;
            finish(seq, std::move(p));
        } else if (p->cmd_id == SMPP_GENERIC_NACK) {
            emsg("SMPP %s: generic_nack for seq %u, status 0x%08x (%s)", role_.c_str(), p->sequence,
                 p->cmd_status, smpp_error(p->cmd_status).c_str());
        } else {
            wmsg("SMPP %s: late %s for seq %u dropped", role_.c_str(), smpp_command_name(p->cmd_id),
                 p->sequence);
        }
        return;
    }
    switch (p->cmd_id) {
        case SMPP_ENQUIRE_LINK:
            if (!answer(SMPP_ENQUIRE_LINK_RESP, 0, p->sequence))
                emsg("Failed to send ENQUIRE_LINK_RESP");
            return;
        case SMPP_ALERT_NOTIFICATION:
            return;
        case SMPP_UNBIND:
            imsg("SMPP %s: the smsc ended the session (unbind seq %u)", role_.c_str(), p->sequence);
            answer(SMPP_UNBIND_RESP, 0, p->sequence);
            close("unbound by the smsc");
            return;
        case SMPP_DELIVER_SM:
            if (hook_) {
                hook_(*this, std::move(p));
                return;
            }
            {
                // Nobody here takes messages: a temporary error makes the centre offer
                // it again later, where a generic_nack would read as a refusal.
                auto r = pdu_new(SMPP_DELIVER_SM_RESP, ESME_RX_T_APPN);
                r->sequence = p->sequence;
                pdu_add_string(*r, "", SMPP_MESSAGE_ID_MAX);
                send(*r);
            }
            return;
        default:
            wmsg("Unknown PDU command %d(0x%08x)", static_cast<int>(p->cmd_id), p->cmd_id);
            answer(SMPP_GENERIC_NACK, ESME_RINVCMDID, p->sequence);
            return;
    }
}

bool smpp_link::bind(std::uint32_t cmd, std::string_view id, std::string_view pass,
                     std::string_view type, int addr_ton, int addr_npi, std::string_view addr_range,
                     long ms, std::uint32_t& status) {
    status = 0;
    auto req = pdu_new(cmd, 0);
    pdu_add_string(*req, id, SMPP_SYSTEM_ID_MAX);
    pdu_add_string(*req, pass, SMPP_PASSWORD_MAX);
    pdu_add_string(*req, type, SMPP_SYSTEM_TYPE_MAX);
    pdu_add_int(*req, SMPP_INTERFACE_VERSION, 1);
    pdu_add_int(*req, static_cast<std::uint32_t>(addr_ton), 1);
    pdu_add_int(*req, static_cast<std::uint32_t>(addr_npi), 1);
    pdu_add_string(*req, addr_range.empty() ? std::string_view("*") : addr_range,
                   SMPP_ADDRESS_RANGE_MAX);
    imsg("SMPP %s: %s as (%.*s)", role_.c_str(), smpp_command_name(cmd),
         static_cast<int>(id.size()), id.data());
    pdu resp;
    int r = request(*req, resp, ms);
    if (r != 0) {
        emsg("SMPP %s: no answer to %s: %s", role_.c_str(), smpp_command_name(cmd),
             smpp_error(static_cast<std::uint32_t>(r)).c_str());
        return false;
    }
    if (resp.cmd_status != 0 || resp.cmd_id != (cmd | SMPP_RESP)) {
        status = resp.cmd_status != 0 ? resp.cmd_status : ESME_RSYSERR;
        emsg("SMPP %s: %s refused, status 0x%08x (%s)", role_.c_str(), smpp_command_name(cmd),
             status, smpp_error(status).c_str());
        return false;
    }
    std::string sid;
    if (pdu_get_string(resp, sid, SMPP_SYSTEM_ID_MAX)) server_id_ = sid;
    imsg("SMPP %s bound to (%s)", role_.c_str(), server_id_.c_str());
    return true;
}

bool smpp_link::unbind(long ms) {
    if (closed_) return false;
    auto req = pdu_new(SMPP_UNBIND, 0);
    pdu resp;
    int r = request_impl(*req, resp, ms, false);
    if (r != 0) {
        emsg("SMPP %s: unbind not confirmed: %s", role_.c_str(),
             smpp_error(static_cast<std::uint32_t>(r)).c_str());
        return false;
    }
    if (resp.cmd_id != SMPP_UNBIND_RESP || resp.cmd_status != 0) {
        emsg("SMPP %s: unbind refused, status 0x%08x (%s)", role_.c_str(), resp.cmd_status,
             smpp_error(resp.cmd_status).c_str());
        return false;
    }
    imsg("SMPP %s unbound", role_.c_str());
    return true;
}

const char* smpp_status_text(std::uint32_t status) {
    for (const auto& r : kStatus)
        if (r.status == status) return r.text;
    return nullptr;
}

std::string smpp_error(std::uint32_t status) {
    const char* t = smpp_status_text(status);
    return t ? t : "Failed to identify error.";
}

}  // namespace tolvane
