// Alias and delivery tables: administrator-written files that map phone numbers to mail
// addresses for the SMS-to-mail side. The alias file gives the sender address of a mail
// made from an SMS, the delivery file its destination; both are read by the same loader
// into the same table type.
//
// A file holds one entry per line, its fields cut at a delimiter character (runs of it
// count as one; blanks and tabs around a field are dropped), at most ten fields a line.
// An order text names the field positions of the phone and the address ("phone,email",
// "email,phone", or longer lists such as "name,phone,email"); without one the phone is
// field 0 and the address field 1. Phones are stored in their international form: a
// leading "0" is replaced by the country prefix, so a file written with national
// numbers matches senders that the transport reports as "+61...".
//
// Ownership: the caller owns the table (start-up keeps `af` and `df`). Loading happens on
// the main thread before the message threads run; afterwards the table is only read, and
// any number of threads may look up at once.
//
//   auto df = alias_new();
//   if (Status st = alias_load(df.get(), "delivery.txt", "+61", " ", "phone,email"); !st)
//       fatal(st.reason());
//   std::string to;
//   if (alias_find(df.get(), "+61412345678", to)) ...
//
// Limits and choices:
// - Lines longer than 999 characters are skipped whole (with a log line) instead of being
//   cut, so the rest of such a line never turns into an entry of its own.
// - Lines with fewer than two fields, or without fields at both positions, and lines
//   beginning with "#" are skipped.
// - Several entries for one phone are kept in file order; a lookup gives the first.
// - Phones compare exactly; a load replaces what the table held before.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "foundation/result.h"

namespace tolvane {

struct alias {
    std::string phone;  // in fixed (international) form
    std::string email;
};

struct aliases {
    // Every entry of a phone, in order of addition.
    std::unordered_map<std::string, std::vector<alias>> entries;
    std::size_t count = 0;  // entries held (all phones)
    bool sized = false;     // the table was sized by its first load
};

// The delimiter of a `delimiter` attribute: "TAB" (any case) is a tab, else the first
// character; an empty or missing attribute gives def.
char alias_delimiter(const char* attribute, char def);

std::unique_ptr<aliases> alias_new();
// Loads path into the table (emptied first). country replaces a leading "0" of a phone
// (null or empty: the "0" is simply dropped); delimiter is the attribute text (see
// alias_delimiter; a blank when unset); order the positions text (null: "phone,email").
// The error when the file cannot be opened or read: "Failed to open (%s), %s" (path,
// system error) with errno as its code; the table is then left as it was.
Status alias_load(aliases* table, const std::string& path, const char* country,
                  const char* delimiter, const char* order);
// 1 with the address of the first entry for phone (compared exactly) in email; 0 when
// there is none (email emptied).
int alias_find(const aliases* table, std::string_view phone, std::string& email);
// Entries held; 0 for a null table.
std::size_t alias_count(const aliases* table);
void alias_free(std::unique_ptr<aliases>& table);

}  // namespace tolvane
