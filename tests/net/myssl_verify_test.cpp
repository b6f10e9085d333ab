// The SSL layer's client checks and the server's handshake with a deadline: our client
// side against our server side over loopback, with and without verification, trusting
// the server's certificate or not, for the right name and a wrong one; and a server
// handshake that a silent client cannot stretch beyond the time it is given.
#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>

#include "foundation/lib.h"
#include "net/myssl.h"
#include "net/myssl_internal.h"
#include "net/ssl_support.h"
#include "net/tcp_internal.h"
#include "net/tcp_support.h"

namespace tolvane {
namespace {

using namespace ssltest;
using tcptest::Link;

// The name the shared certificate carries (its first DNS alternative name).
std::string cert_name() {
    X509Ptr x = load_cert(shared_cert());
    for (const std::string& n : alt_names(x.get()))
        if (n.starts_with("DNS:")) return n.substr(4);
    return common_name(x.get());
}

// Our client, with the given client set-up and name, against our server: the client's
// result and reason.
bool connect_as_client(const MysslSetup* client, int verify, const char* domain, std::string& why) {
    Link l;
    std::unique_ptr<CHAN> out = tcp_new();
    out->sk = ::dup(l.peer.get());
    l.peer.reset();
    std::thread server([&] {
        auto sm = myssl_takeover_real(*l.ch, l.ch->sk, -1, 1, nullptr, nullptr, 0, shared_setup());
        if (sm) {
            l.ch->ssl = std::move(*sm);
            l.ch->never_close = 1;
        }
    });
    auto cm = myssl_takeover_real(*out, out->sk, verify, 0, domain, nullptr, 0, client);
    server.join();
    why = cm.reason();
    return cm.ok();
}

TEST(MysslVerify, TheServersCertificateAndNameDecide) {
    Result<MysslSetupPtr> blind_made = myssl_client_setup_new(false);
    ASSERT_TRUE(blind_made) << blind_made.reason();
    MysslSetupPtr blind = std::move(*blind_made);
    Result<MysslSetupPtr> system_made = myssl_client_setup_new(true);
    ASSERT_TRUE(system_made) << system_made.reason();
    MysslSetupPtr system_store = std::move(*system_made);
    // A client that trusts exactly the shared certificate.
    Result<MysslSetupPtr> trusting_made = myssl_client_setup_new(true);
    ASSERT_TRUE(trusting_made) << trusting_made.reason();
    MysslSetupPtr trusting = std::move(*trusting_made);
    ASSERT_EQ(SSL_CTX_load_verify_locations(trusting->client, shared_cert().c_str(), nullptr), 1);
    const std::string name = cert_name();
    ASSERT_FALSE(name.empty());

    struct Case {
        const char* what;
        const MysslSetup* setup;
        int verify;
        std::string domain;
        std::string reason;  // "" when the handshake succeeds; else how the reason starts
    };
    const Case cases[] = {
        {"no check", blind.get(), 0, "wrong.example", ""},
        {"trusted, right name", trusting.get(), 1, name, ""},
        {"trusted, wrong name", trusting.get(), 1, "wrong.example",
         "certificate not verified: hostname mismatch"},
        {"trusted, an address it does not carry", trusting.get(), 1, "192.0.2.7",
         "certificate not verified: IP address mismatch"},
        {"unknown authority", system_store.get(), 1, name, "certificate not verified: self"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string reason;
        bool ok = connect_as_client(c.setup, c.verify, c.domain.c_str(), reason);
        if (c.reason.empty()) {
            EXPECT_TRUE(ok) << reason;
        } else {
            EXPECT_FALSE(ok);
            EXPECT_TRUE(reason.starts_with(c.reason)) << reason;
        }
    }
}

TEST(MysslServerHandshake, ASilentClientIsGivenUpAtTheDeadlineGiven) {
    Link l;
    auto m = myssl_takeover_real(*l.ch, l.ch->sk, -1, 1, nullptr, nullptr, 1, shared_setup());
    ASSERT_TRUE(m) << m.reason();
    MYSSL* raw = m->get();
    l.ch->ssl = std::move(*m);
    l.ch->never_close = 1;
    Status st = myssl_handshake(*l.ch, raw, 300);
    ASSERT_FALSE(st);
    EXPECT_EQ(st.error().reason, "no handshake within 300 ms");
    EXPECT_EQ(st.error().code, ETIMEDOUT);
    // The stream is done: a read afterwards fails at once instead of waiting again.
    char buf[16];
    EXPECT_EQ(tcp_read_timed(l.ch.get(), buf, sizeof buf, 5000), 0);
}

TEST(MysslServerHandshake, AClientThatHandshakesIsServedAfterIt) {
    Link l;
    TlsClient client(::dup(l.peer.get()));
    l.peer.reset();
    auto m = myssl_takeover_real(*l.ch, l.ch->sk, -1, 1, nullptr, nullptr, 1, shared_setup());
    ASSERT_TRUE(m) << m.reason();
    MYSSL* raw = m->get();
    l.ch->ssl = std::move(*m);
    l.ch->never_close = 1;
    bool client_ok = false;
    std::thread t([&] { client_ok = client.handshake(); });
    Status st = myssl_handshake(*l.ch, raw, 10000);
    EXPECT_TRUE(st) << st.reason();
    t.join();
    ASSERT_TRUE(client_ok);
    EXPECT_TRUE(myssl_established(raw));
    EXPECT_EQ(tcp_printf(l.ch.get(), "220 hello\r\n"), 1);
    EXPECT_EQ(client.read_until("\r\n"), "220 hello\r\n");
}

}  // namespace
}  // namespace tolvane
