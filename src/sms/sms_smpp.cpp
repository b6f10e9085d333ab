// The SMPP client transport: its start, sends and the received messages it hands
// to the gateway; see sms_smpp.h for the behaviour. The binds (connecting,
// supervising, receipts, stopping) are in sms_smpp_binds.cpp; the state they
// share is described in sms_smpp_impl.h.
//
// A send takes a place in its bind's window and pace before each submit_sm; a
// received message keeps the link it came on, so that its acknowledgement goes
// back on the same connection.
#include "sms/sms_smpp.h"

#include "sms/sms_smpp_impl.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "foundation/kind.h"
#include "foundation/lib.h"
#include "foundation/log.h"
#include "foundation/metrics.h"
#include "foundation/utf8.h"

namespace tolvane {

namespace smpp_impl {

smpp_message* message_of(sms_message* msg) {
    return kind_cast<smpp_message>(msg);
}

}  // namespace smpp_impl

using namespace smpp_impl;

namespace {

bind_slot* sending_bind(const sms_smpp* st) {
    for (auto& b : st->binds)
        if (b->sends) return b.get();
    return nullptr;
}

smpp_submit_options submit_options(const smpp_settings& c, bool want_report) {
    smpp_submit_options o;
    o.registered_delivery = want_report || c.receipts == smpp_receipt_mode::all ? 1
                            : c.receipts == smpp_receipt_mode::failure          ? 2
                                                                                : 0;
    o.dest_ton = c.dest_ton;
    o.dest_npi = c.dest_npi;
    o.gsm_coding = c.gsm_coding;
    o.long_mode = c.long_mode;
    o.max_parts = c.max_parts;
    o.coding = c.coding;
    return o;
}

// The status of a submit's answer; a generic_nack without a status of its own is a
// system error.
std::uint32_t submit_status(const pdu& resp) {
    return resp.cmd_id == SMPP_GENERIC_NACK && resp.cmd_status == 0 ? ESME_RSYSERR
                                                                    : resp.cmd_status;
}

// "Throttled" and "queue full" ask the sender to slow down; the submit is not refused.
bool slow_down(std::uint32_t status) {
    return status == ESME_RTHROTTLED || status == ESME_RMSGQFUL;
}

// Waits for the bind to be up until deadline; its link or null (stopping, deadline).
std::shared_ptr<smpp_link> wait_up(sms_smpp* st, bind_slot* b, long deadline) {
    std::unique_lock<std::mutex> lk(st->lock);
    for (;;) {
        if (st->stopping || st->cutting) return nullptr;
        if (b->up && b->link && b->link->open()) return b->link;
        if (smpp_now_ms() >= deadline) return nullptr;
        // A bind coming up, its link closing and stopping all notify `changed`.
        st->changed.wait_until(lk, smpp_clock_at(deadline));
    }
}

// Why a submit that found no bind within send_wait ends.
int not_bound(sms_smpp* st, bind_slot* b, long send_wait) {
    {
        std::lock_guard<std::mutex> g(st->lock);
        if (st->cutting) return SMPP_ERR_CUT;
    }
    if (stopping(st)) return SMPP_ERR_LINK;
    emsg("SMPP %s: not bound for %ld ms; the submit waits no longer", b->role.c_str(), send_wait);
    return SMPP_ERR_DOWN;
}

// The pace, then a place in the window: taken with its sequence number; paced (wait
// done, try again); or failed with the code in err.
enum class place_result { taken, paced, failed };

// Places freed in a full window wake one waiting sender, not all of them (with several
// workers sharing one window, waking every one for each freed place cost more futex calls
// and thread switches than the submits); a sender that got its places and leaves some free
// wakes the next. The one sending bind has one window, so any waiter can use the room.
// st->lock held.
void pass_room_on(sms_smpp* st, bind_slot* b) {
    if (!b->window.full()) st->room.notify_one();
}

place_result reserve_place(sms_smpp* st, bind_slot* b, smpp_link& link, std::uint32_t& seq,
                           int& err) {
    std::unique_lock<std::mutex> lk(st->lock);
    long delay = b->pacer.reserve(smpp_now_ms());
    if (delay > 0) {
        st->changed.wait_for(lk, std::chrono::milliseconds(delay));
        return place_result::paced;
    }
    long place_deadline = smpp_now_ms() + st->cfg.response_ms;
    // A request leaving a full window notifies `room`.
    st->room.wait_until(lk, smpp_clock_at(place_deadline),
                        [st, b] { return !b->window.full() || st->stopping || st->cutting; });
    err = st->cutting ? SMPP_ERR_CUT : st->stopping ? SMPP_ERR_LINK : 0;
    if (err != 0) return place_result::failed;
    seq = link.next_sequence();
    if (!b->window.add(seq, smpp_now_ms() + st->cfg.response_ms)) {
        emsg("SMPP %s: no place in the window within %ld ms", b->role.c_str(), st->cfg.response_ms);
        err = SMPP_ERR_TIMEOUT;
        return place_result::failed;
    }
    pass_room_on(st, b);
    return place_result::taken;
}

// Gives back the place of seq in the window (its answer, or its absence, is in).
void give_place(sms_smpp* st, bind_slot* b, std::uint32_t seq) {
    bool was_full;
    {
        std::lock_guard<std::mutex> g(st->lock);
        was_full = b->window.full();
        b->window.complete(seq);
    }
    // Only a send waiting for a place needs to hear of it: waking the supervisors
    // too for every answer costs more than the submit.
    if (was_full) st->room.notify_one();
}

// The submit with its place in the window, which is given back when the answer (or its
// absence) is in; with keep_place the caller gives it back (give_place).
int request_in_window(sms_smpp* st, bind_slot* b, smpp_link& link, pdu& req, std::uint32_t seq,
                      pdu& resp, bool keep_place) {
    req.sequence = seq;
    int r = link.request(req, resp, st->cfg.response_ms);
    if (!keep_place) give_place(st, b, seq);
    req.sequence = 0;
    return r;
}

// A place kept past the answer, given back when the submit's step ends.
struct kept_place {
    sms_smpp* st;
    bind_slot* b;
    std::uint32_t seq;
    bool kept;
    kept_place(sms_smpp* s, bind_slot* bs, std::uint32_t q, bool k)
        : st(s), b(bs), seq(q), kept(k) {}
    kept_place(const kept_place&) = delete;
    kept_place& operator=(const kept_place&) = delete;
    ~kept_place() {
        if (kept) give_place(st, b, seq);
    }
};

// One submit_sm through the bind: 0 with the message id, or a status / link code.
// accepted (when given) is called with the message id once the centre took it, while
// the submit still holds its place in the window: what the caller notes there is noted
// before another submit can take the place, so that a crash leaves at most a window of
// SMS that were sent but not noted.
int submit_one(sms_smpp* st, bind_slot* b, pdu& req, std::string& message_id,
               const std::function<void(const std::string&)>* accepted = nullptr) {
    // Long enough for two attempts at the longest backoff, so a centre that restarts
    // is waited for.
    const long send_wait = st->cfg.send_wait_ms >= 0
                               ? st->cfg.send_wait_ms
                               : std::max(2 * st->cfg.reconnect_max_ms, st->cfg.response_ms);
    long up_deadline = smpp_now_ms() + send_wait;
    long throttled_since = -1;
    for (;;) {
        std::shared_ptr<smpp_link> link = wait_up(st, b, up_deadline);
        if (!link) return not_bound(st, b, send_wait);
        std::uint32_t seq = 0;
        int err = 0;
        place_result place = reserve_place(st, b, *link, seq, err);
        if (place == place_result::paced) continue;
        if (place == place_result::failed) return err;
        pdu resp;
        int r = request_in_window(st, b, *link, req, seq, resp, accepted != nullptr);
        kept_place place_kept{st, b, seq, accepted != nullptr};
        if (r == SMPP_ERR_CUT) return r;  // the answer no longer matters: a shutdown
        if (r == SMPP_ERR_LINK) {
            // Lost before its answer: it goes again once the bind is back.
            emsg("SMPP %s: connection lost during submit_sm seq %u; sending it again when bound",
                 b->role.c_str(), seq);
            continue;
        }
        if (r != 0) {
            emsg("SMPP submit_sm seq %u failed: %s", seq,
                 smpp_error(static_cast<std::uint32_t>(r)).c_str());
            return r;
        }
        std::uint32_t status = submit_status(resp);
        if (slow_down(status)) {
            long now = smpp_now_ms();
            if (throttled_since < 0) throttled_since = now;
            {
                std::lock_guard<std::mutex> g(st->lock);
                b->pacer.throttled(now);
            }
            if (now - throttled_since > THROTTLE_GIVE_UP_MS) return static_cast<int>(status);
            imsg("SMPP %s: the smsc answered 0x%02x (%s); slowing down", b->role.c_str(), status,
                 smpp_error(status).c_str());
            up_deadline = now + send_wait;
            continue;
        }
        if (status != 0) {
            emsg("SMPP submit_sm refused, status 0x%08x (%s)", status, smpp_error(status).c_str());
            return static_cast<int>(status);
        }
        {
            std::lock_guard<std::mutex> g(st->lock);
            b->pacer.accepted();
        }
        message_id.clear();
        pdu_get_string(resp, message_id, SMPP_MESSAGE_ID_MAX);
        dmsg("SMPP submit_sm seq %u accepted, message id (%s)", seq, message_id.c_str());
        if (accepted != nullptr) (*accepted)(message_id);
        return 0;
    }
}

}  // namespace

const bool SMS_SMPP_BUILT = true;

SendFailure smpp_failure_kind(int err) {
    if (err == SMPP_ERR_CUT) return SendFailure::cut;
    if (err == SMPP_ERR_DOWN || err == static_cast<int>(ESME_RTHROTTLED) ||
        err == static_cast<int>(ESME_RMSGQFUL))
        return SendFailure::temporary;
    return SendFailure::failed;
}

std::string smpp_error_text(int err) {
    switch (err) {
        case SMPP_ERR_CONNECT:
            return "Failed to connect to smsc";
        case SMPP_ERR_BIND_TX:
            return "Failed to bind transmitter";
        case SMPP_ERR_BIND_RX:
            return "Failed to bind receiver";
        case SMPP_ERR_DOWN:
            return "SMPP bind is down";
        case SMPP_ERR_CUT:
            return "Send cut short by the shutdown";
        default:
            return cut(smpp_error(static_cast<std::uint32_t>(err)));
    }
}

static_assert(SMPP_ERR_CUT == SMS_SEND_CUT, "a cut submit is a cut send");

void sms_smpp::cut_sends(bool /*hard*/) {
    std::vector<std::shared_ptr<smpp_link>> links;
    {
        std::lock_guard<std::mutex> g(lock);
        if (cutting) return;
        cutting = true;
        for (auto& b : binds)
            if (b->link) links.push_back(b->link);
    }
    changed.notify_all();
    room.notify_all();
    for (auto& l : links) l->cut();
    imsg("SMPP: submits still waiting for their answers given up (shutdown)");
}

void sms_smpp::interrupt() {
    {
        std::lock_guard<std::mutex> g(lock);
        interrupted = true;
    }
    arrived.notify_all();
}

bool sms_smpp::up() const {
    bind_slot* b = sending_bind(this);
    std::lock_guard<std::mutex> g(lock);
    return b && b->up && b->link && b->link->open();
}

std::string sms_smpp::state_text() const {
    std::lock_guard<std::mutex> g(lock);
    std::string out;
    for (const auto& b : binds) {
        if (!out.empty()) out += ", ";
        out += b->role + (b->up ? " bound" : " not bound");
    }
    return out.empty() ? "not started" : out;
}

Result<std::unique_ptr<SmsTransport>> sms_smpp_init(const smpp_init& init) {
    auto st = std::make_unique<sms_smpp>();
    st->cfg = init;
    smpp_settings& c = st->cfg;
    c.host = cut(c.host);
    if (c.response_ms <= 0) c.response_ms = SMPP_RESPONSE_MS;
    if (c.window < 1) c.window = 1;
    if (c.host.empty()) {
        emsg("SMPP: no smsc host set");
        return Error{SMPP_ERR_CONNECT, smpp_error_text(SMPP_ERR_CONNECT)};
    }
    auto make = [&](const char* role, std::uint32_t cmd, bool sends, bool receives) {
        auto b = std::make_unique<bind_slot>();
        b->role = role;
        b->bind_cmd = cmd;
        b->sends = sends;
        b->receives = receives;
        b->window = smpp_window(static_cast<std::size_t>(c.window));
        b->pacer = smpp_pacer(c.throughput, c.throttle_pause_ms);
        st->binds.push_back(std::move(b));
    };
    if (c.bind == smpp_bind_kind::transceiver) {
        make("transceiver", SMPP_BIND_TRANSCEIVER, true, true);
    } else {
        make("transmitter", SMPP_BIND_TRANSMITTER, true, false);
        if (c.receive) make("receiver", SMPP_BIND_RECEIVER, false, true);
    }
    st->last_wait = smpp_now_ms();
    // One attempt each now: a refusal of the credentials ends the start; anything else
    // is left to the supervisors, so a centre that is down does not stop the gateway.
    for (auto& b : st->binds) {
        std::uint32_t status = 0;
        std::string why;
        auto link = attempt(st.get(), *b, status, why);
        if (link) {
            set_up(st.get(), *b, link);
            continue;
        }
        if (fatal_refusal(status)) {
            const int code = b->sends ? SMPP_ERR_BIND_TX : SMPP_ERR_BIND_RX;
            return Error{code, smpp_error_text(code)};
        }
        emsg("SMPP %s: %s; retrying in the background", b->role.c_str(), why.c_str());
    }
    sms_smpp* raw = st.get();
    for (auto& b : st->binds) {
        bind_slot* bp = b.get();
        b->supervisor = std::jthread([raw, bp] { supervise(raw, bp); });
    }
    st->receipt_thread = std::jthread([raw] { receipt_run(raw); });
    imsg("SMPP transport ready on %s:%d (%s)", c.host.c_str(), c.port,
         c.bind == smpp_bind_kind::transceiver ? "transceiver"
         : c.receive                           ? "transmitter and receiver"
                                               : "transmitter");
    return std::unique_ptr<SmsTransport>(std::move(st));
}

int sms_smpp::send_text(std::string_view from, std::string_view to, std::string_view message,
                        bool want_report, std::string& message_id, int& count,
                        const std::function<void(const std::string&, int)>* sent) {
    message_id.clear();
    count = 0;
    sms_smpp* st = this;
    bind_slot* b = sending_bind(st);
    if (!b) return SMPP_ERR_LINK;
    auto parts = smpp_submits(from, to, message, submit_options(st->cfg, want_report));
    // One info line per SMS, once the centre has taken it (a failure logs its own): at
    // thousands of SMS a second, a line before and after each submit doubles the log.
    dmsg("SMPP submit_sm from (%.20s) to (%.20s), %zu part(s)", std::string(from).c_str(),
         std::string(to).c_str(), parts.size());
    const std::size_t total = parts.size();
    // The last part's outcome is told while its place in the window is held.
    const std::function<void(const std::string&)> last = [&](const std::string& id) {
        (*sent)(id, static_cast<int>(total));
    };
    for (std::size_t k = 0; k < total; ++k) {
        std::string id;
        const bool is_last = k + 1 == total && sent != nullptr;
        int r = submit_one(st, b, *parts[k], id, is_last ? &last : nullptr);
        if (r != 0) return r;
        message_id = id;
        ++count;
    }
    imsg("SMPP submit_sm from (%.20s) to (%.20s) accepted, %zu part(s), message id (%s)",
         std::string(from).c_str(), std::string(to).c_str(), parts.size(), message_id.c_str());
    return 0;
}

SendResult sms_smpp::send(const SmsOut& sms) {
    Sent sent;
    int err = send_text(sms.from, sms.to, sms.text, sms.want_receipt, sent.message_id, sent.parts);
    if (err != 0) return SendError{smpp_failure_kind(err), err, smpp_error_text(err)};
    return sent;
}

namespace {

// One SMS of a window send, and what became of it.
struct smpp_batch_item {
    std::string_view from, to, text;
    bool want_report = false;
    bool sent = false;  // an outcome is known (err)
    int err = 0;
    std::string message_id;
    int parts = 0;
};

SendResult result_of(const smpp_batch_item& it) {
    if (!it.sent) return SendError{SendFailure::cut, 0, "not sent: the window was stopped"};
    if (it.err != 0) return SendError{smpp_failure_kind(it.err), it.err, smpp_error_text(it.err)};
    return Sent{it.message_id, it.parts};
}

// Sends an item on its own and tells its outcome (after): an accepted one while its
// last submit still holds its place in the window, like an item of a group.
template <typename After>
void send_alone(sms_smpp* st, smpp_batch_item& it, After&& after) {
    bool told = false;
    const std::function<void(const std::string&, int)> accepted = [&](const std::string& id,
                                                                      int parts) {
        it.message_id = id;
        it.parts = parts;
        it.err = 0;
        it.sent = true;
        told = true;
        after();
    };
    std::string id;
    int parts = 0;
    it.err = st->send_text(it.from, it.to, it.text, it.want_report, id, parts, &accepted);
    if (told) return;
    it.message_id = std::move(id);
    it.parts = parts;
    it.sent = true;
    after();
}

// One batch on an SMPP transport: single-part SMS go out in groups written at once, as
// many as the window and the pace allow; the rest, and what a group could not send, go
// one at a time.
struct smpp_batch_run {
    sms_smpp* st;
    bind_slot* b;
    std::vector<smpp_batch_item>& items;
    const WindowHooks& hooks;
    std::vector<std::unique_ptr<pdu>> reqs;
    std::vector<std::size_t> alone;   // never in a group: attempted on their own
    std::vector<std::size_t> again;   // attempted in a group, to be sent on their own
    std::vector<std::size_t> queued;  // single-part items for the grouped writes
    bool stopped = false;
    std::size_t at = 0;  // the first of queued not yet in a group

