// The SMS-to-mail path: received SMS come from a scripted receiving transport, mail goes
// through the real relay sender to a fake SMTP server on loopback, answers to senders go
// to a scripted sending transport; each test checks the mail dialogue, the records of
// the day, the answer SMS and what the receiving transport was told.
#include "gateway/sms_to_mail.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../peers/fake_smtp_server.h"
#include "foundation/lib.h"
#include "gateway/gateway.h"
#include "gateway/keys.h"
#include "gateway/mail_log_capture.h"
#include "gateway/path_fixture.h"
#include "gateway/script_transport.h"
#include "gateway/webhooks.h"
#include "mail/mail_charset.h"
#include "smtp/engine.h"
#include "records/msglog.h"
#include "records/msgrec.h"
#include "records/mutexlist.h"
#include "records/phones.h"
#include "sms/sms_smpp_sm.h"
#include "support/status_check.h"

namespace tolvane {
namespace {

using test::fake_smtp_server;

using test::an_sms;
using test::read_file;
using test::Script;
using test::script_relay;
using test::script_transport;
using test::ScriptTransport;
using test::Sent;
using test::TestSms;

template <typename Pred>
bool wait_for(Pred pred, int ms = 20000) {
    for (int waited = 0; waited < ms; waited += 10) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return pred();
}

class SmsToMail : public test::PathFixture {
  protected:
    void SetUp() override {
        PathFixture::SetUp();
        if (HasFatalFailure()) return;
        set("smtp_domain", "gw.example");
        Result<msgrecs_ptr> made = msgrec_init(registry, "msgrec", dir, '|', "24", 0, 500, 500);
        ASSERT_TRUE(made) << made.reason();
        limits = std::move(*made);
        ASSERT_TRUE(server.start());
        relay = relay_to(server.port());
        recv = script_transport(SMS_SMPP, &inbound);
        send = script_transport(SMS_GSM, &outbound);
        path.recv = recv.get();
        path.relay = relay.get();
        path.send = send.get();
        path.ini = ini.get();
        path.queue = queue.get();
        path.long_sms = &long_sms;
        path.state = &state;
        mailer.relay = relay.get();
        mailer.state = &state;
        mailer.minute_ms = 1;
    }

    // Relays every queued mail as a delivery worker would, retries included (their waits
    // are the engine's business, not this path's).
    void relay_queued() {
        // Read as a worker's start would, after the test's settings.
        sms_relay_rules(ini.get(), mailer);
        constexpr std::int64_t any_time = std::int64_t{1} << 62;
        while (std::optional<queue_entry> e = queue->claim(QUEUE_SMS_TO_MAIL, any_time)) {
            DeliveryJob job(*queue, std::move(*e));
            deliver_sms_entry(mailer, job);
            EXPECT_TRUE(job.finished());
        }
    }

    void TearDown() override {
        queue.reset();
        server.stop();
        recv.reset();
        send.reset();
        relay.reset();
        alias_free(aliases_file);
        alias_free(delivery_file);
        msgrec_free(limits);
        PathFixture::TearDown();
    }

    std::unique_ptr<RelayClient> relay_to(int port) {
        smtp_init rec;
        rec.workpath = dir + "/spool";
        rec.sendhost = "127.0.0.1";
        rec.sendport = port;
        rec.relay_timeout = 20000;
        auto s = RelayClient::open(rec);
        EXPECT_TRUE(s) << s.reason();
        return s ? std::move(*s) : nullptr;
    }

    // The sink of the path under test, as the gateway's receiving thread has it.
    struct PathSink : InboundSink {
        const SmsPath* path = nullptr;
        InboundVerdict received(SmsTransport&, InboundSms sms) override {
            return sms_to_mail(*path, sms);
        }
    };

    // Processes one SMS as a message worker of path.recv would: read, the path, the answer
    // to the transport, the release.
    void hand(std::unique_ptr<TestSms> m) {
        PathSink sink;
        sink.path = &path;
        std::unique_ptr<sms_message> msg = std::move(m);
        static_cast<ScriptTransport*>(path.recv)->rx.handle(sink, msg);
        EXPECT_FALSE(msg);
    }

    // Processes one SMS and relays what it queued.
    void deliver(std::unique_ptr<TestSms> m) {
        hand(std::move(m));
        relay_queued();
    }

    std::vector<std::string> records() { return day_records("log"); }

    // The envelope recipients the server was given, in order.
    std::vector<std::string> rcpts() {
        std::vector<std::string> out;
        for (const std::string& l : server.lines())
            if (l.rfind("RCPT TO:", 0) == 0) out.push_back(l.substr(8));
        return out;
    }
    std::vector<std::string> mail_froms() {
        std::vector<std::string> out;
        for (const std::string& l : server.lines())
            if (l.rfind("MAIL FROM:", 0) == 0) out.push_back(l.substr(10));
        return out;
    }
    std::string header(const std::string& name) {
        for (const std::string& l : server.data())
            if (l.rfind(name + ": ", 0) == 0) return l.substr(name.size() + 2);
        return "<none>";
    }

    void load_delivery(const std::string& text) {
        std::ofstream(dir + "/delivery.txt") << text;
        delivery_file = alias_new();
        Status loaded = alias_load(delivery_file.get(), dir + "/delivery.txt", "+61", " ", nullptr);
        ASSERT_TRUE(loaded) << loaded.reason();
        path.df = delivery_file.get();
    }
    void load_aliases(const std::string& text) {
        std::ofstream(dir + "/alias.txt") << text;
        aliases_file = alias_new();
        Status loaded = alias_load(aliases_file.get(), dir + "/alias.txt", "+61", "*", nullptr);
        ASSERT_TRUE(loaded) << loaded.reason();
        path.af = aliases_file.get();
    }

