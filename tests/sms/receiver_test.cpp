// The receiver every receiving transport runs, and the SmsTransport defaults, over a fake
// message source and a recording sink.
#include "sms/receiver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "sms/recording_sink.h"
#include "sms/transport.h"

namespace tolvane {
namespace {

using namespace std::chrono_literals;

struct FakeMessage : sms_message {
    std::string text;
    int read_error = 0;
};

// A source whose messages the test queues; it records every wait's limit and every
// answer, and waits on a condition variable as a real transport does.
class FakeSource : public SmsTransport, public MessageSource {
  public:
    explicit FakeSource(int threads = 2) : SmsTransport(SMS_SMPP, "fake"), threads_(threads), rx(*this, *this) {}

    int inbound_threads() const override { return threads_; }
    SendResult send(const SmsOut& sms) override {
        std::lock_guard<std::mutex> g(m);
        sends.push_back(std::string(sms.to));
        if (std::string(sms.to) == "fail") return SendError{SendFailure::failed, 5, "refused"};
        return Sent{"id-" + std::string(sms.to), 1};
    }
    Status receive(InboundSink& sink, std::stop_token stop) override { return rx.run(sink, stop); }

    void push(const std::string& text, int read_error = 0) {
        auto msg = std::make_unique<FakeMessage>();
        msg->text = text;
        msg->read_error = read_error;
        {
            std::lock_guard<std::mutex> g(m);
            inbox.push_back(std::move(msg));
        }
        cv.notify_all();
    }

    std::unique_ptr<sms_message> wait(int timeout_msec, int& err) override {
        std::unique_lock<std::mutex> g(m);
        waits.push_back(timeout_msec);
        auto ready = [this] { return woken || !inbox.empty() || fail_with != 0; };
        if (timeout_msec < 0)
            cv.wait(g, ready);
        else
            cv.wait_for(g, std::chrono::milliseconds(timeout_msec), ready);
        woken = false;
        if (inbox.empty()) {
            err = fail_with;
            return nullptr;
        }
        std::unique_ptr<sms_message> out = std::move(inbox.front());
        inbox.pop_front();
        return out;
    }
    void interrupt() override {
        {
            std::lock_guard<std::mutex> g(m);
            woken = true;
        }
        cv.notify_all();
    }
    int msg_recv(sms_message* msg) override { return static_cast<FakeMessage*>(msg)->read_error; }
    const char* msg_from(sms_message*) override { return "+61400000001"; }
    const char* msg_to(sms_message*) override { return "+61400000002"; }
    const char* msg_body(sms_message* msg) override {
        return static_cast<FakeMessage*>(msg)->text.c_str();
    }
    int msg_accept(sms_message* msg, int, const char*) override {
        std::lock_guard<std::mutex> g(m);
        answers.push_back("accept " + static_cast<FakeMessage*>(msg)->text);
        return 0;
    }
    int msg_reject(sms_message* msg, int code, const char*) override {
        std::lock_guard<std::mutex> g(m);
        answers.push_back("reject " + static_cast<FakeMessage*>(msg)->text + " " +
                          std::to_string(code));
        return 0;
    }
    void msg_free(std::unique_ptr<sms_message>& msg) override {
        ++freed;
        msg.reset();
    }
    void error(int err, std::string& bf) override { bf = "fake error " + std::to_string(err); }

    std::vector<std::string> answers_now() {
        std::lock_guard<std::mutex> g(m);
        return answers;
    }
    std::vector<int> waits_now() {
        std::lock_guard<std::mutex> g(m);
        return waits;
    }

    std::mutex m;
    std::condition_variable cv;
    std::deque<std::unique_ptr<sms_message>> inbox;
    std::vector<int> waits;
    std::vector<std::string> answers;
    std::vector<std::string> sends;
    bool woken = false;
    int fail_with = 0;
    std::atomic<int> freed{0};

  private:
    int threads_;

