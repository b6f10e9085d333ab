// The gateway's queue: opening it with its delivery workers at start-up, stopping them at
// shutdown, the operator's "-queue" listing and flush request, and the figures for the
// status page.
//
// Ownership: Queue and Delivery are process-wide (gateway.h), made here on the main thread
// after the transports are open and released here before the transports are closed. The
// lanes borrow Send, Relay and the settings table.
//
// A flush request from the command line is the file "tolvane.flush" in the home directory,
// which the main loop sees (like "tolvane.exit") and removes; the gateway then retries every
// postponed entry at once and asks down transports again.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "foundation/lib.h"
#include "foundation/log.h"
#include "gateway/delivery.h"
#include "gateway/gateway.h"
#include "gateway/mail_to_sms.h"
#include "gateway/sms_to_mail.h"
#include "gateway/store_admin.h"
#include "net/tcp.h"
#include "queue/queue_pg.h"
#include "sms/sms_smpp.h"
#include "store/pg.h"

namespace tolvane {

std::unique_ptr<QueueStore> Queue;
std::unique_ptr<DeliveryEngine> Delivery;

namespace {

constexpr const char* FLUSH_FILE = "tolvane.flush";

std::string queue_dir(const std::string& workpath) {
    return attach_path(workpath, "queue", 4096);
}

// Lane functions read these; they live as long as the engine.
MailSender mail_sender;
SmsRelay sms_relay;

// The queue, in the shared database or in files under the work directory.
bool open_queue_store() {
    std::string why;
    StoreKind kind = StoreKind::FILES;
    if (!store_kind(kind, why)) {
        report_error("%s", why.c_str());
        return false;
    }
    if (kind != StoreKind::POSTGRESQL) {
        std::string dir = queue_dir(setting_str(WORKPATH));
        Queue = queue_file_open(dir, queue_file_options{}, why);
        if (!Queue) {
            report_error("Failed to open the message queue (%s), %s", dir.c_str(), why.c_str());
            return false;
        }
        return true;
    }
    queue_pg_options o;
    o.dsn = setting_str(STORE_DSN);
    o.owner = store_owner_name();
    int lease = setting_int(QUEUE_LEASE);
    o.lease_ms = static_cast<std::int64_t>(lease > 0 ? lease : 60) * 1000;
    Queue = queue_pg_open(o, why);
    if (!Queue) {
        report_error("Failed to open the message queue in the PostgreSQL store (%s), %s",
                     pg_dsn_safe(o.dsn).c_str(), why.c_str());
        return false;
    }
    imsg("Message queue in the PostgreSQL store as %s, lease %d s", o.owner.c_str(),
         static_cast<int>(o.lease_ms / 1000));
    return true;
}

// The lane that sends queued mail as SMS through Send.
void add_sms_lane(int workers, long lifetime_ms) {
    mail_sender.send = Send.get();
    mail_sender.relay = Relay.get();
    mail_sender.rules = mail_send_rules(ConfigSettings.get());
    // A transport that reconnects says so; its entries wait meanwhile.
    mail_sender.up = [] { return Send->up(); };
    DeliveryLane lane;
    lane.up = mail_sender.up;
    lane.up_told = Send->tells_state();
    lane.name = "SMS";
    lane.kind = QUEUE_MAIL_TO_SMS;
    // A modem holds one dialogue at a time. The SMPP link keeps up to smpp_window
    // submits in flight, so it gets a worker for each place of its window.
    int mode = sms_mode(Send.get());
    lane.workers = mode == SMS_GSM ? 1 : workers;
    if (mode == SMS_SMPP) {
        int window = setting_int(SMPP_WINDOW);
        lane.workers = window > lane.workers ? window : lane.workers;
    }
    int lane_workers = lane.workers;
    lane.lifetime_ms = lifetime_ms;
    lane.deliver = [](DeliveryJob& job) { deliver_mail_entry(mail_sender, job); };
    if (mode == SMS_SMPP) {
        // A worker takes up to a window's worth of ready entries at once: their attempts
        // share one flush and their submits one write, and the answers wake it once.
        lane.batch = std::max(1, setting_int(SMPP_WINDOW));
        lane.deliver_batch = [](std::vector<std::unique_ptr<DeliveryJob>>& jobs) {
            deliver_mail_batch(mail_sender, jobs);
        };
    }
    lane.expire = [](const queue_entry& e) { expire_mail_entry(mail_sender, e); };
    lane.cut = [](bool hard) { Send->cut_sends(hard); };
    Delivery->add_lane(std::move(lane));
    imsg("Sending SMS from the queue with %d workers", lane_workers);
}

// The lane that relays queued received SMS as mail through Relay.
void add_mail_lane(long lifetime_ms) {
    sms_relay.relay = Relay.get();
    sms_relay_rules(ConfigSettings.get(), sms_relay);
    DeliveryLane lane;
    lane.name = "mail";
    lane.kind = QUEUE_SMS_TO_MAIL;
    // The relay's state is only known by sending to it: always up, never a change to tell.
    lane.up = [] { return true; };
    lane.up_told = true;
    // Each relay worker waits for its attempt to reach the disk before each mail: a
    // pool of its own, sized to keep up with the SMS an SMS centre delivers.
    lane.workers = std::max(1, setting_int(RELAY_WORKERS));
    imsg("Relaying received SMS from the queue with %d workers", lane.workers);
    lane.lifetime_ms = lifetime_ms;
    lane.deliver = [](DeliveryJob& job) { deliver_sms_entry(sms_relay, job); };
    lane.expire = [](const queue_entry& e) { expire_sms_entry(e); };
    lane.cut = [](bool hard) { Relay->cut_sends(hard); };
    Delivery->add_lane(std::move(lane));
}

}  // namespace

bool delivery_open() {
    if (!open_queue_store()) return false;
    Delivery = std::make_unique<DeliveryEngine>(*Queue);
    int workers = setting_int(SEND_WORKERS);
    if (workers < 1) workers = 1;
    long lifetime_ms = static_cast<long>(setting_int(QUEUE_LIFETIME)) * 3600L * 1000L;
    if (Send) add_sms_lane(workers, lifetime_ms);
    if (Relay) add_mail_lane(lifetime_ms);
    Delivery->start();
    // A transport that comes up (or goes down) wakes its lane at once. Cleared by
    // delivery_close before the engine goes.
    DeliveryEngine* engine = Delivery.get();
    if (Send) Send->set_state_watcher([engine] { engine->wake_all(QUEUE_MAIL_TO_SMS); });
    return true;
}

void delivery_halt() {
    if (Delivery) Delivery->halt();
}

bool delivery_stop(long wait_ms) {
    if (Send) Send->set_state_watcher(nullptr);
    if (!Delivery) return false;
    queue_stats before = Queue ? Queue->stats() : queue_stats{};
    int busy = Delivery->busy();
    if (busy > 0) imsg("Waiting up to %ld ms for %d sends in progress...", wait_ms, busy);
    Delivery->stop(wait_ms);
    const bool left = Delivery->abandoned();
    // The store no longer calls the engine once stop() has returned, unless workers were
    // left running: they still use it.
    if (left)
        (void)Delivery.release();
    else
        Delivery.reset();
    queue_stats after = Queue ? Queue->stats() : queue_stats{};
    imsg("Delivery stopped, %zu entries stay queued (%zu before)", after.waiting, before.waiting);
    return left;
}

void delivery_close(bool abandoned) {
    if (Queue && queue_is_pg(Queue.get()))
        imsg("Queue: %llu durable commits in this run",
             static_cast<unsigned long long>(queue_pg_commits(Queue.get())));
    else if (Queue)
        imsg("Queue journal: %llu disk flushes in this run",
             static_cast<unsigned long long>(queue_file_syncs(Queue.get())));
    // A thread that was abandoned may still use the queue: it stays open, but what it
    // holds unflushed (outcomes, attempts taken back) goes to disk now.
    if (abandoned) {
        queue_file_flush(Queue.get());
        (void)Queue.release();
    } else {
        Queue.reset();
    }
}

void delivery_check_flush() {
    struct stat st {};
    if (::stat(FLUSH_FILE, &st) != 0) return;
    std::remove(FLUSH_FILE);
    imsg("%s found, retrying every queued entry now", FLUSH_FILE);
    if (Delivery) Delivery->flush();
}

queue_stats delivery_queue_stats() {
    // Read by web threads while the main thread may close the queue at shutdown; the web
    // threads are counted and end before that.
    return Queue ? Queue->stats() : queue_stats{};
}

std::optional<bool> delivery_database_up() {
    return Queue ? Queue->database_up() : std::nullopt;
}

int queue_tool(const std::vector<std::string>& args, std::size_t at) {
    std::string home = setting_str(HOME);
    if (at + 1 < args.size() && iequals(args[at + 1], "flush")) {
        std::string flag = attach_path(home.empty() ? currentdir() : home, FLUSH_FILE, 4096);
        std::FILE* f = std::fopen(flag.c_str(), "w");
        if (f == nullptr) {
            std::printf("ERROR: cannot create %s: %s\n", flag.c_str(), system_error(errno).c_str());
            return 1;
        }
        std::fclose(f);
        std::printf("Flush requested (%s); a running gateway retries its queue now.\n",
                    flag.c_str());
        return 0;
    }
    std::string work = setting_str(WORKPATH);
    // Relative paths are taken from the home directory, as the server does.
    if (!work.empty() && work[0] != '/' && !home.empty()) work = attach_path(home, work, 4096);
    std::string why;
    std::unique_ptr<QueueStore> q;
    StoreKind store = StoreKind::FILES;
    if (!store_kind(store, why)) {
        std::printf("ERROR: %s\n", why.c_str());
        return 1;
    }
    if (store == StoreKind::POSTGRESQL) {
        // A name of its own: the listing must not give back the claims of a gateway.
        queue_pg_options po;
        po.dsn = setting_str(STORE_DSN);
        po.owner = strprintf("listing:%s:%d", tcp_hostname().c_str(), static_cast<int>(getpid()));
        q = queue_pg_open(po, why);
    } else {
        queue_file_options o;
        o.read_only = true;
        q = queue_file_open(queue_dir(work), o, why);
    }
    if (!q) {
        std::printf("ERROR: %s\n", why.c_str());
        return 1;
    }
    // Told until the copies of the damaged segments are removed.
    if (std::size_t lost = queue_file_lost(q.get()); lost > 0)
        std::printf("%zu entries lost in damaged records (copies in %s)\n", lost,
                    attach_path(queue_dir(work), "damaged", 4096).c_str());
    std::vector<queue_entry> all = q->list(0);
    if (all.empty()) {
        std::printf("Queue is empty\n");
        return 0;
    }
    std::time_t now = std::time(nullptr);
    std::printf("%-10s %-8s %-4s %-32s %8s  %s\n", "Id", "Age", "Kind", "Destination", "Attempts",
                "Last error");
    for (const queue_entry& e : all) {
        long age = static_cast<long>(now - e.enqueued_ms / 1000);
        if (age < 0) age = 0;
        std::string age_text = age < 3600 ? strprintf("%ldm%02lds", age / 60, age % 60)
                                          : strprintf("%ldh%02ldm", age / 3600, age / 60 % 60);
        const char* kind = e.kind == QUEUE_MAIL_TO_SMS   ? "sms"
                           : e.kind == QUEUE_SMS_TO_MAIL ? "mail"
                                                         : "part";
        std::printf("%-10llu %-8s %-4s %-32s %8u  %s\n", static_cast<unsigned long long>(e.id),
                    age_text.c_str(), kind, e.destination.c_str(), e.attempts,
                    e.last_error.c_str());
    }
    std::printf("-- %zu entries\n", all.size());
    return 0;
}

}  // namespace tolvane
