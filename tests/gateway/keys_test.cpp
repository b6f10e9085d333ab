// The key table and the conversions of mode, speed, day and delimiter values.
#include "gateway/keys.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "foundation/sini.h"
#include "sms/transport.h"

namespace tolvane {
namespace {

TEST(DeliveryMode, NamesInAnyCase) {
    EXPECT_EQ(delivery_mode("gsm"), 0);
    EXPECT_EQ(delivery_mode("SMPP"), 1);
    EXPECT_EQ(delivery_mode("Xml"), 2);
    EXPECT_EQ(delivery_mode("smtp"), 3);
    EXPECT_EQ(delivery_mode("ROBOT"), 4);
    EXPECT_EQ(delivery_mode("None"), 5);
}

TEST(DeliveryMode, NumbersAreTakenAsNumbers) {
    EXPECT_EQ(delivery_mode("1"), 1);
    EXPECT_EQ(delivery_mode("4"), 4);
    EXPECT_EQ(delivery_mode("7"), 7);
    EXPECT_EQ(delivery_mode("3x"), 3);
}

TEST(DeliveryMode, UnknownWordsAndNoTextAreTheModem) {
    EXPECT_EQ(delivery_mode("carrier-pigeon"), 0);
    EXPECT_EQ(delivery_mode(""), 0);
    EXPECT_EQ(delivery_mode(nullptr), 0);
    EXPECT_EQ(delivery_mode(" robot"), 0);  // a leading blank is not a mode name
    EXPECT_EQ(delivery_mode("robots"), 0);
}

TEST(DeliveryMode, NamesOfModes) {
    EXPECT_STREQ(delivery_name(0), "gsm");
    EXPECT_STREQ(delivery_name(4), "robot");
    EXPECT_STREQ(delivery_name(5), "none");
    EXPECT_STREQ(delivery_name(6), "unknown");
    EXPECT_STREQ(delivery_name(-1), "unknown");
    for (int m = 0; m <= 5; ++m) EXPECT_EQ(delivery_mode(delivery_name(m)), m);
}

TEST(GsmBaud, RoundsUpToTheNextStandardSpeed) {
    EXPECT_EQ(gsm_baud(0), 110);
    EXPECT_EQ(gsm_baud(110), 110);
    EXPECT_EQ(gsm_baud(111), 300);
    EXPECT_EQ(gsm_baud(2000), 2400);
    EXPECT_EQ(gsm_baud(9600), 9600);
    EXPECT_EQ(gsm_baud(9601), 19200);
    EXPECT_EQ(gsm_baud(57600), 57600);
    EXPECT_EQ(gsm_baud(57601), 115200);
    EXPECT_EQ(gsm_baud(100000), 115200);
    EXPECT_EQ(gsm_baud(-5), 110);
}

TEST(ReportDays, StarIsEveryDay) {
    EXPECT_EQ(report_days("*"), DAY_ALL);
    EXPECT_EQ(report_days(" * "), DAY_ALL);
}

TEST(ReportDays, NamesOnTheirFirstThreeLetters) {
    EXPECT_EQ(report_days("Mon"), DAY_MON);
    EXPECT_EQ(report_days("monday, WEDNESDAY friday"), DAY_MON | DAY_WED | DAY_FRI);
    EXPECT_EQ(report_days("sun sat"), DAY_SUN | DAY_SAT);
}

TEST(ReportDays, RangesIncludeBothEnds) {
    EXPECT_EQ(report_days("Mon-Fri"), DAY_MON | DAY_TUE | DAY_WED | DAY_THU | DAY_FRI);
    EXPECT_EQ(report_days("Sat-Sun"), DAY_SAT | DAY_SUN);
    EXPECT_EQ(report_days("Wed-Wed"), DAY_WED);
}

TEST(ReportDays, RangesWrapPastSaturday) {
    EXPECT_EQ(report_days("Fri-Mon"), DAY_FRI | DAY_SAT | DAY_SUN | DAY_MON);
    EXPECT_EQ(report_days("Sat-Fri"), DAY_ALL);
    EXPECT_EQ(report_days("Thursday-Tuesday"),
              DAY_THU | DAY_FRI | DAY_SAT | DAY_SUN | DAY_MON | DAY_TUE);
}

TEST(ReportDays, BadItemsAreSkippedAndReadingGoesOn) {
    EXPECT_EQ(report_days("Mon Funday Fri"), DAY_MON | DAY_FRI);
    EXPECT_EQ(report_days("Mo Tue"), DAY_TUE);        // two letters match nothing
    EXPECT_EQ(report_days("Mon-Xyz, Sat"), DAY_SAT);  // bad second name drops the range
    EXPECT_EQ(report_days("Xyz-Mon Sun"), DAY_SUN);   // bad first name drops the range
    EXPECT_EQ(report_days(""), 0);
    EXPECT_EQ(report_days(nullptr), 0);
}

TEST(RecordDelimiter, FirstCharacterOrTab) {
    EXPECT_EQ(record_delimiter("|"), '|');
    EXPECT_EQ(record_delimiter(";x"), ';');
    EXPECT_EQ(record_delimiter("TAB"), '\t');
    EXPECT_EQ(record_delimiter("T"), 'T');
    EXPECT_EQ(record_delimiter(""), '|');
    EXPECT_EQ(record_delimiter(nullptr), '|');
}

TEST(KeyTable, EveryRowAtItsId) {
    std::set<std::string> names;
    for (int i = 0; i < SETTING_KEYS; ++i) {
        SCOPED_TRACE(i);
        ASSERT_NE(_settings[i].Name, nullptr);
        EXPECT_EQ(_settings[i].Id, i);
        for (const char* c = _settings[i].Name; *c; ++c) {
            EXPECT_TRUE(std::islower(static_cast<unsigned char>(*c)) || *c == '_' ||
                        std::isdigit(static_cast<unsigned char>(*c)));
        }
        EXPECT_TRUE(names.insert(_settings[i].Name).second) << _settings[i].Name;
        int fb = _settings[i].Fallback;
        EXPECT_TRUE(fb == -1 || (fb >= 0 && fb < SETTING_KEYS && fb != i));
    }
    EXPECT_EQ(SETTING_KEYS, 149);
    EXPECT_EQ(_settings[SETTING_KEYS].Name, nullptr);
    EXPECT_EQ(_settings[SETTING_KEYS].Id, -1);
}

TEST(KeyTable, IdentifiersMatchNames) {
    EXPECT_STREQ(_settings[HOST].Name, "host");
    EXPECT_STREQ(_settings[RECV_MODE].Name, "recv_mode");
    EXPECT_STREQ(_settings[GSM_MIN_SIGNAL].Name, "gsm_min_signal");
    EXPECT_STREQ(_settings[FROM_LIMIT].Name, "from_limit");
    EXPECT_STREQ(_settings[SMS_SMART].Name, "sms_smart");
    EXPECT_STREQ(_settings[SMTP_RETRIES].Name, "smtp_retries");
    EXPECT_STREQ(_settings[ROBOT_CMD].Name, "robot_cmd");
    EXPECT_STREQ(_settings[SMS_IGNORE].Name, "sms_ignore");
}

TEST(KeyTable, MultiValuedKeys) {
    std::set<int> multi;
    for (int i = 0; i < SETTING_KEYS; ++i) {
        if (_settings[i].Mode == SM_MULTI) multi.insert(i);
    }
    EXPECT_EQ(multi, (std::set<int>{ACCEPT_IP, ACCEPT_FROM, ACCEPT_TO, REPORT, SMS_TO, LIMIT,
                                    SMS_IGNORE, ACCEPT_USER, SENDER_IDS, ROUTE}));
}

// How value does not fit key's kind, or "fits".
std::string fit(const sini_table& key, std::string_view value) {
    Status st = sini_value_fits(key, value);
    return st ? "fits" : st.error().reason;
}

TEST(KeyTable, EveryDefaultFitsItsKind) {
    for (int i = 0; i < SETTING_KEYS; ++i) {
        SCOPED_TRACE(_settings[i].Name);
        if (_settings[i].Default != nullptr) {
            EXPECT_EQ(fit(_settings[i], _settings[i].Default), "fits");
        }
    }
}

TEST(KeyTable, ChoicesOfModesAreWhatDeliveryModeReads) {
    // Every word a mode key accepts must mean that mode, not the modem by accident.
    for (int id : {DELIVERY_MODE, SEND_MODE, RECV_MODE}) {
        for (int m = 0; m <= SMS_NONE; ++m) {
            SCOPED_TRACE(std::string(_settings[id].Name) + " " + delivery_name(m));
            EXPECT_EQ(fit(_settings[id], delivery_name(m)), "fits");
            EXPECT_EQ(fit(_settings[id], std::to_string(m)), "fits");
            EXPECT_EQ(delivery_mode(delivery_name(m)), m);
        }
        EXPECT_NE(fit(_settings[id], "smp"), "fits");
        EXPECT_NE(fit(_settings[id], "-1"), "fits");
        EXPECT_EQ(fit(_settings[id], "17"), "fits");
    }
}

struct BadValue {
    const char* line;
    const char* problem;  // after "FILE line 1: "
};

TEST(KeyTable, BadValuesOfTheGatewaysKeys) {
    const BadValue cases[] = {
        {"smtp_inport 1025x", "smtp_inport (1025x) is not a whole number"},
        {"smtp_outport 65536", "smtp_outport (65536) is out of bounds: from 0 to 65535"},
        {"send_mode smp", "send_mode (smp) is none of gsm, smpp, xml, smtp, robot, none, a number"},
        {"gsm_crlf maybe",
         "gsm_crlf (maybe) is neither true (true, yes, on) nor false (false, no, off)"},
        {"loglevel verbose", "loglevel (verbose) is none of none, error, info, debug"},
        {"from_limit -1", "from_limit (-1) is out of bounds: from 0 to 2147483647"},
        {"sms_mode PDU", "sms_mode (PDU) is none of text, pdu"},
        {"smtp_retry_wait 5m", "smtp_retry_wait (5m) is not a whole number of seconds"},
        {"sms_coding utf8", "sms_coding (utf8) is none of auto, gsm, ucs2, latin1"},
        {"sms_max_parts 0", "sms_max_parts (0) is out of bounds: from 1 to 255"},
        {"send_workers 1000", "send_workers (1000) is out of bounds: from 1 to 256"},
        {"queue_lifetime 9000", "queue_lifetime (9000) is out of bounds: from 0 to 8760 hours"},
        {"smtp_auth yes", "smtp_auth (yes) is none of off, optional, required"},
        {"smpp_window 0", "smpp_window (0) is out of bounds: from 1 to 1000"},
        {"smpp_response_timeout 0",
         "smpp_response_timeout (0) is out of bounds: from 1 to 3600 seconds"},
        {"smpp_bind transmitter", "smpp_bind (transmitter) is none of pair, transceiver"},
        {"smpp_dest_ton 256", "smpp_dest_ton (256) is out of bounds: from 0 to 255"},
        {"smpp_receipts some", "smpp_receipts (some) is none of none, failure, all"},
        {"smpp_gsm_coding 2", "smpp_gsm_coding (2) is none of 0, 1, 3"},
        {"smpp_long concat", "smpp_long (concat) is none of udh, sar, payload"},
        {"store postgres", "store (postgres) is none of files, postgresql"},
        {"smtp_tls ssl", "smtp_tls (ssl) is none of none, starttls, wrapper"},
        {"smtp_out_tls always", "smtp_out_tls (always) is none of may, require, none"},
        {"number_check strict", "number_check (strict) is none of possible, valid"},
        {"queue_lease 1m", "queue_lease (1m) is not a whole number of seconds"},
        {"web_https 1", "web_https (1) is neither true (true, yes, on) nor false (false, no, off)"},
    };
    const std::filesystem::path path = std::filesystem::temp_directory_path() /
                                       ("tv_keys_bad_" + std::to_string(::getpid()) + ".ini");
    for (const BadValue& c : cases) {
        SCOPED_TRACE(c.line);
        std::ofstream(path) << c.line << "\n";
        auto ini = sini_init(_settings);
        ASSERT_EQ(sini_load(ini.get(), path.string(), nullptr), 1);
        std::vector<std::string> got = sini_problems(ini.get());
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0], path.string() + " line 1: " + c.problem);
    }
    std::filesystem::remove(path);
}