    // One grouped write: the items (their indexes), their submits and answers, and
    // which of them still holds its place in the window.
    struct group_write {
        std::shared_ptr<smpp_link> link;
        std::vector<std::size_t> group;
        std::vector<pdu*> wire;
        std::vector<bool> placed;
        std::vector<pdu> resps;
        std::vector<int> results;
    };

    smpp_batch_run(sms_smpp* t, std::vector<smpp_batch_item>& i, const WindowHooks& h)
        : st(t), b(sending_bind(t)), items(i), hooks(h), reqs(i.size()) {}

    bool go_on() const { return !hooks.go_on || hooks.go_on(); }
    bool before(const std::vector<std::size_t>& idx) const {
        return !hooks.before || hooks.before(std::span<const std::size_t>(idx));
    }
    void after(std::size_t i) const {
        if (hooks.after) hooks.after(i, result_of(items[i]));
    }

    // Each item's submits: a single one is queued for a group (when there is a bind).
    void sort_items() {
        for (std::size_t i = 0; i < items.size(); ++i) {
            auto parts = smpp_submits(items[i].from, items[i].to, items[i].text,
                                      submit_options(st->cfg, items[i].want_report));
            if (parts.size() == 1 && b != nullptr) {
                reqs[i] = std::move(parts[0]);
                queued.push_back(i);
            } else {
                alone.push_back(i);
            }
        }
    }

