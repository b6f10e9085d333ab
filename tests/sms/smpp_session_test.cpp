// One SMPP connection against a scripted centre over a real loopback socket: the
// octets of each request, the waits for responses, and what the client answers to
// PDUs the centre sends unasked.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "smpp_peer_support.h"
#include "sms/sms_smpp_session.h"

namespace tolvane {
namespace {

using smpptest::be32;
using smpptest::be8;
using smpptest::cstr;
using smpptest::nul_fields;
using smpptest::Peer;
using smpptest::raw_pdu;
using smpptest::RawPdu;

class SmppSession : public ::testing::Test {
  protected:
    void SetUp() override {
        tcp_init();
        s_ = smpp_new("transmitter");
        s_->response_ms = 5000;
        ASSERT_EQ(smpp_connect(*s_, "127.0.0.1", peer_.port()), 1);
        ASSERT_EQ(peer_.accept(), 0);
    }
    void TearDown() override {
        if (t_.joinable()) t_.join();
        smpp_free(s_);
    }
    // Runs the centre's side of one exchange on its own thread while the client waits.
    template <class F>
    void centre(F f) {
        t_ = std::thread(f);
    }
    void join() {
        if (t_.joinable()) t_.join();
    }
    void bind_ok() {
        centre([this] { ASSERT_TRUE(smpptest::answer_bind(peer_, 0, SMPP_BIND_TRANSMITTER)); });
        ASSERT_EQ(smpp_transmitter(*s_, "u", "p", "t", 0, 0, ""), 1);
        join();
    }