// Resolution of values through the real table, defaults and fallback chains.
class Settings : public ::testing::Test {
  protected:
    void load(const std::string& text) {
        path_ = std::filesystem::temp_directory_path() /
                ("tv_keys_" + std::to_string(::getpid()) + ".ini");
        std::ofstream(path_) << text;
        ini_ = sini_init(_settings);
        ASSERT_TRUE(ini_);
        ASSERT_EQ(sini_load(ini_.get(), path_.string(), nullptr), 1);
    }
    void TearDown() override {
        sini_free(ini_);
        std::filesystem::remove(path_);
    }
    std::string get(int id, const char* part = nullptr, int n = 0) {
        const char* v = sini_getx(ini_.get(), id, nullptr, part, n);
        return v ? v : "(null)";
    }
    std::filesystem::path path_;
    std::unique_ptr<SIni> ini_;
};

TEST_F(Settings, PathsFallBackToHome) {
    load("");
    EXPECT_EQ(get(HOME), "/usr/local/tolvane");
    EXPECT_EQ(get(WORKPATH), "/usr/local/tolvane");
    EXPECT_EQ(get(LOGPATH), "/usr/local/tolvane");
    EXPECT_EQ(get(SSL_DIR), "/usr/local/tolvane");
    EXPECT_EQ(get(WEBPATH), "./web");
}

