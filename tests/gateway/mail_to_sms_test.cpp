// The mail-to-SMS path over the real SMTP dialogue engine: each test plays a whole
// client dialogue through an in-memory link, with a scripted SMS transport and a
// scripted relay, and checks the replies, the SMS handed over, the records, the
// counters and the message log.
#include "gateway/mail_to_sms.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "foundation/lib.h"
#include "foundation/sini.h"
#include "gateway/gateway.h"
#include "gateway/keys.h"
#include "gateway/mail_log_capture.h"
#include "gateway/path_fixture.h"
#include "gateway/script_transport.h"
#include "sms/sms_smpp.h"
#include "smtp/engine.h"
#include "records/msglog.h"
#include "records/msgrec.h"
#include "records/mutexlist.h"
#include "records/phones.h"
#include "support/status_check.h"

namespace tolvane {
namespace {

using test::lines_of;
using test::read_file;
using test::Script;
using test::script_transport;
using test::Sent;

// One mail as a client sends it: HELO, MAIL FROM, the recipients, DATA, the data, QUIT.
std::string dialogue(const std::string& from, const std::vector<std::string>& to,
                     const std::string& data, bool quit = true) {
    std::string s = "HELO client.example\r\nMAIL FROM:<" + from + ">\r\n";
    for (const std::string& t : to) s += "RCPT TO:<" + t + ">\r\n";
    s += "DATA\r\n" + data + ".\r\n";
    if (quit) s += "QUIT\r\n";
    return s;
}

class MailToSms : public test::PathFixture {
  protected:
    void SetUp() override {
        PathFixture::SetUp();
        if (HasFatalFailure()) return;
        reader = rini_init(ini.get());

        smtp_init rec;
        rec.workpath = dir + "/spool";
        rec.sendhost = "127.0.0.1";
        int code = 0;
        smtp = smtp_engine_open(rec, code);
        ASSERT_TRUE(smtp);
        ASSERT_EQ(code, 0);
        drv = static_cast<smtp_engine*>(smtp.get());
        ASSERT_NE(drv, nullptr);
        drv->handoff = [this](std::unique_ptr<smtp_message> m) { handed.push_back(std::move(m)); };

        send = script_transport(SMS_ROBOT, &sms_out);
        relay = script_relay(&notices);
        path.relay = relay.get();
        path.send = send.get();
        path.reader = reader.get();
        path.queue = queue.get();
        path.units = &units;
        path.state = &state;
        sender.send = send.get();
        sender.state = &state;
        sender.units = &units;
        sender.relay = relay.get();
        sender.pause_ms = 0;
    }

    // Sends every queued SMS as a delivery worker would, oldest first.
    void deliver_queued() {
        // Read as a worker's start would, after the test's settings.
        sender.rules = mail_send_rules(ini.get());
        while (std::optional<queue_entry> e = queue->claim(QUEUE_MAIL_TO_SMS, delivery_now_ms())) {
            DeliveryJob job(*queue, std::move(*e));
            deliver_mail_entry(sender, job);
            EXPECT_TRUE(job.finished());
        }
    }

    void TearDown() override {
        handed.clear();
        queue.reset();
        send.reset();
        relay.reset();
        smtp.reset();
        for (auto& l : limits) msgrec_free(l);
        rini_free(reader);
        PathFixture::TearDown();
    }

    msgrecs* limit(const char* name, int ip, int from, int to) {
        Result<msgrecs_ptr> made = msgrec_init(registry, name, dir, '|', "24", ip, from, to);
        EXPECT_TRUE(made) << made.reason();
        limits.push_back(made ? std::move(*made) : nullptr);
        path.limits.push_back(limits.back().get());
        return limits.back().get();
    }

    // Plays input as one connection; returns the replies it got (all of them so far).
    std::vector<std::string> run(const std::string& input) {
        auto m = smtp_message_new(drv, smtp_memory_link(input, &out), MODE_HELO);
        std::unique_ptr<smtp_message> msg = std::move(m);
        mail_to_sms(path, msg);
        EXPECT_FALSE(msg);
        deliver_queued();
        return lines_of(out);
    }

    // Processes the messages handed on by the connection, in order.
    void run_handed() {
        while (!handed.empty()) {
            std::unique_ptr<smtp_message> msg = std::move(handed.front());
            handed.pop_front();
            mail_to_sms(path, msg);
        }
        deliver_queued();
    }

    std::string hello() { return "250 " + drv->host + ". Hello client.example(127.0.0.1)"; }

    std::vector<std::string> records() { return day_records("rec"); }

