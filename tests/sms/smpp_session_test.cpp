// One SMPP connection against a scripted centre over a real loopback socket: the
// octets of a bind, responses matched by sequence number whatever their order,
// time limits that fail one request alone, and what the reader answers by itself.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/tcp.h"
#include "smpp_peer_support.h"
#include "sms/sms_smpp_session.h"

namespace tolvane {
namespace {

using smpptest::be32;
using smpptest::be8;
using smpptest::cstr;
using smpptest::deliver_body;
using smpptest::nul_fields;
using smpptest::Peer;
using smpptest::raw_pdu;
using smpptest::RawPdu;

class SmppLink : public ::testing::Test {
  protected:
    void SetUp() override {
        tcp_init();
        Status connected = link_->connect("127.0.0.1", peer_.port());
        ASSERT_TRUE(connected) << connected.reason();
        ASSERT_EQ(peer_.accept(), 0);
    }

    // A submit request on its own thread; the future gives the result and the answer.
    std::future<std::pair<int, pdu>> submit(long ms) {
        return std::async(std::launch::async, [this, ms] {
            auto req = pdu_new(SMPP_SUBMIT_SM, 0);
            pdu_add_string(*req, "", 6);
            pdu resp;
            int r = link_->request(*req, resp, ms);
            return std::make_pair(r, std::move(resp));
        });
    }

