// SSL layer (see myssl.h): set-up and contexts here, the per-connection stream in
// myssl_stream.cpp.
#include "net/myssl.h"

#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <mutex>

#include "foundation/kind.h"
#include "foundation/lib.h"
#include "foundation/log.h"
#include "foundation/thread.h"
#include "net/encrypt_lib.h"
#include "net/myssl_internal.h"

namespace tolvane {

namespace {

std::atomic<MysslSink> g_info{nullptr};
std::atomic<MysslSink> g_error{nullptr};
std::atomic<int> g_debug{0};
std::atomic<int> g_handshake_ms{MYSSL_HANDSHAKE_MS};

// The process-wide set-up. The contexts are reference-counted by OpenSSL, so a connection
// keeps its context alive by itself once it is made.
struct Global {
    std::mutex lock;
    std::string dir;
    MysslSetupPtr setup;
    int done = 0;
};
Global& global() {
    static Global* g = new Global;  // never destroyed: connections may outlive statics
    return *g;
}

void say(MysslSink sink, void (*fallback)(const char*, ...), const std::string& text) {
    // Texts of the layer may end in a line end; the log adds its own.
    std::string t = text;
    while (!t.empty() && (t.back() == '\n' || t.back() == '\r')) t.pop_back();
    if (sink) {
        sink(t.c_str());
    } else {
        fallback("%s", t.c_str());
    }
}

bool file_missing(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR);
}

// A key file is read without a pass phrase; OpenSSL must not ask for one on the terminal.
int no_pass_phrase(char*, int, int, void*) {
    return 0;
}

void common_options(SSL_CTX* ctx) {
    // Compatibility workarounds; a peer that drops the connection without the closing
    // alert is a closed connection, not a protocol failure.
    SSL_CTX_set_options(ctx, SSL_OP_ALL | SSL_OP_IGNORE_UNEXPECTED_EOF);
    // TLS 1.0 and 1.1 are broken; a host whose system policy still allows them must not
    // make this server accept them.
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    // The TCP layer retries a write with the rest of its data, possibly from another
    // address, and accepts partial writes.
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
}

// Makes the key and certificate files when they are missing; 0 with a reason when one
// could not be made.
int make_missing_files(const std::string& key_path, const std::string& cert_path,
                       std::string& reason) {
    if (RAND_status() == 1) {
        unsigned char one;
        RAND_bytes(&one, 1);
    }
    if (file_missing(key_path)) {
        if (!encrypt_lib_seed()) {
            myssl_error(
                "Warning - insufficient random data available. Private key may not be secure. "
                "To supply random data create a file called random_data.dat in the tolvane "
                "directory containing random data.");
        }
        myssl_info(strprintf("Creating %d bit private key...", ENCRYPT_KEY_BITS));
        Status made = encrypt_lib_mkdirs(key_path);
        if (made) made = encrypt_lib_create_private_key(key_path, ENCRYPT_KEY_BITS, nullptr);
        if (!made) {
            reason = strprintf("cannot create private key file %s: %s", key_path.c_str(),
                               made.reason().c_str());
            return 0;
        }
        myssl_info(strprintf("Created private key file (%s)", key_path.c_str()));
    }
    if (!cert_path.empty() && file_missing(cert_path)) {
        Status made = encrypt_lib_mkdirs(cert_path);
        if (made) {
            made = encrypt_lib_create_certificate(cert_path, key_path, nullptr, tcp_hostname(),
                                                  ENCRYPT_CERT_DAYS);
        }
        if (!made) {
            reason = strprintf("cannot create certificate file %s: %s", cert_path.c_str(),
                               made.reason().c_str());
            return 0;
        }
        myssl_info(strprintf("Created certificate file (%s)", cert_path.c_str()));
    }
    return 1;
}

}  // namespace

// ---- internal helpers shared with the stream ----

