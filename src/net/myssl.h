// SSL layer: gives a TCP channel an encrypted stream.
//
// The layer owns the process-wide SSL contexts (one server context with the key and
// certificate, one client context), makes the key and a self-signed certificate on first
// use when their files are missing (encrypt_lib), and turns OpenSSL's retry conditions
// into the TCP layer's would-block convention. A MYSSL is the stream of one channel: the
// TCP layer calls it for every read, write and the close once tcp_ssl_init attached it,
// and it owns the socket from then on (releasing it closes the socket).
//
// OpenSSL 3 is thread-safe by itself: it needs no locking or thread-id callbacks, so the
// layer installs none. Each MYSSL is used by the one thread that owns its channel.
//
// Handshake. myssl_takeover_real either runs the whole handshake before it returns (at
// most MYSSL_HANDSHAKE_MS) or, with defer set, returns at once and lets the first read or
// write on the channel drive the handshake, within the same limit counted from the
// takeover. The server side of the gateway defers: the main loop that accepts connections
// must not wait on a client that connects and says nothing, so the wait happens on the
// connection's own thread. A deferred handshake that fails is logged ("SSL failed (%s)")
// and the read or write gives 0, which the TCP layer treats as a closed connection.
//
// Reads and writes: >0 bytes, 0 failed or closed, -1 would block (channel in non-blocking
// mode, wouldblock() is then true). On a blocking channel they wait at most 120 seconds.
// The close sends the closing alert (waiting at most 20 seconds for it to go out), then
// releases the connection and the socket. Writes to a vanished peer rely on SIGPIPE being
// ignored, as tcp_init does.
//
// Servers (the web channel, the SMTP listener) speak TLS 1.2 and 1.3 only, and TLS 1.2
// only with the suites of MYSSL_SERVER_CIPHERS (ECDHE key exchange, AEAD ciphers; the
// server's order first), whatever the system's OpenSSL policy allows; TLS 1.3 has
// OpenSSL's own suites. The client side (the relay sender) keeps OpenSSL's defaults
// from TLS 1.2 on, so that it still reaches older relays.
//
// Limits: server side with one certificate; no per-domain contexts, certificate reloading
// or interactive peer verification; require_cert 1 uses OpenSSL's own verification with
// no certificate authorities configured, so it refuses every client certificate.
//
//   myssl_setdir("/var/tolvane");
//   if (Status st = myssl_init("tv_priv.pem", "tv_cert.pem"); !st)
//       emsg("%s", st.reason().c_str());
//   auto s = myssl_takeover_real(*chan, chan->sk, -1, 1, nullptr, nullptr, 1);
//   if (s) { chan->ssl = std::move(*s); chan->never_close = 1; }
#pragma once

#include <openssl/types.h>

#include <memory>
#include <string>

#include "foundation/result.h"
#include "net/tcp.h"

namespace tolvane {

// Time limits of the layer, in milliseconds.
inline constexpr int MYSSL_HANDSHAKE_MS = 30000;
inline constexpr int MYSSL_BLOCKING_MS = 120000;
inline constexpr int MYSSL_CLOSE_MS = 20000;

// TLS 1.2 suites a server offers: ECDHE with AES-GCM or ChaCha20-Poly1305, for ECDSA and
// RSA keys (the self-made key is RSA).
inline constexpr const char* MYSSL_SERVER_CIPHERS =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";

// Message sinks of the layer; null restores imsg (info) and emsg (error).
using MysslSink = void (*)(const char* text);

// The contexts made from one key and certificate pair (see myssl_setup_new).
class MysslSetup;
struct MysslSetupFree {
    void operator()(MysslSetup* s) const noexcept;
};
using MysslSetupPtr = std::unique_ptr<MysslSetup, MysslSetupFree>;

// The encrypted stream of one channel. Its fields belong to the layer.
class MYSSL final : public ChanStream {
  public:
    MYSSL() = default;
    ~MYSSL() override;  // releases the connection (and so the socket) if not closed
    MYSSL(const MYSSL&) = delete;
    MYSSL& operator=(const MYSSL&) = delete;

    int read(CHAN& c, char* buf, int len) override;
    int write(CHAN& c, const char* data, int len) override;
    bool wouldblock() const override;
    bool pending() const override;
    void close(CHAN& c) override;
    std::string lastmsg() const override;
    long wait_limit_ms() const override;  // time left of the handshake limit, until done

