// The SessionPolicy verdicts at each stage against a scripted client (the server's
// dialogue over a byte buffer), and the RelayClient and MailSmsTransport against the fake
// SMTP server.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/auth_guard.h"
#include "foundation/ssha.h"
#include "peers/fake_smtp_server.h"
#include "smtp/engine.h"
#include "smtp/mail_sms_transport.h"
#include "smtp/relay_client.h"
#include "smtp/server.h"
#include "smtp/smtp_harness.h"

namespace tolvane {
namespace {

using test::TempDir;

enum class Stage { none, connect, mail, rcpt, data_start, data };

// Refuses at one stage with one reply; records the hooks it was asked, in order.
class ScriptedPolicy : public SessionPolicy {
  public:
    ScriptedPolicy(Stage at, Reply r) : at_(at), reply_(std::move(r)) {}
    Reply on_connect(const Peer& p) override {
        calls += "connect(" + p.ip + ") ";
        return verdict(Stage::connect);
    }
    void on_helo(const Peer& p) override { calls += "helo(" + p.helo + ") "; }
    void on_auth(const std::string& user) override { calls += "auth(" + user + ") "; }
    Reply on_mail(const Peer&, const std::string& from) override {
        calls += "mail(" + from + ") ";
        return verdict(Stage::mail);
    }
    Reply on_rcpt(const std::string& to) override {
        calls += "rcpt(" + to + ") ";
        // Only the first recipient is refused: the second shows the dialogue went on.
        return ++rcpts_ == 1 ? verdict(Stage::rcpt) : Reply::accept();
    }
    Reply on_data_start() override {
        calls += "data_start ";
        return verdict(Stage::data_start);
    }
    Reply on_data(Envelope&& e) override {
        calls += "data(" + e.from + ";" + std::to_string(e.to.size()) + ";" + e.body + ") ";
        if (at_ == Stage::data) return reply_;
        return Reply{250, "Command DATA Processed mail data OK", false};
    }
    void on_abort() override { calls += "abort "; }

    std::string calls;

  private:
    Reply verdict(Stage s) { return s == at_ ? reply_ : Reply::accept(); }
    Stage at_;
    Reply reply_;
    int rcpts_ = 0;
};

class PolicyTable : public ::testing::Test {
  protected:
    void SetUp() override {
        smtp_init rec;
        rec.workpath = dir.sub("spool");
        int err = 0;
        engine = smtp_engine_open(rec, err);
        ASSERT_EQ(err, 0);
        engine->handoff = [this](std::unique_ptr<smtp_message> m) { handed.push_back(std::move(m)); };
    }
    // The replies of the dialogue, one per line.
    std::vector<std::string> replies() const {
        std::vector<std::string> r;
        std::size_t at = 0;
        for (std::size_t e; (e = out.find("\r\n", at)) != std::string::npos; at = e + 2)
            r.push_back(out.substr(at, e - at));
        return r;
    }
    std::string hello() const { return "250 " + engine->host + ". Hello c(127.0.0.1)"; }

