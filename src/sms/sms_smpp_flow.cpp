// Flow control of an SMPP bind: see sms_smpp_flow.h.
#include "sms/sms_smpp_flow.h"

#include <algorithm>

namespace tolvane {

// ---- window ----

bool smpp_window::add(std::uint32_t seq, long deadline) {
    if (full()) return false;
    return open_.emplace(seq, deadline).second;
}

bool smpp_window::complete(std::uint32_t seq) {
    return open_.erase(seq) == 1;
}

std::vector<std::uint32_t> smpp_window::expire(long now) {
    std::vector<std::pair<long, std::uint32_t>> due;
    for (const auto& [seq, deadline] : open_)
        if (deadline <= now) due.emplace_back(deadline, seq);
    std::sort(due.begin(), due.end());
    std::vector<std::uint32_t> out;
    out.reserve(due.size());
    for (const auto& d : due) {
        open_.erase(d.second);
        out.push_back(d.second);
    }
    return out;
}

long smpp_window::next_deadline() const {
    long best = -1;
    for (const auto& e : open_)
        if (best < 0 || e.second < best) best = e.second;
    return best;
}

std::vector<std::uint32_t> smpp_window::clear() {
    std::vector<std::uint32_t> out;
    out.reserve(open_.size());
    for (const auto& e : open_) out.push_back(e.first);
    open_.clear();
    return out;
}

// ---- backoff ----

smpp_backoff::smpp_backoff(long first_ms, long max_ms)
    : first_(first_ms < 1 ? 1 : first_ms),
      max_(max_ms < first_ ? first_ : max_ms),
      step_(first_) {}

long smpp_backoff::next(std::uint32_t rnd) {
    ++attempts_;
    long step = step_;
    step_ = step_ > max_ / 2 ? max_ : step_ * 2;
    long spread = step / 2;  // the delay lies in [step - step/4, step + step/4]
    long delay = step - step / 4 + (spread > 0 ? static_cast<long>(rnd % (spread + 1)) : 0);
    return std::min(delay, max_);
}

void smpp_backoff::reset() {
    step_ = first_;
    attempts_ = 0;
}

// ---- pacing ----

smpp_pacer::smpp_pacer(int per_second, long pause_ms)
    : interval_us_(per_second > 0 ? 1000000L / per_second : 0),
      pause_ms_(pause_ms < 1 ? 1 : pause_ms) {}

long smpp_pacer::reserve(long now) {
    if (now < paused_until_) return paused_until_ - now;
    if (interval_us_ == 0) return 0;
    long now_us = now * 1000;
    // A bind idle for a while saves up no burst: spacing starts again from now.
    if (next_us_ < now_us) next_us_ = now_us;
    if (next_us_ > now_us) return (next_us_ - now_us + 999) / 1000;
    next_us_ += interval_us_;
    return 0;
}

void smpp_pacer::throttled(long now) {
    long pause = pause_ms_ << std::min(throttles_, 4);
    ++throttles_;
    paused_until_ = std::max(paused_until_, now + pause);
}

void smpp_pacer::accepted() {
    throttles_ = 0;
}

}  // namespace tolvane
