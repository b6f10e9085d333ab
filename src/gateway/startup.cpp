// Start-up: the steps that bring the gateway up, in their fixed order, with one
// fatal message per step that can fail. They fill the Gateway that gateway_main owns
// (gateway.h); the transports' records are read by transport_settings.cpp.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <system_error>
#include <utility>

#include "foundation/auth_guard.h"
#include "foundation/lib.h"
#include "foundation/thread.h"
#include "foundation/tracefile.h"
#include "gateway/cli.h"
#include "gateway/gateway.h"
#include "gateway/api_server.h"
#include "gateway/mail_to_sms.h"
#include "gateway/reload.h"
#include "gateway/reports.h"
#include "gateway/routes.h"
#include "gateway/smpp_receipts.h"
#include "gateway/sms_to_mail.h"
#include "gateway/store_admin.h"
#include "gateway/transports.h"
#include "gateway/webhooks.h"
#include "records/msglog.h"
#include "records/mutexlist.h"
#include "records/phones.h"
#include "records/stores.h"
#include "sms/sms_robot.h"
#include "smtp/engine.h"
#include "smtp/relay_client.h"
#include "smtp/server.h"
#include "store/pg_state.h"

namespace tolvane {

namespace {

// The gateway the signal handlers reach: the one process-wide hook besides the log, since
// a handler cannot be handed a reference. Set by install_signals, cleared by gateway_main
// before its Gateway goes; only the handlers read it.
std::atomic<Gateway*> signal_target{nullptr};

void seed_random() {
    std::srand(static_cast<unsigned>(std::time(nullptr)) + static_cast<unsigned>(std::clock()));
}

extern "C" void on_stop_signal(int) {
    if (Gateway* gw = signal_target.load()) gateway_request_stop(*gw);
}

// SIGHUP is what log rotation and a service manager's reload send; its default action
// would end the gateway.
extern "C" void on_reload_signal(int) {
    if (Gateway* gw = signal_target.load()) {
        reload_request(*gw);
        gateway_wake_main(*gw);
    }
}

void install_signals(Gateway& gw) {
    signal_target.store(&gw);
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    struct sigaction hup {};
    hup.sa_handler = on_reload_signal;
    sigemptyset(&hup.sa_mask);
    hup.sa_flags = SA_RESTART;
    sigaction(SIGHUP, &hup, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
}

// A service runs with many connections at once: take every descriptor the hard limit
// allows instead of the small default soft limit.
void raise_descriptor_limit() {
    struct rlimit rl {};
    if (::getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == rl.rlim_max) return;
    rlim_t was = rl.rlim_cur;
    rl.rlim_cur = rl.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &rl) != 0) {
        emsg("Failed to raise the descriptor limit from %llu, %s",
             static_cast<unsigned long long>(was), system_error(errno).c_str());
        return;
    }
    imsg("Descriptor limit raised from %llu to %llu", static_cast<unsigned long long>(was),
         static_cast<unsigned long long>(rl.rlim_cur));
}

void tcp_sink(const char* text) {
    emsg("%s", text ? text : "");
}

// Why a directory cannot take our files.
std::string directory_problem(const std::string& dir) {
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0) return system_error(errno);
    if (!S_ISDIR(st.st_mode)) return system_error(ENOTDIR);
    if (::access(dir.c_str(), W_OK | X_OK) != 0) return system_error(errno);
    return "unknown error";
}

// The mail receiving thread: the SMTP server's accepting loop, counted so that shutdown
// waits for it. Once the shutdown ends the loop, the sessions under way get a few seconds.
[[nodiscard]] bool start_mail_receiver(Gateway& gw) {
    SmtpServer* server = gw.mail_server.get();
    if (server == nullptr) return false;
    return gw.threads.start([server] {
        seed_random();
        server->run(std::stop_token());
        imsg("'Smtp' Callback noticed shutdown signalled");
        (void)server->drain(MAIL_DRAIN_MS);
    });
}

