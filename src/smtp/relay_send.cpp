// The relay sender: mails one plain-text message through the configured server.
//
// One channel per call, or with relay_keep a connection kept open between
// mails, as mail relays do: a finished mail leaves its connection idle (at most
// RELAY_IDLE_MAX of them, with the extensions its server offered), and the next
// call starts its mail on it at once (a finished transaction needs no RSET). When
// the server turns out to have closed it meanwhile (no answer, or 421, to the
// mail's first command) the mail starts again on a new connection, which cannot
// send it twice since nothing of it was taken; a connection idle too long is not
// used again. The dialogue stops at the first reply that is not the expected one
// and then ends with one QUIT, and the connection is closed.
// EHLO first (HELO when it is refused), then STARTTLS when the server offers
// it (or, when TLS is required, a failure when it does not), then AUTH with the
// configured account. A server that offers PIPELINING gets MAIL FROM, RCPT TO and
// DATA in one write and their three replies read in order (the first refusal is the
// failure; a 354 after a refusal is ended with a lone dot, so the dialogue stays in
// step); headers and body go out in one write. The mail is MIME
// text/plain in UTF-8: the body quoted-printable (short lines, a leading dot escaped), the subject
// and display names as UTF-8 encoded words when they are not plain ASCII. Texts
// handed in that are not valid UTF-8 (single gateway bytes) are read as
// Windows-1252, whose 0x80 is the euro sign.
//
// Ownership: idle connections belong to the driver's relay pool, a busy one to
// the call using it; the driver's destructor says QUIT on the idle ones.
#include <sys/socket.h>

#include <chrono>
#include <ctime>
#include <mutex>
#include <vector>

#include "foundation/lib.h"
#include "foundation/log.h"
#include "foundation/ssha.h"
#include "foundation/utf8.h"
#include "mail/mail_charset.h"
#include "smtp/engine.h"
#include "smtp/engine_impl.h"
#include "net/tcp.h"

