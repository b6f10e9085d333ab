// Rate-limit reservations on PostgreSQL with units taken in advance: a gateway that
// reserves the same key again and again asks the database for more than one unit at a
// time and hands out the rest itself, without a round trip, for a short while.
//
//   PgCredits credits(dsn);
//   Result<bool> held = credits.reserve(PgReservation{"msgrec", MSGREC_TO, "+6140", 1,
//                                                     1000, 24, true}, time(nullptr));
//
// How much in advance: nothing for a key not reserved in the last `life`; after that twice
// what the key used of its last grant (at most kMaxWant). The database grants units in
// advance only out of a sixteenth of the room left below the limit, so near a limit every
// reservation is asked for alone, and a limit is never passed: the count holds the units
// granted from the moment they are granted.
//
// Giving back: units held in advance are used for at most `life` after they were asked
// for; then a thread of this object gives the unused ones back (the key's count goes down
// by them), in one call for every key due at the same moment. So a count may show a
// little more than was used, for about a second. A reservation that the database refuses
// while another gateway still holds units in advance for the key waits until those are
// back (the database says how long) and asks again: a limit that is not really reached is
// not refused. Units a gateway held when it was killed are never given back: the others
// stop waiting for them twice `life` after they were granted, and they count as used.
//
// Failure: when the store cannot be asked, the caller hears why (nothing was counted);
// units that cannot be given back are tried again at the next round, and dropped (they
// stay counted: a limit is never passed because of them) after kMaxPending.
//
// Ownership: the object owns its reservation batcher, its connection for giving back and
// its thread; any thread may call reserve(). Destroying it gives back every unit it holds.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "foundation/result.h"
#include "store/pg.h"
#include "store/pg_reserve.h"

namespace tolvane {

class PgCredits {
  public:
    static constexpr int kMaxWant = 256;
    static constexpr std::size_t kMaxPending = 100000;

    // life: how long units asked for in advance are handed out; the database keeps them
    // for their gateway twice as long (then what is still out counts as used).
    explicit PgCredits(const std::string& dsn,
                       std::chrono::milliseconds life = std::chrono::milliseconds(1000),
                       std::size_t links = 1);
    ~PgCredits();
    PgCredits(const PgCredits&) = delete;
    PgCredits& operator=(const PgCredits&) = delete;

    // True held, false refused; the error when the store could not be asked.
    Result<bool> reserve(const PgReservation& r, std::int64_t now);

    // Gives back every unit held in advance now (waits for the call); false when the
    // store could not be told (they are tried again later).
    bool give_back_all();

    // Reservations that went to the database, and those answered from units in advance.
    std::uint64_t asked() const;
    std::uint64_t local() const;
    // Times a refusal waited for another gateway's units.
    std::uint64_t waits() const;

  private:
    using Clock = std::chrono::steady_clock;
    using Key = std::tuple<std::string, int, std::string>;  // limit, kind, key
    struct Credit {
        int units = 0;        // held in advance, not yet handed out
        int granted = 0;      // granted since the last give-back (units included)
        int used = 0;         // handed out of the current grant
        std::int64_t epoch = 0;
        Clock::time_point until{};  // hand out nothing after this
        Clock::time_point seen{};   // last reservation of the key
        int asking = 0;             // calls to the database out for the key
        int last_extra = 0;         // units in advance its last answer granted
    };
    struct Return {
        int unused = 0;
        int granted = 0;
    };

    // Moves c's grant to the units to give back (lock held).
    void retire_locked(const Key& k, Credit& c);
    // Gives back what is due (expired grants; every grant with all); false on failure.
    bool give_back(bool all);
    void run();

    const std::chrono::milliseconds life_;
    PgReserveBatcher batcher_;
    PgLink link_;
    mutable std::mutex m_;
    std::condition_variable changed_;  // a call asking in advance came back
    std::condition_variable wake_;     // the giving-back thread: stop
    std::map<Key, Credit> credit_;     // guarded by m_
    std::map<std::pair<Key, std::int64_t>, Return> due_;  // guarded by m_: key, epoch
    std::uint64_t asked_ = 0, local_ = 0, waits_ = 0;      // guarded by m_
    bool stop_ = false;                                   // guarded by m_
    std::mutex give_m_;  // one give-back at a time
    std::thread thread_;
};

}  // namespace tolvane
