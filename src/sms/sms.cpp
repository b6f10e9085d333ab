// The transport's shared machinery: see sms.h.
//
// The receiving loop, the message workers and the null checks live here once, for
// every transport; the transports themselves only implement the virtual operations.
#include "sms/sms.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <ctime>

#include "foundation/lib.h"
#include "foundation/log.h"
#include "foundation/thread.h"
#include "sms/sms_inbound.h"

namespace tolvane {

sms::~sms() {
    stop_inbound();
}

void sms::stop_inbound() {
    std::unique_ptr<InboundWorkers> w;
    {
        std::lock_guard<std::mutex> g(busy_lock);
        inbound_stopped = true;
        w = std::move(inbound);
    }
    // Outside the lock: the workers count their messages out under it as they finish.
    if (w) w->stop();
}

void sms_free(std::unique_ptr<sms>& s) {
    if (!s) return;
    if (!sms_drain(s.get(), SMS_FREE_WAIT_MS)) {
        emsg("sms_free: %d message threads still running on the %s transport; handle kept",
             sms_busy(s.get()), sms_mode_name(s->mode()));
        (void)s.release();  // still in use by its workers: never freed
        return;
    }
    // Nothing is in hand: the workers are idle, and end and are joined at once.
    s->stop_inbound();
    s.reset();
}

int sms_mode(const sms* s) {
    return s ? s->mode() : 0;
}

int sms_send(sms* s, const smtp_message_extra* data, std::string_view from, std::string_view to,
             std::string_view message) {
    if (!s) return -1;
    return s->send(data, from, to, message);
}

int sms_wait(sms* s, int timeout_msec, sms_callback cb, void* cb_data) {
    if (!s || !cb) return -1;
    s->cb_data = cb_data;
    s->cb = cb;
    int err = 0;
    const bool wakes = s->wakes_on_interrupt();
    long next = timeout_msec;
    for (;;) {
        if (!wakes) next = timeout_msec;
        std::unique_ptr<sms_message> msg =
            s->wait(next < 0 ? static_cast<int>(SMS_WAIT_FOREVER)
                             : static_cast<int>(std::min<long>(next, INT_MAX)),
                    err);
        if (err != 0) {
            sms_cb_arg arg;
            arg.err = &err;
            int go_on = cb(s, SMS_ERRORCODE, arg, cb_data);
            if (msg) {
                // The error has been reported; the message itself is still real. Hand it on
                // when waiting goes on; when it ends, release it, saying so.
                if (go_on) {
                    sms_wait_incoming(s, std::move(msg));
                } else {
                    emsg("sms_wait: message returned with error %d released unprocessed", err);
                    s->msg_free(msg);
                }
            }
            if (!go_on) return err;
            err = 0;
            continue;
        }
        if (msg) {
            sms_wait_incoming(s, std::move(msg));
            continue;
        }
        sms_cb_arg idle;
        idle.next_wait_ms = &next;
        if (!cb(s, SMS_WAITING, idle, cb_data)) return err;
        if (!wakes) lib_msleep(s->idle_pause_ms);
    }
}

void sms::set_state_watcher(std::function<void()> fn) {
    std::lock_guard<std::mutex> g(watcher_lock_);
    watcher_ = std::move(fn);
}

void sms::state_changed() {
    // Called under the lock, so that a watcher being replaced is never called afterwards.
    std::lock_guard<std::mutex> g(watcher_lock_);
    if (watcher_) watcher_();
}

void sms_interrupt(sms* s) {
    if (s) s->interrupt();
}

void sms_cut_sends(sms* s, bool hard) {
    if (s) s->cut_sends(hard);
}

namespace {

// Runs the callback for one received message on a worker.
void handle_incoming(sms* h, std::unique_ptr<sms_message>& msg) {
    std::srand(static_cast<unsigned>(std::time(nullptr) + std::clock()));
    if (h->cb) {
        sms_cb_arg arg;
        arg.msg = &msg;
        h->cb(h, SMS_INCOMING, arg, h->cb_data);
    }
    // Whatever the callback left is released here, never dropped silently.
    if (msg) h->msg_free(msg);
    msg.reset();
    sms_busy_add(h, -1);
}

// A message no worker handles (the workers stopped first): released, counted out.
void release_incoming(sms* h, std::unique_ptr<sms_message>& msg) {
    emsg("sms_wait_incoming: message released unprocessed (the %s transport is stopping)",
         sms_mode_name(h->mode()));
    if (msg) h->msg_free(msg);
    msg.reset();
    sms_busy_add(h, -1);
}

}  // namespace

int sms_wait_incoming(sms* s, std::unique_ptr<sms_message> msg) {
    if (!s || !msg) return 0;
    sms_busy_add(s, 1);
    bool queued = false;
    {
        std::lock_guard<std::mutex> g(s->busy_lock);
        if (!s->inbound && !s->inbound_stopped) {
            s->inbound = std::make_unique<InboundWorkers>(
                static_cast<std::size_t>(std::max(1, s->inbound_threads())),
                [s](std::unique_ptr<sms_message>& m) { handle_incoming(s, m); },
                [s](std::unique_ptr<sms_message>& m) { release_incoming(s, m); });
        }
        // push only queues (it never waits for a worker), so the lock is held briefly.
        queued = s->inbound && s->inbound->push(msg);
    }
    if (!queued) {
        emsg("sms_wait_incoming: cannot start a message thread; message released");
        if (msg) s->msg_free(msg);
        sms_busy_add(s, -1);
        return 0;
    }
    return 1;
}

void sms_busy_add(sms* s, int n) {
    {
        std::lock_guard<std::mutex> g(s->busy_lock);
        s->busy += n;
    }
    s->busy_changed.notify_all();
}

bool sms_drain(sms* s, long limit_ms) {
    if (!s) return true;
    std::unique_lock<std::mutex> g(s->busy_lock);
    return s->busy_changed.wait_for(g, std::chrono::milliseconds(limit_ms),
                                    [s] { return s->busy == 0; });
}

int sms_busy(sms* s) {
    if (!s) return 0;
    std::lock_guard<std::mutex> g(s->busy_lock);
    return s->busy;
}

int sms_msg_recv(sms* s, sms_message* msg) {
    if (!s || !msg) return -1;
    return s->msg_recv(msg);
}

int sms_msg_accept(sms* s, sms_message* msg, int code, const char* reason) {
    if (!s || !msg) return -1;
    return s->msg_accept(msg, code, reason);
}

int sms_msg_reject(sms* s, sms_message* msg, int code, const char* reason) {
    if (!s || !msg) return -1;
    return s->msg_reject(msg, code, reason);
}

const char* sms_msg_fromip(sms* s, sms_message* msg) {
    return s && msg ? s->msg_fromip(msg) : nullptr;
}

const char* sms_msg_from(sms* s, sms_message* msg) {
    return s && msg ? s->msg_from(msg) : nullptr;
}

const char* sms_msg_to(sms* s, sms_message* msg) {
    return s && msg ? s->msg_to(msg) : nullptr;
}

const char* sms_msg_body(sms* s, sms_message* msg) {
    return s && msg ? s->msg_body(msg) : nullptr;
}

void sms_msg_free(sms* s, std::unique_ptr<sms_message>& msg) {
    if (!s || !msg) return;
    s->msg_free(msg);
    msg.reset();  // a transport that forgot to null it must not leave it behind
}

std::string sms_error_text(sms* s, int err) {
    std::string bf;
    sms_error(s, err, bf);
    return bf;
}

const std::string& sms_error(sms* s, int err, std::string& bf) {
    if (!s || err == -1) {
        bf = "Parameter incorrect or NULL";
        return bf;
    }
    if (err == SMS_SEND_CUT) {
        bf = "Send cut short by the shutdown";
        return bf;
    }
    bf.clear();
    if (err == 0) bf = "No Error Reported";
    s->error(err, bf);
    if (bf.size() > TEXT_MAX) bf.resize(TEXT_MAX);
    return bf;
}

}  // namespace tolvane
