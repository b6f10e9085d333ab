// The SMTP transport's driver and message operations (see engine.h): driver
// set-up and release, accepting a connection, the query and answer operations
// the gateway drives a received mail with, error texts, header copies and the
// dialogue log.
#include "smtp/engine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <ctime>

#include "foundation/lib.h"
#include "foundation/log.h"
#include "foundation/metrics.h"
#include "foundation/thread.h"
#include "smtp/engine_impl.h"
#include "net/myssl.h"
#include "net/tcp.h"

namespace tolvane {

// ---- the dialogue log ----

void smtp_log(const smtp_engine& d, int sockno, const char* fmt, ...) {
    if (!d.flog) return;
    // A session traces a dozen lines in a few milliseconds: each is built in a buffer of
    // the thread, and the time text is made once a second.
    thread_local std::string line;
    thread_local std::time_t stamp_sec = -1;
    thread_local char when[32] = "";
    std::time_t now = std::time(nullptr);
    if (now != stamp_sec) {
        std::tm tm{};
        when[0] = '\0';
        if (safe_localtime(now, tm)) std::strftime(when, sizeof when, "%b %e %H:%M:%S", &tm);
        stamp_sec = now;
    }
    if (line.capacity() > 4 * TEXT_MAX) std::string().swap(line);
    line.clear();
    lpcat(line, 64, "%.15s [%03d] ", when, sockno);
    const std::size_t text_at = line.size();
    va_list ap;
    va_start(ap, fmt);
    vstrcat(line, TEXT_MAX, fmt, ap);
    va_end(ap);
    // Peer bytes go to a text file: control characters are shown as '?'.
    for (std::size_t i = text_at; i < line.size(); ++i)
        if (static_cast<unsigned char>(line[i]) < 32 || line[i] == 127) line[i] = '?';
    line.push_back('\n');
    // Whole lines only: lines of concurrent connections never interleave.
    trace_write(*d.flog, line);
}

// ---- a link over a channel ----

namespace {

class chan_link : public smtp_link {
  public:
    chan_link(std::unique_ptr<CHAN> c, std::shared_ptr<const MysslSetup> tls)
        : c_(std::move(c)), tls_(std::move(tls)) {
        // The session reads through its own line buffer, never the channel's line reader:
        // the channel's input buffer goes back to the pool at once instead of staying with
        // every connection (16 kB each, most of an idle session's memory).
        tcp_release_input_buffer(c_.get());
    }
    int read(char* buf, int len, int ms) override {
        int r = tcp_read_timed(c_.get(), buf, len, ms);
        return r == -1 ? 0 : r;
    }
    bool write(std::string_view data) override {
        int n = static_cast<int>(data.size());
        int w = c_->write_timeout > 0 ? c_->write_timeout : TCP_WRITE_TIMEOUT;
        return tcp_write_timed(c_.get(), data.data(), n, w) == n;
    }
    int sockno() const override { return c_ ? c_->sk : -1; }
    int wait_fd() const override { return c_ ? c_->sk : -1; }
    bool buffered() const override {
        return c_ && (c_->inlen > c_->inupto || (c_->ssl && c_->ssl->pending()));
    }
    bool peer(std::string& ip, int& port) override {
        if (!tcp_getip(c_.get(), ip)) return false;
        port = c_->rmt_saved;
        return true;
    }

    Status start_tls(int ms) override {
        if (!tls_ || !c_ || c_->sk < 0) return Error{0, "TLS is not available on this connection"};
        auto s = myssl_takeover_real(*c_, c_->sk, 0, 1, nullptr, nullptr, 1, tls_.get());
        if (!s) return std::move(s.error());
        MYSSL* raw = s->get();
        c_->ssl = std::move(*s);
        c_->never_close = 1;
        return myssl_handshake(*c_, raw, ms);
    }

