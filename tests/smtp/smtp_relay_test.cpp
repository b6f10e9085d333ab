// The relay sender against our scripted server (which answers 4xx/5xx at a
// chosen step, stalls or hangs up) and against postfix's smtp-sink.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>

#include "smtp/relay_client.h"
#include "smtp/smtp_harness.h"
#include "peers/fake_smtp_server.h"

extern char** environ;

namespace tolvane {
namespace {

using test::fake_smtp_server;
using test::TempDir;
using step = fake_smtp_server::step;
using action = fake_smtp_server::action;

// A relay-only driver aimed at 127.0.0.1:port.
struct Relay {
    explicit Relay(int port, std::string fromdom = "", std::string todom = "", int timeout = 3000,
                   bool keep = false) {
        tcp_init();
        smtp_init rec;
        rec.sendhost = " 127.0.0.1 ";
        rec.sendport = port;
        rec.fromdom = fromdom;
        rec.todom = todom;
        rec.workpath = dir.sub("w");
        rec.relay_timeout = timeout;
        rec.relay_keep = keep;
        int err = 0;
        s = smtp_engine_open(rec, err);
        EXPECT_EQ(err, 0);
    }
    ~Relay() { s.reset(); }
    int send(std::string_view from, std::string_view to, std::string_view text,
             const smtp_message_extra* extra = nullptr) {
        return s->send(extra, from, to, text, &failure);
    }
    TempDir dir;
    std::string failure;  // the last send's failed step and reply
    std::unique_ptr<smtp_engine> s;
};

bool has(const std::vector<std::string>& v, const std::string& x) {
    return std::find(v.begin(), v.end(), x) != v.end();
}

std::vector<std::string> headers_of(const std::vector<std::string>& data) {
    std::vector<std::string> h;
    for (auto& l : data) {
        if (l.empty()) break;
        h.push_back(l);
    }
    return h;
}

std::vector<std::string> body_of(const std::vector<std::string>& data) {
    auto it = std::find(data.begin(), data.end(), std::string());
    return it == data.end() ? std::vector<std::string>{}
                            : std::vector<std::string>(it + 1, data.end());
}

TEST(SmtpRelay, DeliversWithTheDialogueAndHeaders) {
    fake_smtp_server srv;
    ASSERT_TRUE(srv.start());
    Relay r(srv.port());
    smtp_message_extra x;
    mail_header_set(x.headers, "subject", "SMS Failed");
    mail_header_set(x.headers, "X-Tolvane", "ERROR");
    mail_header_set(x.headers, "Content-Type", "text/html");
    mail_header_set(x.headers, "DATE", "never");
    EXPECT_EQ(r.send("Joe Bloggs <joe@x.example>", "ann@y.example", "the text", &x), 0);
    srv.stop();
    auto l = srv.lines();
    ASSERT_GE(l.size(), 5u);
    EXPECT_EQ(l[0], "EHLO " + tcp_hostname());
    EXPECT_EQ(l[1], "MAIL FROM:<joe@x.example>");
    EXPECT_EQ(l[2], "RCPT TO:<ann@y.example>");
    EXPECT_EQ(l[3], "DATA");
    EXPECT_EQ(l.back(), "QUIT");
    auto h = headers_of(srv.data());
    // The mail is MIME UTF-8 text: the handed-in Content-Type cannot replace it.
    ASSERT_EQ(h.size(), 8u);
    EXPECT_EQ(h[0], "Subject: SMS Failed");
    EXPECT_EQ(h[1].substr(0, 6), "Date: ");
    EXPECT_EQ(h[2], "From: Joe Bloggs <joe@x.example>");
    EXPECT_EQ(h[3], "To: ann@y.example");
    EXPECT_EQ(h[4], "MIME-Version: 1.0");
    EXPECT_EQ(h[5], "Content-Type: text/plain; charset=UTF-8");
    EXPECT_EQ(h[6], "Content-Transfer-Encoding: quoted-printable");
    EXPECT_EQ(h[7], "X-Tolvane: ERROR");
    EXPECT_EQ(body_of(srv.data()), std::vector<std::string>{"the text"});
}

TEST(SmtpRelay, SubjectDefaultsToTheStartOfTheText) {
    fake_smtp_server srv;
    ASSERT_TRUE(srv.start());
    Relay r(srv.port());
    EXPECT_EQ(r.send("a@b", "c@d", "Twenty characters and then some more"), 0);
    srv.stop();
    EXPECT_EQ(headers_of(srv.data())[0], "Subject: Twenty characters an");
}

TEST(SmtpRelay, BodyIsDotStuffedSplitAndEncoded) {
    fake_smtp_server srv;
    ASSERT_TRUE(srv.start());
    Relay r(srv.port());
    std::string longline(2500, 'L');
    std::string text = ".\n.a\r\nx=y\ttab\r" + longline + "\n\ncaf\xe9";
    EXPECT_EQ(r.send("a@b", "c@d", text), 0);
    srv.stop();
    // The server's own reading undoes nothing: what it got is what went on the wire.
    // A leading dot is escaped (no stuffing needed), long lines get soft breaks at
    // 76 characters, and a single byte that is not UTF-8 is read as Windows-1252.
    std::vector<std::string> want = {"=2E", "=2Ea", "x=3Dy\ttab"};
    for (int k = 0; k < 2500 / 75; ++k) want.push_back(std::string(75, 'L') + "=");
    want.push_back(std::string(2500 % 75, 'L'));
    want.push_back("");
    want.push_back("caf=C3=A9");
    EXPECT_EQ(body_of(srv.data()), want);
}

TEST(SmtpRelay, DomainsAreAddedToBareNames) {
    fake_smtp_server srv;
    ASSERT_TRUE(srv.start());
    Relay r(srv.port(), "from.example", "sms.example");
    EXPECT_EQ(r.send("+61400111222", "0400333444", "hi"), 0);
    srv.stop();
    auto l = srv.lines();
    EXPECT_EQ(l[1], "MAIL FROM:<+61400111222@from.example>");
    EXPECT_EQ(l[2], "RCPT TO:<0400333444@sms.example>");
    auto h = headers_of(srv.data());
    EXPECT_EQ(h[2], "From: +61400111222@from.example");
    EXPECT_EQ(h[3], "To: 0400333444@sms.example");
}

TEST(SmtpRelay, EmptySenderGivesTheNullReversePath) {
    fake_smtp_server srv;
    ASSERT_TRUE(srv.start());
    Relay r(srv.port());
    EXPECT_EQ(r.send("", "c@d.example", "hi"), 0);
    srv.stop();
    EXPECT_EQ(srv.lines()[1], "MAIL FROM:<>");
}

TEST(SmtpRelay, LineBreaksInAddressesCannotAddCommands) {
    fake_smtp_server srv;
    ASSERT_TRUE(srv.start());
    Relay r(srv.port());
    EXPECT_EQ(r.send("a@b.example", "c@d.example\r\nRCPT TO:<evil@x>", "hi"), 0);
    srv.stop();
    for (auto& l : srv.lines()) EXPECT_NE(l, "RCPT TO:<evil@x>");
}

TEST(SmtpRelay, MultiLineRepliesAreReadWhole) {
    fake_smtp_server srv;
    srv.multiline_greeting = true;
    ASSERT_TRUE(srv.start());
    Relay r(srv.port());
    EXPECT_EQ(r.send("a@b.example", "c@d.example", "hi"), 0);
    srv.stop();
    EXPECT_EQ(body_of(srv.data()), std::vector<std::string>{"hi"});
}

struct failure_row {
    step at;
    action how;
    const char* reply;
    int result;
    bool quit_sent;
};

TEST(SmtpRelay, FailingServerGivesTheResultOfEachStep) {
    const failure_row rows[] = {
        {step::greeting, action::reply, "554 go away", SMTP_EREPLY, true},
        {step::helo, action::reply, "421 closing", SMTP_EREPLY, true},
        {step::mail, action::reply, "451 later", SMTP_EREPLY, true},
        {step::rcpt, action::reply, "550 no such user", SMTP_EREPLY, true},
        {step::data, action::reply, "554 no data", SMTP_EREPLY, true},
        {step::dot, action::reply, "452 full", SMTP_EREPLY, true},
        {step::greeting, action::hangup, "", SMTP_EREAD, false},
        {step::mail, action::hangup, "", SMTP_EREAD, false},
        {step::dot, action::hangup, "", SMTP_EREAD, false},
        {step::rcpt, action::stall, "", SMTP_EREAD, true},
        // The server took the mail: not answering QUIT does not undo the delivery.
        {step::quit, action::hangup, "", SMTP_OK, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(static_cast<int>(row.at)) + "/" +
                     std::to_string(static_cast<int>(row.how)));
        fake_smtp_server srv;
        srv.fail_at = row.at;
        srv.how = row.how;
        srv.fail_reply = row.reply;
        ASSERT_TRUE(srv.start());
        Relay r(srv.port(), "", "", 300);
        EXPECT_EQ(r.send("a@b.example", "c@d.example", "text"), row.result);
        srv.stop();
        EXPECT_EQ(has(srv.lines(), "QUIT"), row.quit_sent);
        EXPECT_EQ(srv.sessions(), 1);
    }
}

TEST(SmtpRelay, ConnectFailureGivesOne) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    int port = ntohs(a.sin_port);
    ::close(fd);  // nothing listens there now
    Relay r(port);
    EXPECT_EQ(r.send("a@b", "c@d", "x"), SMTP_ECONNECT);
    std::string why;
    EXPECT_EQ(smtp_error(r.s.get(), SMTP_ECONNECT, why),
              "Failed to connect to the sending SMTP server");
}

// ---- a connection kept between mails ----

// A finished transaction needs no RSET: each further mail starts with its MAIL FROM.
TEST(SmtpRelayKept, FurtherMailsGoOnTheSameConnection) {
    fake_smtp_server srv;
    ASSERT_TRUE(srv.start());
    {
        Relay r(srv.port(), "", "", 3000, true);
        for (int i = 0; i < 3; ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(r.send("a@b", "c" + std::to_string(i) + "@d", "text"), 0);
        }
        EXPECT_EQ(srv.sessions(), 1);
        auto l = srv.lines();
        std::vector<std::string> commands;
        for (const auto& x : l)
            if (x.rfind("EHLO", 0) == 0 || x == "RSET" || x == "QUIT" || x.rfind("RCPT", 0) == 0)
                commands.push_back(x);
        EXPECT_EQ(commands, (std::vector<std::string>{"EHLO " + tcp_hostname(), "RCPT TO:<c0@d>",
                                                      "RCPT TO:<c1@d>", "RCPT TO:<c2@d>"}));
    }  // the driver says QUIT on the kept connection as it goes
    ASSERT_TRUE(test::wait_until([&] {
        auto l = srv.lines();
        return !l.empty() && l.back() == "QUIT";
    }));
    srv.stop();
}

TEST(SmtpRelayKept, AConnectionTheServerDroppedIsReplaced) {
    fake_smtp_server srv;
    srv.close_after_mail = true;
    ASSERT_TRUE(srv.start());
    Relay r(srv.port(), "", "", 3000, true);
    EXPECT_EQ(r.send("a@b", "one@d", "text"), 0);
    EXPECT_EQ(r.send("a@b", "two@d", "text"), 0);
    EXPECT_EQ(srv.sessions(), 2);
    srv.stop();
    auto l = srv.lines();
    EXPECT_TRUE(has(l, "RCPT TO:<two@d>"));
}

TEST(SmtpRelayKept, AFailedMailClosesItsConnection) {
    fake_smtp_server srv;
    srv.fail_at = step::rcpt;
    srv.fail_reply = "550 no such user";
    ASSERT_TRUE(srv.start());
    Relay r(srv.port(), "", "", 3000, true);
    EXPECT_EQ(r.send("a@b", "one@d", "text"), SMTP_EREPLY);
    ASSERT_TRUE(test::wait_until([&] { return srv.sessions() == 1 && has(srv.lines(), "QUIT"); }));
    EXPECT_EQ(r.send("a@b", "two@d", "text"), SMTP_EREPLY);
    EXPECT_EQ(srv.sessions(), 2);  // a refused mail's connection is not used again
    EXPECT_FALSE(has(srv.lines(), "RSET"));
    srv.stop();
}

TEST(SmtpRelayKept, AKeptConnectionTheServerGaveUpIsReplacedButARefusalStands) {
    // The second mail on the kept connection meets the reply at MAIL FROM: a 421 (or no
    // answer) means the server dropped the idle connection, and the mail goes on a new
    // one; any other refusal is the mail's own. With and without PIPELINING.
    struct row {
        const char* reply;
        action how;
        bool pipelining;
        int result;
        int sessions;
        long rcpts;  // RCPT TO of the second mail seen by the server (pipelined ones too)
    };
    const row rows[] = {
        {"421 4.3.2 shutting down", action::reply, false, SMTP_OK, 2, 1},
        {"421 4.3.2 shutting down", action::reply, true, SMTP_OK, 2, 2},
        {"", action::hangup, false, SMTP_OK, 2, 1},
        {"", action::hangup, true, SMTP_OK, 2, 1},
        {"550 5.7.1 sender refused", action::reply, false, SMTP_EREPLY, 1, 0},
        {"550 5.7.1 sender refused", action::reply, true, SMTP_EREPLY, 1, 1},
        {"451 4.3.0 try later", action::reply, true, SMTP_EREPLY, 1, 1},
    };
    for (const row& w : rows) {
        SCOPED_TRACE(std::string(w.reply) + (w.how == action::hangup ? "hang up" : "") +
                     (w.pipelining ? " pipelining" : ""));
        fake_smtp_server srv;
        srv.pipelining = w.pipelining;
        srv.fail_at = step::mail;
        srv.how = w.how;
        srv.fail_reply = w.reply;
        srv.fail_after_mails = 1;
        ASSERT_TRUE(srv.start());
        Relay r(srv.port(), "", "", 3000, true);
        EXPECT_EQ(r.send("a@b", "one@d", "text"), 0);
        EXPECT_EQ(r.send("a@b", "two@d", "text"), w.result);
        EXPECT_EQ(srv.sessions(), w.sessions);
        srv.stop();
        auto l = srv.lines();
        EXPECT_EQ(std::count(l.begin(), l.end(), "RCPT TO:<two@d>"), w.rcpts);
        // The message went once: on the new connection, or not at all.
        EXPECT_EQ(std::count(l.begin(), l.end(), "To: two@d"), w.result == SMTP_OK ? 1 : 0);
    }
}

TEST(SmtpRelay, PipeliningSendsTheEnvelopeInOneWriteAndReadsEveryReply) {
    // Table: where the server refuses, the result, the failure text, and whether the
    // message went. A refusal before DATA still gets DATA's reply read; a server that
    // answers 354 anyway gets a lone dot, so the dialogue ends in step with QUIT.
    struct row {
        step at;
        const char* reply;
        int result;
        const char* failure;  // the step and reply the failure names
    };
    const row rows[] = {
        {step::none, "", SMTP_OK, ""},
        {step::mail, "451 4.3.0 later", SMTP_EREPLY, "MAIL: 451 4.3.0 later"},
        {step::rcpt, "550 5.1.1 no such user", SMTP_EREPLY, "RCPT: 550 5.1.1 no such user"},
        {step::data, "554 5.5.1 no valid recipients", SMTP_EREPLY,
         "DATA: 554 5.5.1 no valid recipients"},
        {step::dot, "452 4.3.1 full", SMTP_EREPLY, "DATA: 452 4.3.1 full"},
    };
    for (const row& w : rows) {
        SCOPED_TRACE(w.reply);
        fake_smtp_server srv;
        srv.pipelining = true;
        srv.fail_at = w.at;
        srv.fail_reply = w.reply;
        ASSERT_TRUE(srv.start());
        Relay r(srv.port(), "", "", 3000);
        EXPECT_EQ(r.send("a@b", "c@d", "hello"), w.result);
        EXPECT_EQ(r.failure, w.result == SMTP_EREPLY ? w.failure : "");
        srv.stop();
        auto l = srv.lines();
        auto reads = srv.reads();
        auto at = [&](const std::string& prefix) {
            for (std::size_t i = 0; i < l.size(); ++i)
                if (l[i].rfind(prefix, 0) == 0) return static_cast<int>(i);
            return -1;
        };
        int mail = at("MAIL FROM:<a@b>"), rcpt = at("RCPT TO:<c@d>"), data = at("DATA");
        ASSERT_GE(mail, 0);
        ASSERT_EQ(rcpt, mail + 1);
        ASSERT_EQ(data, mail + 2);
        EXPECT_EQ(reads[mail], reads[rcpt]);
        EXPECT_EQ(reads[mail], reads[data]);
        EXPECT_EQ(srv.data().empty(), w.result != SMTP_OK && w.at != step::dot);
        if (w.result != SMTP_OK) {
            EXPECT_EQ(l.back(), "QUIT");
            // Only the lone dot may stand between DATA and QUIT: no header went out.
            EXPECT_LE(l.size() - static_cast<std::size_t>(data), w.at == step::dot ? 20u : 3u);
        }
    }
}

// ---- against postfix's smtp-sink ----

int free_port() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

bool port_open(int port) {
    test::Client c(port);
    return c.ok();
}

TEST(SmtpRelay, DeliversToSmtpSink) {
    const char* sink = "/usr/sbin/smtp-sink";
    if (::access(sink, X_OK) != 0) GTEST_SKIP() << "smtp-sink is not installed (postfix package)";
    TempDir dumps;
    ::chmod(dumps.path().c_str(), 0777);  // smtp-sink drops to nobody
    int port = free_port();
    std::string where = "127.0.0.1:" + std::to_string(port);
    std::string tmpl = dumps.path() + "/%M.";
    std::vector<std::string> args = {sink, "-u", "nobody", "-d", tmpl, where, "10"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    ASSERT_EQ(::posix_spawn(&pid, sink, nullptr, nullptr, argv.data(), environ), 0);
    ASSERT_TRUE(test::wait_until([&] { return port_open(port); }));
    {
        Relay r(port);
        EXPECT_EQ(r.send("sender@x.example", "rcpt@y.example", "hello sink\n.dot line"), 0);
    }
    ASSERT_TRUE(test::wait_until([&] { return !TempDir::files(dumps.path(), "").empty(); }));
    ::kill(pid, SIGTERM);
    int st = 0;
    ::waitpid(pid, &st, 0);
    auto files = TempDir::files(dumps.path(), "");
    ASSERT_EQ(files.size(), 1u);
    std::ifstream f(dumps.path() + "/" + files[0]);
    std::stringstream ss;
    ss << f.rdbuf();
    std::string got = ss.str();
    EXPECT_NE(got.find("X-Mail-Args: <sender@x.example>"), std::string::npos) << got;
    EXPECT_NE(got.find("X-Rcpt-Args: <rcpt@y.example>"), std::string::npos) << got;
    // A line break in the subject taken from the text becomes a blank.
    EXPECT_NE(got.find("Subject: hello sink .dot line\n"), std::string::npos) << got;
    EXPECT_NE(got.find("Content-Type: text/plain; charset=UTF-8\n"), std::string::npos) << got;
    EXPECT_NE(got.find("\nhello sink\n"), std::string::npos) << got;
    EXPECT_NE(got.find("\n=2Edot line\n"), std::string::npos) << got;
}

}  // namespace
}  // namespace tolvane

