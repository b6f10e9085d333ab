// The running gateway (class Gateway: what it owns and in which order) and the spine
// that brings it up and down.
//
// gateway_main owns the one Gateway of the process for the whole run: start-up
// (startup.cpp) fills it on the main thread, in a fixed order, before any worker thread
// that reads it exists; afterwards it is only read, until shutdown (mainloop.cpp)
// releases its parts on the main thread after the counted worker threads have ended (or
// been abandoned after 6 s). Every module that needs a part is handed the Gateway, or
// better only that part, by reference; nothing of it is reached through a global.
//
// Process-wide, besides the log (`mylog`, below): only the hook through
// which the signal handlers reach the Gateway (startup.cpp), since a handler cannot be
// handed a reference.
//
// Gateway::stop is the one value written after start-up besides the reload request: a
// flag that only ever goes from 0 to 1 (web command, console "quit", SIGTERM/SIGINT,
// exit file) and that every loop polls. SIGHUP asks the main loop for a reload
// (gateway/reload.h).
//
// The command line is read by gateway/cli.h, the scheduled reports are kept by
// gateway/reports.h.
//
//   int main(int argc, char** argv) { return tolvane::gateway_main(argc, argv); }
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "foundation/log.h"
#include "foundation/result.h"
#include "foundation/sini.h"
#include "gateway/keys.h"
#include "gateway/reload.h"
#include "gateway/reports.h"
#include "gateway/sms_parts.h"
#include "gateway/transports.h"
#include "gateway/web_session.h"
#include "net/tcp.h"
#include "queue/queue.h"
#include "records/alias.h"
#include "records/msglog.h"
#include "records/msgrec.h"
#include "records/mutexlist.h"
#include "records/phones.h"
#include "records/stores.h"
#include "sms/transport.h"

namespace tolvane {

// The gateway's log, made by start-up and installed as the process's log (log_set): it
// stays process-wide, since every module logs (the only other process-wide hook is the
// signal handlers' way to the Gateway, in startup.cpp).
extern std::unique_ptr<Log> mylog;

// A `limit` setting as start-up reads it; a count of 0 sets no limit of that kind.
struct limit_setting {
    std::string name;
    std::string period;  // as msgrec_init reads it ("24", "2d", "1w", ...)
    int ip = 0;
    int from = 0;
    int to = 0;
    int user = 0;
    int key = 0;  // per HTTP API key
};
// The limits of ini in file order: each count a whole number, the "msgrec" limit taking
// ip_limit/from_limit/to_limit for the counts it leaves at 0, and added (period 24) when
// no line names it. The start-up error for a count that is not a whole number or a name
// given twice.
Result<std::vector<limit_setting>> limit_settings(const SIni* ini);

class SmtpServer;
class RelayClient;
class DeliveryEngine;
class SmppReceipts;
class PgSideWriters;
class MailUnits;
class ApiKeyTable;
class ApiMessages;
class ApiIdempotency;
class ApiServer;
struct WebSlots;
struct WebProbe;
struct RouteTable;

// A pipe whose write end wakes a poll on its read end; both non-blocking.
struct WakePipe {
    int rd = -1;
    int wr = -1;
    WakePipe();
    ~WakePipe();
    WakePipe(const WakePipe&) = delete;
    WakePipe& operator=(const WakePipe&) = delete;
    // Writes one byte (async-signal-safe; a full pipe already holds a wake-up).
    void wake() const;
    // Reads every byte written so far.
    void drain() const;
};

// The running gateway: everything start-up builds and shutdown takes down, owned by one
// object that gateway_main keeps for the whole run and passes down by reference.
//
// The members are declared in the order that makes destruction safe: a thread is
// declared after everything it uses, so that it is stopped and joined before they go
// (the SMS receiving thread after its sink, the transports, the queue and the settings;
// the delivery engine, which joins its workers, after the queue and the transports; the
// SMTP server, whose sessions use the queue, the transports and the limits, after them).
// Shutdown (gateway_shutdown) still takes them down explicitly in its own order, and
// when threads had to be abandoned it keeps what they may touch and ends the process
// without running this destructor.
//
// Start-up fills the members on the main thread before any thread that reads them
// exists; afterwards they are only read, except `stop` (0 -> 1 only, polled by every
// loop) and `reload` (set by SIGHUP, taken by the main loop).
class Gateway {
  public:
    Gateway();
    ~Gateway();
    Gateway(const Gateway&) = delete;
    Gateway& operator=(const Gateway&) = delete;

    // ---- settings ----
    // The settings table, loaded by start-up (with home and host filled in).
    std::unique_ptr<SIni> settings;
    SIni* ini() const { return settings.get(); }
    // Value of a key (null when unset and without default or fallback).
    const char* setting(int id, const char* part = nullptr, int count = 0) const;
    // Value as text ("" when unset), as a number (0 when unset or not a number), as a
    // truth word.
    std::string setting_str(int id, const char* part = nullptr, int count = 0) const;
    int setting_int(int id, const char* part = nullptr, int count = 0) const;
    bool setting_true(int id) const;