// Opens a transport for an SMS direction; false after a fatal report.
[[nodiscard]] bool open_transport(Gateway& gw, int mode, std::unique_ptr<SmsTransport>& out) {
    std::optional<transport_options> opts = delivery_init(gw.ini(), mode, gw.debugtime);
    if (!opts) {
        report_error("Failed to init %s, Parameter incorrect or NULL", delivery_name(mode));
        return false;
    }
    if (std::optional<std::string> from = report_originator(gw.ini(), *opts))
        gw.report_using = std::move(from);
    Result<std::unique_ptr<SmsTransport>> t = transport_open(*opts);
    opts.reset();
    if (!t) {
        report_error("Failed to init %s, %s", delivery_name(mode), t.error().reason.c_str());
        return false;
    }
    out = std::move(*t);
    return true;
}

// The SMS receiving thread: Recv's receiver with the SMS-to-mail sink, until its stop
// token is asked to stop (shutdown); its settings reader belongs to the sink.
[[nodiscard]] bool start_sms_receiver(Gateway& gw) {
    std::shared_ptr<rini> reader(rini_init(gw.ini()));
    if (!reader) return false;
    gw.sms_sink = sms_to_mail_sink(sms_path_of(gw), gw.tables, reader);
    SmsTransport* t = gw.recv;
    InboundSink* sink = gw.sms_sink.get();
    try {
        gw.sms_receiver = std::jthread([t, sink](std::stop_token stop) {
            seed_random();
            if (Status s = t->receive(*sink, stop); !s)
                emsg("'Other' receiver error %d:%s", s.error().code, s.reason().c_str());
            else
                imsg("'Other' receiver noticed shutdown signalled");
        });
    } catch (const std::system_error& e) {
        emsg("Cannot start the SMS receiving thread: %s", e.what());
        return false;
    }
    return true;
}

// The rate limits and their counter files; false after a fatal report.
[[nodiscard]] bool load_limits(Gateway& gw) {
    Result<std::vector<limit_setting>> limits = limit_settings(gw.ini());
    if (!limits) {
        report_error("%s", limits.reason().c_str());
        return false;
    }
    const std::string workpath = gw.setting_str(WORKPATH);
    gw.limits.clear();
    gw.limits.reserve(limits->size());
    for (const limit_setting& l : *limits) {
        Result<msgrecs_ptr> mr = msgrec_init(gw.limit_registry, l.name, workpath, gw.delimiter,
                                             l.period.c_str(), l.ip, l.from, l.to, l.user, l.key);
        if (!mr) {
            report_error("Failed to read msgrec, %s", mr.reason().c_str());
            return false;
        }
        gw.limits.push_back(std::move(*mr));
    }
    return true;
}

[[nodiscard]] bool load_alias_files(Gateway& gw) {
    if (Status loaded = gw.tables.load(gw.ini()); !loaded) {
        report_error("%s", loaded.reason().c_str());
        return false;
    }
    return true;
}

}  // namespace

// The addresses smtp_listen names; every IPv4 address when it names none.
static std::vector<std::string> ini_listen_addresses(const Gateway& gw) {
    std::vector<std::string> a = s_split_words(gw.setting_str(SMTP_LISTEN), ", \t");
    if (a.empty()) a.emplace_back("0.0.0.0");
    return a;
}

static bool loopback_address(const std::string& a) {
    return a.rfind("127.", 0) == 0 || a == "::1" || a == "[::1]" || iequals(a, "localhost");
}

