// Wake-ups of the SMPP client: a link tells its owner the moment it closes, and the
// transport's supervisor acts on a lost link by that event alone. The supervisor
// tests turn enquire_link off, so the supervisor has no deadline of its own: if the
// close did not wake it, it would sleep until the test's deadline and fail. A batch of
// SMS through the bound transport is played against the same scripted centre.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "net/tcp.h"
#include "smpp_peer_support.h"
#include "sms/recording_sink.h"
#include "sms/sms_smpp.h"
#include "sms/sms_smpp_impl.h"
#include "sms/sms_smpp_session.h"

namespace tolvane {
namespace {

using smpptest::answer_bind;
using smpptest::be8;
using smpptest::cstr;
using smpptest::deliver_body;
using smpptest::Peer;
using smpptest::raw_pdu;
using smpptest::RawPdu;

enum class ender { centre_hangs_up, centre_unbinds, owner_closes };

struct close_case {
    const char* name;
    ender how;
    const char* reason;
};

TEST(SmppLinkCloseHook, ToldOnceWithTheReasonSetWhicheverSideEndsIt) {
    tcp_init();
    const close_case cases[] = {
        {"hang-up", ender::centre_hangs_up, "closed by the smsc"},
        {"unbind", ender::centre_unbinds, "unbound by the smsc"},
        {"close", ender::owner_closes, "owner gave up"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Peer peer;
        auto link = std::make_shared<smpp_link>("transceiver");
        std::mutex m;
        std::condition_variable cv;
        int told = 0;
        std::string reason_seen;
        link->set_close_hook([&] {
            std::lock_guard<std::mutex> g(m);
            ++told;
            reason_seen = link->close_reason();
            cv.notify_all();
        });
        Status connected = link->connect("127.0.0.1", peer.port());
        ASSERT_TRUE(connected) << connected.reason();
        ASSERT_EQ(peer.accept(), 0);
        switch (c.how) {
            case ender::centre_hangs_up:
                peer.close(0);
                break;
            case ender::centre_unbinds: {
                peer.send(0, raw_pdu(SMPP_UNBIND, 0, 9));
                RawPdu resp;
                ASSERT_TRUE(peer.read(0, resp));
                EXPECT_EQ(resp.id, SMPP_UNBIND_RESP);
                break;
            }
            case ender::owner_closes:
                link->close("owner gave up");
                break;
        }
        {
            std::unique_lock<std::mutex> lk(m);
            ASSERT_TRUE(cv.wait_for(lk, std::chrono::seconds(10), [&] { return told > 0; }));
        }
        // Closing again (as the reader does on its way out) tells nobody a second time.
        link->close("again");
        std::lock_guard<std::mutex> g(m);
        EXPECT_EQ(told, 1);
        EXPECT_EQ(reason_seen, c.reason);
        EXPECT_EQ(link->close_reason(), c.reason);
    }
}

TEST(SmppLinkCloseHook, ReleasingAnOpenLinkTellsNobody) {
    tcp_init();
    Peer peer;
    std::atomic<int> told{0};
    {
        auto link = std::make_shared<smpp_link>("transmitter");
        link->set_close_hook([&] { ++told; });
        Status connected = link->connect("127.0.0.1", peer.port());
        ASSERT_TRUE(connected) << connected.reason();
        ASSERT_EQ(peer.accept(), 0);
    }
    // The release closed the connection (the centre sees it) without the hook.
    EXPECT_TRUE(peer.sees_close(0));
    EXPECT_EQ(told.load(), 0);
}

TEST(SmppLinkDeadline, ARequestEndsAtItsOwnDeadlineWhileTheReaderBlocks) {
    // Nothing arrives at all: the reader sits in poll() without a time limit, and the
    // request still fails at its deadline, not at some later read.
    tcp_init();
    Peer peer;
    auto link = std::make_shared<smpp_link>("transmitter");
    Status connected = link->connect("127.0.0.1", peer.port());
    ASSERT_TRUE(connected) << connected.reason();
    ASSERT_EQ(peer.accept(), 0);
    auto req = pdu_new(SMPP_ENQUIRE_LINK, 0);
    pdu resp;
    EXPECT_EQ(link->request(*req, resp, 150), SMPP_ERR_TIMEOUT);
    EXPECT_TRUE(link->open());
    // The link is still usable: the next request gets its answer.
    auto next = std::async(std::launch::async, [&] {
        auto r2 = pdu_new(SMPP_ENQUIRE_LINK, 0);
        pdu got;
        return link->request(*r2, got, 10000);
    });
    RawPdu first, second;
    ASSERT_TRUE(peer.read(0, first));
    ASSERT_TRUE(peer.read(0, second));
    peer.send(0, raw_pdu(SMPP_ENQUIRE_LINK_RESP, 0, second.seq));
    EXPECT_EQ(next.get(), 0);
}

// A transceiver transport bound to the scripted centre, its state changes counted.
class SmppSupervisor : public ::testing::Test {
  protected:
    void SetUp() override {
        tcp_init();
        smpp_init init;
        init.host = "127.0.0.1";
        init.port = peer_.port();
        init.id = "gw";
        init.pass = "pw";
        init.bind = smpp_bind_kind::transceiver;
        init.enquire_ms = 0;  // no keep-alive: the supervisor has no deadline of its own
        if (window_ > 0) init.window = window_;
        init.reconnect_first_ms = 1;
        init.reconnect_max_ms = 1;
        init.response_ms = 5000;
        auto started = std::async(std::launch::async, [init] { return sms_smpp_init(init); });
        ASSERT_EQ(peer_.accept(), 0);
        ASSERT_TRUE(answer_bind(peer_, 0, SMPP_BIND_TRANSCEIVER));
        Result<std::unique_ptr<SmsTransport>> t = started.get();
        ASSERT_TRUE(t.ok()) << t.reason();
        transport_ = std::move(*t);
        ASSERT_TRUE(transport_->tells_state());
        transport_->set_state_watcher([this] {
            std::lock_guard<std::mutex> g(m_);
            ++changes_;
            cv_.notify_all();
        });
        ASSERT_TRUE(transport_->up());
    }

    void TearDown() override {
        if (transport_) transport_->set_state_watcher(nullptr);
        // The centre goes first, so the stop need not wait for an unbind answer.
        peer_.close_listener();
        peer_.close_all();
        transport_.reset();  // joins the supervisor
    }

    // Waits until the supervisor has recorded the bind as bound (or not), checked at
    // every state change. (up() alone also turns false once the link is closed, before
    // the supervisor has done anything.)
    bool becomes(bool bound) {
        const char* want = bound ? "transceiver bound" : "transceiver not bound";
        std::unique_lock<std::mutex> lk(m_);
        return cv_.wait_for(lk, std::chrono::seconds(10), [&] {
            return transport_->state_text() == want && transport_->up() == bound;
        });
    }

    // The transport's message side (wait, the answers).
    smpp_impl::sms_smpp* smpp() { return static_cast<smpp_impl::sms_smpp*>(transport_.get()); }

    int window_ = 0;  // the transport's window; 0: the default
    Peer peer_;
    std::unique_ptr<SmsTransport> transport_;
    std::mutex m_;
    std::condition_variable cv_;
    int changes_ = 0;
};

TEST_F(SmppSupervisor, ALostLinkIsToldAtOnceAndBoundAgain) {
    peer_.close(0);
    ASSERT_TRUE(becomes(false)) << transport_->state_text();
    // The supervisor connects again and binds.
    ASSERT_EQ(peer_.accept(), 1);
    ASSERT_TRUE(answer_bind(peer_, 1, SMPP_BIND_TRANSCEIVER));
    ASSERT_TRUE(becomes(true)) << transport_->state_text();
    std::lock_guard<std::mutex> g(m_);
    EXPECT_GE(changes_, 2);
}

TEST_F(SmppSupervisor, TheCentresUnbindIsActedOnLikeAHangUp) {
    peer_.send(0, raw_pdu(SMPP_UNBIND, 0, 77));
    RawPdu resp;
    ASSERT_TRUE(peer_.read(0, resp));
    EXPECT_EQ(resp.id, SMPP_UNBIND_RESP);
    EXPECT_EQ(resp.seq, 77u);
    ASSERT_TRUE(becomes(false)) << transport_->state_text();
    ASSERT_EQ(peer_.accept(), 1);
    ASSERT_TRUE(answer_bind(peer_, 1, SMPP_BIND_TRANSCEIVER));
    ASSERT_TRUE(becomes(true)) << transport_->state_text();
}

// A message and a receipt arriving together each wake their own taker: the wait gets the
// message, the receipt thread answers the receipt, to this transport's handler alone (one
// set later on another SMPP transport does not take it).
TEST_F(SmppSupervisor, AMessageAndAReceiptEachReachTheirTaker) {
    std::mutex rm;
    std::vector<std::string> receipts, others;
    ASSERT_TRUE(sms_smpp_set_receipt_handler(*transport_, [&](const smpp_receipt& r) {
        std::lock_guard<std::mutex> g(rm);
        receipts.push_back(r.message_id + " " + r.state);
        return true;
    }));
    smpp_impl::sms_smpp other;
    ASSERT_TRUE(sms_smpp_set_receipt_handler(other, [&](const smpp_receipt& r) {
        std::lock_guard<std::mutex> g(rm);
        others.push_back(r.message_id);
        return true;
    }));
    auto waited = std::async(std::launch::async, [this] {
        int err = 0;
        return smpp()->wait(10000, err);
    });
    const std::string report =
        "id:77AB sub:001 dlvrd:001 submit date:2612081200 done "
        "date:2612081201 stat:DELIVRD err:000 text:";
    std::string receipt = cstr("") + be8(1) + be8(1) + cstr("61400000001") + be8(2) + be8(3) +
                          cstr("100") + be8(0x04) + be8(0) + be8(0) + cstr("") + cstr("") + be8(0) +
                          be8(0) + be8(0) + be8(0) + be8(static_cast<std::uint8_t>(report.size())) +
                          report;
    peer_.send(0, raw_pdu(SMPP_DELIVER_SM, 0, 5, receipt));
    peer_.send(0, raw_pdu(SMPP_DELIVER_SM, 0, 6, deliver_body("", "61400000002", "100", "hello")));
    RawPdu resp;
    ASSERT_TRUE(peer_.read(0, resp));
    EXPECT_EQ(resp.id, SMPP_DELIVER_SM_RESP);
    EXPECT_EQ(resp.seq, 5u);
    EXPECT_EQ(resp.status, 0u);
    ASSERT_EQ(waited.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    std::unique_ptr<sms_message> m = waited.get();
    ASSERT_TRUE(m);
    EXPECT_STREQ(smpp()->msg_from(m.get()), "+61400000002");
    EXPECT_STREQ(smpp()->msg_body(m.get()), "hello");
    EXPECT_EQ(smpp()->msg_accept(m.get(), 0, "OK"), 0);
    ASSERT_TRUE(peer_.read(0, resp));
    EXPECT_EQ(resp.seq, 6u);
    EXPECT_EQ(resp.status, 0u);
    smpp()->msg_free(m);
    ASSERT_TRUE(sms_smpp_set_receipt_handler(*transport_, nullptr));
    std::lock_guard<std::mutex> g(rm);
    EXPECT_EQ(receipts, std::vector<std::string>{"77AB DELIVERED"});
    EXPECT_TRUE(others.empty());
}

TEST_F(SmppSupervisor, InterruptEndsAWaitThatHasNothingToHandOut) {
    auto waited = std::async(std::launch::async, [this] {
        int err = 0;
        return smpp()->wait(-1, err);
    });
    smpp()->interrupt();
    ASSERT_EQ(waited.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_FALSE(waited.get());
}

// The receiver hands each deliver_sm to the sink and answers it by the sink's verdict:
// kept is 0, not kept the sink's status (0x64 when it gives none, never "delivered").
TEST_F(SmppSupervisor, TheSinksVerdictIsTheDeliverSmResp) {
    struct Case {
        const char* text;
        InboundVerdict verdict;
        std::uint32_t status;
    };
    const std::vector<Case> cases = {
        {"keep", {true, 0, "OK", false}, 0},
        {"busy", {false, 0x58, "throttled", false}, 0x58},
        {"no code", {false, 0, "not stored", false}, ESME_RX_T_APPN},
    };
    test::RecordingSink sink;
    sink.decide = [&](const InboundSms& in) {
        for (const Case& c : cases)
            if (in.text == c.text) return c.verdict;
        return InboundVerdict{};
    };
    std::jthread rx([&](std::stop_token st) { EXPECT_TRUE(transport_->receive(sink, st).ok()); });
    std::uint32_t seq = 20;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        peer_.send(
            0, raw_pdu(SMPP_DELIVER_SM, 0, ++seq, deliver_body("", "61400000002", "100", c.text)));
        RawPdu resp;
        ASSERT_TRUE(peer_.read(0, resp));
        EXPECT_EQ(resp.id, SMPP_DELIVER_SM_RESP);
        EXPECT_EQ(resp.seq, seq);
        EXPECT_EQ(resp.status, c.status);
    }
    rx.request_stop();
    rx.join();
    ASSERT_EQ(sink.got().size(), cases.size());
    EXPECT_EQ(sink.got()[0].from, "+61400000002");
}

// A stop ends the receiver at once, however long the sink asked it to wait, and only once
// the SMS a worker holds is answered.
TEST_F(SmppSupervisor, AStopEndsTheReceiverPromptlyAfterTheSmsInHand) {
    test::RecordingSink sink;
    sink.on_idle = [] { return -1L; };  // wait without end
    std::mutex hold;
    std::unique_lock<std::mutex> held(hold);
    sink.during = [&] { std::lock_guard<std::mutex> g(hold); };
    std::atomic<bool> ended{false};
    std::jthread rx([&](std::stop_token st) {
        EXPECT_TRUE(transport_->receive(sink, st).ok());
        ended = true;
    });
    peer_.send(0, raw_pdu(SMPP_DELIVER_SM, 0, 31, deliver_body("", "61400000002", "100", "x")));
    // The worker holds the SMS in the sink; the receiver is asked to stop meanwhile.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    rx.request_stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(ended.load()) << "returned with an SMS still in a worker";
    held.unlock();
    RawPdu resp;
    ASSERT_TRUE(peer_.read(0, resp));
    EXPECT_EQ(resp.seq, 31u);
    EXPECT_EQ(resp.status, 0u);
    rx.join();
    EXPECT_TRUE(ended.load());
}

// Nobody waits: the supervisor, which has no keep-alive deadline here, must hear of the
// message to give it back to the centre once the receiver's idle limit has passed.
TEST_F(SmppSupervisor, AMessageNobodyTakesGoesBackAfterTheIdleLimit) {
    peer_.send(0, raw_pdu(SMPP_DELIVER_SM, 0, 9, deliver_body("", "61400000003", "100", "x")));
    RawPdu resp;
    ASSERT_TRUE(peer_.read(0, resp, 15000));
    EXPECT_EQ(resp.id, SMPP_DELIVER_SM_RESP);
    EXPECT_EQ(resp.seq, 9u);
    EXPECT_EQ(resp.status, ESME_RX_T_APPN);
}

// SMS sent as a batch through the bound transport: the single-part ones go out as one group
// whose attempts are counted once before it is written; each answer ends its own SMS
// (accepted, refused, or throttled and then sent again on its own without a new attempt);
// a long SMS goes on its own with its own attempt; a stop leaves the rest unsent.
TEST_F(SmppSupervisor, ABatchGoesOutAsOneGroupAndEachAnswerEndsItsOwnSms) {
    for (bool stop_after_group : {false, true}) {
        SCOPED_TRACE(stop_after_group ? "stopped after the group" : "whole batch");
        const std::string long_text(200, 'x');  // two parts
        std::vector<SmsOut> items(5);
        const char* dests[] = {"+61400000001", "+61400000002", "+61400000003", "+61400000004",
                               "+61400000005"};
        for (std::size_t i = 0; i < items.size(); ++i) {
            items[i].from = "gw";
            items[i].to = dests[i];
            items[i].text = i == 3 ? std::string_view(long_text) : std::string_view("hi");
        }
        std::vector<std::vector<std::size_t>> attempts;  // what before() was given
        std::vector<std::size_t> ended;                  // what after() was given
        bool stopped = false;
        std::vector<SendResult> results;
        WindowHooks hooks;
        hooks.before = [&](std::span<const std::size_t> idx) {
            attempts.emplace_back(idx.begin(), idx.end());
            return true;
        };
        hooks.after = [&](std::size_t i, const SendResult& r) {
            ended.push_back(i);
            // Told with the result the window gives back for it.
            EXPECT_TRUE(r.ok() || r.error().kind == SendFailure::failed) << i;
            if (stop_after_group) stopped = true;
        };
        hooks.go_on = [&] { return !stopped; };
        auto sent = std::async(std::launch::async,
                               [&] { results = transport_->send_window(items, hooks); });
        // The centre: the group's four submits, answered newest first.
        std::vector<RawPdu> group(4);
        for (RawPdu& g : group) {
            ASSERT_TRUE(peer_.read(0, g));
            EXPECT_EQ(g.id, SMPP_SUBMIT_SM);
        }
        auto to_of = [&](const RawPdu& r) {
            for (std::size_t i = 0; i < items.size(); ++i)
                if (r.body.find(std::string(dests[i]).substr(1)) != std::string::npos) return i;
            return items.size();
        };
        for (auto it = group.rbegin(); it != group.rend(); ++it) {
            std::size_t i = to_of(*it);
            std::uint32_t status = i == 1 ? ESME_RINVDSTADR : i == 2 ? ESME_RTHROTTLED : 0;
            peer_.send(0, raw_pdu(SMPP_SUBMIT_SM_RESP, status, it->seq,
                                  status == 0 ? cstr("id" + std::to_string(i)) : cstr("")));
        }
        if (!stop_after_group) {
            // The throttled one again, on its own; then the long one's two parts.
            for (int n = 0; n < 3; ++n) {
                RawPdu r;
                ASSERT_TRUE(peer_.read(0, r));
                std::size_t i = to_of(r);
                EXPECT_EQ(i, n == 0 ? 2u : 3u);
                peer_.send(0, raw_pdu(SMPP_SUBMIT_SM_RESP, 0, r.seq,
                                      cstr("id" + std::to_string(i) + "-" + std::to_string(n))));
            }
        }
        ASSERT_EQ(sent.wait_for(std::chrono::seconds(20)), std::future_status::ready);
        ASSERT_FALSE(attempts.empty());
        ASSERT_EQ(results.size(), items.size());
        EXPECT_EQ(attempts[0], (std::vector<std::size_t>{0, 1, 2, 4}));
        ASSERT_TRUE(results[0].ok());
        EXPECT_EQ(results[0]->message_id, "id0");
        ASSERT_FALSE(results[1].ok());
        EXPECT_EQ(results[1].error().code, static_cast<int>(ESME_RINVDSTADR));
        EXPECT_EQ(results[1].error().kind, SendFailure::failed);
        ASSERT_TRUE(results[4].ok());
        EXPECT_EQ(results[4]->message_id, "id4");
        // Never sent: cut, with no code of the centre's.
        auto unsent = [](const SendResult& r) {
            return !r.ok() && r.error().kind == SendFailure::cut && r.error().code == 0;
        };
        if (stop_after_group) {
            EXPECT_EQ(attempts.size(), 1u);
            EXPECT_TRUE(unsent(results[2])) << "throttled, not sent again after the stop";
            EXPECT_TRUE(unsent(results[3])) << "no attempt and no send after the stop";
            EXPECT_EQ(ended.size(), 3u);
            EXPECT_TRUE(peer_.quiet(0, 200));
            continue;
        }
        EXPECT_EQ(attempts, (std::vector<std::vector<std::size_t>>{{0, 1, 2, 4}, {3}}));
        ASSERT_TRUE(results[2].ok());
        EXPECT_EQ(results[2]->message_id, "id2-0");
        ASSERT_TRUE(results[3].ok());
        EXPECT_EQ(results[3]->parts, 2);
        EXPECT_EQ(results[3]->message_id, "id3-2");
        std::vector<std::size_t> sorted = ended;
        std::sort(sorted.begin(), sorted.end());
        EXPECT_EQ(sorted, (std::vector<std::size_t>{0, 1, 2, 3, 4})) << "each ended once";
    }
}

// Attempts that cannot be stored (a full disk): nothing is written to the centre and no
// SMS counts as sent, so the caller keeps every one for later.
TEST_F(SmppSupervisor, ABatchWhoseAttemptsCannotBeStoredSendsNothing) {
    // A whole window of SMS, so that a place kept by mistake would block the send below.
    std::vector<SmsOut> items(static_cast<std::size_t>(smpp_init().window));
    for (auto& it : items) {
        it.from = "gw";
        it.to = "+61400000001";
        it.text = "hi";
    }
    int asked = 0, ended = 0;
    WindowHooks hooks;
    hooks.before = [&](std::span<const std::size_t>) {
        ++asked;
        return false;
    };
    hooks.after = [&](std::size_t, const SendResult&) { ++ended; };
    std::vector<SendResult> results = transport_->send_window(items, hooks);
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(ended, 0);
    for (const auto& r : results)
        EXPECT_TRUE(!r.ok() && r.error().kind == SendFailure::cut && r.error().code == 0);
    EXPECT_TRUE(peer_.quiet(0, 200)) << "a submit went out without its attempt";
    // The window places it took are free again: a lone send goes at once.
    auto one = std::async(std::launch::async, [&] {
        return transport_->send({.from = "gw", .to = "+61400000001", .text = "hi"});
    });
    RawPdu r;
    ASSERT_TRUE(peer_.read(0, r));
    peer_.send(0, raw_pdu(SMPP_SUBMIT_SM_RESP, 0, r.seq, cstr("x")));
    SendResult got = one.get();
    ASSERT_TRUE(got.ok());
    EXPECT_EQ(got->message_id, "x");
}

class SmppWindowOfOne : public SmppSupervisor {
  protected:
    SmppWindowOfOne() { window_ = 1; }
};

// An SMS sent on its own (a long one) is told to the caller (after) while its last
// submit still holds its place, as a group's SMS are: no other submit goes out before
// the caller has noted it, so a crash leaves at most a window of SMS sent but not noted.
TEST_F(SmppWindowOfOne, AnSmsSentOnItsOwnIsToldBeforeItsPlaceIsFree) {
    const std::string long_text(200, 'x');  // two parts: never in a group
    SmsOut item{.from = "gw", .to = "+61400000001", .text = long_text};
    std::promise<void> in_after;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    int told = 0;
    WindowHooks hooks;
    hooks.after = [&](std::size_t, const SendResult& r) {
        EXPECT_TRUE(r.ok());
        if (r.ok()) {
            EXPECT_EQ(r->parts, 2);
        }
        if (++told == 1) in_after.set_value();
        released.wait();
    };
    auto window = std::async(std::launch::async, [&] {
        return transport_->send_window(std::span<const SmsOut>(&item, 1), hooks);
    });
    for (int n = 0; n < 2; ++n) {
        RawPdu r;
        ASSERT_TRUE(peer_.read(0, r));
        peer_.send(0, raw_pdu(SMPP_SUBMIT_SM_RESP, 0, r.seq, cstr("id" + std::to_string(n))));
    }
    ASSERT_EQ(in_after.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
    auto other = std::async(std::launch::async, [&] {
        return transport_->send({.from = "gw", .to = "+61400000002", .text = "hi"});
    });
    EXPECT_TRUE(peer_.quiet(0, 300)) << "a submit took the place before the first was noted";
    release.set_value();
    RawPdu r;
    ASSERT_TRUE(peer_.read(0, r));
    peer_.send(0, raw_pdu(SMPP_SUBMIT_SM_RESP, 0, r.seq, cstr("x")));
    EXPECT_TRUE(other.get().ok());
    std::vector<SendResult> results = window.get();
    ASSERT_EQ(results.size(), 1u);
    ASSERT_TRUE(results[0].ok());
    EXPECT_EQ(results[0]->message_id, "id1");
    EXPECT_EQ(told, 1) << "told once";
}

class SmppWindowOfTwo : public SmppSupervisor {
  protected:
    SmppWindowOfTwo() { window_ = 2; }
};

// Two answers that come together free two places, but only the first finds the window
// full and wakes one waiting sender: that sender, taking its place and leaving one free,
// must wake the next, or it waits out the answer time (5 s here) though the place is free.
TEST_F(SmppWindowOfTwo, PlacesFreedTogetherReachEveryWaitingSender) {
    std::vector<std::future<SendResult>> sends;
    for (int i = 0; i < 4; ++i)
        sends.push_back(std::async(std::launch::async, [&] {
            return transport_->send({.from = "gw", .to = "+61400000001", .text = "hi"});
        }));
    std::vector<std::uint32_t> first;
    for (int n = 0; n < 2; ++n) {
        RawPdu r;
        ASSERT_TRUE(peer_.read(0, r));
        first.push_back(r.seq);
    }
    EXPECT_TRUE(peer_.quiet(0, 200)) << "a third submit went out with the window full";
    std::string both;
    for (std::uint32_t seq : first) both += raw_pdu(SMPP_SUBMIT_SM_RESP, 0, seq, cstr("a"));
    peer_.send(0, both);  // one write: both answers are read at once
    for (int n = 0; n < 2; ++n) {
        RawPdu r;
        ASSERT_TRUE(peer_.read(0, r, 2000)) << "waiting sender " << n + 1 << " was not woken";
        peer_.send(0, raw_pdu(SMPP_SUBMIT_SM_RESP, 0, r.seq, cstr("b")));
    }
    for (auto& f : sends) EXPECT_TRUE(f.get().ok());
}

TEST(SmppFailureKind, EachResultCodeHasItsKind) {
    struct Case {
        int code;
        SendFailure kind;
    };
    const std::vector<Case> cases = {
        {SMPP_ERR_DOWN, SendFailure::temporary},
        {static_cast<int>(ESME_RTHROTTLED), SendFailure::temporary},
        {static_cast<int>(ESME_RMSGQFUL), SendFailure::temporary},
        {SMPP_ERR_CUT, SendFailure::cut},
        {SMPP_ERR_LINK, SendFailure::failed},
        {SMPP_ERR_TIMEOUT, SendFailure::failed},
        {static_cast<int>(ESME_RINVDSTADR), SendFailure::failed},
        {static_cast<int>(ESME_RSYSERR), SendFailure::failed},
        {static_cast<int>(ESME_RX_T_APPN), SendFailure::failed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_EQ(smpp_failure_kind(c.code), c.kind);
        EXPECT_FALSE(smpp_error_text(c.code).empty());
    }
    EXPECT_EQ(smpp_error_text(SMPP_ERR_DOWN), "SMPP bind is down");
    EXPECT_EQ(smpp_error_text(SMPP_ERR_CUT), "Send cut short by the shutdown");
}

}  // namespace
}  // namespace tolvane