namespace tolvane {
namespace {

TEST(SmtpRelay, TheFailureTextNamesTheStepAndTheServersReply) {
    fake_smtp_server srv;
    srv.fail_at = fake_smtp_server::step::rcpt;
    srv.fail_reply = "550 5.1.1 no such user";
    ASSERT_TRUE(srv.start());
    Relay r(srv.port());
    EXPECT_EQ(r.send("a@b", "c@d", "x"), SMTP_EREPLY);
    EXPECT_EQ(r.failure, "RCPT: 550 5.1.1 no such user");
    // Through the relay client, the reason carries the server's own words.
    smtp_init init;
    init.sendhost = "127.0.0.1";
    init.sendport = srv.port();
    init.workpath = r.dir.sub("client");
    auto client = RelayClient::open(init);
    ASSERT_TRUE(client);
    Status s = (*client)->send({"a@b", "c@d", "x", {}});
    EXPECT_EQ(s.reason(), "Un-expected reply from SMTP server (RCPT: 550 5.1.1 no such user)");
    srv.stop();
    // A later success on the same relay leaves no stale reply behind.
    fake_smtp_server ok;
    ASSERT_TRUE(ok.start());
    r.s->sendport = ok.port();
    EXPECT_EQ(r.send("a@b", "c@d", "x"), 0);
    EXPECT_EQ(r.failure, "");
}

}  // namespace
}  // namespace tolvane