    std::unique_ptr<rini> reader;
    std::unique_ptr<smtp_engine> smtp;
    std::unique_ptr<RelayClient> relay;
    std::unique_ptr<test::ScriptTransport> send;
    smtp_engine* drv = nullptr;
    std::deque<std::unique_ptr<smtp_message>> handed;
    std::vector<msgrecs_ptr> limits;
    Script sms_out, notices;
    MailUnits units;
    MailSender sender;
    MailPath path;
    std::string out;
};

const std::string kMail = "Subject: Lunch\r\n\r\nAt noon\r\n";

TEST_F(MailToSms, WholeDialogueGetsItsRepliesAndOneSms) {
    limit("msgrec", 0, 500, 500);
    std::vector<std::string> r =
        run(dialogue("ann@corp.example", {"0412345678@gw.example"}, kMail));
    std::vector<std::string> want = {hello(),
                                     "250 Command MAIL OK",
                                     "250 Command RCPT User found OK",
                                     "354 Command DATA Start mail input; end with <CRLF>.<CRLF>",
                                     "250 Command DATA Processed mail data OK",
                                     "221 Command QUIT, disconnecting"};
    EXPECT_EQ(r, want);
    ASSERT_EQ(sms_out.sent.size(), 1u);
    EXPECT_EQ(sms_out.sent[0].to, "+61412345678");
    EXPECT_EQ(sms_out.sent[0].from, "ann@corp.example");  // no number to send from
    EXPECT_EQ(sms_out.sent[0].text, "Lunch - At noon\n");
    EXPECT_TRUE(sms_out.sent[0].with_headers);
    EXPECT_EQ(records(),
              std::vector<std::string>{"SUCCESS|127.0.0.1|ann@corp.example|+61412345678|T|NONE|"});
    EXPECT_EQ(read_file(dir + "/msgrec.to"), "+61412345678|0000000001\n");
    EXPECT_EQ(read_file(dir + "/msgrec.from"), "ann@corp.example|0000000001\n");
    EXPECT_EQ(read_file(dir + "/msgrec.ip"), "127.0.0.1|0000000001\n");
    EXPECT_TRUE(notices.sent.empty());
    // The originator fell back to the sender: nothing to route replies by.
    std::string who;
    EXPECT_EQ(msglog.lookup("+61412345678", 0, who), 0);
}

TEST_F(MailToSms, HeaderCopyTravelsWithTheFirstAttempt) {
    limit("msgrec", 0, 500, 500);
    run(dialogue("ann@corp.example", {"0412345678@gw"}, "Subject: S\r\nX-Ref: 7\r\n\r\nb\r\n"));
    ASSERT_EQ(sms_out.sent.size(), 1u);
    const std::string* ref = mail_header_find(sms_out.sent[0].headers, "X-Ref");
    ASSERT_NE(ref, nullptr);
    EXPECT_EQ(*ref, "7");
}

// A store that has no room: every batch is refused.
class FullStore final : public QueueStore {
  public:
    Status enqueue(std::vector<queue_entry>&) override {
        return Error{ENOSPC, "No space left on device"};
    }
    std::optional<queue_entry> claim(int, std::int64_t) override { return std::nullopt; }
    std::optional<std::int64_t> next_ready(int, std::int64_t) override { return std::nullopt; }
    Status attempt(std::uint64_t) override { return Error{ENOSPC, "full"}; }
    Status complete(std::uint64_t, bool, const std::string&) override {
        return Error{ENOSPC, "full"};
    }
    void release(std::uint64_t, const std::string&, std::int64_t) override {}
    std::size_t retry_now(int) override { return 0; }
    std::vector<queue_entry> list(int) override { return {}; }
    queue_stats stats() override { return {}; }
    void set_notify(std::function<void(int)>) override {}
};

TEST_F(MailToSms, MailThatCannotBeStoredGets452AndLeavesNothing) {
    msgrecs* mr = limit("msgrec", 0, 500, 500);
    FullStore full;
    path.queue = &full;
    LogCapture log;
    std::vector<std::string> r = run(dialogue("a@b", {"0412000001@gw", "0412000002@gw"}, kMail));
    std::vector<std::string> want = {hello(),
                                     "250 Command MAIL OK",
                                     "250 Command RCPT User found OK",
                                     "250 Command RCPT User found OK",
                                     "354 Command DATA Start mail input; end with <CRLF>.<CRLF>",
                                     "452 Insufficient system storage"};
    EXPECT_EQ(r, want);
    EXPECT_TRUE(log.has("Mail from [a@b] not stored, refused (No space left on device)"));
    EXPECT_TRUE(sms_out.sent.empty());
    EXPECT_TRUE(records().empty());
    EXPECT_EQ(msgrec_to_count(mr, "+61412000001"), 0);
    EXPECT_EQ(msgrec_from_count(mr, "a@b"), 0);
    std::string who;
    EXPECT_EQ(msglog.lookup("+61412000001", 0, who), 0);
}

TEST_F(MailToSms, AcceptedMailIsOnDiskBeforeTheClientSpeaksAgain) {
    limit("msgrec", 0, 500, 500);
    // The client has not sent QUIT: the dialogue engine waits for it, but the mail's entries
    // are already in the queue for the workers.
    std::string input = dialogue("a@b", {"0412000001@gw", "0412000002@gw"}, kMail, false);
    auto m = smtp_message_new(drv, smtp_memory_link(input, &out), MODE_HELO);
    std::unique_ptr<smtp_message> msg = std::move(m);
    mail_to_sms(path, msg);
    std::vector<queue_entry> q = queue->list(QUEUE_MAIL_TO_SMS);
    ASSERT_EQ(q.size(), 2u);
    EXPECT_EQ(q[0].destination, "+61412000001");
    EXPECT_EQ(q[1].destination, "+61412000002");
    EXPECT_EQ(q[0].text, "Lunch - At noon\n");
    EXPECT_EQ(q[1].text, q[0].text) << "composed once for every recipient";
    EXPECT_EQ(q[0].billing, "a@b");
    EXPECT_EQ(q[0].client, "127.0.0.1");
    EXPECT_EQ(q[0].attempts, 0u);
    EXPECT_TRUE(sms_out.sent.empty()) << "sending is the workers' job";
}

// The queue keeps the name the client authenticated as, so an entry stored by an earlier
// run (no unit held in this process) still counts for its user when its SMS is sent.
TEST_F(MailToSms, AnEntryOfAnEarlierRunCountsForTheUserItKeeps) {
    Result<msgrecs_ptr> made = msgrec_init(registry, "msgrec", dir, '|', "24", 0, 0, 0, 5);
    ASSERT_TRUE(made) << made.reason();
    limits.push_back(std::move(*made));
    msgrecs* mr = limits.back().get();
    const struct {
        const char* user;
        int ann_count;
    } cases[] = {{"ann", 1}, {"", 1}, {"ANN", 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.user);
        queue_entry e;
        e.kind = QUEUE_MAIL_TO_SMS;
        e.destination = "+61412000009";
        e.text = "hi";
        e.billing = "a@b";
        e.client = "127.0.0.1";
        e.user = c.user;
        std::vector<queue_entry> batch{e};
        ASSERT_TRUE(succeeded(queue->enqueue(batch)));
        deliver_queued();
        EXPECT_EQ(msgrec_count(mr, MSGREC_USER, "ann"), c.ann_count);
        EXPECT_EQ(msgrec_count(mr, MSGREC_USER, ""), 0) << "no name, no user counted";
    }
    EXPECT_EQ(sms_out.sent.size(), 3u);
}

TEST_F(MailToSms, TransportDownAfterAFailedSendHoldsTheEntryWithoutARecord) {
    limit("msgrec", 0, 500, 500);
    set("sms_retries", "3");
    sms_out.results = {5, 5, 5, 5};
    bool up = true;
    sender.up = [&up] { return up; };
    path.queue = queue.get();
    std::string input = dialogue("a@b", {"0412000001@gw"}, kMail);
    auto m = smtp_message_new(drv, smtp_memory_link(input, &out), MODE_HELO);
    std::unique_ptr<smtp_message> msg = std::move(m);
    mail_to_sms(path, msg);
    std::optional<queue_entry> e = queue->claim(QUEUE_MAIL_TO_SMS, delivery_now_ms());
    ASSERT_TRUE(e);
    up = false;  // the link drops as the first send fails
    DeliveryJob job(*queue, std::move(*e));
    deliver_mail_entry(sender, job);
    EXPECT_EQ(sms_out.sent.size(), 1u) << "no retries into a transport that is down";
    EXPECT_TRUE(records().empty());
    EXPECT_TRUE(notices.sent.empty());
    std::vector<queue_entry> held = queue->list(QUEUE_MAIL_TO_SMS);
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(held[0].attempts, 1u);
    EXPECT_EQ(held[0].last_error, "scripted failure 5");
    // Back up: the remaining attempts are made and the outcome written.
    up = true;
    sms_out.results = {0};
    deliver_queued();
    EXPECT_EQ(sms_out.sent.size(), 2u);
    EXPECT_EQ(records().size(), 1u);
    EXPECT_TRUE(queue->list(0).empty());
}

// A transport with a window of one place, as an SMS centre's link with smpp_window 1:
// send() gives its place back once the answer is in, before its caller has finished the
// SMS (the caller is slow here); a window send tells an accepted SMS (after) while it still
// holds the place. Each send notes how many SMS accepted before it were still unfinished
// (their entries queued) when it took the place: SMS a crash then would send twice.
class OnePlaceWindow : public SmsTransport {
  public:
    explicit OnePlaceWindow(QueueStore& q) : SmsTransport(SMS_SMPP, "one place"), q_(q) {}