    // The next group: as many queued submits as the window and the pacer let go now, each
    // with its sequence number and window place. Empty when the bind is down or stopping.
    void take_group(group_write& g) {
        std::unique_lock<std::mutex> lk(st->lock);
        if (!st->stopping && !st->cutting && b->up && b->link && b->link->open()) g.link = b->link;
        if (!g.link) return;
        // Room for at least one: a window kept full by other workers is waited for as a
        // single submit waits for its place.
        st->room.wait_until(lk, smpp_clock_at(smpp_now_ms() + st->cfg.response_ms),
                            [this] { return !b->window.full() || st->stopping || st->cutting; });
        long now = smpp_now_ms();
        while (at + g.group.size() < queued.size() && !st->stopping && !st->cutting &&
               !b->window.full() && b->pacer.reserve(now) == 0) {
            std::size_t i = queued[at + g.group.size()];
            reqs[i]->sequence = g.link->next_sequence();
            if (!b->window.add(reqs[i]->sequence, now + st->cfg.response_ms)) break;
            g.group.push_back(i);
            g.wire.push_back(reqs[i].get());
        }
        pass_room_on(st, b);
    }

    void free_places(group_write& g, const std::vector<std::size_t>& ks) {
        bool was_full;
        {
            std::lock_guard<std::mutex> lk(st->lock);
            was_full = b->window.full();
            for (std::size_t k : ks)
                if (g.placed[k]) {
                    b->window.complete(g.wire[k]->sequence);
                    g.placed[k] = false;
                }
        }
        if (was_full) st->room.notify_one();
    }

