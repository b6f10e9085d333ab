// The SMPP transport operations against a scripted centre over loopback: start-up
// and its failure codes, sends, the wait (pending and fresh PDUs on both
// connections), delivered messages and their acknowledgements, threads using the
// transport at once, and the unbinds when it is freed.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "smpp_peer_support.h"
#include "sms/sms_smpp.h"

namespace tolvane {
namespace {

using smpptest::answer_bind;
using smpptest::be8;
using smpptest::cstr;
using smpptest::deliver_body;
using smpptest::Peer;
using smpptest::raw_pdu;
using smpptest::RawPdu;

constexpr int TX = 0;  // connection numbers at the peer, in connect order
constexpr int RX = 1;

class SmppTransport : public ::testing::Test {
  protected:
    void SetUp() override {
        tcp_init();
        rec_.host = "127.0.0.1";
        rec_.port = peer_.port();
        rec_.id = "gwuser";
        rec_.pass = "pw";
        rec_.type = "Tolvaneway";
        rec_.response_ms = 5000;
    }
    void TearDown() override {
        if (centre_.joinable()) centre_.join();
        if (state_) {
            // Whatever the test left bound is unbound now; with the centre gone the
            // unbinds fail at once instead of waiting for answers.
            peer_.close_all();
            sms_free(state_);
        }
    }

    // Starts the transport with the centre answering both binds with these statuses.
    int start(std::uint32_t tx_status = 0, std::uint32_t rx_status = 0) {
        centre_ = std::thread([&, tx_status, rx_status] {
            if (peer_.accept() != TX) return;
            RawPdu b;
            if (!answer_bind(peer_, TX, SMPP_BIND_TRANSMITTER, tx_status, &b)) return;
            tx_bind_ = b;
            if (tx_status != 0) return;
            if (peer_.accept() != RX) return;
            if (!answer_bind(peer_, RX, SMPP_BIND_RECEIVER, rx_status, &b)) return;
            rx_bind_ = b;
        });
        int err = 0;
        state_ = sms_smpp_init(rec_, err);
        centre_.join();
        return err;
    }
    void start_ok() { ASSERT_EQ(start(), 0); }
    std::string error(int code) {
        std::string bf;
        state_->error(code, bf);
        return bf;
    }
    std::unique_ptr<sms_message> wait(int ms = 200) {
        int err = 0;
        auto m = state_->wait(ms, err);
        EXPECT_EQ(err, 0);
        return m;
    }
    // Waits until a message comes (the centre has sent one), within a generous limit.
    std::unique_ptr<sms_message> wait_message() {
        for (int i = 0; i < 100; ++i)
            if (auto m = wait(100)) return m;
        return nullptr;
    }