    SendResult send(const SmsOut& sms) override {
        take(sms);
        give();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return ::tolvane::Sent{"id", 1};
    }

    std::vector<SendResult> send_window(std::span<const SmsOut> items,
                                        const WindowHooks& hooks) override {
        std::vector<SendResult> out;
        for (std::size_t i = 0; i < items.size(); ++i) {
            const std::size_t one[1] = {i};
            if (hooks.before && !hooks.before(std::span<const std::size_t>(one))) break;
            take(items[i]);
            out.push_back(::tolvane::Sent{"id", 1});
            if (hooks.after) hooks.after(i, out.back());
            give();
        }
        return out;
    }

    int most_unfinished() {
        std::lock_guard<std::mutex> g(m_);
        return most_;
    }

  private:
    void take(const SmsOut& sms) {
        std::unique_lock<std::mutex> g(m_);
        free_.wait(g, [this] { return !busy_; });
        busy_ = true;
        int unfinished = 0;
        for (const queue_entry& e : q_.list(QUEUE_MAIL_TO_SMS))
            unfinished += std::count(accepted_.begin(), accepted_.end(), e.destination) > 0;
        most_ = std::max(most_, unfinished);
        accepted_.emplace_back(sms.to);
    }
    void give() {
        {
            std::lock_guard<std::mutex> g(m_);
            busy_ = false;
        }
        free_.notify_one();
    }