    // An answer (or its absence) for the k-th submit of the group. An accepted SMS is
    // finished by the caller (after) while it still holds its place in the window.
    void settle(group_write& g, std::size_t k) {
        smpp_batch_item& it = items[g.group[k]];
        const std::uint32_t seq = g.wire[k]->sequence;
        const int r = g.results[k];
        if (r == SMPP_ERR_CUT) {
            // Abandoned by the shutdown: the caller keeps it for the next start.
            it.err = r;
            it.sent = true;
        } else if (r == SMPP_ERR_LINK) {
            // Lost before its answer: it goes again on its own, once the bind is back.
            emsg(
                "SMPP %s: connection lost during submit_sm seq %u; sending it again when "
                "bound",
                b->role.c_str(), seq);
            again.push_back(g.group[k]);
        } else if (r != 0) {
            emsg("SMPP submit_sm seq %u failed: %s", seq,
                 smpp_error(static_cast<std::uint32_t>(r)).c_str());
            it.err = r;
            it.sent = true;
        } else {
            settle_answer(g, k, it);
        }
        if (it.sent) after(g.group[k]);
    }

    // A submit_sm_resp: accepted, refused, or a request to slow down.
    void settle_answer(group_write& g, std::size_t k, smpp_batch_item& it) {
        if (std::uint32_t status = submit_status(g.resps[k]); slow_down(status)) {
            {
                std::lock_guard<std::mutex> lk(st->lock);
                b->pacer.throttled(smpp_now_ms());
            }
            imsg("SMPP %s: the smsc answered 0x%02x (%s); slowing down", b->role.c_str(), status,
                 smpp_error(status).c_str());
            again.push_back(g.group[k]);  // paced from now on, as a single send is
        } else if (status != 0) {
            emsg("SMPP submit_sm refused, status 0x%08x (%s)", status, smpp_error(status).c_str());
            it.err = static_cast<int>(status);
            it.sent = true;
        } else {
            {
                std::lock_guard<std::mutex> lk(st->lock);
                b->pacer.accepted();
            }
            it.message_id.clear();
            pdu_get_string(g.resps[k], it.message_id, SMPP_MESSAGE_ID_MAX);
            it.parts = 1;
            it.err = 0;
            it.sent = true;
            imsg("SMPP submit_sm from (%.20s) to (%.20s) accepted, 1 part(s), message id (%s)",
                 std::string(it.from).c_str(), std::string(it.to).c_str(), it.message_id.c_str());
        }
    }