    msgrecs_ptr limits;
    fake_smtp_server server;
    std::unique_ptr<RelayClient> relay;
    std::unique_ptr<ScriptTransport> recv, send;
    std::unique_ptr<aliases> aliases_file, delivery_file;
    Script inbound, outbound;
    SmsRelay mailer;
    LongSms long_sms;  // this test's gateway's, none shared with another
    SmsPath path;
};

// ---- the mail itself ----

TEST_F(SmsToMail, KeywordRuleMailsTheLocalPartAtTheDomain) {
    deliver(an_sms("+61412345678", "to jane see you at six"));
    EXPECT_EQ(rcpts(), std::vector<std::string>{"<jane@gw.example>"});
    EXPECT_EQ(mail_froms(), std::vector<std::string>{"<+61412345678@gw.example>"});
    EXPECT_EQ(header("Subject"), "to jane see you at si") << "$(BODY20) gives 21 characters";
    EXPECT_EQ(header("X-Tolvane"), "SMS");
    EXPECT_EQ(header("From"), "\"+61412345678\" <+61412345678@gw.example>");
    std::vector<std::string> data = server.data();
    ASSERT_FALSE(data.empty());
    EXPECT_EQ(data.back(), "to jane see you at six");
    EXPECT_EQ(records(),
              std::vector<std::string>{"SUCCESS|SMS|+61412345678|jane@gw.example|T|NONE|"});
    EXPECT_EQ(inbound.accepted.size(), 1u);
    EXPECT_TRUE(inbound.rejected.empty());
    EXPECT_EQ(inbound.freed.load(), 1);
    EXPECT_TRUE(outbound.sent.empty());
    EXPECT_EQ(read_file(dir + "/msgrec.from"), "") << "SMS to mail is never counted";
}

TEST_F(SmsToMail, KeywordIgnoresCaseButNeedsItsBlank) {
    deliver(an_sms("+61412345678", "TO Jane hello"));
    deliver(an_sms("+61412345678", "tojane hello"));
    EXPECT_EQ(rcpts(), std::vector<std::string>{"<Jane@gw.example>"});
    std::vector<std::string> want = {"SUCCESS|SMS|+61412345678|Jane@gw.example|T|NONE|",
                                     "FAILURE|SMS|+61412345678|UNKNOWN|T|Unknown recipient|"};
    EXPECT_EQ(records(), want);
}

TEST_F(SmsToMail, SenderAddressComesFromTheAliasFile) {
    set("smtp_prefix", "sms");
    load_aliases("0412345678*Ann Smith <ann@corp.example>\n");
    deliver(an_sms("+61412345678", "to jane hi"));
    EXPECT_EQ(mail_froms(), std::vector<std::string>{"<ann@corp.example>"});
    deliver(an_sms("+61499999999", "to jane hi"));
    EXPECT_EQ(mail_froms(),
              (std::vector<std::string>{"<ann@corp.example>", "<sms+61499999999@gw.example>"}));
}

TEST_F(SmsToMail, RequiredAliasMissingSendsNoMail) {
    ASSERT_EQ(sini_set_l(ini.get(), "alias_file", nullptr, "file=\"x\" required=\"true\""), 1);
    load_aliases("0412345678*ann@corp.example\n");
    deliver(an_sms("+61499999999", "to jane hi"));
    EXPECT_EQ(server.sessions(), 0);
    EXPECT_EQ(
        records(),
        std::vector<std::string>{
            "FAILURE|SMS|+61499999999|jane@gw.example|T|Alias for (+61499999999) not found|"});
    EXPECT_EQ(inbound.accepted.size(), 1u) << "retrying would not find an alias either";
    deliver(an_sms("+61412345678", "to jane hi"));
    EXPECT_EQ(server.sessions(), 1);
}

TEST_F(SmsToMail, IgnoredSenderLeavesNoTrace) {
    ASSERT_EQ(sini_set_l(ini.get(), "sms_ignore", nullptr, "+61411111111"), 1);
    ASSERT_EQ(sini_set_l(ini.get(), "sms_ignore", nullptr, "Telco"), 1);
    deliver(an_sms("telco", "to jane your bill"));
    deliver(an_sms("+61411111111", "to jane hi"));
    EXPECT_EQ(server.sessions(), 0);
    EXPECT_TRUE(records().empty());
    EXPECT_TRUE(outbound.sent.empty());
    EXPECT_EQ(inbound.freed.load(), 2);
    deliver(an_sms("+61411111112", "to jane hi"));
    EXPECT_EQ(server.sessions(), 1);
}

// ---- the destination rules, in order ----

TEST_F(SmsToMail, StaticMailboxBeatsEverything) {
    set("sms_static", "true");
    set("gsm_number", "+61400000000");
    msglog.store("+61412345678", "boss@corp.example");
    deliver(an_sms("+61412345678", "to jane write to bob@else.example"));
    EXPECT_EQ(rcpts(), std::vector<std::string>{"<+61400000000@gw.example>"});
}

TEST_F(SmsToMail, PoolNumberTheSmsWasSentToBeatsTheText) {
    pool.init(dir, nullptr, nullptr, 7000, 7010);
    ASSERT_EQ(pool.out("7003", "ann@corp.example"), 1);
    deliver(an_sms("+61412345678", "to jane hello", "7003"));
    EXPECT_EQ(rcpts(), std::vector<std::string>{"<ann@corp.example>"});
    EXPECT_EQ(pool.get("7003")->in, 1) << "the answer is counted on the pool number";
}

TEST_F(SmsToMail, EachRuleYieldsWhenTheEarlierOnesDoNot) {
    load_delivery("0412000001 delivered@corp.example\n0412000002 delivered2@corp.example\n");
    msglog.store("+61412000001", "remembered@corp.example");
    msglog.store("+61412000003", "only@corp.example");

    struct Case {
        const char* from;
        const char* text;
        const char* want;
    };
    const Case cases[] = {
        {"+61412000001", "to jane hi bob@else.example", "<jane@gw.example>"},  // keyword
        {"+61412000001", "hi, write bob@else.example", "<bob@else.example>"},  // text address
        {"+61412000001", "hello", "<delivered@corp.example>"},                 // delivery file
        {"+61412000002", "hello", "<delivered2@corp.example>"},
        {"+61412000003", "hello", "<only@corp.example>"},  // the one remembered address
    };
    std::vector<std::string> want;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        deliver(an_sms(c.from, c.text));
        want.push_back(c.want);
        EXPECT_EQ(rcpts(), want);
    }
}

TEST_F(SmsToMail, SeveralRememberedAddressesAreBouncedWithTheList) {
    msglog.store("+61412345678", "first@corp.example");
    msglog.store("+61412345678", "second@corp.example");
    deliver(an_sms("+61412345678", "hello", "+61400000000"));
    EXPECT_EQ(server.sessions(), 0);
    ASSERT_EQ(outbound.sent.size(), 1u);
    EXPECT_EQ(outbound.sent[0].from, "+61400000000");
    EXPECT_EQ(outbound.sent[0].to, "+61412345678");
    EXPECT_EQ(outbound.sent[0].text,
              "Message undeliverable, destination email address required in message\n"
              "Recent addresses include: second@corp.example,first@corp.example");
    EXPECT_EQ(records(),
              std::vector<std::string>{"FAILURE|SMS|+61412345678|UNKNOWN|T|Unknown recipient|"});
}

TEST_F(SmsToMail, BestGuessTakesTheMostRecentAddress) {
    msglog.set_clock([] { return std::time_t{1800000000}; });
    msglog.store("+61412345678", "older@corp.example");
    msglog.set_clock([] { return std::time_t{1800000100}; });
    msglog.store("+61412345678", "newer@corp.example");
    msglog.set_clock([] { return std::time_t{1800000200}; });
    msglog.store("+61412345678", "older@corp.example");  // written to again: now the latest
    msglog.set_clock(nullptr);
    set("sms_best_guess", "true");
    deliver(an_sms("+61412345678", "hello"));
    EXPECT_EQ(rcpts(), std::vector<std::string>{"<older@corp.example>"});
    EXPECT_TRUE(outbound.sent.empty());
}

TEST_F(SmsToMail, NoCandidateIsBouncedUnlessBouncesAreOff) {
    deliver(an_sms("+61412345678", "hello", "+61400000000"));
    ASSERT_EQ(outbound.sent.size(), 1u);
    EXPECT_EQ(outbound.sent[0].text,
              "Message undeliverable, destination email address required in message");
    set("sms_bounces", "false");
    deliver(an_sms("+61412345678", "hello again"));
    EXPECT_EQ(outbound.sent.size(), 1u);
    path.send = nullptr;
    set("sms_bounces", "true");
    deliver(an_sms("+61412345678", "and again"));
    EXPECT_EQ(outbound.sent.size(), 1u) << "no sending transport, no answer";
    EXPECT_EQ(records().size(), 3u) << "every undeliverable SMS is recorded";
    EXPECT_EQ(server.sessions(), 0);
}

TEST_F(SmsToMail, FailedBounceIsRecordedToo) {
    outbound.results = {5};
    deliver(an_sms("+61412345678", "hello", "+61400000000"));
    std::vector<std::string> want = {
        "FAILURE|LOCAL|+61400000000|+61412345678|T|scripted failure 5|",
        "FAILURE|SMS|+61412345678|UNKNOWN|T|Unknown recipient|"};
    EXPECT_EQ(records(), want);
    EXPECT_EQ(outbound.sent.size(), 1u) << "the answer is not retried";
}

TEST_F(SmsToMail, KeywordRuleAttributesAndPhonePattern) {
    ASSERT_EQ(sini_set_l(ini.get(), "sms_to", nullptr,
                         "keyword=\"fax\" phone=\"+6141*\" prefix=\"fax-\" domain=\"fax.example\""),
              1);
    ASSERT_EQ(sini_set_l(ini.get(), "sms_to", nullptr, "keyword=\"mail\" phone=\"*\""), 1);
    deliver(an_sms("+61412345678", "FAX 0299998888 call me"));
    deliver(an_sms("+61512345678", "fax 0299998888 call me"));  // phone does not match
    deliver(an_sms("+61512345678", "mail   bob  hi"));          // extra blanks are skipped
    deliver(an_sms("+61512345678", "mail carol@else.example hi"));
    std::vector<std::string> want = {"<fax-0299998888@fax.example>", "<bob@gw.example>",
                                     "<carol@else.example>"};
    EXPECT_EQ(rcpts(), want);
    EXPECT_EQ(records().size(), 4u);
    EXPECT_EQ(records()[1], "FAILURE|SMS|+61512345678|UNKNOWN|T|Unknown recipient|");
}

TEST_F(SmsToMail, DeliveryFileInNationalFormMatchesInternationalSenders) {
    load_delivery("0412345678 ann@corp.example\n");
    deliver(an_sms("+61412345678", "hello"));
    EXPECT_EQ(rcpts(), std::vector<std::string>{"<ann@corp.example>"});
}

// ---- the relay and its retries ----

TEST_F(SmsToMail, RelayRefusalIsRetriedThenRecorded) {
    LogCapture log;
    server.fail_at = fake_smtp_server::step::rcpt;
    server.fail_reply = "550 no such user";
    set("smtp_retries", "2");
    set("smtp_retry_wait", "1");
    deliver(an_sms("+61412345678", "to jane hi"));
    EXPECT_EQ(server.sessions(), 3);
    std::vector<std::string> msgs = log.messages();
    EXPECT_EQ(std::count(msgs.begin(), msgs.end(), "Message send failed, retry in 1 mins..."), 2);
    EXPECT_EQ(records(), std::vector<std::string>{
                             "FAILURE|SMS|+61412345678|jane@gw.example|T|"
                             "Un-expected reply from SMTP server (RCPT: 550 no such user)|"});
    EXPECT_EQ(inbound.accepted.size(), 1u) << "acknowledged once stored, before the relay";
    EXPECT_TRUE(inbound.rejected.empty());
    EXPECT_TRUE(outbound.sent.empty()) << "a relay failure is not answered by SMS";
    EXPECT_TRUE(queue->list(0).empty());
}

TEST_F(SmsToMail, NoRetriesMeansOneAttempt) {
    server.fail_at = fake_smtp_server::step::rcpt;
    set("smtp_retries", "0");
    deliver(an_sms("+61412345678", "to jane hi"));
    EXPECT_EQ(server.sessions(), 1);
}

TEST_F(SmsToMail, RetrySucceedsWithTheSameHeaders) {
    Script relay_script;
    relay_script.results = {1, 1};
    auto scripted = script_relay(&relay_script);
    mailer.relay = scripted.get();
    set("smtp_retries", "3");
    deliver(an_sms("+61412345678", "to jane hi"));
    ASSERT_EQ(relay_script.sent.size(), 3u);
    for (const Sent& s : relay_script.sent) {
        EXPECT_EQ(s.to, "jane@gw.example");
        EXPECT_EQ(s.from, "\"+61412345678\" <+61412345678@gw.example>");
        EXPECT_EQ(s.text, "to jane hi");
    }
    EXPECT_EQ(records(),
              std::vector<std::string>{"SUCCESS|SMS|+61412345678|jane@gw.example|T|NONE|"});
    EXPECT_EQ(inbound.accepted.size(), 1u);
}

TEST_F(SmsToMail, FailedRelayWaitsItsMinutesInTheQueueWithItsError) {
    server.fail_at = fake_smtp_server::step::rcpt;
    mailer.minute_ms = 60L * 1000L;  // the real length: 5 minutes a wait
    hand(an_sms("+61412345678", "to jane hi"));
    EXPECT_EQ(inbound.accepted.size(), 1u);
    std::int64_t before = delivery_now_ms();
    std::optional<queue_entry> e = queue->claim(QUEUE_SMS_TO_MAIL, before);
    ASSERT_TRUE(e);
    DeliveryJob job(*queue, std::move(*e));
    deliver_sms_entry(mailer, job);
    EXPECT_EQ(server.sessions(), 1);
    EXPECT_TRUE(records().empty()) << "no outcome yet";
    std::vector<queue_entry> waiting = queue->list(QUEUE_SMS_TO_MAIL);
    ASSERT_EQ(waiting.size(), 1u);
    EXPECT_EQ(waiting[0].attempts, 1u);
    EXPECT_EQ(waiting[0].last_error,
              "Un-expected reply from SMTP server (RCPT: 451 try again later)");
    EXPECT_FALSE(queue->claim(QUEUE_SMS_TO_MAIL, before + 4 * 60 * 1000));
    std::optional<std::int64_t> next = queue->next_ready(QUEUE_SMS_TO_MAIL, before);
    ASSERT_TRUE(next);
    EXPECT_GE(*next, before + 5 * 60 * 1000);
    EXPECT_LT(*next, delivery_now_ms() + 5 * 60 * 1000 + 1);
}

TEST_F(SmsToMail, SmsThatCannotBeStoredIsHandedBackToTheCentre) {
    LogCapture log;
    path.queue = nullptr;
    deliver(an_sms("+61412345678", "to jane hi"));
    EXPECT_EQ(inbound.rejected, std::vector<int>{SMS_RETRY_LATER});
    EXPECT_TRUE(inbound.accepted.empty());
    EXPECT_EQ(server.sessions(), 0);
    EXPECT_TRUE(records().empty());
    EXPECT_TRUE(log.has(
        "SMS from (+61412345678) not stored (no queue), the centre is asked to deliver it again"));
}

TEST_F(SmsToMail, ReceiveErrorDropsTheSmsAndHandsItBack) {
    LogCapture log;
    auto m = an_sms("+61412345678", "to jane hi");
    m->recv_result = 9;
    deliver(std::move(m));
    EXPECT_TRUE(log.has("Message recv error scripted [9:scripted failure 9]"));
    EXPECT_EQ(server.sessions(), 0);
    EXPECT_TRUE(records().empty());
    EXPECT_EQ(inbound.rejected, std::vector<int>{SMS_RETRY_LATER});
    EXPECT_TRUE(inbound.accepted.empty());
}

TEST_F(SmsToMail, ModemMessageThatCannotBeReadIsRejectedToBeReadAgain) {
    Script modem_in;
    auto modem = script_transport(SMS_GSM, &modem_in);
    path.recv = modem.get();
    auto m = an_sms("+61412345678", "to jane hi");
    m->recv_result = 9;
    deliver(std::move(m));
    // The modem keeps a rejected message and has it read again; only an accept
    // deletes it.
    EXPECT_EQ(modem_in.rejected, std::vector<int>{SMS_RETRY_LATER});
    EXPECT_TRUE(modem_in.accepted.empty());
    EXPECT_EQ(modem_in.freed.load(), 1);
    deliver(an_sms("+61412345678", "to jane hi"));
    EXPECT_EQ(modem_in.accepted.size(), 1u);
    EXPECT_EQ(server.sessions(), 1);
    path.recv = recv.get();
}

// ---- the receiving thread's sink ----

TEST_F(SmsToMail, TheReceiverMailsEveryQueuedSmsUntilTheTransportFails) {
    LogCapture log;
    inbound.inbox.push_back(an_sms("+61412345678", "to ann one"));
    inbound.inbox.push_back(an_sms("+61412345679", "to bob two"));
    inbound.end_code = 42;
    std::shared_ptr<rini> reader = rini_init(ini.get());
    AliasTables tables;
    std::unique_ptr<InboundSink> sink = sms_to_mail_sink(path, tables, reader);
    std::stop_source never;
    // Returns with the wait's error once both SMS are handled (its workers joined).
    Status st = recv->receive(*sink, never.get_token());
    ASSERT_FALSE(st.ok());
    EXPECT_EQ(st.error().code, 42);
    EXPECT_EQ(st.reason(), "scripted failure 42");
    EXPECT_EQ(inbound.accepted.size(), 2u);
    relay_queued();
    std::vector<std::string> got = rcpts();
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<std::string>{"<ann@gw.example>", "<bob@gw.example>"}));
    EXPECT_TRUE(log.has("The scripted receiver stops: error 42 (scripted failure 42)"));
    EXPECT_EQ(records().size(), 2u);
}