    QueueStore& q_;
    std::mutex m_;
    std::condition_variable free_;
    bool busy_ = false;
    std::vector<std::string> accepted_;
    int most_ = 0;
};

// Two workers share the one place: an accepted SMS is finished before the other worker's
// SMS goes out.
TEST_F(MailToSms, AnAcceptedSmsIsFinishedBeforeAnotherTakesItsPlaceInTheWindow) {
    limit("msgrec", 0, 500, 500);
    OnePlaceWindow centre(*queue);
    sender.send = &centre;
    sender.rules = mail_send_rules(ini.get());
    std::vector<std::string> to;
    for (int i = 0; i < 8; ++i) to.push_back("041200002" + std::to_string(i) + "@gw");
    auto m = smtp_message_new(drv, smtp_memory_link(dialogue("a@b", to, kMail), &out), MODE_HELO);
    std::unique_ptr<smtp_message> msg = std::move(m);
    mail_to_sms(path, msg);
    ASSERT_EQ(queue->list(QUEUE_MAIL_TO_SMS).size(), 8u);
    auto worker = [&] {
        while (std::optional<queue_entry> e = queue->claim(QUEUE_MAIL_TO_SMS, delivery_now_ms())) {
            DeliveryJob job(*queue, std::move(*e));
            deliver_mail_entry(sender, job);
        }
    };
    std::thread a(worker), b(worker);
    a.join();
    b.join();
    EXPECT_TRUE(queue->list(0).empty());
    EXPECT_EQ(records().size(), 8u);
    EXPECT_EQ(centre.most_unfinished(), 0);
}

TEST_F(MailToSms, SendModeNoneRefusesRightAfterTheGreeting) {
    path.send = nullptr;
    LogCapture log;
    std::vector<std::string> r = run(dialogue("a@b", {"0412345678@gw"}, kMail));
    EXPECT_EQ(r, std::vector<std::string>{"500 Outgoing SMS disabled (send_mode none specified)"});
    EXPECT_TRUE(log.has("Outgoing SMS disabled"));
    EXPECT_TRUE(sms_out.sent.empty());
}

TEST_F(MailToSms, ClientAddressNotListedIsBlocked) {
    set("accept_ip", "10.*, 192.168.*");
    LogCapture log;
    std::vector<std::string> r = run(dialogue("a@b", {"0412345678@gw"}, kMail));
    EXPECT_EQ(r, std::vector<std::string>{"500 Ip Blocked"});
    EXPECT_TRUE(log.has("New SMTP connection from [127.0.0.1]"));
    EXPECT_TRUE(log.has("Connection from [127.0.0.1] blocked"));
    EXPECT_TRUE(sms_out.sent.empty());
}

TEST_F(MailToSms, LaterAcceptIpLineCanAdmit) {
    set("accept_ip", "10.*");
    set("accept_ip", "127.0.0.*");
    LogCapture log;
    run(dialogue("a@b", {"0412345678@gw"}, kMail));
    EXPECT_TRUE(log.has("IP[127.0.0.1] matches[127.0.0.*]"));
    EXPECT_EQ(sms_out.sent.size(), 1u);
}

TEST_F(MailToSms, ClientLimitRefusesWithNameAndMessage) {
    msgrecs* mr = limit("msgrec", 1, 500, 500);
    set("ip_limit_msg", "Too many from your host");
    msgrec_add_ip(mr, "127.0.0.1", 1);
    LogCapture log;
    std::vector<std::string> r = run(dialogue("a@b", {"0412345678@gw"}, kMail));
    EXPECT_EQ(r, std::vector<std::string>{"500 msgrec Too many from your host"});
    EXPECT_TRUE(log.has("Connection from [127.0.0.1] exceeds (msgrec) limit of 1"));
}

TEST_F(MailToSms, FirstExceededLimitDecides) {
    limit("msgrec", 0, 500, 500);
    msgrecs* hourly = limit("hourly", 0, 1, 0);
    msgrecs* daily = limit("daily", 0, 1, 0);
    msgrec_add_from(hourly, "a@b", 1);
    msgrec_add_from(daily, "a@b", 1);
    std::vector<std::string> r = run(dialogue("a@b", {"0412345678@gw"}, kMail));
    EXPECT_EQ(r.back(), "500 hourly Limit reached");
}

TEST_F(MailToSms, RefusedRecipientGets500AndTheOthersTheirSms) {
    limit("msgrec", 0, 500, 500);
    set("accept_to", "+614*");
    LogCapture log;
    std::vector<std::string> r =
        run(dialogue("a@b", {"0412000001@gw", "0299998888@gw", "0412000002@gw"}, kMail));
    EXPECT_EQ(r[2], "250 Command RCPT User found OK");
    EXPECT_EQ(r[3], "500 To Blocked");
    EXPECT_EQ(r[4], "250 Command RCPT User found OK");
    EXPECT_EQ(r[6], "250 Command DATA Processed mail data OK");
    ASSERT_EQ(sms_out.sent.size(), 2u);
    EXPECT_EQ(sms_out.sent[0].to, "+61412000001");
    EXPECT_EQ(sms_out.sent[1].to, "+61412000002");
    EXPECT_TRUE(log.has("Connection to [+61299998888] blocked"));
    EXPECT_TRUE(log.has("To[+61412000001] matches[+614*]"));
}

TEST_F(MailToSms, RecipientOverItsLimitIsRefusedOthersStillGetTheirSms) {
    msgrecs* mr = limit("msgrec", 0, 500, 2);
    msgrec_add_to(mr, "+61412000001", 2);
    LogCapture log;
    std::vector<std::string> r = run(dialogue("a@b", {"0412000001@gw", "0412000002@gw"}, kMail));
    EXPECT_EQ(r[2], "500 msgrec Limit reached");
    EXPECT_EQ(r[3], "250 Command RCPT User found OK");
    ASSERT_EQ(sms_out.sent.size(), 1u);
    EXPECT_EQ(sms_out.sent[0].to, "+61412000002");
    EXPECT_TRUE(log.has("Mail to [+61412000001] exceeds (msgrec) limit of 2"));
    EXPECT_EQ(msgrec_to_count(mr, "+61412000001"), 2);
    EXPECT_EQ(msgrec_to_count(mr, "+61412000002"), 1);
}

TEST_F(MailToSms, NoRecipientLeftEndsWithoutSms) {
    set("accept_to", "nobody");
    LogCapture log;
    run(dialogue("a@b", {"0412345678@gw"}, kMail));
    EXPECT_TRUE(log.has("No message to process"));
    EXPECT_TRUE(sms_out.sent.empty());
    EXPECT_TRUE(records().empty());
}

TEST_F(MailToSms, SenderNotListedIsRefusedAtTheEndOfData) {
    limit("msgrec", 0, 500, 500);
    set("accept_from", "*@corp.example");
    LogCapture log;
    std::vector<std::string> r = run(dialogue("eve@else.example", {"0412345678@gw"}, kMail));
    EXPECT_EQ(r[4], "500 From Blocked");
    EXPECT_TRUE(log.has("Connection for [eve@else.example] blocked"));
    EXPECT_TRUE(sms_out.sent.empty());
    EXPECT_TRUE(records().empty());
}

TEST_F(MailToSms, SenderLimitRefusesWithItsMessage) {
    msgrecs* mr = limit("msgrec", 0, 3, 500);
    set("limit_msg", "Slow down");
    msgrec_add_from(mr, "a@b", 3);
    LogCapture log;
    std::vector<std::string> r = run(dialogue("a@b", {"0412345678@gw"}, kMail));
    EXPECT_EQ(r[4], "500 msgrec Slow down");
    EXPECT_TRUE(log.has("For [a@b] exceeds (msgrec) limit of 3"));
}

TEST_F(MailToSms, EmptySenderWithoutBillIsRefused) {
    LogCapture log;
    std::vector<std::string> r = run(dialogue("", {"0412345678@gw"}, kMail));
    EXPECT_EQ(r[4], "500 From Blocked");
    EXPECT_TRUE(log.has("From and bill both blank"));
}

TEST_F(MailToSms, BillingHeaderDecidesChecksCountsAndNotice) {
    msgrecs* mr = limit("msgrec", 0, 500, 500);
    set("accept_from", "boss@corp.example");
    set("sms_retries", "0");
    set("sender_ids", "clerk@corp.example 5550001");
    sms_out.results = {0, 9};
    LogCapture log;
    run(dialogue(
        "clerk@corp.example", {"0412000001@gw", "0412000002@gw"},
        "X-Sms-Bill: <boss@corp.example>\r\nX-Sms-Number: 5550001\r\nSubject: s\r\n\r\nb\r\n"));
    EXPECT_TRUE(log.has("New message from=[clerk@corp.example] bill=[boss@corp.example]"));
    ASSERT_EQ(sms_out.sent.size(), 2u);
    EXPECT_EQ(sms_out.sent[0].from, "5550001");
    EXPECT_EQ(msgrec_from_count(mr, "boss@corp.example"), 1);
    EXPECT_EQ(msgrec_from_count(mr, "clerk@corp.example"), 0);
    std::string who;
    EXPECT_EQ(msglog.lookup("+61412000001", 0, who), 1);
    EXPECT_EQ(who, "clerk@corp.example");  // the envelope sender is remembered
    ASSERT_EQ(notices.sent.size(), 1u);
    EXPECT_EQ(notices.sent[0].to, "boss@corp.example");
    EXPECT_EQ(records(),
              (std::vector<std::string>{
                  "SUCCESS|127.0.0.1|boss@corp.example|+61412000001|T|NONE|",
                  "FAILURE|127.0.0.1|boss@corp.example|+61412000002|T|scripted failure 9|"}));
}

// A client names its originator only from what it was granted: by its user name when it
// authenticated, else by its sender address; the gateway's own numbers are anyone's.
TEST_F(MailToSms, ChosenSenderIdMustBeGranted) {
    limit("msgrec", 0, 500, 500);
    set("sender_ids", "*@corp.example BANK,+61400000001");
    set("gsm_number", "+61400000009");
    const struct {
        const char* from;
        const char* chosen;
        const char* reply;
        const char* sent_from;
    } rows[] = {
        {"ann@corp.example", "BANK", "250 Command DATA Processed mail data OK", "BANK"},
        {"ann@corp.example", "<+61400000001>", "250 Command DATA Processed mail data OK",
         "+61400000001"},
        {"eve@else.example", "BANK", "550 Sender ID not allowed (BANK)", nullptr},
        {"ann@corp.example", "BANK,EVIL", "550 Sender ID not allowed (BANK,EVIL)", nullptr},
        {"eve@else.example", "+61400000009", "250 Command DATA Processed mail data OK",
         "+61400000009"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.from) + " " + r.chosen);
        out.clear();
        sms_out.sent.clear();
        LogCapture log;
        std::vector<std::string> got =
            run(dialogue(r.from, {"0412345678@gw"},
                         std::string("X-Sms-Number: ") + r.chosen + "\r\nSubject: s\r\n\r\nb\r\n"));
        ASSERT_GE(got.size(), 5u);
        EXPECT_EQ(got[4], r.reply);
        if (r.sent_from == nullptr) {
            EXPECT_TRUE(sms_out.sent.empty()) << "nothing is queued";
            EXPECT_TRUE(log.has(std::string("Sender ID [") + r.chosen + "] not allowed for [" +
                                r.from + "]"));
        } else {
            ASSERT_EQ(sms_out.sent.size(), 1u);
            EXPECT_EQ(sms_out.sent[0].from, r.sent_from);
        }
    }
    EXPECT_EQ(records().size(), 3u) << "a refused mail leaves no record";
}

TEST_F(MailToSms, RetriesZeroMakesOneAttempt) {
    limit("msgrec", 0, 500, 500);
    set("sms_retries", "0");
    sms_out.results = {5, 5, 5, 5, 5};
    run(dialogue("a@b", {"0412345678@gw"}, kMail));
    EXPECT_EQ(sms_out.sent.size(), 1u);
}

TEST_F(MailToSms, RetriesThreeMakeFourAttemptsOnlyTheFirstWithHeaders) {
    limit("msgrec", 0, 500, 500);
    set("sms_retries", "3");
    sms_out.results = {5, 5, 5, 5, 5, 5};
    LogCapture log;
    run(dialogue("a@b", {"0412345678@gw"}, kMail));
    ASSERT_EQ(sms_out.sent.size(), 4u);
    EXPECT_TRUE(sms_out.sent[0].with_headers);
    for (int i = 1; i < 4; ++i) EXPECT_FALSE(sms_out.sent[i].with_headers);
    int retries = 0;
    for (const std::string& m : log.messages()) retries += m == "Message send failed, retry...";
    EXPECT_EQ(retries, 3);
    EXPECT_TRUE(log.has("Message send error OTHER [5:scripted failure 5]"));
}

// What a failed send's kind does to its entry: temporary waits with its attempt counted,
// cut goes back with its attempt taken back, failed ends it with a FAILURE record.
TEST_F(MailToSms, EachSendFailureKindEndsTheEntryItsOwnWay) {
    limit("msgrec", 0, 500, 500);
    set("sms_retries", "0");
    auto smpp = script_transport(SMS_SMPP, &sms_out);
    sender.send = smpp.get();
    sender.rules = mail_send_rules(ini.get());
    struct Case {
        const char* to;
        int code;
        bool stays;              // the entry is still queued
        std::uint32_t attempts;  // its attempts then
        bool failure;            // a FAILURE record
    };
    const std::vector<Case> cases = {
        {"0412000011", SMPP_ERR_DOWN, true, 1, false},
        {"0412000012", static_cast<int>(ESME_RTHROTTLED), true, 1, false},
        {"0412000013", SMS_SEND_CUT, true, 0, false},
        {"0412000014", static_cast<int>(ESME_RINVDSTADR), false, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.to);
        sms_out.results = {c.code};
        const std::string input = dialogue("a@b", {std::string(c.to) + "@gw"}, kMail);
        auto m = smtp_message_new(drv, smtp_memory_link(input, &out), MODE_HELO);
        std::unique_ptr<smtp_message> msg = std::move(m);
        mail_to_sms(path, msg);
        std::optional<queue_entry> e = queue->claim(QUEUE_MAIL_TO_SMS, delivery_now_ms());
        ASSERT_TRUE(e);
        const std::uint64_t id = e->id;
        DeliveryJob job(*queue, std::move(*e));
        deliver_mail_entry(sender, job);
        EXPECT_TRUE(job.finished());
        std::optional<queue_entry> left;
        for (queue_entry& q : queue->list(QUEUE_MAIL_TO_SMS)) {
            if (q.id == id) left = q;
        }
        EXPECT_EQ(left.has_value(), c.stays);
        if (left) {
            EXPECT_EQ(left->attempts, c.attempts);
        }
        bool failed = false;
        for (const std::string& r : records()) {
            failed |= r.starts_with("FAILURE") &&
                      r.find(std::string(c.to).substr(1)) != std::string::npos;
        }
        EXPECT_EQ(failed, c.failure);
        // Out of the way of the next case.
        if (left) {
            std::optional<queue_entry> again =
                queue->claim(QUEUE_MAIL_TO_SMS, delivery_now_ms() + 3600000);
            ASSERT_TRUE(again);
            DeliveryJob done(*queue, std::move(*again));
            done.done(true, std::string());
        }
    }
    sender.send = send.get();
}

TEST_F(MailToSms, SuccessfulRetryCountsOnce) {
    msgrecs* mr = limit("msgrec", 0, 500, 500);
    set("sms_retries", "3");
    sms_out.results = {5, 0};
    run(dialogue("a@b", {"0412345678@gw"}, kMail));
    EXPECT_EQ(sms_out.sent.size(), 2u);
    EXPECT_EQ(msgrec_to_count(mr, "+61412345678"), 1);
    EXPECT_TRUE(notices.sent.empty());
}

TEST_F(MailToSms, FinalFailureWritesUncountedRecordAndMailsTheNotice) {
    msgrecs* mr = limit("msgrec", 0, 500, 500);
    set("sms_retries", "1");
    set("sms_bounces", "false");  // the notice goes out whatever this says
    sms_out.results = {7, 7};
    run(dialogue("ann@corp.example", {"0412345678@gw"}, kMail));
    EXPECT_EQ(records(),
              std::vector<std::string>{
                  "FAILURE|127.0.0.1|ann@corp.example|+61412345678|T|scripted failure 7|"});
    EXPECT_EQ(msgrec_to_count(mr, "+61412345678"), 0);
    EXPECT_EQ(msgrec_from_count(mr, "ann@corp.example"), 0);
    ASSERT_EQ(notices.sent.size(), 1u);
    const Sent& n = notices.sent[0];
    EXPECT_EQ(n.to, "ann@corp.example");
    EXPECT_EQ(n.from, "ann@corp.example");
    EXPECT_EQ(n.text, "SMS to (+61412345678) failed delivery (scripted failure 7)");
    ASSERT_NE(mail_header_find(n.headers, "Subject"), nullptr);
    EXPECT_EQ(*mail_header_find(n.headers, "Subject"), "SMS Failed");
    ASSERT_NE(mail_header_find(n.headers, "X-Tolvane"), nullptr);
    EXPECT_EQ(*mail_header_find(n.headers, "X-Tolvane"), "ERROR");
}

TEST_F(MailToSms, ClientCutOffInItsDataGetsNoSmsAndNoRecord) {
    limit("msgrec", 0, 500, 500);
    std::string input =
        "HELO c\r\nMAIL FROM:<a@b>\r\nRCPT TO:<0412345678@gw>\r\nDATA\r\nSubject: x\r\n\r\nhalf a "
        "mail";
    run(input);
    EXPECT_TRUE(sms_out.sent.empty());
    EXPECT_TRUE(records().empty());
    EXPECT_FALSE(std::filesystem::exists(dir + "/msgrec.from"));
}

TEST_F(MailToSms, SpoolFileIsGoneAfterwards) {
    limit("msgrec", 0, 500, 500);
    run(dialogue("a@b", {"0412345678@gw"}, kMail));
    int left = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir + "/spool")) {
        static_cast<void>(e);
        ++left;
    }
    EXPECT_EQ(left, 0);
}