  private:
    std::unique_ptr<CHAN> c_;
    std::shared_ptr<const MysslSetup> tls_;  // kept alive while the link may use it
};

// Creates dir and its parents, each new one with mode 0700.
bool make_workdir(const std::string& dir) {
    struct stat st {};
    if (dir.empty() || ::stat(dir.c_str(), &st) == 0) return true;
    for (std::size_t i = 1; i <= dir.size(); ++i) {
        if (i < dir.size() && dir[i] != '/') continue;
        std::string part = dir.substr(0, i);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            emsg("Error creating directory '%s', %s", part.c_str(), system_error(errno).c_str());
            return false;
        }
    }
    return true;
}

}  // namespace

std::unique_ptr<smtp_link> smtp_chan_link(std::unique_ptr<CHAN> c,
                                          std::shared_ptr<const MysslSetup> tls) {
    return std::make_unique<chan_link>(std::move(c), std::move(tls));
}

smtp_message::~smtp_message() {
    sock.reset();
    spool_remove(*this);
}

smtp_engine::~smtp_engine() {
    // Sessions end before what they use (the lock, the listener) goes.
    smtp_session_pool_stop(*this);
    smtp_relay_close_all(*this);
    th_mutex_free(filelock);
    listener.reset();
}

// ---- init and free ----