TEST_F(SmsToMail, TheReceiverStopsOnItsStopTokenWhileWaitingWithoutEnd) {
    std::shared_ptr<rini> reader = rini_init(ini.get());
    AliasTables tables;
    std::unique_ptr<InboundSink> sink = sms_to_mail_sink(path, tables, reader);
    std::atomic<bool> ended{false};
    std::jthread rx([&](std::stop_token stop) {
        EXPECT_TRUE(recv->receive(*sink, stop).ok());
        ended = true;
    });
    // Nothing to wait for: no set of parts is due, so the wait has no end of its own.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(ended.load());
    rx.request_stop();
    rx.join();
    EXPECT_TRUE(ended.load());
}

// ---- the pieces ----

TEST_F(SmsToMail, SubjectTemplates) {
    struct Case {
        const char* tmpl;
        const char* body;
        const char* want;
    };
    set("gsm_number", "+61400000000");
    const Case cases[] = {
        {"SMS from $(FROM)", "hi", "SMS from +61412345678"},
        {"$(from): $(Body4)", "hello world", "+61412345678: hello"},
        {"[$(BODY)]", "hello", "[h]"},
        {"[$(BODY-1)]", "abcdefghijklmnopqrstuvwxyz", "[abcdefghijklmnopqrstu]"},
        {"[$(BODY5)]", "ab\r\ncdef", "[abcd]"},  // line ends examined, then dropped
        {"[$(BODY50)]", "short", "[short]"},
        {"via $(gsm_number)", "x", "via +61400000000"},
        {"x $(no_such_key) y", "x", "x (no_such_key) y"},
        {"x $(smpp_host) y", "x", "x (smpp_host) y"},  // a key without a value
        {"x $(unclosed", "x", "x (unclosed"},
        {"$(BODYx)", "x", "(BODYx)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tmpl);
        set("email_subject", c.tmpl);
        EXPECT_EQ(make_subject(ini.get(), c.body, "+61412345678"), c.want);
    }
    set("email_subject", "$(FROM)$(FROM)");
    EXPECT_EQ(make_subject(ini.get(), "", "+61412345678", 16), "+61412345678+61");
}

// $(BODYn) counts characters: a Cyrillic, accented or emoji text gets as many as a
// Latin one, and a cut never falls inside one.
TEST_F(SmsToMail, SubjectCountsCharactersNotBytes) {
    const struct {
        const char* tmpl;
        const char* body;
        const char* want;
    } cases[] = {
        {"$(BODY20)", "Привет мир 😀 — тест", "Привет мир 😀 — тест"},
        {"$(BODY20)", "Привет мир 😀 — тест, как дела?", "Привет мир 😀 — тест, "},
        {"$(BODY11)", "Привет мир 😀 — тест", "Привет мир 😀"},
        {"$(BODY10)", "Привет мир 😀 — тест", "Привет мир "},
        {"$(BODY20)", "Grüße, ça va? àéîõü ok", "Grüße, ça va? àéîõü o"},
        {"$(BODY3)", "😀\r\n😀😀😀", "😀😀"},  // line ends examined, then dropped
        {"[$(BODY1)]", "éa", "[éa]"},
    };
    std::string tmpl;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.tmpl) + " " + c.body);
        if (tmpl != c.tmpl) set("email_subject", c.tmpl);
        tmpl = c.tmpl;
        EXPECT_EQ(make_subject(ini.get(), c.body, "+7900"), c.want);
    }
    // The size limit counts characters too.
    if (tmpl != "$(BODY20)") set("email_subject", "$(BODY20)");
    EXPECT_EQ(make_subject(ini.get(), "жжжжж", "+7900", 4), "жжж");
}