TEST_F(MailToSms, SeveralMailsOnOneConnectionEachGetTheirSms) {
    limit("msgrec", 0, 500, 500);
    std::string input = dialogue("a@b", {"0412000001@gw"}, kMail, false);
    input += "MAIL FROM:<c@d>\r\nRCPT TO:<0412000002@gw>\r\nDATA\r\n" + kMail + ".\r\nQUIT\r\n";
    run(input);
    run_handed();
    std::vector<std::string> want = {hello(),
                                     "250 Command MAIL OK",
                                     "250 Command RCPT User found OK",
                                     "354 Command DATA Start mail input; end with <CRLF>.<CRLF>",
                                     "250 Command DATA Processed mail data OK",
                                     "250 Command MAIL OK",
                                     "250 Command RCPT User found OK",
                                     "354 Command DATA Start mail input; end with <CRLF>.<CRLF>",
                                     "250 Command DATA Processed mail data OK",
                                     "221 Command QUIT, disconnecting"};
    EXPECT_EQ(lines_of(out), want);
    ASSERT_EQ(sms_out.sent.size(), 2u);
    EXPECT_EQ(sms_out.sent[0].to, "+61412000001");
    EXPECT_EQ(sms_out.sent[1].to, "+61412000002");
    EXPECT_EQ(sms_out.sent[1].from, "c@d");
}

