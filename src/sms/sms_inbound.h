// The workers that handle a transport's received messages.
//
// A transport's receiving loop (Receiver::run) hands each message it receives to push();
// one of at most `threads` workers (std::jthread, started when a message finds every one
// busy) runs the handler for it. The receiving loop never waits for a handler: a message
// that finds every worker busy waits in the queue for the first that is free. No thread
// is started per message.
//
// Stopping: stop() makes push() refuse new messages, lets the workers handle every
// message already queued, and joins them. release_queued() instead gives the messages
// that no worker has taken yet to the release function (a shutdown that cannot wait).
// The destructor stops.
//
//   InboundWorkers w(4, [](std::unique_ptr<sms_message>& m) { ... },
//                       [](std::unique_ptr<sms_message>& m) { ... });
//   w.push(std::move(msg));
//   w.stop();
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <thread>
#include <vector>

namespace tolvane {

class sms_message;

class InboundWorkers {
  public:
    using Handler = std::function<void(std::unique_ptr<sms_message>&)>;

    // handle runs on a worker for each message; release for a message that is not
    // handled (refused by push after stop, or dropped by release_queued).
    InboundWorkers(std::size_t threads, Handler handle, Handler release);
    ~InboundWorkers();
    InboundWorkers(const InboundWorkers&) = delete;
    InboundWorkers& operator=(const InboundWorkers&) = delete;

    // Queues msg for a worker; false after stop() or when no worker exists and none could
    // be started (msg is then left with the caller).
    bool push(std::unique_ptr<sms_message>& msg);
    // Refuses further messages, lets the workers handle what is queued, joins them.
    void stop();
    // Releases the messages no worker has taken yet; returns how many.
    std::size_t release_queued();

    std::size_t max_threads() const { return max_; }
    std::size_t threads() const;  // workers started so far
    std::size_t queued() const;   // messages waiting for a worker

  private:
    void run(std::stop_token st);

    const std::size_t max_;
    Handler handle_;
    Handler release_;
    mutable std::mutex m_;
    std::condition_variable_any cv_;
    std::deque<std::unique_ptr<sms_message>> queue_;
    std::size_t idle_ = 0;  // workers waiting for a message
    bool stopped_ = false;
    std::vector<std::jthread> workers_;  // grows under m_; joined by stop()
};

}  // namespace tolvane