    // ---- run state ----
    std::time_t starttime = 0;  // when the main loop started
    bool debugtime = false;     // -debug given: the modem traces its dialogue
    // Set (0 -> 1 only) when the gateway is asked to stop: gateway_request_stop.
    std::atomic<int> stop{0};
    // Set by SIGHUP, taken by the main loop (gateway/reload.h).
    std::atomic<int> reload{0};
    // The main loop's wake-up (a stop or reload request ends its wait at once), and the
    // pipe written once a stop is requested and never drained by the gateway (any wait
    // may poll it beside its own descriptors).
    WakePipe main_wake;
    WakePipe stop_wake;
    // The web channel's connection slots in use (gateway/web_accept.h) and its health
    // probe (gateway/web_admin.h), shared by the web threads; made with the Gateway.
    std::unique_ptr<WebSlots> web_slots;
    std::unique_ptr<WebProbe> web_probe;

    // ---- records ----
    // The alias and delivery tables of the SMS-to-mail side (a reload replaces them).
    AliasTables tables;
    char delimiter = '|';  // of the data files (log_delimiter)
    // The registry of the limits below (declared first, so that it outlives them): their
    // order, the directory of the message records (that of the first) and their clock.
    LimitRegistry limit_registry;
    // One entry per `limit` setting plus the implicit "msgrec" one.
    std::vector<std::unique_ptr<msgrecs>> limits;
    // The message log and the phone number pool in the work directory, loaded by start-up
    // (the file stores serve from them); shutdown saves the log.
    MessageLog msglog;
    PhonePool phones;
    // Set once the message log is loaded, so that shutdown knows to save it.
    bool msglog_loaded = false;
    // Where the PostgreSQL queue, while open, takes the statements that ride in its groups
    // (store/pg.h): handed to it and to the database's stores when start-up builds them,
    // so that they outlive both; made with the Gateway.
    std::unique_ptr<PgSideWriters> pg_side;
    // Records, message log, pool and rate-limit counts as the mail and SMS paths reach
    // them (records/stores.h): made with the file stores over the members above, replaced
    // by start-up with the database's when a shared store is configured.
    StateStores state;
    // The rate-limit units the entries stored by this run still hold
    // (gateway/mail_to_sms.h); made with the Gateway.
    std::unique_ptr<MailUnits> mail_units;
    // The scheduled reports (gateway/reports.h), read and marked by the main loop.
    std::vector<report_on> reports;
    // Originator of scheduled reports: gsm_number when a modem transport was configured.
    std::optional<std::string> report_using;
    // The SMPP submits waiting for their receipts (gateway/smpp_receipts.h), when a
    // transport is SMPP; each SMPP transport holds its handler until it is freed, before
    // this table.
    std::unique_ptr<SmppReceipts> receipts;
    // The HTTP API's keys, the status of its messages (told by the delivery workers and
    // the receipts) and its idempotency keys (gateway/api_server.h); made by start-up
    // before the delivery workers.
    std::unique_ptr<ApiKeyTable> api_keys;
    std::unique_ptr<ApiMessages> api_messages;
    std::unique_ptr<ApiIdempotency> api_idempotency;

    // ---- transports ----
    // The settings readers of the receiving side. Session workers borrow them and may
    // outlive the thread that started them, so they are kept here until shutdown knows
    // no session is left.
    std::vector<std::shared_ptr<rini>> receiver_readers;
    // The mail relay sender (notices, reports, received SMS as mail).
    std::unique_ptr<RelayClient> relay;
    // The `transport NAME` sections and routes of the settings (gateway/routes.h), read
    // with the settings; null without any transport section.
    std::unique_ptr<RouteTable> route_table;
    // The SMS sending transport (null for "none"); the SMS receiving transport: recv is
    // send.get() when both modes are equal, else recv_owned.get(), or null. With transport
    // sections, send is the routed transport over them all, and recv the same when any of
    // them receives.
    std::unique_ptr<SmsTransport> send;
    std::unique_ptr<SmsTransport> recv_owned;
    SmsTransport* recv = nullptr;
    // The console's way to the relay, under a lock that shutdown takes before it closes
    // the relay (null before the mail side is open and after it is closed).
    std::mutex console_lock;
    RelayClient* console_relay = nullptr;

    // ---- queue and delivery ----
    // The message queue in workpath/queue and the workers that deliver from it; opened
    // after the transports, stopped and released before they are closed.
    std::unique_ptr<QueueStore> queue;
    std::unique_ptr<DeliveryEngine> delivery;