    // The lines of a group's answers and records go out in one write.
    void settle_all(group_write& g, const std::vector<std::size_t>& ks) {
        LogHold lines;
        for (std::size_t k : ks) settle(g, k);
        free_places(g, ks);
    }

    // One grouped write and its answers, each settled as it comes. False when the
    // grouped writes end: stopped, or the rest go one at a time.
    bool write_group() {
        if (!go_on()) {
            stopped = true;
            return false;
        }
        group_write g;
        take_group(g);
        g.placed.assign(g.wire.size(), true);
        if (g.group.empty()) {
            // Down, stopping or paced: the rest go one at a time, which waits as it must.
            for (; at < queued.size(); ++at) alone.push_back(queued[at]);
            return false;
        }
        // A stop may have come while waiting for room.
        if (!go_on() || !before(g.group)) {
            std::vector<std::size_t> every(g.wire.size());
            for (std::size_t k = 0; k < every.size(); ++k) every[k] = k;
            free_places(g, every);
            stopped = true;
            return false;
        }
        at += g.group.size();
        g.link->request_many(g.wire, g.resps, g.results, st->cfg.response_ms,
                             [&](const std::vector<std::size_t>& ks) { settle_all(g, ks); });
        // What was not answered: timed out or lost with the connection.
        std::vector<std::size_t> rest;
        for (std::size_t k = 0; k < g.group.size(); ++k)
            if (g.results[k] != 0) rest.push_back(k);
        if (!rest.empty()) settle_all(g, rest);
        return true;
    }