TEST_F(MailToSms, RsetInTheMiddleDropsTheMailSoFar) {
    limit("msgrec", 0, 500, 500);
    std::string input = "HELO c\r\nMAIL FROM:<a@b>\r\nRCPT TO:<0412000001@gw>\r\nRSET\r\n";
    input += "MAIL FROM:<c@d>\r\nRCPT TO:<0412000002@gw>\r\nDATA\r\n" + kMail + ".\r\nQUIT\r\n";
    run(input);
    run_handed();
    std::vector<std::string> r = lines_of(out);
    EXPECT_EQ(r[3], "250 Command RSET OK");
    EXPECT_EQ(r.back(), "221 Command QUIT, disconnecting");
    ASSERT_EQ(sms_out.sent.size(), 1u);
    EXPECT_EQ(sms_out.sent[0].to, "+61412000002");
    EXPECT_EQ(records().size(), 1u);
}

TEST_F(MailToSms, SmtpTransportWithoutDomainKeepsWholeAddresses) {
    limit("msgrec", 0, 500, 500);
    auto mail_send = script_transport(SMS_SMTP, &sms_out);
    path.send = mail_send.get();
    run(dialogue("a@b", {"0412345678@provider.example"}, kMail));
    ASSERT_EQ(sms_out.sent.size(), 1u);
    EXPECT_EQ(sms_out.sent[0].to, "0412345678@provider.example");
    path.send = send.get();
}

