// The SMTP server (see server.h): the accepting loop, and each mail's dialogue with the
// session's policy, driven through the engine's message steps.
#include "smtp/server.h"

#include <chrono>
#include <thread>

#include "foundation/log.h"
#include "smtp/engine_impl.h"

namespace tolvane {

namespace {

// How long one accepting wait lasts before the stop token is looked at again (stop()
// ends a wait at once).
constexpr int ACCEPT_WAIT_MS = 1000;

std::string error_text(smtp_engine& d, int err) {
    std::string text;
    d.error(err, text);
    return text;
}

Peer peer_of(smtp_message& m, const std::string& ip) {
    Peer p;
    p.ip = ip;
    p.helo = m.name;
    if (m.sock) {
        std::string any;
        (void)m.sock->peer(any, p.port);
        p.user = m.sock->user;
        p.tls = m.sock->tls;
    }
    return p;
}

// A policy's refusal: its reply (none for a hang-up). True when the connection stays for
// the dialogue to go on.
bool refused(smtp_engine& d, smtp_message& m, const Reply& r) {
    if (r.code == 0) return false;
    (void)d.msg_reject(&m, r.code, r.text.c_str());
    return !r.close && m.sock != nullptr;
}

// The recipients up to DATA, each put to the policy; the accepted ones in order.
// False when a refusal closed the connection.
bool take_recipients(smtp_engine& d, smtp_message& m, SessionPolicy& p,
                     std::vector<std::string>& accepted) {
    while (const char* to = d.msg_to(&m)) {
        std::string rcpt = to;
        Reply r = p.on_rcpt(rcpt);
        if (r.accepted()) {
            accepted.push_back(std::move(rcpt));
            continue;
        }
        if (r.code != 0) (void)d.msg_reject(&m, r.code, r.text.c_str());
        if (r.close) return false;
    }
    return true;
}

// The wait after the mail's reply, or after a refusal that ended the transaction: the
// dialogue goes on until the client's next mail (handed on) or its end.
void run_after(smtp_message& m) {
    m.stage = STAGE_AFTER;
    (void)process_message(m, STOP_NOT);
}

// A refusal that ends the transaction: its reply, the policy told, then the wait for the
// client's next mail while the connection stays.
void end_refused(smtp_engine& d, smtp_message& m, SessionPolicy& p, const Reply& r) {
    const bool open = refused(d, m, r);
    p.on_abort();
    if (open) run_after(m);
}

// The data, once the policy took DATA: the envelope to the policy and its reply to the
// client. A refusal that keeps the connection lets the dialogue go on.
void take_data(smtp_engine& d, smtp_message& m, SessionPolicy& p, const std::string& ip,
               std::vector<std::string> to) {
    const char* body = d.msg_body(&m);
    if (body == nullptr) {
        // Cut off, too big or not stored: the engine answered the client (or lost it).
        p.on_abort();
        return;
    }
    Envelope e;
    e.peer = peer_of(m, ip);
    e.from = m.from.value_or(std::string());
    e.to = std::move(to);
    e.body = body;
    e.headers = m.headers;
    e.data_bytes = m.data_bytes;
    if (!m.in_memory) e.spool_file = m.file;
    Reply r = p.on_data(std::move(e));
    if (r.code >= 200 && r.code < 300) {
        m.stage = STAGE_AFTER;  // the reply is the transaction's end
        int err = d.msg_accept(&m, r.code, r.text.c_str());
        // The client may not have seen the reply; the mail was taken all the same.
        if (err != 0 && err != SMTP_SUSPENDED)
            emsg("Message send error SMTP [%d:%s]", err, error_text(d, err).c_str());
        return;
    }
    if (refused(d, m, r)) run_after(m);
}

// The transaction's start: its connect stage, then what the client said before it began
// (a greeting and a login of the connection's earlier transactions), so that every policy
// hears connect, helo, auth in that order. False when the policy refused the client.
bool begin_transaction(smtp_engine& d, smtp_message& m, SessionPolicy& p, const std::string& ip) {
    m.connect_asked = true;
    Peer peer = peer_of(m, ip);
    if (Reply r = p.on_connect(peer); !r.accepted()) {
        if (r.code != 0) (void)d.msg_reject(&m, r.code, r.text.c_str());
        return false;
    }
    if (!peer.helo.empty()) p.on_helo(peer);
    if (!peer.user.empty()) p.on_auth(peer.user);
    return true;
}

// Runs the dialogue up to the mail's first stage with p told of HELO and AUTH as they come.
int receive_mail_command(smtp_engine& d, smtp_message& m, SessionPolicy& p) {
    m.hooks = &p;
    const int got = d.msg_recv(&m);
    m.hooks = nullptr;
    return got;
}

// The recipients, then the data; run again from here when the dialogue was suspended
// between recipients (those accepted so far are kept in the mail).
void take_recipients_and_data(smtp_engine& d, smtp_message& m, SessionPolicy& p,
                              const std::string& ip) {
    m.stage = STAGE_RCPT;
    if (!take_recipients(d, m, p, m.accepted)) {
        p.on_abort();
        return;
    }
    if (m.suspended) return;  // the session parks it; this runs again when the client speaks
    if (!m.sock || m.upto != MODE_DATA) {
        p.on_abort();
        return;
    }
    if (Reply r = p.on_data_start(); !r.accepted()) {
        end_refused(d, m, p, r);
        return;
    }
    take_data(d, m, p, ip, std::move(m.accepted));
}

}  // namespace

void smtp_tell_helo(smtp_message& m) {
    if (m.hooks != nullptr) m.hooks->on_helo(peer_of(m, m.ip.value_or(std::string())));
}

void smtp_tell_auth(smtp_message& m) {
    if (m.hooks != nullptr && m.sock) m.hooks->on_auth(m.sock->user);
}

bool smtp_transaction_open(const smtp_message& m) {
    return m.stage != STAGE_AFTER;
}

bool smtp_mail_under_way(const smtp_message& m) {
    return m.stage == STAGE_RCPT;
}

// One mail of a connection, from its start to its reply: the policy is asked at each stage.
// A mail the dialogue suspended goes on from the stage it stopped at.
void smtp_run_mail(smtp_engine& d, smtp_message& m, SessionPolicy& p) {
    const char* ip_text = d.msg_fromip(&m);
    if (ip_text == nullptr) return;
    const std::string ip = ip_text;
    if (!m.connect_asked && !begin_transaction(d, m, p, ip)) return;
    m.suspended = false;
    if (m.stage == STAGE_AFTER) {
        (void)process_message(m, STOP_NOT);
        return;
    }
    if (m.stage == STAGE_RCPT) {
        take_recipients_and_data(d, m, p, ip);
        return;
    }
    const int got = receive_mail_command(d, m, p);
    // Waiting for the client's first command of the mail: the session parks the
    // connection, and this runs again (from here) once the client speaks.
    if (got == SMTP_SUSPENDED) return;
    if (int err = got; err != 0) {
        emsg("Message recv error SMTP [%d:%s]", err, error_text(d, err).c_str());
        p.on_abort();
        return;
    }
    if (m.from && m.sock) {
        Peer peer = peer_of(m, ip);
        if (Reply r = p.on_mail(peer, *m.from); !r.accepted()) {
            end_refused(d, m, p, r);
            return;
        }
    }
    take_recipients_and_data(d, m, p, ip);
}

Result<std::unique_ptr<SmtpServer>> SmtpServer::open(const smtp_init& init,
                                                     PolicyFactory policies) {
    int err = 0;
    std::unique_ptr<smtp_engine> engine = smtp_engine_open(init, err);
    if (err != 0 || !engine) {
        std::string why = engine ? error_text(*engine, err) : "no engine";
        return Error{err, why};
    }
    std::unique_ptr<SmtpServer> s(new SmtpServer());
    s->engine_ = std::move(engine);
    smtp_engine* d = s->engine_.get();
    d->run_mail = [d, policies = std::move(policies)](std::unique_ptr<smtp_message>& m) {
        // A suspended mail goes on with the policy it began with.
        std::shared_ptr<SessionPolicy> p = m->policy;
        if (!p) {
            p = policies ? std::shared_ptr<SessionPolicy>(policies()) : nullptr;
            if (!p) p = std::make_shared<SessionPolicy>();
            m->policy = p;
        }
        smtp_run_mail(*d, *m, *p);
        if (m->suspended) return;  // the session parks it as it is
        // The mail is released before its policy: its connection closes (unless handed
        // on) before what the policy holds is given back.
        std::unique_ptr<smtp_message> next = std::move(m->next);
        m->policy.reset();
        m = std::move(next);
    };
    return s;
}

SmtpServer::~SmtpServer() {
    stop();
    // The engine stops its session workers and joins them as it goes.
}

void SmtpServer::run(std::stop_token st) {
    std::stop_callback wake(st, [this] { stop(); });
    while (!st.stop_requested() && !stopping_.load()) {
        int err = 0;
        // Greeted connections go to the session workers; nothing comes back here.
        (void)engine_->wait(ACCEPT_WAIT_MS, err);
    }
}

void SmtpServer::stop() {
    stopping_.store(true);
    if (engine_) engine_->interrupt();
    // Clients between mails are told "421" now; a mail under way ends first.
    if (engine_) smtp_session_pool_close_idle(*engine_);
}

bool SmtpServer::drain(long ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (busy() > 0) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

int SmtpServer::busy() const {
    return engine_ ? engine_->sessions_busy.load() : 0;
}

int SmtpServer::port() const {
    return engine_ ? engine_->listen_port : 0;
}

int SmtpServer::tls_port() const {
    return engine_ ? engine_->tls_port : 0;
}

}  // namespace tolvane
