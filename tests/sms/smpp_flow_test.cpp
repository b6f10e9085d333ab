// Flow control of an SMPP bind over a fake clock: the window of outstanding requests,
// the reconnect backoff and the pacing of submits.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "sms/sms_smpp_flow.h"

namespace tolvane {
namespace {

TEST(SmppWindow, HoldsUpToItsCapacityAndEachAnswerFreesOnePlace) {
    smpp_window w(10);
    for (std::uint32_t seq = 1; seq <= 10; ++seq) EXPECT_TRUE(w.add(seq, 30000)) << seq;
    EXPECT_TRUE(w.full());
    EXPECT_FALSE(w.add(11, 30000));  // the eleventh waits for a place
    EXPECT_TRUE(w.complete(4));
    EXPECT_FALSE(w.full());
    EXPECT_TRUE(w.add(11, 30000));
    EXPECT_EQ(w.size(), 10u);
}

TEST(SmppWindow, ASequenceNumberWaitsOnlyOnce) {
    smpp_window w(3);
    EXPECT_TRUE(w.add(7, 100));
    EXPECT_FALSE(w.add(7, 200));
    EXPECT_EQ(w.size(), 1u);
}

TEST(SmppWindow, AMissingAnswerExpiresThatRequestAlone) {
    smpp_window w(10);
    // Ten submits sent 10 ms apart, each allowed 30 s.
    for (std::uint32_t seq = 1; seq <= 10; ++seq) w.add(seq, 30000 + 10 * seq);
    // Every answer but the one for 5 comes.
    for (std::uint32_t seq = 1; seq <= 10; ++seq) {
        if (seq == 5) continue;
        EXPECT_TRUE(w.complete(seq));
    }
    EXPECT_TRUE(w.expire(30049).empty());  // not yet: its deadline is 30050
    EXPECT_EQ(w.expire(30050), std::vector<std::uint32_t>{5});
    EXPECT_EQ(w.size(), 0u);
    // Its answer, arriving now, is late: it frees nothing and matches nothing.
    EXPECT_FALSE(w.complete(5));
}

TEST(SmppWindow, ExpiryComesOldestDeadlineFirstWhateverTheSequenceOrder) {
    smpp_window w(10);
    w.add(9, 300);
    w.add(2, 100);
    w.add(5, 200);
    w.add(1, 400);
    EXPECT_EQ(w.next_deadline(), 100);
    EXPECT_EQ(w.expire(300), (std::vector<std::uint32_t>{2, 5, 9}));
    EXPECT_EQ(w.next_deadline(), 400);
    EXPECT_EQ(w.clear(), std::vector<std::uint32_t>{1});
    EXPECT_EQ(w.next_deadline(), -1);
}

TEST(SmppWindow, ACapacityBelowOneIsOne) {
    smpp_window w(0);
    EXPECT_EQ(w.capacity(), 1u);
    EXPECT_TRUE(w.add(1, 10));
    EXPECT_FALSE(w.add(2, 10));
}

TEST(SmppBackoff, DoublesFromTheFirstDelayToTheMaximumWithinItsJitter) {
    smpp_backoff b(1000, 60000);
    const long steps[] = {1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000};
    for (long step : steps) {
        SCOPED_TRACE(step);
        // The least and the greatest jitter: 3/4 and 5/4 of the step, never past max.
        smpp_backoff lo = b, hi = b;
        EXPECT_EQ(lo.next(0), step - step / 4);
        EXPECT_EQ(hi.next(static_cast<std::uint32_t>(step / 2)),
                  std::min(step + step / 4, 60000L));
        long d = b.next(12345);
        EXPECT_GE(d, step - step / 4);
        EXPECT_LE(d, std::min(step + step / 4, 60000L));
    }
    EXPECT_EQ(b.attempts(), 8);
}

TEST(SmppBackoff, ASuccessfulBindStartsAgainFromTheFirstDelay) {
    smpp_backoff b(1000, 60000);
    for (int i = 0; i < 5; ++i) b.next(0);
    b.reset();
    EXPECT_EQ(b.attempts(), 0);
    EXPECT_EQ(b.next(0), 750);
}

TEST(SmppBackoff, JitterSpreadsGatewaysThatLostTheSameCentre) {
    std::vector<long> seen;
    for (std::uint32_t rnd : {0u, 100u, 250u, 400u, 500u}) {
        smpp_backoff b(1000, 60000);
        seen.push_back(b.next(rnd));
    }
    EXPECT_EQ(seen, (std::vector<long>{750, 850, 1000, 1150, 1250}));
}

TEST(SmppBackoff, AMaximumBelowTheFirstDelayIsTheFirstDelay) {
    smpp_backoff b(5000, 1000);
    EXPECT_LE(b.next(0xFFFFFFFFu), 5000);
    EXPECT_LE(b.next(0xFFFFFFFFu), 5000);
}

TEST(SmppPacer, WithoutARateEverySubmitGoesAtOnce) {
    smpp_pacer p(0);
    for (long t = 0; t < 5; ++t) EXPECT_EQ(p.reserve(1000), 0);
}

TEST(SmppPacer, ARateSpacesSubmitsEvenlyAndSavesNoBurst) {
    smpp_pacer p(50);  // one every 20 ms
    long now = 1000;
    EXPECT_EQ(p.reserve(now), 0);
    EXPECT_EQ(p.reserve(now), 20);
    EXPECT_EQ(p.reserve(now + 5), 15);
    EXPECT_EQ(p.reserve(now + 20), 0);
    // Idle for a second: the next goes at once, the one after it 20 ms later.
    now += 1020;
    EXPECT_EQ(p.reserve(now), 0);
    EXPECT_EQ(p.reserve(now), 20);
    // 50 submits take a second of the clock, whatever the order of asking.
    smpp_pacer q(50);
    int sent = 0;
    for (long t = 0; t < 1000; ++t)
        while (q.reserve(t) == 0) ++sent;
    EXPECT_EQ(sent, 50);
}

TEST(SmppPacer, ThrottlingPausesLongerForEachAnswerInARowUntilOneGoesThrough) {
    smpp_pacer p(0, 500);
    p.throttled(0);
    EXPECT_EQ(p.reserve(0), 500);
    EXPECT_EQ(p.reserve(499), 1);
    EXPECT_EQ(p.reserve(500), 0);
    p.throttled(500);
    EXPECT_EQ(p.reserve(500), 1000);
    const long pauses[] = {2000, 4000, 8000, 8000};  // at most 16 times the first
    long now = 1500;
    for (long pause : pauses) {
        SCOPED_TRACE(pause);
        p.throttled(now);
        EXPECT_EQ(p.reserve(now), pause);
        now += pause;
    }
    EXPECT_EQ(p.throttles(), 6);
    p.accepted();
    EXPECT_EQ(p.throttles(), 0);
    p.throttled(now);
    EXPECT_EQ(p.reserve(now), 500);
}

TEST(SmppPacer, AThrottlePauseHoldsAConfiguredRateToo) {
    smpp_pacer p(10, 300);
    EXPECT_EQ(p.reserve(0), 0);
    p.throttled(10);
    EXPECT_EQ(p.reserve(10), 300);
    EXPECT_EQ(p.reserve(310), 0);
    EXPECT_EQ(p.reserve(310), 100);
}

}  // namespace
}  // namespace tolvane
