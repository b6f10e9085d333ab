// Transport dispatch: the table rows, the handle, the wait loop and its callback
// contract, message threads and error texts. The loop is driven through a
// scripted row whose wait returns what each test lines up.
#include "sms/sms.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "foundation/thread.h"
#include "sms/sms_robot.h"
#include "sms/sms_xml.h"
#include "sms/null_transport.h"

namespace tolvane {
namespace {

using namespace std::chrono_literals;

// ---- a scripted row ----

struct counting_message : sms_message {
    explicit counting_message(std::atomic<int>* gone) : gone_(gone) {}
    ~counting_message() override { ++*gone_; }
    std::atomic<int>* gone_;
    int id = 0;
};

struct script_step {
    int err = 0;
    int msg_id = 0;  // 0: no message
};

std::atomic<int> g_state_freed{0};

struct scripted : sms {
    scripted() : sms(SMS_XML) {}
    ~scripted() override { ++g_state_freed; }

    std::mutex m;
    std::deque<script_step> steps;
    std::vector<int> err_on_entry;  // the error code each wait call started with
    std::atomic<int> waits{0};
    std::atomic<int> msgfrees{0};
    std::atomic<int> gone{0};
    std::atomic<int>* freed = nullptr;
    int last_code = 0;
    std::string last_reason, last_from, last_to, last_text;
    const smtp_message_extra* last_data = nullptr;