void myssl_info(const std::string& text) {
    say(g_info.load(), imsg, text);
}
void myssl_error(const std::string& text) {
    say(g_error.load(), emsg, text);
}
bool myssl_debugging() {
    return g_debug.load() != 0;
}
int myssl_handshake_limit() {
    return g_handshake_ms.load();
}

SSL_CTX* myssl_context(const MysslSetup* setup, int isserver) {
    if (setup) return isserver ? setup->server : setup->client;
    auto& g = global();
    std::lock_guard<std::mutex> hold(g.lock);
    if (!g.setup) return nullptr;
    SSL_CTX* ctx = isserver ? g.setup->server : g.setup->client;
    // The caller makes its connection from it after the lock is gone: hold a reference.
    if (ctx) SSL_CTX_up_ref(ctx);
    return ctx;
}

MysslSetup::~MysslSetup() {
    SSL_CTX_free(server);
    SSL_CTX_free(client);
}

void MysslSetupFree::operator()(MysslSetup* s) const noexcept {
    delete s;
}

// ---- set-up ----

void myssl_setdir(const std::string& dir_in) {
    std::string dir = cut(dir_in, TEXT_MAX);
    if (!dir.empty() && dir.back() != '/' && dir.back() != '\\') dir = cut(dir + "/", TEXT_MAX);
    auto& g = global();
    std::lock_guard<std::mutex> hold(g.lock);
    g.dir = dir;
}

std::string myssl_getdir() {
    auto& g = global();
    std::lock_guard<std::mutex> hold(g.lock);
    return g.dir;
}

std::string myssl_path(const std::string& dir, const std::string& name) {
    if (name.empty()) return std::string();
    if (name.front() == '/' || dir.empty()) return cut(name, TEXT_MAX);
    std::string d = dir;
    if (d.back() == '\\') d.back() = '/';
    if (d.back() != '/') d += '/';
    return cut(d + name, TEXT_MAX);
}

void myssl_set_sinks(MysslSink info, MysslSink error) {
    g_info.store(info);
    g_error.store(error);
}

void myssl_set_debug(int on) {
    g_debug.store(on);
}

void myssl_set_handshake_limit(int ms) {
    g_handshake_ms.store(ms > 0 ? ms : MYSSL_HANDSHAKE_MS);
}

Result<MysslSetupPtr> myssl_setup_new(const std::string& key_path, const std::string& cert_path) {
    std::string reason;
    ERR_clear_error();
    if (!key_path.empty() && !make_missing_files(key_path, cert_path, reason))
        return Error{0, reason};
    MysslSetupPtr s(new MysslSetup);
    s->client = SSL_CTX_new(TLS_client_method());
    if (!s->client)
        return Error{0, "SSL_CTX_new(client) failed: " + encrypt_lib_ssl_error("no reason given")};
    common_options(s->client);
    if (cert_path.empty()) return s;

    s->server = SSL_CTX_new(TLS_server_method());
    if (!s->server)
        return Error{0, "SSL_CTX_new(server) failed: " + encrypt_lib_ssl_error("no reason given")};
    common_options(s->server);
    // A server offers TLS 1.2 only with forward secrecy and authenticated encryption,
    // whatever the system's policy allows; TLS 1.3 keeps OpenSSL's suites (all such).
    if (SSL_CTX_set_cipher_list(s->server, MYSSL_SERVER_CIPHERS) != 1) {
        return Error{0, "the server's TLS 1.2 ciphers cannot be set: " +
                            encrypt_lib_ssl_error("no reason given")};
    }
    SSL_CTX_set_options(s->server, SSL_OP_CIPHER_SERVER_PREFERENCE);
    SSL_CTX_set_default_passwd_cb(s->server, no_pass_phrase);
    // Without a key file of its own the key is expected in the certificate file.
    const std::string& key_file = key_path.empty() ? cert_path : key_path;
    const char* cert = cert_path.c_str();
    if (SSL_CTX_use_certificate_file(s->server, cert, SSL_FILETYPE_PEM) != 1) {
        reason = strprintf("use_certificate_file failed (%s: %s)", cert,
                           encrypt_lib_ssl_error("unreadable").c_str());
    } else if (SSL_CTX_use_certificate_chain_file(s->server, cert) != 1) {
        reason = strprintf("use_certificate_chain_file failed (%s: %s)", cert,
                           encrypt_lib_ssl_error("unreadable").c_str());
    } else if (SSL_CTX_use_PrivateKey_file(s->server, key_file.c_str(), SSL_FILETYPE_PEM) != 1) {
        reason = strprintf("use_privatekey_file failed (%s: %s)", key_file.c_str(),
                           encrypt_lib_ssl_error("unreadable").c_str());
    } else if (SSL_CTX_check_private_key(s->server) != 1) {
        ERR_clear_error();
        reason = "check private key failed";
    }
    if (!reason.empty()) return Error{0, reason};
    return s;
}

