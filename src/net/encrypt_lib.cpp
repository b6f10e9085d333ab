// Key and certificate files (see encrypt_lib.h).
#include "net/encrypt_lib.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

#include "foundation/fileio.h"
#include "foundation/lib.h"

namespace tolvane {

namespace {

template <auto Fn>
struct Freer {
    template <class T>
    void operator()(T* p) const {
        Fn(p);
    }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY_free>>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, Freer<EVP_PKEY_CTX_free>>;
using BioPtr = std::unique_ptr<BIO, Freer<BIO_free_all>>;
using X509Ptr = std::unique_ptr<X509, Freer<X509_free>>;
using ExtPtr = std::unique_ptr<X509_EXTENSION, Freer<X509_EXTENSION_free>>;
using NamesPtr = std::unique_ptr<GENERAL_NAMES, Freer<GENERAL_NAMES_free>>;

// The longest common name a certificate may carry.
constexpr std::size_t CN_MAX = 64;

long micros_now() {
    using namespace std::chrono;
    return static_cast<long>(
        duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

std::string bio_text(BIO* b) {
    char* data = nullptr;
    long n = BIO_get_mem_data(b, &data);
    return n > 0 && data ? std::string(data, static_cast<std::size_t>(n)) : std::string();
}

bool looks_like_ipv4(const std::string& s) {
    in_addr a{};
    return inet_pton(AF_INET, s.c_str(), &a) == 1;
}

bool add_general_name(GENERAL_NAMES* names, int type, const std::string& value) {
    GENERAL_NAME* gn = GENERAL_NAME_new();
    if (!gn) return false;
    ASN1_OCTET_STRING* v = nullptr;
    if (type == GEN_IPADD) {
        unsigned char ip[4];
        if (inet_pton(AF_INET, value.c_str(), ip) != 1 || !(v = ASN1_OCTET_STRING_new()) ||
            !ASN1_OCTET_STRING_set(v, ip, 4)) {
            ASN1_OCTET_STRING_free(v);
            GENERAL_NAME_free(gn);
            return false;
        }
    } else {
        v = ASN1_IA5STRING_new();
        if (!v || !ASN1_STRING_set(v, value.data(), static_cast<int>(value.size()))) {
            ASN1_IA5STRING_free(v);
            GENERAL_NAME_free(gn);
            return false;
        }
    }
    GENERAL_NAME_set0_value(gn, type, v);
    if (!sk_GENERAL_NAME_push(names, gn)) {
        GENERAL_NAME_free(gn);
        return false;
    }
    return true;
}

// The alternative names: the host (as an address when it is one), localhost and the
// loopback address, each once.
bool add_alt_names(X509* x, const std::string& host) {
    NamesPtr names(GENERAL_NAMES_new());
    if (!names) return false;
    bool ok = true;
    if (!host.empty() && host != "localhost" && host != "127.0.0.1") {
        ok = add_general_name(names.get(), looks_like_ipv4(host) ? GEN_IPADD : GEN_DNS, host);
    }
    ok = ok && add_general_name(names.get(), GEN_DNS, "localhost") &&
         add_general_name(names.get(), GEN_IPADD, "127.0.0.1");
    return ok && X509_add1_ext_i2d(x, NID_subject_alt_name, names.get(), 0, 0) == 1;
}

bool add_conf_ext(X509* x, X509V3_CTX* ctx, int nid, const std::string& value) {
    ExtPtr ext(X509V3_EXT_conf_nid(nullptr, ctx, nid, value.c_str()));
    return ext && X509_add_ext(x, ext.get(), -1) == 1;
}

}  // namespace

std::string encrypt_lib_ssl_error(const char* fallback) {
    unsigned long e = ERR_get_error();
    ERR_clear_error();
    if (e == 0) return fallback ? fallback : "";
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    return buf;
}

int encrypt_lib_seed() {
    if (RAND_status() == 1) return 1;
    // Ask the system's sources again, then stir in the jitter of the clock. Jitter is not
    // real entropy, but it is all there is left to give.
    for (int step = 0; step < 1000 && RAND_status() != 1; ++step) {
        RAND_poll();
        long a = micros_now();
        ::usleep(100);
        long b = micros_now();
        long mix[2] = {a, b - a};
        RAND_seed(mix, sizeof mix);
    }
    return RAND_status() == 1 ? 1 : 0;
}

Status encrypt_lib_mkdirs(const std::string& file_path) {
    auto slash = file_path.find_last_of('/');
    if (slash == std::string::npos || slash == 0) return {};
    std::string dir = file_path.substr(0, slash);
    for (std::size_t i = 1; i <= dir.size(); ++i) {
        if (i < dir.size() && dir[i] != '/') continue;
        std::string part = dir.substr(0, i);
        struct stat st {};
        if (::stat(part.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode)) {
                return Error{0, strprintf("%s is not a directory", part.c_str())};
            }
            continue;
        }
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            const int err = errno;
            return Error{err, strprintf("cannot create directory %s (%s)", part.c_str(),
                                        system_error(err).c_str())};
        }
    }
    return {};
}

Status encrypt_lib_create_private_key(const std::string& path, int bits, const char* pass) {
    if (pass && !*pass) pass = nullptr;
    if (bits < 512) {
        return Error{0, strprintf("a key of %d bits is too small", bits)};
    }
    encrypt_lib_seed();
    ERR_clear_error();
    PkeyCtxPtr kctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* raw = nullptr;
    if (!kctx || EVP_PKEY_keygen_init(kctx.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_keygen_bits(kctx.get(), bits) <= 0 ||
        EVP_PKEY_generate(kctx.get(), &raw) <= 0) {
        return Error{0, "key generation failed: " + encrypt_lib_ssl_error("no reason given")};
    }
    PkeyPtr key(raw);
    BioPtr mem(BIO_new(BIO_s_mem()));
    const EVP_CIPHER* cipher = pass ? EVP_des_ede3_cbc() : nullptr;
    int plen = pass ? static_cast<int>(std::strlen(pass)) : 0;
    if (!mem || !PEM_write_bio_PrivateKey(mem.get(), key.get(), cipher,
                                          reinterpret_cast<const unsigned char*>(pass), plen,
                                          nullptr, nullptr)) {
        return Error{0, "cannot encode the key: " + encrypt_lib_ssl_error("no reason given")};
    }
    return write_file_atomic(path, bio_text(mem.get()), 0600);
}

Status encrypt_lib_create_certificate(const std::string& cert_path, const std::string& key_path,
                                      const char* pass, const std::string& common_name, int days) {
    ERR_clear_error();
    if (days <= 0) {
        return Error{0, strprintf("a certificate valid for %d days is not valid at all", days)};
    }
    PkeyPtr key;
    {
        BioPtr in(BIO_new_file(key_path.c_str(), "r"));
        if (!in) {
            const int err = errno;
            ERR_clear_error();
            return Error{err, strprintf("cannot read the private key %s (%s)", key_path.c_str(),
                                        system_error(err).c_str())};
        }
        // An empty pass phrase rather than none: OpenSSL would otherwise ask on the
        // terminal, which a daemon does not have.
        key.reset(PEM_read_bio_PrivateKey(in.get(), nullptr, nullptr,
                                          const_cast<char*>(pass ? pass : "")));
        if (!key) {
            return Error{0, strprintf("cannot read the private key %s (%s)", key_path.c_str(),
                                      encrypt_lib_ssl_error("not a PEM private key").c_str())};
        }
    }
    X509Ptr x(X509_new());
    if (!x) {
        return Error{0, "out of memory"};
    }
    unsigned char rnd[4] = {0, 0, 0, 0};
    RAND_bytes(rnd, sizeof rnd);
    long serial = (static_cast<long>(rnd[0] & 0x7f) << 24) | (static_cast<long>(rnd[1]) << 16) |
                  (static_cast<long>(rnd[2]) << 8) | rnd[3];
    if (serial == 0) serial = 1;
    std::string cn = cut(common_name, CN_MAX);
    X509_NAME* name = X509_get_subject_name(x.get());
    bool ok = X509_set_version(x.get(), X509_VERSION_3) == 1 &&
              ASN1_INTEGER_set(X509_get_serialNumber(x.get()), serial) == 1 &&
              X509_gmtime_adj(X509_getm_notBefore(x.get()), -ENCRYPT_CERT_BACKDATE) &&
              X509_gmtime_adj(X509_getm_notAfter(x.get()), static_cast<long>(days) * 86400L) &&
              X509_set_pubkey(x.get(), key.get()) == 1;
    if (ok && !cn.empty()) {
        ok = X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                        reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1,
                                        0) == 1;
    }
    ok = ok && X509_set_issuer_name(x.get(), name) == 1;
    if (!ok) {
        return Error{0, strprintf("cannot fill in the certificate for \"%s\" (%s)", cn.c_str(),
                                  encrypt_lib_ssl_error("bad field").c_str())};
    }
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, x.get(), x.get(), nullptr, nullptr, 0);
    if (!cn.empty()) {
        ok = add_conf_ext(x.get(), &ctx, NID_netscape_cert_type, "server") &&
             add_conf_ext(x.get(), &ctx, NID_netscape_ssl_server_name, cn);
    }
    ok = ok && add_alt_names(x.get(), cut(common_name, 253));
    if (!ok) {
        return Error{0, strprintf("cannot add the certificate extensions for \"%s\" (%s)",
                                  cn.c_str(), encrypt_lib_ssl_error("bad value").c_str())};
    }
    if (X509_sign(x.get(), key.get(), EVP_sha256()) <= 0) {
        return Error{0, "cannot sign the certificate: " + encrypt_lib_ssl_error("no reason given")};
    }
    BioPtr mem(BIO_new(BIO_s_mem()));
    if (!mem || !PEM_write_bio_X509(mem.get(), x.get())) {
        return Error{0,
                     "cannot encode the certificate: " + encrypt_lib_ssl_error("no reason given")};
    }
    return write_file_atomic(cert_path, bio_text(mem.get()), 0644);
}

}  // namespace tolvane
