// The once-a-second main loop (exit file, uptime, reports) and the ordered shutdown.
// Web administration connections are accepted by a thread of their own, started as
// the loop begins (web_admin.h), so that no client waits for the loop.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "foundation/lib.h"
#include "foundation/thread.h"
#include "gateway/gateway.h"
#include "gateway/api_server.h"
#include "smtp/relay_client.h"
#include "smtp/server.h"
#include "gateway/reload.h"
#include "gateway/reports.h"
#include "gateway/smpp_receipts.h"
#include "gateway/web_admin.h"
#include "gateway/web_status.h"
#include "records/msglog.h"
#include "records/mutexlist.h"
#include "records/phones.h"
#include "records/stores.h"
#include "sms/lib_spawn.h"

namespace tolvane {

namespace {

constexpr long LOOP_MS = 1000;
constexpr long EXIT_POLL_MS = 100;
constexpr long THREAD_WAIT_MS = 6000;
// After the shutdown wait: the cut sends' grace and what the waits for threads may still
// take, so that the process ends within shutdown_wait + 3 s with the transports closed.
constexpr long SHUTDOWN_OVERRUN_MS = 2500;

// Waits up to ms for a wake-up; a signal's EINTR ends it too, its flag is read next.
void wait_main_event(const Gateway& gw, int ms) {
    if (gw.main_wake.rd < 0) {
        lib_msleep(ms);
        return;
    }
    pollfd p{gw.main_wake.rd, POLLIN, 0};
    if (::poll(&p, 1, ms) > 0) gw.main_wake.drain();
}

bool exit_file_found() {
    struct stat st {};
    return ::stat("tolvane.exit", &st) == 0;
}

void send_reports(Gateway& gw, const std::tm& now) {
    if (gw.reports.empty() || !gw.send) return;
    SmsTransport& send = *gw.send;
    const std::string from = gw.report_using ? *gw.report_using : std::string();
    reports_tick(gw.reports, now, [&send, &from](std::size_t i, const report_on& r) {
        imsg("Sending report %d->%s...", static_cast<int>(i), r.to->c_str());
        SendResult sent = send.send({.from = from, .to = *r.to, .text = r.message});
        if (!sent) emsg("Failed to send report, %s", sent.error().reason.c_str());
    });
}

}  // namespace

void publish_console_smtp(Gateway& gw, RelayClient* relay) {
    std::lock_guard<std::mutex> hold(gw.console_lock);
    gw.console_relay = relay;
}

Status console_send(Gateway& gw, std::string_view to, std::string_view text) {
    std::lock_guard<std::mutex> hold(gw.console_lock);
    if (gw.console_relay == nullptr) return Error{-1, "the mail side is not open"};
    Status st = gw.console_relay->send({"", std::string(to), std::string(text), {}});
    if (!st && st.error().code == 0) st.error().code = -1;
    return st;
}

void gateway_wake_main(Gateway& gw) {
    gw.main_wake.wake();
}

void gateway_request_stop(Gateway& gw) {
    gw.stop.store(1);
    gw.main_wake.wake();
    gw.stop_wake.wake();
}

int gateway_stop_fd(const Gateway& gw) {
    return gw.stop_wake.rd;
}

void gateway_mainloop(Gateway& gw) {
    web_status_install_probe(gw);
    if (gw.command && !web_accept_start(gw, gw.command.get(), gw.command_https)) {
        emsg("Failed to start the web administration thread");
    }
    for (const auto& l : gw.command_more)
        if (!web_accept_start(gw, l.get(), gw.command_https))
            emsg("Failed to start the web administration thread");
    long last_hours = 0;
    while (!gw.stop.load()) {
        if (exit_file_found()) {
            imsg("tolvane.exit file found, exiting...");
            break;
        }
        std::time_t now = std::time(nullptr);
        std::tm local{};
        safe_localtime(now, local);
        // Whole hours since the start; a loop that runs a little late never misses one.
        long hours = now > gw.starttime ? static_cast<long>((now - gw.starttime) / 3600) : 0;
        if (hours > last_hours) {
            last_hours = hours;
            imsg("Uptime %d hours", static_cast<int>(hours));
        }
        delivery_check_flush(gw);
        if (reload_pending(gw)) gateway_reload(gw);
        send_reports(gw, local);
        // Robot children that had not ended when their send finished.
        spawn_release(0);
        // Until the next round, or at once for a stop or reload request. The exit file is
        // looked for every EXIT_POLL_MS: the shutdown wait is counted from its creation, so
        // finding it a whole round late would eat into the time the sends are given.
        auto round_end = std::chrono::steady_clock::now() + std::chrono::milliseconds(LOOP_MS);
        while (!gw.stop.load()) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            round_end - std::chrono::steady_clock::now())
                            .count();
            if (left <= 0) break;
            wait_main_event(gw, static_cast<int>(std::min<long>(left, EXIT_POLL_MS)));
            if (reload_pending(gw)) gateway_reload(gw);
            if (exit_file_found()) break;
        }
    }
}

namespace {

// The deadlines of a shutdown: every wait shares one, shutdown_wait from the start of it;
// a thread still has until `last` when the deadline has gone by, so that threads ending as
// told are not abandoned.
struct shutdown_deadline {
    using clock = std::chrono::steady_clock;
    clock::time_point deadline;
    clock::time_point last;

