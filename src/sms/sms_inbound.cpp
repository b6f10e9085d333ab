// The workers that handle a transport's received messages: see sms_inbound.h.
#include "sms/sms_inbound.h"

#include <algorithm>
#include <system_error>

#include "foundation/log.h"
#include "foundation/thread.h"
#include "sms/receiver.h"

namespace tolvane {

InboundWorkers::InboundWorkers(std::size_t threads, Handler handle, Handler release)
    : max_(std::max<std::size_t>(1, threads)),
      handle_(std::move(handle)),
      release_(std::move(release)) {}

InboundWorkers::~InboundWorkers() {
    stop();
}

bool InboundWorkers::push(std::unique_ptr<sms_message>& msg) {
    if (!msg) return false;
    std::unique_lock<std::mutex> lk(m_);
    if (stopped_) return false;
    // A worker for the message: an idle one, else a new one while the bound allows.
    if (idle_ <= queue_.size() && workers_.size() < max_) {
        try {
            workers_.emplace_back([this](std::stop_token st) { run(st); });
        } catch (const std::system_error& err) {
            emsg("Cannot start a message thread (%zu running): %s", workers_.size(), err.what());
            // With no worker at all nothing would take it: the caller keeps it.
            if (workers_.empty()) return false;
        }
    }
    queue_.push_back(std::move(msg));
    lk.unlock();
    cv_.notify_one();
    return true;
}

void InboundWorkers::run(std::stop_token st) {
    std::unique_lock<std::mutex> lk(m_);
    for (;;) {
        ++idle_;
        // A stop request ends the wait, but not before the queue is empty: what was
        // accepted is handled.
        cv_.wait(lk, st, [this] { return !queue_.empty(); });
        --idle_;
        if (queue_.empty()) break;  // stop requested and nothing left
        std::unique_ptr<sms_message> msg = std::move(queue_.front());
        queue_.pop_front();
        lk.unlock();
        handle_(msg);
        // Whatever the handler left is released, never dropped silently.
        if (msg) release_(msg);
        msg.reset();
        lk.lock();
    }
    lk.unlock();
    th_release_thread_state();
}

void InboundWorkers::stop() {
    std::vector<std::jthread> workers;
    {
        std::lock_guard<std::mutex> lk(m_);
        stopped_ = true;
        workers.swap(workers_);
    }
    for (std::jthread& w : workers) w.request_stop();
    // Each worker ends once the queue is empty; the jthreads join here.
    workers.clear();
    // Left only when no worker was ever started.
    release_queued();
}

std::size_t InboundWorkers::release_queued() {
    std::deque<std::unique_ptr<sms_message>> left;
    {
        std::lock_guard<std::mutex> lk(m_);
        left.swap(queue_);
    }
    for (auto& msg : left)
        if (msg) release_(msg);
    return left.size();
}

std::size_t InboundWorkers::threads() const {
    std::lock_guard<std::mutex> lk(m_);
    return workers_.size();
}

std::size_t InboundWorkers::queued() const {
    std::lock_guard<std::mutex> lk(m_);
    return queue_.size();
}

}  // namespace tolvane
