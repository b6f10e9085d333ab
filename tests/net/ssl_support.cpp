// Helpers for the SSL layer and key file tests.
#include "net/ssl_support.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

#include "net/encrypt_lib.h"

namespace tolvane::ssltest {

TempDir::TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "tvssl_XXXXXX").string();
    char* made = ::mkdtemp(tmpl.data());
    EXPECT_NE(made, nullptr);
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void spit(const std::string& path, std::string_view text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

int mode_of(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return -1;
    return static_cast<int>(st.st_mode & 07777);
}

struct stat stat_of(const std::string& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st;
}

std::vector<std::string> names_in(const std::string& dir) {
    std::vector<std::string> out;
    for (auto& e : std::filesystem::directory_iterator(dir)) out.push_back(e.path().filename());
    std::sort(out.begin(), out.end());
    return out;
}

// ---- captured messages ----

namespace {
std::mutex g_lock;
std::vector<std::string> g_msgs;
void keep(const char* text) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_msgs.emplace_back(text);
}
}  // namespace

Capture::Capture() {
    {
        std::lock_guard<std::mutex> hold(g_lock);
        g_msgs.clear();
    }
    myssl_set_sinks(keep, keep);
}

Capture::~Capture() {
    myssl_set_sinks(nullptr, nullptr);
}

bool Capture::saw(std::string_view part) const {
    std::lock_guard<std::mutex> hold(g_lock);
    for (auto& m : g_msgs)
        if (m.find(part) != std::string::npos) return true;
    return false;
}

std::string Capture::all() const {
    std::lock_guard<std::mutex> hold(g_lock);
    std::string out;
    for (auto& m : g_msgs) out += m + "\n";
    return out;
}

// ---- certificates ----

X509Ptr load_cert(const std::string& path) {
    X509* x = nullptr;
    if (BIO* b = BIO_new_file(path.c_str(), "r")) {
        x = PEM_read_bio_X509(b, nullptr, nullptr, nullptr);
        BIO_free(b);
    }
    ERR_clear_error();
    return X509Ptr(x);
}

PkeyPtr load_key(const std::string& path, const char* pass) {
    EVP_PKEY* k = nullptr;
    if (BIO* b = BIO_new_file(path.c_str(), "r")) {
        k = PEM_read_bio_PrivateKey(b, nullptr, nullptr, const_cast<char*>(pass));
        BIO_free(b);
    }
    ERR_clear_error();
    return PkeyPtr(k);
}

std::string common_name(X509* x) {
    char buf[256] = {0};
    if (!x) return "";
    int n = X509_NAME_get_text_by_NID(X509_get_subject_name(x), NID_commonName, buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

std::vector<std::string> alt_names(X509* x) {
    std::vector<std::string> out;
    auto* names =
        static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(x, NID_subject_alt_name, nullptr, nullptr));
    if (!names) return out;
    for (int i = 0; i < sk_GENERAL_NAME_num(names); ++i) {
        GENERAL_NAME* gn = sk_GENERAL_NAME_value(names, i);
        int type = 0;
        auto* v = static_cast<ASN1_STRING*>(GENERAL_NAME_get0_value(gn, &type));
        const unsigned char* d = ASN1_STRING_get0_data(v);
        int len = ASN1_STRING_length(v);
        if (type == GEN_DNS) {
            out.push_back("DNS:" + std::string(reinterpret_cast<const char*>(d),
                                               static_cast<std::size_t>(len)));
        } else if (type == GEN_IPADD && len == 4) {
            out.push_back("IP:" + std::to_string(d[0]) + "." + std::to_string(d[1]) + "." +
                          std::to_string(d[2]) + "." + std::to_string(d[3]));
        }
    }
    GENERAL_NAMES_free(names);
    return out;
}

// ---- the shared pair ----

namespace {
struct Shared {
    TempDir dir;
    std::string key, cert;
    MysslSetupPtr setup;
    Shared() {
        key = dir.file("shared_priv.pem");
        cert = dir.file("shared_cert.pem");
        Result<MysslSetupPtr> made = myssl_setup_new(key, cert);
        EXPECT_TRUE(made) << made.reason();
        if (made) setup = std::move(*made);
    }
};
Shared& shared() {
    static Shared s;
    return s;
}
}  // namespace

const std::string& shared_key() {
    return shared().key;
}
const std::string& shared_cert() {
    return shared().cert;
}
const MysslSetup* shared_setup() {
    return shared().setup.get();
}

// ---- the client ----

TlsClient::TlsClient(int fd) : fd_(fd) {
    timeval tv{20, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    ctx_ = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_verify(ctx_, SSL_VERIFY_NONE, nullptr);
    ssl_ = SSL_new(ctx_);
    SSL_set_fd(ssl_, fd_);
    SSL_set_connect_state(ssl_);
}

TlsClient::~TlsClient() {
    SSL_free(ssl_);
    SSL_CTX_free(ctx_);
    close_socket();
}

void TlsClient::close_socket() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool TlsClient::handshake() {
    ERR_clear_error();
    int r = SSL_do_handshake(ssl_);
    last_error_ = r == 1 ? 0 : SSL_get_error(ssl_, r);
    return r == 1;
}

bool TlsClient::send(std::string_view data) {
    while (!data.empty()) {
        ERR_clear_error();
        int n = SSL_write(ssl_, data.data(), static_cast<int>(data.size()));
        if (n <= 0) {
            last_error_ = SSL_get_error(ssl_, n);
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::string TlsClient::read_some() {
    char buf[16384];
    ERR_clear_error();
    int n = SSL_read(ssl_, buf, sizeof buf);
    if (n <= 0) {
        last_error_ = SSL_get_error(ssl_, n);
        return "";
    }
    return std::string(buf, static_cast<std::size_t>(n));
}

std::string TlsClient::read_all() {
    std::string out;
    for (;;) {
        std::string part = read_some();
        if (part.empty()) return out;
        out += part;
    }
}

std::string TlsClient::read_until(std::string_view suffix) {
    std::string out;
    while (!out.ends_with(suffix)) {
        std::string part = read_some();
        if (part.empty()) break;
        out += part;
    }
    return out;
}

bool TlsClient::shutdown() {
    return SSL_shutdown(ssl_) >= 0;
}

std::string TlsClient::version() const {
    return SSL_get_version(ssl_);
}

X509Ptr TlsClient::peer_cert() const {
    return X509Ptr(SSL_get1_peer_certificate(ssl_));
}

std::string client_hello_bytes() {
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    SSL* s = SSL_new(ctx);
    BIO* rb = BIO_new(BIO_s_mem());
    BIO* wb = BIO_new(BIO_s_mem());
    SSL_set_bio(s, rb, wb);
    SSL_set_connect_state(s);
    SSL_do_handshake(s);
    char* data = nullptr;
    long n = BIO_get_mem_data(wb, &data);
    std::string out(data, static_cast<std::size_t>(n > 0 ? n : 0));
    SSL_free(s);
    SSL_CTX_free(ctx);
    ERR_clear_error();
    return out;
}

}  // namespace tolvane::ssltest