    int send(const smtp_message_extra* x, std::string_view from, std::string_view to,
             std::string_view text) override {
        last_data = x;
        last_from = from;
        last_to = to;
        last_text = text;
        return 42;
    }
    std::unique_ptr<sms_message> wait(int, int& err) override {
        std::lock_guard<std::mutex> g(m);
        ++waits;
        err_on_entry.push_back(err);
        if (steps.empty()) return nullptr;
        script_step st = steps.front();
        steps.pop_front();
        if (st.err) err = st.err;
        if (!st.msg_id) return nullptr;
        auto msg = std::make_unique<counting_message>(&gone);
        msg->id = st.msg_id;
        return msg;
    }
    void error(int err, std::string& bf) override {
        if (err == 99)
            bf = std::string(2000, 'x');
        else if (err != 0)
            bf = "scripted error " + std::to_string(err);
    }
    int msg_recv(sms_message*) override { return 11; }
    const char* msg_fromip(sms_message*) override { return "text"; }
    const char* msg_from(sms_message*) override { return "text"; }
    const char* msg_to(sms_message*) override { return "text"; }
    const char* msg_body(sms_message*) override { return "text"; }
    int msg_reject(sms_message*, int code, const char* reason) override {
        last_code = -code;
        last_reason = reason ? reason : "(null)";
        return 0;
    }
    int msg_accept(sms_message*, int code, const char* reason) override {
        last_code = code;
        last_reason = reason ? reason : "(null)";
        return 0;
    }
    void msg_free(std::unique_ptr<sms_message>& msg) override {
        ++msgfrees;
        msg.reset();
    }
};

scripted* S(sms* d) {
    return static_cast<scripted*>(d);
}

std::unique_ptr<sms> scripted_handle() {
    auto s = std::make_unique<scripted>();
    s->idle_pause_ms = 1;
    return s;
}

template <typename Pred>
bool wait_until(Pred p, std::chrono::milliseconds limit = 5000ms) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!p()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// A callback that records what it saw, and ends the loop on the nth idle tick.
struct recorder {
    std::mutex m;
    std::vector<int> events;
    std::vector<int> codes;
    std::vector<int> msg_ids;
    std::vector<std::thread::id> threads;
    int idle_ticks_before_stop = 1;
    int continue_on_error = 1;
    bool free_message = true;
    std::atomic<int> incoming{0};
};

int record_cb(sms* s, int event, const sms_cb_arg& arg, void* data) {
    auto* r = static_cast<recorder*>(data);
    std::unique_lock<std::mutex> g(r->m);
    r->events.push_back(event);
    switch (event) {
        case SMS_WAITING:
            return --r->idle_ticks_before_stop > 0;
        case SMS_ERRORCODE:
            r->codes.push_back(*arg.err);
            return r->continue_on_error;
        case SMS_INCOMING: {
            auto* m = static_cast<counting_message*>(arg.msg->get());
            r->msg_ids.push_back(m->id);
            r->threads.push_back(std::this_thread::get_id());
            g.unlock();
            if (r->free_message) sms_msg_free(s, *arg.msg);
            ++r->incoming;
            return 1;
        }
    }
    return 0;
}

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

// A transport that knows when it is down.
struct downable : scripted {
    bool is_up = true;
    bool up() const override { return is_up; }
};

TEST(SmsTransport, StateTextFollowsUp) {
    downable d;
    EXPECT_EQ(d.state_text(), "up");
    d.is_up = false;
    EXPECT_EQ(d.state_text(), "down");
}

struct other_message : sms_message {};
struct derived_message : counting_message {
    using counting_message::counting_message;
};

TEST(KindCast, OnlyTheExactKindComesBack) {
    std::atomic<int> gone{0};
    counting_message mine(&gone);
    other_message other;
    derived_message derived(&gone);
    sms_message* m = &mine;
    EXPECT_EQ(kind_cast<counting_message>(m), &mine);
    EXPECT_EQ(kind_cast<counting_message>(static_cast<sms_message*>(&other)), nullptr);
    // A kind derived from another is its own kind: a transport never mistakes it for its own.
    EXPECT_EQ(kind_cast<counting_message>(static_cast<sms_message*>(&derived)), nullptr);
    EXPECT_EQ(kind_cast<counting_message>(static_cast<sms_message*>(nullptr)), nullptr);
    const sms_message* cm = &mine;
    EXPECT_EQ(kind_cast<const counting_message>(cm), &mine);
    auto t = scripted_handle();
    EXPECT_EQ(kind_cast<scripted>(t.get()), t.get());
    EXPECT_EQ(kind_cast<downable>(t.get()), nullptr);
}

TEST(SmsMode, NullHandleIsZeroAndNoTransportIsNone) {
    EXPECT_EQ(sms_mode(static_cast<const sms*>(nullptr)), 0);
    EXPECT_EQ(sms_mode(static_cast<const SmsTransport*>(nullptr)), SMS_NONE);
}

TEST(SmsFree, NullIsHarmlessAndStateIsReleased) {
    std::unique_ptr<sms> none;
    sms_free(none);
    int before = g_state_freed;
    auto s = scripted_handle();
    sms_free(s);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(g_state_freed, before + 1);
}

// ---- errors ----

TEST(SmsError, NullHandleAndMinusOneAreParameterErrors) {
    std::string bf = "old";
    EXPECT_EQ(sms_error(nullptr, 3, bf), "Parameter incorrect or NULL");
    auto s = scripted_handle();
    EXPECT_EQ(sms_error(s.get(), -1, bf), "Parameter incorrect or NULL");
    EXPECT_EQ(sms_error(s.get(), 0, bf), "No Error Reported");
    EXPECT_EQ(sms_error(s.get(), 5, bf), "scripted error 5");
    sms_free(s);
}

TEST(SmsError, TextIsCutAt999Characters) {
    auto s = scripted_handle();
    std::string bf;
    EXPECT_EQ(sms_error(s.get(), 99, bf).size(), 999u);
    sms_free(s);
}

// ---- forwarding ----

TEST(SmsForward, NullHandleOrMessageGiveTheirResults) {
    counting_message* none = nullptr;
    EXPECT_EQ(sms_send(nullptr, nullptr, "a", "b", "c"), -1);
    EXPECT_EQ(sms_wait(nullptr, 10, record_cb, nullptr), -1);
    EXPECT_EQ(sms_msg_recv(nullptr, none), -1);
    EXPECT_EQ(sms_msg_accept(nullptr, none, 250, nullptr), -1);
    EXPECT_EQ(sms_msg_reject(nullptr, none, 500, nullptr), -1);
    EXPECT_EQ(sms_msg_fromip(nullptr, none), nullptr);
    EXPECT_EQ(sms_msg_from(nullptr, none), nullptr);
    EXPECT_EQ(sms_msg_to(nullptr, none), nullptr);
    EXPECT_EQ(sms_msg_body(nullptr, none), nullptr);
    auto s = scripted_handle();
    EXPECT_EQ(sms_wait(s.get(), 10, nullptr, nullptr), -1);
    EXPECT_EQ(sms_msg_recv(s.get(), none), -1);
    EXPECT_EQ(sms_msg_body(s.get(), none), nullptr);
    std::unique_ptr<sms_message> nomsg;
    sms_msg_free(s.get(), nomsg);  // nothing to free
    EXPECT_EQ(S(s.get())->msgfrees, 0);
    sms_free(s);
}

TEST(SmsForward, OperationsReachTheRowWithTheirArguments) {
    auto s = scripted_handle();
    std::atomic<int> gone{0};
    std::unique_ptr<sms_message> m = std::make_unique<counting_message>(&gone);
    smtp_message_extra* extra = reinterpret_cast<smtp_message_extra*>(&gone);
    EXPECT_EQ(sms_send(s.get(), extra, "from", "to", "text"), 42);
    auto* st = S(s.get());
    EXPECT_EQ(st->last_data, extra);
    EXPECT_EQ(st->last_from, "from");
    EXPECT_EQ(st->last_to, "to");
    EXPECT_EQ(st->last_text, "text");
    EXPECT_EQ(sms_msg_recv(s.get(), m.get()), 11);
    EXPECT_EQ(sms_msg_accept(s.get(), m.get(), 250, "fine"), 0);
    EXPECT_EQ(st->last_code, 250);
    EXPECT_EQ(st->last_reason, "fine");
    EXPECT_EQ(sms_msg_reject(s.get(), m.get(), 500, nullptr), 0);
    EXPECT_EQ(st->last_code, -500);
    EXPECT_EQ(st->last_reason, "(null)");
    EXPECT_STREQ(sms_msg_to(s.get(), m.get()), "text");
    sms_msg_free(s.get(), m);
    EXPECT_EQ(m, nullptr);
    EXPECT_EQ(st->msgfrees, 1);
    EXPECT_EQ(gone, 1);
    sms_free(s);
}

// ---- the wait loop ----

TEST(SmsWait, IdleTickWithZeroEndsTheLoopWithZero) {
    auto s = scripted_handle();
    recorder r;
    r.idle_ticks_before_stop = 1;
    EXPECT_EQ(sms_wait(s.get(), 5, record_cb, &r), 0);
    EXPECT_EQ(r.events, std::vector<int>{SMS_WAITING});
    EXPECT_EQ(s->cb_data, &r);
    sms_free(s);
}

TEST(SmsWait, IdleTicksPauseBetweenPolls) {
    auto s = scripted_handle();
    EXPECT_EQ(null_transport(SMS_XML).idle_pause_ms, 1000);  // the loop's own pause
    s->idle_pause_ms = 40;
    recorder r;
    r.idle_ticks_before_stop = 4;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(sms_wait(s.get(), 0, record_cb, &r), 0);
    auto spent = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(S(s.get())->waits, 4);
    EXPECT_GE(spent, 3 * 40ms);  // a pause after each tick that went on
    sms_free(s);
}

TEST(SmsWait, ErrorWithContinueClearsTheCodeForTheNextWait) {
    auto s = scripted_handle();
    auto* st = S(s.get());
    st->steps = {{7, 0}, {0, 0}};
    recorder r;
    r.idle_ticks_before_stop = 1;
    EXPECT_EQ(sms_wait(s.get(), 0, record_cb, &r), 0);
    EXPECT_EQ(r.codes, std::vector<int>{7});
    EXPECT_EQ(r.events, (std::vector<int>{SMS_ERRORCODE, SMS_WAITING}));
    EXPECT_EQ(st->err_on_entry, (std::vector<int>{0, 0}));
    sms_free(s);
}

TEST(SmsWait, ErrorWithZeroEndsTheLoopWithThatCode) {
    auto s = scripted_handle();
    S(s.get())->steps = {{9, 0}};
    recorder r;
    r.continue_on_error = 0;
    EXPECT_EQ(sms_wait(s.get(), 0, record_cb, &r), 9);
    EXPECT_EQ(r.events, std::vector<int>{SMS_ERRORCODE});
    sms_free(s);
}

TEST(SmsWait, MessageRunsOnANewThreadAndLoopGoesOnAtOnce) {
    auto s = scripted_handle();
    auto* st = S(s.get());
    st->steps = {{0, 1}, {0, 2}};
    recorder r;
    r.idle_ticks_before_stop = 1;
    EXPECT_EQ(sms_wait(s.get(), 0, record_cb, &r), 0);
    ASSERT_TRUE(wait_until([&] { return r.incoming == 2; }));
    ASSERT_TRUE(wait_until([&] { return sms_busy(s.get()) == 0; }));
    std::lock_guard<std::mutex> g(r.m);
    EXPECT_EQ(st->waits, 3);  // two messages without a pause, then the idle tick
    ASSERT_EQ(r.threads.size(), 2u);
    EXPECT_NE(r.threads[0], std::this_thread::get_id());
    EXPECT_NE(r.threads[1], std::this_thread::get_id());
    EXPECT_EQ(st->msgfrees, 2);
    EXPECT_EQ(st->gone, 2);
    sms_free(s);
}

TEST(SmsWait, MessageLeftByTheCallbackIsReleasedByItsThread) {
    auto s = scripted_handle();
    auto* st = S(s.get());
    st->steps = {{0, 5}};
    recorder r;
    r.free_message = false;
    EXPECT_EQ(sms_wait(s.get(), 0, record_cb, &r), 0);
    ASSERT_TRUE(wait_until([&] { return sms_busy(s.get()) == 0; }));
    EXPECT_EQ(r.incoming, 1);
    EXPECT_EQ(st->msgfrees, 1);
    EXPECT_EQ(st->gone, 1);
    sms_free(s);
}

TEST(SmsWait, MessageWithAnErrorIsReportedFirstThenHandedOn) {
    auto s = scripted_handle();
    auto* st = S(s.get());
    st->steps = {{4, 3}};
    recorder r;
    EXPECT_EQ(sms_wait(s.get(), 0, record_cb, &r), 0);
    ASSERT_TRUE(wait_until([&] { return r.incoming == 1; }));
    ASSERT_TRUE(wait_until([&] { return sms_busy(s.get()) == 0; }));
    std::lock_guard<std::mutex> g(r.m);
    EXPECT_EQ(r.events.front(), SMS_ERRORCODE);
    EXPECT_EQ(r.codes, std::vector<int>{4});
    EXPECT_EQ(r.msg_ids, std::vector<int>{3});
    EXPECT_EQ(st->gone, 1);
    sms_free(s);
}

TEST(SmsWait, MessageWithAnErrorThatEndsTheLoopIsReleased) {
    auto s = scripted_handle();
    auto* st = S(s.get());
    st->steps = {{4, 3}};
    recorder r;
    r.continue_on_error = 0;
    EXPECT_EQ(sms_wait(s.get(), 0, record_cb, &r), 4);
    EXPECT_EQ(r.incoming, 0);
    EXPECT_EQ(st->msgfrees, 1);
    EXPECT_EQ(st->gone, 1);
    EXPECT_EQ(sms_busy(s.get()), 0);
    sms_free(s);
}

// ---- message threads and the handle's life ----

struct gate {
    std::mutex m;
    std::condition_variable cv;
    bool open = false;
    std::atomic<bool> entered{false};
    std::atomic<bool> left{false};
};

int blocking_cb(sms* s, int event, const sms_cb_arg& arg, void* data) {
    if (event != SMS_INCOMING) return 0;
    auto* g = static_cast<gate*>(data);
    g->entered = true;
    std::unique_lock<std::mutex> l(g->m);
    g->cv.wait(l, [&] { return g->open; });
    sms_msg_free(s, *arg.msg);
    g->left = true;
    return 1;
}

TEST(SmsFree, WaitsForMessageThreadsStillRunning) {
    auto s = scripted_handle();
    S(s.get())->steps = {{0, 1}};
    gate g;
    EXPECT_EQ(sms_wait(s.get(), 0, blocking_cb, &g), 0);
    ASSERT_TRUE(wait_until([&] { return g.entered.load(); }));
    EXPECT_EQ(sms_busy(s.get()), 1);
    std::thread opener([&] {
        std::this_thread::sleep_for(50ms);
        std::lock_guard<std::mutex> l(g.m);
        g.open = true;
        g.cv.notify_all();
    });
    int before = g_state_freed;
    sms_free(s);  // must not release the state under the running callback
    EXPECT_TRUE(g.left);
    EXPECT_EQ(g_state_freed, before + 1);
    opener.join();
}

// A callback that holds its message thread until told to go.
struct holder {
    std::mutex m;
    std::condition_variable cv;
    bool go = false;
};

int hold_cb(sms*, int event, const sms_cb_arg&, void* data) {
    if (event != SMS_INCOMING) return 0;
    auto* h = static_cast<holder*>(data);
    std::unique_lock<std::mutex> g(h->m);
    h->cv.wait(g, [h] { return h->go; });
    return 1;
}

TEST(SmsDrain, WaitsForTheMessageThreadsUpToItsLimit) {
    auto s = scripted_handle();
    holder h;
    s->cb = hold_cb;
    s->cb_data = &h;
    std::atomic<int> gone{0};
    ASSERT_EQ(sms_wait_incoming(s.get(), std::make_unique<counting_message>(&gone)), 1);
    EXPECT_FALSE(sms_drain(s.get(), 50));  // still held
    EXPECT_EQ(sms_busy(s.get()), 1);
    {
        std::lock_guard<std::mutex> g(h.m);
        h.go = true;
    }
    h.cv.notify_all();
    EXPECT_TRUE(sms_drain(s.get(), 5000));
    EXPECT_EQ(sms_busy(s.get()), 0);
    EXPECT_EQ(gone, 1);
    EXPECT_TRUE(sms_drain(nullptr, 0));
    sms_free(s);
}

TEST(SmsWaitIncoming, WithoutACallbackTheMessageIsReleased) {
    auto s = scripted_handle();
    std::atomic<int> gone{0};
    EXPECT_EQ(sms_wait_incoming(s.get(), std::make_unique<counting_message>(&gone)), 1);
    ASSERT_TRUE(wait_until([&] { return sms_busy(s.get()) == 0; }));
    EXPECT_EQ(gone, 1);
    EXPECT_EQ(sms_wait_incoming(nullptr, nullptr), 0);
    sms_free(s);
}

// ---- waits without a timer, interrupts and state changes ----

// A transport whose wait blocks until a message is lined up, its time runs out or it is
// interrupted; it records the timeout each wait was given. Set wakes to say whether it
// claims to end its wait on interrupt().
struct blocking : null_transport {
    explicit blocking(bool wakes) : null_transport(SMS_SMPP), wakes_(wakes) { idle_pause_ms = 1; }
    std::mutex m;
    std::condition_variable cv;
    std::vector<int> timeouts;  // guarded by m
    int messages = 0;           // lined up, guarded by m
    bool interrupted = false;   // guarded by m
    std::atomic<int> gone{0};