// From the centre's UCS-2 to the subject a person reads: whole characters, no Latin-1
// reading of UTF-8.
TEST_F(SmsToMail, Ucs2SmsFromTheCentreGivesAWholeSubject) {
    const struct {
        std::u16string text;
        const char* subject;
    } cases[] = {
        {u"Привет мир 😀 — тест", "Привет мир 😀 — тест"},
        {u"Привет мир 😀 — тест и ещё немного", "Привет мир 😀 — тест и"},
    };
    set("sms_static", "true");
    set("gsm_number", "+61400000000");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.subject);
        smpp_deliver d;
        d.data_coding = 8;
        for (char16_t u : c.text) {
            d.short_message.push_back(static_cast<char>(u >> 8));
            d.short_message.push_back(static_cast<char>(u & 0xFF));
        }
        std::string text;
        sms_concat concat;
        Status st = smpp_decode_text(d, false, text, concat);
        ASSERT_TRUE(st) << st.reason();
        deliver(an_sms("+79001234567", text));
        std::string subject;
        bool in = false;
        for (const std::string& l : server.data()) {
            if (l.rfind("Subject: ", 0) == 0) {
                subject = l.substr(9);
                in = true;
            } else if (in && !l.empty() && (l[0] == ' ' || l[0] == '\t')) {
                subject += l;
            } else {
                in = false;
            }
        }
        EXPECT_EQ(header_decode(subject), c.subject) << subject;
    }
}

