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

struct scripted : sms_driver {
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
};

std::atomic<int> g_state_freed{0};

scripted* S(sms_driver* d) {
    return static_cast<scripted*>(d);
}

std::unique_ptr<sms_driver> s_init(sms*, const sms_init_record*, int& err) {
    err = 0;
    return std::make_unique<scripted>();
}
void s_free(std::unique_ptr<sms_driver>& st) {
    ++g_state_freed;
    st.reset();
}
int s_recv(sms_driver*, sms_message*) {
    return 11;
}
int s_send(sms_driver* d, const smtp_message_extra* x, std::string_view from, std::string_view to,
           std::string_view text) {
    auto* s = S(d);
    s->last_data = x;
    s->last_from = from;
    s->last_to = to;
    s->last_text = text;
    return 42;
}
std::unique_ptr<sms_message> s_wait(sms_driver* d, int, int& err) {
    auto* s = S(d);
    std::lock_guard<std::mutex> g(s->m);
    ++s->waits;
    s->err_on_entry.push_back(err);
    if (s->steps.empty()) return nullptr;
    script_step st = s->steps.front();
    s->steps.pop_front();
    if (st.err) err = st.err;
    if (!st.msg_id) return nullptr;
    auto msg = std::make_unique<counting_message>(&s->gone);
    msg->id = st.msg_id;
    return msg;
}
void s_error(sms_driver*, int err, std::string& bf) {
    if (err == 99)
        bf = std::string(2000, 'x');
    else if (err != 0)
        bf = "scripted error " + std::to_string(err);
}
const char* s_text(sms_driver*, sms_message*) {
    return "text";
}
int s_reject(sms_driver* d, sms_message*, int code, const char* reason) {
    S(d)->last_code = -code;
    S(d)->last_reason = reason ? reason : "(null)";
    return 0;
}
int s_accept(sms_driver* d, sms_message*, int code, const char* reason) {
    S(d)->last_code = code;
    S(d)->last_reason = reason ? reason : "(null)";
    return 0;
}
void s_msgfree(sms_driver* d, std::unique_ptr<sms_message>& msg) {
    ++S(d)->msgfrees;
    msg.reset();
}

const sms_mode_fn_pointers scripted_row = {s_init,   s_free,   s_recv,   s_send, s_wait,
                                           s_error,  s_text,   s_text,   s_text, s_text,
                                           s_reject, s_accept, s_msgfree};