namespace {

// Limits, accounts and the relay's settings.
void apply_limits_and_accounts(smtp_engine& d, const smtp_init& rec) {
    d.client_timeout = rec.client_timeout > 0 ? rec.client_timeout : SMTP_CLIENT_TIMEOUT;
    d.relay_timeout = rec.relay_timeout;
    d.relay_connect_timeout = rec.relay_connect_timeout;
    d.max_sessions = rec.max_sessions > 0 ? rec.max_sessions : 0;
    d.max_recipients = rec.max_recipients > 0 ? rec.max_recipients : 0;
    d.max_size = rec.max_size > 0 ? rec.max_size : SMTP_MAX_DATA;
    d.spool_over = rec.spool_over > 0 ? std::min(rec.spool_over, d.max_size) : 0;
    d.relay_keep = rec.relay_keep;
    d.outuser = rec.outuser;
    d.outpass = rec.outpass;
    d.auth = rec.auth;
    d.auth_plaintext = rec.auth_plaintext;
    if (d.auth != SMTP_AUTH_OFF) {
        d.users_file = rec.users_file;
        std::string why;
        if (!smtp_users_load(rec.users_file, d.users, why))
            emsg("SMTP users file (%s) cannot be read, %s: nobody can authenticate",
                 rec.users_file.c_str(), why.c_str());
        else
            imsg("SMTP users file (%s): %d users", rec.users_file.c_str(),
                 static_cast<int>(d.users.size()));
    }
    if (d.relay_keep) d.relay_pool = smtp_relay_pool_new();
}

// TLS for the relay and the listener. False when the listener's cannot be set up: mail
// must not be taken without the encryption the settings promise.
bool apply_tls_settings(smtp_engine& d, const smtp_init& rec) {
    d.tls = rec.tls;
    d.out_tls = rec.out_tls;
    d.out_tls_verify = rec.out_tls_verify;
    if (d.out_tls != SMTP_OUT_TLS_NONE) {
        Result<MysslSetupPtr> setup = myssl_client_setup_new(d.out_tls_verify);
        // Reported now; each relay attempt that would use it then fails with the reason.
        if (setup) {
            d.out_tls_setup = std::move(*setup);
        } else {
            d.out_tls_setup = nullptr;
            emsg("SMTP relay TLS cannot be set up: %s", setup.error().reason.c_str());
        }
    }
    if (rec.listenport != 0 && d.tls != SMTP_TLS_NONE) {
        Result<MysslSetupPtr> setup = myssl_setup_new(rec.tls_key, rec.tls_cert);
        if (!setup) {
            d.tls_setup = nullptr;
            d.listen_error = "TLS set-up failed: " + setup.error().reason;
            return false;
        }
        d.tls_setup = std::move(*setup);
    }
    return true;
}

// The listening sockets: the plain port on every address, and the implicit-TLS port.
bool open_listener(smtp_engine& d, const smtp_init& rec) {
    int port = rec.listenport > 0 ? rec.listenport : 0;
    dmsg("SMTP listen on %d", port);
    d.listener = std::make_unique<smtp_listener>();
    std::vector<std::string> addresses;
    if (!rec.bind.empty()) addresses.push_back(rec.bind);
    for (const std::string& a : rec.listen)
        if (!a.empty()) addresses.push_back(a);
    if (!d.listener->open(addresses, port, d.listen_error)) {
        d.listener.reset();
        return false;
    }
    d.listen_port = d.listener->port();
    for (const std::string& a : d.listener->addresses())
        imsg("SMTP listening on %s port %d", a.c_str(), d.listen_port);
    if (d.tls != SMTP_TLS_WRAPPER) return true;
    int tls_port = rec.tls_port > 0 ? rec.tls_port : 0;
    if (!d.listener->open(addresses, tls_port, d.listen_error, true)) {
        d.listener.reset();
        return false;
    }
    d.tls_port = d.listener->tls_port();
    for (const std::string& a : d.listener->addresses())
        imsg("SMTP listening on %s port %d (implicit TLS)", a.c_str(), d.tls_port);
    return true;
}

// Names, domains, the work directory and the trace file.
void apply_names_and_paths(smtp_engine& d, const smtp_init& rec) {
    d.host = cut(tcp_hostname());
    dmsg("Host name (%s)", d.host.c_str());
    d.sendhost = cut(strtrm(rec.sendhost));
    d.sendport = rec.sendport;
    dmsg("SMTP Send to %s:%d", d.sendhost.c_str(), d.sendport);
    if (!rec.greeting.empty()) {
        d.greeting = cut(rec.greeting);
        dmsg("SMTP Greeting (%s)", d.greeting.c_str());
    }
    if (!rec.todom.empty()) {
        d.todom = cut(strtrm(rec.todom));
        dmsg("SMTP ToDomain (%s)", d.todom.c_str());
    }
    if (!rec.fromdom.empty()) {
        d.fromdom = cut(strtrm(rec.fromdom));
        dmsg("SMTP FromDomain (%s)", d.fromdom.c_str());
    }
    d.filelock = th_mutex_new("SMTP_FILE_LOCK");
    d.workpath = cut(strtrm(rec.workpath));
    dmsg("SMTP Workpath (%s)", d.workpath.c_str());
    make_workdir(d.workpath);
    if (!rec.smtplog.empty()) {
        auto opened = trace_open(rec.smtplog);
        d.flog = opened ? *opened : nullptr;
        if (!opened) emsg("Failed to open (%s), %s", rec.smtplog.c_str(), opened.reason().c_str());
    }
}

}  // namespace

std::unique_ptr<smtp_engine> smtp_engine_open(const smtp_init& init, int& errcode) {
    auto d = std::make_unique<smtp_engine>();
    errcode = 0;
    apply_limits_and_accounts(*d, init);
    if (!apply_tls_settings(*d, init)) {
        errcode = SMTP_ELISTEN;
        return d;
    }
    if (init.listenport != 0 && !open_listener(*d, init)) {
        errcode = SMTP_ELISTEN;
        return d;
    }
    apply_names_and_paths(*d, init);
    return d;
}

// ---- accepting a connection ----

void smtp_engine::interrupt() {
    if (listener) listener->wake();
}

