// The phone number pool: originating numbers from a contiguous range, handed to mail
// senders so that answers to their SMS can be told apart.
//
// A PhonePool object. Value min + i of the range is the number
// <country><service><min + i>; isfree() reserves the lowest number that is free or has
// been idle for a day, out() binds it to a sender and counts an SMS sent, in() returns
// the sender bound to a number and counts a message received. Each bound number keeps
// one file, <workpath>/AB/CD/<number>.dat, one line "email|in|out|last|\n", where AB and
// CD are the fourth- to first-last characters of the number padded on the left with
// blanks to four ("%04s").
//
// Callers hold the pool's use lock (use_lock(), named PHONES; through the store,
// PhonePoolStore::use_lock) around each use, and the mail side across reserve and bind
// (the file store's bind, stores.h), so one number never goes to two senders; the pool
// also keeps a lock of its own so that its memory is safe whatever the caller does. The
// gateway owns its pool (Gateway::phones); two pools share nothing, not even their clock
// or their use lock.
//
//   PhonePool pool;
//   pool.init(workpath, "+61", "0400", 0, 1000);          // service becomes "400"
//   if (auto n = pool.isfree()) pool.out(n->c_str(), sender);
//   auto to = pool.in("+614007");                          // the bound address, if any
//
// Limits and choices:
// - The range holds the values from the smaller bound up to, not including, the larger
//   (size = difference); a size of 0 is an empty pool. Only numbers in use take memory,
//   so the range may be large.
// - Loading lists the AB/CD directories instead of opening one file per number, and
//   keeps exactly the files a per-number scan would have found (the name must be the
//   number of a value in the range, in its own directory).
// - A number must end in decimal digits after its prefixes; anything else (an
//   alphanumeric sender) is not a pool number.
// - Pool files are written to a temporary name and renamed into place. A damaged file
//   (wrong field count, non-numeric counts, control bytes) is skipped with a log line.
// - "now" comes from set_clock (null restores time()).
#pragma once

#include <atomic>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "records/mutexlist.h"

namespace tolvane {

struct phone {
    std::string number;
    std::optional<std::string> email;
    int out = 0;  // SMS sent from this number since it was bound
    int in = 0;   // messages looked up for it since it was bound
    std::time_t last = 0;
};

// A pool's numbers: prefixes and range, shared by every store of the pool.
struct phone_range {
    std::string country;
    std::string service;  // without its leading zeros
    long long min = 0;
    long long size = 0;
};
// The range of the bounds a and b (either order) and the prefixes (null counts as empty).
phone_range phone_range_of(const char* country, const char* service, long a, long b);
// The index of a number in the range, or -1 when it is not a pool number.
long long phone_range_index(const phone_range& r, std::string_view number);
// The number of an index: country, service and the value.
std::string phone_range_number(const phone_range& r, long long index);

class PhonePool {
  public:
    PhonePool();
    ~PhonePool();
    PhonePool(const PhonePool&) = delete;
    PhonePool& operator=(const PhonePool&) = delete;

    // Sets the range and loads the pool files; null prefixes count as empty. Returns the
    // number of pool entries loaded.
    long init(std::string_view workpath, const char* country, const char* service, long a, long b);
    // Reserves the lowest free or day-idle number and returns it; nullopt when all are in
    // use.
    std::optional<std::string> isfree();
    // Binds number to email (or counts one more SMS for the same address, compared
    // exactly) and writes its file. 1 done; 0 for an empty pool, a null argument or a
    // number outside the range. A file that cannot be written does not change the result.
    int out(const char* number, const char* email);
    // The address bound to number (counting one message in), or nullopt.
    std::optional<std::string> in(const char* number);
    // The pool file of a number; with create_dirs its directories are made.
    std::string file(std::string_view number, bool create_dirs);
    // Observers: the entry of a number, and the number of entries held.
    std::optional<phone> get(const char* number);
    long count();
    // Empties the pool (no range, no entries).
    void clear();

    void set_clock(std::time_t (*now)());
    // "now" as that clock gives it.
    std::time_t now() const;

    // The lock callers hold around each use (see above).
    NamedLock& use_lock() { return use_lock_; }

    struct Data;

  private:
    NamedLock use_lock_{PHONES};
    std::mutex lock_;
    std::unique_ptr<Data> d_;
    std::atomic<std::time_t (*)()> clock_{nullptr};
};

}  // namespace tolvane