    bool wakes_on_interrupt() const override { return wakes_; }
    void interrupt() override {
        {
            std::lock_guard<std::mutex> g(m);
            interrupted = true;
        }
        cv.notify_all();
    }
    std::unique_ptr<sms_message> wait(int timeout_msec, int&) override {
        std::unique_lock<std::mutex> g(m);
        timeouts.push_back(timeout_msec);
        auto ready = [this] { return interrupted || messages > 0; };
        if (timeout_msec < 0)
            cv.wait(g, ready);
        else
            cv.wait_for(g, std::chrono::milliseconds(timeout_msec), ready);
        interrupted = false;
        if (messages == 0) return nullptr;
        --messages;
        return std::make_unique<counting_message>(&gone);
    }
    void line_up() {
        {
            std::lock_guard<std::mutex> g(m);
            ++messages;
        }
        cv.notify_all();
    }
    std::vector<int> seen() {
        std::lock_guard<std::mutex> g(m);
        return timeouts;
    }

  private:
    const bool wakes_;
};

// Idle rounds ask for a wait until an event, and end the loop once `stop` is set.
struct idle_until_stopped {
    std::atomic<bool> stop{false};
    std::atomic<int> idle{0};
    std::atomic<int> incoming{0};
    static int cb(sms*, int event, const sms_cb_arg& arg, void* data) {
        auto* self = static_cast<idle_until_stopped*>(data);
        if (event == SMS_INCOMING) {
            ++self->incoming;
            return 1;
        }
        if (event != SMS_WAITING) return 0;
        ++self->idle;
        if (self->stop.load()) return 0;
        if (arg.next_wait_ms != nullptr) *arg.next_wait_ms = SMS_WAIT_FOREVER;
        return 1;
    }
};

TEST(SmsWaitEvents, WakeableTransportWaitsUntilAMessageOrAnInterrupt) {
    auto s = std::make_unique<blocking>(true);
    idle_until_stopped cb;
    std::thread loop([&] { EXPECT_EQ(sms_wait(s.get(), 30, idle_until_stopped::cb, &cb), 0); });
    // The first wait takes the given time; after an idle round the callback's wish holds.
    ASSERT_TRUE(wait_until([&] { return s->seen().size() >= 2; }));
    EXPECT_EQ(s->seen()[0], 30);
    EXPECT_EQ(s->seen()[1], static_cast<int>(SMS_WAIT_FOREVER));
    // A message ends the endless wait and goes to its thread.
    s->line_up();
    ASSERT_TRUE(wait_until([&] { return cb.incoming.load() == 1; }));
    // The loop ends only when interrupted: no idle round comes by itself.
    int idle_before = cb.idle.load();
    cb.stop = true;
    sms_interrupt(s.get());
    loop.join();
    EXPECT_EQ(cb.idle.load(), idle_before + 1);
    EXPECT_TRUE(sms_drain(s.get(), 5000));
}

TEST(SmsWaitEvents, InterruptBeforeTheWaitIsNotLost) {
    auto s = std::make_unique<blocking>(true);
    idle_until_stopped cb;
    cb.stop = true;
    // Interrupted before the loop even starts: its first (endless) wait returns at once.
    sms_interrupt(s.get());
    EXPECT_EQ(sms_wait(s.get(), static_cast<int>(SMS_WAIT_FOREVER), idle_until_stopped::cb, &cb),
              0);
    EXPECT_EQ(cb.idle.load(), 1);
    sms_interrupt(nullptr);  // a null handle is ignored
}

TEST(SmsWaitEvents, TransportThatCannotBeWokenKeepsItsTimeout) {
    auto s = std::make_unique<blocking>(false);
    idle_until_stopped cb;
    std::thread loop([&] { EXPECT_EQ(sms_wait(s.get(), 5, idle_until_stopped::cb, &cb), 0); });
    ASSERT_TRUE(wait_until([&] { return s->seen().size() >= 3; }));
    cb.stop = true;
    loop.join();
    // Its callback asked for an endless wait each round; it would never see the stop.
    for (int t : s->seen()) EXPECT_EQ(t, 5);
}

TEST(SmsStateWatcher, EveryChangeIsToldUntilTheWatcherIsCleared) {
    blocking s(true);
    EXPECT_FALSE(s.tells_state()) << "the default transport makes no promise";
    s.state_changed();  // no watcher: nothing happens
    std::atomic<int> told{0};
    s.set_state_watcher([&] { ++told; });
    s.state_changed();
    s.state_changed();
    EXPECT_EQ(told.load(), 2);
    s.set_state_watcher(nullptr);
    s.state_changed();
    EXPECT_EQ(told.load(), 2);
}

TEST(SmsStateWatcher, ClearingWaitsForACallUnderWay) {
    blocking s(true);
    std::mutex m;
    std::condition_variable cv;
    bool inside = false, release = false, after_return = false;
    s.set_state_watcher([&] {
        std::unique_lock<std::mutex> g(m);
        inside = true;
        cv.notify_all();
        cv.wait(g, [&] { return release; });
    });
    std::thread teller([&] { s.state_changed(); });
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