TEST_F(SmsToMail, DefaultSubjectIsTheStartOfTheText) {
    EXPECT_EQ(make_subject(ini.get(), "0123456789abcdefghijKLMN", "+1"), "0123456789abcdefghijK");
}

TEST_F(SmsToMail, MadeAddressCarriesPrefixAndDomain) {
    EXPECT_EQ(make_email(ini.get(), "+61412"), "\"+61412\" <+61412@gw.example>");
    set("smtp_prefix", "sms");
    EXPECT_EQ(make_email(ini.get(), "+61412"), "\"+61412\" <sms+61412@gw.example>");
    std::string longnum(600, '1');
    EXPECT_EQ(make_email(ini.get(), longnum).size(), 999u);
}

// An originator is whatever text the sender's centre let through: it must reach the
// envelope, the From header and the record only as a harmless token.
TEST_F(SmsToMail, OriginatorTextCannotChooseTheEnvelopeOrAddHeaders) {
    struct Case {
        const char* originator;
        const char* number;
    };
    const Case cases[] = {
        {"ceo@bank.example", "ceobank.example"},
        {"+61\r\nBcc: e@x", "+61Bccex"},
        {"\"><x@y>", "xy"},
        {"Bank Ltd_1.x-y", "BankLtd_1.x-y"},
        {"@<>\r\n", "unknown"},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.originator);
        std::size_t before = mail_froms().size();
        deliver(an_sms(c.originator, "bob@corp.example hello"));
        ++n;
        ASSERT_TRUE(wait_for([&] { return mail_froms().size() > before; }));
        std::string addr = std::string(c.number) + "@gw.example";
        EXPECT_EQ(mail_froms().back(), "<" + addr + ">");
        std::string from_header;
        for (const std::string& l : server.data())
            if (l.rfind("From: ", 0) == 0) from_header = l.substr(6);
        EXPECT_EQ(from_header, std::string("\"") + c.number + "\" <" + addr + ">");
        ASSERT_EQ(records().size(), static_cast<std::size_t>(n));
        EXPECT_EQ(records().back(),
                  std::string("SUCCESS|SMS|") + c.number + "|bob@corp.example|T|NONE|");
    }
    for (const std::string& l : server.data()) {
        EXPECT_NE(l.rfind("Bcc:", 0), 0u) << "a header came from the originator: " << l;
    }
}