    Peer peer_;
    smpp_init rec_;
    std::unique_ptr<sms> state_;
    std::thread centre_;
    RawPdu tx_bind_, rx_bind_;
};

// ---- start-up ----

TEST_F(SmppTransport, StartBindsTransmitterThenReceiverWithTheSameFields) {
    start_ok();
    ASSERT_NE(state_, nullptr);
    std::string fields =
        cstr("gwuser") + cstr("pw") + cstr("Tolvaneway") + be8(0x34) + be8(0) + be8(0) + cstr("*");
    EXPECT_EQ(tx_bind_.id, SMPP_BIND_TRANSMITTER);
    EXPECT_EQ(tx_bind_.body, fields);
    EXPECT_EQ(rx_bind_.id, SMPP_BIND_RECEIVER);
    EXPECT_EQ(rx_bind_.body, fields);
    EXPECT_TRUE(SMS_SMPP_BUILT);
}

TEST_F(SmppTransport, StartFailuresGiveTheirCodesAndTexts) {
    {
        SCOPED_TRACE("nobody listening");
        peer_.close_listener();
        int err = 0;
        state_ = sms_smpp_init(rec_, err);
        ASSERT_NE(state_, nullptr);  // a state comes back for the caller to free
        EXPECT_EQ(err, 1);
        EXPECT_EQ(error(err), "Failed to connect to smsc");
        sms_free(state_);
        EXPECT_EQ(state_, nullptr);
    }
    int err = 0;
    state_ = sms_smpp_init(smpp_init{}, err);  // no centre named
    EXPECT_EQ(err, 1);
    EXPECT_EQ(error(2), "Failed to bind transmitter");
    EXPECT_EQ(error(3), "Failed to bind receiver");
}

TEST_F(SmppTransport, RefusedTransmitterBindIsCode2) {
    EXPECT_EQ(start(0x0E, 0), 2);
    ASSERT_NE(state_, nullptr);
    // Nothing is unbound that was never bound.
    sms_free(state_);
    EXPECT_TRUE(peer_.sees_close(TX));
    RawPdu got;
    EXPECT_FALSE(peer_.read(TX, got, 100));
}

TEST_F(SmppTransport, RefusedReceiverBindIsCode3AndFreeUnbindsTheTransmitter) {
    EXPECT_EQ(start(0, 0x0D), 3);
    ASSERT_NE(state_, nullptr);
    centre_ = std::thread([&] {
        RawPdu got;
        ASSERT_TRUE(peer_.read(TX, got));
        EXPECT_EQ(got.id, SMPP_UNBIND);
        peer_.send(TX, raw_pdu(SMPP_UNBIND_RESP, 0, got.seq));
    });
    sms_free(state_);
    centre_.join();
    EXPECT_EQ(state_, nullptr);
    EXPECT_TRUE(peer_.sees_close(TX));
}

TEST_F(SmppTransport, ThroughTheTransportTable) {
    centre_ = std::thread([&] {
        ASSERT_EQ(peer_.accept(), TX);
        ASSERT_TRUE(answer_bind(peer_, TX, SMPP_BIND_TRANSMITTER, 0x0F));
    });
    int err = 0;
    auto s = sms_smpp_init(rec_, err);
    centre_.join();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(err, 2);
    std::string why;
    EXPECT_EQ(sms_error(s.get(), err, why), "Failed to bind transmitter");
    EXPECT_EQ(sms_error(s.get(), 0, why), "No Error");
    EXPECT_EQ(sms_error(s.get(), 0x45, why), "Submit Failed.");
    EXPECT_EQ(sms_error(s.get(), 0x10, why), "Failed to identify error.");
    sms_free(s);
}

// ---- sending ----

TEST_F(SmppTransport, SendSubmitsOnTheTransmitterAndReturnsTheStatus) {
    start_ok();
    RawPdu got;
    centre_ = std::thread([&] {
        ASSERT_TRUE(peer_.read(TX, got));
        peer_.send(TX, raw_pdu(SMPP_SUBMIT_SM_RESP, 0, got.seq, cstr("id-1")));
        RawPdu second;
        ASSERT_TRUE(peer_.read(TX, second));
        peer_.send(TX, raw_pdu(SMPP_SUBMIT_SM_RESP, 0x14, second.seq));
    });
    EXPECT_EQ(state_->send(nullptr, "447700900001", "447700900123", "Hi"), 0);
    EXPECT_EQ(state_->send(nullptr, "447700900001", "447700900123", "Hi"), 0x14);
    centre_.join();
    EXPECT_EQ(got.id, SMPP_SUBMIT_SM);
    EXPECT_NE(got.body.find(cstr("447700900123") + be8(0)), std::string::npos);
    EXPECT_EQ(error(0x14), "Message Queue Full");
    EXPECT_TRUE(peer_.quiet(RX, 50));
}

TEST_F(SmppTransport, SendAfterTheCentreHungUpFailsAtOnce) {
    start_ok();
    peer_.close(TX);
    int code = state_->send(nullptr, "1", "2", "x");
    EXPECT_EQ(code, SMPP_ERR_LINK);
    EXPECT_EQ(error(code), "Connection to smsc lost");
    EXPECT_EQ(state_->send(nullptr, "1", "2", "x"), SMPP_ERR_LINK);
}

TEST_F(SmppTransport, SendAnswersAKeepAliveThatArrivedMeanwhile) {
    start_ok();
    centre_ = std::thread([&] {
        RawPdu got;
        ASSERT_TRUE(peer_.read(TX, got));
        peer_.send(TX, raw_pdu(SMPP_ENQUIRE_LINK, 0, 4242));
        peer_.send(TX, raw_pdu(SMPP_SUBMIT_SM_RESP, 0, got.seq, cstr("k")));
    });
    EXPECT_EQ(state_->send(nullptr, "1", "2", "x"), 0);
    centre_.join();
    RawPdu ans;
    ASSERT_TRUE(peer_.read(TX, ans));
    EXPECT_EQ(ans.id, SMPP_ENQUIRE_LINK_RESP);
    EXPECT_EQ(ans.seq, 4242u);
}

// ---- waiting and delivered messages ----

TEST_F(SmppTransport, DeliveredMessageGivesItsTextsWhateverIsAskedFirst) {
    start_ok();
    const char* orders[][3] = {
        {"from", "to", "body"}, {"to", "body", "from"}, {"body", "from", "to"}};
    std::uint32_t seq = 70;
    for (auto& order : orders) {
        SCOPED_TRACE(order[0]);
        peer_.send(RX, raw_pdu(SMPP_DELIVER_SM, 0, ++seq,
                               deliver_body("", "447700900123", "447700900001", "Reply text")));
        auto m = wait_message();
        ASSERT_NE(m, nullptr);
        for (const char* field : order) {
            std::string f = field;
            if (f == "from") {
                EXPECT_STREQ(state_->msg_from(m.get()), "447700900123");
            } else if (f == "to") {
                EXPECT_STREQ(state_->msg_to(m.get()), "447700900001");
            } else {
                EXPECT_STREQ(state_->msg_body(m.get()), "Reply text");
            }
        }
        // Asked again, the same texts.
        EXPECT_STREQ(state_->msg_from(m.get()), "447700900123");
        EXPECT_STREQ(state_->msg_fromip(m.get()), "");
        EXPECT_EQ(state_->msg_recv(m.get()), 0);
        state_->msg_free(m);
        EXPECT_EQ(m, nullptr);
    }
    // Nothing is acknowledged unless asked.
    EXPECT_TRUE(peer_.quiet(RX, 100));
}

TEST_F(SmppTransport, AcceptAndRejectAnswerWithTheDeliverSequence) {
    start_ok();
    peer_.send(RX, raw_pdu(SMPP_DELIVER_SM, 0, 501, deliver_body("CMT", "111", "222", "one")));
    peer_.send(RX, raw_pdu(SMPP_DELIVER_SM, 0, 502, deliver_body("", "111", "222", "two")));
    peer_.send(RX, raw_pdu(SMPP_DELIVER_SM, 0, 503, deliver_body("", "111", "222", "three")));
    auto a = wait_message();
    auto b = wait_message();
    auto c = wait_message();
    ASSERT_TRUE(a && b && c);
    EXPECT_STREQ(state_->msg_body(a.get()), "one");  // in arrival order
    EXPECT_EQ(state_->msg_accept(b.get(), 0, "ok"), 0);
    EXPECT_EQ(state_->msg_reject(a.get(), 0x65, "no route"), 0);
    // A reject without a code must still read as a refusal to the centre.
    EXPECT_EQ(state_->msg_reject(c.get(), 0, ""), 0);
    struct Want {
        std::uint32_t seq, status;
    };
    for (Want w : {Want{502, 0}, Want{501, 0x65}, Want{503, ESME_RX_T_APPN}}) {
        RawPdu got;
        ASSERT_TRUE(peer_.read(RX, got));
        EXPECT_EQ(got.id, SMPP_DELIVER_SM_RESP);
        EXPECT_EQ(got.seq, w.seq);
        EXPECT_EQ(got.status, w.status);
        EXPECT_EQ(got.body, std::string(1, '\0'));
    }
    EXPECT_TRUE(peer_.quiet(TX, 50));
}

TEST_F(SmppTransport, AcceptOnAClosedReceiverReturns4) {
    start_ok();
    peer_.send(RX, raw_pdu(SMPP_DELIVER_SM, 0, 9, deliver_body("", "1", "2", "x")));
    auto m = wait_message();
    ASSERT_NE(m, nullptr);
    peer_.close(RX);
    // The wait notices the close; after it every write fails.
    for (int i = 0; i < 20 && wait(50) == nullptr; ++i) {
    }
    EXPECT_EQ(state_->msg_accept(m.get(), 0, ""), 4);
}

TEST_F(SmppTransport, KeepAlivesOnEitherConnectionAreAnsweredAndGiveNoMessage) {
    start_ok();
    peer_.send(RX, raw_pdu(SMPP_ENQUIRE_LINK, 0, 0x80000001u));
    peer_.send(TX, raw_pdu(SMPP_ENQUIRE_LINK, 0, 77));
    peer_.send(RX, raw_pdu(SMPP_ALERT_NOTIFICATION, 0, 78, cstr("x")));
    RawPdu got;
    // The transmitter is polled once per wait; the receiver's PDU is answered on the way.
    std::vector<RawPdu> answers;
    for (int i = 0; i < 50 && answers.size() < 2; ++i) {
        EXPECT_EQ(wait(20), nullptr);
        for (int n : {TX, RX})
            if (!peer_.quiet(n, 0) && peer_.read(n, got, 1000)) {
                got.length = static_cast<std::uint32_t>(n);  // which connection
                answers.push_back(got);
            }
    }
    ASSERT_EQ(answers.size(), 2u);
    for (const RawPdu& a : answers) {
        EXPECT_EQ(a.id, SMPP_ENQUIRE_LINK_RESP);
        EXPECT_EQ(a.seq, a.length == TX ? 77u : 0x80000001u);
    }
    EXPECT_EQ(wait(50), nullptr);
    EXPECT_TRUE(peer_.quiet(RX, 50));  // the alert got no answer
}

TEST_F(SmppTransport, KeepAlivesAreAnsweredWhenNothingWaitsOrSends) {
    start_ok();
    // A gateway that only sends through this transport never calls the wait.
    peer_.send(TX, raw_pdu(SMPP_ENQUIRE_LINK, 0, 31));
    peer_.send(RX, raw_pdu(SMPP_ENQUIRE_LINK, 0, 32));
    peer_.send(RX, raw_pdu(SMPP_DELIVER_SM, 0, 33, deliver_body("", "5", "6", "kept")));
    for (auto [n, seq] : {std::pair{TX, 31u}, std::pair{RX, 32u}}) {
        RawPdu got;
        ASSERT_TRUE(peer_.read(n, got, 20000));
        EXPECT_EQ(got.id, SMPP_ENQUIRE_LINK_RESP);
        EXPECT_EQ(got.seq, seq);
    }
    // Nobody receives through this transport: the message is answered with a
    // temporary error (never a generic_nack, which reads as a refusal), so the centre
    // offers it again, and no later wait hands it out.
    RawPdu got;
    ASSERT_TRUE(peer_.read(RX, got, 20000));
    EXPECT_EQ(got.id, SMPP_DELIVER_SM_RESP);
    EXPECT_EQ(got.status, ESME_RX_T_APPN);
    EXPECT_EQ(got.seq, 33u);
    EXPECT_EQ(wait(50), nullptr);
}

TEST_F(SmppTransport, TruncatedDeliverSmNeverReadsPastItsBody) {
    start_ok();
    std::string full = deliver_body("", "447700900123", "447700900001", "Reply text");
    std::uint32_t seq = 1000;
    for (std::size_t n = 0; n <= full.size(); ++n) {
        SCOPED_TRACE(n);
        peer_.send(RX, raw_pdu(SMPP_DELIVER_SM, 0, ++seq, full.substr(0, n)));
        auto m = wait_message();
        ASSERT_NE(m, nullptr);
        std::string body = state_->msg_body(m.get());
        std::string to = state_->msg_to(m.get());
        std::string from = state_->msg_from(m.get());
        if (n == full.size()) {
            EXPECT_EQ(body, "Reply text");
        } else {
            EXPECT_EQ(body, "");
        }
        // A field is whole or absent, never a piece.
        EXPECT_TRUE(from.empty() || from == "447700900123") << from;
        EXPECT_TRUE(to.empty() || to == "447700900001") << to;
        EXPECT_EQ(!from.empty(), n >= 16u);
        EXPECT_EQ(!to.empty(), n >= 31u);
    }
}

TEST_F(SmppTransport, OversizedShortMessageIsCutAt254) {
    start_ok();
    std::string body = deliver_body("", "1", "2", "");
    body.back() = static_cast<char>(255);  // sm_length
    body += std::string(255, 'q');
    peer_.send(RX, raw_pdu(SMPP_DELIVER_SM, 0, 5, body));
    auto m = wait_message();
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(std::string(state_->msg_body(m.get())), std::string(254, 'q'));
}

// ---- threads at once ----

TEST_F(SmppTransport, SendsAcceptsAndTheWaitRunTogether) {
    start_ok();
    constexpr int kSends = 20;
    constexpr int kDelivers = 20;
    std::atomic<bool> stop{false};
    std::atomic<int> sent_ok{0};
    // The centre: answers every submit on TX, delivers messages on RX, and counts
    // the deliver_sm_resp it gets back.
    std::atomic<int> acks{0};
    std::thread tx_side([&] {
        int submits = 0;
        while (submits < kSends) {
            RawPdu got;
            if (!peer_.read(TX, got)) return;
            if (got.id != SMPP_SUBMIT_SM) continue;  // answers to our keep-alives
            peer_.send(TX, raw_pdu(SMPP_SUBMIT_SM_RESP, 0, got.seq, cstr("m")));
            if (submits++ % 5 == 0) peer_.send(TX, raw_pdu(SMPP_ENQUIRE_LINK, 0, 9000 + submits));
        }
    });
    std::thread rx_side([&] {
        for (int i = 0; i < kDelivers; ++i)
            peer_.send(RX, raw_pdu(SMPP_DELIVER_SM, 0, 100 + i, deliver_body("", "1", "2", "t")));
        for (int i = 0; i < kDelivers; ++i) {
            RawPdu got;
            if (!peer_.read(RX, got, 20000)) return;
            if (got.id == SMPP_DELIVER_SM_RESP) ++acks;
        }
    });
    std::thread waiter([&] {
        std::vector<std::thread> handlers;
        int got = 0;
        while (!stop && got < kDelivers) {
            int err = 0;
            auto m = state_->wait(50, err);
            if (!m) continue;
            ++got;
            handlers.emplace_back([this, msg = std::shared_ptr<sms_message>(std::move(m))] {
                state_->msg_body(msg.get());
                EXPECT_EQ(state_->msg_accept(msg.get(), 0, ""), 0);
            });
        }
        for (auto& h : handlers) h.join();
    });
    std::vector<std::thread> senders;
    for (int t = 0; t < 4; ++t)
        senders.emplace_back([&] {
            for (int i = 0; i < kSends / 4; ++i)
                if (state_->send(nullptr, "1", "2", "x") == 0) ++sent_ok;
        });
    for (auto& s : senders) s.join();
    tx_side.join();
    rx_side.join();
    stop = true;
    waiter.join();
    EXPECT_EQ(sent_ok.load(), kSends);
    EXPECT_EQ(acks.load(), kDelivers);
}

// ---- freeing ----

TEST_F(SmppTransport, FreeUnbindsBothConnections) {
    start_ok();
    centre_ = std::thread([&] {
        for (int n : {TX, RX}) {
            RawPdu got;
            ASSERT_TRUE(peer_.read(n, got));
            EXPECT_EQ(got.id, SMPP_UNBIND);
            peer_.send(n, raw_pdu(SMPP_UNBIND_RESP, 0, got.seq));
        }
    });
    sms_free(state_);
    centre_.join();
    EXPECT_EQ(state_, nullptr);
    EXPECT_TRUE(peer_.sees_close(TX));
    EXPECT_TRUE(peer_.sees_close(RX));
}

TEST_F(SmppTransport, FreeDoesNotHangOnASilentCentre) {
    rec_.response_ms = 300;
    start_ok();
    sms_free(state_);  // each unbind gives up after the response limit
    EXPECT_EQ(state_, nullptr);
    RawPdu got;
    EXPECT_TRUE(peer_.read(TX, got));
    EXPECT_EQ(got.id, SMPP_UNBIND);
    EXPECT_TRUE(peer_.read(RX, got));
    EXPECT_EQ(got.id, SMPP_UNBIND);
}

}  // namespace
}  // namespace tolvane