TEST_F(Settings, LogpathFollowsWorkpathThenHome) {
    load("home /srv/tv\n");
    EXPECT_EQ(get(LOGPATH), "/srv/tv");
    sini_free(ini_);
    load("home /srv/tv\nworkpath /var/lib/tv\n");
    EXPECT_EQ(get(LOGPATH), "/var/lib/tv");
    EXPECT_EQ(get(SSL_DIR), "/var/lib/tv");
    EXPECT_EQ(get(HOME), "/srv/tv");
    sini_free(ini_);
    load("workpath /var/lib/tv\nlogpath /var/log/tv\n");
    EXPECT_EQ(get(LOGPATH), "/var/log/tv");
    EXPECT_EQ(get(HOME), "/usr/local/tolvane");
}

TEST_F(Settings, ModesFallBackToDeliveryMode) {
    load("");
    EXPECT_EQ(get(SEND_MODE), "gsm");
    EXPECT_EQ(get(RECV_MODE), "gsm");
    sini_free(ini_);
    load("delivery_mode smpp\nrecv_mode none\n");
    EXPECT_EQ(get(SEND_MODE), "smpp");
    EXPECT_EQ(get(RECV_MODE), "none");
}

TEST_F(Settings, MailServersFallBackToHost) {
    load("");
    EXPECT_EQ(get(SMTP_OUTSERVER), "(null)");
    EXPECT_EQ(get(SMTP_DOMAIN), "(null)");
    sini_free(ini_);
    load("host gw.example\nsmtp_domain sms.example\n");
    EXPECT_EQ(get(SMTP_OUTSERVER), "gw.example");
    EXPECT_EQ(get(SMTP_DOMAIN), "sms.example");
}

