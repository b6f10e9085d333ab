// The modem's state as the status page, /health and the delivery engine see it: the
// +CREG parser, the registration and signal in state_text() and up() for every stat
// the modem can report, and the watcher that notices a change on an idle modem.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "foundation/lib.h"
#include "sms/gsm_modem_support.h"

namespace tolvane {
namespace {

using test::GsmDriver;

TEST(GsmCreg, EveryFormOfTheAnswerAndJunk) {
    struct row {
        const char* line;
        int reg;
    } rows[] = {
        {"+CREG: 0,1", GSM_REG_HOME},
        {"+CREG: 0,5", GSM_REG_ROAMING},
        {"+CREG: 2,3", GSM_REG_DENIED},
        {"+CREG:1,0", GSM_REG_NOT},
        {"+CREG: 2,1,\"1A2B\",\"01C3\"", GSM_REG_HOME},   // the query, with the cell
        {"+CREG: 2", GSM_REG_SEARCHING},                  // the modem's own notice
        {"+CREG: 5,\"1A2B\",\"01C3\"", GSM_REG_ROAMING},  // its notice with the cell
        {"+CREG: 0,4", GSM_REG_UNKNOWN},
        {"+CREG: 0,6", GSM_REG_NONE},
        {"+CREG: 0,11", GSM_REG_NONE},
        {"+CREG: 0,x", GSM_REG_NONE},
        {"+CREG: 0,-1", GSM_REG_NONE},
        {"+CREG:", GSM_REG_NONE},
        {"+CREG: ", GSM_REG_NONE},
        {"+CSQ: 0,1", GSM_REG_NONE},
        {"OK", GSM_REG_NONE},
        {"", GSM_REG_NONE},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.line);
        EXPECT_EQ(gsm_creg_state(r.line), r.reg);
    }
}

TEST_F(GsmDriver, EveryRegistrationTheModemReportsIsShownAndDecidesUp) {
    struct row {
        int stat;  // -1: the modem answers AT+CREG? with ERROR
        bool up;
        const char* text;
    } rows[] = {
        {1, true, "up, registered (home), signal 20 of 31"},
        {5, true, "up, registered (roaming), signal 20 of 31"},
        {4, true, "up, registration unknown, signal 20 of 31"},
        {-1, true, "up, signal 20 of 31"},
        {0, false, "down: not registered, signal 20 of 31"},
        {2, false, "down: not registered (searching), signal 20 of 31"},
        {3, false, "down: registration denied, signal 20 of 31"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.stat);
        modem.set_registration(r.stat);
        sms_data_gsm* g = start();
        ASSERT_NE(g, nullptr);
        // Not a condition of the start: a modem still searching comes up later.
        EXPECT_EQ(err, 0);
        EXPECT_EQ(g->up(), r.up);
        EXPECT_EQ(g->state_text(), r.text);
        EXPECT_EQ(g->registration(), r.stat);
    }
}

TEST_F(GsmDriver, AModemThatStopsAnsweringTheRegistrationQueryDoesNotStart) {
    rec.reply_ms = 300;
    modem.on([](const std::string& c) -> std::optional<std::string> {
        if (c == "AT+CREG?") return "";
        return std::nullopt;
    });
    start();
    EXPECT_EQ(err, GSM_ERR_TIMEOUT);
}

// Waits (up to ten seconds) until the driver's up() is want.
bool wait_up(sms_data_gsm* g, bool want) {
    for (int i = 0; i < 1000; ++i) {
        if (g->up() == want) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

TEST_F(GsmDriver, AnIdleModemIsAskedAgainAndItsChangesAreSeen) {
    rec.poll_ms = 100;
    sms_data_gsm* g = ready();
    ASSERT_TRUE(g->up());

    modem.set_registration(2);
    modem.set_signal({3});
    ASSERT_TRUE(wait_up(g, false));
    EXPECT_EQ(g->state_text(), "down: not registered (searching), signal 3 of 31");

    modem.set_registration(5);
    modem.set_signal({17});
    ASSERT_TRUE(wait_up(g, true));
    // The signal is asked before the registration: both are fresh once it is up.
    EXPECT_EQ(g->state_text(), "up, registered (roaming), signal 17 of 31");
    EXPECT_GE(modem.count("AT+CREG?"), 3);
}

TEST_F(GsmDriver, EveryChangeOfUpIsToldToTheStateWatcher) {
    rec.poll_ms = 100;
    sms_data_gsm* g = ready();
    EXPECT_TRUE(g->tells_state());
    std::mutex m;
    std::vector<bool> told;  // up() as each call saw it
    g->set_state_watcher([&] {
        std::lock_guard<std::mutex> l(m);
        told.push_back(g->up());
    });
    auto calls = [&] {
        std::lock_guard<std::mutex> l(m);
        return told;
    };
    for (int reg : {GSM_REG_DENIED, GSM_REG_HOME, GSM_REG_NOT, GSM_REG_ROAMING}) {
        SCOPED_TRACE(reg);
        std::size_t before = calls().size();
        modem.set_registration(reg);
        bool want = reg == GSM_REG_HOME || reg == GSM_REG_ROAMING;
        ASSERT_TRUE(wait_up(g, want));
        for (int i = 0; i < 1000 && calls().size() == before; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_EQ(calls().size(), before + 1);
        EXPECT_EQ(calls().back(), want);
    }
    // Rounds without a change tell nothing.
    std::size_t settled = calls().size();
    std::size_t asked = static_cast<std::size_t>(modem.count("AT+CREG?"));
    for (int i = 0; i < 1000 && static_cast<std::size_t>(modem.count("AT+CREG?")) < asked + 3; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_GE(static_cast<std::size_t>(modem.count("AT+CREG?")), asked + 3);
    EXPECT_EQ(calls().size(), settled);
    g->set_state_watcher(nullptr);
}

TEST_F(GsmDriver, FreeingTheModemDoesNotWaitForAWatcherRoundOnASilentModem) {
    rec.poll_ms = 50;
    rec.reply_ms = 20000;
    sms_data_gsm* g = ready();
    ASSERT_NE(g, nullptr);
    modem.on([](const std::string&) -> std::optional<std::string> { return ""; });
    int asked = modem.count("AT+CSQ");
    ASSERT_TRUE(modem.wait_for([&](const std::vector<std::string>& cs) {
        return std::count(cs.begin(), cs.end(), "AT+CSQ") > asked;
    }));  // the watcher now waits for a reply that never comes
    auto start = std::chrono::steady_clock::now();
    state.reset();
    // Well below the reply time the round would otherwise wait out.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST_F(GsmDriver, AModemThatFallsSilentIsDownAndUpAgainWhenItAnswers) {
    rec.poll_ms = 100;
    rec.reply_ms = 300;
    sms_data_gsm* g = ready();
    std::atomic<bool> silent{true};
    modem.on([&silent](const std::string&) -> std::optional<std::string> {
        if (silent) return "";
        return std::nullopt;
    });
    ASSERT_TRUE(wait_up(g, false));
    EXPECT_EQ(g->state_text(), "down: the modem does not answer");
    silent = false;
    ASSERT_TRUE(wait_up(g, true));
    EXPECT_EQ(g->state_text(), "up, registered (home), signal 20 of 31");
    modem.on(nullptr);
}

TEST_F(GsmDriver, AQueryDuringASendNeverMixesItsLinesIntoTheSend) {
    rec.poll_ms = 20;
    sms_data_gsm* g = ready();
    for (int i = 0; i < 20; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(g->send_text("", "+1555", "text " + std::to_string(i)), 0);
    }
    auto sent = modem.sent();
    ASSERT_EQ(sent.size(), 20u);
    for (std::size_t i = 0; i < sent.size(); ++i)
        EXPECT_EQ(sent[i].text, "text " + std::to_string(i));
    EXPECT_TRUE(g->up());
}

}  // namespace
}  // namespace tolvane
