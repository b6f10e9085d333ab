// The modem's indication wait against the fake modem: a wait without a time limit
// ends on a new-message indication or on interrupt(), and never keeps a send from the
// modem while it sleeps.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "sms/gsm_modem_support.h"

namespace tolvane {
namespace {

using test::GsmDriver;
using test::text_sms;

// Waits without end on its own thread; the future gives what the wait returned.
std::future<std::unique_ptr<sms_message>> wait_forever(sms_data_gsm* g) {
    return std::async(std::launch::async, [g] {
        int code = 0;
        auto m = g->wait(-1, code);
        EXPECT_EQ(code, 0);
        return m;
    });
}

// Interrupts until the wait has ended (an interrupt landing before the wait started
// ends it as well); false when it did not end within 10 s.
bool interrupt_until_done(sms_data_gsm* g, std::future<std::unique_ptr<sms_message>>& f) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        g->interrupt();
        if (f.wait_for(std::chrono::milliseconds(5)) == std::future_status::ready) return true;
    }
    return false;
}

TEST_F(GsmDriver, InterruptEndsAWaitWithoutEndAndTheNextOneIfNoneRuns) {
    sms_data_gsm* g = ready();
    int code = 0;
    EXPECT_EQ(g->wait(100, code), nullptr);  // the listing: nothing stored
    auto f = wait_forever(g);
    ASSERT_TRUE(interrupt_until_done(g, f));
    EXPECT_EQ(f.get(), nullptr);
    // Ahead of the wait: it returns at once, and only that one does.
    g->interrupt();
    EXPECT_EQ(g->wait(-1, code), nullptr);
    auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(g->wait(80, code), nullptr);
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(80));
}

TEST_F(GsmDriver, AnIndicationEndsAWaitWithoutEnd) {
    sms_data_gsm* g = ready();
    int code = 0;
    EXPECT_EQ(g->wait(100, code), nullptr);
    auto f = wait_forever(g);
    int index = modem.deliver(text_sms("+447700900005", "woken"));
    ASSERT_EQ(f.wait_for(std::chrono::seconds(10)), std::future_status::ready)
        << "the +CMTI did not end the wait";
    std::unique_ptr<sms_message> m = f.get();
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(g->msg_recv(m.get()), 0);
    EXPECT_STREQ(g->msg_body(m.get()), "woken");
    EXPECT_EQ(g->msg_accept(m.get(), 0, "OK"), 0);
    EXPECT_FALSE(modem.has_stored(index));
    g->msg_free(m);
}

TEST_F(GsmDriver, ASendGoesThroughWhileAWaitSleeps) {
    sms_data_gsm* g = ready();
    int code = 0;
    EXPECT_EQ(g->wait(100, code), nullptr);
    auto f = wait_forever(g);
    // The idle wait holds no lock of the modem: the send has it at once and finishes
    // within its own reply times (it would hang on the lock otherwise).
    EXPECT_EQ(g->send_text("a@b.c", "+447700900123", "while waiting"), 0);
    EXPECT_EQ(modem.count("AT+CMGS=\"+447700900123\""), 1);
    // The send's replies woke the wait, which found nothing of its own and slept again.
    EXPECT_EQ(f.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    ASSERT_TRUE(interrupt_until_done(g, f));
    EXPECT_EQ(f.get(), nullptr);
}

}  // namespace
}  // namespace tolvane
