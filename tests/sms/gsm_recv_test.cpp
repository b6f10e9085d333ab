// The modem driver's receiving side against the fake modem: stored messages at
// start, new-message indications, reading, deleting, and the header parser.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <thread>

#include "foundation/lib.h"
#include "sms/gsm_modem_support.h"
#include "sms/recording_sink.h"

namespace tolvane {
namespace {

using test::as_gsm;
using test::GsmDriver;
using test::next_message;
using test::stored_sms;
using test::text_sms;

TEST_F(GsmDriver, StoredMessagesAreHandedOutLastListedFirstAndDeletedWhenAccepted) {
    int first = modem.store(text_sms("+447700900001", "first"));
    int second = modem.store(text_sms("+447700900002", "second\r\nline"));
    sms_data_gsm* g = ready();

    int code = -1;
    auto m1 = g->wait(100, code);
    ASSERT_NE(m1, nullptr);
    EXPECT_EQ(code, 0);
    EXPECT_STREQ(g->msg_from(m1.get()), "+447700900002");
    EXPECT_STREQ(g->msg_body(m1.get()), "second\r\nline");
    EXPECT_EQ(as_gsm(m1)->index, second);
    EXPECT_EQ(as_gsm(m1)->timestamp, "26/12/08,10:00:00+04");
    EXPECT_EQ(as_gsm(m1)->status, "REC UNREAD");
    // Handed out is not stored: still in the modem until the gateway accepts it.
    EXPECT_TRUE(modem.has_stored(second));
    EXPECT_TRUE(modem.has_stored(first));
    // A listed message already holds its content: recv has nothing to do.
    EXPECT_EQ(g->msg_recv(m1.get()), 0);
    EXPECT_EQ(g->msg_accept(m1.get(), 0, "OK"), 0);
    EXPECT_FALSE(modem.has_stored(second));

    auto m2 = g->wait(100, code);
    ASSERT_NE(m2, nullptr);
    EXPECT_STREQ(g->msg_body(m2.get()), "first");
    EXPECT_EQ(g->msg_accept(m2.get(), 0, "OK"), 0);
    EXPECT_EQ(modem.stored_count(), 0u);

    EXPECT_EQ(g->wait(100, code), nullptr);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(modem.count("AT+CMGL=\"ALL\""), 1);  // listed once only
    EXPECT_EQ(later(),
              (std::vector<std::string>{"AT+CMGL=\"ALL\"", "AT+CMGD=" + std::to_string(second),
                                        "AT+CMGD=" + std::to_string(first)}));
    g->msg_free(m1);
    EXPECT_EQ(m1, nullptr);
}

TEST_F(GsmDriver, AnEmptyModemListsNothingAndWaitsForIndications) {
    sms_data_gsm* g = ready();
    int code = -1;
    EXPECT_EQ(g->wait(100, code), nullptr);
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(g->donestored);
}

TEST_F(GsmDriver, ANewMessageIsAnnouncedThenReadThenDeletedWhenAccepted) {
    sms_data_gsm* g = ready();
    int code = -1;
    EXPECT_EQ(g->wait(100, code), nullptr);  // the listing
    int index = modem.deliver(text_sms("+447700900555", "see you at 8"));

    std::unique_ptr<sms_message> m;
    for (int i = 0; i < 100 && !m; ++i) m = g->wait(200, code);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(as_gsm(m)->memory, "SM");
    EXPECT_EQ(as_gsm(m)->index, index);
    EXPECT_STREQ(g->msg_body(m.get()), "");  // not read yet

    EXPECT_EQ(g->msg_recv(m.get()), 0);
    EXPECT_STREQ(g->msg_from(m.get()), "+447700900555");
    EXPECT_STREQ(g->msg_body(m.get()), "see you at 8");
    EXPECT_EQ(as_gsm(m)->service_center, "+447700000000");
    EXPECT_EQ(as_gsm(m)->type_of_originating_address, 145);
    EXPECT_TRUE(modem.has_stored(index));
    EXPECT_EQ(g->msg_accept(m.get(), 0, "OK"), 0);
    EXPECT_FALSE(modem.has_stored(index));
    EXPECT_EQ(modem.count("AT+CMGR=" + std::to_string(index)), 1);
    EXPECT_EQ(modem.count("AT+CMGD=" + std::to_string(index)), 1);
}

TEST_F(GsmDriver, ReadingAMessageTheModemNoLongerHasGivesItsCode) {
    sms_data_gsm* g = ready();
    int code = -1;
    g->wait(100, code);
    modem.inject("\r\n+CMTI: \"SM\",42\r\n");
    std::unique_ptr<sms_message> m;
    for (int i = 0; i < 100 && !m; ++i) m = g->wait(200, code);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(g->msg_recv(m.get()), 322);  // +CMS ERROR: 321, invalid index
}

TEST_F(GsmDriver, RejectKeepsTheMessageAndAcceptDeletesItOnce) {
    int index = modem.store(text_sms("+1555", "x"));
    sms_data_gsm* g = ready();
    gsm_sms m;
    m.index = index;
    EXPECT_EQ(g->msg_reject(&m, 1, "no"), 0);
    EXPECT_TRUE(later().empty());
    EXPECT_TRUE(modem.has_stored(index));
    EXPECT_EQ(g->msg_accept(&m, 0, "OK"), 0);
    EXPECT_FALSE(modem.has_stored(index));
    EXPECT_EQ(later(), (std::vector<std::string>{"AT+CMGD=" + std::to_string(index)}));
}

TEST_F(GsmDriver, ARingLeftBehindBySendIsHungUpByTheNextWait) {
    sms_data_gsm* g = ready();
    int code = -1;
    g->wait(100, code);
    modem.on([](const std::string& c) -> std::optional<std::string> {
        if (c.starts_with("AT+CMGS=")) return "\r\nRING\r\n\r\n> ";
        return std::nullopt;
    });
    EXPECT_EQ(g->send_text("", "12345", "hi"), 0);
    EXPECT_EQ(modem.count("ATH0"), 0);
    int index = modem.deliver(text_sms("+1555", "after the ring"));
    std::unique_ptr<sms_message> m;
    for (int i = 0; i < 100 && !m; ++i) m = g->wait(200, code);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(as_gsm(m)->index, index);
    EXPECT_EQ(modem.count("ATH0"), 1);
}

TEST_F(GsmDriver, ALateReplyDoesNotHideTheIndicationsBehindIt) {
    sms_data_gsm* g = ready();
    int code = -1;
    g->wait(100, code);
    modem.inject("\r\nOK\r\n^SYSSTART\r\n+CMTI: \"ME\",7\r\n");
    std::unique_ptr<sms_message> m;
    for (int i = 0; i < 100 && !m; ++i) m = g->wait(200, code);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(as_gsm(m)->memory, "ME");
    EXPECT_EQ(as_gsm(m)->index, 7);
    // The line is in step again: a send reads its own replies.
    EXPECT_EQ(g->send_text("", "12345", "hi"), 0);
}

TEST_F(GsmDriver, ABrokenIndicationIsDroppedAndTheNextOneServed) {
    sms_data_gsm* g = ready();
    int code = -1;
    g->wait(100, code);
    modem.inject("\r\n+CMTI: garbage\r\n+CMTI: \"SM\",5\r\n");
    std::unique_ptr<sms_message> m;
    for (int i = 0; i < 100 && !m; ++i) m = g->wait(200, code);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(as_gsm(m)->index, 5);
}

TEST_F(GsmDriver, MoreThanAHundredStoredMessagesComeInTwoListings) {
    for (int i = 0; i < 105; ++i) modem.store(text_sms("+1555", "n" + std::to_string(i)));
    sms_data_gsm* g = ready();
    std::set<std::string> bodies;
    int code = -1;
    for (int i = 0; i < 300 && bodies.size() < 105; ++i) {
        auto m = g->wait(50, code);
        EXPECT_EQ(code, 0);
        if (m) {
            EXPECT_TRUE(bodies.insert(g->msg_body(m.get())).second);
            EXPECT_EQ(g->msg_accept(m.get(), 0, "OK"), 0);
        }
    }
    EXPECT_EQ(bodies.size(), 105u);
    EXPECT_EQ(modem.stored_count(), 0u);
    EXPECT_EQ(modem.count("AT+CMGL=\"ALL\""), 2);
}

TEST_F(GsmDriver, AListingCutShortIsReportedAndHandsOutNothingTwice) {
    modem.store(text_sms("+1555", "only"));
    rec.reply_ms = 300;
    sms_data_gsm* g = ready();
    modem.on([](const std::string& c) -> std::optional<std::string> {
        if (c.starts_with("AT+CMGL=")) return "\r\n+CMS ERROR: 500\r\n";
        return std::nullopt;
    });
    int code = 0;
    EXPECT_EQ(g->wait(100, code), nullptr);
    EXPECT_EQ(code, 501);
    EXPECT_FALSE(g->donestored);
    modem.on(nullptr);
    code = 0;
    auto m = g->wait(100, code);
    ASSERT_NE(m, nullptr);
    EXPECT_STREQ(g->msg_body(m.get()), "only");
}

TEST_F(GsmDriver, TheReceiverHandsStoredAndNewSmsToTheSinkAndDeletesThemWhenKept) {
    modem.store(text_sms("+447700900001", "stored one"));
    sms_data_gsm* g = ready();
    ASSERT_NE(g, nullptr);
    test::RecordingSink sink;
    std::jthread rx([&](std::stop_token st) { EXPECT_TRUE(g->receive(sink, st).ok()); });
    ASSERT_TRUE(sink.wait_for(1));
    modem.deliver(text_sms("+447700900002", "new one"));
    ASSERT_TRUE(sink.wait_for(2));
    rx.request_stop();
    rx.join();
    EXPECT_EQ(sink.texts(), (std::vector<std::string>{"stored one", "new one"}));
    EXPECT_EQ(sink.got()[0].from, "+447700900001");
    EXPECT_EQ(sink.got()[0].to, "+447700900999");
    // Kept: deleted from the modem.
    EXPECT_EQ(modem.stored_count(), 0u);
}

TEST_F(GsmDriver, AnSmsTheSinkDidNotKeepStaysInTheModem) {
    modem.store(text_sms("+447700900001", "not stored"));
    sms_data_gsm* g = ready();
    ASSERT_NE(g, nullptr);
    test::RecordingSink sink;
    sink.decide = [](const InboundSms&) { return InboundVerdict{false, 0x64, "disk full"}; };
    std::jthread rx([&](std::stop_token st) { (void)g->receive(sink, st); });
    ASSERT_TRUE(sink.wait_for(1));
    rx.request_stop();
    rx.join();
    EXPECT_EQ(modem.stored_count(), 1u);
    for (const std::string& c : later()) EXPECT_FALSE(c.starts_with("AT+CMGD")) << c;
}

// ---- the header parser ----

struct GsmHeader : ::testing::Test {
    sms_data_gsm g;
    gsm_sms m;
    int err = 0;
};

TEST_F(GsmHeader, AListingLineWithAndWithoutAlpha) {
    ASSERT_EQ(
        gsm_process_message_info(
            &g, err, m, "\"REC READ\",\"+4477\",\"Mum\",\"26/12/08,10:00:00+04\",145,12", true),
        1);
    EXPECT_EQ(m.status, "REC READ");
    EXPECT_EQ(m.phone, "+4477");
    EXPECT_EQ(m.alpha, "Mum");
    EXPECT_EQ(m.timestamp, "26/12/08,10:00:00+04");
    EXPECT_EQ(m.type_of_originating_address, 145);
    EXPECT_EQ(m.length, 12);
    gsm_sms n;
    ASSERT_EQ(gsm_process_message_info(
                  &g, err, n, "\"REC UNREAD\",\"123\",\"26/12/08,10:00:00+04\",129,3", true),
              1);
    EXPECT_EQ(n.alpha, "");
    EXPECT_EQ(n.timestamp, "26/12/08,10:00:00+04");
    EXPECT_EQ(n.type_of_originating_address, 129);
    EXPECT_EQ(n.length, 3);
}

TEST_F(GsmHeader, AReadLineCarriesTheServiceCentreFields) {
    ASSERT_EQ(
        gsm_process_message_info(
            &g, err, m,
            "\"REC UNREAD\",\"+4477\",,\"26/12/08,10:00:00+04\",145,4,0,8,\"+4470\",145,9", false),
        1);
    EXPECT_EQ(m.first_octet_of_sms, 4);
    EXPECT_EQ(m.protocal_identifier, 0);
    EXPECT_EQ(m.data_coding_sceme, 8);
    EXPECT_EQ(m.service_center, "+4470");
    EXPECT_EQ(m.type_of_service_center, 145);
    EXPECT_EQ(m.length, 9);
}

TEST_F(GsmHeader, AHeaderEndingAfterTheStampHasNoBody) {
    ASSERT_EQ(
        gsm_process_message_info(&g, err, m, "\"REC READ\",\"+4477\",,\"26/12/08,10:00:00\"", true),
        1);
    EXPECT_EQ(m.length, 0);
}

TEST_F(GsmHeader, AHeaderEndingEarlyIs522) {
    for (const char* info : {"\"REC READ\"", "\"REC READ\",\"+4477\"", ""}) {
        SCOPED_TRACE(info);
        gsm_sms x;
        err = 0;
        EXPECT_EQ(gsm_process_message_info(&g, err, x, info, true), 0);
        EXPECT_EQ(err, GSM_ERR_UNEXPECTED);
    }
}

TEST_F(GsmHeader, PduModeFieldsAreStatusAlphaAndOctets) {
    g.ispdu = true;
    ASSERT_EQ(gsm_process_message_info(&g, err, m, "1,,24", true), 1);
    EXPECT_EQ(m.status, "REC READ");
    EXPECT_EQ(m.length, 48);
    gsm_sms n;
    ASSERT_EQ(gsm_process_message_info(&g, err, n, "3,20", true), 1);
    EXPECT_EQ(n.status, "STO SENT");
    EXPECT_EQ(n.length, 40);
    gsm_sms x;
    EXPECT_EQ(gsm_process_message_info(&g, err, x, "0", true), 0);
    EXPECT_EQ(err, GSM_ERR_UNEXPECTED);
}

TEST_F(GsmHeader, ALengthNoMessageCanHaveIsRefusedNotWaitedFor) {
    g.ispdu = true;
    struct row {
        const char* info;
        int ok;
        int length;
    } rows[] = {{"0,,255", 1, 510}, {"0,,256", 0, 0}, {"0,,99999999999", 0, 0}, {"0,,-3", 0, 0}};
    for (const row& r : rows) {
        SCOPED_TRACE(r.info);
        gsm_sms x;
        EXPECT_EQ(gsm_process_message_info(&g, err, x, r.info, true), r.ok);
        EXPECT_EQ(x.length, r.length);
    }
    g.ispdu = false;
    gsm_sms t;
    ASSERT_EQ(gsm_process_message_info(&g, err, t,
                                       "\"REC READ\",\"+4477\",,\"26/12/08,10:00:00\",145,"
                                       "2147483647",
                                       true),
              1);
    EXPECT_EQ(t.length, 0);
}

}  // namespace
}  // namespace tolvane