  public:
    Receiver rx;
};

TEST(Receiver, TheVerdictDecidesTheAnswerAndAnUnreadMessageIsRefusedForLater) {
    FakeSource src;
    test::RecordingSink sink;
    sink.decide = [](const InboundSms& in) {
        if (in.text == "keep") return InboundVerdict{true, 0, "OK", false};
        return InboundVerdict{false, 0x45, "full", false};
    };
    src.push("keep");
    src.push("drop");
    src.push("unread", 9);
    std::jthread rx([&](std::stop_token st) { EXPECT_TRUE(src.receive(sink, st).ok()); });
    ASSERT_TRUE(sink.wait_for(2));
    for (int i = 0; i < 500 && src.freed.load() < 3; ++i) std::this_thread::sleep_for(2ms);
    rx.request_stop();
    rx.join();
    std::vector<std::string> a = src.answers_now();
    std::sort(a.begin(), a.end());
    EXPECT_EQ(a, (std::vector<std::string>{"accept keep", "reject drop 69",
                                           "reject unread " + std::to_string(RECEIVE_RETRY_LATER)}));
    EXPECT_EQ(src.freed.load(), 3);
    EXPECT_EQ(sink.texts().size(), 2u) << "an unread message never reaches the sink";
    EXPECT_EQ(sink.got()[0].from, "+61400000001");
    EXPECT_EQ(sink.got()[0].to, "+61400000002");
}

TEST(Receiver, EachWaitTakesWhatIdleAskedAndAVerdictCanAskAgainAtOnce) {
    FakeSource src;
    test::RecordingSink sink;
    std::atomic<long> next{-1};
    sink.on_idle = [&] { return next.load(); };
    sink.decide = [&](const InboundSms&) {
        next = 250;  // a part now waits for the rest: a deadline
        return InboundVerdict{true, 0, "OK", true};
    };
    std::jthread rx([&](std::stop_token st) { EXPECT_TRUE(src.receive(sink, st).ok()); });
    ASSERT_TRUE(sink.wait_idles(1));
    src.push("part 1 of 2");
    ASSERT_TRUE(sink.wait_for(1));
    // The wait without end is ended by the verdict; idle() is asked and its deadline taken.
    ASSERT_TRUE(sink.wait_idles(2, 5000));
    for (int i = 0; i < 500; ++i) {
        std::vector<int> w = src.waits_now();
        if (!w.empty() && w.back() == 250) break;
        std::this_thread::sleep_for(2ms);
    }
    rx.request_stop();
    rx.join();
    std::vector<int> w = src.waits_now();
    ASSERT_GE(w.size(), 3u);
    EXPECT_EQ(w.front(), -1);
    EXPECT_NE(std::find(w.begin(), w.end(), 250), w.end());
}

TEST(Receiver, AStopEndsAWaitWithoutEndAtOnce) {
    FakeSource src;
    test::RecordingSink sink;
    std::atomic<bool> ended{false};
    std::jthread rx([&](std::stop_token st) {
        EXPECT_TRUE(src.receive(sink, st).ok());
        ended = true;
    });
    ASSERT_TRUE(sink.wait_idles(1));
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(ended.load());
    auto t0 = std::chrono::steady_clock::now();
    rx.request_stop();
    rx.join();
    EXPECT_TRUE(ended.load());
    // The stop callback interrupted the wait: not a poll's worth later.
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
}

TEST(Receiver, AStopWaitsForTheSmsInHandAndTheQueuedOnesAreAnswered) {
    FakeSource src(1);  // one worker: the second SMS waits in the queue
    test::RecordingSink sink;
    std::mutex hold;
    std::unique_lock<std::mutex> held(hold);
    std::atomic<int> entered{0};
    sink.during = [&] {
        ++entered;
        std::lock_guard<std::mutex> g(hold);
    };
    std::atomic<bool> ended{false};
    src.push("first");
    src.push("second");
    std::jthread rx([&](std::stop_token st) {
        EXPECT_TRUE(src.receive(sink, st).ok());
        ended = true;
    });
    for (int i = 0; i < 1000 && entered.load() == 0; ++i) std::this_thread::sleep_for(2ms);
    ASSERT_EQ(entered.load(), 1);
    rx.request_stop();
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(ended.load()) << "returned while a worker held an SMS";
    held.unlock();
    rx.join();
    EXPECT_TRUE(ended.load());
    EXPECT_EQ(sink.texts(), (std::vector<std::string>{"first", "second"}));
    EXPECT_EQ(src.answers_now(), (std::vector<std::string>{"accept first", "accept second"}));
}

TEST(Receiver, AWaitErrorEndsReceivingWithThatError) {
    FakeSource src;
    test::RecordingSink sink;
    src.push("before");
    src.fail_with = 7;
    std::stop_source never;
    Status s = src.receive(sink, never.get_token());
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().code, 7);
    EXPECT_EQ(s.reason(), "fake error 7");
    EXPECT_EQ(sink.texts(), std::vector<std::string>{"before"});  // handled before it ended
}

TEST(SmsTransportDefaults, AWindowSendsOneByOneInOrderAndAStopLeavesTheRestCut) {
    FakeSource t;
    std::vector<SmsOut> items(4);
    const char* to[] = {"a", "fail", "c", "d"};
    for (std::size_t i = 0; i < items.size(); ++i) items[i].to = to[i];
    std::vector<std::string> order;
    WindowHooks hooks;
    hooks.go_on = [&] {
        order.push_back("go_on");
        return order.size() < 9;  // the third round's go_on stops it
    };
    hooks.before = [&](std::span<const std::size_t> idx) {
        EXPECT_EQ(idx.size(), 1u);
        order.push_back("before " + std::to_string(idx[0]));
        return true;
    };
    hooks.after = [&](std::size_t i, const SendResult& r) {
        order.push_back("after " + std::to_string(i) + (r.ok() ? " ok" : " failed"));
    };
    std::vector<SendResult> out = t.send_window(items, hooks);
    EXPECT_EQ(order, (std::vector<std::string>{"go_on", "before 0", "after 0 ok", "go_on",
                                               "before 1", "after 1 failed", "go_on",
                                               "before 2", "after 2 ok", "go_on"}));
    ASSERT_EQ(out.size(), 4u);
    ASSERT_TRUE(out[0].ok());
    EXPECT_EQ(out[0]->message_id, "id-a");
    EXPECT_EQ(out[1].error().kind, SendFailure::failed);
    EXPECT_EQ(out[1].error().code, 5);
    EXPECT_TRUE(out[2].ok());
    ASSERT_FALSE(out[3].ok());
    EXPECT_EQ(out[3].error().kind, SendFailure::cut);
    EXPECT_EQ(out[3].error().code, 0);
    EXPECT_EQ(t.sends, (std::vector<std::string>{"a", "fail", "c"}));
}

TEST(SmsTransportDefaults, ARefusedBeforeSendsNothingFromThere) {
    FakeSource t;
    std::vector<SmsOut> items(2);
    items[0].to = "a";
    items[1].to = "b";
    WindowHooks hooks;
    hooks.before = [](std::span<const std::size_t> idx) { return idx[0] == 0; };
    std::vector<SendResult> out = t.send_window(items, hooks);
    EXPECT_TRUE(out[0].ok());
    EXPECT_EQ(out[1].error().kind, SendFailure::cut);
    EXPECT_EQ(t.sends, std::vector<std::string>{"a"});
}

TEST(SmsTransportDefaults, NoReceiverAndAModeName) {
    struct SendOnly : SmsTransport {
        SendOnly() : SmsTransport(SMS_ROBOT, "only") {}
        SendResult send(const SmsOut&) override { return Sent{}; }
    } t;
    EXPECT_FALSE(t.can_receive());
    test::RecordingSink sink;
    std::stop_source never;
    Status s = t.receive(sink, never.get_token());
    EXPECT_FALSE(s.ok());
    EXPECT_EQ(s.reason(), "the only transport receives no SMS");
    EXPECT_STREQ(sms_mode_name(SMS_ROBOT), "robot");
    EXPECT_STREQ(sms_mode_name(SMS_NONE), "none");
}

}  // namespace
}  // namespace tolvane