TEST_F(Settings, LimitMessagesFallBackToLimitMsg) {
    load("to_limit_msg Too many for this phone\n");
    EXPECT_EQ(get(IP_LIMIT_MSG), "Limit reached");
    EXPECT_EQ(get(FROM_LIMIT_MSG), "Limit reached");
    EXPECT_EQ(get(TO_LIMIT_MSG), "Too many for this phone");
    sini_free(ini_);
    load("limit_msg Slow down\n");
    EXPECT_EQ(get(IP_LIMIT_MSG), "Slow down");
}

TEST_F(Settings, PlainDefaults) {
    load("");
    EXPECT_EQ(get(SMTP_INPORT), "1025");
    EXPECT_EQ(get(SMTP_GREETING), "TOLVANE");
    EXPECT_EQ(get(SMTP_OUTPORT), "25");
    EXPECT_EQ(get(SMTP_PREFIX), "");
    EXPECT_EQ(get(GSM_COM), "COM1");
    EXPECT_EQ(get(GSM_BAUD), "9600");
    EXPECT_EQ(get(GSM_INIT), "AT");
    EXPECT_EQ(get(GSM_SIGNAL_TIMEOUT), "60");
    // Debug lines hold every SMS text: only asked for, never by default.
    EXPECT_EQ(get(LOGLEVEL), "info");
    EXPECT_EQ(get(WEB_TRACE), "false");
    EXPECT_EQ(get(WEB_HOST), "(null)");
    EXPECT_EQ(get(ACCEPT_IP), "*");
    EXPECT_EQ(get(FROM_LIMIT), "500");
    EXPECT_EQ(get(IP_LIMIT), "0");
    EXPECT_EQ(get(EMAIL_SUBJECT), "$(BODY20)");
    EXPECT_EQ(get(SMS_DCS), "7bit");
    EXPECT_EQ(get(SMPP_PORT), "2775");
    EXPECT_EQ(get(SMPP_ADDR_RANGE), "*");
    EXPECT_EQ(get(SMS_RETRIES), "3");
    EXPECT_EQ(get(SMTP_RETRY_WAIT), "5");
    EXPECT_EQ(get(LOG_DELIMITER), "|");
    EXPECT_EQ(get(WEB_PORT), "8775");
    EXPECT_EQ(get(WEB_ALLOW), "127.0.0.1");
    EXPECT_EQ(get(WEB_HTTPS), "true");
    EXPECT_EQ(get(SSL_PRIV), "tv_priv.pem");
    EXPECT_EQ(get(SSL_CERT), "tv_cert.pem");
    EXPECT_EQ(get(ROBOT_CMD), "(null)");
    EXPECT_EQ(get(SMS_IGNORE), "(null)");
}

