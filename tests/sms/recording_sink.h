// An inbound sink for the transports' tests: it records every SMS it is given, answers
// with the verdict `decide` gives (kept when unset), and counts its idle() calls.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "sms/transport.h"

namespace tolvane::test {

class RecordingSink : public InboundSink {
  public:
    std::function<InboundVerdict(const InboundSms&)> decide;  // null: kept
    std::function<long()> on_idle;                            // null: -1
    // Runs inside received() before the verdict (a test holds a worker busy with it).
    std::function<void()> during;

    InboundVerdict received(SmsTransport&, InboundSms sms) override {
        if (during) during();
        InboundVerdict v = decide ? decide(sms) : InboundVerdict{};
        {
            std::lock_guard<std::mutex> g(m_);
            got_.push_back(std::move(sms));
        }
        cv_.notify_all();
        return v;
    }
    long idle() override {
        {
            std::lock_guard<std::mutex> g(m_);
            ++idles_;
        }
        cv_.notify_all();
        return on_idle ? on_idle() : -1;
    }

    // Waits up to ms for n SMS in all; true when they came.
    bool wait_for(std::size_t n, long ms = 10000) {
        std::unique_lock<std::mutex> g(m_);
        return cv_.wait_for(g, std::chrono::milliseconds(ms), [&] { return got_.size() >= n; });
    }
    // Waits up to ms for n idle() calls in all.
    bool wait_idles(int n, long ms = 10000) {
        std::unique_lock<std::mutex> g(m_);
        return cv_.wait_for(g, std::chrono::milliseconds(ms), [&] { return idles_ >= n; });
    }
    std::vector<InboundSms> got() {
        std::lock_guard<std::mutex> g(m_);
        return got_;
    }
    std::vector<std::string> texts() {
        std::vector<std::string> out;
        for (const InboundSms& s : got()) out.push_back(s.text);
        return out;
    }
    int idles() {
        std::lock_guard<std::mutex> g(m_);
        return idles_;
    }

  private:
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<InboundSms> got_;
    int idles_ = 0;
};

}  // namespace tolvane::test