namespace tolvane {

struct smtp_relay_pool {
    struct idle {
        std::unique_ptr<CHAN> c;
        std::vector<std::string> ext;  // what its server offered after EHLO
        std::chrono::steady_clock::time_point since;
    };
    std::mutex m;
    std::vector<idle> conns;
};

namespace {

// Idle connections kept (one for each relay worker of a large pool: fewer would close
// and reopen connections under load), and how long one may idle before it is not used
// again.
constexpr std::size_t RELAY_IDLE_MAX = 16;
constexpr auto RELAY_IDLE_FOR = std::chrono::seconds(30);

// Lines of a multi-line reply accepted before its last line is awaited no longer.
constexpr int REPLY_LINES_MAX = 1000;

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// One reply, following its continuation lines ("250-...") to the last one.
bool read_reply(CHAN* c, const smtp_engine& d, std::string& line,
                std::vector<std::string>* all = nullptr) {
    for (int n = 0;; ++n) {
        if (!tcp_readline(c, line, static_cast<int>(TEXT_MAX + 1))) return false;
        if (smtp_logging(d)) smtp_log(d, c->sk, "SMTP<-[%s]", line.c_str());
        if (all && n < REPLY_LINES_MAX) all->push_back(line);
        bool more = line.size() >= 4 && is_digit(line[0]) && is_digit(line[1]) &&
                    is_digit(line[2]) && line[3] == '-';
        if (!more || n >= REPLY_LINES_MAX) return true;
    }
}

// A text going into a command or a header line: no line breaks of its own.
std::string one_line(std::string_view s) {
    std::string out(s.substr(0, TEXT_MAX));
    for (char& ch : out)
        if (ch == '\r' || ch == '\n') ch = ' ';
    return out;
}

// Envelope address and header text for a sender or recipient.
void address(std::string_view given, const std::string& dom, std::string& envelope,
             std::string& header) {
    std::string g = one_line(given);
    if (!dom.empty() && g.find('@') == std::string::npos) {
        envelope = cut(g + "@" + dom);
        header = envelope;
        return;
    }
    if (!rfc_raw_email(g, envelope)) envelope.clear();
    envelope = one_line(envelope);
    header = g;
}

bool skipped_header(std::string_view name) {
    static constexpr std::string_view own[] = {
        "subject",     "date", "from", "to", "content-type", "content-transfer-encoding",
        "mime-version"};
    for (auto n : own)
        if (iequals(name, n)) return true;
    return false;
}

}  // namespace

namespace {

void quit_and_close(const smtp_engine& d, std::unique_ptr<CHAN>& c) {
    if (c && c->sk >= 0) {
        if (smtp_logging(d)) smtp_log(d, c->sk, "SMTP->[QUIT]");
        static constexpr char quit[] = "QUIT\r\n";
        if (tcp_write_timed(c.get(), quit, 6, 2000) == 6) {
            std::string reply;
            tcp_set_read_timeout(c.get(), 2000);
            (void)read_reply(c.get(), d, reply);
        }
    }
    tcp_free(c);
}

// An idle connection young enough to use again, with its server's extensions; null when
// there is none.
std::unique_ptr<CHAN> take_idle(smtp_engine& d, std::vector<std::string>& ext) {
    if (!d.relay_pool) return nullptr;
    std::vector<std::unique_ptr<CHAN>> stale;
    std::unique_ptr<CHAN> got;
    {
        std::lock_guard<std::mutex> g(d.relay_pool->m);
        auto now = std::chrono::steady_clock::now();
        auto& v = d.relay_pool->conns;
        while (!v.empty()) {
            smtp_relay_pool::idle i = std::move(v.back());
            v.pop_back();
            if (now - i.since > RELAY_IDLE_FOR) {
                stale.push_back(std::move(i.c));
                continue;
            }
            got = std::move(i.c);
            ext = std::move(i.ext);
            break;
        }
    }
    for (auto& c : stale) quit_and_close(d, c);
    return got;
}

void put_idle(smtp_engine& d, std::unique_ptr<CHAN>& c, std::vector<std::string>& ext) {
    {
        std::lock_guard<std::mutex> g(d.relay_pool->m);
        if (d.relay_pool->conns.size() < RELAY_IDLE_MAX) {
            d.relay_pool->conns.push_back(
                {std::move(c), std::move(ext), std::chrono::steady_clock::now()});
            return;
        }
    }
    quit_and_close(d, c);
}

}  // namespace

std::shared_ptr<smtp_relay_pool> smtp_relay_pool_new() {
    return std::make_shared<smtp_relay_pool>();
}

void smtp_relay_close_all(smtp_engine& d) {
    if (!d.relay_pool) return;
    std::vector<smtp_relay_pool::idle> all;
    {
        std::lock_guard<std::mutex> g(d.relay_pool->m);
        all.swap(d.relay_pool->conns);
    }
    for (auto& i : all) quit_and_close(d, i.c);
}

namespace {

// The socket of a relay send in progress, listed in its transport where a shutdown's cut
// can shut it down. Dropped before the socket is closed or kept idle, under the same lock
// as the cut, so that a cut never reaches a descriptor number used again.
struct relay_watch {
    smtp_engine* d;
    int fd = -1;
    explicit relay_watch(smtp_engine* t) : d(t) {}
    ~relay_watch() { drop(); }
    relay_watch(const relay_watch&) = delete;
    relay_watch& operator=(const relay_watch&) = delete;
    void set(int f) {
        std::lock_guard<std::mutex> g(d->relay_cut_lock);
        drop_locked();
        if (f < 0) return;
        fd = f;
        d->relay_socks.push_back(fd);
        if (d->relay_cut) ::shutdown(fd, SHUT_RDWR);
    }
    void drop() {
        std::lock_guard<std::mutex> g(d->relay_cut_lock);
        drop_locked();
    }
    void drop_locked() {
        if (fd >= 0) std::erase(d->relay_socks, fd);
        fd = -1;
    }
};

bool non_ascii(const std::string& t) {
    for (char ch : t)
        if (static_cast<unsigned char>(ch) >= 0x80) return true;
    return false;
}

// How the start of a mail went: the server waits for its text, a reply or a broken
// connection stopped it, or no connection could be opened.
enum class relay_start { ready, failed, no_connection };

// One relay dialogue: its connection, what the server offered and the last reply, shared
// by its steps. A step returns false at the first reply that is not the expected one,
// with result, step and reply saying what failed.
struct relay_dialogue {
    smtp_engine* d;
    relay_watch& watch;
    std::unique_ptr<CHAN> c;
    int result = SMTP_OK;
    std::string reply;
    std::string step;              // the command whose reply is awaited, for the failure text
    std::string failure;           // set by finish: the failed step and the server's reply
    std::vector<std::string> ext;  // the extensions the server listed after EHLO
    // Set once the server has answered this mail's first command on its connection: a
    // kept connection that fails before that was closed while idle, not by this mail.
    bool heard = false;

