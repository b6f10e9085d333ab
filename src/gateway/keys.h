// The gateway's settings keys and the small conversions of their values.
//
// _settings is the key table handed to sini_init: SETTING_KEYS rows whose Id equals the
// row number, ended by a row with Id -1 and a null Name. Each key also has an
// upper-case identifier (HOST ... SMS_IGNORE) for the numeric lookups. The
// table is constant data; the texts it points to live for the whole process.
//
// The conversions here are pure and safe on any input: a null or odd text gives
// the documented fallback value, never a fault.
#pragma once

#include <cstdint>

#include "foundation/sini.h"

namespace tolvane {

enum SettingKey : int {
    HOST = 0,
    SMTP_INPORT,
    SMTP_GREETING,
    SMTP_OUTSERVER,
    SMTP_OUTPORT,
    SMTP_PREFIX,
    SMTP_DOMAIN,
    SMTP_SMS_TODOMAIN,
    DELIVERY_MODE,
    SEND_MODE,
    RECV_MODE,  // 10
    PHONE_RANGE,
    PHONE_COUNTRY,
    PHONE_SERVICE,
    GSM_COM,
    GSM_BAUD,
    GSM_NUMBER,
    SCA_NUMBER,
    COM_DEBUG_FILE,
    SMTP_DEBUG_FILE,
    GSM_PIN,  // 20
    GSM_PIN2,
    GSM_PUK,
    GSM_PUK2,
    GSM_INIT,
    GSM_NOINIT,
    GSM_CRLF,
    CPIN_OK,
    CBST_ONE,
    CNMI_FLUSH,
    GSM_MIN_SIGNAL,  // 30
    GSM_SIGNAL_TIMEOUT,
    HOME,
    WORKPATH,
    WEBPATH,
    LOGPATH,
    LOGLEVEL,
    ACCEPT_IP,
    ACCEPT_FROM,
    ACCEPT_TO,
    FROM_LIMIT,  // 40
    TO_LIMIT,
    IP_LIMIT,
    SMS_STATIC,
    SMS_SUBJECT,
    REPLY_WITH,
    EMAIL_SUBJECT,
    SMS_MODE,
    SMS_DCS,
    SMS_EXTENDED,
    SMS_SMART,  // 50
    SMS_FORMAT,
    SMS_BEST_GUESS,
    SMPP_HOST,
    SMPP_PORT,
    SMPP_USER,
    SMPP_PASS,
    SMPP_ADDR_RANGE,
    SMS_BOUNCES,
    SMS_RETRIES,
    SMTP_RETRIES,  // 60
    SMTP_RETRY_WAIT,
    LOG_DELIMITER,
    REPORT,
    SMS_TO,
    ALIAS_FILE,
    DELIVERY_FILE,
    WEB_PORT,
    WEB_ALLOW,
    WEB_HTTPS,
    ROBOT_CMD,  // 70
    LIMIT_MSG,
    IP_LIMIT_MSG,
    FROM_LIMIT_MSG,
    TO_LIMIT_MSG,
    LIMIT,
    SSL_DIR,
    SSL_PRIV,
    SSL_CERT,
    SMS_IGNORE,
    SMTP_MAX_SESSIONS,  // 80
    SMTP_MAX_RECIPIENTS,
    SMTP_SPOOL_OVER,
    SMS_CODING,
    SMS_MAX_PARTS,
    SMS_CONCAT_WAIT,
    SEND_WORKERS,
    QUEUE_LIFETIME,
    SHUTDOWN_WAIT,
    WEB_MAX_CONNECTIONS,
    METRICS_OPEN,
    SMTP_MAX_SIZE,
    SMTP_LISTEN,
    SMTP_AUTH,
    SMTP_USERS,
    SMTP_AUTH_PLAINTEXT,
    TRACE_MAX_SIZE,
    SMTP_OUTUSER,
    SMTP_OUTPASS,
    SMPP_WINDOW,  // 99
    SMPP_RESPONSE_TIMEOUT,
    SMPP_ENQUIRE_SECS,
    SMPP_RECONNECT_MAX,
    SMPP_BIND,
    SMPP_THROUGHPUT,
    SMPP_DEST_TON,
    SMPP_DEST_NPI,
    SMPP_RECEIPTS,
    SMPP_GSM_CODING,
    SMPP_LONG,
    STORE,  // 110
    STORE_DSN,
    QUEUE_LEASE,
    SMTP_TLS,
    SMTP_TLS_PORT,
    SMTP_TLS_KEY,
    SMTP_TLS_CERT,
    SMTP_OUT_TLS,
    SMTP_OUT_TLS_VERIFY,
    ACCEPT_USER,
    WEB_LISTEN,
    GSM_POLL,
    GSM_RESET,
    RELAY_WORKERS,
    AUTH_FAIL_LIMIT,
    AUTH_FAIL_WINDOW,
    AUTH_MAX_DELAY,
    SENDER_IDS,
    NUMBER_CHECK,
    WEB_TRACE,
    WEB_HOST,
    SMS_DELIVER,  // 131
    SMS_WEBHOOK_URL,
    SMS_WEBHOOK_SECRET,
    WEBHOOK_TIMEOUT,
    WEBHOOK_RETRY_MIN,
    WEBHOOK_RETRY_MAX,
    WEBHOOK_WORKERS,
    TRANSPORT_MODE,  // 138
    TRANSPORT_RECEIVE,
    TRANSPORT_WEIGHT,
    ROUTE,
    TRANSPORT_REST,
    TRANSPORT_FAIL_LIMIT,
    API_LISTEN,  // 144
    API_PORT,
    API_TLS,
    API_KEY_FILE,
    API_WORKERS,
    SETTING_KEYS  // number of keys: 149
};

// The key table: SETTING_KEYS rows and the terminator row.
extern const sini_table _settings[SETTING_KEYS + 1];

// The version the server reports.
inline constexpr const char* TOLVANE_RELEASE = "1.1m";

// Mode number of a mode text: digits are read as a number, otherwise the mode
// names without regard to case; anything else (and no text) is 0, the modem.
int delivery_mode(const char* text);
// "gsm", "smpp", "xml", "smtp", "robot", "none"; "unknown" for other numbers.
const char* delivery_name(int mode);

// Speed in bits per second rounded up to the next standard serial speed (110 ... 115200).
int gsm_baud(int bps);

// Weekday bits of a report: bit n is weekday n counted from Sunday.
enum : std::uint8_t {
    DAY_SUN = 1,
    DAY_MON = 2,
    DAY_TUE = 4,
    DAY_WED = 8,
    DAY_THU = 16,
    DAY_FRI = 32,
    DAY_SAT = 64,
    DAY_ALL = 127
};
// "*" or a list of day names and ranges (Fri-Mon wraps) separated by blanks and commas.
// Bad items are logged and skipped.
std::uint8_t report_days(const char* text);

// The record delimiter from the log_delimiter value: its first character, or a tab for
// "TAB"; "|" when the value is missing or empty.
char record_delimiter(const char* value);

}  // namespace tolvane
