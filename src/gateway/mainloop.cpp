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

// The main loop's wake-up: a byte written (by a signal handler, the console, the web
// page) ends its wait at once. Made before main() runs, so that every signal finds it.
struct WakePipe {
    int rd = -1;
    int wr = -1;
    WakePipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
            rd = fds[0];
            wr = fds[1];
        }
    }
    ~WakePipe() {
        if (rd >= 0) ::close(rd);
        if (wr >= 0) ::close(wr);
    }
    WakePipe(const WakePipe&) = delete;
    WakePipe& operator=(const WakePipe&) = delete;
};
WakePipe main_wake;
// Written once a stop is requested and never drained by the gateway: any wait may poll it
// beside its own descriptors to see the stop at once.
WakePipe stop_wake;

// Waits up to ms for a wake-up; a signal's EINTR ends it too, its flag is read next.
void wait_main_event(int ms) {
    if (main_wake.rd < 0) {
        lib_msleep(ms);
        return;
    }
    pollfd p{main_wake.rd, POLLIN, 0};
    if (::poll(&p, 1, ms) > 0) {
        char buf[64];
        while (::read(main_wake.rd, buf, sizeof buf) > 0) {
        }
    }
}

// The console reaches the mail side through this, under a lock that shutdown takes
// before it closes the handle.
std::mutex console_lock;
RelayClient* console_handle = nullptr;

bool exit_file_found() {
    struct stat st {};
    return ::stat("tolvane.exit", &st) == 0;
}

void send_reports(const std::tm& now) {
    if (Reports.empty() || !Send) return;
    reports_tick(Reports, now, [](std::size_t i, const report_on& r) {
        imsg("Sending report %d->%s...", static_cast<int>(i), r.to->c_str());
        const std::string from = report_using ? *report_using : std::string();
        SendResult sent = Send->send({.from = from, .to = *r.to, .text = r.message});
        if (!sent) emsg("Failed to send report, %s", sent.error().reason.c_str());
    });
}

}  // namespace

void publish_console_smtp(RelayClient* s) {
    std::lock_guard<std::mutex> hold(console_lock);
    console_handle = s;
}

int console_send(std::string_view to, std::string_view text, std::string& why) {
    std::lock_guard<std::mutex> hold(console_lock);
    if (console_handle == nullptr) {
        why = "the mail side is not open";
        return -1;
    }
    Status st = console_handle->send({"", std::string(to), std::string(text), {}});
    if (st) return 0;
    why = st.reason();
    return st.error().code != 0 ? st.error().code : -1;
}

void gateway_wake_main() {
    if (main_wake.wr < 0) return;
    char one = 1;
    // A full pipe already holds a wake-up: nothing is lost.
    ssize_t w = ::write(main_wake.wr, &one, 1);
    (void)w;
}

void gateway_request_stop() {
    ShutdownNow.store(1);
    gateway_wake_main();
    if (stop_wake.wr >= 0) {
        char one = 1;
        ssize_t w = ::write(stop_wake.wr, &one, 1);
        (void)w;
    }
}

int gateway_stop_fd() {
    return stop_wake.rd;
}

