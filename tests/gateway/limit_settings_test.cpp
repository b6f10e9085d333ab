// Settings read once at start-up: the rate limits (counts checked, the "msgrec" limit
// always there and filled from the global limits, a name given twice refused) and the
// rules the delivery workers send and relay by.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gateway/gateway.h"
#include "gateway/mail_to_sms.h"
#include "gateway/sms_to_mail.h"
#include "gateway/spine_support.h"
#include "support/status_check.h"

namespace tolvane {
namespace {

using testing_support::IniFile;

std::string shown(const std::vector<limit_setting>& ls) {
    std::string out;
    for (const limit_setting& l : ls)
        out += l.name + "/" + l.period + "/" + std::to_string(l.ip) + "," + std::to_string(l.from) +
               "," + std::to_string(l.to) + "," + std::to_string(l.user) +
               (l.key != 0 ? "," + std::to_string(l.key) : std::string()) + ";";
    return out;
}

TEST(LimitSettings, ReadInFileOrder) {
    struct Case {
        const char* lines;
        const char* want;
    };
    const Case cases[] = {
        // Nothing set: the gateway's own limit from the global counts and their defaults.
        {"", "msgrec/24/0,500,500,0;"},
        {"ip_limit 3\nfrom_limit 4\nto_limit 5\n", "msgrec/24/3,4,5,0;"},
        // A named line keeps its own period (24 unless given) and counts, blanks around
        // them ignored.
        {"limit name=\"hourly\" from=\" 5 \" user=\"2\" period=\"1\"\n",
         "hourly/1/0,5,0,2;msgrec/24/0,500,500,0;"},
        // The HTTP API's keys have a count of their own.
        {"limit name=\"api\" key=\"3\"\n", "api/24/0,0,0,0,3;msgrec/24/0,500,500,0;"},
        // A "msgrec" line takes the global counts for the counts it leaves at 0.
        {"from_limit 9\nlimit name=\"msgrec\" to=\"7\" period=\"2d\"\n", "msgrec/2d/0,9,7,0;"},
        {"limit name=\"a\" ip=\"1\"\nlimit name=\"msgrec\" ip=\"2\"\nlimit name=\"b\" to=\"3\"\n",
         "a/24/1,0,0,0;msgrec/24/2,500,500,0;b/24/0,0,3,0;"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lines);
        IniFile ini(c.lines);
        ASSERT_TRUE(ini.ok());
        Result<std::vector<limit_setting>> got = limit_settings(ini.get());
        ASSERT_TRUE(succeeded(got));
        EXPECT_EQ(shown(*got), c.want);
    }
}

TEST(LimitSettings, BadCountsAndRepeatedNamesStopTheStart) {
    struct Case {
        const char* lines;
        const char* why;
    };
    const Case cases[] = {
        {"limit name=\"hourly\" from=\"5O\"\n",
         "Invalid setting: limit (hourly) from (5O) is not a whole number from 0 to 2147483647"},
        {"limit name=\"x\" ip=\"-1\"\n",
         "Invalid setting: limit (x) ip (-1) is not a whole number from 0 to 2147483647"},
        {"limit name=\"x\" to=\"99999999999\"\n",
         "Invalid setting: limit (x) to (99999999999) is not a whole number from 0 to "
         "2147483647"},
        {"limit name=\"x\" user=\"1 2\"\n",
         "Invalid setting: limit (x) user (1 2) is not a whole number from 0 to 2147483647"},
        {"limit name=\"x\" key=\"-1\"\n",
         "Invalid setting: limit (x) key (-1) is not a whole number from 0 to 2147483647"},
        {"limit name=\"x\" from=\"1\"\nlimit name=\"x\" to=\"1\"\n",
         "Each 'limit' setting MUST have a unique name=\"\" parameter"},
        {"limit name=\"msgrec\"\nlimit name=\"msgrec\"\n",
         "Each 'limit' setting MUST have a unique name=\"\" parameter"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lines);
        IniFile ini(c.lines);
        ASSERT_TRUE(ini.ok());
        Result<std::vector<limit_setting>> got = limit_settings(ini.get());
        EXPECT_FALSE(got.ok());
        EXPECT_EQ(got.reason(), c.why);
    }
}

TEST(MailSendRules, ReadOnceFromTheSettings) {
    struct Case {
        const char* lines;
        long retries;
        sms_coding coding;
        int max_parts;
    };
    const Case cases[] = {
        {"", 3, sms_coding::automatic, 10},
        {"sms_retries 0\nsms_coding UCS2 \nsms_max_parts 3\n", 0, sms_coding::ucs2, 3},
        {"sms_retries  7 \nsms_coding latin1\nsms_max_parts 255\n", 7, sms_coding::latin1, 255},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lines);
        IniFile ini(c.lines);
        ASSERT_TRUE(sini_problems(ini.get()).empty());
        MailSendRules r = mail_send_rules(ini.get());
        EXPECT_EQ(r.retries, c.retries);
        EXPECT_EQ(r.coding, c.coding);
        EXPECT_EQ(r.max_parts, c.max_parts);
    }
}

TEST(SmsRelayRules, ReadOnceFromTheSettings) {
    struct Case {
        const char* lines;
        int retries, retry_wait;
    };
    const Case cases[] = {
        {"", 3, 5},
        {"smtp_retries 0\nsmtp_retry_wait 10\n", 0, 10},
        {"smtp_retries  12 \nsmtp_retry_wait 0\n", 12, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lines);
        IniFile ini(c.lines);
        ASSERT_TRUE(sini_problems(ini.get()).empty());
        SmsRelay r;
        r.retries = -1;
        r.retry_wait = -1;
        sms_relay_rules(ini.get(), r);
        EXPECT_EQ(r.retries, c.retries);
        EXPECT_EQ(r.retry_wait, c.retry_wait);
    }
}

}  // namespace
}  // namespace tolvane