    explicit shutdown_deadline(const Gateway& gw)
        : deadline(clock::now() + std::chrono::seconds(std::max(0, gw.setting_int(SHUTDOWN_WAIT)))),
          last(deadline + std::chrono::milliseconds(SHUTDOWN_OVERRUN_MS)) {}

    // At most cap ms, and not past `until`.
    static long limit_ms(long cap, clock::time_point until) {
        long left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - clock::now()).count();
        return std::max(0L, std::min(cap, left));
    }
    clock::time_point thread_until() const { return clock::now() < deadline ? deadline : last; }
};

// 1-2. Stop and wait for the counted threads, then for the mail and SMS threads. True
// when some were abandoned.
bool stop_threads(Gateway& gw, const shutdown_deadline& t) {
    using clock = shutdown_deadline::clock;
    imsg("Exiting...");
    gateway_request_stop(gw);
    // No send starts from here on; those under way have until the deadline.
    delivery_halt(gw);
    // The receiving loops wait for their next message without a timer: end their waits.
    if (gw.mail_server) gw.mail_server->stop();
    // The API takes no more requests; those under way are answered (they only store).
    api_stop(gw);
    // The SMS receiver stops at once (its stop token interrupts its wait) and lets its
    // message workers finish what they hold.
    gw.sms_receiver.request_stop();
    // The delivery workers stop first, while the receiving threads end beside them.
    bool abandoned = delivery_stop(gw, t.limit_ms(LONG_MAX, t.deadline));
    imsg("Waiting for threads to complete...");
    if (!gw.threads.wait_zero(t.limit_ms(THREAD_WAIT_MS, t.thread_until()))) {
        abandoned = true;
        emsg("%d threads still running, abandoned", gw.threads.count());
    }
    // The SMS receiver ends once its message workers have stored what they hold (a store
    // in the queue, never a relay): joined here, before anything it uses goes.
    if (gw.sms_receiver.joinable()) gw.sms_receiver.join();
    gw.sms_sink.reset();
    // Mail sessions are not counted, but a mail session uses Send and the settings: give
    // them the same time, and when they overrun keep everything they may still touch.
    const auto drain_end =
        std::min(clock::now() + std::chrono::milliseconds(THREAD_WAIT_MS), t.thread_until());
    if (gw.mail_server) (void)gw.mail_server->drain(t.limit_ms(THREAD_WAIT_MS, drain_end));
    if (int busy = gw.mail_server ? gw.mail_server->busy() : 0; busy != 0) {
        abandoned = true;
        emsg("%d mail threads still running, abandoned", busy);
    }
    return abandoned;
}

// 4. Transports. Threads that were abandoned may still use them, so then they stay.
void close_transports(Gateway& gw, bool abandoned) {
    publish_console_smtp(gw, nullptr);
    web_status_install_probe(gw, false);
    if (abandoned) {
        (void)gw.mail_server.release();
        (void)gw.relay.release();
        (void)gw.send.release();
        (void)gw.recv_owned.release();
        (void)gw.command.release();
        for (auto& l : gw.command_more) (void)l.release();
        return;
    }
    gw.recv = nullptr;
    gw.recv_owned.reset();
    gw.send.reset();
    // The transports took their receipt handlers with them: the table can go.
    gw.receipts.reset();
    gw.mail_server.reset();
    gw.relay.reset();
    tcp_free(gw.command);
    for (auto& l : gw.command_more) tcp_free(l);
    gw.command_more.clear();
}

// 5. The message log, saved; the exit status becomes 1 when it cannot be.
int save_message_log(Gateway& gw, bool abandoned, int status) {
    if (!gw.msglog_loaded) return status;
    std::string path = attach_path(gw.setting_str(WORKPATH), "msglog.dat");
    if (Status saved = gw.msglog.save(path); !saved) {
        report_error("Failed to save message log (%s), %s", path.c_str(), saved.reason().c_str());
        status = 1;
    }
    if (!abandoned) gw.msglog.clear();
    gw.msglog_loaded = false;
    return status;
}

// 6. Everything else.
void free_state(Gateway& gw) {
    gw.receiver_readers.clear();
    // The database stores' connections close here.
    gw.state = file_state_stores(gw.limit_registry, gw.msglog, gw.phones);
    for (auto& mr : gw.limits) msgrec_free(mr);
    gw.limits.clear();
    gw.tables.clear();
    gw.phones.clear();
    th_mutex_queue_clear();
    sini_free(gw.settings);
}

}  // namespace

int gateway_shutdown(Gateway& gw, bool wait_threads, int status) {
    // Sends still running at the deadline are cut (their entries stay queued), threads
    // still running a little later are abandoned.
    const shutdown_deadline t(gw);
    bool abandoned =
        wait_threads ? stop_threads(gw, t) : delivery_stop(gw, t.limit_ms(LONG_MAX, t.deadline));
    // 3. Reports.
    gw.report_using.reset();
    gw.reports.clear();

    // The queue: stored mail threads' entries, the outcomes and cut attempts on disk.
    delivery_close(gw, abandoned);
    close_transports(gw, abandoned);
    status = save_message_log(gw, abandoned, status);
    if (!abandoned) free_state(gw);
    log_flush(mylog.get());
    if (abandoned) {
        // The abandoned threads still run: end the process without running destructors
        // under them.
        std::fflush(nullptr);
        ::_exit(status);
    }
    log_free(mylog);
    return status;
}

}  // namespace tolvane