    Peer peer_;
    std::shared_ptr<smpp_link> link_ = std::make_shared<smpp_link>("transmitter");
};

TEST_F(SmppLink, BindSendsTheFieldsInOrderAndReadsTheSystemId) {
    std::uint32_t status = 99;
    auto f = std::async(std::launch::async, [&] {
        return link_->bind(SMPP_BIND_TRANSCEIVER, "gwuser-with-a-long-name", "password1",
                           "Tolvaneway", 1, 1, "", 5000, status);
    });
    RawPdu got;
    ASSERT_TRUE(peer_.read(0, got));
    EXPECT_EQ(got.id, SMPP_BIND_TRANSCEIVER);
    EXPECT_EQ(got.seq, 1u);
    // Cut to their sizes; an unset range is "*".
    EXPECT_EQ(got.body, cstr("gwuser-with-a-l") + cstr("password") + cstr("Tolvaneway") +
                            be8(0x34) + be8(1) + be8(1) + cstr("*"));
    peer_.send(0, raw_pdu(SMPP_BIND_TRANSCEIVER_RESP, 0, got.seq, cstr("CENTRE")));
    EXPECT_TRUE(f.get());
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(link_->server_id(), "CENTRE");
}

TEST_F(SmppLink, RefusedBindGivesTheCentresStatus) {
    std::uint32_t status = 0;
    auto f = std::async(std::launch::async, [&] {
        return link_->bind(SMPP_BIND_TRANSMITTER, "u", "p", "t", 0, 0, "", 5000, status);
    });
    RawPdu got;
    ASSERT_TRUE(peer_.read(0, got));
    peer_.send(0, raw_pdu(SMPP_BIND_TRANSMITTER_RESP, ESME_RINVPASWD, got.seq));
    EXPECT_FALSE(f.get());
    EXPECT_EQ(status, ESME_RINVPASWD);
}

TEST_F(SmppLink, ResponsesAreMatchedBySequenceWhateverTheirOrder) {
    std::vector<std::future<std::pair<int, pdu>>> waits;
    std::vector<std::uint32_t> seqs;
    for (int i = 0; i < 3; ++i) {
        waits.push_back(submit(5000));
        RawPdu got;
        ASSERT_TRUE(peer_.read(0, got));
        seqs.push_back(got.seq);
    }
    // Answered newest first, each with a message id naming its request.
    for (int i = 2; i >= 0; --i)
        peer_.send(0, raw_pdu(SMPP_SUBMIT_SM_RESP, 0, seqs[static_cast<std::size_t>(i)],
                              cstr("id" + std::to_string(seqs[static_cast<std::size_t>(i)]))));
    for (std::size_t i = 0; i < 3; ++i) {
        auto [r, resp] = waits[i].get();
        ASSERT_EQ(r, 0);
        std::string id;
        ASSERT_TRUE(pdu_get_string(resp, id, 65));
        EXPECT_EQ(id, "id" + std::to_string(seqs[i]));
    }
}

TEST_F(SmppLink, AMissingAnswerFailsThatRequestAloneAndItsLateAnswerIsDropped) {
    auto slow = submit(300);
    RawPdu first;
    ASSERT_TRUE(peer_.read(0, first));
    auto quick = submit(5000);
    RawPdu second;
    ASSERT_TRUE(peer_.read(0, second));
    EXPECT_EQ(slow.get().first, SMPP_ERR_TIMEOUT);
    // The first one's answer comes late, then the second's: only the second is taken.
    peer_.send(0, raw_pdu(SMPP_SUBMIT_SM_RESP, 0, first.seq, cstr("late")));
    peer_.send(0, raw_pdu(SMPP_SUBMIT_SM_RESP, 0, second.seq, cstr("mine")));
    auto [r, resp] = quick.get();
    ASSERT_EQ(r, 0);
    std::string id;
    ASSERT_TRUE(pdu_get_string(resp, id, 65));
    EXPECT_EQ(id, "mine");
    EXPECT_TRUE(link_->open());
}

TEST_F(SmppLink, ManyWaitersEachGetTheirOwnAnswerTheirTimeOutOrTheHangUp) {
    // Twelve requests at once, each naming itself in its body. Two have a short time
    // limit and are never answered; two more are never answered and fail when the
    // centre hangs up; the rest are answered newest first with ids naming them.
    constexpr int N = 12;
    auto expires = [](int i) { return i == 3 || i == 7; };
    auto held = [](int i) { return i == 5 || i == 10; };
    std::vector<std::future<std::pair<int, pdu>>> waits;
    for (int i = 0; i < N; ++i)
        waits.push_back(std::async(std::launch::async, [this, i, &expires] {
            auto req = pdu_new(SMPP_SUBMIT_SM, 0);
            pdu_add_string(*req, "r" + std::to_string(i), 6);
            pdu resp;
            int r = link_->request(*req, resp, expires(i) ? 300 : 10000);
            return std::make_pair(r, std::move(resp));
        }));
    std::vector<std::pair<std::uint32_t, std::string>> got;  // sequence, name
    for (int i = 0; i < N; ++i) {
        RawPdu req;
        ASSERT_TRUE(peer_.read(0, req));
        got.emplace_back(req.seq, req.body.substr(0, req.body.find('\0')));
    }
    for (auto it = got.rbegin(); it != got.rend(); ++it) {
        int i = std::stoi(it->second.substr(1));
        if (!expires(i) && !held(i))
            peer_.send(0, raw_pdu(SMPP_SUBMIT_SM_RESP, 0, it->first, cstr("id-" + it->second)));
    }
    for (int i = 0; i < N; ++i) {
        if (held(i)) continue;
        SCOPED_TRACE("request r" + std::to_string(i));
        auto [r, resp] = waits[static_cast<std::size_t>(i)].get();
        if (expires(i)) {
            EXPECT_EQ(r, SMPP_ERR_TIMEOUT);
            continue;
        }
        ASSERT_EQ(r, 0);
        std::string id;
        ASSERT_TRUE(pdu_get_string(resp, id, 65));
        EXPECT_EQ(id, "id-r" + std::to_string(i));
    }
    EXPECT_TRUE(link_->open());
    peer_.close(0);
    for (int i : {5, 10}) {
        SCOPED_TRACE("held request r" + std::to_string(i));
        EXPECT_EQ(waits[static_cast<std::size_t>(i)].get().first, SMPP_ERR_LINK);
    }
}

// Requests sent together: one write carries them all, and each gets its own answer
// whatever the order, its time-out, or the failure of the hang-up, as lone requests do.
TEST_F(SmppLink, RequestsSentTogetherEachGetTheirOwnOutcome) {
    enum class Fate { answered, unanswered, hang_up };
    struct Case {
        const char* name;
        std::vector<Fate> fates;
        long ms;
    };
    const Case cases[] = {
        {"all answered, newest first", {Fate::answered, Fate::answered, Fate::answered}, 5000},
        {"one never answered", {Fate::answered, Fate::unanswered, Fate::answered}, 3000},
        {"the centre hangs up", {Fate::answered, Fate::hang_up, Fate::hang_up}, 10000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Peer peer;
        auto link = std::make_shared<smpp_link>("transmitter");
        Status connected = link->connect("127.0.0.1", peer.port());
        ASSERT_TRUE(connected) << connected.reason();
        ASSERT_EQ(peer.accept(), 0);
        const std::size_t n = c.fates.size();
        std::vector<std::unique_ptr<pdu>> owned;
        std::vector<pdu*> reqs;
        for (std::size_t i = 0; i < n; ++i) {
            owned.push_back(pdu_new(SMPP_SUBMIT_SM, 0));
            pdu_add_string(*owned.back(), "r" + std::to_string(i), 6);
            reqs.push_back(owned.back().get());
        }
        std::mutex told_lock;
        std::vector<std::size_t> told;  // indexes handed over before the end
        std::promise<void> all_told;
        std::size_t to_tell = 0;
        for (Fate f : c.fates) to_tell += f == Fate::answered ? 1 : 0;
        auto done = std::async(std::launch::async, [&] {
            std::vector<pdu> resps;
            std::vector<int> results;
            link->request_many(reqs, resps, results, c.ms,
                               [&](const std::vector<std::size_t>& ks) {
                                   std::lock_guard<std::mutex> g(told_lock);
                                   for (std::size_t k : ks) {
                                       EXPECT_EQ(results[k], 0);
                                       told.push_back(k);
                                   }
                                   if (told.size() == to_tell) all_told.set_value();
                               });
            return std::make_pair(results, std::move(resps));
        });
        std::vector<RawPdu> got(n);
        for (std::size_t i = 0; i < n; ++i) ASSERT_TRUE(peer.read(0, got[i]));
        for (std::size_t i = n; i-- > 0;)
            if (c.fates[i] == Fate::answered)
                peer.send(0, raw_pdu(SMPP_SUBMIT_SM_RESP, 0, got[i].seq,
                                     cstr("id-" + std::to_string(i))));
        bool hang_up = false;
        for (Fate f : c.fates) hang_up = hang_up || f == Fate::hang_up;
        // The answers that came are handed over while a missing one is still awaited.
        ASSERT_EQ(all_told.get_future().wait_for(std::chrono::milliseconds(c.ms / 2)),
                  std::future_status::ready);
        if (to_tell < c.fates.size()) {
            EXPECT_NE(done.wait_for(std::chrono::milliseconds(0)), std::future_status::ready);
        }
        if (hang_up) peer.close(0);
        auto [results, resps] = done.get();
        {
            std::lock_guard<std::mutex> g(told_lock);
            EXPECT_EQ(told.size(), to_tell);
        }
        ASSERT_EQ(results.size(), n);
        for (std::size_t i = 0; i < n; ++i) {
            SCOPED_TRACE("request r" + std::to_string(i));
            EXPECT_EQ(got[i].body.substr(0, got[i].body.find('\0')), "r" + std::to_string(i));
            if (c.fates[i] == Fate::answered) {
                ASSERT_EQ(results[i], 0);
                std::string id;
                ASSERT_TRUE(pdu_get_string(resps[i], id, 65));
                EXPECT_EQ(id, "id-" + std::to_string(i));
            } else {
                EXPECT_EQ(results[i], c.fates[i] == Fate::unanswered ? SMPP_ERR_TIMEOUT
                                                                     : SMPP_ERR_LINK);
            }
        }
        // Nothing of the batch is left waiting: a late answer is dropped, and a lone
        // request afterwards works on an open link.
        if (!hang_up) {
            peer.send(0, raw_pdu(SMPP_SUBMIT_SM_RESP, 0, got[1].seq, cstr("late")));
            auto req = pdu_new(SMPP_SUBMIT_SM, 0);
            pdu_add_string(*req, "", 6);
            auto lone = std::async(std::launch::async, [&] {
                pdu resp;
                return link->request(*req, resp, 5000);
            });
            RawPdu r;
            ASSERT_TRUE(peer.read(0, r));
            peer.send(0, raw_pdu(SMPP_SUBMIT_SM_RESP, 0, r.seq, cstr("x")));
            EXPECT_EQ(lone.get(), 0);
        }
    }
}

TEST_F(SmppLink, KeepAliveIsAnsweredWhileARequestWaits) {
    auto waiting = submit(5000);
    RawPdu req;
    ASSERT_TRUE(peer_.read(0, req));
    peer_.send(0, raw_pdu(SMPP_ENQUIRE_LINK, 0, 0x80000001u));
    RawPdu got;
    ASSERT_TRUE(peer_.read(0, got, 3000));
    EXPECT_EQ(got.id, SMPP_ENQUIRE_LINK_RESP);
    EXPECT_EQ(got.seq, 0x80000001u);
    peer_.send(0, raw_pdu(SMPP_GENERIC_NACK, ESME_RINVCMDID, req.seq));
    auto [r, resp] = waiting.get();
    ASSERT_EQ(r, 0);  // the nack is the request's answer: a refusal, not a time-out
    EXPECT_EQ(resp.cmd_id, SMPP_GENERIC_NACK);
    EXPECT_EQ(resp.cmd_status, ESME_RINVCMDID);
}

TEST_F(SmppLink, CentresUnbindIsAnsweredAndFailsWhatWaits) {
    auto waiting = submit(10000);
    RawPdu req;
    ASSERT_TRUE(peer_.read(0, req));
    peer_.send(0, raw_pdu(SMPP_UNBIND, 0, 9));
    RawPdu got;
    ASSERT_TRUE(peer_.read(0, got));
    EXPECT_EQ(got.id, SMPP_UNBIND_RESP);
    EXPECT_EQ(got.seq, 9u);
    EXPECT_EQ(waiting.get().first, SMPP_ERR_LINK);
    EXPECT_FALSE(link_->open());
    EXPECT_EQ(link_->close_reason(), "unbound by the smsc");
    EXPECT_TRUE(peer_.sees_close(0));
    pdu resp;
    auto again = pdu_new(SMPP_ENQUIRE_LINK, 0);
    EXPECT_EQ(link_->request(*again, resp, 1000), SMPP_ERR_LINK);
}

// A shutdown's cut abandons what waits, alone or sent together, and every later request,
// but leaves the link open: the unbind still goes out and gets its answer, and the late
// answer of a cut request is dropped.
TEST_F(SmppLink, CutAbandonsWaitingRequestsButNotTheUnbind) {
    auto alone = submit(30000);
    RawPdu req;
    ASSERT_TRUE(peer_.read(0, req));
    auto together = std::async(std::launch::async, [this] {
        std::vector<std::unique_ptr<pdu>> reqs;
        std::vector<pdu*> wire;
        for (int i = 0; i < 2; ++i) {
            reqs.push_back(pdu_new(SMPP_SUBMIT_SM, 0));
            pdu_add_string(*reqs.back(), "", 6);
            wire.push_back(reqs.back().get());
        }
        std::vector<pdu> resps;
        std::vector<int> results;
        link_->request_many(wire, resps, results, 30000);
        return results;
    });
    RawPdu r1, r2;
    ASSERT_TRUE(peer_.read(0, r1));
    ASSERT_TRUE(peer_.read(0, r2));
    link_->cut();
    EXPECT_EQ(alone.get().first, SMPP_ERR_CUT);
    EXPECT_EQ(together.get(), (std::vector<int>{SMPP_ERR_CUT, SMPP_ERR_CUT}));
    EXPECT_TRUE(link_->open());
    EXPECT_EQ(submit(30000).get().first, SMPP_ERR_CUT) << "a later request is not sent";
    peer_.send(0, raw_pdu(SMPP_SUBMIT_SM_RESP, 0, req.seq, cstr("late")));
    auto unbound = std::async(std::launch::async, [this] { return link_->unbind(10000); });
    RawPdu u;
    ASSERT_TRUE(peer_.read(0, u));
    EXPECT_EQ(u.id, SMPP_UNBIND);
    peer_.send(0, raw_pdu(SMPP_UNBIND_RESP, 0, u.seq));
    EXPECT_TRUE(unbound.get());
}

TEST_F(SmppLink, HangingUpFailsWhatWaitsAtOnce) {
    auto waiting = submit(30000);
    RawPdu req;
    ASSERT_TRUE(peer_.read(0, req));
    peer_.close(0);
    EXPECT_EQ(waiting.get().first, SMPP_ERR_LINK);
    EXPECT_EQ(link_->close_reason(), "closed by the smsc");
}

TEST_F(SmppLink, DeliverWithoutAHookIsAnsweredWithATemporaryError) {
    peer_.send(0, raw_pdu(SMPP_DELIVER_SM, 0, 44, deliver_body("", "1", "2", "hi")));
    RawPdu got;
    ASSERT_TRUE(peer_.read(0, got));
    EXPECT_EQ(got.id, SMPP_DELIVER_SM_RESP);
    EXPECT_EQ(got.status, ESME_RX_T_APPN);
    EXPECT_EQ(got.seq, 44u);
}

TEST_F(SmppLink, UnknownRequestsAreNackedAndAlertsIgnored) {
    peer_.send(0, raw_pdu(SMPP_ALERT_NOTIFICATION, 0, 5, cstr("x")));
    peer_.send(0, raw_pdu(0x00000103u, 0, 6));  // data_sm: not handled here
    RawPdu got;
    ASSERT_TRUE(peer_.read(0, got));
    EXPECT_EQ(got.id, SMPP_GENERIC_NACK);
    EXPECT_EQ(got.status, ESME_RINVCMDID);
    EXPECT_EQ(got.seq, 6u);
    EXPECT_TRUE(peer_.quiet(0, 100));
}

TEST_F(SmppLink, OverLongPduIsNackedSkippedAndTheLinkGoesOn) {
    std::string big = raw_pdu(SMPP_DELIVER_SM, 0, 12, std::string(SMPP_PDU_MAX, 'x'));
    peer_.send(0, big);
    RawPdu got;
    ASSERT_TRUE(peer_.read(0, got));
    EXPECT_EQ(got.id, SMPP_GENERIC_NACK);
    EXPECT_EQ(got.status, ESME_RINVCMDLEN);
    peer_.send(0, raw_pdu(SMPP_ENQUIRE_LINK, 0, 13));
    ASSERT_TRUE(peer_.read(0, got));
    EXPECT_EQ(got.id, SMPP_ENQUIRE_LINK_RESP);
    EXPECT_EQ(got.seq, 13u);
}

TEST_F(SmppLink, ImpossibleLengthClosesTheLink) {
    peer_.send(0, be32(8) + be32(SMPP_ENQUIRE_LINK) + be32(0) + be32(1));
    RawPdu got;
    ASSERT_TRUE(peer_.read(0, got));
    EXPECT_EQ(got.id, SMPP_GENERIC_NACK);
    EXPECT_TRUE(peer_.sees_close(0));
    EXPECT_FALSE(link_->open());
}

TEST_F(SmppLink, SequenceAtItsTopIsUsedThenRestartsAtOne) {
    link_->set_sequence(SMPP_SEQUENCE_MAX);
    EXPECT_EQ(link_->next_sequence(), SMPP_SEQUENCE_MAX);
    EXPECT_EQ(link_->next_sequence(), 1u);
}

TEST_F(SmppLink, SilenceIsMeasuredFromTheLastPduRead) {
    peer_.send(0, raw_pdu(SMPP_ENQUIRE_LINK, 0, 3));
    RawPdu got;
    ASSERT_TRUE(peer_.read(0, got));
    EXPECT_LT(link_->silent_ms(), 5000);
}

TEST(SmppLinkConnect, NoListenerAndNoHostFail) {
    tcp_init();
    int port;
    {
        Peer gone;
        port = gone.port();
        gone.close_listener();
    }
    smpp_link l("transmitter");
    Status st = l.connect("127.0.0.1", port);
    ASSERT_FALSE(st);
    EXPECT_FALSE(st.error().reason.empty());
    EXPECT_EQ(l.connect("", port).reason(), "no smsc host set");
}

TEST(SmppStatusText, KnownAndUnknownStatuses) {
    EXPECT_EQ(smpp_error(ESME_RTHROTTLED), "Throttling error");
    EXPECT_EQ(smpp_error(SMPP_ERR_TIMEOUT), "No response from smsc in time");
    EXPECT_EQ(smpp_error(0x12345), "Failed to identify error.");
    EXPECT_EQ(smpp_status_text(0x12345), nullptr);
}

}  // namespace
}  // namespace tolvane

namespace tolvane {
namespace {

// A hook on the reader thread that lets go of the last reference to its link: the link goes
// (its socket closed, its reader joined later) and the reader touches nothing of it after.
// The sanitizer build turns a reader that goes on with the freed link into a failure.
TEST(SmppLinkOwners, AHookOnTheReaderMayDropTheLastReference) {
    enum class By { deliver_hook, close_hook };
    for (By by : {By::deliver_hook, By::close_hook}) {
        SCOPED_TRACE(by == By::deliver_hook ? "deliver hook" : "close hook");
        Peer peer;
        std::shared_ptr<smpp_link> owner;
        std::promise<void> dropped;
        auto drop = [&] {
            owner.reset();  // the last reference, on the reader thread
            dropped.set_value();
        };
        if (by == By::deliver_hook)
            owner = std::make_shared<smpp_link>("receiver",
                                                [&](smpp_link&, std::unique_ptr<pdu>) { drop(); });
        else
            owner = std::make_shared<smpp_link>("receiver");
        std::weak_ptr<smpp_link> seen = owner;
        if (by == By::close_hook) owner->set_close_hook(drop);
        Status connected = owner->connect("127.0.0.1", peer.port());
        ASSERT_TRUE(connected) << connected.reason();
        ASSERT_EQ(peer.accept(), 0);
        if (by == By::deliver_hook)
            peer.send(0, raw_pdu(SMPP_DELIVER_SM, 0, 7, deliver_body("", "1", "2", "hi")));
        else
            peer.close(0);
        ASSERT_EQ(dropped.get_future().wait_for(std::chrono::seconds(10)),
                  std::future_status::ready);
        // The reader lets go of its own reference once the hook has returned.
        for (int i = 0; i < 1000 && !seen.expired(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_TRUE(seen.expired());
        if (by == By::deliver_hook) {
            RawPdu got;
            EXPECT_FALSE(peer.read(0, got)) << "the released link's socket is closed";
        }
    }
}

}  // namespace
}  // namespace tolvane