TEST_F(MailToSms, SmtpTransportWithDomainReducesToNumbers) {
    limit("msgrec", 0, 500, 500);
    set("smtp_sms_todomain", "sms.provider.example");
    auto mail_send = script_transport(SMS_SMTP, &sms_out);
    path.send = mail_send.get();
    run(dialogue("a@b", {"0412345678@gw.example"}, kMail));
    ASSERT_EQ(sms_out.sent.size(), 1u);
    EXPECT_EQ(sms_out.sent[0].to, "+61412345678");
    path.send = send.get();
}

// The provider gets the text the SMS would carry: no more than sms_max_parts parts of it.
TEST_F(MailToSms, SmtpTransportIsHandedTheTextCutAtTheLongestSms) {
    limit("msgrec", 0, 500, 500);
    set("smtp_sms_todomain", "sms.provider.example");
    set("sms_max_parts", "1");
    set("sms_subject", "false");
    auto mail_send = script_transport(SMS_SMTP, &sms_out);
    path.send = mail_send.get();
    sender.send = mail_send.get();
    const std::string body(200, 'x');
    run(dialogue("a@b", {"0412345678@gw.example"}, "Subject: s\r\n\r\n" + body + "\r\n"));
    ASSERT_EQ(sms_out.sent.size(), 1u);
    EXPECT_EQ(sms_out.sent[0].text, std::string(160, 'x'));
    path.send = send.get();
    sender.send = send.get();
}

TEST_F(MailToSms, ModemReceiverLendsItsNumber) {
    limit("msgrec", 0, 500, 500);
    set("gsm_number", "+61400000000");
    Script unused;
    auto modem = test::script_transport(SMS_GSM, &unused);
    path.recv = modem.get();
    run(dialogue("a@b", {"0412345678@gw"}, kMail));
    ASSERT_EQ(sms_out.sent.size(), 1u);
    EXPECT_EQ(sms_out.sent[0].from, "+61400000000");
    std::string who;
    EXPECT_EQ(msglog.lookup("+61412345678", 0, who), 1);
    EXPECT_EQ(who, "a@b");
    path.recv = nullptr;
}

TEST_F(MailToSms, SmppSenderTakesAPoolNumberBoundToTheSender) {
    limit("msgrec", 0, 500, 500);
    pool.init(dir, nullptr, nullptr, 7000, 7010);
    auto smpp = script_transport(SMS_SMPP, &sms_out);
    path.send = smpp.get();
    run(dialogue("ann@corp.example", {"0412345678@gw"}, kMail));
    ASSERT_EQ(sms_out.sent.size(), 1u);
    EXPECT_EQ(sms_out.sent[0].from, "7000");
    EXPECT_EQ(pool.in("7000").value_or(""), "ann@corp.example");
    path.send = send.get();
}

TEST_F(MailToSms, ModemSenderPrefixesTheReplyAddress) {
    limit("msgrec", 0, 500, 500);
    set("gsm_number", "+61400000000");
    auto modem = script_transport(SMS_GSM, &sms_out);
    path.send = modem.get();
    run(dialogue("ann@corp.example", {"0412345678@gw"}, kMail));
    ASSERT_EQ(sms_out.sent.size(), 1u);
    EXPECT_EQ(sms_out.sent[0].from, "+61400000000");
    EXPECT_EQ(sms_out.sent[0].text, "Reply w/ ann@corp.example - Lunch - At noon\n");
    path.send = send.get();
}

// ---- the pieces ----

// An entry's units are settled once: the first take gets its user, a second finds none,
// and an entry never held (an earlier run's) has none to settle.
TEST(MailUnits, AnEntrysUnitsAreTakenOnceWithItsUser) {
    MailUnits units;
    units.hold(7, "ann");
    units.hold(8, "");
    std::string user = "unchanged";
    EXPECT_FALSE(units.take(9, user));
    EXPECT_EQ(user, "unchanged");
    ASSERT_TRUE(units.take(7, user));
    EXPECT_EQ(user, "ann");
    EXPECT_FALSE(units.take(7, user));
    ASSERT_TRUE(units.take(8, user));
    EXPECT_EQ(user, "");
    // Each gateway keeps its own.
    Gateway a;
    Gateway b;
    a.mail_units->hold(1, "bob");
    EXPECT_FALSE(b.mail_units->take(1, user));
    EXPECT_TRUE(a.mail_units->take(1, user));
}