    relay_dialogue(smtp_engine* t, relay_watch& w) : d(t), watch(w) {}

    bool read_or_fail() {
        if (read_reply(c.get(), *d, reply)) return true;
        result = SMTP_EREAD;
        return false;
    }

    bool expect(char digit) {
        if (!read_or_fail()) return false;
        if (reply.empty() || reply[0] != digit) {
            result = SMTP_EREPLY;
            return false;
        }
        return true;
    }

    bool write_all(std::string_view data) {
        int n = static_cast<int>(data.size());
        int w = c->write_timeout > 0 ? c->write_timeout : TCP_WRITE_TIMEOUT;
        if (tcp_write_timed(c.get(), data.data(), n, w) != n) {
            result = SMTP_EWRITE;
            return false;
        }
        return true;
    }

    bool send(std::string_view data, std::string_view shown) {
        if (smtp_logging(*d) && !shown.empty())
            smtp_log(*d, c->sk, "SMTP->[%.*s]", static_cast<int>(shown.size()), shown.data());
        return write_all(data);
    }

    bool command(const std::string& line, char digit) {
        step = line.substr(0, line.find(' '));
        return send(line + "\r\n", line) && expect(digit);
    }

    // EHLO, and the extensions the server lists; HELO when it does not know EHLO.
    bool greet() {
        step = "EHLO";
        std::string line = "EHLO " + d->host;
        if (!send(line + "\r\n", line)) return false;
        std::vector<std::string> all;
        if (!read_reply(c.get(), *d, reply, &all)) {
            result = SMTP_EREAD;
            return false;
        }
        if (!reply.empty() && reply[0] == '2') {
            for (std::size_t i = 1; i < all.size(); ++i)
                if (all[i].size() > 4) ext.push_back(all[i].substr(4));
            return true;
        }
        if (reply.empty() || reply[0] != '5') {
            result = SMTP_EREPLY;
            return false;
        }
        return command("HELO " + d->host, '2');
    }

    const std::string* offers(std::string_view name) const {
        for (const std::string& e : ext)
            if (istarts_with(e, name) && (e.size() == name.size() || e[name.size()] == ' '))
                return &e;
        return nullptr;
    }

    // An AUTH line: its text is never logged.
    bool send_secret(const std::string& data, char digit) {
        step = "AUTH";
        if (smtp_logging(*d)) smtp_log(*d, c->sk, "SMTP->[AUTH <redacted>]");
        return write_all(data + "\r\n") && expect(digit);
    }

    // AUTH with the configured account, PLAIN when offered, else LOGIN.
    bool authenticate() {
        if (d->outuser.empty()) return true;
        const std::string* a = offers("AUTH");
        if (a == nullptr) {
            step = "AUTH";
            reply = "the server offers no AUTH";
            result = SMTP_EREPLY;
            return false;
        }
        bool plain = false, login = false;
        for (const std::string& m : s_split_words(a->substr(4), " ")) {
            plain = plain || iequals(m, "PLAIN");
            login = login || iequals(m, "LOGIN");
        }
        if (plain || !login) {
            std::string cred = std::string(1, '\0') + d->outuser + '\0' + d->outpass;
            return send_secret("AUTH PLAIN " + encode_base64(cred), '2');
        }
        return send_secret("AUTH LOGIN", '3') && send_secret(encode_base64(d->outuser), '3') &&
               send_secret(encode_base64(d->outpass), '2');
    }

    // STARTTLS as configured; then EHLO again, since what the server offers may change.
    bool starttls() {
        if (d->out_tls == SMTP_OUT_TLS_NONE) return true;
        step = "STARTTLS";
        if (!offers("STARTTLS")) {
            if (d->out_tls != SMTP_OUT_TLS_REQUIRE) return true;
            reply = "the server does not offer STARTTLS";
            result = SMTP_EREPLY;
            return false;
        }
        if (!send("STARTTLS\r\n", "STARTTLS") || !read_or_fail()) return false;
        if (reply.empty() || reply[0] != '2') {
            // Refused: the session is still a good plain one, which "may" accepts.
            if (d->out_tls == SMTP_OUT_TLS_REQUIRE) {
                result = SMTP_EREPLY;
                return false;
            }
            return true;
        }
        std::string why;
        if (!smtp_relay_tls(*d, *c, why)) {
            reply = why;
            result = SMTP_EREPLY;
            return false;
        }
        ext.clear();
        return greet();
    }

