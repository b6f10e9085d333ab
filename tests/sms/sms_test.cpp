// The transport layer's shared parts: mode names, the XML and robot factories, the
// health text, exact-kind casts of received messages and the state watcher.
#include "sms/transport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "foundation/kind.h"
#include "sms/receiver.h"
#include "sms/sms_robot.h"
#include "sms/sms_xml.h"

namespace tolvane {
namespace {

using namespace std::chrono_literals;

// A transport that sends nothing, can be put down, and tells its state on demand.
struct probe : SmsTransport {
    probe() : SmsTransport(SMS_XML, "probe") {}
    SendResult send(const SmsOut&) override { return Sent{}; }
    bool up() const override { return is_up; }
    void tell() { state_changed(); }
    bool is_up = true;
};
struct other_probe : probe {};

struct counting_message : sms_message {};
struct other_message : sms_message {};
struct derived_message : counting_message {};

// ---- transports and kinds ----

TEST(SmsModeName, EachModeAndBeyond) {
    const std::pair<int, const char*> rows[] = {
        {SMS_GSM, "GSM modem"}, {SMS_SMPP, "SMPP"}, {SMS_XML, "XML"}, {SMS_SMTP, "SMTP"},
        {SMS_ROBOT, "robot"},   {SMS_NONE, "none"}, {-1, "none"},     {6, "none"},
    };
    for (const auto& [mode, name] : rows) {
        SCOPED_TRACE(mode);
        EXPECT_STREQ(sms_mode_name(mode), name);
    }
}

TEST(SmsTransport, XmlSucceedsAndSendsNothing) {
    std::unique_ptr<SmsTransport> s = sms_xml_init();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(sms_mode(s.get()), SMS_XML);
    EXPECT_EQ(s->name(), "XML");
    SendResult r = s->send({.from = "+100", .to = "+200", .text = "hello"});
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->parts, 1);
    EXPECT_TRUE(s->up());
    EXPECT_EQ(s->state_text(), "up");
}

TEST(SmsTransport, RobotTakesItsRecord) {
    robot_init r;
    r.cmdline = "/bin/true";
    std::unique_ptr<SmsTransport> s = sms_robot_init(r);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(sms_mode(s.get()), SMS_ROBOT);
}

TEST(SmsTransport, StateTextFollowsUp) {
    probe d;
    EXPECT_EQ(d.state_text(), "up");
    d.is_up = false;
    EXPECT_EQ(d.state_text(), "down");
}

TEST(KindCast, OnlyTheExactKindComesBack) {
    counting_message mine;
    other_message other;
    derived_message derived;
    sms_message* m = &mine;
    EXPECT_EQ(kind_cast<counting_message>(m), &mine);
    EXPECT_EQ(kind_cast<counting_message>(static_cast<sms_message*>(&other)), nullptr);
    // A kind derived from another is its own kind: a transport never mistakes it for its own.
    EXPECT_EQ(kind_cast<counting_message>(static_cast<sms_message*>(&derived)), nullptr);
    EXPECT_EQ(kind_cast<counting_message>(static_cast<sms_message*>(nullptr)), nullptr);
    const sms_message* cm = &mine;
    EXPECT_EQ(kind_cast<const counting_message>(cm), &mine);
    probe t;
    SmsTransport* base = &t;
    EXPECT_EQ(kind_cast<probe>(base), &t);
    EXPECT_EQ(kind_cast<other_probe>(base), nullptr);
}

TEST(SmsMode, NoTransportIsNone) {
    EXPECT_EQ(sms_mode(static_cast<const SmsTransport*>(nullptr)), SMS_NONE);
    probe t;
    EXPECT_EQ(sms_mode(&t), SMS_XML);
}

// ---- the state watcher ----

TEST(SmsStateWatcher, EveryChangeIsToldUntilTheWatcherIsCleared) {
    probe s;
    EXPECT_FALSE(s.tells_state()) << "the default transport makes no promise";
    s.tell();  // no watcher: nothing happens
    std::atomic<int> told{0};
    s.set_state_watcher([&] { ++told; });
    s.tell();
    s.tell();
    EXPECT_EQ(told.load(), 2);
    s.set_state_watcher(nullptr);
    s.tell();
    EXPECT_EQ(told.load(), 2);
}

TEST(SmsStateWatcher, ClearingWaitsForACallUnderWay) {
    probe s;
    std::mutex m;
    std::condition_variable cv;
    bool inside = false, release = false, after_return = false;
    s.set_state_watcher([&] {
        std::unique_lock<std::mutex> g(m);
        inside = true;
        cv.notify_all();
        cv.wait(g, [&] { return release; });
    });
    std::thread teller([&] { s.tell(); });
    {
        std::unique_lock<std::mutex> g(m);
        cv.wait(g, [&] { return inside; });
    }
    std::atomic<bool> cleared{false};
    std::thread clearer([&] {
        s.set_state_watcher(nullptr);
        cleared = true;
    });
    // The watcher is still running: clearing must not have returned.
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(cleared.load());
    {
        std::lock_guard<std::mutex> g(m);
        release = true;
        after_return = cleared.load();
    }
    cv.notify_all();
    teller.join();
    clearer.join();
    EXPECT_FALSE(after_return);
    EXPECT_TRUE(cleared.load());
}

}  // namespace
}  // namespace tolvane
