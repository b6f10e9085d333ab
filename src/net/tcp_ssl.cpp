// TCP channels: the seam to the SSL layer. The TCP layer knows the encrypted stream
// only through ChanStream and a set of hooks (the SSL layer's by default, a stand-in in
// tests); this file holds the key and certificate names and the one-time set-up.
//
// Ownership: the hook set and the names are process-wide, guarded by lock 0. Limits: the
// set-up runs once; a failed set-up is not tried again, and every later handshake is
// refused with the same reason.
#include <functional>
#include <string>

#include "foundation/lib.h"
#include "net/myssl.h"
#include "net/tcp.h"
#include "net/tcp_internal.h"

namespace tolvane {

namespace {

struct SslState {
    std::string key, cert;
    int done = 0;
    int failed = 0;                     // the one set-up failed: every later handshake is refused
    TcpSslHooks hooks = myssl_hooks();  // the SSL layer is always there
};
SslState& ssl_state() {
    static SslState* s = new SslState;
    return *s;
}

}  // namespace

// ---- SSL seam ----

void tcp_ssl_hooks(TcpSslHooks hooks) {
    TcpLockHold hold(0);
    ssl_state().hooks = std::move(hooks);
}

void tcp_ssl_setkey(const std::string& key, const std::string& cert) {
    TcpLockHold hold(0);
    ssl_state().key = cut(key, 200);
    ssl_state().cert = cut(cert, 200);
}

void tcp_ssl_setdir(const std::string& dir) {
    std::function<void(const std::string&)> setdir;
    {
        TcpLockHold hold(0);
        setdir = ssl_state().hooks.setdir;
    }
    if (setdir) setdir(dir);
}

Status tcp_ssl_init(CHAN* c, int isserver, ChanStream* inherit) {
    decltype(TcpSslHooks::takeover) takeover;
    {
        TcpLockHold hold(0);
        auto& s = ssl_state();
        if (!s.done) {
            // Set before the set-up runs: a failed set-up is not tried again.
            s.done = 1;
            if (!isserver) s.key.clear(), s.cert.clear();
            if (!s.hooks.init) return Error{0, "SSL layer not available"};
            if (Status st = s.hooks.init(s.key, s.cert); !st) {
                s.failed = 1;
                return Error{0, "myssl_init failed."};
            }
        } else if (s.failed) {
            return Error{0, "myssl_init failed."};
        }
        takeover = s.hooks.takeover;
    }
    if (!c) return {};
    if (!takeover) return Error{0, "SSL layer not available"};
    if (c->sk < 0) return Error{0, "socket invalid"};
    std::string reason;
    auto stream = takeover(*c, isserver, inherit, reason);
    if (!stream) return Error{0, reason};
    c->ssl = std::move(stream);
    c->never_close = 1;
    return {};
}

}  // namespace tolvane