TEST(AddressNumber, KeepsOnlyTheCharactersOfANumberOrName) {
    struct Case {
        std::string raw, want;
    };
    const Case cases[] = {
        {"+61412345678", "+61412345678"},
        {"Bank.Alerts_2-x", "Bank.Alerts_2-x"},
        {"a b\tc", "abc"},
        {"\xc3\xa9t\xc3\xa9", "t"},
        {std::string("+6\0"
                     "1",
                     4),
         "+61"},
        {"", "unknown"},
        {"<>@\"", "unknown"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.raw);
        EXPECT_EQ(address_number(c.raw), c.want);
    }
}

TEST(TextAddress, FindsTheWordAroundTheFirstInnerAt) {
    EXPECT_EQ(text_address("please mail bob@x.example now").value_or("-"), "bob@x.example");
    EXPECT_EQ(text_address("<bob@x.example>,").value_or("-"), "bob@x.example");
    EXPECT_EQ(text_address("meet @ noon").value_or("-"), "-") << "an @ alone is no address";
    EXPECT_EQ(text_address("@home tonight").value_or("-"), "-") << "not the first character";
    EXPECT_EQ(text_address("x @y then a@b.example").value_or("-"), "a@b.example");
    EXPECT_EQ(text_address("ends with bob@").value_or("-"), "-");
    EXPECT_EQ(text_address("").value_or("-"), "-");
    EXPECT_EQ(text_address("line\nann@corp.example\n").value_or("-"), "ann@corp.example");
}

// ---- long SMS ----

std::unique_ptr<TestSms> a_part(const std::string& from, const std::string& body, int ref,
                                int total, int part) {
    std::unique_ptr<TestSms> m = an_sms(from, body);
    m->concat = sms_concat{ref, total, part};
    return m;
}

TEST_F(SmsToMail, PartsOutOfOrderWithADuplicateBecomeOneMail) {
    set("sms_static", "true");
    set("gsm_number", "0499000001");
    deliver(a_part("+61455500001",
                   "Gr\xC3\xBC\xC3\x9F"
                   "e, ",
                   7, 3, 2));
    deliver(a_part("+61455500001", "\xF0\x9F\x98\x80 end", 7, 3, 3));
    deliver(a_part("+61455500001",
                   "Gr\xC3\xBC\xC3\x9F"
                   "e, ",
                   7, 3, 2));  // repeated
    EXPECT_TRUE(server.data().empty()) << "nothing is mailed before the set is complete";
    EXPECT_EQ(inbound.accepted.size(), 3u) << "every part is answered when it is held";
    deliver(a_part("+61455500001", "Start: ", 7, 3, 1));
    std::vector<std::string> data = server.data();
    ASSERT_FALSE(data.empty());
    EXPECT_EQ(data.back(), "Start: Gr=C3=BC=C3=9Fe, =F0=9F=98=80 end");
    EXPECT_EQ(records().size(), 1u) << "one record for the one mail";
    EXPECT_EQ(inbound.accepted.size(), 4u);
}

