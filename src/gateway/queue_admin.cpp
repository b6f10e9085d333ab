// The gateway's queue: opening it with its delivery workers at start-up, stopping them at
// shutdown, the operator's "-queue" listing and flush request, and the figures for the
// status page.
//
// Ownership: the queue and the delivery engine belong to the Gateway (gateway.h), made here
// on the main thread after the transports are open and released here before the
// transports are closed. The lanes borrow the gateway's send transport, its relay and its
// settings table; what each lane's functions read (MailSender, SmsRelay) is owned by the
// lane's functions, so it lives as long as the engine.
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
#include "gateway/routes.h"
#include "gateway/sms_to_mail.h"
#include "gateway/store_admin.h"
#include "gateway/webhooks.h"
#include "net/tcp.h"
#include "queue/queue_pg.h"
#include "sms/sms_smpp.h"
#include "store/pg.h"

namespace tolvane {

namespace {

constexpr const char* FLUSH_FILE = "tolvane.flush";

std::string queue_dir(const std::string& workpath) {
    return attach_path(workpath, "queue", 4096);
}

// The queue, in the shared database or in files under the work directory.
bool open_queue_store(Gateway& gw) {
    Result<StoreKind> kind = store_kind(gw.ini());
    if (!kind) {
        report_error("%s", kind.reason().c_str());
        return false;
    }
    if (*kind != StoreKind::POSTGRESQL) {
        std::string dir = queue_dir(gw.setting_str(WORKPATH));
        Result<std::unique_ptr<QueueStore>> q = queue_file_open(dir, queue_file_options{});
        if (!q) {
            report_error("Failed to open the message queue (%s), %s", dir.c_str(),
                         q.error().reason.c_str());
            return false;
        }
        gw.queue = std::move(*q);
        return true;
    }
    queue_pg_options o;
    o.dsn = gw.setting_str(STORE_DSN);
    o.owner = store_owner_name(gw.ini());
    o.side = gw.pg_side.get();
    int lease = gw.setting_int(QUEUE_LEASE);
    o.lease_ms = static_cast<std::int64_t>(lease > 0 ? lease : 60) * 1000;
    Result<std::unique_ptr<QueueStore>> q = queue_pg_open(o);
    if (!q) {
        report_error("Failed to open the message queue in the PostgreSQL store (%s), %s",
                     pg_dsn_safe(o.dsn).c_str(), q.error().reason.c_str());
        return false;
    }
    gw.queue = std::move(*q);
    imsg("Message queue in the PostgreSQL store as %s, lease %d s", o.owner.c_str(),
         static_cast<int>(o.lease_ms / 1000));
    return true;
}

// The lane that sends queued mail as SMS through Send.
void add_sms_lane(Gateway& gw, int workers, long lifetime_ms) {
    SmsTransport* send = gw.send.get();
    auto sender = std::make_shared<MailSender>();
    sender->send = send;
    sender->relay = gw.relay.get();
    sender->receipts = gw.receipts.get();
    sender->units = gw.mail_units.get();
    sender->api = gw.api_messages.get();
    sender->state = &gw.state;
    sender->rules = mail_send_rules(gw.ini());
    // A transport that reconnects says so; its entries wait meanwhile.
    sender->up = [send] { return send->up(); };
    DeliveryLane lane;
    lane.up = sender->up;
    lane.up_told = send->tells_state();
    lane.name = "SMS";
    lane.kind = QUEUE_MAIL_TO_SMS;
    // A modem holds one dialogue at a time. The SMPP link keeps up to smpp_window
    // submits in flight, so it gets a worker for each place of its window.
    int mode = sms_mode(send);
    lane.workers = mode == SMS_GSM ? 1 : workers;
    if (mode == SMS_SMPP) {
        int window = gw.setting_int(SMPP_WINDOW);
        lane.workers = window > lane.workers ? window : lane.workers;
    }
    if (const auto* routed = dynamic_cast<const RoutedTransport*>(send)) {
        // Several transports: each gets the workers it would get alone, so that a modem
        // is kept busy beside a centre's window; an SMS that no transport of its route can
        // carry now waits without an attempt.
        lane.workers = 0;
        for (const TransportDef& t : routed->table().transports) {
            int w = t.mode == SMS_GSM ? 1 : workers;
            if (t.mode == SMS_SMPP)
                w = std::max(
                    w, static_cast<int>(sini_number(gw.ini(), SMPP_WINDOW, 10, t.name.c_str())));
            lane.workers += w;
        }
        sender->usable = [routed](const SmsOut& sms) { return routed->usable_for(sms); };
    }
    int lane_workers = lane.workers;
    lane.lifetime_ms = lifetime_ms;
    lane.deliver = [sender](DeliveryJob& job) { deliver_mail_entry(*sender, job); };
    if (mode == SMS_SMPP) {
        // A worker takes up to a window's worth of ready entries at once: their attempts
        // share one flush and their submits one write, and the answers wake it once.
        lane.batch = std::max(1, gw.setting_int(SMPP_WINDOW));
        lane.deliver_batch = [sender](std::vector<std::unique_ptr<DeliveryJob>>& jobs) {
            deliver_mail_batch(*sender, jobs);
        };
    }
    lane.expire = [sender](const queue_entry& e) { expire_mail_entry(*sender, e); };
    lane.cut = [send](bool hard) { send->cut_sends(hard); };
    gw.delivery->add_lane(std::move(lane));
    imsg("Sending SMS from the queue with %d workers", lane_workers);
}

// The lane that relays queued received SMS as mail through Relay.
void add_mail_lane(Gateway& gw, long lifetime_ms) {
    RelayClient* relay = gw.relay.get();
    auto sms_relay = std::make_shared<SmsRelay>();
    sms_relay->relay = relay;
    sms_relay->state = &gw.state;
    sms_relay_rules(gw.ini(), *sms_relay);
    DeliveryLane lane;
    lane.name = "mail";
    lane.kind = QUEUE_SMS_TO_MAIL;
    // The relay's state is only known by sending to it: always up, never a change to tell.
    lane.up = [] { return true; };
    lane.up_told = true;
    // Each relay worker waits for its attempt to reach the disk before each mail: a
    // pool of its own, sized to keep up with the SMS an SMS centre delivers.
    lane.workers = std::max(1, gw.setting_int(RELAY_WORKERS));
    imsg("Relaying received SMS from the queue with %d workers", lane.workers);
    lane.lifetime_ms = lifetime_ms;
    lane.deliver = [sms_relay](DeliveryJob& job) { deliver_sms_entry(*sms_relay, job); };
    lane.expire = [sms_relay](const queue_entry& e) { expire_sms_entry(*sms_relay, e); };
    lane.cut = [relay](bool hard) { relay->cut_sends(hard); };
    gw.delivery->add_lane(std::move(lane));
}

// A webhook's URL is listed without its query, which may carry the receiver's token.
std::string listed_destination(const queue_entry& e) {
    if (e.kind != QUEUE_WEBHOOK) return e.destination;
    return e.destination.substr(0, e.destination.find_first_of("?#"));
}

}  // namespace

bool delivery_open(Gateway& gw) {
    if (!open_queue_store(gw)) return false;
    gw.delivery = std::make_unique<DeliveryEngine>(*gw.queue);
    int workers = gw.setting_int(SEND_WORKERS);
    if (workers < 1) workers = 1;
    long lifetime_ms = static_cast<long>(gw.setting_int(QUEUE_LIFETIME)) * 3600L * 1000L;
    if (gw.send) add_sms_lane(gw, workers, lifetime_ms);
    if (gw.relay) add_mail_lane(gw, lifetime_ms);
    add_webhook_lane(gw, lifetime_ms);
    gw.delivery->start();
    // A transport that comes up (or goes down) wakes its lane at once. Cleared by
    // delivery_stop before the engine goes.
    DeliveryEngine* engine = gw.delivery.get();
    if (gw.send) gw.send->set_state_watcher([engine] { engine->wake_all(QUEUE_MAIL_TO_SMS); });
    return true;
}

void delivery_halt(Gateway& gw) {
    if (gw.delivery) gw.delivery->halt();
}

bool delivery_stop(Gateway& gw, long wait_ms) {
    if (gw.send) gw.send->set_state_watcher(nullptr);
    if (!gw.delivery) return false;
    QueueStore* queue = gw.queue.get();
    queue_stats before = queue ? queue->stats() : queue_stats{};
    int busy = gw.delivery->busy();
    if (busy > 0) imsg("Waiting up to %ld ms for %d sends in progress...", wait_ms, busy);
    gw.delivery->stop(wait_ms);
    const bool left = gw.delivery->abandoned();
    // The store no longer calls the engine once stop() has returned, unless workers were
    // left running: they still use it.
    if (left)
        (void)gw.delivery.release();
    else
        gw.delivery.reset();
    queue_stats after = queue ? queue->stats() : queue_stats{};
    imsg("Delivery stopped, %zu entries stay queued (%zu before)", after.waiting, before.waiting);
    return left;
}

void delivery_close(Gateway& gw, bool abandoned) {
    QueueStore* queue = gw.queue.get();
    if (queue && queue_is_pg(queue))
        imsg("Queue: %llu durable commits in this run",
             static_cast<unsigned long long>(queue_pg_commits(queue)));
    else if (queue)
        imsg("Queue journal: %llu disk flushes in this run",
             static_cast<unsigned long long>(queue_file_syncs(queue)));
    // A thread that was abandoned may still use the queue: it stays open, but what it
    // holds unflushed (outcomes, attempts taken back) goes to disk now.
    if (abandoned) {
        queue_file_flush(queue);
        (void)gw.queue.release();
    } else {
        gw.queue.reset();
    }
}

void delivery_check_flush(Gateway& gw) {
    struct stat st {};
    if (::stat(FLUSH_FILE, &st) != 0) return;
    std::remove(FLUSH_FILE);
    imsg("%s found, retrying every queued entry now", FLUSH_FILE);
    if (gw.delivery) gw.delivery->flush();
}

queue_stats delivery_queue_stats(const Gateway& gw) {
    // Read by web threads while the main thread may close the queue at shutdown; the web
    // threads are counted and end before that.
    return gw.queue ? gw.queue->stats() : queue_stats{};
}

std::optional<bool> delivery_database_up(const Gateway& gw) {
    return gw.queue ? gw.queue->database_up() : std::nullopt;
}

namespace {

// The transports an entry's route chooses from ("b>a" in failover order, "m1|m2" shared),
// or "no route".
std::string route_choice(const RoutePicker& p, const queue_entry& e) {
    const int r = p.route_for(e.destination, {e.billing, e.user});
    if (r < 0) return "no route";
    const RouteDef& d = p.table().routes[static_cast<std::size_t>(r)];
    std::string out;
    for (std::size_t m : d.via) {
        if (!out.empty()) out += d.strategy == RouteStrategy::share ? "|" : ">";
        out += p.table().transports[m].name;
    }
    return out;
}

// One line per entry; with routes, the transports each SMS's route chooses from.
void print_entries(const std::vector<queue_entry>& all, const RouteTable* routes) {
    std::time_t now = std::time(nullptr);
    std::optional<RoutePicker> picker;
    if (routes != nullptr) picker.emplace(*routes, RoutePicker::Limits{});
    if (picker)
        std::printf("%-10s %-8s %-4s %-32s %8s  %-24s %s\n", "Id", "Age", "Kind", "Destination",
                    "Attempts", "Transport", "Last error");
    else
        std::printf("%-10s %-8s %-4s %-32s %8s  %s\n", "Id", "Age", "Kind", "Destination",
                    "Attempts", "Last error");
    for (const queue_entry& e : all) {
        long age = static_cast<long>(now - e.enqueued_ms / 1000);
        if (age < 0) age = 0;
        std::string age_text = age < 3600 ? strprintf("%ldm%02lds", age / 60, age % 60)
                                          : strprintf("%ldh%02ldm", age / 3600, age / 60 % 60);
        const char* kind = e.kind == QUEUE_MAIL_TO_SMS   ? "sms"
                           : e.kind == QUEUE_SMS_TO_MAIL ? "mail"
                           : e.kind == QUEUE_WEBHOOK     ? "hook"
                                                         : "part";
        if (picker) {
            std::string via = "-";
            if (e.kind == QUEUE_MAIL_TO_SMS) via = route_choice(*picker, e);
            std::printf("%-10llu %-8s %-4s %-32s %8u  %-24s %s\n",
                        static_cast<unsigned long long>(e.id), age_text.c_str(), kind,
                        listed_destination(e).c_str(), e.attempts, via.c_str(),
                        e.last_error.c_str());
            continue;
        }
        std::printf("%-10llu %-8s %-4s %-32s %8u  %s\n", static_cast<unsigned long long>(e.id),
                    age_text.c_str(), kind, listed_destination(e).c_str(), e.attempts,
                    e.last_error.c_str());
    }
}

// The queue as a listing sees it: the journal read without a write, or the shared store.
Result<std::unique_ptr<QueueStore>> open_listing(const SIni* ini, StoreKind store,
                                                 const std::string& work) {
    if (store == StoreKind::POSTGRESQL) {
        // A name of its own: the listing must not give back the claims of a gateway.
        queue_pg_options po;
        po.dsn = sini_text(ini, STORE_DSN);
        po.owner = strprintf("listing:%s:%d", tcp_hostname().c_str(), static_cast<int>(getpid()));
        return queue_pg_open(po);
    }
    queue_file_options o;
    o.read_only = true;
    return queue_file_open(queue_dir(work), o);
}

}  // namespace

int queue_tool(const SIni* ini, const std::vector<std::string>& args, std::size_t at,
               const RouteTable* routes) {
    std::string home = sini_text(ini, HOME);
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
    std::string work = sini_text(ini, WORKPATH);
    // Relative paths are taken from the home directory, as the server does.
    if (!work.empty() && work[0] != '/' && !home.empty()) work = attach_path(home, work, 4096);
    Result<StoreKind> store = store_kind(ini);
    if (!store) {
        std::printf("ERROR: %s\n", store.reason().c_str());
        return 1;
    }
    Result<std::unique_ptr<QueueStore>> opened = open_listing(ini, *store, work);
    if (!opened) {
        std::printf("ERROR: %s\n", opened.error().reason.c_str());
        return 1;
    }
    std::unique_ptr<QueueStore> q = std::move(*opened);
    // Told until the copies of the damaged segments are removed.
    if (std::size_t lost = queue_file_lost(q.get()); lost > 0)
        std::printf("%zu entries lost in damaged records (copies in %s)\n", lost,
                    attach_path(queue_dir(work), "damaged", 4096).c_str());
    std::vector<queue_entry> all = q->list(0);
    if (all.empty()) {
        std::printf("Queue is empty\n");
        return 0;
    }
    print_entries(all, routes);
    std::printf("-- %zu entries\n", all.size());
    return 0;
}

}  // namespace tolvane
