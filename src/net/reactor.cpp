// The reactor: see reactor.h.
#include "net/reactor.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

#include "foundation/log.h"

namespace tolvane {

namespace {

constexpr std::uint64_t WAKE_ID = 0;
constexpr int EVENTS_PER_WAIT = 64;

std::int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

Reactor::Reactor(std::size_t workers) {
    epfd_ = ::epoll_create1(EPOLL_CLOEXEC);
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = WAKE_ID;
    if (epfd_ < 0 || wake_ < 0 || ::epoll_ctl(epfd_, EPOLL_CTL_ADD, wake_, &ev) != 0) {
        emsg("Reactor: cannot watch descriptors (%s)", std::strerror(errno));
        if (epfd_ >= 0) ::close(epfd_);
        if (wake_ >= 0) ::close(wake_);
        epfd_ = wake_ = -1;
        stopped_ = true;
        return;
    }
    workers_.reserve(workers);
    for (std::size_t i = 0; i < workers; ++i)
        workers_.emplace_back([this](std::stop_token st) { work(st); });
    watcher_ = std::jthread([this](std::stop_token st) { watch(st); });
}

Reactor::~Reactor() {
    stop();
    if (epfd_ >= 0) ::close(epfd_);
    if (wake_ >= 0) ::close(wake_);
}

bool Reactor::park(int fd, long idle_ms, Ready ready) {
    std::unique_lock<std::mutex> g(m_);
    if (stopped_ || fd < 0) return false;
    const std::uint64_t id = next_id_++;
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;
    ev.data.u64 = id;
    if (!watch_locked(fd, ev)) {
        const int e = errno;
        g.unlock();
        emsg("Reactor: cannot watch descriptor %d (%s)", fd, std::strerror(e));
        return false;
    }
    Parked& p = parked_[id];
    p.fd = fd;
    p.ready = std::move(ready);
    if (idle_ms >= 0) {
        const std::int64_t at = now_ms() + idle_ms;
        p.deadline = deadlines_.emplace(at, id);
        p.has_deadline = true;
        longest_idle_ = std::max(longest_idle_, idle_ms);
        if (at < wakes_at_ && !wake_sent_) {
            // The watcher sleeps past this deadline: it must wait again, shorter.
            wake_sent_ = true;
            const std::uint64_t one = 1;
            (void)!::write(wake_, &one, sizeof one);
        }
    }
    return true;
}

bool Reactor::post(Ready fn) {
    {
        std::lock_guard<std::mutex> g(m_);
        if (stopped_) return false;
        queue_locked(std::move(fn), Wake::readable);
    }
    if (workers_.empty()) {
        // The watcher runs it on its next round.
        const std::uint64_t one = 1;
        (void)!::write(wake_, &one, sizeof one);
    } else {
        work_cv_.notify_one();
    }
    return true;
}

bool Reactor::watch_locked(int fd, epoll_event& ev) {
    // A descriptor parked before is still registered, its one-shot watch spent, unless it
    // was closed since (closing removes it): re-armed when it is there, added when not.
    if (armed_before_.count(fd) != 0) {
        if (::epoll_ctl(epfd_, EPOLL_CTL_MOD, fd, &ev) == 0) return true;
        if (errno != ENOENT) return false;
    }
    if (::epoll_ctl(epfd_, EPOLL_CTL_ADD, fd, &ev) == 0 ||
        (errno == EEXIST && ::epoll_ctl(epfd_, EPOLL_CTL_MOD, fd, &ev) == 0)) {
        armed_before_.insert(fd);
        return true;
    }
    return false;
}

Reactor::Ready Reactor::take_locked(std::uint64_t id) {
    auto it = parked_.find(id);
    if (it == parked_.end()) return nullptr;
    // The one-shot watch is spent but stays registered: parking the descriptor again
    // re-arms it (one system call instead of a removal and an addition).
    if (it->second.has_deadline) deadlines_.erase(it->second.deadline);
    Ready r = std::move(it->second.ready);
    parked_.erase(it);
    return r;
}

void Reactor::queue_locked(Ready fn, Wake w) {
    if (fn) ready_.emplace_back(std::move(fn), w);
}

long Reactor::next_timeout_locked(std::int64_t now) {
    // With nothing due the watcher still wakes after the longest idle limit parked so far:
    // a descriptor parked meanwhile with that limit (the usual case: one limit for all)
    // then falls due no sooner than the wait ends, so parking it needs no wake and its
    // deadline is looked at when the wait ends. Never parked with a limit: no end.
    const std::int64_t due = !deadlines_.empty()  ? deadlines_.begin()->first
                             : longest_idle_ >= 0 ? now + longest_idle_
                                                  : INT64_MAX;
    wakes_at_ = due;
    if (due == INT64_MAX) return -1;
    const std::int64_t left = due - now;
    if (left <= 0) return 0;
    return left > INT_MAX ? INT_MAX : static_cast<long>(left);
}

void Reactor::watch(std::stop_token st) {
    epoll_event evs[EVENTS_PER_WAIT];
    long timeout = -1;
    while (!st.stop_requested()) {
        const int n = ::epoll_wait(epfd_, evs, EVENTS_PER_WAIT, static_cast<int>(timeout));
        if (n < 0 && errno != EINTR) {
            emsg("Reactor: waiting failed (%s)", std::strerror(errno));
            ::usleep(10000);
        }
        std::size_t queued = 0;
        {
            std::lock_guard<std::mutex> g(m_);
            for (int i = 0; i < n; ++i) {
                if (evs[i].data.u64 == WAKE_ID) {
                    std::uint64_t drain;
                    (void)!::read(wake_, &drain, sizeof drain);
                    wake_sent_ = false;
                    continue;
                }
                if (Ready r = take_locked(evs[i].data.u64)) {
                    queue_locked(std::move(r), Wake::readable);
                    ++queued;
                }
            }
            const std::int64_t now = now_ms();
            while (!deadlines_.empty() && deadlines_.begin()->first <= now) {
                if (Ready r = take_locked(deadlines_.begin()->second)) {
                    queue_locked(std::move(r), Wake::idle);
                    ++queued;
                }
            }
            timeout = next_timeout_locked(now);
        }
        if (workers_.empty())
            run_queued_here();
        else if (queued == 1)
            work_cv_.notify_one();
        else if (queued > 1)
            work_cv_.notify_all();
    }
}

void Reactor::run_queued_here() {
    std::unique_lock<std::mutex> g(m_);
    while (!ready_.empty()) {
        auto [fn, w] = std::move(ready_.front());
        ready_.pop_front();
        g.unlock();
        fn(w);
        fn = nullptr;
        g.lock();
    }
}

void Reactor::work(std::stop_token st) {
    std::unique_lock<std::mutex> g(m_);
    for (;;) {
        if (!work_cv_.wait(g, st, [this] { return !ready_.empty(); })) return;
        auto [fn, w] = std::move(ready_.front());
        ready_.pop_front();
        g.unlock();
        fn(w);
        fn = nullptr;  // its captures released outside the lock
        g.lock();
    }
}

void Reactor::stop() {
    std::vector<Ready> left;
    {
        std::lock_guard<std::mutex> g(m_);
        if (stopped_ && workers_.empty() && !watcher_.joinable()) return;
        stopped_ = true;
        for (auto& [id, p] : parked_) {
            if (epfd_ >= 0) (void)::epoll_ctl(epfd_, EPOLL_CTL_DEL, p.fd, nullptr);
            left.push_back(std::move(p.ready));
        }
        parked_.clear();
        deadlines_.clear();
        for (auto& [fn, w] : ready_) left.push_back(std::move(fn));
        ready_.clear();
    }
    if (watcher_.joinable()) {
        watcher_.request_stop();
        const std::uint64_t one = 1;
        (void)!::write(wake_, &one, sizeof one);
        watcher_.join();
    }
    for (auto& t : workers_) t.request_stop();
    workers_.clear();  // joins; a worker in a ready function finishes it first
    for (Ready& fn : left)
        if (fn) fn(Wake::stopping);
}

std::size_t Reactor::parked() const {
    std::lock_guard<std::mutex> g(m_);
    return parked_.size();
}

}  // namespace tolvane
