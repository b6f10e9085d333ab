// The failed-login limiter on a clock of the test's own: holds per address and per user,
// the growing delay and its ceiling, reset on success, expiry after the window, the
// memory bound, and the failure line's quoting.
#include "foundation/auth_guard.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/metrics.h"

namespace tolvane {
namespace {

class Guard : public ::testing::Test {
  protected:
    std::int64_t now = 1000000;
    AuthGuard g{AuthGuardRules{}, [this] { return now; }};
};

// One scripted step: at +ms, an attempt or an outcome for an address and a user, and what
// the guard must say at that moment (held_ms before a failure or success is counted).
struct Step {
    long after_ms;
    const char* ip;
    const char* user;
    enum { FAIL, OK, ASK } what;
    long held_ms;  // what held_ms(ip, user) gives at that moment
};

TEST_F(Guard, HoldsByAddressAndByUser) {
    struct Case {
        const char* name;
        std::vector<Step> steps;
    };
    const Case cases[] = {
        {"five failures from one address, other users each: the sixth is held",
         {{0, "192.0.2.7", "a", Step::FAIL, 0},
          {0, "192.0.2.7", "b", Step::FAIL, 0},
          {0, "192.0.2.7", "c", Step::FAIL, 0},
          {0, "192.0.2.7", "d", Step::FAIL, 0},
          {0, "192.0.2.7", "e", Step::FAIL, 0},
          {0, "192.0.2.7", "f", Step::ASK, 1000},
          {0, "192.0.2.8", "f", Step::ASK, 0},
          {999, "192.0.2.7", "", Step::ASK, 1},
          {1, "192.0.2.7", "", Step::ASK, 0}}},
        {"five failures for one user from other addresses: held for that user anywhere",
         {{0, "192.0.2.1", "bob", Step::FAIL, 0},
          {0, "192.0.2.2", "bob", Step::FAIL, 0},
          {0, "192.0.2.3", "bob", Step::FAIL, 0},
          {0, "192.0.2.4", "bob", Step::FAIL, 0},
          {0, "192.0.2.5", "bob", Step::FAIL, 0},
          {0, "198.51.100.9", "bob", Step::ASK, 1000},
          {0, "198.51.100.9", "ann", Step::ASK, 0}}},
        {"the delay doubles per failure beyond the limit, up to 60 s",
         {{0, "192.0.2.7", "x", Step::FAIL, 0},
          {0, "192.0.2.7", "x", Step::FAIL, 0},
          {0, "192.0.2.7", "x", Step::FAIL, 0},
          {0, "192.0.2.7", "x", Step::FAIL, 0},
          {0, "192.0.2.7", "x", Step::FAIL, 0},
          {1000, "192.0.2.7", "x", Step::FAIL, 0},
          {0, "192.0.2.7", "x", Step::ASK, 2000},
          {2000, "192.0.2.7", "x", Step::FAIL, 0},
          {0, "192.0.2.7", "x", Step::ASK, 4000},
          {4000, "192.0.2.7", "x", Step::FAIL, 0},
          {8000, "192.0.2.7", "x", Step::FAIL, 0},
          {16000, "192.0.2.7", "x", Step::FAIL, 0},
          {32000, "192.0.2.7", "x", Step::FAIL, 0},
          {0, "192.0.2.7", "x", Step::ASK, 60000},
          {60000, "192.0.2.7", "x", Step::FAIL, 0},
          {0, "192.0.2.7", "x", Step::ASK, 60000}}},
        {"a success clears the address and the user",
         {{0, "192.0.2.7", "bob", Step::FAIL, 0},
          {0, "192.0.2.7", "bob", Step::FAIL, 0},
          {0, "192.0.2.7", "bob", Step::FAIL, 0},
          {0, "192.0.2.7", "bob", Step::FAIL, 0},
          {1000, "192.0.2.7", "bob", Step::OK, 0},
          {0, "192.0.2.7", "bob", Step::FAIL, 0},
          {0, "192.0.2.7", "bob", Step::ASK, 0}}},
        {"failures older than the window no longer count",
         {{0, "192.0.2.7", "bob", Step::FAIL, 0},
          {0, "192.0.2.7", "bob", Step::FAIL, 0},
          {300000, "192.0.2.7", "bob", Step::FAIL, 0},
          {0, "192.0.2.7", "bob", Step::FAIL, 0},
          {300000, "192.0.2.7", "bob", Step::FAIL, 0},  // the first two are 10 min old
          {0, "192.0.2.7", "bob", Step::ASK, 0},
          {0, "192.0.2.7", "bob", Step::FAIL, 0},
          {0, "192.0.2.7", "bob", Step::FAIL, 0},
          {0, "192.0.2.7", "bob", Step::ASK, 1000},
          {600000, "192.0.2.7", "bob", Step::ASK, 0}}},
        {"an IPv6 /64 is one address; a mapped IPv4 address is that address",
         {{0, "2001:db8:1:2::1", "", Step::FAIL, 0},
          {0, "2001:db8:1:2::2", "", Step::FAIL, 0},
          {0, "2001:db8:1:2:ffff::3", "", Step::FAIL, 0},
          {0, "::ffff:192.0.2.7", "", Step::FAIL, 0},
          {0, "192.0.2.7", "", Step::FAIL, 0},
          {0, "2001:db8:1:2::9", "", Step::ASK, 0},
          {0, "2001:db8:1:2::9", "", Step::FAIL, 0},
          {0, "2001:db8:1:2::b", "", Step::FAIL, 0},
          {0, "2001:db8:1:2::a", "", Step::ASK, 1000},
          {0, "2001:db8:1:3::a", "", Step::ASK, 0},
          {0, "::ffff:192.0.2.7", "", Step::FAIL, 0},
          {0, "192.0.2.7", "", Step::FAIL, 0},
          {0, "::ffff:192.0.2.7", "", Step::FAIL, 0},
          {0, "192.0.2.7", "", Step::ASK, 1000}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        g.clear();
        int i = 0;
        for (const Step& s : c.steps) {
            SCOPED_TRACE(i++);
            now += s.after_ms;
            EXPECT_EQ(g.held_ms(s.ip, s.user), s.held_ms);
            if (s.what == Step::FAIL) g.failed(s.ip, s.user);
            if (s.what == Step::OK) g.succeeded(s.ip, s.user);
        }
    }
}

TEST_F(Guard, FailedGivesTheHoldItStarts) {
    for (int i = 0; i < 4; ++i) EXPECT_EQ(g.failed("192.0.2.7", "bob"), 0);
    EXPECT_EQ(g.failed("192.0.2.7", "bob"), 1000);
    EXPECT_EQ(g.failed("192.0.2.7", "bob"), 2000);
}

TEST_F(Guard, RulesFromTheSettings) {
    g.set_rules({2, 60000, 500, 3000, 100});
    EXPECT_EQ(g.failed("192.0.2.7", ""), 0);
    EXPECT_EQ(g.failed("192.0.2.7", ""), 500);
    EXPECT_EQ(g.failed("192.0.2.7", ""), 1000);
    EXPECT_EQ(g.failed("192.0.2.7", ""), 2000);
    EXPECT_EQ(g.failed("192.0.2.7", ""), 3000);
    now += 60000;
    EXPECT_EQ(g.held_ms("192.0.2.7", ""), 0);
}

TEST_F(Guard, MemoryIsBoundedAndExpires) {
    g.set_rules({5, 600000, 1000, 60000, 50});
    for (int i = 0; i < 1000; ++i) {
        g.failed("10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256),
                 "user" + std::to_string(i));
        ASSERT_LE(g.tracked(), 100u);
    }
    // The latest keys are kept; the earliest gave way.
    for (int i = 0; i < 4; ++i) g.failed("192.0.2.1", "user999");
    EXPECT_EQ(g.held_ms("198.51.100.1", "user999"), 1000);
    now += 600000;
    EXPECT_EQ(g.held_ms("", ""), 0);
    EXPECT_EQ(g.tracked(), 0u);
}

TEST(AuthQuote, NothingInAUserNameCanEndTheFieldOrTheLine) {
    const std::pair<std::string, std::string> cases[] = {
        {"bob", "\"bob\""},
        {"", "\"\""},
        {"a\"b", "\"a\\\"b\""},
        {"a\\\" address=1.2.3.4", "\"a\\\\\\\" address=1.2.3.4\""},
        {"x\ny\rz\t", "\"x\\x0ay\\x0dz\\x09\""},
        {std::string("n\0l", 3), "\"n\\x00l\""},
        {"\xc3\xa5", "\"\\xc3\\xa5\""},
        {std::string(300, 'u'), "\"" + std::string(255, 'u') + "\""},
    };
    for (const auto& [user, shown] : cases) {
        SCOPED_TRACE(shown);
        EXPECT_EQ(auth_quote(user), shown);
    }
}

TEST(AuthFailure, CountsPerChannelAndHolds) {
    AuthGuard g;
    const MetricLabels web{{"channel", "web"}};
    const double before = metrics().value(METRIC_AUTH_FAILURES, web);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(auth_failure(g, "web", "192.0.2.9", "root"), 0);
    EXPECT_GT(auth_failure(g, "web", "192.0.2.9", "root"), 0);
    EXPECT_EQ(metrics().value(METRIC_AUTH_FAILURES, web), before + 5);
    const double held = metrics().value(METRIC_AUTH_HELD, web);
    auth_count_held("web");
    EXPECT_EQ(metrics().value(METRIC_AUTH_HELD, web), held + 1);
}

}  // namespace
}  // namespace tolvane