std::unique_ptr<smtp_message> smtp_engine::wait(int timeout_msec, int& errcode) {
    (void)errcode;
    smtp_engine* d = this;
    if (!d->listener) return nullptr;
    std::string ip;
    int port = 0, where = 0;
    int fd = d->listener->accept_one(timeout_msec, ip, port, where);
    if (fd < 0) return nullptr;
    // The place is taken before anything is made for the client, and refused at once when
    // there is none.
    if (d->max_sessions > 0 && d->sessions->fetch_add(1) >= d->max_sessions) {
        d->sessions->fetch_sub(1);
        static MetricCounter& refused_busy = metrics().counter(
            METRIC_SMTP_SESSIONS_REFUSED, "SMTP clients refused before their dialogue, by reason",
            {{"reason", "busy"}});
        refused_busy.inc();
        smtp_listener::refuse_over_cap(fd);
        imsg("SMTP connection from %s:%d refused: %d sessions open", ip.c_str(), port,
             d->max_sessions);
        return nullptr;
    }
    if (d->max_sessions <= 0) d->sessions->fetch_add(1);
    smtp_sessions_gauge().add();
    std::unique_ptr<CHAN> c = tcp_new();
    c->sk = fd;
    c->theirname = ip;
    c->rmt_saved = port;
    auto m = smtp_message_new(d, smtp_chan_link(std::move(c), d->tls_setup), MODE_HELO);
    m->sock->session_count = d->sessions;
    const std::string& hello = d->greeting.empty() ? d->host : d->greeting;
    if (d->listener->wrapped(where)) {
        // The handshake is the session's to wait for, never this accepting thread's.
        m->sock->wrap_pending = true;
        m->sock->wrap_greeting = hello;
        dmsg("Smtp connection from %s:%d (implicit TLS)", ip.c_str(), port);
        if (d->run_mail) {
            smtp_session_start(*d, std::move(m));
            return nullptr;
        }
        return m;
    }
    m->sock->reply(strprintf("220 %s", hello.c_str()));
    if (!m->sock->flush()) return nullptr;  // the message closes the connection
    dmsg("Smtp connection from %s:%d", ip.c_str(), port);
    // Run by a session thread, which traces the greeting with the rest of the dialogue;
    // returned to the caller only when there is none to run it.
    if (d->run_mail) {
        if (smtp_logging(*d)) m->sock->greeting_untraced = hello;
        smtp_session_start(*d, std::move(m));
        return nullptr;
    }
    if (smtp_logging(*d)) smtp_log(*d, m->sock->sockno(), "SMTP->[220 %s]", hello.c_str());
    return m;
}

// ---- error texts ----

void smtp_engine::error(int err, std::string& bf) const {
    const smtp_engine* d = this;
    switch (err) {
        case SMTP_OK:
            break;
        case SMTP_ECONNECT:
            bf = "Failed to connect to the sending SMTP server";
            break;
        case SMTP_ELISTEN:
            bf = strprintf("Error while listening for connections (%s)",
                           d ? d->listen_error.c_str() : "no transport");
            break;
        case SMTP_EREAD:
            bf = "Error reading from the socket";
            break;
        case SMTP_EWRITE:
            bf = "Error writing to the socket";
            break;
        case SMTP_ECLOSED:
            bf = "Socket was closed";
            break;
        case SMTP_EREPLY:
            bf = "Un-expected reply from SMTP server";
            break;
        case SMTP_ETOOBIG:
            bf = "Message size exceeds fixed maximum message size";
            break;
        case SMTP_ECUT:
            bf = "The send was cut by a shutdown";
            break;
        default:
            bf = "Unknown Error Code";
            break;
    }
}

// ---- the message operations ----

int smtp_engine::msg_recv(smtp_message* m) {
    if (!m || !m->sock) return SMTP_ECLOSED;
    return process_message(*m, STOP_ON_FROM);
}

const char* smtp_engine::msg_fromip(smtp_message* m) {
    if (!m) return nullptr;
    if (!m->ip) {
        std::string ip;
        int port = 0;
        if (!m->sock || !m->sock->peer(ip, port)) return nullptr;
        m->ip = ip;
    }
    return m->ip->c_str();
}

const char* smtp_engine::msg_from(smtp_message* m) {
    if (!m) return nullptr;
    if (m->from) return m->from->c_str();
    if (process_message(*m, STOP_ON_FROM) != SMTP_OK || !m->from) return nullptr;
    return m->from->c_str();
}