    std::string msg;           // last failure, shown by tcp_error while attached
    int wb = 0;                // a read or write has not completed
    SSL* ssl = nullptr;        // the connection; owns the socket BIO
    long started_ms = 0;       // takeover time, for the handshake limit
    int attempts = 0;          // handshake attempts so far
    bool established = false;  // handshake finished
    bool failed = false;       // a fatal error: no further transfer, no closing alert
    int want = 0;              // poll events the last retry waits for (0: a short pause)
    std::string err_text;      // first OpenSSL error of the last failed call
};
using Myssl = MYSSL;

// ---- process-wide set-up ----
// Directory of the key and certificate files (at most 999 characters); a "/" is added when
// the text does not end in one.
void myssl_setdir(const std::string& dir);
std::string myssl_getdir();
// Full path of a key or certificate file: the directory plus name, or name alone when it is
// absolute (or empty). Empty name gives an empty path.
std::string myssl_path(const std::string& dir, const std::string& name);
// One-time initialisation with file names in the directory (either may be empty: no key
// means no files are made, no certificate means client side only). Fails with the reason
// (also reported as "SSL init failed (%s)"); succeeds at once when already initialised.
Status myssl_init(const std::string& key, const std::string& cert, MysslSink info = nullptr,
                  MysslSink error = nullptr);
void myssl_set_sinks(MysslSink info, MysslSink error);
// Debug switch: reports every want-read, want-write and close retry.
void myssl_set_debug(int on);
// Limit of a handshake in milliseconds (MYSSL_HANDSHAKE_MS unless changed; for tests).
void myssl_set_handshake_limit(int ms);

// Builds contexts for the key and certificate files at the two full paths, making the files
// when missing, without touching the process-wide set-up. Fails with the reason.
Result<MysslSetupPtr> myssl_setup_new(const std::string& key_path, const std::string& cert_path);

// Contexts for the client side only, without key or certificate files. With verify the
// peer's certificate is checked against the system's certificate authorities (OpenSSL's
// default paths, which SSL_CERT_FILE and SSL_CERT_DIR override) and a takeover given a
// domain checks the name in it. Fails with the reason.
Result<MysslSetupPtr> myssl_client_setup_new(bool verify);

// ---- one connection ----
// Starts SSL on the connected socket sk of channel c (server side when isserver, else
// client side). require_cert: 1 verify the peer, 0 do not, -1 the process default (off).
// domain, on the client side, is the server's name (or address): sent for name-based
// hosting and, with require_cert 1, the name the certificate must carry. inherit,
// when given, lends its contexts; setup, when given, is used instead of the process-wide
// contexts and must outlive the stream. With defer the handshake waits for the first read
// or write. Fails with the reason; a failure that dropped the socket sets c.sk -1.
Result<std::unique_ptr<MYSSL>> myssl_takeover_real(CHAN& c, int sk, int require_cert,
                                                   int isserver, const char* domain,
                                                   MYSSL* inherit, int defer = 0,
                                                   const MysslSetup* setup = nullptr);

// Drives a deferred handshake to its end within ms (and the layer's own limit). On failure
// the stream is unusable and the error's code tells a time-out (ETIMEDOUT: ms ran out, the
// peer said too little) from any other failure (0: refused, broken, channel closing). For
// a server that must not start its dialogue before the client's handshake is complete.
Status myssl_handshake(CHAN& c, MYSSL* m, int ms);

int myssl_read(CHAN& c, MYSSL* m, char* buf, int len);
int myssl_write(CHAN& c, MYSSL* m, const char* data, int len);
// Orderly shutdown, then the connection and its socket are released; m stays allocated
// (its owner frees it) but is no longer usable.
void myssl_close(CHAN& c, MYSSL* m);
int myssl_wouldblock(const MYSSL* m);
int myssl_pending(const MYSSL* m);
std::string myssl_lastmsg(const MYSSL* m);
// Protocol version of the connection ("TLSv1.3"); "" before the handshake finished.
std::string myssl_get_protocol_name_used(const MYSSL* m);
// True once the handshake finished.
bool myssl_established(const MYSSL* m);

// The TCP layer's hooks for this layer (installed by default).
TcpSslHooks myssl_hooks();

}  // namespace tolvane