// A listener that anyone on the network can send SMS through (which cost money) is
// worth a word at every start.
static void warn_open_listener(const Gateway& gw, const std::vector<std::string>& addresses) {
    std::string open;
    for (const std::string& a : addresses)
        if (!loopback_address(a)) open += (open.empty() ? "" : ", ") + a;
    if (open.empty()) return;
    // Addresses nobody would list on purpose, one IPv4 and one IPv6.
    bool any_client = false;
    for (int n = 0;; ++n) {
        const char* v = gw.setting(ACCEPT_IP, nullptr, n);
        if (v == nullptr) break;
        if (wild_list("203.0.113.77", v) || wild_list("2001:db8::77", v)) any_client = true;
    }
    if (!any_client || iequals(gw.setting_str(SMTP_AUTH), "required")) return;
    emsg(
        "Warning: SMTP listener on %s takes mail from any address without authentication: anyone "
        "who can reach it sends SMS. Close it with smtp_listen 127.0.0.1, accept_ip or "
        "smtp_auth required",
        open.c_str());
}

// ---- start-up ----

namespace {

// 2. The settings file, and whether every value fits its key. 1 when loaded, 0 when the
// start stops, -2 when a tool asked for on the command line ran instead (tool_status).
// The transport sections and routes of the settings file; false after a fatal report.
[[nodiscard]] bool load_routes(Gateway& gw, const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    Result<RouteTable> table = route_table_parse(text.str(), path);
    if (!table) {
        log_set(mylog.get());
        report_error("Invalid setting: %s", table.reason().c_str());
        return false;
    }
    if (!table->transports.empty())
        gw.route_table = std::make_unique<RouteTable>(std::move(*table));
    return true;
}

int load_settings(Gateway& gw, CommandLine& cl, int& tool_status) {
    gw.settings = sini_init(_settings);
    // `transport NAME` lines open the sections of the transports a route names.
    if (!sini_load(gw.ini(), cl.config, "transport")) {
        int err = errno;
        bool missing = false;
        if (std::FILE* f = std::fopen(cl.config.c_str(), "r")) {
            std::fclose(f);
        } else {
            err = errno;
            missing = err == ENOENT;
        }
        // A host without a settings file yet is exactly where an operator first asks for
        // the version or the usage, or writes the administrator's password.
        if (missing && cli_tool_without_settings(cl)) {
            tool_status = cli_examine(gw, cl);
            return -2;
        }
        log_set(mylog.get());
        report_error("Failed to load configuration file (%s), %s", cl.config.c_str(),
                     system_error(err).c_str());
        return 0;
    }

    // A value that does not fit its key stops the start: read as a number or a truth
    // word it would quietly become 0, false or the modem.
    if (std::vector<std::string> bad = sini_problems(gw.ini()); !bad.empty()) {
        log_set(mylog.get());
        for (const std::string& b : bad) report_error("Invalid setting: %s", b.c_str());
        return 0;
    }
    // Values that fit their keys alone but not together, or a URL that does not parse.
    if (std::vector<std::string> bad = webhook_setting_problems(gw.ini()); !bad.empty()) {
        log_set(mylog.get());
        for (const std::string& b : bad) report_error("Invalid setting: %s", b.c_str());
        return 0;
    }
    return load_routes(gw, cl.config) ? 1 : 0;
}

// 3. The log file and level.
void open_log_file(const Gateway& gw) {
    std::string logpath = gw.setting_str(LOGPATH);
    if (!log_setup(mylog.get(), logpath.c_str(), "tolvane.log")) {
        log_set(mylog.get());
        report_error("Failed to open the log in (%s), %s", logpath.c_str(),
                     directory_problem(logpath).c_str());
    }
    log_set_level_name(mylog.get(), gw.setting(LOGLEVEL));
}

// 5. Into the home directory.
bool enter_home(Gateway& gw) {
    imsg("Tolvane %s", TOLVANE_RELEASE);
    imsg("Started in (%s)", currentdir().c_str());
    const char* home = gw.setting(HOME);
    if (has_text(home)) {
        if (::chdir(home) != 0) {
            report_error("Failed to change into home (%s), %s", home, system_error(errno).c_str());
            return false;
        }
    }
    // Kept absolute, so that the paths that fall back to it mean the same after the move.
    sini_set(gw.ini(), HOME, nullptr, currentdir().c_str());
    imsg("Running in (%s)", currentdir().c_str());
    return true;
}

// 6. Trace-file defaults; traces rotate like the log, by their own size limit.
void default_trace_files(Gateway& gw) {
    trace_set_limits(gw.setting_int(TRACE_MAX_SIZE), TRACE_KEEP_DEFAULT);
    if (!has_text(gw.setting(COM_DEBUG_FILE))) {
        sini_set(gw.ini(), COM_DEBUG_FILE, nullptr,
                 attach_path(gw.setting_str(LOGPATH), "com.log").c_str());
    }
    if (!has_text(gw.setting(SMTP_DEBUG_FILE))) {
        sini_set(gw.ini(), SMTP_DEBUG_FILE, nullptr,
                 attach_path(gw.setting_str(LOGPATH), "smtp.log").c_str());
    }
}

// 8. The message log.
bool load_message_log(Gateway& gw) {
    std::string path = attach_path(gw.setting_str(WORKPATH), "msglog.dat");
    if (Status loaded = gw.msglog.load(path, gw.delimiter); !loaded) {
        report_error("Failed to read (%s), %s", path.c_str(), loaded.reason().c_str());
        return false;
    }
    gw.msglog_loaded = true;
    return true;
}

// 9.-11. Rate limits, the modem's own number, delivery and alias files, the robot's command.
bool load_delivery_settings(Gateway& gw) {
    if (!load_limits(gw)) return false;
    if (iequals(gw.setting_str(DELIVERY_MODE), "gsm") && !has_text(gw.setting(GSM_NUMBER))) {
        report_error("Config setting 'gsm_number' required");
        return false;
    }
    if (!load_alias_files(gw)) return false;
    if (delivery_mode(gw.setting(SEND_MODE)) == SMS_ROBOT && !has_text(gw.setting(ROBOT_CMD))) {
        report_error("Robot_cmd is required for this delivery_mode (%s)",
                     gw.setting_str(SEND_MODE).c_str());
        return false;
    }
    return true;
}

// 12. Detach from the terminal.
void detach_unless_foreground(Gateway& gw, const CommandLine& cl) {
    if (cl.foreground) return;
    std::printf("Detaching process, check log for errors...\n");
    std::fflush(stdout);
    const pid_t was = ::getpid();
    if (lib_detach() != 0) imsg("Detaching failed, running in the foreground");
    // The daemon forked off has no console thread (only the forking one goes with it):
    // it lets go of the handle, which it must neither stop nor join.
    if (::getpid() != was) (void)gw.console.release();
}

// 13. TCP layer and host name; the failed-login limiter shared by the web channel and the
// mail listener.
void set_up_network(Gateway& gw) {
    tcp_init(tcp_sink);
    std::string host = tcp_hostname();
    imsg("Set HOST[%s]", host.c_str());
    sini_set(gw.ini(), HOST, nullptr, host.c_str());

    AuthGuardRules rules;
    rules.fail_limit = static_cast<int>(sini_number(gw.ini(), AUTH_FAIL_LIMIT, 5));
    rules.window_ms = 1000 * sini_number(gw.ini(), AUTH_FAIL_WINDOW, 600);
    rules.max_delay_ms = 1000 * sini_number(gw.ini(), AUTH_MAX_DELAY, 60);
    rules.base_delay_ms = std::min(rules.base_delay_ms, rules.max_delay_ms);
    auth_guard().set_rules(rules);
    dmsg("Failed logins: held after %d within %ld s, for at most %ld s", rules.fail_limit,
         rules.window_ms / 1000, rules.max_delay_ms / 1000);
}

// 14. Web administration listeners, one for each address, and HTTPS when asked for.
bool open_web_listeners(Gateway& gw) {
    int web_port = gw.setting_int(WEB_PORT);
    std::vector<std::string> web_addresses = s_split_words(gw.setting_str(WEB_LISTEN), ", \t");
    if (web_addresses.empty()) web_addresses.emplace_back("127.0.0.1");
    gw.command_more.clear();
    imsg("COMMAND listen on %d", web_port);
    for (const std::string& a : web_addresses) {
        std::unique_ptr<CHAN> l;
        if (!tcp_listen(l, web_port, a.c_str(), 1)) {
            report_error("Failed to init command channel, %s: %s", a.c_str(),
                         tcp_error(l.get()).c_str());
            return false;
        }
        // Port 0 picks a free port once; every further address takes the same one.
        if (web_port == 0) tcp_getport(l.get(), web_port);
        imsg("COMMAND listening on %s port %d", a.c_str(), web_port);
        if (!gw.command)
            gw.command = std::move(l);
        else
            gw.command_more.push_back(std::move(l));
    }
    gw.command_https = gw.setting_true(WEB_HTTPS);
    if (!gw.command_https) {
        imsg("COMMAND channel is in HTTP mode");
        return true;
    }
    tcp_ssl_setkey(gw.setting_str(SSL_PRIV), gw.setting_str(SSL_CERT));
    tcp_ssl_setdir(gw.setting_str(SSL_DIR));
    // Set up now rather than at the first connection, so that the key and
    // certificate are made (or a broken one is reported) when the server starts.
    // The mail and SMS paths do not need it: the server goes on either way.
    if (Status st = tcp_ssl_init(nullptr, 1, nullptr); !st)
        emsg("COMMAND channel HTTPS set-up failed (%s), web connections will be refused",
             st.error().reason.c_str());
    imsg("COMMAND channel is in HTTPS mode");
    return true;
}

// 15. Phone number pool. Records, message log, pool and counts go to the shared database
// when the store is one (the local files above then stay as they are).
void set_up_phones_and_state(Gateway& gw) {
    gw.phones.init(gw.setting_str(WORKPATH), gw.setting(PHONE_COUNTRY), gw.setting(PHONE_SERVICE),
                   gw.setting_int(PHONE_RANGE, "min"), gw.setting_int(PHONE_RANGE, "max"));
    if (Result<StoreKind> kind = store_kind(gw.ini()); kind && *kind == StoreKind::POSTGRESQL)
        gw.state = pg_state_stores(
            gw.setting_str(STORE_DSN), gw.delimiter,
            phone_range_of(gw.setting(PHONE_COUNTRY), gw.setting(PHONE_SERVICE),
                           gw.setting_int(PHONE_RANGE, "min"), gw.setting_int(PHONE_RANGE, "max")),
            gw.limit_registry, gw.pg_side.get());
}

// 16. The mail side.
bool start_mail_side(Gateway& gw) {
    auto rec = smtp_side_init(gw.ini());
    // Each session asks a policy of the gateway, with a settings reader of the mail side
    // (kept by start-up until shutdown knows no session is left).
    std::shared_ptr<rini> reader(rini_init(gw.ini()));
    if (!reader) {
        report_error("Failed to init smtp, no settings reader");
        return false;
    }
    gw.receiver_readers.push_back(reader);
    // Each policy reads the gateway's parts when its session starts: the transports and
    // the queue open after the server.
    auto server = SmtpServer::open(rec, [&gw, r = reader.get()] { return mail_policy(gw, r); });
    if (!server) {
        report_error("Failed to init smtp, %s", server.reason().c_str());
        return false;
    }
    gw.mail_server = std::move(*server);
    // The relay sender: the same settings without the listener.
    smtp_init relay = rec;
    relay.listenport = 0;
    relay.auth = SMTP_AUTH_OFF;
    relay.tls = SMTP_TLS_NONE;
    auto client = RelayClient::open(relay);
    if (!client) {
        report_error("Failed to init smtp, %s", client.reason().c_str());
        return false;
    }
    gw.relay = std::move(*client);
    publish_console_smtp(gw, gw.relay.get());
    warn_open_listener(gw, ini_listen_addresses(gw));
    return true;
}

// The transports of the settings' sections behind one routed transport, which sends and,
// when any of them receives, receives.
bool open_routed_transports(Gateway& gw) {
    const RouteTable& table = *gw.route_table;
    std::vector<std::unique_ptr<SmsTransport>> members;
    bool smpp = false;
    // The routed transport is of the first transport's mode (the mode that decides the
    // originator and the lane's batches; the transports of one gateway usually share it).
    const int mode = table.transports.front().mode;
    for (const TransportDef& d : table.transports) {
        std::optional<transport_options> opts =
            delivery_init(gw.ini(), d.mode, gw.debugtime, d.name.c_str());
        if (!opts) {
            report_error("Failed to init transport %s, Parameter incorrect or NULL",
                         d.name.c_str());
            return false;
        }
        if (!gw.report_using)
            if (std::optional<std::string> from = report_originator(gw.ini(), *opts))
                gw.report_using = std::move(from);
        // A centre whose bind went down gives its sends back at once instead of waiting
        // for the bind: another transport of the route takes them.
        if (auto* centre = std::get_if<smpp_init>(&*opts)) {
            if (table.transports.size() > 1) centre->send_wait_ms = 0;
            centre->receive = d.receive;
        }
        Result<std::unique_ptr<SmsTransport>> t = transport_open(*opts);
        if (!t) {
            report_error("Failed to init transport %s, %s", d.name.c_str(),
                         t.error().reason.c_str());
            return false;
        }
        imsg("Transport %s: %s%s, weight %d", d.name.c_str(), delivery_name(d.mode),
             d.receive ? ", receiving" : "", d.weight);
        members.push_back(std::move(*t));
        smpp = smpp || d.mode == SMS_SMPP;
    }
    RoutePicker::Limits limits;
    limits.fail_limit = std::max(1, gw.setting_int(TRANSPORT_FAIL_LIMIT));
    limits.rest_ms = static_cast<std::int64_t>(gw.setting_int(TRANSPORT_REST)) * 1000;
    auto routed = std::make_unique<RoutedTransport>(mode, table, limits, std::move(members));
    gw.recv = routed->can_receive() ? routed.get() : nullptr;
    gw.send = std::move(routed);
    if (smpp) {
        gw.receipts = std::make_unique<SmppReceipts>(
            gw.relay.get(), iequals(sini_word(gw.ini(), SMPP_RECEIPTS), "failure"), gw.state);
        smpp_receipts_install(gw.receipts.get(), gw.send.get());
    }
    return true;
}

// 17.-18. The sending and the receiving transport (the same one when both modes agree);
// receipts from an SMS centre are matched to the mails they report on.
bool open_transports(Gateway& gw) {
    if (gw.route_table) return open_routed_transports(gw);
    int send_mode = delivery_mode(gw.setting(SEND_MODE));
    if (send_mode >= 0 && send_mode < SMS_NONE) {
        if (!open_transport(gw, send_mode, gw.send)) return false;
    }
    int recv_mode = delivery_mode(gw.setting(RECV_MODE));
    if (recv_mode == SMS_ROBOT) {
        report_error("'robot' is not a valid recv_mode, try 'none'");
        return false;
    }
    if (recv_mode == SMS_SMTP) {
        report_error("'smtp' is not a valid recv_mode, try 'none'");
        return false;
    }
    if (recv_mode == send_mode) {
        gw.recv = gw.send.get();
    } else if (recv_mode >= 0 && recv_mode < SMS_NONE) {
        if (!open_transport(gw, recv_mode, gw.recv_owned)) return false;
        gw.recv = gw.recv_owned.get();
    }
    if (send_mode == SMS_SMPP || recv_mode == SMS_SMPP) {
        gw.receipts = std::make_unique<SmppReceipts>(
            gw.relay.get(), iequals(sini_word(gw.ini(), SMPP_RECEIPTS), "failure"), gw.state);
        smpp_receipts_install(gw.receipts.get(), gw.send.get());
        smpp_receipts_install(gw.receipts.get(), gw.recv_owned.get());
    }
    return true;
}

// 20. Receiving threads, after the stored parts of long SMS wait again for the rest.
void start_receivers(Gateway& gw) {
    if (gw.recv != nullptr) {
        std::shared_ptr<const aliases> af = gw.tables.alias();
        std::shared_ptr<const aliases> df = gw.tables.delivery();
        SmsPath path = sms_path_of(gw);
        path.af = af.get();
        path.df = df.get();
        sms_concat_restore(path);
    }
    if (gw.recv != nullptr) {
        imsg("Starting SMS RECV thread...");
        if (!start_sms_receiver(gw)) emsg("Failed to start the SMS RECV thread");
    }
    imsg("Starting SMTP RECV thread...");
    if (!start_mail_receiver(gw)) emsg("Failed to start the SMTP RECV thread");
}
}  // namespace

