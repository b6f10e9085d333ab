// Salted SHA-1 digests: see ssha.h.
#include "foundation/ssha.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include "foundation/lib.h"

namespace tolvane {

namespace {

thread_local std::string sha_error;

void set_error(const std::string& details, const char* error) {
    sha_error = strprintf("details:(%.200s) error:(%.200s)", details.c_str(), error);
}

bool sha1(std::string_view a, const unsigned char* b, std::size_t blen, unsigned char* md) {
    std::string in(a);
    in.append(reinterpret_cast<const char*>(b), blen);
    unsigned int mdlen = 0;
    return EVP_Digest(in.data(), in.size(), md, &mdlen, EVP_sha1(), nullptr) == 1 && mdlen == 20;
}

bool in_alphabet(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/';
}

// Steps 2 to 4 of a digest: SHA-1 of password and salt, then digest and salt in Base64.
int body_with_salt(std::string_view password, const unsigned char* salt, std::string& out,
                   std::size_t size, std::string& details) {
    password = password.substr(0, std::min(password.size(), SSHA_PASSWORD_MAX));
    unsigned char both[20 + SSHA_SALT_LEN];
    if (!sha1(password, salt, SSHA_SALT_LEN, both)) {
        details += "sha1 failed";
        set_error(details, "Could not create digest");
        return 0;
    }
    details += "digest made; ";
    std::copy(salt, salt + SSHA_SALT_LEN, both + 20);
    std::string text =
        encode_base64(std::string_view(reinterpret_cast<const char*>(both), sizeof both));
    if (text.size() != SSHA_BODY_LEN) {
        details += "base64 failed";
        set_error(details, "SSHA: Could not create base64digest buffer - malloc failed");
        return 0;
    }
    details += "encoded";
    out = size == 0 ? std::string() : cut(text, size - 1);
    set_error(details, "No Errors");
    return 1;
}

}  // namespace

std::string encode_base64(std::string_view bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(bytes.data()),
                            static_cast<int>(bytes.size()));
    out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return out;
}

int decode_base64(std::string_view text, std::string& out, std::size_t size) {
    out.clear();
    // Up to two "=" may close the text; anything else outside the alphabet is refused.
    std::size_t body = text.size();
    while (body > 0 && text.size() - body < 2 && text[body - 1] == '=') --body;
    for (std::size_t i = 0; i < body; ++i)
        if (!in_alphabet(text[i])) return -1;
    if (body % 4 == 1) return -1;  // a lone sextet cannot encode a byte
    std::string padded(text.substr(0, body));
    while (padded.size() % 4) padded += '=';
    std::string bin(padded.size() / 4 * 3 + 1, '\0');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bin.data()),
                            reinterpret_cast<const unsigned char*>(padded.data()),
                            static_cast<int>(padded.size()));
    if (n < 0) return -1;
    // EVP_DecodeBlock counts the bytes hidden by padding as zeros.
    std::size_t len = static_cast<std::size_t>(n) - (padded.size() - body);
    if (size == 0) return 0;
    if (len > size - 1) len = size - 1;
    out.assign(bin.data(), len);
    return static_cast<int>(len);
}

std::vector<unsigned char> make_salt(std::size_t len) {
    std::vector<unsigned char> salt(len);
    if (len > 0 && RAND_bytes(salt.data(), static_cast<int>(len)) != 1) {
        set_error("drawing salt", "Could not create salt");
        return {};
    }
    return salt;
}

int raw_create_ssha(std::string_view password, std::string& out, std::size_t size,
                    const char* stored) {
    out.clear();
    std::string details;
    if (!stored) {
        std::vector<unsigned char> salt = make_salt(SSHA_SALT_LEN);
        if (salt.size() != SSHA_SALT_LEN) {
            if (sha_error.empty()) set_error("drawing salt", "Could not create salt");
            return 0;
        }
        details = "salt made; ";
        return body_with_salt(password, salt.data(), out, size, details);
    }
    std::string bin;
    if (decode_base64(stored, bin, 1024) < static_cast<int>(20 + SSHA_SALT_LEN)) {
        set_error("decoding stored digest", "Stored digest too short or not Base64");
        return 0;
    }
    details = "salt taken from stored digest; ";
    return body_with_salt(password, reinterpret_cast<const unsigned char*>(bin.data()) + 20, out,
                          size, details);
}

int create_ssha_base64_digest(std::string_view password, std::string& out, std::size_t size) {
    return raw_create_ssha(password, out, size, nullptr);
}

std::string get_sha_error() {
    return sha_error;
}

std::string ssha_encode(std::string_view password) {
    std::string body;
    if (!create_ssha_base64_digest(password, body)) return {};
    return std::string(SSHA_PREFIX) + body;
}

bool ssha_check(std::string_view password, std::string_view stored) {
    if (stored.size() < SSHA_PREFIX.size() || !istarts_with(stored, SSHA_PREFIX)) return false;
    const std::string body(stored.substr(SSHA_PREFIX.size()));
    std::string made;
    if (!raw_create_ssha(password, made, SSHA_BODY_LEN + 1, body.c_str())) return false;
    return made.size() == body.size() && CRYPTO_memcmp(made.data(), body.data(), body.size()) == 0;
}

}  // namespace tolvane