TEST_F(SmsToMail, AnIncompleteSetIsMailedAfterItsWaitWithTheGapMarked) {
    set("sms_static", "true");
    set("gsm_number", "0499000001");
    set("sms_concat_wait", "1");
    deliver(a_part("+61455500002", "one ", 9, 3, 1));
    deliver(a_part("+61455500002", " three", 9, 3, 3));
    EXPECT_TRUE(server.data().empty());
    ASSERT_TRUE(wait_for([&] { return sms_concat_expire(path) == 1; }, 5000));
    relay_queued();
    std::vector<std::string> data = server.data();
    ASSERT_FALSE(data.empty());
    EXPECT_EQ(data.back(), "one [part 2 of 3 missing] three");
    EXPECT_EQ(sms_concat_expire(path), 0) << "a set is given out once";
}

// ---- parts of long SMS on disk ----

// The stored parts, as "originator reference/total/part text".
std::vector<std::string> stored_parts(QueueStore& q) {
    std::vector<std::string> out;
    for (const queue_entry& e : q.list(QUEUE_SMS_PART))
        out.push_back(e.originator + " " + std::to_string(e.flags >> 16) + "/" +
                      std::to_string((e.flags >> 8) & 0xff) + "/" + std::to_string(e.flags & 0xff) +
                      " " + e.text);
    return out;
}

TEST_F(SmsToMail, EachPartIsStoredBeforeItIsAnsweredAndFinishedWithItsSet) {
    set("sms_static", "true");
    set("gsm_number", "0499000001");
    // The largest numbers a header carries survive the store.
    deliver(a_part("+61455500011", "first half, ", 0xBEEF, 255, 1));
    EXPECT_EQ(stored_parts(*queue),
              (std::vector<std::string>{"+61455500011 48879/255/1 first half, "}));
    std::vector<queue_entry> held = queue->list(QUEUE_SMS_PART);
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(held[0].destination, "+61400000000");
    EXPECT_EQ(inbound.accepted, std::vector<int>{0});

    deliver(a_part("+61455500012", "alpha ", 3, 2, 1));
    deliver(a_part("+61455500012", "alpha ", 3, 2, 1));  // repeated: not stored twice
    EXPECT_EQ(stored_parts(*queue).size(), 2u);
    deliver(a_part("+61455500012", "omega", 3, 2, 2));
    ASSERT_FALSE(server.data().empty());
    EXPECT_EQ(server.data().back(), "alpha omega");
    // The joined set leaves nothing stored; the other set still waits.
    EXPECT_EQ(stored_parts(*queue),
              (std::vector<std::string>{"+61455500011 48879/255/1 first half, "}));
    EXPECT_EQ(inbound.accepted.size(), 4u);
}

TEST_F(SmsToMail, PartThatCannotBeStoredIsHandedBackAndNotHeld) {
    LogCapture log;
    set("sms_static", "true");
    set("gsm_number", "0499000001");
    path.queue = nullptr;
    deliver(a_part("+61455500013", "lost ", 4, 2, 1));
    EXPECT_EQ(inbound.rejected, std::vector<int>{SMS_RETRY_LATER});
    EXPECT_TRUE(inbound.accepted.empty());
    EXPECT_TRUE(
        log.has("Part 1 of 2 from (+61455500013) not stored (no queue), the centre is "
                "asked to deliver it again"));
    path.queue = queue.get();
    deliver(a_part("+61455500013", "found", 4, 2, 2));
    EXPECT_TRUE(server.data().empty()) << "the refused part was not held in memory either";
    deliver(a_part("+61455500013", "lost ", 4, 2, 1));  // the centre's second delivery
    ASSERT_FALSE(server.data().empty());
    EXPECT_EQ(server.data().back(), "lost found");
    EXPECT_TRUE(stored_parts(*queue).empty());
}

TEST_F(SmsToMail, RestartBetweenPartsStillGivesOneWholeMail) {
    set("sms_static", "true");
    set("gsm_number", "0499000001");
    deliver(a_part("+61455500014", "before the restart, ", 5, 2, 1));
    // A restart: the memory is gone, the store is read again.
    long_sms.forget();
    queue.reset();
    queue_file_options qo;
    qo.sync = false;
    Result<std::unique_ptr<QueueStore>> opened = queue_file_open(dir + "/queue", qo);
    ASSERT_TRUE(succeeded(opened));
    queue = std::move(*opened);
    path.queue = queue.get();
    EXPECT_EQ(sms_concat_restore(path), 1);
    deliver(a_part("+61455500014", "after it", 5, 2, 2));
    ASSERT_EQ(server.data().empty(), false);
    EXPECT_EQ(server.data().back(), "before the restart, after it");
    EXPECT_EQ(records().size(), 1u);
    EXPECT_TRUE(stored_parts(*queue).empty());
}

// The sets being joined belong to their gateway: a part that reaches another gateway's
// state (another gateway in the same process) does not complete a set held here.
TEST_F(SmsToMail, EachGatewayJoinsOnlyTheLongSmsItHolds) {
    set("sms_static", "true");
    set("gsm_number", "0499000001");
    LongSms other;
    deliver(a_part("+61455500016", "first, ", 8, 2, 1));
    path.long_sms = &other;
    deliver(a_part("+61455500016", "second", 8, 2, 2));
    EXPECT_TRUE(server.data().empty()) << "the other gateway holds no part of the set";
    path.long_sms = &long_sms;
    deliver(a_part("+61455500016", "second", 8, 2, 2));
    ASSERT_FALSE(server.data().empty());
    EXPECT_EQ(server.data().back(), "first, second");
    EXPECT_EQ(records().size(), 1u);
}

