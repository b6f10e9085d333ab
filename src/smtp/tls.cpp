// Encryption for the SMTP transport: STARTTLS and implicit TLS on the listener, and
// the relay sender's switch to TLS.
//
// Listener: STARTTLS is offered once the transport has a certificate, and only on a
// connection not yet encrypted. After "220 Ready to start TLS" every byte the client
// sent behind the command is dropped unread, so a command smuggled into the same
// packet can never run as if it came through the encrypted session; the session then
// starts afresh (a new EHLO is needed, an earlier AUTH is forgotten). A connection to
// the implicit-TLS port owes its handshake before the greeting. Both handshakes run on
// the session's own thread, within the client's read time limit, so a client that
// opens a connection and says nothing costs its own session and no other.
//
// Relay sender: the handshake runs on the sending thread within the SSL layer's limit;
// with verification the relay's certificate must chain to the system's authorities
// and carry the relay's name (or address) as configured in the relay host.
//
// Ownership: the contexts belong to the transport (shared with each connection that
// uses them); a connection's TLS stream belongs to its channel.
#include <string>

#include "foundation/lib.h"
#include "foundation/log.h"
#include "smtp/engine.h"
#include "smtp/engine_impl.h"
#include "net/myssl.h"
#include "net/tcp.h"

namespace tolvane {

namespace {

bool say(smtp_message& m, std::string_view text) {
    if (smtp_logging(*m.drv))
        smtp_log(*m.drv, m.sock->sockno(), "SMTP->[%.*s]", static_cast<int>(text.size()),
                 text.data());
    return m.sock->reply(text) && m.sock->flush();
}

std::string client_ip(smtp_message& m) {
    if (m.ip) return *m.ip;
    std::string ip;
    int port = 0;
    if (m.sock && m.sock->peer(ip, port)) m.ip = ip;
    return ip;
}

}  // namespace

bool smtp_starttls_offered(const smtp_message& m) {
    return m.drv && m.drv->tls_setup && m.sock && !m.sock->tls;
}

int smtp_starttls_command(smtp_message& m, std::string_view line) {
    if (line.size() > 8) {
        if (smtp_error_budget_spent(m)) return -1;
        return say(m, "501 Syntax error (no parameters allowed)") ? 0 : -1;
    }
    if (m.sock->tls) {
        if (smtp_error_budget_spent(m)) return -1;
        return say(m, "503 TLS already active") ? 0 : -1;
    }
    if (!say(m, "220 Ready to start TLS")) return -1;
    std::size_t dropped = m.sock->discard_input();
    std::string ip = client_ip(m);
    if (dropped > 0)
        imsg("SMTP client %s sent %zu bytes behind STARTTLS before the handshake: dropped unread",
             ip.c_str(), dropped);
    if (Status st = m.sock->link->start_tls(m.drv->client_timeout); !st) {
        imsg("SMTP client %s: TLS not started (%s)", ip.c_str(), st.error().reason.c_str());
        return -1;
    }
    m.sock->tls = true;
    m.sock->user.clear();
    m.name.clear();
    m.upto = MODE_HELO;
    dmsg("SMTP client %s: TLS started", ip.c_str());
    return 0;
}

bool smtp_tls_wrapped(smtp_message& m) {
    if (!m.sock || !m.sock->wrap_pending) return true;
    m.sock->wrap_pending = false;
    std::string ip = client_ip(m);
    if (Status st = m.sock->link->start_tls(m.drv->client_timeout); !st) {
        imsg("SMTP client %s: TLS not started on the implicit-TLS port (%s)", ip.c_str(),
             st.error().reason.c_str());
        return false;
    }
    m.sock->tls = true;
    return say(m, "220 " + m.sock->wrap_greeting);
}

bool smtp_relay_tls(const smtp_engine& d, CHAN& c, std::string& reason) {
    if (!d.out_tls_setup) {
        reason = "TLS could not be set up";
        return false;
    }
    // The name the certificate must carry: the configured relay host without its port.
    std::string host = d.sendhost;
    if (auto colon = host.find(':'); colon != std::string::npos) host.resize(colon);
    auto s = myssl_takeover_real(c, c.sk, d.out_tls_verify ? 1 : 0, 0, host.c_str(), nullptr, 0,
                                 d.out_tls_setup.get());
    if (!s) {
        reason = std::move(s.error().reason);
        return false;
    }
    imsg("Smtp relay %s: TLS started (%s)", host.c_str(),
         myssl_get_protocol_name_used(s->get()).c_str());
    c.ssl = std::move(*s);
    c.never_close = 1;
    return true;
}

}  // namespace tolvane
