// The gateway's process-wide objects and the spine that brings them up and down.
//
// Start-up (startup.cpp) fills these objects on the main thread, in a fixed
// order, before any worker thread that reads them exists; afterwards they are
// only read, until shutdown (mainloop.cpp) releases them on the main thread
// after the counted worker threads have ended (or been abandoned after 6 s).
// The owners are these globals; other modules borrow raw pointers.
//
// ShutdownNow is the one value written after start-up: a flag that only ever
// goes from 0 to 1 (web command, console "quit", SIGTERM/SIGINT, exit file) and
// that every loop polls. SIGHUP asks the main loop for a reload (gateway/reload.h).
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
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "foundation/log.h"
#include "foundation/sini.h"
#include "gateway/keys.h"
#include "gateway/transports.h"
#include "net/tcp.h"
#include "queue/queue.h"
#include "records/alias.h"
#include "records/msgrec.h"
#include "sms/transport.h"

namespace tolvane {

class SmtpServer;
class RelayClient;

// ---- process-wide state ----
extern std::unique_ptr<SIni> ConfigSettings;
extern std::unique_ptr<Log> mylog;
extern std::atomic<int> ShutdownNow;
extern int isdebugtime;
extern std::time_t starttime;
// The mail relay sender (notices, reports, received SMS as mail); the SMTP server the mail
// receiving thread runs (null before the mail side is open); the SMS sending transport (null
// for "none"); the SMS receiving transport: Recv is Send.get() when both modes are equal,
// else RecvOwned.get(), or null.
extern std::unique_ptr<RelayClient> Relay;
extern std::unique_ptr<SmtpServer> MailServer;
extern std::unique_ptr<SmsTransport> Send;
extern std::unique_ptr<SmsTransport> RecvOwned;
extern SmsTransport* Recv;
// The SMS receiving thread (Recv->receive with SmsSink) and the sink it hands SMS to; the
// thread is stopped through its stop token and joined at shutdown, before the transports
// go.
extern std::unique_ptr<InboundSink> SmsSink;
extern std::jthread SmsReceiver;
extern std::unique_ptr<CHAN> Command;  // web administration listener (first web_listen address)
extern std::vector<std::unique_ptr<CHAN>> CommandMore;  // on the further web_listen addresses
extern bool CommandHttps;
// Originator of scheduled reports: gsm_number when a modem transport was configured.
extern std::optional<std::string> report_using;
// One entry per `limit` setting plus the implicit "msgrec" one.
extern std::vector<std::unique_ptr<msgrecs>> MR;
// A `limit` setting as start-up reads it; a count of 0 sets no limit of that kind.
struct limit_setting {
    std::string name;
    std::string period;  // as msgrec_init reads it ("24", "2d", "1w", ...)
    int ip = 0;
    int from = 0;
    int to = 0;
    int user = 0;
};
// The limits of ini in file order: each count a whole number, the "msgrec" limit taking
// ip_limit/from_limit/to_limit for the counts it leaves at 0, and added (period 24) when
// no line names it. False with the start-up error in why for a count that is not a whole
// number or a name given twice.
[[nodiscard]] bool limit_settings(const SIni* ini, std::vector<limit_setting>& out,
                                  std::string& why);
// The record delimiter of the data files.
extern char RecordDelimiter;
// Set by start-up once the log, the message log and the lock list exist, so shutdown
// knows what to release and save.
extern bool MsglogLoaded;
// The settings readers of the receiving threads. Message threads borrow them through
// the transport's callback data and may outlive the thread that started them, so the
// readers are owned here and released by shutdown only once no message thread is left.
extern std::vector<std::shared_ptr<rini>> ReceiverReaders;
// The alias file (sender addresses of mail made from SMS) and the delivery file (their
// destinations) are held by gateway/reload.h (alias_table, delivery_table), as a
// reload replaces them.

// The message queue in workpath/queue and the workers that deliver from it; set after the
// transports are open, stopped and released before they are closed.
class DeliveryEngine;
extern std::unique_ptr<QueueStore> Queue;
extern std::unique_ptr<DeliveryEngine> Delivery;
// Opens the queue and starts its workers (false: reported, start-up ends). At shutdown
// delivery_halt ends claiming at once; delivery_stop stops the workers, letting sends
// finish for wait_ms and then cutting them (their entries stay queued), true when workers
// that would not end were left running; delivery_close closes the queue, which is only
// flushed and left open when threads that may still use it were abandoned.
bool delivery_open();
void delivery_halt();
bool delivery_stop(long wait_ms);
void delivery_close(bool abandoned);
// Obeys a flush request file left by "-queue flush" (main loop).
void delivery_check_flush();
// "-queue" and "-queue flush" (args[at] is "-queue"): the exit status.
int queue_tool(const std::vector<std::string>& args, std::size_t at);
// "-records DAY [rec|log]" (args[at] is "-records"): the exit status. The day and kind
// it names (kind "rec" unless "log" follows the day); false with why without a day.
int records_tool(const std::vector<std::string>& args, std::size_t at);
bool records_tool_args(const std::vector<std::string>& args, std::size_t at, std::string& day,
                       std::string& kind, std::string& why);

// ---- helpers used by the other gateway modules ----
// Formats (at most 999 characters), prints "ERROR: %s\n" on standard output and logs it
// at error level.
void report_error(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// The settings of the transport for a mode, filled from ini (texts copied); nothing for
// SMS_NONE and beyond. Filling the modem record sets report_using.
std::optional<transport_options> delivery_init(SIni* ini, int mode);
// The mail-side settings of the SMTP server and relay sender.
smtp_init smtp_side_init(SIni* ini);

// Value of a key (null when unset and without default or fallback).
const char* setting(int id, const char* part = nullptr, int count = 0);
// Value as text ("" when unset), as a number (0 when unset or not a number), as a truth word.
std::string setting_str(int id, const char* part = nullptr, int count = 0);
int setting_int(int id, const char* part = nullptr, int count = 0);
bool setting_true(int id);

// ---- start, run, stop ----
struct CommandLine;  // gateway/cli.h
int gateway_main(int argc, char** argv);
// Asks the gateway to stop: sets ShutdownNow and wakes the main loop at once. Safe in a
// signal handler.
void gateway_request_stop();
// Wakes the main loop at once (a reload request); safe in a signal handler.
void gateway_wake_main();
// A descriptor that becomes readable once a stop is requested (-1 when there is none): a
// wait polls it beside its own descriptors. Whoever finds it readable while ShutdownNow
// is 0 (a stop was withdrawn, in tests) reads it empty.
int gateway_stop_fd();
// Start-up steps; 0 on a fatal error (already reported), -2 when a command-line tool ran
// (its status in tool_status), 1 when the main loop may start.
int gateway_startup(CommandLine& cl, int& tool_status);
void gateway_mainloop();
// Shutdown from step 1 (after the main loop) or, with from_start false, from step 3.
// Returns the exit status.
int gateway_shutdown(bool wait_threads, int status);

// The mail side handle for the console, null before it is open and after it is closed.
RelayClient* console_smtp();

}  // namespace tolvane