    // ---- receiving ----
    // The SMTP server the mail receiving thread runs (null before the mail side is open).
    std::unique_ptr<SmtpServer> mail_server;
    // The HTTP API's server (null when api_port is 0 or it could not listen); its workers
    // store into the queue, so it is stopped before the delivery workers and the queue.
    std::unique_ptr<ApiServer> api;
    // The SMS receiving thread (recv->receive with sms_sink), stopped through its stop
    // token and joined at shutdown, before the transports go.
    std::unique_ptr<InboundSink> sms_sink;
    // Long SMS waiting for the rest of their parts (what sms_sink's path points at); it
    // outlives the receiving thread, which is stopped first.
    LongSms long_sms;
    std::jthread sms_receiver;

    // ---- web channel ----
    std::unique_ptr<CHAN> command;                    // listener on the first web_listen address
    std::vector<std::unique_ptr<CHAN>> command_more;  // on the further web_listen addresses
    bool command_https = false;
    WebSessions web_sessions;  // the web channel's login sessions and their form tokens

    // ---- counted threads ----
    // The worker threads shutdown waits for (records/mutexlist.h): the mail receiving
    // thread, the web channel's accepting and serving threads. Declared after all they
    // use; shutdown has waited for them (or ended the process without this destructor)
    // before the set goes.
    CountedThreads threads;

    // ---- console ----
    // The -debug console's thread (gateway/cli.h), stopped and joined first.
    std::unique_ptr<std::jthread> console;
};

// Opens the queue and starts its workers (false: reported, start-up ends). At shutdown
// delivery_halt ends claiming at once; delivery_stop stops the workers, letting sends
// finish for wait_ms and then cutting them (their entries stay queued), true when workers
// that would not end were left running; delivery_close closes the queue, which is only
// flushed and left open when threads that may still use it were abandoned.
bool delivery_open(Gateway& gw);
void delivery_halt(Gateway& gw);
bool delivery_stop(Gateway& gw, long wait_ms);
void delivery_close(Gateway& gw, bool abandoned);
// Obeys a flush request file left by "-queue flush" (main loop).
void delivery_check_flush(Gateway& gw);
// "-queue" and "-queue flush" (args[at] is "-queue") with the settings of ini: the exit
// status.
// With transport sections (routes non-null) each SMS is listed with the transports its
// route chooses from, in the order the route tries them.
int queue_tool(const SIni* ini, const std::vector<std::string>& args, std::size_t at,
               const RouteTable* routes = nullptr);
// "-records DAY [rec|log]" (args[at] is "-records"): the exit status. The day and kind
// it names (kind "rec" unless "log" follows the day); an error without a day.
int records_tool(const SIni* ini, const std::vector<std::string>& args, std::size_t at);
struct records_request {
    std::string day;
    std::string kind = "rec";
};
Result<records_request> records_tool_args(const std::vector<std::string>& args, std::size_t at);

// ---- helpers used by the other gateway modules ----
// Formats (at most 999 characters), prints "ERROR: %s\n" on standard output and logs it
// at error level.
void report_error(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// The settings of the transport for a mode, filled from ini (texts copied); nothing for
// SMS_NONE and beyond. debug: the modem traces its dialogue (-debug). section: the
// `transport NAME` section whose keys come first (null: the global part alone).
std::optional<transport_options> delivery_init(SIni* ini, int mode, bool debug = false,
                                               const char* section = nullptr);
// The originator of scheduled reports that a transport's settings give: the modem's
// gsm_number when it is set; nothing for the other transports.
std::optional<std::string> report_originator(const SIni* ini, const transport_options& opts);
// The mail-side settings of the SMTP server and relay sender.
smtp_init smtp_side_init(SIni* ini);

// ---- start, run, stop ----
struct CommandLine;  // gateway/cli.h
int gateway_main(int argc, char** argv);
// Asks the gateway to stop: sets gw.stop, wakes the main loop at once and makes the stop
// descriptor readable. Safe in a signal handler.
void gateway_request_stop(Gateway& gw);
// Wakes the main loop at once (a reload request); safe in a signal handler.
void gateway_wake_main(Gateway& gw);
// A descriptor that becomes readable once a stop is requested (-1 when there is none): a
// wait polls it beside its own descriptors. Whoever finds it readable while gw.stop is 0
// (a stop was withdrawn, in tests) reads it empty.
int gateway_stop_fd(const Gateway& gw);
// Start-up steps on gw; 0 on a fatal error (already reported), -2 when a command-line
// tool ran (its status in tool_status), 1 when the main loop may start.
int gateway_startup(Gateway& gw, CommandLine& cl, int& tool_status);
void gateway_mainloop(Gateway& gw);
// Shutdown from step 1 (after the main loop) or, with from_start false, from step 3.
// Returns the exit status.
int gateway_shutdown(Gateway& gw, bool wait_threads, int status);

// The console's "smtp <to> <text>": a mail through gw's relay. The error carries the
// relay's code (-1 without one) and its reason.
Status console_send(Gateway& gw, std::string_view to, std::string_view text);
// Gives the console the relay (null: takes it away), under the console's lock.
void publish_console_smtp(Gateway& gw, RelayClient* relay);

}  // namespace tolvane
