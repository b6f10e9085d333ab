// The modem driver's answer for a received message against the fake modem: a message
// leaves the modem only when the gateway accepts it (stored); rejected or released
// unanswered it stays and is read again after poll_ms, and a message in hand is never
// handed out twice, neither by a new listing nor by an indication.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <thread>

#include "foundation/lib.h"
#include "sms/gsm_modem_support.h"

namespace tolvane {
namespace {

using test::as_gsm;
using test::GsmDriver;
using test::next_message;
using test::stored_sms;
using test::text_sms;

// The first n messages the driver hands out, by their place in the modem.
std::map<int, std::unique_ptr<sms_message>> listed(MessageSource* g, int n) {
    std::map<int, std::unique_ptr<sms_message>> out;
    int code = 0;
    for (int i = 0; i < n; ++i) {
        auto m = next_message(g, code);
        if (!m) break;
        int index = as_gsm(m)->index;
        out[index] = std::move(m);
    }
    return out;
}

// True when no message comes for ms milliseconds.
bool nothing_for(MessageSource* g, long ms) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    int code = 0;
    while (std::chrono::steady_clock::now() < until) {
        if (g->wait(100, code) != nullptr) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

std::vector<std::string> deletes(const std::vector<std::string>& commands) {
    std::vector<std::string> out;
    std::copy_if(commands.begin(), commands.end(), std::back_inserter(out),
                 [](const std::string& c) { return c.starts_with("AT+CMGD="); });
    return out;
}

class GsmSettle : public GsmDriver {
  protected:
    void SetUp() override {
        GsmDriver::SetUp();
        rec.poll_ms = 300;
    }
};

TEST_F(GsmSettle, NoDeleteReachesTheModemBeforeTheAcceptThenExactlyOne) {
    // Both ways a message comes: listed at start and announced later.
    int listed = modem.store(text_sms("+1555", "listed"));
    sms_data_gsm* g = ready();
    int code = -1;
    auto m1 = g->wait(100, code);
    ASSERT_NE(m1, nullptr);
    int announced = modem.deliver(text_sms("+1666", "announced"));
    auto m2 = next_message(g, code);
    ASSERT_NE(m2, nullptr);
    ASSERT_EQ(g->msg_recv(m2.get()), 0);
    EXPECT_TRUE(deletes(later()).empty());
    EXPECT_EQ(modem.stored_count(), 2u);

    struct row {
        std::unique_ptr<sms_message>* msg;
        int index;
    } rows[] = {{&m2, announced}, {&m1, listed}};
    for (const row& r : rows) {
        SCOPED_TRACE(r.index);
        EXPECT_TRUE(modem.has_stored(r.index));
        EXPECT_EQ(g->msg_accept(r.msg->get(), 0, "OK"), 0);
        EXPECT_FALSE(modem.has_stored(r.index));
        // A second answer for the same message deletes nothing more.
        EXPECT_EQ(g->msg_accept(r.msg->get(), 0, "OK"), 0);
        g->msg_reject(r.msg->get(), 1, "late");
        g->msg_free(*r.msg);
    }
    EXPECT_EQ(deletes(later()), (std::vector<std::string>{"AT+CMGD=" + std::to_string(announced),
                                                          "AT+CMGD=" + std::to_string(listed)}));
    // Nothing was left in the modem: no new listing comes.
    EXPECT_TRUE(nothing_for(g, 3 * rec.poll_ms));
    EXPECT_EQ(modem.count("AT+CMGL=\"ALL\""), 1);
}

// Every way a message can come back unstored: rejected with a reason, or released
// without any answer.
TEST_F(GsmSettle, AMessageNotStoredStaysInTheModemAndIsReadAgainLater) {
    for (bool reject : {true, false}) {
        SCOPED_TRACE(reject ? "rejected" : "released unanswered");
        modem.store(text_sms("+1555", "keep me"));
        sms_data_gsm* g = ready();
        auto listings = [this] {
            auto c = later();
            return std::count(c.begin(), c.end(), "AT+CMGL=\"ALL\"");
        };
        int code = -1;
        auto m = g->wait(100, code);
        ASSERT_NE(m, nullptr);
        int index = as_gsm(m)->index;
        if (reject) {
            EXPECT_EQ(g->msg_reject(m.get(), 1, "queue full"), 0);
        }
        g->msg_free(m);
        EXPECT_TRUE(modem.has_stored(index));
        EXPECT_TRUE(deletes(later()).empty());

        auto again = next_message(g, code);
        ASSERT_NE(again, nullptr);
        EXPECT_EQ(code, 0);
        EXPECT_EQ(as_gsm(again)->index, index);
        EXPECT_STREQ(g->msg_body(again.get()), "keep me");
        EXPECT_EQ(listings(), 2);
        EXPECT_EQ(g->msg_accept(again.get(), 0, "OK"), 0);
        EXPECT_EQ(modem.stored_count(), 0u);
        state.reset();
    }
}

TEST_F(GsmSettle, ANewListingSkipsMessagesStillInHand) {
    int slow = modem.store(text_sms("+1555", "still being stored"));
    int failed = modem.store(text_sms("+1666", "could not be stored"));
    sms_data_gsm* g = ready();
    int code = -1;
    std::map<int, std::unique_ptr<sms_message>> out = listed(g, 2);
    ASSERT_EQ(out.size(), 2u);
    g->msg_reject(out[failed].get(), 1, "queue full");
    g->msg_free(out[failed]);

    auto again = next_message(g, code);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(as_gsm(again)->index, failed);
    EXPECT_EQ(modem.count("AT+CMGL=\"ALL\""), 2);
    // The message in hand was listed too, but is not given out a second time.
    EXPECT_TRUE(nothing_for(g, 3 * rec.poll_ms));
    EXPECT_EQ(g->msg_accept(out[slow].get(), 0, "OK"), 0);
    EXPECT_EQ(g->msg_accept(again.get(), 0, "OK"), 0);
    EXPECT_EQ(modem.stored_count(), 0u);
}

TEST_F(GsmSettle, AnIndicationForAMessageInHandIsPassedOver) {
    int index = modem.store(text_sms("+1555", "listed"));
    sms_data_gsm* g = ready();
    int code = -1;
    auto m = g->wait(100, code);
    ASSERT_NE(m, nullptr);
    // A modem that announces again what it holds (some do after a reset).
    modem.inject("\r\n+CMTI: \"SM\"," + std::to_string(index) + "\r\n+CMTI: \"SM\",77\r\n");
    auto next = next_message(g, code);
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(as_gsm(next)->index, 77);
    g->msg_accept(m.get(), 0, "OK");
}

TEST_F(GsmSettle, AnAnnouncedMessageThatCouldNotBeReadIsFoundByTheNextListing) {
    sms_data_gsm* g = ready();
    int code = -1;
    EXPECT_EQ(g->wait(100, code), nullptr);  // the start-up listing, empty
    int index = modem.deliver(text_sms("+1555", "read me later"));
    int failures = 1;
    std::string read = "AT+CMGR=" + std::to_string(index);
    modem.on([&failures, read](const std::string& c) -> std::optional<std::string> {
        if (c == read && failures-- > 0) return "\r\n+CMS ERROR: 500\r\n";
        return std::nullopt;
    });
    auto m = next_message(g, code);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(g->msg_recv(m.get()), 501);
    g->msg_reject(m.get(), 1, "not read");
    g->msg_free(m);
    EXPECT_TRUE(modem.has_stored(index));

    auto again = next_message(g, code);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(as_gsm(again)->index, index);
    EXPECT_STREQ(g->msg_body(again.get()), "read me later");
    EXPECT_EQ(g->msg_accept(again.get(), 0, "OK"), 0);
    EXPECT_FALSE(modem.has_stored(index));
}

TEST_F(GsmSettle, AnAcceptedMessageWaitingForItsDeleteIsNotListedAgain) {
    rec.delete_retry_ms = 60000;  // the retry does not come within the test
    int refused = modem.store(text_sms("+1555", "accepted"));
    int kept = modem.store(text_sms("+1666", "rejected"));
    std::string del = "AT+CMGD=" + std::to_string(refused);
    modem.on([del](const std::string& c) -> std::optional<std::string> {
        if (c == del) return "\r\n+CMS ERROR: 500\r\n";
        return std::nullopt;
    });
    sms_data_gsm* g = ready();
    int code = -1;
    std::map<int, std::unique_ptr<sms_message>> out = listed(g, 2);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(g->msg_accept(out[refused].get(), 0, "OK"), 0);
    ASSERT_EQ(g->pending_deletes.size(), 1u);
    g->msg_reject(out[kept].get(), 1, "queue full");

    auto again = next_message(g, code);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(as_gsm(again)->index, kept);
    EXPECT_TRUE(nothing_for(g, 3 * rec.poll_ms));
    EXPECT_EQ(modem.count("AT+CMGL=\"ALL\""), 2);
}

}  // namespace
}  // namespace tolvane
