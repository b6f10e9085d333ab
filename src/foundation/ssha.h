// Salted SHA-1 password digests in the text form "{ssha}" + Base64.
//
// The body is Base64 of the 20-byte SHA-1 of (password bytes, 4 salt bytes)
// followed by the same 4 salt bytes: 32 characters without padding. Passwords
// count on their first SSHA_PASSWORD_MAX bytes only. SHA-1 and Base64 come from
// libcrypto. The error text is kept per thread, so digests may be made from
// several threads at once.
//
//   std::string body;
//   if (create_ssha_base64_digest(password, body)) store("{ssha}" + body);
//   bool ok = ssha_check(offered, stored_text);
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tolvane {

inline constexpr std::size_t SSHA_PASSWORD_MAX = 1023;
inline constexpr std::size_t SSHA_SALT_LEN = 4;
inline constexpr std::size_t SSHA_BODY_LEN = 32;
inline constexpr std::string_view SSHA_PREFIX = "{ssha}";

// 1 with the 32-character body (no prefix) in out, cut to size - 1 characters; 0 on failure.
int create_ssha_base64_digest(std::string_view password, std::string& out,
                              std::size_t size = SSHA_BODY_LEN + 1);
// With stored null: as create_ssha_base64_digest with a fresh salt. With the body of a
// stored digest: the body for this password made with that digest's salt (0 when the
// stored body does not decode to at least 24 bytes).
int raw_create_ssha(std::string_view password, std::string& out, std::size_t size,
                    const char* stored);
// len random bytes; empty on failure (the error text says why).
std::vector<unsigned char> make_salt(std::size_t len);
// "details:(...) error:(...)" of this thread's last digest; empty before the first.
std::string get_sha_error();
// Bytes decoded into out (at most size - 1 of them), or -1 when a character outside the
// Base64 alphabet occurs. Missing "=" padding is tolerated.
int decode_base64(std::string_view text, std::string& out, std::size_t size);
// Base64 of bytes (standard alphabet, "=" padding).
std::string encode_base64(std::string_view bytes);

// "{ssha}" followed by a fresh body; empty on failure.
std::string ssha_encode(std::string_view password);
// True when stored is "{ssha}" + body (prefix in any letter case) and the password
// gives that body.
bool ssha_check(std::string_view password, std::string_view stored);

}  // namespace tolvane