    // The reply to the mail's first command on this connection.
    bool first_reply(char digit) {
        if (!read_or_fail()) return false;
        heard = reply.rfind("421", 0) != 0;
        if (reply.empty() || reply[0] != digit) {
            result = SMTP_EREPLY;
            return false;
        }
        return true;
    }

    // MAIL FROM, RCPT TO and DATA up to the server's 354.
    bool envelope(const std::string& env_from, const std::string& env_to) {
        std::string params;
        if (offers("8BITMIME")) params += " BODY=8BITMIME";
        if (offers("SMTPUTF8") && (non_ascii(env_from) || non_ascii(env_to))) params += " SMTPUTF8";
        const std::string mail = "MAIL FROM:<" + env_from + ">" + params;
        const std::string rcpt = "RCPT TO:<" + env_to + ">";
        if (!offers("PIPELINING")) {
            step = "MAIL";
            if (!send(mail + "\r\n", mail) || !first_reply('2')) return false;
            return command(rcpt, '2') && command("DATA", '3');
        }
        return envelope_pipelined(mail, rcpt);
    }

    // The three envelope commands in one write. Every reply is read, so that the
    // connection stays in step whatever is refused; the first refusal names the failure.
    bool envelope_pipelined(const std::string& mail, const std::string& rcpt) {
        if (smtp_logging(*d)) {
            smtp_log(*d, c->sk, "SMTP->[%s]", mail.c_str());
            smtp_log(*d, c->sk, "SMTP->[%s]", rcpt.c_str());
        }
        step = "MAIL";
        if (!send(mail + "\r\n" + rcpt + "\r\nDATA\r\n", "DATA")) return false;
        std::string failed_step, failed_reply;
        if (!first_reply('2')) {
            if (result == SMTP_EREAD) return false;
            failed_step = step;
            failed_reply = reply;
        }
        step = "RCPT";
        if (!expect('2')) {
            if (result == SMTP_EREAD) return false;
            if (failed_step.empty()) {
                failed_step = step;
                failed_reply = reply;
            }
        }
        step = "DATA";
        if (!read_or_fail()) return false;
        bool go = !reply.empty() && reply[0] == '3';
        if (go && failed_step.empty()) return true;
        // The server took DATA although the mail cannot go: an empty message ends it.
        if (go && (!send(".\r\n", ".") || !read_or_fail())) return false;
        if (!failed_step.empty()) {
            step = failed_step;
            reply = failed_reply;
        }
        result = SMTP_EREPLY;
        return false;
    }

    // A kept connection, when there is one; the mail starts on it at once.
    bool take_kept() {
        if (!d->relay_keep || !d->relay_pool) return false;
        c = take_idle(*d, ext);
        if (!c) return false;
        watch.set(c->sk);
        if (d->relay_timeout > 0) tcp_set_read_timeout(c.get(), d->relay_timeout);
        return true;
    }

    bool connect() {
        ext.clear();
        if (!tcp_open_x(c, d->sendhost.c_str(), d->sendport, nullptr, d->relay_connect_timeout)) {
            imsg("Smtp connect to %s:%d FAILED", d->sendhost.c_str(), d->sendport);
            tcp_free(c);
            return false;
        }
        imsg("Smtp connected to %s:%d", d->sendhost.c_str(), d->sendport);
        watch.set(c->sk);
        if (d->relay_timeout > 0) tcp_set_read_timeout(c.get(), d->relay_timeout);
        return true;
    }

    // The connection up to the server's 354: a kept one first, a new one when the server
    // closed the kept one while it sat idle (nothing of this mail went on it).
    relay_start start_mail(const std::string& env_from, const std::string& env_to) {
        bool fresh = !take_kept();
        for (;;) {
            if (fresh && !connect()) return relay_start::no_connection;
            bool ok = true;
            if (fresh) {
                step = "connect";
                ok = expect('2') && greet() && starttls() && authenticate();
            }
            if (ok && envelope(env_from, env_to)) return relay_start::ready;
            if (fresh || heard) return relay_start::failed;
            dmsg("Smtp relay connection to %s:%d lost while idle (%s), connecting again",
                 d->sendhost.c_str(), d->sendport, reply.c_str());
            watch.drop();
            tcp_free(c);
            result = SMTP_OK;
            reply.clear();
            fresh = true;
        }
    }

