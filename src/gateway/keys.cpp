// The gateway's key table and the conversions of mode, speed, day and delimiter values.
#include "gateway/keys.h"

#include <cctype>
#include <cstring>
#include <string_view>

#include "foundation/lib.h"
#include "foundation/log.h"

namespace tolvane {

namespace {
constexpr int NOFB = -1;

// The kinds of the keys' values (sini.h); a key without one takes any text.
constexpr sini_kind number(long min, long max) {
    return {sini_type::integer, min, max, nullptr};
}
constexpr sini_kind seconds(long min, long max) {
    return {sini_type::seconds, min, max, nullptr};
}
constexpr sini_kind hours(long min, long max) {
    return {sini_type::hours, min, max, nullptr};
}
constexpr sini_kind one_of(const char* choices) {
    return {sini_type::choice, 0, 0, choices};
}
// Words the code compares exactly, case included.
constexpr sini_kind exactly(const char* choices) {
    return {sini_type::exact, 0, 0, choices};
}
constexpr sini_kind TRUTH{sini_type::boolean, 0, 0, nullptr};
constexpr sini_kind WORDS{sini_type::list, 0, 0, nullptr};
// A mode by name, or by its number as delivery_mode reads it (5 and above open nothing).
constexpr sini_kind MODES = one_of("gsm|smpp|xml|smtp|robot|none|#");
}  // namespace

// clang-format off
constexpr sini_table _settings[SETTING_KEYS + 1] = {
    {HOST,               "host",               SM_NONE,  nullptr,               NOFB,          nullptr},
    {SMTP_INPORT,        "smtp_inport",        SM_NONE,  "1025",                NOFB,          nullptr, number(0, 65535)},
    {SMTP_GREETING,      "smtp_greeting",      SM_NONE,  "TOLVANE",             NOFB,          nullptr},
    {SMTP_OUTSERVER,     "smtp_outserver",     SM_NONE,  nullptr,               HOST,          nullptr},
    {SMTP_OUTPORT,       "smtp_outport",       SM_NONE,  "25",                  NOFB,          nullptr, number(0, 65535)},
    {SMTP_PREFIX,        "smtp_prefix",        SM_NONE,  "",                    NOFB,          nullptr},
    {SMTP_DOMAIN,        "smtp_domain",        SM_NONE,  nullptr,               HOST,          nullptr},
    {SMTP_SMS_TODOMAIN,  "smtp_sms_todomain",  SM_NONE,  nullptr,               NOFB,          nullptr},
    {DELIVERY_MODE,      "delivery_mode",      SM_NONE,  "gsm",                 NOFB,          nullptr, MODES},
    {SEND_MODE,          "send_mode",          SM_NONE,  nullptr,               DELIVERY_MODE, nullptr, MODES},
    {RECV_MODE,          "recv_mode",          SM_NONE,  nullptr,               DELIVERY_MODE, nullptr, MODES},
    {PHONE_RANGE,        "phone_range",        SM_NONE,  nullptr,               NOFB,          "min=\"VALUE\" max=\"VALUE\""},
    {PHONE_COUNTRY,      "phone_country",      SM_NONE,  nullptr,               NOFB,          nullptr},
    {PHONE_SERVICE,      "phone_service",      SM_NONE,  nullptr,               NOFB,          nullptr},
    {GSM_COM,            "gsm_com",            SM_NONE,  "COM1",                NOFB,          nullptr},
    {GSM_BAUD,           "gsm_baud",           SM_NONE,  "9600",                NOFB,          nullptr, number(50, 4000000)},
    {GSM_NUMBER,         "gsm_number",         SM_NONE,  nullptr,               NOFB,          nullptr},
    {SCA_NUMBER,         "sca_number",         SM_NONE,  nullptr,               NOFB,          nullptr},
    {COM_DEBUG_FILE,     "com_debug_file",     SM_NONE,  nullptr,               NOFB,          nullptr},
    {SMTP_DEBUG_FILE,    "smtp_debug_file",    SM_NONE,  nullptr,               NOFB,          nullptr},
    {GSM_PIN,            "gsm_pin",            SM_NONE,  nullptr,               NOFB,          nullptr},
    {GSM_PIN2,           "gsm_pin2",           SM_NONE,  nullptr,               NOFB,          nullptr},
    {GSM_PUK,            "gsm_puk",            SM_NONE,  nullptr,               NOFB,          nullptr},
    {GSM_PUK2,           "gsm_puk2",           SM_NONE,  nullptr,               NOFB,          nullptr},
    {GSM_INIT,           "gsm_init",           SM_NONE,  "AT",                  NOFB,          nullptr},
    {GSM_NOINIT,         "gsm_noinit",         SM_NONE,  "false",               NOFB,          nullptr, TRUTH},
    {GSM_CRLF,           "gsm_crlf",           SM_NONE,  "true",                NOFB,          nullptr, TRUTH},
    {CPIN_OK,            "cpin_ok",            SM_NONE,  "false",               NOFB,          nullptr, TRUTH},
    {CBST_ONE,           "cbst_one",           SM_NONE,  "false",               NOFB,          nullptr, TRUTH},
    {CNMI_FLUSH,         "cnmi_flush",         SM_NONE,  "false",               NOFB,          nullptr, TRUTH},
    {GSM_MIN_SIGNAL,     "gsm_min_signal",     SM_NONE,  "0",                   NOFB,          nullptr, number(0, 99)},
    {GSM_SIGNAL_TIMEOUT, "gsm_signal_timeout", SM_NONE,  "60",                  NOFB,          nullptr, seconds(0, 86400)},
    {HOME,               "home",               SM_NONE,  "/usr/local/tolvane",  NOFB,          nullptr},
    {WORKPATH,           "workpath",           SM_NONE,  nullptr,               HOME,          nullptr},
    {WEBPATH,            "webpath",            SM_NONE,  "./web",               NOFB,          nullptr},
    {LOGPATH,            "logpath",            SM_NONE,  nullptr,               WORKPATH,      nullptr},
    {LOGLEVEL,           "loglevel",           SM_NONE,  "info",                NOFB,          nullptr, one_of("none|error|info|debug")},
    {ACCEPT_IP,          "accept_ip",          SM_MULTI, "*",                   NOFB,          nullptr},
    {ACCEPT_FROM,        "accept_from",        SM_MULTI, "*",                   NOFB,          nullptr},
    {ACCEPT_TO,          "accept_to",          SM_MULTI, "*",                   NOFB,          nullptr},
    {FROM_LIMIT,         "from_limit",         SM_NONE,  "500",                 NOFB,          nullptr, number(0, 2147483647)},
    {TO_LIMIT,           "to_limit",           SM_NONE,  "500",                 NOFB,          nullptr, number(0, 2147483647)},
    {IP_LIMIT,           "ip_limit",           SM_NONE,  "0",                   NOFB,          nullptr, number(0, 2147483647)},
    {SMS_STATIC,         "sms_static",         SM_NONE,  "false",               NOFB,          nullptr, TRUTH},
    {SMS_SUBJECT,        "sms_subject",        SM_NONE,  "true",                NOFB,          nullptr, TRUTH},
    {REPLY_WITH,         "reply_with",         SM_NONE,  "true",                NOFB,          nullptr, TRUTH},
    {EMAIL_SUBJECT,      "email_subject",      SM_NONE,  "$(BODY20)",           NOFB,          nullptr},
    {SMS_MODE,           "sms_mode",           SM_NONE,  "text",                NOFB,          nullptr, exactly("text|pdu")},
    {SMS_DCS,            "sms_dcs",            SM_NONE,  "7bit",                NOFB,          nullptr},
    {SMS_EXTENDED,       "sms_extended",       SM_NONE,  "false",               NOFB,          nullptr, TRUTH},
    {SMS_SMART,          "sms_smart",          SM_NONE,  nullptr,               NOFB,          nullptr},
    {SMS_FORMAT,         "sms_format",         SM_NONE,  nullptr,               NOFB,          nullptr},
    {SMS_BEST_GUESS,     "sms_best_guess",     SM_NONE,  "false",               NOFB,          nullptr, TRUTH},
    {SMPP_HOST,          "smpp_host",          SM_NONE,  nullptr,               NOFB,          nullptr},
    {SMPP_PORT,          "smpp_port",          SM_NONE,  "2775",                NOFB,          nullptr, number(0, 65535)},
    {SMPP_USER,          "smpp_user",          SM_NONE,  nullptr,               NOFB,          nullptr},
    {SMPP_PASS,          "smpp_pass",          SM_NONE,  nullptr,               NOFB,          nullptr},
    {SMPP_ADDR_RANGE,    "smpp_addr_range",    SM_NONE,  "*",                   NOFB,          nullptr},
    {SMS_BOUNCES,        "sms_bounces",        SM_NONE,  "true",                NOFB,          nullptr, TRUTH},
    {SMS_RETRIES,        "sms_retries",        SM_NONE,  "3",                   NOFB,          nullptr, number(0, 1000)},
    {SMTP_RETRIES,       "smtp_retries",       SM_NONE,  "3",                   NOFB,          nullptr, number(0, 1000)},
    {SMTP_RETRY_WAIT,    "smtp_retry_wait",    SM_NONE,  "5",                   NOFB,          nullptr, seconds(0, 86400)},
    {LOG_DELIMITER,      "log_delimiter",      SM_NONE,  "|",                   NOFB,          nullptr},
    {REPORT,             "report",             SM_MULTI, "message=\"Tolvane is alive\" days=\"*\"", NOFB,
                         "time=VALUE to=VALUE message=VALUE days=VALUE"},
    {SMS_TO,             "sms_to",             SM_MULTI, "keyword=\"to\" phone=\"*\" prefix=\"\" domain=\"\"", NOFB,
                         "keyword=VALUE phone=VALUE prefix=VALUE domain=VALUE"},
    {ALIAS_FILE,         "alias_file",         SM_NONE,  "delimiter=\"*\" order=\"phone,email\"", NOFB,
                         "file=VALUE delimiter=VALUE order=VALUE required=VALUE"},
    {DELIVERY_FILE,      "delivery_file",      SM_NONE,  "delimiter=\" \" order=\"phone,email\"", NOFB,
                         "file=VALUE delimiter=VALUE order=VALUE"},
    {WEB_PORT,           "web_port",           SM_NONE,  "8775",                NOFB,          nullptr, number(0, 65535)},
    {WEB_ALLOW,          "web_allow",          SM_NONE,  "127.0.0.1",           NOFB,          nullptr},
    {WEB_HTTPS,          "web_https",          SM_NONE,  "true",                NOFB,          nullptr, TRUTH},
    {ROBOT_CMD,          "robot_cmd",          SM_NONE,  nullptr,               NOFB,          nullptr},
    {LIMIT_MSG,          "limit_msg",          SM_NONE,  "Limit reached",       NOFB,          nullptr},
    {IP_LIMIT_MSG,       "ip_limit_msg",       SM_NONE,  nullptr,               LIMIT_MSG,     nullptr},
    {FROM_LIMIT_MSG,     "from_limit_msg",     SM_NONE,  nullptr,               LIMIT_MSG,     nullptr},
    {TO_LIMIT_MSG,       "to_limit_msg",       SM_NONE,  nullptr,               LIMIT_MSG,     nullptr},
    {LIMIT,              "limit",              SM_MULTI, "name=\"msgrec\" period=\"24\"", NOFB,
                         "name=VALUE ip=VALUE to=VALUE from=VALUE user=VALUE key=VALUE period=VALUE"},
    {SSL_DIR,            "ssl_dir",            SM_NONE,  nullptr,               WORKPATH,      nullptr},
    {SSL_PRIV,           "ssl_priv",           SM_NONE,  "tv_priv.pem",         NOFB,          nullptr},
    {SSL_CERT,           "ssl_cert",           SM_NONE,  "tv_cert.pem",         NOFB,          nullptr},
    {SMS_IGNORE,         "sms_ignore",         SM_MULTI, nullptr,               NOFB,          nullptr},
    {SMTP_MAX_SESSIONS,  "smtp_max_sessions",  SM_NONE,  "500",                 NOFB,          nullptr, number(1, 100000)},
    {SMTP_MAX_RECIPIENTS,"smtp_max_recipients",SM_NONE,  "100",                 NOFB,          nullptr, number(1, 100000)},
    {SMTP_SPOOL_OVER,    "smtp_spool_over",    SM_NONE,  "1048576",             NOFB,          nullptr, number(0, 2147483647)},
    {SMS_CODING,         "sms_coding",         SM_NONE,  "auto",                NOFB,          nullptr, one_of("auto|gsm|ucs2|latin1")},
    {SMS_MAX_PARTS,      "sms_max_parts",      SM_NONE,  "10",                  NOFB,          nullptr, number(1, 255)},
    {SMS_CONCAT_WAIT,    "sms_concat_wait",    SM_NONE,  "600",                 NOFB,          nullptr, seconds(0, 604800)},
    {SEND_WORKERS,       "send_workers",       SM_NONE,  "4",                   NOFB,          nullptr, number(1, 256)},
    {QUEUE_LIFETIME,     "queue_lifetime",     SM_NONE,  "24",                  NOFB,          nullptr, hours(0, 8760)},
    {SHUTDOWN_WAIT,      "shutdown_wait",      SM_NONE,  "10",                  NOFB,          nullptr, seconds(0, 3600)},
    {WEB_MAX_CONNECTIONS, "web_max_connections", SM_NONE, "256",               NOFB,          nullptr, number(1, 100000)},
    {METRICS_OPEN,       "metrics_open",       SM_NONE,  "false",               NOFB,          nullptr, TRUTH},
    {SMTP_MAX_SIZE,      "smtp_max_size",      SM_NONE,  "10485760",            NOFB,          nullptr, number(0, 2147483647)},
    {SMTP_LISTEN,        "smtp_listen",        SM_NONE,  nullptr,               NOFB,          nullptr, WORDS},
    {SMTP_AUTH,          "smtp_auth",          SM_NONE,  "off",                 NOFB,          nullptr, one_of("off|optional|required")},
    {SMTP_USERS,         "smtp_users",         SM_NONE,  nullptr,               NOFB,          nullptr},
    {SMTP_AUTH_PLAINTEXT,"smtp_auth_plaintext",SM_NONE,  "false",               NOFB,          nullptr, TRUTH},
    {TRACE_MAX_SIZE,     "trace_max_size",     SM_NONE,  "1048576",             NOFB,          nullptr, number(0, 2147483647)},
    {SMTP_OUTUSER,       "smtp_outuser",       SM_NONE,  nullptr,               NOFB,          nullptr},
    {SMTP_OUTPASS,       "smtp_outpass",       SM_NONE,  nullptr,               NOFB,          nullptr},
    {SMPP_WINDOW,       "smpp_window",       SM_NONE,  "10",                  NOFB,          nullptr, number(1, 1000)},
    {SMPP_RESPONSE_TIMEOUT, "smpp_response_timeout", SM_NONE,  "30",                  NOFB,          nullptr, seconds(1, 3600)},
    {SMPP_ENQUIRE_SECS, "smpp_enquire_link", SM_NONE,  "30",                  NOFB,          nullptr, seconds(0, 3600)},
    {SMPP_RECONNECT_MAX, "smpp_reconnect_max", SM_NONE,  "60",                  NOFB,          nullptr, seconds(1, 86400)},
    {SMPP_BIND,         "smpp_bind",         SM_NONE,  "pair",                NOFB,          nullptr, one_of("pair|transceiver")},
    {SMPP_THROUGHPUT,   "smpp_throughput",   SM_NONE,  "0",                   NOFB,          nullptr, number(0, 100000)},
    {SMPP_DEST_TON,     "smpp_dest_ton",     SM_NONE,  nullptr,               NOFB,          nullptr, number(0, 255)},
    {SMPP_DEST_NPI,     "smpp_dest_npi",     SM_NONE,  nullptr,               NOFB,          nullptr, number(0, 255)},
    {SMPP_RECEIPTS,     "smpp_receipts",     SM_NONE,  "none",                NOFB,          nullptr, one_of("none|failure|all")},
    {SMPP_GSM_CODING,   "smpp_gsm_coding",   SM_NONE,  "0",                   NOFB,          nullptr, one_of("0|1|3")},
    {SMPP_LONG,         "smpp_long",         SM_NONE,  "udh",                 NOFB,          nullptr, one_of("udh|sar|payload")},
    {STORE,             "store",             SM_NONE,  "files",               NOFB,          nullptr, one_of("files|postgresql")},
    {STORE_DSN,         "store_dsn",         SM_NONE,  nullptr,               NOFB,          nullptr},
    {QUEUE_LEASE,       "queue_lease",       SM_NONE,  "60",                  NOFB,          nullptr, seconds(0, 86400)},
    {SMTP_TLS,          "smtp_tls",          SM_NONE,  "none",                NOFB,          nullptr, one_of("none|starttls|wrapper")},
    {SMTP_TLS_PORT,     "smtp_tls_port",     SM_NONE,  "1465",                NOFB,          nullptr, number(0, 65535)},
    {SMTP_TLS_KEY,      "smtp_tls_key",      SM_NONE,  nullptr,               SSL_PRIV,      nullptr},
    {SMTP_TLS_CERT,     "smtp_tls_cert",     SM_NONE,  nullptr,               SSL_CERT,      nullptr},
    {SMTP_OUT_TLS,      "smtp_out_tls",      SM_NONE,  "may",                 NOFB,          nullptr, one_of("may|require|none")},
    {SMTP_OUT_TLS_VERIFY, "smtp_out_tls_verify", SM_NONE, "true",             NOFB,          nullptr, TRUTH},
    {ACCEPT_USER,       "accept_user",       SM_MULTI, "*",                   NOFB,          nullptr},
    {WEB_LISTEN,        "web_listen",        SM_NONE,  "127.0.0.1",           NOFB,          nullptr},
    {GSM_POLL,          "gsm_poll",          SM_NONE,  "60",                  NOFB,          nullptr, seconds(1, 86400)},
    {GSM_RESET,         "gsm_reset",         SM_NONE,  "AT+CFUN=1,1",         NOFB,          nullptr},
    {RELAY_WORKERS,     "relay_workers",     SM_NONE,  "8",                   NOFB,          nullptr, number(1, 256)},
    {AUTH_FAIL_LIMIT,   "auth_fail_limit",   SM_NONE,  "5",                   NOFB,          nullptr, number(1, 1000)},
    {AUTH_FAIL_WINDOW,  "auth_fail_window",  SM_NONE,  "600",                 NOFB,          nullptr, seconds(1, 86400)},
    {AUTH_MAX_DELAY,    "auth_max_delay",    SM_NONE,  "60",                  NOFB,          nullptr, seconds(1, 86400)},
    {SENDER_IDS,        "sender_ids",        SM_MULTI, nullptr,               NOFB,          nullptr},
    {NUMBER_CHECK,      "number_check",      SM_NONE,  "possible",            NOFB,          nullptr, one_of("possible|valid")},
    {WEB_TRACE,         "web_trace",         SM_NONE,  "false",               NOFB,          nullptr, TRUTH},
    {WEB_HOST,          "web_host",          SM_NONE,  nullptr,               NOFB,          nullptr, WORDS},
    {SMS_DELIVER,       "sms_deliver",       SM_NONE,  "mail",                NOFB,          nullptr, one_of("mail|webhook|both")},
    {SMS_WEBHOOK_URL,   "sms_webhook_url",   SM_NONE,  nullptr,               NOFB,          nullptr},
    {SMS_WEBHOOK_SECRET, "sms_webhook_secret", SM_NONE, nullptr,              NOFB,          nullptr},
    {WEBHOOK_TIMEOUT,   "webhook_timeout",   SM_NONE,  "10",                  NOFB,          nullptr, seconds(1, 600)},
    {WEBHOOK_RETRY_MIN, "webhook_retry_min", SM_NONE,  "5",                   NOFB,          nullptr, seconds(1, 86400)},
    {WEBHOOK_RETRY_MAX, "webhook_retry_max", SM_NONE,  "300",                 NOFB,          nullptr, seconds(1, 86400)},
    {WEBHOOK_WORKERS,   "webhook_workers",   SM_NONE,  "4",                   NOFB,          nullptr, number(1, 256)},
    // The keys of a `transport NAME` section (beside the mode's own keys), and the routes.
    {TRANSPORT_MODE,    "mode",              SM_NONE,  nullptr,               NOFB,          nullptr, one_of("gsm|smpp|xml|smtp|robot")},
    {TRANSPORT_RECEIVE, "receive",           SM_NONE,  nullptr,               NOFB,          nullptr, TRUTH},
    {TRANSPORT_WEIGHT,  "weight",            SM_NONE,  "1",                   NOFB,          nullptr, number(1, 1000)},
    {ROUTE,             "route",             SM_MULTI, nullptr,               NOFB,          "match=VALUE via=VALUE strategy=VALUE from=VALUE"},
    {TRANSPORT_REST,    "transport_rest",    SM_NONE,  "600",                 NOFB,          nullptr, seconds(0, 86400)},
    {TRANSPORT_FAIL_LIMIT, "transport_fail_limit", SM_NONE, "3",             NOFB,          nullptr, number(1, 1000)},
    {API_LISTEN,        "api_listen",        SM_NONE,  "127.0.0.1",           NOFB,          nullptr},
    {API_PORT,          "api_port",          SM_NONE,  "8776",                NOFB,          nullptr, number(0, 65535)},
    {API_TLS,           "api_tls",           SM_NONE,  "false",               NOFB,          nullptr, TRUTH},
    {API_KEY_FILE,      "api_key_file",      SM_NONE,  nullptr,               NOFB,          nullptr},
    {API_WORKERS,       "api_workers",       SM_NONE,  "16",                  NOFB,          nullptr, number(1, 256)},
    {-1,                 nullptr,              SM_NONE,  nullptr,               NOFB,          nullptr},
};
// clang-format on

namespace {

constexpr const char* MODE_NAMES[] = {"gsm", "smpp", "xml", "smtp", "robot", "none"};
constexpr int MODE_COUNT = 6;

// Compile-time check that every row sits at the place of its Id.
constexpr bool rows_in_order() {
    for (int i = 0; i < SETTING_KEYS; ++i) {
        if (_settings[i].Id != i || _settings[i].Name == nullptr) return false;
    }
    return _settings[SETTING_KEYS].Name == nullptr && _settings[SETTING_KEYS].Id == -1;
}

// Day number (0 = Sunday) of the first three letters of a name, -1 when none matches.
int day_number(std::string_view word) {
    static constexpr const char* DAYS[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    if (word.size() < 3) return -1;
    for (int d = 0; d < 7; ++d) {
        if (s_strnicmp(word, DAYS[d], 3) == 0) return d;
    }
    return -1;
}

int clamp_len(std::string_view s) {
    return static_cast<int>(s.size() > TEXT_MAX ? TEXT_MAX : s.size());
}

}  // namespace

static_assert(rows_in_order(), "key table rows must sit at the place of their Id");

int delivery_mode(const char* text) {
    if (text == nullptr) return 0;
    if (std::isdigit(static_cast<unsigned char>(text[0]))) return s_atoi(text);
    for (int m = 0; m < MODE_COUNT; ++m) {
        if (iequals(text, MODE_NAMES[m])) return m;
    }
    return 0;
}

const char* delivery_name(int mode) {
    if (mode < 0 || mode >= MODE_COUNT) return "unknown";
    return MODE_NAMES[mode];
}

int gsm_baud(int bps) {
    static constexpr int SPEEDS[] = {110, 300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600};
    for (int s : SPEEDS) {
        if (bps <= s) return s;
    }
    return 115200;
}

std::uint8_t report_days(const char* text) {
    if (text == nullptr) return 0;
    std::string_view all = strtrm(text);
    if (all == "*") return DAY_ALL;
    std::uint8_t days = 0;
    for (const std::string& item : s_split_words(all, " \t,")) {
        std::string_view it = item;
        std::size_t dash = it.find('-');
        std::string_view first = it.substr(0, dash);
        int from = day_number(first);
        if (from < 0) {
            emsg("Invalid report day (%.*s)", clamp_len(it), it.data());
            continue;
        }
        if (dash == std::string_view::npos) {
            days = static_cast<std::uint8_t>(days | (1u << from));
            continue;
        }
        std::string_view second = it.substr(dash + 1);
        int to = day_number(second);
        if (to < 0) {
            emsg("Invalid report day range (%.*s)", clamp_len(it), it.data());
            continue;
        }
        for (int d = from;; d = (d + 1) % 7) {
            days = static_cast<std::uint8_t>(days | (1u << d));
            if (d == to) break;
        }
    }
    return days;
}

char record_delimiter(const char* value) {
    if (value == nullptr || value[0] == '\0') return '|';
    if (std::strlen(value) > 1 && iequals(value, "TAB")) return '\t';
    return value[0];
}

}  // namespace tolvane