TEST_F(SmsToMail, RestoredCompleteSetIsMailedAtOnceAndRepeatsAreDropped) {
    set("sms_static", "true");
    set("gsm_number", "0499000001");
    // A run that stopped after storing a set's last part, before its mail; one part was
    // stored twice (the centre repeated it before the acknowledgement reached it).
    struct Row {
        int part;
        const char* text;
    } rows[] = {{2, "two"}, {1, "one "}, {2, "two"}};
    for (const Row& r : rows) {
        std::vector<queue_entry> b(1);
        b[0].kind = QUEUE_SMS_PART;
        b[0].originator = "+61455500015";
        b[0].destination = "+61400000000";
        b[0].text = r.text;
        b[0].flags = (6u << 16) | (2u << 8) | static_cast<std::uint32_t>(r.part);
        ASSERT_TRUE(succeeded(queue->enqueue(b)));
    }
    long_sms.forget();
    EXPECT_EQ(sms_concat_restore(path), 2);
    relay_queued();
    ASSERT_FALSE(server.data().empty());
    EXPECT_EQ(server.data().back(), "one two");
    EXPECT_TRUE(stored_parts(*queue).empty());
    EXPECT_EQ(sms_concat_restore(path), 0) << "nothing is left to restore";
}

// ---- received SMS as webhooks ----

class SmsToWebhook : public SmsToMail {
  protected:
    void SetUp() override {
        SmsToMail::SetUp();
        if (HasFatalFailure()) return;
        set("sms_webhook_url", "https://hooks.example/sms");
        set("sms_webhook_secret", "k1");
    }
    // The bodies of the stored webhook entries, each checked for its URL and secret.
    std::vector<std::string> hooks() {
        std::vector<std::string> out;
        for (const queue_entry& e : queue->list(QUEUE_WEBHOOK)) {
            EXPECT_EQ(e.destination, "https://hooks.example/sms");
            EXPECT_EQ(webhook_secret(e), "k1");
            out.push_back(e.text);
        }
        return out;
    }
    // A body with its received_at blanked.
    static std::string blank_time(std::string body) {
        std::size_t at = body.find("\"received_at\":\"");
        if (at != std::string::npos) body.replace(at + 15, 20, "T");
        return body;
    }
};

TEST_F(SmsToWebhook, MailOnlyByDefaultStoresNoWebhook) {
    deliver(an_sms("+61412345678", "to jane hi"));
    EXPECT_EQ(rcpts(), std::vector<std::string>{"<jane@gw.example>"});
    EXPECT_TRUE(hooks().empty());
}

TEST_F(SmsToWebhook, WebhookOnlySkipsTheMailAndItsRouting) {
    set("sms_deliver", "webhook");
    deliver(an_sms("+61412345678", "no address at all"));
    std::vector<std::string> h = hooks();
    ASSERT_EQ(h.size(), 1u);
    EXPECT_EQ(blank_time(h[0]),
              R"({"from":"+61412345678","to":"+61400000000","text":"no address at all",)"
              R"("received_at":"T","transport":"smpp","parts":1})");
    EXPECT_EQ(server.sessions(), 0);
    EXPECT_TRUE(outbound.sent.empty()) << "nothing is bounced: the webhook takes every SMS";
    EXPECT_TRUE(records().empty());
    EXPECT_EQ(inbound.accepted.size(), 1u);
}

TEST_F(SmsToWebhook, BothStoresMailAndWebhookTogether) {
    set("sms_deliver", "both");
    hand(an_sms("+61412345678", "to jane hi"));
    EXPECT_EQ(queue->list(QUEUE_SMS_TO_MAIL).size(), 1u);
    EXPECT_EQ(hooks().size(), 1u);
    relay_queued();
    EXPECT_EQ(rcpts(), std::vector<std::string>{"<jane@gw.example>"});
    // Undeliverable as mail, or refused by the alias file: the webhook still goes.
    hand(an_sms("+61412345679", "nowhere"));
    ASSERT_EQ(sini_set_l(ini.get(), "alias_file", nullptr, "file=\"x\" required=\"true\""), 1);
    load_aliases("0412345678*ann@corp.example\n");
    hand(an_sms("+61499999999", "to jane hi"));
    EXPECT_EQ(hooks().size(), 3u);
    EXPECT_TRUE(queue->list(QUEUE_SMS_TO_MAIL).empty());
    EXPECT_EQ(inbound.accepted.size(), 3u);
}

TEST_F(SmsToWebhook, IgnoredSenderGetsNoWebhook) {
    set("sms_deliver", "webhook");
    ASSERT_EQ(sini_set_l(ini.get(), "sms_ignore", nullptr, "+61411111111"), 1);
    hand(an_sms("+61411111111", "spam"));
    EXPECT_TRUE(hooks().empty());
    EXPECT_EQ(inbound.accepted.size(), 1u);
}

TEST_F(SmsToWebhook, NotStoredIsHandedBackAndNothingIsKept) {
    set("sms_deliver", "both");
    path.queue = nullptr;
    hand(an_sms("+61412345678", "to jane hi"));
    EXPECT_EQ(inbound.rejected, std::vector<int>{SMS_RETRY_LATER});
    path.queue = queue.get();
    set("sms_deliver", "webhook");
    path.queue = nullptr;
    hand(an_sms("+61412345678", "to jane hi"));
    EXPECT_EQ(inbound.rejected, (std::vector<int>{SMS_RETRY_LATER, SMS_RETRY_LATER}));
    EXPECT_TRUE(inbound.accepted.empty());
    EXPECT_TRUE(hooks().empty());
}

TEST_F(SmsToWebhook, LongSmsIsOneWebhookWithItsPartCount) {
    set("sms_deliver", "webhook");
    hand(a_part("+61455500001", "two", 5, 2, 2));
    EXPECT_TRUE(hooks().empty());
    hand(a_part("+61455500001", "one ", 5, 2, 1));
    std::vector<std::string> h = hooks();
    ASSERT_EQ(h.size(), 1u);
    EXPECT_NE(h[0].find(R"("text":"one two")"), std::string::npos) << h[0];
    EXPECT_NE(h[0].find(R"("parts":2})"), std::string::npos) << h[0];
    EXPECT_TRUE(stored_parts(*queue).empty()) << "the webhook replaced the stored parts";
}

}  // namespace
}  // namespace tolvane