std::unique_ptr<sms> scripted_handle() {
    int err = -5;
    auto s = sms_init_row(&scripted_row, SMS_XML, nullptr, &err);
    EXPECT_EQ(err, 0);
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

// ---- rows and handles ----

TEST(SmsInit, NoneAndBeyondGiveNullAndCallNothing) {
    int err = 77;
    EXPECT_EQ(sms_init(SMS_NONE, nullptr, &err), nullptr);
    EXPECT_EQ(err, 77);
    EXPECT_EQ(sms_init(6, nullptr, &err), nullptr);
    EXPECT_EQ(sms_init(-1, nullptr, &err), nullptr);
    EXPECT_EQ(sms_row(SMS_NONE), nullptr);
}

TEST(SmsInit, UnbuiltRowsRefuseWithAClearText) {
    for (int mode : {SMS_GSM, SMS_SMPP}) {
        SCOPED_TRACE(mode);
        if (sms_mode_built(mode)) continue;
        int err = 0;
        gsm_init g;
        auto s = sms_init(mode, &g, &err);
        ASSERT_NE(s, nullptr);
        EXPECT_NE(err, 0);
        std::string why;
        sms_error(s.get(), err, why);
        EXPECT_EQ(why, mode == SMS_GSM ? "GSM modem transport is not built"
                                       : "SMPP transport is not built");
        EXPECT_NE(sms_send(s.get(), nullptr, "a", "b", "c"), 0);
        sms_free(s);
        EXPECT_EQ(s, nullptr);
    }
}

TEST(SmsInit, BuiltRowsAreXmlSmtpAndRobot) {
    EXPECT_TRUE(sms_mode_built(SMS_XML));
    EXPECT_TRUE(sms_mode_built(SMS_SMTP));
    EXPECT_TRUE(sms_mode_built(SMS_ROBOT));
    EXPECT_STREQ(sms_mode_name(SMS_GSM), "GSM modem");
    EXPECT_STREQ(sms_mode_name(SMS_NONE), "none");
}

TEST(SmsInit, XmlRowSucceedsAndSendsNothing) {
    int err = -3;
    auto s = sms_init(SMS_XML, nullptr, &err);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(sms_mode(s.get()), SMS_XML);
    EXPECT_EQ(sms_send(s.get(), nullptr, "+100", "+200", "hello"), 0);
    std::string bf;
    EXPECT_EQ(sms_error(s.get(), 0, bf), "No Error Reported");
    sms_free(s);
}

TEST(SmsInit, RobotRowTakesItsRecord) {
    robot_init r;
    r.cmdline = "/bin/true";
    int err = -3;
    auto s = sms_init(SMS_ROBOT, &r, &err);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(sms_mode(s.get()), SMS_ROBOT);
    sms_free(s);
}

TEST(SmsInit, InitWithoutErrcodePointerWorks) {
    auto s = sms_init(SMS_XML, nullptr);
    EXPECT_NE(s, nullptr);
    sms_free(s);
}

TEST(SmsMode, NullHandleIsZero) {
    EXPECT_EQ(sms_mode(nullptr), 0);
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
    EXPECT_EQ(S(s->data.get())->msgfrees, 0);
    sms_free(s);
}

TEST(SmsForward, OperationsReachTheRowWithTheirArguments) {
    auto s = scripted_handle();
    std::atomic<int> gone{0};
    std::unique_ptr<sms_message> m = std::make_unique<counting_message>(&gone);
    smtp_message_extra* extra = reinterpret_cast<smtp_message_extra*>(&gone);
    EXPECT_EQ(sms_send(s.get(), extra, "from", "to", "text"), 42);
    auto* st = S(s->data.get());
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
    EXPECT_EQ(sms_init(SMS_XML, nullptr)->idle_pause_ms, 1000);  // the loop's own pause
    s->idle_pause_ms = 40;
    recorder r;
    r.idle_ticks_before_stop = 4;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(sms_wait(s.get(), 0, record_cb, &r), 0);
    auto spent = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(S(s->data.get())->waits, 4);
    EXPECT_GE(spent, 3 * 40ms);  // a pause after each tick that went on
    sms_free(s);
}

TEST(SmsWait, ErrorWithContinueClearsTheCodeForTheNextWait) {
    auto s = scripted_handle();
    auto* st = S(s->data.get());
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
    S(s->data.get())->steps = {{9, 0}};
    recorder r;
    r.continue_on_error = 0;
    EXPECT_EQ(sms_wait(s.get(), 0, record_cb, &r), 9);
    EXPECT_EQ(r.events, std::vector<int>{SMS_ERRORCODE});
    sms_free(s);
}

TEST(SmsWait, MessageRunsOnANewThreadAndLoopGoesOnAtOnce) {
    auto s = scripted_handle();
    auto* st = S(s->data.get());
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
    auto* st = S(s->data.get());
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
    auto* st = S(s->data.get());
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
    auto* st = S(s->data.get());
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
    S(s->data.get())->steps = {{0, 1}};
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

TEST(SmsWaitIncoming, WithoutACallbackTheMessageIsReleased) {
    auto s = scripted_handle();
    std::atomic<int> gone{0};
    EXPECT_EQ(sms_wait_incoming(s.get(), std::make_unique<counting_message>(&gone)), 1);
    ASSERT_TRUE(wait_until([&] { return sms_busy(s.get()) == 0; }));
    EXPECT_EQ(gone, 1);
    EXPECT_EQ(sms_wait_incoming(nullptr, nullptr), 0);
    sms_free(s);
}

}  // namespace
}  // namespace tolvane