int gateway_startup(Gateway& gw, CommandLine& cl, int& tool_status) {
    // 1. Random generator, log, lock queue (the pool's and the threads' locks are made
    // with the Gateway).
    seed_random();
    install_signals(gw);
    mylog = log_init(LOG_DEBUG);
    log_doflush(mylog.get(), 1);
    th_mutex_queue_init();

    if (int loaded = load_settings(gw, cl, tool_status); loaded != 1) return loaded;
    open_log_file(gw);

    // 4. The command line.
    int tool = cli_examine(gw, cl);
    if (tool >= 0) {
        tool_status = tool;
        return -2;
    }

    if (!enter_home(gw)) return 0;
    raise_descriptor_limit();
    default_trace_files(gw);
    // 7. The record delimiter.
    gw.delimiter = record_delimiter(gw.setting(LOG_DELIMITER));
    // The store: local files, or the shared database (schema brought up to date).
    if (!store_prepare(gw.ini())) return 0;
    if (!load_message_log(gw) || !load_delivery_settings(gw)) return 0;
    detach_unless_foreground(gw, cl);
    set_up_network(gw);
    if (!open_web_listeners(gw)) return 0;
    set_up_phones_and_state(gw);
    if (!start_mail_side(gw) || !open_transports(gw)) return 0;
    // The API's status and keys, which the delivery workers report to.
    if (!api_prepare(gw)) return 0;
    // The queue and its delivery workers, before anything can be received into it.
    if (!delivery_open(gw)) return 0;
    // 19. Scheduled reports.
    gw.reports = reports_configure(gw.ini());
    start_receivers(gw);
    api_start(gw);

    // 21. Ready.
    std::remove("tolvane.exit");
    gw.starttime = std::time(nullptr);
    // From here on an exit file is obeyed (one made earlier was just removed).
    imsg("Main loop started");
    return 1;
}

int gateway_main(int argc, char** argv) {
    CommandLine cl;
    if (!cli_prescan(argc, argv, cl)) {
        std::printf("ERROR: -config needs the name of a settings file\n");
        return 1;
    }
    if (std::optional<std::string> bad = cli_unknown(cl)) {
        // A mistyped tool name must not start a second server.
        std::fprintf(stderr, "Unknown argument (%s)\n\n", bad->c_str());
        std::fputs(cli_usage().c_str(), stderr);
        return 2;
    }
    // The one Gateway of the process: built by start-up, run by the main loop, taken down
    // by shutdown; the signal handlers let go of it before it goes.
    auto gw = std::make_unique<Gateway>();
    int tool_status = 0;
    int r = gateway_startup(*gw, cl, tool_status);
    int status = 0;
    if (r == 1) {
        gateway_mainloop(*gw);
        status = gateway_shutdown(*gw, true, 0);
    } else {
        status = gateway_shutdown(*gw, false, r == -2 ? tool_status : 1);
    }
    signal_target.store(nullptr);
    return status;
}

}  // namespace tolvane