void gateway_mainloop() {
    web_status_install_probe();
    if (Command && !web_accept_start(Command.get(), CommandHttps)) {
        emsg("Failed to start the web administration thread");
    }
    for (const auto& l : CommandMore)
        if (!web_accept_start(l.get(), CommandHttps))
            emsg("Failed to start the web administration thread");
    long last_hours = 0;
    while (!ShutdownNow.load()) {
        if (exit_file_found()) {
            imsg("tolvane.exit file found, exiting...");
            break;
        }
        std::time_t now = std::time(nullptr);
        std::tm local{};
        safe_localtime(now, local);
        // Whole hours since the start; a loop that runs a little late never misses one.
        long hours = now > starttime ? static_cast<long>((now - starttime) / 3600) : 0;
        if (hours > last_hours) {
            last_hours = hours;
            imsg("Uptime %d hours", static_cast<int>(hours));
        }
        delivery_check_flush();
        if (reload_pending()) gateway_reload();
        send_reports(local);
        // Robot children that had not ended when their send finished.
        spawn_release(0);
        // Until the next round, or at once for a stop or reload request. The exit file is
        // looked for every EXIT_POLL_MS: the shutdown wait is counted from its creation, so
        // finding it a whole round late would eat into the time the sends are given.
        auto round_end = std::chrono::steady_clock::now() + std::chrono::milliseconds(LOOP_MS);
        while (!ShutdownNow.load()) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            round_end - std::chrono::steady_clock::now())
                            .count();
            if (left <= 0) break;
            wait_main_event(static_cast<int>(std::min<long>(left, EXIT_POLL_MS)));
            if (reload_pending()) gateway_reload();
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

    shutdown_deadline()
        : deadline(clock::now() + std::chrono::seconds(std::max(0, setting_int(SHUTDOWN_WAIT)))),
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
bool stop_threads(const shutdown_deadline& t) {
    using clock = shutdown_deadline::clock;
    imsg("Exiting...");
    gateway_request_stop();
    // No send starts from here on; those under way have until the deadline.
    delivery_halt();
    // The receiving loops wait for their next message without a timer: end their waits.
    if (MailServer) MailServer->stop();
    // The SMS receiver stops at once (its stop token interrupts its wait) and lets its
    // message workers finish what they hold.
    SmsReceiver.request_stop();
    // The delivery workers stop first, while the receiving threads end beside them.
    bool abandoned = delivery_stop(t.limit_ms(LONG_MAX, t.deadline));
    imsg("Waiting for threads to complete...");
    if (!thread_count_wait_zero(t.limit_ms(THREAD_WAIT_MS, t.thread_until()))) {
        abandoned = true;
        emsg("%d threads still running, abandoned", thread_count());
    }
    // The SMS receiver ends once its message workers have stored what they hold (a store
    // in the queue, never a relay): joined here, before anything it uses goes.
    if (SmsReceiver.joinable()) SmsReceiver.join();
    SmsSink.reset();
    // Mail sessions are not counted, but a mail session uses Send and the settings: give
    // them the same time, and when they overrun keep everything they may still touch.
    const auto drain_end =
        std::min(clock::now() + std::chrono::milliseconds(THREAD_WAIT_MS), t.thread_until());
    if (MailServer) (void)MailServer->drain(t.limit_ms(THREAD_WAIT_MS, drain_end));
    if (int busy = MailServer ? MailServer->busy() : 0; busy != 0) {
        abandoned = true;
        emsg("%d mail threads still running, abandoned", busy);
    }
    return abandoned;
}

// 4. Transports. Threads that were abandoned may still use them, so then they stay.
void close_transports(bool abandoned) {
    publish_console_smtp(nullptr);
    web_status_install_probe(false);
    if (abandoned) {
        (void)MailServer.release();
        (void)Relay.release();
        (void)Send.release();
        (void)RecvOwned.release();
        (void)Command.release();
        for (auto& l : CommandMore) (void)l.release();
        return;
    }
    Recv = nullptr;
    RecvOwned.reset();
    Send.reset();
    smpp_receipts_reset();
    MailServer.reset();
    Relay.reset();
    tcp_free(Command);
    for (auto& l : CommandMore) tcp_free(l);
    CommandMore.clear();
}

// 5. The message log, saved; the exit status becomes 1 when it cannot be.
int save_message_log(bool abandoned, int status) {
    if (!MsglogLoaded) return status;
    std::string path = attach_path(setting_str(WORKPATH), "msglog.dat");
    std::string err;
    if (!msglog_save(path, err)) {
        report_error("Failed to save message log (%s), %s", path.c_str(), err.c_str());
        status = 1;
    }
    if (!abandoned) msglog_free();
    MsglogLoaded = false;
    return status;
}

// 6. Everything else.
void free_state() {
    ReceiverReaders.clear();
    state_reset();  // the database stores' connections close here
    for (auto& mr : MR) msgrec_free(mr);
    MR.clear();
    phones_free();
    th_mutex_queue_clear();
    mutexlist_free();
    sini_free(ConfigSettings);
}

}  // namespace

int gateway_shutdown(bool wait_threads, int status) {
    // Sends still running at the deadline are cut (their entries stay queued), threads
    // still running a little later are abandoned.
    const shutdown_deadline t;
    bool abandoned =
        wait_threads ? stop_threads(t) : delivery_stop(t.limit_ms(LONG_MAX, t.deadline));
    // 3. Reports.
    report_using.reset();
    Reports.clear();

    // The queue: stored mail threads' entries, the outcomes and cut attempts on disk.
    delivery_close(abandoned);
    close_transports(abandoned);
    status = save_message_log(abandoned, status);
    if (!abandoned) free_state();
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