const char* smtp_engine::msg_to(smtp_message* m) {
    if (!m) return nullptr;
    if (process_message(*m, STOP_ON_TO) != SMTP_OK || !m->added) return nullptr;
    return m->added->c_str();
}

const char* smtp_engine::msg_body(smtp_message* m) {
    if (!m) return nullptr;
    if (!m->parsed && process_message(*m, STOP_NOT) != SMTP_OK) return nullptr;
    // No data, or data that could not be stored whole: nothing to make an SMS of.
    if (!m->parsed || m->oversize || m->spool_error) return nullptr;
    return m->message.c_str();
}

namespace {

const char* default_answer(int upto, bool accept) {
    switch (upto) {
        case MODE_FROM:
            return accept ? "Command MAIL OK" : "Command MAIL User NOT OK";
        case MODE_TO:
            return accept ? "Command RCPT OK" : "Command RCPT User NOT OK";
        case MODE_MESSAGE_BODY:
            return accept ? "Command DATA Processed mail data OK" : "Command DATA NOT OK";
        default:
            return accept ? "Accepted" : "Denied";
    }
}

int answer(smtp_message& m, int code, const char* reason, bool accept) {
    if (!m.sock) return SMTP_ECLOSED;
    std::string text = strprintf("%d %s", code, reason ? reason : default_answer(m.upto, accept));
    if (smtp_logging(*m.drv)) smtp_log(*m.drv, m.sock->sockno(), "SMTP->[%s]", text.c_str());
    m.needreply = 0;
    if (!m.sock->reply(text) || !m.sock->flush()) {
        m.sock.reset();
        return SMTP_EWRITE;
    }
    return SMTP_OK;
}

}  // namespace

int smtp_engine::msg_accept(smtp_message* m, int code, const char* reason) {
    if (!m || !m->sock) return SMTP_ECLOSED;
    // A mail refused for its size (or a failed spool) was answered already.
    if (m->oversize) return SMTP_ETOOBIG;
    if (m->spool_error) return SMTP_ESPOOL;
    int r = answer(*m, code, reason, true);
    if (r != SMTP_OK) return r;
    if (m->upto == MODE_FROM)
        m->upto = MODE_TO;
    else if (m->upto == MODE_MESSAGE_BODY)
        m->upto = MODE_NEXT_MSG;
    return process_message(*m, STOP_NOT);
}

int smtp_engine::msg_reject(smtp_message* m, int code, const char* reason) {
    if (!m || !m->sock) return SMTP_ECLOSED;
    if (m->oversize || m->spool_error) return SMTP_OK;
    if (m->upto == MODE_TO) ++m->refused_rcpts;
    m->needreply = 0;
    if (smtp_error_budget_spent(*m)) return SMTP_ECLOSED;
    int r = answer(*m, code, reason, false);
    if (r != SMTP_OK) return r;
    if (m->upto == MODE_TO) return SMTP_OK;
    m->message.clear();
    m->to.clear();
    m->from.reset();
    m->added = nullptr;
    m->upto = MODE_NEXT_MSG;
    return SMTP_OK;
}

// ---- helpers ----

const std::string& smtp_error(const smtp_engine* d, int err, std::string& bf) {
    if (!d || err == -1) {
        bf = "Parameter incorrect or NULL";
        return bf;
    }
    bf.clear();
    if (err == 0) bf = "No Error Reported";
    d->error(err, bf);
    if (bf.size() > TEXT_MAX) bf.resize(TEXT_MAX);
    return bf;
}

std::unique_ptr<smtp_message_extra> smtp_message_extra_of(const smtp_message* m) {
    auto x = std::make_unique<smtp_message_extra>();
    if (m) x->headers = m->headers;
    return x;
}

int smtp_engine_port(const smtp_engine* d) {
    return d ? d->listen_port : 0;
}

}  // namespace tolvane