    void run() {
        sort_items();
        while (at < queued.size())
            if (!write_group()) break;
        // Sent again on their own: their attempt is already counted.
        for (std::size_t i : again) {
            if (stopped || !go_on()) return;
            send_alone(st, items[i], [&] { after(i); });
        }
        if (stopped) return;
        std::sort(alone.begin(), alone.end());
        for (std::size_t i : alone) {
            if (!go_on() || !before({i})) return;
            send_alone(st, items[i], [&] { after(i); });
        }
    }
};

}  // namespace

std::vector<SendResult> sms_smpp::send_window(std::span<const SmsOut> out,
                                              const WindowHooks& hooks) {
    std::vector<smpp_batch_item> items(out.size());
    for (std::size_t i = 0; i < out.size(); ++i) {
        items[i].from = out[i].from;
        items[i].to = out[i].to;
        items[i].text = out[i].text;
        items[i].want_report = out[i].want_receipt;
    }
    smpp_batch_run(this, items, hooks).run();
    std::vector<SendResult> results;
    results.reserve(items.size());
    for (const smpp_batch_item& it : items) results.push_back(result_of(it));
    return results;
}

int sms_smpp::inbound_threads() const {
    return std::clamp(cfg.window, INBOUND_MIN, INBOUND_MAX);
}

std::unique_ptr<sms_message> sms_smpp::wait(int timeout_msec, int& /*errcode*/) {
    sms_smpp* st = this;
    st->last_wait = smpp_now_ms();
    incoming in;
    {
        std::unique_lock<std::mutex> lk(st->lock);
        auto ready = [st] { return st->stopping || st->interrupted || !st->messages.empty(); };
        ++st->waiting;
        if (timeout_msec < 0)
            st->arrived.wait(lk, ready);
        else
            st->arrived.wait_for(lk, std::chrono::milliseconds(timeout_msec), ready);
        --st->waiting;
        st->interrupted = false;
        st->last_wait = smpp_now_ms();
        if (st->messages.empty()) return nullptr;
        in = std::move(st->messages.front());
        st->messages.pop_front();
    }
    st->last_wait = smpp_now_ms();
    auto m = std::make_unique<smpp_message>();
    m->link = std::move(in.link);
    m->sequence = in.p->sequence;
    smpp_deliver d;
    if (!smpp_parse_deliver(*in.p, d))
        wmsg("SMPP deliver_sm seq %u is truncated (%d body octets); fields missing", in.p->sequence,
             in.p->bsz());
    imsg("SMPP deliver_sm seq %u received (%u octets)", in.p->sequence, in.p->length);
    m->from = cut(smpp_received_address(d.source_ton, d.source));
    m->to = cut(smpp_received_address(d.dest_ton, d.dest));
    std::string text;
    if (Status dt = smpp_decode_text(d, st->cfg.gsm_coding == 3, text, m->concat); !dt)
        wmsg("SMPP deliver_sm seq %u: %s", in.p->sequence, dt.error().reason.c_str());
    m->body = utf8_cut(text, TEXT_MAX);
    if (m->concat.is_part())
        imsg("SMPP deliver_sm seq %u is part %d of %d (reference %d)", in.p->sequence,
             m->concat.part, m->concat.total, m->concat.reference);
    return m;
}

void sms_smpp::error(int err, std::string& bf) {
    bf = smpp_error_text(err);
}

const char* sms_smpp::msg_from(sms_message* msg) {
    smpp_message* m = message_of(msg);
    return m ? m->from.c_str() : "";
}

const char* sms_smpp::msg_to(sms_message* msg) {
    smpp_message* m = message_of(msg);
    return m ? m->to.c_str() : "";
}

const char* sms_smpp::msg_body(sms_message* msg) {
    smpp_message* m = message_of(msg);
    return m ? m->body.c_str() : "";
}

namespace {

int acknowledge(sms_message* msg, std::uint32_t status) {
    smpp_message* m = message_of(msg);
    if (!m || !m->link) return SMPP_ERR_WRITE;
    if (m->answered) return 0;
    if (!m->link->open() || !answer_deliver(*m->link, m->sequence, status)) return SMPP_ERR_WRITE;
    m->answered = true;
    return 0;
}

}  // namespace

int sms_smpp::msg_reject(sms_message* msg, int code, const char* reason) {
    std::uint32_t status = static_cast<std::uint32_t>(code);
    if (status == 0) {
        // A refusal must never read as "delivered": the centre would drop the message.
        status = ESME_RX_T_APPN;
    }
    imsg("SMPP rejecting deliver_sm, status 0x%08x (%s)", status, reason ? reason : "");
    return acknowledge(msg, status);
}

int sms_smpp::msg_accept(sms_message* msg, int /*code*/, const char* /*reason*/) {
    return acknowledge(msg, ESME_ROK);
}

void sms_smpp::msg_free(std::unique_ptr<sms_message>& msg) {
    // A message released without an answer (the gateway's path ended early) would
    // leave the centre waiting: it is told to offer it again.
    if (smpp_message* m = message_of(msg.get()); m && !m->answered && m->link && m->link->open())
        acknowledge(msg.get(), ESME_RX_T_APPN);
    msg.reset();
}

}  // namespace tolvane
