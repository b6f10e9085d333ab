// Stored passwords of the web administrator (admin.dat) and of the mail clients
// (smtp_users): how a new one is made, how an offered password is checked, and how one
// user's line of such a file is replaced.
//
// New passwords are stored with the system's password hashing, as /etc/shadow holds
// them: yescrypt ("$y$...") through libcrypt's crypt_r, with a setting from
// crypt_gensalt_rn at its default cost. Any other "$id$" scheme crypt_r knows is
// checked the same way. Entries of the old form "{ssha}" (salted SHA-1, foundation/
// ssha.h) are still checked, and reported as due for a new hash: the caller rewrites
// the entry at that successful login. An empty offered password never matches.
//
// A check costs tens of milliseconds of CPU and about 16 MiB of memory while it runs
// (yescrypt's default): callers never hold a lock of their own across one, and at most
// PASSWORD_CHECKS_AT_ONCE run in the process at a time (the others wait their turn). A
// right check is remembered for 5 minutes (an HMAC of entry and password under a secret
// of the process, never the password; at most 256), so that a browser sending its
// credentials with every request, or many logins of one client at once, cost one hash.
//
//   Result<std::string> stored = password_hash(typed);   // "$y$j9T$..."
//   if (stored) switch (password_check(offered, *stored)) { ... }
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "foundation/result.h"

namespace tolvane {

// Characters a new password needs at least.
inline constexpr std::size_t PASSWORD_MIN_CHARS = 8;
inline constexpr int PASSWORD_CHECKS_AT_ONCE = 4;

enum class PasswordCheck {
    wrong,      // no match, or the stored entry is of no known form
    right,      // matches
    right_old,  // matches an entry of the old form: store password_hash of it instead
};

// The stored form of a new password ("$y$..."); fails with the reason when the system
// could not make one.
Result<std::string> password_hash(std::string_view password);
// Checks password against a stored entry ("$y$...", another crypt scheme, "{ssha}...").
PasswordCheck password_check(std::string_view password, std::string_view stored);
// Empty when password may be stored; otherwise the reason, for the person who typed it.
std::string password_refusal(std::string_view password);

// Replaces the entry of user in a file of "user:entry" lines: the first line whose name
// is user and whose entry is still old_entry gets new_entry (line end kept); every other
// line stays as it is, and so does the file's mode. Written by write_file_atomic. Fails
// with the reason when the file cannot be read or written, or holds no such line (it was
// changed meanwhile).
Status password_file_update(const std::string& path, std::string_view user,
                            std::string_view old_entry, std::string_view new_entry);

}  // namespace tolvane