    Peer peer_;
    std::unique_ptr<smpp> s_;
    std::thread t_;
};

TEST_F(SmppSession, BindTransmitterSendsTheFieldsInOrder) {
    RawPdu got;
    centre([&] {
        ASSERT_TRUE(peer_.read(0, got));
        peer_.send(0, raw_pdu(SMPP_BIND_TRANSMITTER_RESP, 0, got.seq, cstr("SMSC-One")));
    });
    ASSERT_EQ(smpp_transmitter(*s_, "user", "secret", "Tolvaneway", 1, 2, ""), 1);
    join();
    EXPECT_EQ(got.id, SMPP_BIND_TRANSMITTER);
    EXPECT_EQ(got.seq, 1u);
    EXPECT_EQ(got.status, 0u);
    // An unset address range goes out as "*".
    EXPECT_EQ(got.body, cstr("user") + cstr("secret") + cstr("Tolvaneway") + be8(0x34) + be8(1) +
                            be8(2) + cstr("*"));
    EXPECT_EQ(got.length, 16 + got.body.size());
    EXPECT_EQ(s_->server_id, "SMSC-One");
    EXPECT_TRUE(s_->bound);
    EXPECT_EQ(s_->sequence, 2u);
}

TEST_F(SmppSession, BindFieldsAreCutToTheirSizes) {
    RawPdu got;
    centre([&] { ASSERT_TRUE(smpptest::answer_bind(peer_, 0, SMPP_BIND_RECEIVER, 0, &got)); });
    ASSERT_EQ(smpp_reciever(*s_, "a-system-id-of-twenty", "password-long", "a-long-system-type", 1,
                            1, std::string(60, '9')),
              1);
    join();
    auto f = nul_fields(got.body);
    ASSERT_GE(f.size(), 4u);
    EXPECT_EQ(f[0], "a-system-id-of-");  // 15 characters
    EXPECT_EQ(f[1], "password");         // 8
    EXPECT_EQ(f[2], "a-long-syste");     // 12
    EXPECT_EQ(f[3], "\x34\x01\x01" + std::string(40, '9'));
}

TEST_F(SmppSession, RefusedBindsFail) {
    centre([&] {
        ASSERT_TRUE(smpptest::answer_bind(peer_, 0, SMPP_BIND_TRANSMITTER, 0x0E));
        ASSERT_TRUE(smpptest::answer_bind(peer_, 0, SMPP_BIND_RECEIVER, 0x0D));
    });
    EXPECT_EQ(smpp_transmitter(*s_, "u", "bad", "t", 0, 0, ""), 0);
    EXPECT_EQ(s_->last_error, 0x0Eu);
    EXPECT_FALSE(s_->bound);
    s_->last_error = 0;
    // A receiver refusal is only a failure: last_error keeps what it had.
    EXPECT_EQ(smpp_reciever(*s_, "u", "bad", "t", 0, 0, ""), 0);
    EXPECT_EQ(s_->last_error, 0u);
    EXPECT_FALSE(s_->bound);
}

TEST_F(SmppSession, SubmitCarriesAddressesAndTextAndReadsTheMessageId) {
    bind_ok();
    RawPdu got;
    centre([&] {
        ASSERT_TRUE(peer_.read(0, got));
        peer_.send(0, raw_pdu(SMPP_SUBMIT_SM_RESP, 0, got.seq, cstr("msg-0001")));
    });
    ASSERT_EQ(smpp_send_msg(*s_, "447700900001", "447700900123", "Lunch - At noon"), 1);
    join();
    EXPECT_EQ(got.id, SMPP_SUBMIT_SM);
    EXPECT_EQ(got.seq, 2u);
    std::string want = cstr("") + be8(0) + be8(0) + cstr("447700900001") + be8(0) + be8(0) +
                       cstr("447700900123") + be8(0) + be8(0) + be8(0) + cstr("") + cstr("") +
                       be8(0) + be8(0) + be8(0) + be8(0) + be8(15) + "Lunch - At noon";
    EXPECT_EQ(got.body, want);
    EXPECT_EQ(s_->message_id, "msg-0001");
}

TEST_F(SmppSession, LongTextIsSubmittedAsItsFirst254Octets) {
    bind_ok();
    std::string text;
    for (int i = 0; i < 300; ++i) text.push_back(static_cast<char>('a' + i % 26));
    RawPdu got;
    centre([&] {
        ASSERT_TRUE(peer_.read(0, got));
        peer_.send(0, raw_pdu(SMPP_SUBMIT_SM_RESP, 0, got.seq, cstr("x")));
    });
    ASSERT_EQ(smpp_send_msg(*s_, "1", std::string(30, '2'), text), 1);
    join();
    // service_type, two octets, "1", two octets, then the destination cut to 20.
    ASSERT_GE(got.body.size(), 28u);
    EXPECT_EQ(got.body.substr(7, 21), std::string(20, '2') + '\0');
    ASSERT_GE(got.body.size(), 255u);
    EXPECT_EQ(static_cast<unsigned char>(got.body[got.body.size() - 255]), 254u);
    EXPECT_EQ(got.body.substr(got.body.size() - 254), text.substr(0, 254));
}

TEST_F(SmppSession, SubmitRefusalLeavesItsStatus) {
    bind_ok();
    centre([&] {
        RawPdu got;
        ASSERT_TRUE(peer_.read(0, got));
        peer_.send(0, raw_pdu(SMPP_SUBMIT_SM_RESP, 0x45, got.seq));
    });
    EXPECT_EQ(smpp_send_msg(*s_, "1", "2", "x"), 0);
    EXPECT_EQ(s_->last_error, 0x45u);
    EXPECT_EQ(smpp_error(s_->last_error), "Submit Failed.");
}

TEST_F(SmppSession, ResponseSplitIntoSegmentsIsAssembled) {
    bind_ok();
    centre([&] {
        RawPdu got;
        ASSERT_TRUE(peer_.read(0, got));
        std::string wire = raw_pdu(SMPP_SUBMIT_SM_RESP, 0, got.seq, cstr("split-id"));
        for (char ch : wire) peer_.send(0, std::string(1, ch));
    });
    ASSERT_EQ(smpp_send_msg(*s_, "1", "2", "x"), 1);
    EXPECT_EQ(s_->message_id, "split-id");
}

TEST_F(SmppSession, OtherPdusDuringAWaitArePendingAndLateAnswersDropped) {
    bind_ok();
    centre([&] {
        RawPdu got;
        ASSERT_TRUE(peer_.read(0, got));
        // An answer to some earlier request, a keep-alive, then the real answer.
        peer_.send(0, raw_pdu(SMPP_SUBMIT_SM_RESP, 0x58, got.seq - 1));
        peer_.send(0, raw_pdu(SMPP_ENQUIRE_LINK, 0, 900));
        peer_.send(0, raw_pdu(SMPP_SUBMIT_SM_RESP, 0, got.seq, cstr("right")));
    });
    ASSERT_EQ(smpp_send_msg(*s_, "1", "2", "x"), 1);
    join();
    EXPECT_EQ(s_->message_id, "right");
    ASSERT_EQ(s_->plist.size(), 1u);
    EXPECT_EQ(s_->plist.items.front()->cmd_id, SMPP_ENQUIRE_LINK);
    smpp_handle_pending(*s_);
    EXPECT_TRUE(s_->plist.empty());
    RawPdu ans;
    ASSERT_TRUE(peer_.read(0, ans));
    EXPECT_EQ(ans.id, SMPP_ENQUIRE_LINK_RESP);
    EXPECT_EQ(ans.seq, 900u);
    EXPECT_EQ(ans.status, 0u);
    EXPECT_EQ(ans.body, "");
}

TEST_F(SmppSession, GenericNackForTheRequestIsARefusal) {
    bind_ok();
    centre([&] {
        RawPdu got;
        ASSERT_TRUE(peer_.read(0, got));
        peer_.send(0, raw_pdu(SMPP_GENERIC_NACK, 0x03, got.seq));
    });
    EXPECT_EQ(smpp_send_msg(*s_, "1", "2", "x"), 0);
    EXPECT_EQ(s_->last_error, 0x03u);
}

TEST_F(SmppSession, SilenceEndsTheWaitWithATimeout) {
    bind_ok();
    s_->response_ms = 300;
    EXPECT_EQ(smpp_send_msg(*s_, "1", "2", "x"), 0);
    EXPECT_EQ(s_->last_error, static_cast<std::uint32_t>(SMPP_ERR_TIMEOUT));
    EXPECT_EQ(smpp_error(s_->last_error), "No response from smsc in time");
    RawPdu got;
    EXPECT_TRUE(peer_.read(0, got));  // it was sent
}

TEST_F(SmppSession, ClosedConnectionFailsThisAndEveryLaterRequest) {
    bind_ok();
    centre([&] {
        RawPdu got;
        ASSERT_TRUE(peer_.read(0, got));
        peer_.close(0);
    });
    EXPECT_EQ(smpp_send_msg(*s_, "1", "2", "x"), 0);
    EXPECT_EQ(s_->last_error, static_cast<std::uint32_t>(SMPP_ERR_LINK));
    join();
    EXPECT_FALSE(smpp_open(*s_));
    s_->last_error = 0;
    EXPECT_EQ(smpp_send_msg(*s_, "1", "2", "again"), 0);
    EXPECT_EQ(s_->last_error, static_cast<std::uint32_t>(SMPP_ERR_LINK));
    EXPECT_EQ(smpp_unbind(*s_), 0);
}

TEST_F(SmppSession, SequenceAtItsTopIsUsedThenRestartsAtOne) {
    s_->sequence = 0x7FFFFFFF;
    auto a = pdu_new(SMPP_ENQUIRE_LINK_RESP, 0);
    auto b = pdu_new(SMPP_ENQUIRE_LINK_RESP, 0);
    auto fixed = pdu_new(SMPP_ENQUIRE_LINK_RESP, 0);
    fixed->sequence = 555;  // a number already given is kept
    ASSERT_EQ(smpp_send_pdu(*s_, *a, 0), 1);
    ASSERT_EQ(smpp_send_pdu(*s_, *fixed, 0), 1);
    ASSERT_EQ(smpp_send_pdu(*s_, *b, 0), 1);
    RawPdu got;
    ASSERT_TRUE(peer_.read(0, got));
    EXPECT_EQ(got.seq, 0x7FFFFFFFu);
    ASSERT_TRUE(peer_.read(0, got));
    EXPECT_EQ(got.seq, 555u);
    ASSERT_TRUE(peer_.read(0, got));
    EXPECT_EQ(got.seq, 1u);
    EXPECT_EQ(s_->sequence, 2u);
}

TEST_F(SmppSession, UnbindIsSentOnlyWhenBoundAndWaitsForItsAnswer) {
    EXPECT_EQ(smpp_unbind(*s_), 0);
    EXPECT_TRUE(peer_.quiet(0, 100));
    bind_ok();
    RawPdu got;
    centre([&] {
        ASSERT_TRUE(peer_.read(0, got));
        peer_.send(0, raw_pdu(SMPP_UNBIND_RESP, 0, got.seq));
    });
    EXPECT_EQ(smpp_unbind(*s_), 1);
    join();
    EXPECT_EQ(got.id, SMPP_UNBIND);
    EXPECT_EQ(got.body, "");
    EXPECT_FALSE(s_->bound);
    EXPECT_EQ(smpp_unbind(*s_), 0);  // once only
}

TEST_F(SmppSession, RecvTimesOutThenReadsAHeaderLongerThan127) {
    pdu p;
    EXPECT_EQ(smpp_recv_pdu(*s_, p, 50), -2);
    EXPECT_TRUE(smpp_open(*s_));
    std::string body(200, 'b');
    peer_.send(0, raw_pdu(0x80000004u, 0, 0x0102, body));
    ASSERT_EQ(smpp_recv_pdu(*s_, p, 5000), 1);
    EXPECT_EQ(p.length, 216u);
    EXPECT_EQ(p.cmd_id, 0x80000004u);
    EXPECT_EQ(p.sequence, 0x0102u);
    EXPECT_EQ(p.bsz(), 200);
}

// ---- what the centre sends unasked ----

TEST_F(SmppSession, HandlerAnswersRequestsAndStaysQuietOnTheRest) {
    struct Case {
        std::uint32_t id, status;
        bool answered;
        std::uint32_t answer_id, answer_status;
    };
    const Case cases[] = {
        {SMPP_ENQUIRE_LINK, 0, true, SMPP_ENQUIRE_LINK_RESP, 0},
        {0x00000103 /* data_sm */, 0, true, SMPP_GENERIC_NACK, ESME_RINVCMDID},
        {0x00000099, 0, true, SMPP_GENERIC_NACK, ESME_RINVCMDID},
        {SMPP_ALERT_NOTIFICATION, 0, false, 0, 0},
        {SMPP_GENERIC_NACK, 0x08, false, 0, 0},
        {SMPP_SUBMIT_SM_RESP, 0, false, 0, 0},
    };
    std::uint32_t seq = 300;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        pdu p;
        p.cmd_id = c.id;
        p.cmd_status = c.status;
        p.sequence = ++seq;
        EXPECT_EQ(sms_smpp_handler(*s_, p), 1);
        if (c.answered) {
            RawPdu got;
            ASSERT_TRUE(peer_.read(0, got));
            EXPECT_EQ(got.id, c.answer_id);
            EXPECT_EQ(got.status, c.answer_status);
            EXPECT_EQ(got.seq, seq);
        } else {
            EXPECT_TRUE(peer_.quiet(0, 100));
        }
    }
    EXPECT_TRUE(smpp_open(*s_));
}

TEST_F(SmppSession, CentresUnbindIsAnsweredAndClosesTheConnection) {
    bind_ok();
    pdu p;
    p.cmd_id = SMPP_UNBIND;
    p.sequence = 41;
    sms_smpp_handler(*s_, p);
    RawPdu got;
    ASSERT_TRUE(peer_.read(0, got));
    EXPECT_EQ(got.id, SMPP_UNBIND_RESP);
    EXPECT_EQ(got.seq, 41u);
    EXPECT_TRUE(peer_.sees_close(0));
    EXPECT_FALSE(s_->bound);
    EXPECT_EQ(smpp_send_msg(*s_, "1", "2", "x"), 0);
}

TEST_F(SmppSession, ImpossibleLengthIsNackedAndTheConnectionClosed) {
    peer_.send(0, be32(8) + be32(SMPP_ENQUIRE_LINK) + be32(0) + be32(61));
    pdu p;
    EXPECT_EQ(smpp_recv_pdu(*s_, p, 5000), 0);
    RawPdu got;
    ASSERT_TRUE(peer_.read(0, got));
    EXPECT_EQ(got.id, SMPP_GENERIC_NACK);
    EXPECT_EQ(got.status, ESME_RINVCMDLEN);
    EXPECT_EQ(got.seq, 61u);
    EXPECT_TRUE(peer_.sees_close(0));
    EXPECT_FALSE(smpp_open(*s_));
}

TEST_F(SmppSession, OverLongPduIsNackedSkippedAndTheDialogueGoesOn) {
    std::size_t len = SMPP_PDU_MAX + 100;
    std::string big = be32(static_cast<std::uint32_t>(len)) + be32(SMPP_DELIVER_SM) + be32(0) +
                      be32(62) + std::string(len - 16, 'z');
    centre([&] { peer_.send(0, big + raw_pdu(SMPP_ENQUIRE_LINK, 0, 63)); });
    pdu p;
    ASSERT_EQ(smpp_recv_pdu(*s_, p, 5000), 1);
    join();
    EXPECT_EQ(p.cmd_id, SMPP_ENQUIRE_LINK);
    EXPECT_EQ(p.sequence, 63u);
    RawPdu got;
    ASSERT_TRUE(peer_.read(0, got));
    EXPECT_EQ(got.id, SMPP_GENERIC_NACK);
    EXPECT_EQ(got.status, ESME_RINVCMDLEN);
    EXPECT_EQ(got.seq, 62u);
}

TEST(SmppConnect, NoListenerAndNoHostFail) {
    tcp_init();
    int port = 0;
    {
        Peer gone;
        port = gone.port();
    }
    auto s = smpp_new("transmitter");
    EXPECT_EQ(smpp_connect(*s, "127.0.0.1", port), 0);
    EXPECT_EQ(smpp_connect(*s, "", 2775), 0);
    EXPECT_FALSE(smpp_open(*s));
    EXPECT_EQ(smpp_send_msg(*s, "1", "2", "x"), 0);
    EXPECT_EQ(s->last_error, static_cast<std::uint32_t>(SMPP_ERR_LINK));
    smpp_free(s);
    EXPECT_EQ(s, nullptr);
}

TEST(SmppStatusText, KnownAndUnknownStatuses) {
    EXPECT_EQ(smpp_error(0x00), "No Error");
    EXPECT_EQ(smpp_error(0x0E), "Invalid Password");
    EXPECT_EQ(smpp_error(0x42), "Inalid 'submit with replace' request");
    EXPECT_EQ(smpp_error(0xFF), "Unknown Error");
    for (std::uint32_t unknown : {0x09u, 0x10u, 0x100u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(unknown);
        EXPECT_EQ(smpp_error(unknown), "Failed to identify error.");
        EXPECT_EQ(smpp_status_text(unknown), nullptr);
    }
}

}  // namespace
}  // namespace tolvane