TEST(HeaderAddress, DropsOneBracketPair) {
    std::string a = "<boss@corp.example>", b = "boss@corp.example", c = "<>", d = "<x", e = "";
    EXPECT_EQ(header_address(&a), "boss@corp.example");
    EXPECT_EQ(header_address(&b), "boss@corp.example");
    EXPECT_EQ(header_address(&c), "");
    EXPECT_EQ(header_address(&d), "x");
    EXPECT_EQ(header_address(&e), "");
    EXPECT_EQ(header_address(nullptr), "");
}

TEST(MailDestination, ReducesUnlessMailedWholeWithoutDomain) {
    EXPECT_EQ(mail_destination("sms0412345678@gw", SMS_ROBOT, nullptr, "sms", "+61"),
              "+61412345678");
    // Without a country only international forms are numbers.
    EXPECT_EQ(mail_destination("0412345678@gw", SMS_GSM, nullptr, "", nullptr), "");
    EXPECT_EQ(mail_destination("+61412345678@gw", SMS_GSM, nullptr, "", nullptr), "+61412345678");
    EXPECT_EQ(mail_destination("0412@x", SMS_SMTP, nullptr, "", "+61"), "0412@x");
    EXPECT_EQ(mail_destination("abc@x", SMS_SMTP, "", "", "+61"), "abc@x");
    EXPECT_EQ(mail_destination("0412345678@x", SMS_SMTP, "p.example", "", "+61"), "+61412345678");
    EXPECT_EQ(mail_destination("abc@x", SMS_SMTP, "p.example", "", "+61"), "");
}

TEST(ComposeSmsText, SubjectIsDecodedAndJoinedToTheBody) {
    mail_headers h = {{"Subject", "=?iso-8859-1?q?Big_news?="}};
    TextRules r;
    EXPECT_EQ(compose_sms_text(r, "a@b", &h, "body"), "Big news - body");
}

TEST(ComposeSmsText, SubjectHeaderNameIsExactCase) {
    mail_headers h = {{"subject", "lower"}};
    TextRules r;
    EXPECT_EQ(compose_sms_text(r, "a@b", &h, "body"), "body");
}

TEST(ComposeSmsText, SubjectCanBeLeftOut) {
    mail_headers h = {{"Subject", "S"}};
    TextRules r;
    r.sms_subject = false;
    EXPECT_EQ(compose_sms_text(r, "a@b", &h, "body"), "body");
    mail_headers empty_subject = {{"Subject", ""}};
    r.sms_subject = true;
    EXPECT_EQ(compose_sms_text(r, "a@b", &empty_subject, "body"), "body");
}

TEST(ComposeSmsText, FormatReplacesSubjectAndBody) {
    mail_headers h = {{"Subject", "S"}, {"X-Id", "42"}};
    TextRules r;
    r.format = "$(x-id): $(body2)";
    EXPECT_EQ(compose_sms_text(r, "a@b", &h, "body"), "42: bo");
}

TEST(ComposeSmsText, ModemReplyPrefixUnlessStatic) {
    mail_headers h = {{"Subject", "S"}};
    TextRules r;
    r.gsm = true;
    EXPECT_EQ(compose_sms_text(r, "a@b", &h, "x"), "Reply w/ a@b - S - x");
    r.sms_static = true;
    EXPECT_EQ(compose_sms_text(r, "a@b", &h, "x"), "S - x");
    r.sms_static = false;
    r.reply_with = false;
    EXPECT_EQ(compose_sms_text(r, "a@b", &h, "x"), "S - x");
    r.reply_with = true;
    r.gsm = false;
    EXPECT_EQ(compose_sms_text(r, "a@b", &h, "x"), "S - x");
}

TEST(ComposeSmsText, SpacesModeCompactsEveryPiece) {
    mail_headers h = {{"Subject", "big news"}};
    TextRules r;
    r.gsm = true;
    r.smart = "spaces";
    EXPECT_EQ(compose_sms_text(r, "a@b", &h, "see you soon"), "ReplyW/A@b-BigNews-SeeYouSoon");
}

TEST(ComposeSmsText, CutAt999Characters) {
    mail_headers h = {{"Subject", std::string(600, 's')}};
    TextRules r;
    std::string t = compose_sms_text(r, "a@b", &h, std::string(600, 'b'));
    EXPECT_EQ(t.size(), 999u);
    EXPECT_EQ(t.substr(600, 3), " - ");
}

class ListMatch : public ::testing::Test {
  protected:
    void SetUp() override {
        ini = sini_init(_settings);
        reader = rini_init(ini.get());
    }
    void TearDown() override {
        rini_free(reader);
        sini_free(ini);
    }
    std::unique_ptr<SIni> ini;
    std::unique_ptr<rini> reader;
};

TEST_F(ListMatch, DefaultAdmitsEverything) {
    EXPECT_EQ(list_match(reader.get(), ACCEPT_IP, "10.1.2.3").value_or("none"), "*");
}

TEST_F(ListMatch, FirstMatchingOccurrenceIsReported) {
    sini_set(ini.get(), ACCEPT_FROM, nullptr, "*@a.example");
    sini_set(ini.get(), ACCEPT_FROM, nullptr, "x@b.example, *@b.example");
    sini_set(ini.get(), ACCEPT_FROM, nullptr, "*");
    EXPECT_EQ(list_match(reader.get(), ACCEPT_FROM, "y@b.example").value_or("none"),
              "x@b.example, *@b.example");
    EXPECT_EQ(list_match(reader.get(), ACCEPT_FROM, "q@a.example").value_or("none"), "*@a.example");
}

TEST_F(ListMatch, NothingMatchesGivesNone) {
    sini_set(ini.get(), ACCEPT_TO, nullptr, "+61*\t+64*");
    EXPECT_FALSE(list_match(reader.get(), ACCEPT_TO, "+1555"));
    EXPECT_TRUE(list_match(reader.get(), ACCEPT_TO, "+6421"));
}

}  // namespace
}  // namespace tolvane
