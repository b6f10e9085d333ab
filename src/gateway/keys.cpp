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
}  // namespace

// clang-format off
constexpr sini_table _settings[SETTING_KEYS + 1] = {
    {HOST,               "host",               SM_NONE,  nullptr,               NOFB,          nullptr},
    {SMTP_INPORT,        "smtp_inport",        SM_NONE,  "1025",                NOFB,          nullptr},
    {SMTP_GREETING,      "smtp_greeting",      SM_NONE,  "TOLVANE",             NOFB,          nullptr},
    {SMTP_OUTSERVER,     "smtp_outserver",     SM_NONE,  nullptr,               HOST,          nullptr},
    {SMTP_OUTPORT,       "smtp_outport",       SM_NONE,  "25",                  NOFB,          nullptr},
    {SMTP_PREFIX,        "smtp_prefix",        SM_NONE,  "",                    NOFB,          nullptr},
    {SMTP_DOMAIN,        "smtp_domain",        SM_NONE,  nullptr,               HOST,          nullptr},
    {SMTP_SMS_TODOMAIN,  "smtp_sms_todomain",  SM_NONE,  nullptr,               NOFB,          nullptr},
    {DELIVERY_MODE,      "delivery_mode",      SM_NONE,  "gsm",                 NOFB,          nullptr},
    {SEND_MODE,          "send_mode",          SM_NONE,  nullptr,               DELIVERY_MODE, nullptr},
    {RECV_MODE,          "recv_mode",          SM_NONE,  nullptr,               DELIVERY_MODE, nullptr},
    {PHONE_RANGE,        "phone_range",        SM_NONE,  nullptr,               NOFB,          "min=\"VALUE\" max=\"VALUE\""},
    {PHONE_COUNTRY,      "phone_country",      SM_NONE,  nullptr,               NOFB,          nullptr},
    {PHONE_SERVICE,      "phone_service",      SM_NONE,  nullptr,               NOFB,          nullptr},
    {GSM_COM,            "gsm_com",            SM_NONE,  "COM1",                NOFB,          nullptr},
    {GSM_BAUD,           "gsm_baud",           SM_NONE,  "9600",                NOFB,          nullptr},
    {GSM_NUMBER,         "gsm_number",         SM_NONE,  nullptr,               NOFB,          nullptr},
    {SCA_NUMBER,         "sca_number",         SM_NONE,  nullptr,               NOFB,          nullptr},
    {COM_DEBUG_FILE,     "com_debug_file",     SM_NONE,  nullptr,               NOFB,          nullptr},
    {SMTP_DEBUG_FILE,    "smtp_debug_file",    SM_NONE,  nullptr,               NOFB,          nullptr},
    {GSM_PIN,            "gsm_pin",            SM_NONE,  nullptr,               NOFB,          nullptr},
    {GSM_PIN2,           "gsm_pin2",           SM_NONE,  nullptr,               NOFB,          nullptr},
    {GSM_PUK,            "gsm_puk",            SM_NONE,  nullptr,               NOFB,          nullptr},
    {GSM_PUK2,           "gsm_puk2",           SM_NONE,  nullptr,               NOFB,          nullptr},
    {GSM_INIT,           "gsm_init",           SM_NONE,  "AT",                  NOFB,          nullptr},
    {GSM_NOINIT,         "gsm_noinit",         SM_NONE,  "false",               NOFB,          nullptr},
    {GSM_CRLF,           "gsm_crlf",           SM_NONE,  "true",                NOFB,          nullptr},
    {CPIN_OK,            "cpin_ok",            SM_NONE,  "false",               NOFB,          nullptr},
    {CBST_ONE,           "cbst_one",           SM_NONE,  "false",               NOFB,          nullptr},
    {CNMI_FLUSH,         "cnmi_flush",         SM_NONE,  "false",               NOFB,          nullptr},
    {GSM_MIN_SIGNAL,     "gsm_min_signal",     SM_NONE,  "0",                   NOFB,          nullptr},
    {GSM_SIGNAL_TIMEOUT, "gsm_signal_timeout", SM_NONE,  "60",                  NOFB,          nullptr},
    {HOME,               "home",               SM_NONE,  "/usr/local/tolvane",  NOFB,          nullptr},
    {WORKPATH,           "workpath",           SM_NONE,  nullptr,               HOME,          nullptr},
    {WEBPATH,            "webpath",            SM_NONE,  "./web",               NOFB,          nullptr},
    {LOGPATH,            "logpath",            SM_NONE,  nullptr,               WORKPATH,      nullptr},
    {LOGLEVEL,           "loglevel",           SM_NONE,  "debug",               NOFB,          nullptr},
    {ACCEPT_IP,          "accept_ip",          SM_MULTI, "*",                   NOFB,          nullptr},
    {ACCEPT_FROM,        "accept_from",        SM_MULTI, "*",                   NOFB,          nullptr},
    {ACCEPT_TO,          "accept_to",          SM_MULTI, "*",                   NOFB,          nullptr},
    {FROM_LIMIT,         "from_limit",         SM_NONE,  "500",                 NOFB,          nullptr},
    {TO_LIMIT,           "to_limit",           SM_NONE,  "500",                 NOFB,          nullptr},
    {IP_LIMIT,           "ip_limit",           SM_NONE,  "0",                   NOFB,          nullptr},
    {SMS_STATIC,         "sms_static",         SM_NONE,  "false",               NOFB,          nullptr},
    {SMS_SUBJECT,        "sms_subject",        SM_NONE,  "true",                NOFB,          nullptr},
    {REPLY_WITH,         "reply_with",         SM_NONE,  "true",                NOFB,          nullptr},
    {EMAIL_SUBJECT,      "email_subject",      SM_NONE,  "$(BODY20)",           NOFB,          nullptr},
    {SMS_MODE,           "sms_mode",           SM_NONE,  "text",                NOFB,          nullptr},
    {SMS_DCS,            "sms_dcs",            SM_NONE,  "7bit",                NOFB,          nullptr},
    {SMS_EXTENDED,       "sms_extended",       SM_NONE,  "false",               NOFB,          nullptr},
    {SMS_SMART,          "sms_smart",          SM_NONE,  nullptr,               NOFB,          nullptr},
    {SMS_FORMAT,         "sms_format",         SM_NONE,  nullptr,               NOFB,          nullptr},
    {SMS_BEST_GUESS,     "sms_best_guess",     SM_NONE,  "false",               NOFB,          nullptr},
    {SMPP_HOST,          "smpp_host",          SM_NONE,  nullptr,               NOFB,          nullptr},
    {SMPP_PORT,          "smpp_port",          SM_NONE,  "2775",                NOFB,          nullptr},
    {SMPP_USER,          "smpp_user",          SM_NONE,  nullptr,               NOFB,          nullptr},
    {SMPP_PASS,          "smpp_pass",          SM_NONE,  nullptr,               NOFB,          nullptr},
    {SMPP_ADDR_RANGE,    "smpp_addr_range",    SM_NONE,  "*",                   NOFB,          nullptr},
    {SMS_BOUNCES,        "sms_bounces",        SM_NONE,  "true",                NOFB,          nullptr},
    {SMS_RETRIES,        "sms_retries",        SM_NONE,  "3",                   NOFB,          nullptr},
    {SMTP_RETRIES,       "smtp_retries",       SM_NONE,  "3",                   NOFB,          nullptr},
    {SMTP_RETRY_WAIT,    "smtp_retry_wait",    SM_NONE,  "5",                   NOFB,          nullptr},
    {LOG_DELIMITER,      "log_delimiter",      SM_NONE,  "|",                   NOFB,          nullptr},
    {REPORT,             "report",             SM_MULTI, "message=\"Tolvane is alive\" days=\"*\"", NOFB,
                         "time=VALUE to=VALUE message=VALUE days=VALUE"},
    {SMS_TO,             "sms_to",             SM_MULTI, "keyword=\"to\" phone=\"*\" prefix=\"\" domain=\"\"", NOFB,
                         "keyword=VALUE phone=VALUE prefix=VALUE domain=VALUE"},
    {ALIAS_FILE,         "alias_file",         SM_NONE,  "delimiter=\"*\" order=\"phone,email\"", NOFB,
                         "file=VALUE delimiter=VALUE order=VALUE required=VALUE"},
    {DELIVERY_FILE,      "delivery_file",      SM_NONE,  "delimiter=\" \" order=\"phone,email\"", NOFB,
                         "file=VALUE delimiter=VALUE order=VALUE"},
    {WEB_PORT,           "web_port",           SM_NONE,  "8775",                NOFB,          nullptr},
    {WEB_ALLOW,          "web_allow",          SM_NONE,  "127.0.0.1",           NOFB,          nullptr},
    {WEB_HTTPS,          "web_https",          SM_NONE,  "true",                NOFB,          nullptr},
    {ROBOT_CMD,          "robot_cmd",          SM_NONE,  nullptr,               NOFB,          nullptr},
    {LIMIT_MSG,          "limit_msg",          SM_NONE,  "Limit reached",       NOFB,          nullptr},
    {IP_LIMIT_MSG,       "ip_limit_msg",       SM_NONE,  nullptr,               LIMIT_MSG,     nullptr},
    {FROM_LIMIT_MSG,     "from_limit_msg",     SM_NONE,  nullptr,               LIMIT_MSG,     nullptr},
    {TO_LIMIT_MSG,       "to_limit_msg",       SM_NONE,  nullptr,               LIMIT_MSG,     nullptr},
    {LIMIT,              "limit",              SM_MULTI, "name=\"msgrec\" period=\"24\"", NOFB,
                         "name=VALUE ip=VALUE to=VALUE from=VALUE user=VALUE period=VALUE"},
    {SSL_DIR,            "ssl_dir",            SM_NONE,  nullptr,               WORKPATH,      nullptr},
    {SSL_PRIV,           "ssl_priv",           SM_NONE,  "tv_priv.pem",         NOFB,          nullptr},
    {SSL_CERT,           "ssl_cert",           SM_NONE,  "tv_cert.pem",         NOFB,          nullptr},
    {SMS_IGNORE,         "sms_ignore",         SM_MULTI, nullptr,               NOFB,          nullptr},
    {SMTP_MAX_SESSIONS,  "smtp_max_sessions",  SM_NONE,  "500",                 NOFB,          nullptr},
    {SMTP_MAX_RECIPIENTS,"smtp_max_recipients",SM_NONE,  "100",                 NOFB,          nullptr},
    {SMTP_SPOOL_OVER,    "smtp_spool_over",    SM_NONE,  "1048576",             NOFB,          nullptr},
    {SMS_CODING,         "sms_coding",         SM_NONE,  "auto",                NOFB,          nullptr},
    {SMS_MAX_PARTS,      "sms_max_parts",      SM_NONE,  "10",                  NOFB,          nullptr},
    {SMS_CONCAT_WAIT,    "sms_concat_wait",    SM_NONE,  "600",                 NOFB,          nullptr},
    {SEND_WORKERS,       "send_workers",       SM_NONE,  "4",                   NOFB,          nullptr},
    {QUEUE_LIFETIME,     "queue_lifetime",     SM_NONE,  "24",                  NOFB,          nullptr},
    {SHUTDOWN_WAIT,      "shutdown_wait",      SM_NONE,  "10",                  NOFB,          nullptr},
    {WEB_MAX_CONNECTIONS, "web_max_connections", SM_NONE, "256",               NOFB,          nullptr},
    {METRICS_OPEN,       "metrics_open",       SM_NONE,  "false",               NOFB,          nullptr},
    {SMTP_MAX_SIZE,      "smtp_max_size",      SM_NONE,  "10485760",            NOFB,          nullptr},
    {SMTP_LISTEN,        "smtp_listen",        SM_NONE,  nullptr,               NOFB,          nullptr},
    {SMTP_AUTH,          "smtp_auth",          SM_NONE,  "off",                 NOFB,          nullptr},
    {SMTP_USERS,         "smtp_users",         SM_NONE,  nullptr,               NOFB,          nullptr},
    {SMTP_AUTH_PLAINTEXT,"smtp_auth_plaintext",SM_NONE,  "false",               NOFB,          nullptr},
    {TRACE_MAX_SIZE,     "trace_max_size",     SM_NONE,  "1048576",             NOFB,          nullptr},
    {SMTP_OUTUSER,       "smtp_outuser",       SM_NONE,  nullptr,               NOFB,          nullptr},
    {SMTP_OUTPASS,       "smtp_outpass",       SM_NONE,  nullptr,               NOFB,          nullptr},
    {SMPP_WINDOW,       "smpp_window",       SM_NONE,  "10",                  NOFB,          nullptr},
    {SMPP_RESPONSE_TIMEOUT, "smpp_response_timeout", SM_NONE,  "30",                  NOFB,          nullptr},
    {SMPP_ENQUIRE_SECS, "smpp_enquire_link", SM_NONE,  "30",                  NOFB,          nullptr},
    {SMPP_RECONNECT_MAX, "smpp_reconnect_max", SM_NONE,  "60",                  NOFB,          nullptr},
    {SMPP_BIND,         "smpp_bind",         SM_NONE,  "pair",                NOFB,          nullptr},
    {SMPP_THROUGHPUT,   "smpp_throughput",   SM_NONE,  "0",                   NOFB,          nullptr},
    {SMPP_DEST_TON,     "smpp_dest_ton",     SM_NONE,  nullptr,               NOFB,          nullptr},
    {SMPP_DEST_NPI,     "smpp_dest_npi",     SM_NONE,  nullptr,               NOFB,          nullptr},
    {SMPP_RECEIPTS,     "smpp_receipts",     SM_NONE,  "none",                NOFB,          nullptr},
    {SMPP_GSM_CODING,   "smpp_gsm_coding",   SM_NONE,  "0",                   NOFB,          nullptr},
    {SMPP_LONG,         "smpp_long",         SM_NONE,  "udh",                 NOFB,          nullptr},
    {STORE,             "store",             SM_NONE,  "files",               NOFB,          nullptr},
    {STORE_DSN,         "store_dsn",         SM_NONE,  nullptr,               NOFB,          nullptr},
    {QUEUE_LEASE,       "queue_lease",       SM_NONE,  "60",                  NOFB,          nullptr},
    {SMTP_TLS,          "smtp_tls",          SM_NONE,  "none",                NOFB,          nullptr},
    {SMTP_TLS_PORT,     "smtp_tls_port",     SM_NONE,  "1465",                NOFB,          nullptr},
    {SMTP_TLS_KEY,      "smtp_tls_key",      SM_NONE,  nullptr,               SSL_PRIV,      nullptr},
    {SMTP_TLS_CERT,     "smtp_tls_cert",     SM_NONE,  nullptr,               SSL_CERT,      nullptr},
    {SMTP_OUT_TLS,      "smtp_out_tls",      SM_NONE,  "may",                 NOFB,          nullptr},
    {SMTP_OUT_TLS_VERIFY, "smtp_out_tls_verify", SM_NONE, "true",             NOFB,          nullptr},
    {ACCEPT_USER,       "accept_user",       SM_MULTI, "*",                   NOFB,          nullptr},
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
