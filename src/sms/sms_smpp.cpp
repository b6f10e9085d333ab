// The SMPP client transport: see sms_smpp.h.
//
// The transport state owns both connections; a message owns a copy of its
// deliver_sm and parses its texts from it on first use, in field order, so that
// asking for any one of them gives the same answer whatever was asked before.
#include "sms/sms_smpp.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "foundation/lib.h"
#include "foundation/log.h"

namespace tolvane {

namespace {

// The receiving thread reads in slices of at most this, so that sends and
// acknowledgements wait no longer for the connection.
constexpr int SLICE_MS = 100;
// How often the keeper looks at the connections, and how long the receiver must have
// gone without a wait before the keeper reads it instead.
constexpr long KEEPER_TICK_MS = 500;
constexpr long KEEPER_IDLE_MS = 2000;

long now_ms() {
    using namespace std::chrono;
    return static_cast<long>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

struct sms_smpp : sms {
    sms_smpp() : sms(SMS_SMPP) {}
    ~sms_smpp() override;

    int send(const smtp_message_extra* data, std::string_view from, std::string_view to,
             std::string_view message) override;
    std::unique_ptr<sms_message> wait(int timeout_msec, int& errcode) override;
    void error(int err, std::string& bf) override;
    int msg_recv(sms_message*) override { return 0; }
    const char* msg_fromip(sms_message*) override { return ""; }
    const char* msg_from(sms_message* msg) override;
    const char* msg_to(sms_message* msg) override;
    const char* msg_body(sms_message* msg) override;
    int msg_reject(sms_message* msg, int code, const char* reason) override;
    int msg_accept(sms_message* msg, int code, const char* reason) override;
    void msg_free(std::unique_ptr<sms_message>& msg) override { msg.reset(); }

    std::unique_ptr<smpp> transmitter;
    std::unique_ptr<smpp> reciever;

    // The keeper answers what the centre asks while nobody else reads a connection:
    // the transmitter between sends when no wait polls it (a gateway that only sends
    // through this transport), the receiver when no wait has run for a while. A
    // centre drops a session whose keep-alives go unanswered, and there is no
    // reconnection.
    std::atomic<long> last_wait{0};
    std::mutex keeper_lock;
    std::condition_variable keeper_cv;
    bool stopping = false;  // guarded by keeper_lock
    std::thread keeper;

    void stop_keeper() {
        {
            std::lock_guard<std::mutex> g(keeper_lock);
            stopping = true;
        }
        keeper_cv.notify_all();
        if (keeper.joinable()) keeper.join();
    }
};

// Reads what is already there on a free connection and answers it. Delivered
// messages are kept for the next wait (keep_delivers), in arrival order.
void service(smpp& s, bool keep_delivers) {
    smpp_hold hold(s, smpp_hold::TRY);
    if (!hold.held()) return;
    // Messages set aside earlier stay for the next wait; everything else is answered.
    pdu_list keep;
    while (auto q = pdulist_pop(s.plist)) {
        if (q->cmd_id == SMPP_DELIVER_SM && keep_delivers)
            keep.items.push_back(std::move(q));
        else
            sms_smpp_handler(s, *q);
    }
    s.plist = std::move(keep);
    pdu p;
    while (smpp_open(s) && smpp_recv_pdu(s, p, 1) == 1) {
        if (p.cmd_id == SMPP_DELIVER_SM && keep_delivers && pdulist_add(s.plist, p)) continue;
        // Not kept (none is wanted, or too many wait): the handler answers it with a
        // temporary error so that the centre offers it again.
        sms_smpp_handler(s, p);
    }
}

void keeper_run(sms_smpp* st) {
    for (;;) {
        {
            std::unique_lock<std::mutex> lk(st->keeper_lock);
            if (st->keeper_cv.wait_for(lk, std::chrono::milliseconds(KEEPER_TICK_MS),
                                       [st] { return st->stopping; }))
                return;
        }
        if (st->transmitter) service(*st->transmitter, false);
        // No wait for this long means no receiving side: a message delivered now
        // would only sit here, so the centre is told to offer it again later.
        if (st->reciever && now_ms() - st->last_wait.load() > KEEPER_IDLE_MS)
            service(*st->reciever, false);
    }
}

struct smpp_message : sms_message {
    std::unique_ptr<pdu> p;  // the deliver_sm
    std::string from, to, body;
    int parsed = 0;  // fields parsed so far: 1 from, 2 to, 3 body
    bool truncated = false;
};

smpp_message* message_of(sms_message* msg) {
    return kind_cast<smpp_message>(msg);
}

std::unique_ptr<sms_message> make_message(std::unique_ptr<pdu> p) {
    auto m = std::make_unique<smpp_message>();
    p->upto = 0;
    imsg("SMPP deliver_sm seq %u received (%u octets)", p->sequence, p->length);
    m->p = std::move(p);
    return m;
}

// Skips n one-octet fields.
bool skip_ints(pdu& p, int n) {
    std::uint32_t v = 0;
    for (int i = 0; i < n; ++i)
        if (!pdu_get_int(p, 1, v)) return false;
    return true;
}

bool parse_from(pdu& p, std::string& from) {
    std::string service;
    return pdu_get_string(p, service, SMPP_SERVICE_TYPE_MAX) && skip_ints(p, 2) &&
           pdu_get_string(p, from, SMPP_ADDR_MAX);
}

bool parse_to(pdu& p, std::string& to) {
    return skip_ints(p, 2) && pdu_get_string(p, to, SMPP_ADDR_MAX);
}

bool parse_body(pdu& p, std::string& body) {
    std::string t;
    std::uint32_t sm_length = 0;
    if (!skip_ints(p, 3) || !pdu_get_string(p, t, SMPP_TIME_MAX) ||
        !pdu_get_string(p, t, SMPP_TIME_MAX) || !skip_ints(p, 4) || !pdu_get_int(p, 1, sm_length))
        return false;
    std::size_t n = sm_length < SMPP_SHORT_MESSAGE_MAX ? sm_length : SMPP_SHORT_MESSAGE_MAX;
    return pdu_get_octet(p, body, n) != 0;
}

// Parses the message's fields up to stage (1 from, 2 to, 3 body).
void parse_upto(smpp_message& m, int stage) {
    if (!m.p) return;
    while (m.parsed < stage && !m.truncated) {
        if (m.parsed == 0) m.p->upto = 0;
        bool ok = false;
        std::string text;
        switch (m.parsed) {
            case 0:
                ok = parse_from(*m.p, text);
                if (ok) m.from = text;
                break;
            case 1:
                ok = parse_to(*m.p, text);
                if (ok) m.to = text;
                break;
            default:
                ok = parse_body(*m.p, text);
                if (ok) m.body = cut(text);
                break;
        }
        if (!ok) {
            m.truncated = true;
            emsg("SMPP deliver_sm seq %u is truncated (%d body octets); fields missing",
                 m.p->sequence, m.p->bsz());
            return;
        }
        ++m.parsed;
    }
}

int acknowledge(sms_smpp* st, sms_message* msg, std::uint32_t status) {
    smpp_message* m = message_of(msg);
    if (!st || !m || !m->p || !st->reciever) return SMPP_ERR_WRITE;
    smpp& rx = *st->reciever;
    smpp_hold hold(rx, smpp_hold::FIRST);
    auto r = pdu_new(SMPP_DELIVER_SM_RESP, status);
    r->sequence = m->p->sequence;
    pdu_add_string(*r, "", SMPP_MESSAGE_ID_MAX);
    if (!smpp_send_pdu(rx, *r, SMPP_WRITE_MS)) {
        emsg("SMPP failed to send deliver_sm_resp for seq %u", m->p->sequence);
        return SMPP_ERR_WRITE;
    }
    imsg("SMPP deliver_sm_resp seq %u status 0x%08x", m->p->sequence, status);
    return 0;
}

void unbind_and_free(std::unique_ptr<smpp>& s) {
    if (!s) return;
    {
        smpp_hold hold(*s, smpp_hold::FIRST);
        // Whatever was set aside and never handed out is answered before the unbind.
        smpp_handle_pending(*s);
        smpp_unbind(*s);
    }
    smpp_free(s);
}

}  // namespace

const bool SMS_SMPP_BUILT = true;

std::unique_ptr<sms> sms_smpp_init(const smpp_init& init, int& errcode) {
    auto st = std::make_unique<sms_smpp>();
    errcode = 0;
    const smpp_init* rec = &init;
    long response_ms = SMPP_RESPONSE_MS;
    if (rec->response_ms > 0) response_ms = rec->response_ms;
    const std::string host = cut(rec->host);

    st->transmitter = smpp_new("transmitter");
    st->transmitter->response_ms = response_ms;
    if (!smpp_connect(*st->transmitter, host, rec->port)) {
        errcode = SMPP_ERR_CONNECT;
        return st;
    }
    if (!smpp_transmitter(*st->transmitter, rec->id, rec->pass, rec->type, rec->addr_ton,
                          rec->addr_npi, rec->addr_range)) {
        errcode = SMPP_ERR_BIND_TX;
        return st;
    }
    st->reciever = smpp_new("receiver");
    st->reciever->response_ms = response_ms;
    if (!smpp_connect(*st->reciever, host, rec->port)) {
        errcode = SMPP_ERR_CONNECT;
        return st;
    }
    if (!smpp_reciever(*st->reciever, rec->id, rec->pass, rec->type, rec->addr_ton, rec->addr_npi,
                       rec->addr_range)) {
        errcode = SMPP_ERR_BIND_RX;
        return st;
    }
    st->last_wait = now_ms();
    sms_smpp* raw = st.get();
    st->keeper = std::thread([raw] { keeper_run(raw); });
    imsg("SMPP transport ready on %s:%d", host.c_str(), rec->port);
    return st;
}

sms_smpp::~sms_smpp() {
    stop_keeper();
    unbind_and_free(transmitter);
    unbind_and_free(reciever);
}

int sms_smpp::send(const smtp_message_extra* /*data*/, std::string_view from, std::string_view to,
                   std::string_view message) {
    sms_smpp* st = this;
    if (!st || !st->transmitter) return SMPP_ERR_LINK;
    smpp& tx = *st->transmitter;
    smpp_hold hold(tx, smpp_hold::FIRST);
    // What the centre asked while nobody listened is answered before and after the
    // exchange, so that a gateway that only sends still keeps the link alive.
    smpp_handle_pending(tx);
    int ok = smpp_send_msg(tx, from, to, message);
    smpp_handle_pending(tx);
    if (ok) return 0;
    return tx.last_error != 0 ? static_cast<int>(tx.last_error) : SMPP_ERR_LINK;
}

std::unique_ptr<sms_message> sms_smpp::wait(int timeout_msec, int& /*errcode*/) {
    sms_smpp* st = this;
    if (!st || !st->reciever) {
        if (timeout_msec > 0) lib_msleep(timeout_msec);
        return nullptr;
    }
    st->last_wait = now_ms();
    // 1 and 2: the transmitter, unless a send is using it (the send then reads it).
    if (st->transmitter) {
        smpp& tx = *st->transmitter;
        smpp_hold hold(tx, smpp_hold::TRY);
        if (hold.held()) {
            pdu p;
            if (smpp_open(tx) && smpp_recv_pdu(tx, p, 1) == 1 && !pdulist_add(tx.plist, p))
                emsg("SMPP transmitter: pending list full; %s dropped",
                     smpp_command_name(p.cmd_id));
            smpp_handle_pending(tx);
        }
    }
    smpp& rx = *st->reciever;
    // 3: what the receiver read while it waited for something else, oldest first.
    {
        smpp_hold hold(rx, smpp_hold::FIRST);
        while (auto p = pdulist_pop(rx.plist)) {
            if (p->cmd_id == SMPP_DELIVER_SM) return make_message(std::move(p));
            sms_smpp_handler(rx, *p);
        }
    }
    // 4: one PDU from the receiver within the time limit.
    long deadline = now_ms() + (timeout_msec > 0 ? timeout_msec : 0);
    for (;;) {
        smpp_hold hold(rx, smpp_hold::YIELD);
        st->last_wait = now_ms();
        if (!smpp_open(rx)) return nullptr;
        long left = deadline - now_ms();
        int slice = static_cast<int>(left < 1 ? 1 : (left < SLICE_MS ? left : SLICE_MS));
        auto p = std::make_unique<pdu>();
        int r = smpp_recv_pdu(rx, *p, slice);
        if (r == 1) {
            if (p->cmd_id == SMPP_DELIVER_SM) return make_message(std::move(p));
            // Answered now rather than at the next wait: a centre gives up on an
            // enquire_link it has waited too long for.
            sms_smpp_handler(rx, *p);
            return nullptr;
        }
        if (r != -2 || now_ms() >= deadline) return nullptr;
    }
}

void sms_smpp::error(int err, std::string& bf) {
    switch (err) {
        case SMPP_ERR_CONNECT:
            bf = "Failed to connect to smsc";
            break;
        case SMPP_ERR_BIND_TX:
            bf = "Failed to bind transmitter";
            break;
        case SMPP_ERR_BIND_RX:
            bf = "Failed to bind receiver";
            break;
        default:
            bf = smpp_error(static_cast<std::uint32_t>(err));
            break;
    }
    if (bf.size() > TEXT_MAX) bf.resize(TEXT_MAX);
}

const char* sms_smpp::msg_from(sms_message* msg) {
    smpp_message* m = message_of(msg);
    if (!m) return "";
    parse_upto(*m, 1);
    return m->from.c_str();
}

const char* sms_smpp::msg_to(sms_message* msg) {
    smpp_message* m = message_of(msg);
    if (!m) return "";
    parse_upto(*m, 2);
    return m->to.c_str();
}

const char* sms_smpp::msg_body(sms_message* msg) {
    smpp_message* m = message_of(msg);
    if (!m) return "";
    parse_upto(*m, 3);
    return m->body.c_str();
}

int sms_smpp::msg_reject(sms_message* msg, int code, const char* reason) {
    std::uint32_t status = static_cast<std::uint32_t>(code);
    if (status == 0) {
        // A refusal must never read as "delivered": the centre would drop the message.
        status = ESME_RX_T_APPN;
    }
    imsg("SMPP rejecting deliver_sm, status 0x%08x (%s)", status, reason ? reason : "");
    return acknowledge(this, msg, status);
}

int sms_smpp::msg_accept(sms_message* msg, int /*code*/, const char* /*reason*/) {
    return acknowledge(this, msg, ESME_ROK);
}

}  // namespace tolvane