Result<MysslSetupPtr> myssl_client_setup_new(bool verify) {
    ERR_clear_error();
    MysslSetupPtr s(new MysslSetup);
    s->client = SSL_CTX_new(TLS_client_method());
    if (!s->client)
        return Error{0, "SSL_CTX_new(client) failed: " + encrypt_lib_ssl_error("no reason given")};
    common_options(s->client);
    if (verify && SSL_CTX_set_default_verify_paths(s->client) != 1) {
        return Error{0, "the system's certificate authorities cannot be loaded: " +
                            encrypt_lib_ssl_error("no reason given")};
    }
    return s;
}

Status myssl_init(const std::string& key, const std::string& cert, MysslSink info,
                  MysslSink error) {
    auto& g = global();
    std::lock_guard<std::mutex> hold(g.lock);
    if (g.done) return {};
    if (info) g_info.store(info);
    if (error) g_error.store(error);
    if (OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS,
                         nullptr) != 1) {
        return Error{0, "SSL_Library_Init call failed"};
    }
    // Each thread's random generators and error queue go when the thread ends, before it
    // reports itself finished, so an exit while workers end finds nothing of theirs left.
    th_on_thread_end([] { OPENSSL_thread_stop(); });
    {
        std::ifstream in("random_data.dat", std::ios::binary);
        if (in) {
            std::string data((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
            myssl_info(strprintf("Using %d bytes of random data from random_data.dat",
                                 static_cast<int>(data.size())));
            if (!data.empty()) RAND_seed(data.data(), static_cast<int>(data.size()));
        }
    }
    std::string key_path = myssl_path(g.dir, key);
    std::string cert_path = myssl_path(g.dir, cert);
    Result<MysslSetupPtr> s = myssl_setup_new(key_path, cert_path);
    if (!s) {
        std::string line = strprintf("SSL init failed (%s)", s.error().reason.c_str());
        myssl_info(line);
        myssl_error(line);
        return std::move(s.error());
    }
    g.setup = std::move(*s);
    g.done = 1;
    myssl_info("SSL init completed OK");
    return {};
}

TcpSslHooks myssl_hooks() {
    TcpSslHooks h;
    h.init = [](const std::string& key, const std::string& cert) { return myssl_init(key, cert); };
    h.setdir = [](const std::string& dir) { myssl_setdir(dir); };
    h.takeover = [](CHAN& c, int isserver, ChanStream* inherit,
                    std::string& reason) -> std::unique_ptr<ChanStream> {
        // A server connection's handshake runs on the thread that serves it (see myssl.h).
        auto s = myssl_takeover_real(c, c.sk, -1, isserver, nullptr, kind_cast<MYSSL>(inherit),
                                     isserver ? 1 : 0);
        if (!s) {
            reason = std::move(s.error().reason);
            return nullptr;
        }
        return std::move(*s);
    };
    return h;
}

}  // namespace tolvane
