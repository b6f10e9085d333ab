// Helpers for the SSL layer and key file tests: a temporary directory, file inspection,
// a message sink that keeps what the layer reports, and a TLS client built directly on
// OpenSSL's client API over a bare socket (so that a fault in our layer cannot hide on
// both ends).
#pragma once

#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net/myssl.h"

namespace tolvane::ssltest {

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }

  private:
    std::string path_;
};

std::string slurp(const std::string& path);
void spit(const std::string& path, std::string_view text);
bool exists(const std::string& path);
// Permission bits, -1 when the file cannot be stat'ed.
int mode_of(const std::string& path);
struct stat stat_of(const std::string& path);
// Names in dir (without . and ..), sorted.
std::vector<std::string> names_in(const std::string& dir);

// The layer's messages, kept while a Capture lives (both sinks).
class Capture {
  public:
    Capture();
    ~Capture();
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;
    bool saw(std::string_view part) const;
    std::string all() const;
};

struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};
struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
X509Ptr load_cert(const std::string& path);
PkeyPtr load_key(const std::string& path, const char* pass = "");
std::string common_name(X509* x);
// "DNS:name" and "IP:a.b.c.d" entries of the subject alternative names.
std::vector<std::string> alt_names(X509* x);

// One key and certificate pair made once for the test program, in a directory that lives
// until the program ends, and the contexts built from them.
const std::string& shared_key();
const std::string& shared_cert();
const MysslSetup* shared_setup();

// A TLS client on a connected socket (owned). Every call waits at most 20 seconds.
class TlsClient {
  public:
    explicit TlsClient(int fd);
    ~TlsClient();
    TlsClient(const TlsClient&) = delete;
    TlsClient& operator=(const TlsClient&) = delete;

    bool handshake();
    bool send(std::string_view data);
    // One read: the bytes, or "" when the connection closed or failed (see last_error).
    std::string read_some();
    // Reads until the connection closes; the closing condition is in last_error.
    std::string read_all();
    // Reads until text ends with suffix or the connection ends.
    std::string read_until(std::string_view suffix);
    // Sends the closing alert.
    bool shutdown();
    int last_error() const { return last_error_; }
    std::string version() const;
    X509Ptr peer_cert() const;
    int fd() const { return fd_; }
    void close_socket();

  private:
    int fd_;
    SSL_CTX* ctx_ = nullptr;
    SSL* ssl_ = nullptr;
    int last_error_ = 0;
};

// A ClientHello as the first flight of a fresh client would send it.
std::string client_hello_bytes();

}  // namespace tolvane::ssltest
