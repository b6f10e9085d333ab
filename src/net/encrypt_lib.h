// Key and certificate files: the RSA private key and the self-signed X.509 certificate
// that the HTTPS administration listener serves, made when they are missing.
//
// Both files are PEM. A file is written under a temporary name in the same directory and
// renamed into place, so a crash never leaves half a key behind; the key file is created
// with mode 0600 (only the owner may read it), the certificate with 0644. The functions
// never touch a file other than the one they are asked to write, and they do not create
// directories (encrypt_lib_mkdirs does, for the SSL layer).
//
// The certificate is for this machine's host name: version 3, a random positive 31-bit
// serial, valid from two days before now (clocks of clients run a little behind) for the
// given number of days, subject and issuer both "CN=<name>" (the name cut at 64
// characters, the most a common name may hold), the legacy server-type and server-name
// extensions, and a subject-alternative-name list of the host name, "localhost" and
// 127.0.0.1. It is signed with SHA-256.
//
// Results are 1 (file written) or 0 with a reason in the caller's string; nothing is
// logged here.
//
//   std::string why;
//   if (!encrypt_lib_create_private_key("/var/tv/tv_priv.pem", 2048, nullptr, why) ||
//       !encrypt_lib_create_certificate("/var/tv/tv_cert.pem", "/var/tv/tv_priv.pem",
//                                       nullptr, tcp_hostname(), 3650, why))
//       emsg("%s", why.c_str());
#pragma once

#include <string>

#include "foundation/result.h"

namespace tolvane {

// Bits of the key the SSL layer makes. 2048 is the least that current TLS peers accept.
inline constexpr int ENCRYPT_KEY_BITS = 2048;
inline constexpr int ENCRYPT_CERT_DAYS = 3650;
// How far back the certificate's validity starts, in seconds.
inline constexpr long ENCRYPT_CERT_BACKDATE = 172800;

// Makes sure the random generator is seeded before a key is made. Returns 1 when the
// generator reports enough entropy (after asking the system again and stirring in clock
// jitter, at most 1000 rounds), 0 when it still does not: the key is made anyway.
int encrypt_lib_seed();

// Writes a new RSA key of bits bits (public exponent 65537) to path. With a non-empty pass
// phrase the key is encrypted with triple DES (CBC); null or "" writes it in clear.
// Fails with the reason (key too small, generation or encoding failed, cannot write).
Status encrypt_lib_create_private_key(const std::string& path, int bits, const char* pass);

// Writes a self-signed certificate for common_name, valid for days, made from the key in
// key_path (read with pass, or an empty pass phrase when null).
// Fails with the reason (days <= 0, key unreadable, a field or extension refused, cannot
// sign or write).
Status encrypt_lib_create_certificate(const std::string& cert_path, const std::string& key_path,
                                      const char* pass, const std::string& common_name, int days);

// Creates the missing directories above file_path with mode 0700 (the key lives there).
// Fails with the reason (code: errno when a directory cannot be made, else 0).
Status encrypt_lib_mkdirs(const std::string& file_path);

// The text of the oldest error in OpenSSL's error queue of this thread (which is then
// emptied), or fallback when the queue is empty.
std::string encrypt_lib_ssl_error(const char* fallback);

}  // namespace tolvane
