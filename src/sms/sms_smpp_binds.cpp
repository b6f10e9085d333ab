// The SMPP client transport's binds: connecting and binding, the supervisor that
// keeps each bind up, the hand-over of deliver_sm to the waiting queues, the
// receipt thread and the orderly stop. See sms_smpp.h for the behaviour and
// sms_smpp_impl.h for who owns what.
#include <chrono>
#include <mutex>

#include "foundation/lib.h"
#include "foundation/log.h"
#include "foundation/metrics.h"
#include "sms/sms_smpp_impl.h"

namespace tolvane {

bool sms_smpp_set_receipt_handler(SmsTransport& t, smpp_receipt_handler handler) {
    auto* st = dynamic_cast<smpp_impl::sms_smpp*>(&t);
    if (st == nullptr) return false;
    std::lock_guard<std::mutex> g(st->handler_lock);
    st->receipt_handler = std::move(handler);
    return true;
}

namespace smpp_impl {

void link_waker::wake() {
    std::lock_guard<std::mutex> g(m);
    if (st == nullptr) return;
    // Taking the state's lock orders this after a waiter's check of the link: the
    // waiter is either before its check or asleep, never in between.
    { std::lock_guard<std::mutex> g2(st->lock); }
    st->changed.notify_all();
}

bool answer_deliver(smpp_link& link, std::uint32_t sequence, std::uint32_t status) {
    auto r = pdu_new(SMPP_DELIVER_SM_RESP, status);
    r->sequence = sequence;
    pdu_add_string(*r, "", SMPP_MESSAGE_ID_MAX);
    if (!link.send(*r)) {
        emsg("SMPP failed to send deliver_sm_resp for seq %u", sequence);
        return false;
    }
    imsg("SMPP deliver_sm_resp seq %u status 0x%08x", sequence, status);
    return true;
}

// On a link's reader thread: a deliver_sm is queued for the wait or the receipt
// thread, or answered at once with a temporary error when nobody will take it.
static void on_deliver(sms_smpp* st, const std::weak_ptr<smpp_link>& weak, smpp_link& link,
                       std::unique_ptr<pdu> p) {
    if (p->cmd_id != SMPP_DELIVER_SM) {
        link.answer(SMPP_GENERIC_NACK, ESME_RINVCMDID, p->sequence);
        return;
    }
    smpp_deliver d;
    smpp_parse_deliver(*p, d);
    smpp_receipt r;
    bool receipt = smpp_receipt_of(d, r);
    const char* refused = nullptr;
    bool taker = false;  // a wait is in progress to take the message
    {
        std::lock_guard<std::mutex> g(st->lock);
        taker = st->waiting > 0;
        std::deque<incoming>& q = receipt ? st->receipts : st->messages;
        if (st->stopping)
            refused = "shutting down";
        else if (!receipt && st->waiting == 0 &&
                 smpp_now_ms() - st->last_wait.load() > RECEIVER_IDLE_MS)
            refused = "nothing receives through this transport";
        else if (q.size() >= INCOMING_MAX)
            refused = "too many waiting";
        else
            q.push_back(incoming{weak.lock(), std::move(p)});
    }
    if (refused == nullptr) {
        if (receipt) {
            st->receipt_arrived.notify_one();
        } else {
            st->arrived.notify_one();
            // Without a wait in progress the supervisor watches the receiver's idle limit
            // from now on.
            if (!taker) st->changed.notify_all();
        }
        return;
    }
    imsg("SMPP %s: deliver_sm seq %u not taken (%s); answered with a temporary error",
         link.role().c_str(), p->sequence, refused);
    answer_deliver(link, p->sequence, ESME_RX_T_APPN);
}

// One attempt to connect and bind; the bound link, or null with the refusal's status.
std::shared_ptr<smpp_link> attempt(sms_smpp* st, bind_slot& b, std::uint32_t& status,
                                   std::string& why) {
    status = 0;
    std::shared_ptr<smpp_link> link;
    if (b.receives) {
        // The hook holds the link weakly: the link owns the hook.
        auto holder = std::make_shared<std::weak_ptr<smpp_link>>();
        link =
            std::make_shared<smpp_link>(b.role, [st, holder](smpp_link& l, std::unique_ptr<pdu> p) {
                on_deliver(st, *holder, l, std::move(p));
            });
        *holder = link;
    } else {
        link = std::make_shared<smpp_link>(b.role);
    }
    link->set_close_hook([w = st->waker] { w->wake(); });
    {
        std::lock_guard<std::mutex> g(st->lock);
        if (st->stopping) return nullptr;
        b.trying = link;
    }
    imsg("SMPP %s: connecting to %s:%d", b.role.c_str(), st->cfg.host.c_str(), st->cfg.port);
    if (Status c = link->connect(st->cfg.host, st->cfg.port); !c) {
        why = "cannot connect: " + c.error().reason;
        return nullptr;
    }
    if (!link->bind(b.bind_cmd, st->cfg.id, st->cfg.pass, st->cfg.type, st->cfg.addr_ton,
                    st->cfg.addr_npi, st->cfg.addr_range, st->cfg.response_ms, status)) {
        why = status != 0 ? "bind refused: " + smpp_error(status) : "no answer to the bind";
        link->close("bind failed");
        return nullptr;
    }
    return link;
}

bool fatal_refusal(std::uint32_t status) {
    return status == ESME_RBINDFAIL || status == ESME_RINVPASWD || status == ESME_RINVSYSID;
}

void set_up(sms_smpp* st, bind_slot& b, std::shared_ptr<smpp_link> link) {
    {
        std::lock_guard<std::mutex> g(st->lock);
        b.trying.reset();
        b.link = std::move(link);
        b.up = b.link != nullptr;
    }
    st->changed.notify_all();
    st->note_state();
}

// Waits ms or until stopping; true when stopping.
static bool pause(sms_smpp* st, long ms) {
    std::unique_lock<std::mutex> lk(st->lock);
    return st->changed.wait_for(lk, std::chrono::milliseconds(ms), [st] { return st->stopping; });
}

bool stopping(sms_smpp* st) {
    std::lock_guard<std::mutex> g(st->lock);
    return st->stopping;
}

// Messages that no wait has come for within RECEIVER_IDLE_MS go back to the centre:
// nothing receives through this transport (the gateway only sends through it).
static void refuse_unwanted(sms_smpp* st) {
    std::deque<incoming> left;
    {
        std::lock_guard<std::mutex> g(st->lock);
        if (st->messages.empty() || st->waiting > 0 ||
            smpp_now_ms() - st->last_wait.load() <= RECEIVER_IDLE_MS)
            return;
        left.swap(st->messages);
    }
    for (auto& in : left) {
        imsg(
            "SMPP deliver_sm seq %u not taken (nothing receives through this transport); "
            "answered with a temporary error",
            in.p->sequence);
        if (in.link && in.link->open()) answer_deliver(*in.link, in.p->sequence, ESME_RX_T_APPN);
    }
}

// While the bind is up: sleeps until there is something to do — the link closed,
// stopping, the next enquire_link due, or received messages that nothing has come
// for (the receiver's idle limit). True when stopping.
static bool wait_for_work(sms_smpp* st, bind_slot* b, smpp_link& link) {
    std::unique_lock<std::mutex> lk(st->lock);
    for (;;) {
        if (st->stopping) return true;
        if (!link.open()) return false;
        const long now = smpp_now_ms();
        long due = -1;
        if (st->cfg.enquire_ms > 0) due = now + st->cfg.enquire_ms - link.silent_ms();
        if (b->receives && !st->messages.empty() && st->waiting == 0) {
            long idle = st->last_wait.load() + RECEIVER_IDLE_MS + 1;
            if (due < 0 || idle < due) due = idle;
        }
        if (due >= 0 && due <= now) return false;
        if (due < 0)
            st->changed.wait(lk);
        else
            st->changed.wait_until(lk, smpp_clock_at(due));
    }
}

// Keeps one bind up for the life of the state.
void supervise(sms_smpp* st, bind_slot* b) {
    smpp_backoff backoff(st->cfg.reconnect_first_ms, st->cfg.reconnect_max_ms);
    std::string lost_why;
    for (;;) {
        std::shared_ptr<smpp_link> link;
        {
            std::lock_guard<std::mutex> g(st->lock);
            if (st->stopping) return;
            link = b->link;
        }
        if (!link) {
            long delay;
            {
                std::lock_guard<std::mutex> g(st->lock);
                delay = backoff.next(static_cast<std::uint32_t>(st->rng()));
            }
            static MetricCounter& reconnects =
                metrics().counter(METRIC_TRANSPORT_RECONNECTS,
                                  "Attempts to connect a lost link again", {{"transport", "smpp"}});
            reconnects.inc();
            imsg("SMPP %s: %s; connecting again in %.1f s (attempt %d)", b->role.c_str(),
                 lost_why.empty() ? "not bound" : lost_why.c_str(), delay / 1000.0,
                 backoff.attempts());
            if (pause(st, delay)) return;
            std::uint32_t status = 0;
            std::string why;
            link = attempt(st, *b, status, why);
            if (!link) {
                lost_why = why;
                continue;
            }
            if (stopping(st)) {
                link->unbind(SMPP_UNBIND_MS);
                link->close("unbound at shutdown");
                return;
            }
            backoff.reset();
            lost_why.clear();
            imsg("SMPP %s: bound again", b->role.c_str());
            set_up(st, *b, link);
            continue;
        }
        if (wait_for_work(st, b, *link)) return;
        if (b->receives) refuse_unwanted(st);
        if (!link->open()) {
            lost_why = "connection lost (" + link->close_reason() + ")";
            emsg("SMPP %s %s", b->role.c_str(), lost_why.c_str());
            set_up(st, *b, nullptr);
            continue;
        }
        if (st->cfg.enquire_ms > 0 && link->silent_ms() >= st->cfg.enquire_ms) {
            auto req = pdu_new(SMPP_ENQUIRE_LINK, 0);
            pdu resp;
            int r = link->request(*req, resp, st->cfg.response_ms);
            if (r != 0 && link->open()) {
                emsg("SMPP %s: no answer to enquire_link: %s", b->role.c_str(),
                     smpp_error(static_cast<std::uint32_t>(r)).c_str());
                link->close("no answer to enquire_link");
            }
        }
    }
}

void receipt_run(sms_smpp* st) {
    for (;;) {
        incoming in;
        {
            std::unique_lock<std::mutex> lk(st->lock);
            st->receipt_arrived.wait(lk, [st] { return st->stopping || !st->receipts.empty(); });
            if (st->receipts.empty()) return;  // stopping, nothing left
            in = std::move(st->receipts.front());
            st->receipts.pop_front();
        }
        smpp_deliver d;
        smpp_parse_deliver(*in.p, d);
        smpp_receipt r;
        smpp_receipt_of(d, r);
        imsg("SMPP receipt for message id (%s): %s%s%s", r.message_id.c_str(), r.state.c_str(),
             r.error.empty() ? "" : " err:", r.error.c_str());
        smpp_receipt_handler h;
        {
            std::lock_guard<std::mutex> g(st->handler_lock);
            h = st->receipt_handler;
        }
        bool kept = !h || h(r);
        if (in.link) answer_deliver(*in.link, in.p->sequence, kept ? ESME_ROK : ESME_RX_T_APPN);
    }
}

void sms_smpp::stop() {
    std::vector<std::shared_ptr<smpp_link>> bound, trying;
    std::deque<incoming> left;
    {
        std::lock_guard<std::mutex> g(lock);
        if (binds.empty()) return;
        stopping = true;
        for (auto& b : binds) {
            if (b->link) bound.push_back(std::move(b->link));
            if (auto t = b->trying.lock()) trying.push_back(std::move(t));
            b->up = false;
        }
        left.swap(messages);
    }
    changed.notify_all();
    room.notify_all();
    arrived.notify_all();
    receipt_arrived.notify_all();
    state_changed();
    // Messages never handed out go back to the centre before the unbinds.
    for (auto& in : left)
        if (in.link && in.link->open()) answer_deliver(*in.link, in.p->sequence, ESME_RX_T_APPN);
    for (auto& l : trying) l->close("shutting down");
    long ms = cfg.response_ms < SMPP_UNBIND_MS ? cfg.response_ms : SMPP_UNBIND_MS;
    bool was_cut;
    {
        std::lock_guard<std::mutex> g(lock);
        was_cut = cutting;
    }
    // A shutdown that had to cut sends has little time left: the centre is slow.
    if (was_cut && ms > SMPP_UNBIND_CUT_MS) ms = SMPP_UNBIND_CUT_MS;
    for (auto& l : bound) {
        l->unbind(ms);
        // Closing also ends whatever still waits on the link (a keep-alive, a submit).
        l->close("unbound at shutdown");
    }
    for (auto& b : binds)
        if (b->supervisor.joinable()) b->supervisor.join();
    if (receipt_thread.joinable()) receipt_thread.join();
    {
        std::lock_guard<std::mutex> g(lock);
        left.swap(receipts);
    }
    for (auto& in : left)
        if (in.link && in.link->open()) answer_deliver(*in.link, in.p->sequence, ESME_RX_T_APPN);
    binds.clear();
}

}  // namespace smpp_impl
}  // namespace tolvane