    // Headers and body of the mail, ending with the lone dot; each header is logged.
    std::string message(const smtp_message_extra* extra, const std::string& hdr_from,
                        const std::string& hdr_to, std::string_view text) {
        std::string out;
        out.reserve(text.size() + text.size() / 8 + 512);
        auto header = [&](const std::string& h) {
            if (smtp_logging(*d)) smtp_log(*d, c->sk, "SMTP->[%s]", h.c_str());
            out.append(h).append("\r\n");
        };
        const std::string* subj =
            extra ? mail_header_find(extra->headers, "Subject", true) : nullptr;
        std::string body = bytes_to_utf8(text);
        // A subject may arrive encoded (a received mail's) or as text (the gateway's
        // own): decoded first, so a word is never encoded inside another.
        std::string subject =
            subj && !subj->empty() ? one_line(header_decode(*subj)) : one_line(utf8_cut(body, 20));
        header("Subject: " + header_encode(subject, 9));
        header("Date: " + lib_mail_time(std::time(nullptr)));
        header("From: " + header_encode_address(header_decode(hdr_from), 6));
        header("To: " + header_encode_address(header_decode(hdr_to), 4));
        header("MIME-Version: 1.0");
        header("Content-Type: text/plain; charset=UTF-8");
        header("Content-Transfer-Encoding: quoted-printable");
        if (extra)
            for (const auto& [name, value] : extra->headers)
                if (!skipped_header(name)) header(one_line(name) + ": " + one_line(value));
        out.append("\r\n");
        out.append(body_encode_qp(body));
        out.append(".\r\n");
        return out;
    }

    // The end of the dialogue: a good connection waits for the next mail; otherwise one
    // QUIT, whatever happened. Once the server has taken the message, a server that then
    // fails to answer QUIT does not turn the delivery into a failure (which would only
    // make the caller send the same mail again).
    int finish(bool accepted) {
        dmsg("Smtp relay to %s:%d ended %d, last reply (%s)", d->sendhost.c_str(), d->sendport,
             result, reply.c_str());
        if (result != SMTP_OK) failure = cut(step + ": " + reply);
        if (accepted && d->relay_pool && c->sk >= 0) {
            watch.drop();
            put_idle(*d, c, ext);
            return SMTP_OK;
        }
        if (c->sk >= 0) {
            if (!send("QUIT\r\n", "QUIT")) {
                if (accepted) result = SMTP_OK;
            } else if (!read_reply(c.get(), *d, reply)) {
                if (!accepted) result = SMTP_EREAD;
            }
        }
        watch.drop();
        tcp_free(c);
        return result;
    }
};

int relay_mail(smtp_engine* d, relay_watch& watch, const smtp_message_extra* extra,
               std::string_view from, std::string_view to, std::string_view text,
               std::string* failure) {
    std::string env_from, hdr_from, env_to, hdr_to;
    address(from, d->fromdom, env_from, hdr_from);
    address(to, d->todom, env_to, hdr_to);
    relay_dialogue r(d, watch);
    relay_start started = r.start_mail(env_from, env_to);
    if (started == relay_start::no_connection) return SMTP_ECONNECT;
    bool accepted = started == relay_start::ready &&
                    r.send(r.message(extra, hdr_from, hdr_to, text), "") && r.expect('2');
    int result = r.finish(accepted);
    if (failure) *failure = result == SMTP_EREPLY ? std::move(r.failure) : std::string();
    return result;
}
}  // namespace

int smtp_engine::send(const smtp_message_extra* extra, std::string_view from, std::string_view to,
                      std::string_view text, std::string* failure) {
    {
        std::lock_guard<std::mutex> g(relay_cut_lock);
        if (relay_cut) return SMTP_ECUT;
    }
    relay_watch watch(this);
    int result = relay_mail(this, watch, extra, from, to, text, failure);
    if (result != SMTP_OK) {
        std::lock_guard<std::mutex> g(relay_cut_lock);
        // Whether the server took it is unknown: the mail goes again after the restart.
        if (relay_cut) return SMTP_ECUT;
    }
    return result;
}

void smtp_engine::cut_sends(bool /*hard*/) {
    std::lock_guard<std::mutex> g(relay_cut_lock);
    relay_cut = true;
    for (int fd : relay_socks) ::shutdown(fd, SHUT_RDWR);
}

}  // namespace tolvane
