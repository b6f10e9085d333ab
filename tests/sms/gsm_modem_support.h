// Shared set-up for the modem driver's tests: a fake modem and a driver started on it.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "sms/gsm_support.h"
#include "sms/sms_gsm.h"
#include "sms/sms_gsm_impl.h"

namespace tolvane::test {

// A text-mode message for the fake modem to hold.
inline stored_sms text_sms(const std::string& from, const std::string& text,
                           const std::string& stat = "REC UNREAD") {
    stored_sms m;
    m.from = from;
    m.text = text;
    m.stat = stat;
    return m;
}

inline gsm_sms* as_gsm(const std::unique_ptr<sms_message>& m) {
    return dynamic_cast<gsm_sms*>(m.get());
}

// Waits (up to ten seconds) for the next message the driver hands out. A wait gives
// nothing at once while another dialogue holds the modem, so the limit is a time.
inline std::unique_ptr<sms_message> next_message(MessageSource* g, int& code) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::unique_ptr<sms_message> m;
    while (!m && std::chrono::steady_clock::now() < until) {
        m = g->wait(100, code);
        if (!m) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return m;
}

// A driver started from its settings: the transport (null after a failed start-up), its
// start-up code and that code's text.
struct started_gsm {
    std::unique_ptr<SmsTransport> t;
    int code = 0;
    std::string why;
    sms_data_gsm* get() const { return dynamic_cast<sms_data_gsm*>(t.get()); }
    sms_data_gsm* operator->() const { return get(); }
};
inline started_gsm start_gsm(const gsm_init& x) {
    started_gsm out;
    Result<std::unique_ptr<SmsTransport>> r = sms_gsm_init(x);
    if (r) {
        out.t = std::move(*r);
    } else {
        out.code = r.error().code;
        out.why = r.error().reason;
    }
    return out;
}

class GsmDriver : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(modem.path().empty());
        rec.port = modem.path();
        rec.localphone = " +447700900999 ";
        rec.init_string = "AT";
        rec.baud = 9600;
        rec.mode = MODE_CPIN_OK;
        rec.reply_ms = 3000;
        rec.pause_ms = 10;
    }
    void TearDown() override { state.reset(); }

    // Starts the driver; the start-up code goes to err and its text to why. The state is
    // kept after a failed start-up too, to be looked at.
    sms_data_gsm* start() {
        state.reset();
        err = -100;
        why.clear();
        std::unique_ptr<sms_data_gsm> g = gsm_open(rec, err);
        if (err != 0) g->error(err, why);
        state = std::move(g);
        return dynamic_cast<sms_data_gsm*>(state.get());
    }
    // Starts the driver and expects success; clears the command list's meaning by
    // remembering how many commands the start-up took.
    sms_data_gsm* ready() {
        sms_data_gsm* g = start();
        EXPECT_EQ(err, 0);
        startup_commands = modem.commands().size();
        return g;
    }
    // Commands written after the start-up.
    std::vector<std::string> later() {
        auto all = modem.commands();
        return std::vector<std::string>(all.begin() + static_cast<long>(startup_commands),
                                        all.end());
    }

    FakeModem modem;
    gsm_init rec;
    std::unique_ptr<SmsTransport> state;
    int err = 0;
    std::string why;
    std::size_t startup_commands = 0;
};

}  // namespace tolvane::test