    TempDir dir;
    AuthGuard guard;  // failures of one test never hold another's logins
    std::unique_ptr<smtp_engine> engine;
    std::string out;
    std::vector<std::unique_ptr<smtp_message>> handed;
};

const char* kClient =
    "HELO c\r\nMAIL FROM:<s@x>\r\nRCPT TO:<one@y>\r\nRCPT TO:<two@y>\r\nDATA\r\n"
    "\r\nbody\r\n.\r\nQUIT\r\n";

const std::string R_MAIL = "250 Command MAIL OK";
const std::string R_RCPT = "250 Command RCPT User found OK";
const std::string R_354 = "354 Command DATA Start mail input; end with <CRLF>.<CRLF>";
const std::string R_250 = "250 Command DATA Processed mail data OK";
const std::string R_QUIT = "221 Command QUIT, disconnecting";

struct Row {
    const char* name;
    Stage at;
    Reply reply;
    std::vector<std::string> tail;  // the replies after the HELO answer
    std::string calls;
};

TEST_F(PolicyTable, EachStageRefusesWithItsReplyAndClosesOrGoesOnAsTold) {
    const std::vector<Row> rows = {
        {"accepted", Stage::none, {}, {R_MAIL, R_RCPT, R_RCPT, R_354, R_250, R_QUIT},
         "connect(127.0.0.1) helo(c) mail(s@x) rcpt(one@y) rcpt(two@y) data_start "
         "data(s@x;2;body\n) "},
        {"mail refused, closed", Stage::mail, Reply::refuse(500, "User Blocked", true),
         {"500 User Blocked"}, "connect(127.0.0.1) helo(c) mail(s@x) abort "},
        {"one recipient refused, the dialogue goes on", Stage::rcpt,
         Reply::refuse(500, "To Blocked"), {R_MAIL, "500 To Blocked", R_RCPT, R_354, R_250, R_QUIT},
         "connect(127.0.0.1) helo(c) mail(s@x) rcpt(one@y) rcpt(two@y) data_start "
         "data(s@x;1;body\n) "},
        {"hang-up at DATA: no 354, closed", Stage::data_start, Reply::hang_up(),
         {R_MAIL, R_RCPT, R_RCPT},
         "connect(127.0.0.1) helo(c) mail(s@x) rcpt(one@y) rcpt(two@y) data_start abort "},
        {"data refused, closed", Stage::data, Reply::refuse(452, "Insufficient system storage", true),
         {R_MAIL, R_RCPT, R_RCPT, R_354, "452 Insufficient system storage"},
         "connect(127.0.0.1) helo(c) mail(s@x) rcpt(one@y) rcpt(two@y) data_start "
         "data(s@x;2;body\n) "},
        {"data refused, the dialogue goes on", Stage::data, Reply::refuse(550, "Not here"),
         {R_MAIL, R_RCPT, R_RCPT, R_354, "550 Not here", R_QUIT},
         "connect(127.0.0.1) helo(c) mail(s@x) rcpt(one@y) rcpt(two@y) data_start "
         "data(s@x;2;body\n) "},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        out.clear();
        auto m = smtp_message_new(engine.get(), smtp_memory_link(kClient, &out), MODE_HELO);
        ScriptedPolicy p(row.at, row.reply);
        smtp_run_mail(*engine, *m, p);
        // Nothing was handed on: the run ended the connection's dialogue.
        EXPECT_TRUE(handed.empty());
        // Released as the session releases it: held replies go out, the connection closes.
        m.reset();
        std::vector<std::string> want = {hello()};
        want.insert(want.end(), row.tail.begin(), row.tail.end());
        // A closing refusal is the last reply: the QUIT after it was never read.
        EXPECT_EQ(replies(), want);
        EXPECT_EQ(p.calls, row.calls);
    }
}

TEST_F(PolicyTable, ARefusalAtConnectIsSentBeforeAnythingIsRead) {
    auto m = smtp_message_new(engine.get(), smtp_memory_link(kClient, &out), MODE_HELO);
    ScriptedPolicy p(Stage::connect, Reply::refuse(500, "Ip Blocked", true));
    smtp_run_mail(*engine, *m, p);
    m.reset();
    EXPECT_EQ(replies(), std::vector<std::string>{"500 Ip Blocked"});
    EXPECT_EQ(p.calls, "connect(127.0.0.1) ");  // no abort after a refused start
}

TEST_F(PolicyTable, AMailRefusalThatKeepsTheConnectionHandsTheNextMailOn) {
    auto m = smtp_message_new(engine.get(),
                              smtp_memory_link("HELO c\r\nMAIL FROM:<s@x>\r\nMAIL FROM:<t@x>\r\n", &out),
                              MODE_HELO);
    ScriptedPolicy p(Stage::mail, Reply::refuse(550, "Not you"));
    smtp_run_mail(*engine, *m, p);
    EXPECT_EQ(replies(), (std::vector<std::string>{hello(), "550 Not you"}));
    EXPECT_EQ(p.calls, "connect(127.0.0.1) helo(c) mail(s@x) abort ");
    // The second MAIL begins the next transaction, on the same connection.
    ASSERT_EQ(handed.size(), 1u);
    EXPECT_NE(handed[0]->sock, nullptr);
}

TEST_F(PolicyTable, RsetAfterRecipientsAbortsTheTransaction) {
    auto m = smtp_message_new(
        engine.get(), smtp_memory_link("HELO c\r\nMAIL FROM:<s@x>\r\nRCPT TO:<a@y>\r\nRSET\r\n", &out),
        MODE_HELO);
    ScriptedPolicy p(Stage::none, {});
    smtp_run_mail(*engine, *m, p);
    EXPECT_EQ(p.calls, "connect(127.0.0.1) helo(c) mail(s@x) rcpt(a@y) abort ");
    EXPECT_EQ(handed.size(), 1u);
}

// The order of the policy's hooks over one connection: connect, then helo as HELO/EHLO is
// accepted and auth as AUTH succeeds (even when no MAIL follows), mail, rcpt..., data; the
// transaction the connection is handed on to hears the greeting and login of its
// connection right after its own connect.
TEST_F(PolicyTable, HooksComeInTheDialoguesOrderAsEachStageHappens) {
    engine->auth = SMTP_AUTH_OPTIONAL;
    engine->auth_plaintext = true;
    engine->auth_fail_delay_ms = 0;
    engine->guard = &guard;
    engine->users["ann"] = ssha_encode("pw");
    const std::string ok = "AUTH PLAIN " + encode_base64(std::string("\0ann\0pw", 7)) + "\r\n";
    const std::string bad = "AUTH PLAIN " + encode_base64(std::string("\0ann\0no", 7)) + "\r\n";
    const std::string mail = "MAIL FROM:<s@x>\r\nRCPT TO:<a@y>\r\nDATA\r\n\r\nb\r\n.\r\n";
    struct Case {
        const char* name;
        std::string input;
        std::string calls;   // the first transaction's
        std::string handed;  // the next transaction's, run to its end ("": none handed on)
    };
    const Case cases[] = {
        {"greeting alone", "HELO c\r\n", "connect(127.0.0.1) helo(c) abort ", ""},
        {"greeting and login alone", "EHLO c\r\n" + ok,
         "connect(127.0.0.1) helo(c) auth(ann) abort ", ""},
        {"a whole mail after a login", "EHLO c\r\n" + ok + mail,
         "connect(127.0.0.1) helo(c) auth(ann) mail(s@x) rcpt(a@y) data_start data(s@x;1;b\n) ",
         ""},
        {"a failed login is not told", "EHLO c\r\n" + bad + mail,
         "connect(127.0.0.1) helo(c) mail(s@x) rcpt(a@y) data_start data(s@x;1;b\n) ", ""},
        {"each greeting before MAIL is told", "HELO a\r\nEHLO b\r\n" + mail,
         "connect(127.0.0.1) helo(a) helo(b) mail(s@x) rcpt(a@y) data_start data(s@x;1;b\n) ",
         ""},
        {"login before the greeting is refused, not told", ok + "HELO c\r\n",
         "connect(127.0.0.1) helo(c) abort ", ""},
        {"RSET hands on: the next transaction hears the greeting and login first",
         "EHLO c\r\n" + ok + "MAIL FROM:<s@x>\r\nRSET\r\n",
         "connect(127.0.0.1) helo(c) auth(ann) mail(s@x) abort ",
         "connect(127.0.0.1) helo(c) auth(ann) abort "},
        {"a greeting that ends the transaction is the next one's",
         "HELO c\r\nMAIL FROM:<s@x>\r\nRCPT TO:<a@y>\r\nHELO d\r\n" + mail,
         "connect(127.0.0.1) helo(c) mail(s@x) rcpt(a@y) abort ",
         "connect(127.0.0.1) helo(d) mail(s@x) rcpt(a@y) data_start data(s@x;1;b\n) "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        out.clear();
        handed.clear();
        auto m = smtp_message_new(engine.get(), smtp_memory_link(c.input, &out), MODE_HELO);
        ScriptedPolicy first(Stage::none, {});
        smtp_run_mail(*engine, *m, first);
        EXPECT_EQ(first.calls, c.calls);
        ASSERT_EQ(handed.size(), c.handed.empty() ? 0u : 1u);
        if (handed.empty()) continue;
        auto next = std::move(handed[0]);
        handed.clear();
        ScriptedPolicy second(Stage::none, {});
        smtp_run_mail(*engine, *next, second);
        EXPECT_EQ(second.calls, c.handed);
    }
}

TEST(SmtpServerPolicy, EachTransactionOfAConnectionGetsAPolicyOfItsOwn) {
    test::Gateway g;
    ASSERT_NE(g.port(), 0);
    test::Client c(g.port());
    ASSERT_TRUE(c.ok());
    EXPECT_EQ(c.read().value_or(""), "220 TOLVANE");
    c.cmd("HELO c");
    for (const char* who : {"a@x", "b@x"}) {
        EXPECT_EQ(c.cmd(std::string("MAIL FROM:<") + who + ">"), R_MAIL);
        EXPECT_EQ(c.cmd("RCPT TO:<n@y>"), R_RCPT);
        EXPECT_EQ(c.cmd("DATA"), R_354);
        EXPECT_EQ(c.cmd("\r\nhi\r\n."), R_250);
    }
    EXPECT_EQ(c.cmd("QUIT"), R_QUIT);
    ASSERT_TRUE(g.wait_ends(2));
    EXPECT_EQ(g.ends(), (std::vector<std::string>{"mail", "mail"}));
    ASSERT_EQ(g.mails().size(), 2u);
    EXPECT_EQ(g.mails()[1].from, "b@x");
    // Both ran on the connection's one session worker.
    EXPECT_EQ(g.mails()[0].thread, g.mails()[1].thread);
}

// ---- RelayClient and MailSmsTransport against the fake SMTP server ----

smtp_init relay_to(int port) {
    smtp_init rec;
    rec.sendhost = "127.0.0.1";
    rec.sendport = port;
    rec.todom = "sms.example";
    rec.out_tls = SMTP_OUT_TLS_NONE;
    return rec;
}

TEST(RelayClient, SendsTheHeadersAndTheBodyAndAddsTheDomain) {
    test::fake_smtp_server srv;
    ASSERT_TRUE(srv.start());
    auto relay = RelayClient::open(relay_to(srv.port()));
    ASSERT_TRUE(relay) << relay.reason();
    Status s = (*relay)->send({"ann@x.example", "0412345678", "Hi there", {{"Subject", "SMS"}}});
    EXPECT_TRUE(s) << s.reason();
    std::vector<std::string> lines = srv.lines();
    auto has = [&](const std::string& l) {
        return std::find(lines.begin(), lines.end(), l) != lines.end();
    };
    EXPECT_TRUE(has("RCPT TO:<0412345678@sms.example>"));
    EXPECT_TRUE(has("Subject: SMS"));
    EXPECT_TRUE(has("Hi there"));
}

TEST(RelayClient, ARefusalGivesTheStepAndTheRelaysWords) {
    test::fake_smtp_server srv;
    srv.fail_at = test::fake_smtp_server::step::rcpt;
    srv.fail_reply = "550 no such user";
    ASSERT_TRUE(srv.start());
    auto relay = RelayClient::open(relay_to(srv.port()));
    ASSERT_TRUE(relay);
    Status s = (*relay)->send({"ann@x.example", "bob@y.example", "Hi", {}});
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().code, SMTP_EREPLY);
    EXPECT_NE(s.reason().find("550 no such user"), std::string::npos) << s.reason();
}

TEST(RelayClient, NoServerIsAConnectFailureAndACutSendIsCut) {
    test::fake_smtp_server srv;
    ASSERT_TRUE(srv.start());
    const int port = srv.port();
    srv.stop();
    auto relay = RelayClient::open(relay_to(port));
    ASSERT_TRUE(relay);
    Status s = (*relay)->send({"a@x", "b@y", "Hi", {}});
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().code, SMTP_ECONNECT);
    (*relay)->cut_sends(false);
    s = (*relay)->send({"a@x", "b@y", "Hi", {}});
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().code, SMTP_ECUT);
}

TEST(MailSmsTransport, TheLabelsBecomeTheMailsHeadersAndFailuresKeepTheirKind) {
    test::fake_smtp_server srv;
    ASSERT_TRUE(srv.start());
    auto t = MailSmsTransport::open("smtp", relay_to(srv.port()));
    ASSERT_TRUE(t) << t.reason();
    const mail_headers labels = {{"X-Sms-Bill", "<bill@x.example>"}};
    SendResult r = (*t)->send({.from = "ann@x.example", .to = "0412345678", .text = "Hello",
                               .labels = &labels});
    ASSERT_TRUE(r) << r.reason();
    std::vector<std::string> lines = srv.lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "X-Sms-Bill: <bill@x.example>"), lines.end());
    srv.fail_at = test::fake_smtp_server::step::mail;
    srv.fail_reply = "554 rejected";
    r = (*t)->send({.from = "ann@x.example", .to = "0412345678", .text = "Hello"});
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, SendFailure::failed);
    (*t)->cut_sends(false);
    r = (*t)->send({.from = "ann@x.example", .to = "0412345678", .text = "Hello"});
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, SendFailure::cut);
}

}  // namespace
}  // namespace tolvane