TEST_F(Settings, AttributeDefaults) {
    load("report time=\"08:00\" to=\"0412000000\"\nsms_to keyword=\"mail\"\n");
    EXPECT_EQ(get(REPORT, "time"), "08:00");
    EXPECT_EQ(get(REPORT, "message"), "Tolvane is alive");
    EXPECT_EQ(get(REPORT, "days"), "*");
    EXPECT_EQ(get(REPORT, "time", 1), "(null)");
    EXPECT_EQ(get(SMS_TO, "keyword"), "mail");
    EXPECT_EQ(get(SMS_TO, "phone"), "*");
    EXPECT_EQ(get(LIMIT, "name"), "msgrec");
    EXPECT_EQ(get(LIMIT, "period"), "24");
    EXPECT_EQ(get(LIMIT, "ip"), "(null)");
    EXPECT_EQ(get(ALIAS_FILE, "delimiter"), "*");
    EXPECT_EQ(get(ALIAS_FILE, "order"), "phone,email");
    EXPECT_EQ(get(ALIAS_FILE, "file"), "(null)");
    EXPECT_EQ(get(DELIVERY_FILE, "delimiter"), " ");
}

TEST_F(Settings, TemplatesAcceptTheirAttributes) {
    load(
        "phone_range min=\"100\" max=\"200\"\n"
        "limit name=\"hourly\" ip=\"5\" to=\"6\" from=\"7\" period=\"1\"\n"
        "alias_file file=\"aliases.txt\" required=\"yes\"\n"
        "delivery_file file=\"delivery.txt\" order=\"email,phone\"\n");
    EXPECT_EQ(get(PHONE_RANGE, "min"), "100");
    EXPECT_EQ(get(PHONE_RANGE, "max"), "200");
    EXPECT_EQ(get(LIMIT, "name"), "hourly");
    EXPECT_EQ(get(LIMIT, "from"), "7");
    EXPECT_EQ(get(ALIAS_FILE, "required"), "yes");
    EXPECT_EQ(get(ALIAS_FILE, "delimiter"), "*");
    EXPECT_EQ(get(DELIVERY_FILE, "order"), "email,phone");
}

TEST_F(Settings, KeyNamesInAnyCase) {
    load("LogLevel debug\nROBOT_CMD /bin/robot\n");
    EXPECT_EQ(get(LOGLEVEL), "debug");
    EXPECT_EQ(get(ROBOT_CMD), "/bin/robot");
    EXPECT_EQ(sini_id(ini_.get(), "Sms_Ignore"), SMS_IGNORE);
}

}  // namespace
}  // namespace tolvane
