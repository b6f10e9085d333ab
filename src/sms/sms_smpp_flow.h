// Flow control of an SMPP bind, as plain bookkeeping over a clock the caller passes in:
// the window of requests awaiting their responses, the reconnect backoff, and the
// pacing of submits (a configured rate, and slowing down when the centre says it is
// overloaded).
//
// Nothing here waits, locks or reads the time: the session engine and the transport
// hold these objects under their own locks and pass "now" (milliseconds on a steady
// clock), so the tests drive every rule with a fake clock.
//
//   smpp_window w(10);
//   if (w.add(seq, now + 30000)) ... send ...;
//   w.complete(seq);                    // its response came
//   for (auto seq : w.expire(now)) ...  // these have waited too long; each fails alone
//
// Limits: sequence numbers are unique among the outstanding requests of one window
// (the connection never reuses one within 2^31 requests).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace tolvane {

// Requests awaiting their responses on one connection, each with its deadline.
class smpp_window {
  public:
    explicit smpp_window(std::size_t capacity) : capacity_(capacity < 1 ? 1 : capacity) {}

    std::size_t capacity() const { return capacity_; }
    std::size_t size() const { return open_.size(); }
    bool full() const { return open_.size() >= capacity_; }
    // Takes a place for seq until deadline. False when the window is full or seq is
    // already waiting.
    bool add(std::uint32_t seq, long deadline);
    // The response for seq came: true when it was waiting (its place is free again);
    // false for a response that came too late or was never asked for.
    bool complete(std::uint32_t seq);
    // Removes and returns every request whose deadline is at or before now, oldest
    // deadline first.
    std::vector<std::uint32_t> expire(long now);
    // The earliest deadline, or -1 when nothing waits.
    long next_deadline() const;
    // Removes every request (the connection is gone) and returns them.
    std::vector<std::uint32_t> clear();

  private:
    std::size_t capacity_;
    std::map<std::uint32_t, long> open_;  // sequence -> deadline
};

// Delays between reconnect attempts: from first_ms doubling to max_ms, each drawn
// within +-25 % of its step (never beyond max_ms) so that many gateways cut off by one
// centre do not all come back in the same second.
class smpp_backoff {
  public:
    smpp_backoff(long first_ms, long max_ms);
    // The delay before the next attempt; rnd is any random number (the jitter).
    long next(std::uint32_t rnd);
    // After a successful bind the next failure starts again from first_ms.
    void reset();
    // Attempts since the last reset.
    int attempts() const { return attempts_; }

  private:
    long first_, max_, step_;
    int attempts_ = 0;
};

// When the next submit of a bind may go. A configured rate spaces submits evenly
// (per_second 0: no limit). A throttling answer from the centre pauses every submit
// for a while that doubles with each answer in a row (from pause_ms up to 16 times
// that); the first submit through ends the run.
class smpp_pacer {
  public:
    explicit smpp_pacer(int per_second, long pause_ms = 500);
    // Milliseconds to wait before a submit may go at now (0: at once). When it returns
    // 0 the submit's slot is taken.
    long reserve(long now);
    // The centre answered "throttled" or "queue full" at now.
    void throttled(long now);
    // A submit went through.
    void accepted();
    // Throttling answers since the last accepted submit.
    int throttles() const { return throttles_; }

  private:
    long interval_us_;    // configured spacing in microseconds, 0 for none
    long pause_ms_;       // first pause after a throttling answer
    long next_us_ = 0;    // earliest time of the next submit, microseconds
    long paused_until_ = 0;
    int throttles_ = 0;
};

}  // namespace tolvane
