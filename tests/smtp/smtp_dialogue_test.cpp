// The SMTP listener against a scripted mail client over real loopback sockets,
// with a callback that plays the gateway's part. Every reply is checked word for word.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "foundation/lib.h"
#include "smtp/smtp_harness.h"

namespace tolvane {
namespace {

using test::Client;
using test::Gateway;
using test::Policy;
using test::TempDir;

const std::string R220 = "220 TOLVANE";
const std::string R_MAIL = "250 Command MAIL OK";
const std::string R_RCPT = "250 Command RCPT User found OK";
const std::string R_354 = "354 Command DATA Start mail input; end with <CRLF>.<CRLF>";
const std::string R_DATA = "250 Command DATA Processed mail data OK";
const std::string R_QUIT = "221 Command QUIT, disconnecting";

std::string hello(const std::string& name) {
    return "250 " + tcp_hostname() + ". Hello " + name + "(127.0.0.1)";
}

// Connects and reads the greeting.
std::unique_ptr<Client> connect(Gateway& g) {
    auto c = std::make_unique<Client>(g.port());
    EXPECT_TRUE(c->ok());
    EXPECT_EQ(c->read().value_or("none"), R220);
    return c;
}

// HELO, MAIL FROM and one RCPT TO, each answered as expected.
void envelope(Client& c, const std::string& from = "a@b.example",
              const std::string& to = "0400111222@sms.example") {
    EXPECT_EQ(c.cmd("HELO client"), hello("client"));
    EXPECT_EQ(c.cmd("MAIL FROM:<" + from + ">"), R_MAIL);
    EXPECT_EQ(c.cmd("RCPT TO:<" + to + ">"), R_RCPT);
}

void data(Client& c, const std::string& lines) {
    EXPECT_EQ(c.cmd("DATA"), R_354);
    c.send(lines);
    EXPECT_EQ(c.cmd("."), R_DATA);
}

TEST(SmtpDialogue, FullMailWithExactReplies) {
    Gateway g;
    ASSERT_NE(g.port(), 0);
    auto c = connect(g);
    EXPECT_EQ(c->cmd("HELO client.example"), hello("client.example"));
    EXPECT_EQ(c->cmd("MAIL FROM: <Sender@B.example>   "), R_MAIL);
    EXPECT_EQ(c->cmd("RCPT TO:first@sms.example"), R_RCPT);
    EXPECT_EQ(c->cmd("RCPT TO:<second@sms.example>"), R_RCPT);
    EXPECT_EQ(c->cmd("DATA"), R_354);
    c->send("Subject: hi there\r\nX-Sms-Bill: <bill@x.example>\r\n\r\nbody line\r\n");
    EXPECT_EQ(c->cmd("."), R_DATA);
    EXPECT_EQ(c->cmd("QUIT"), R_QUIT);
    EXPECT_TRUE(c->closed());
    ASSERT_TRUE(g.wait_ends(1));
    auto mails = g.mails();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].ip, "127.0.0.1");
    EXPECT_EQ(mails[0].from, "Sender@B.example");
    EXPECT_EQ(mails[0].to, (std::vector<std::string>{"first@sms.example", "second@sms.example"}));
    EXPECT_EQ(mails[0].body, "body line\n");
    EXPECT_TRUE(mails[0].spool_existed);
    ASSERT_NE(mail_header_find(mails[0].headers, "Subject"), nullptr);
    EXPECT_EQ(*mail_header_find(mails[0].headers, "Subject"), "hi there");
    EXPECT_EQ(*mail_header_find(mails[0].headers, "X-Sms-Bill"), "<bill@x.example>");
    EXPECT_EQ(g.ends(), std::vector<std::string>{"mail"});
    // The spool file went with the message.
    EXPECT_TRUE(TempDir::files(g.spool(), ".msg").empty());
}

TEST(SmtpDialogue, ListenerCanListenAgainRightAfterTraffic) {
    // The listener closes first after QUIT, so its side of the connection waits in
    // TIME_WAIT; a restarted gateway must still be able to listen on the same port.
    int port = 0;
    {
        Gateway g;
        ASSERT_NE(g.port(), 0);
        port = g.port();
        auto c = connect(g);
        envelope(*c);
        data(*c, "Subject: x\r\n\r\nbody\r\n");
        EXPECT_EQ(c->cmd("QUIT"), R_QUIT);
        EXPECT_TRUE(c->closed());
        ASSERT_TRUE(g.wait_ends(1));
    }
    TempDir dir;
    smtp_init again;
    again.listenport = port;
    again.bind = "127.0.0.1";
    again.workpath = dir.sub("spool");
    int err = -1;
    auto s = smtp_engine_open(again, err);
    ASSERT_NE(s, nullptr);
    std::string why;
    if (err) smtp_error(s.get(), err, why);
    EXPECT_EQ(err, 0) << why;
    EXPECT_EQ(smtp_engine_port(s.get()), port);
    s.reset();
}

TEST(SmtpDialogue, EhloIsAnsweredWithTheExtensionsAndOtherFirstCommandsRefused) {
    Gateway g;
    auto c = connect(g);
    EXPECT_EQ(c->cmd("MAIL FROM:<a@b>"), "500 HELO expected");
    EXPECT_EQ(c->cmd("EHLO client"), "250-" + hello("client").substr(4));
    EXPECT_EQ(c->read().value_or("none"), "250-PIPELINING");
    EXPECT_EQ(c->read().value_or("none"), "250-SIZE 10485760");
    EXPECT_EQ(c->read().value_or("none"), "250 8BITMIME");
    EXPECT_EQ(c->cmd("QUIT"), R_QUIT);
    EXPECT_TRUE(c->closed());
}

// A session as monitoring probes and MTAs hold it: NOOP and VRFY wherever a command may
// come, and a second greeting (EHLO or HELO) at any point, answered as the first and
// dropping the mail under way. None of it counts as an error.
TEST(SmtpDialogue, NoopVrfyAndRepeatedGreetingsFollowTheTranscript) {
    struct Step {
        std::string send;
        std::vector<std::string> replies;
    };
    const std::string host = tcp_hostname();
    auto ehlo = [&](const std::string& name) {
        return std::vector<std::string>{"250-" + host + ". Hello " + name + "(127.0.0.1)",
                                        "250-PIPELINING", "250-SIZE 10485760", "250 8BITMIME"};
    };
    const std::string vrfy = "252 Cannot VRFY user, but will accept message and attempt delivery";
    const Step transcript[] = {
        {"NOOP", {"250 OK"}},  // before any greeting too
        {"EHLO first", ehlo("first")},
        {"NOOP", {"250 OK"}},
        {"noop with an argument", {"250 OK"}},
        {"VRFY 0400111222@sms.example", {vrfy}},
        {"EHLO second", ehlo("second")},  // nothing under way: just answered
        {"MAIL FROM:<dropped@b.example>", {R_MAIL}},
        {"RCPT TO:<0400000001@sms.example>", {R_RCPT}},
        {"NOOP", {"250 OK"}},
        {"vrfy", {vrfy}},
        {"HELO third", {hello("third")}},  // the mail under way is dropped
        {"RCPT TO:<0400000002@sms.example>", {"500 Unknown command (RCPT)"}},
        {"MAIL FROM:<kept@b.example>", {R_MAIL}},
        {"RCPT TO:<0400111222@sms.example>", {R_RCPT}},
        {"DATA", {R_354}},
        {"", {}},
        {"NOOP", {}},  // message data, not a command
        {".", {R_DATA}},
        {"EHLO fourth", ehlo("fourth")},  // after a finished mail
        {"NOOP", {"250 OK"}},
        {"QUIT", {R_QUIT}},
    };
    Gateway g;
    auto c = std::make_unique<Client>(g.port());
    ASSERT_TRUE(c->ok());
    EXPECT_EQ(c->read().value_or("none"), R220);
    for (const Step& s : transcript) {
        SCOPED_TRACE(s.send);
        ASSERT_TRUE(c->line(s.send));
        for (const std::string& want : s.replies) EXPECT_EQ(c->read().value_or("none"), want);
    }
    EXPECT_TRUE(c->closed());
    ASSERT_TRUE(g.wait_mails(1));
    auto mails = g.mails();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].from, "kept@b.example");
    EXPECT_EQ(mails[0].to, std::vector<std::string>{"0400111222@sms.example"});
    EXPECT_EQ(mails[0].body, "NOOP\n");
    ASSERT_TRUE(g.wait_ends(2));
    std::vector<std::string> ends = g.ends();
    std::sort(ends.begin(), ends.end());
    EXPECT_EQ(ends, (std::vector<std::string>{"mail", "no body"}));  // the dropped one made none
}

// Forty NOOPs and VRFYs cost nothing of the error budget: the session is still open.
TEST(SmtpDialogue, NoopAndVrfyNeverCountAsErrors) {
    Gateway g;
    auto c = connect(g);
    EXPECT_EQ(c->cmd("HELO x"), hello("x"));
    for (int i = 0; i < 40; ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(c->cmd(i % 2 ? "NOOP" : "VRFY someone"),
                  i % 2 ? "250 OK"
                        : "252 Cannot VRFY user, but will accept message and attempt delivery");
    }
    EXPECT_EQ(c->cmd("MAIL FROM:<a@b>"), R_MAIL);
    EXPECT_EQ(c->cmd("QUIT"), R_QUIT);
}

TEST(SmtpDialogue, MailFromParametersAreReadAndATooBigSizeRefused) {
    Gateway g;
    auto c = connect(g);
    EXPECT_EQ(c->cmd("EHLO client"), "250-" + hello("client").substr(4));
    for (int i = 0; i < 3; ++i) c->read();
    EXPECT_EQ(c->cmd("MAIL FROM:<big@b.example> SIZE=10485761"),
              "552 Message size exceeds fixed maximum message size");
    EXPECT_EQ(c->cmd("MAIL FROM:<a@b.example> SIZE=10485760 BODY=8BITMIME"), R_MAIL);
    EXPECT_EQ(c->cmd("RCPT TO:<0400111222@sms.example>"), R_RCPT);
    data(*c, "Subject: s\r\n\r\nbody\r\n");
    EXPECT_EQ(c->cmd("QUIT"), R_QUIT);
    ASSERT_TRUE(g.wait_mails(1));
    EXPECT_EQ(g.mails()[0].from, "a@b.example");  // without its parameters
}

TEST(SmtpDialogue, LowerCaseCommandsAreAccepted) {
    Gateway g;
    auto c = connect(g);
    EXPECT_EQ(c->cmd("helo  low.example  "), hello("low.example"));
    EXPECT_EQ(c->cmd("mail from:<a@b.example>"), R_MAIL);
    EXPECT_EQ(c->cmd("rcpt to:<c@d.example>"), R_RCPT);
    EXPECT_EQ(c->cmd("data"), R_354);
    c->send("text\r\n");
    EXPECT_EQ(c->cmd("."), R_DATA);
    EXPECT_EQ(c->cmd("quit"), R_QUIT);
    ASSERT_TRUE(g.wait_mails(1));
    EXPECT_EQ(g.mails()[0].from, "a@b.example");
}

TEST(SmtpDialogue, RcptBeforeMailIsAnUnknownCommand) {
    Gateway g;
    auto c = connect(g);
    EXPECT_EQ(c->cmd("HELO x"), hello("x"));
    EXPECT_EQ(c->cmd("RCPT TO:<c@d>"), "500 Unknown command (RCPT)");
    EXPECT_EQ(c->cmd("EXPN please"), "500 Unknown command (EXPN)");
    EXPECT_EQ(c->cmd("MAIL FROM:<a@b>"), R_MAIL);
    EXPECT_EQ(c->cmd("MAIL FROM:<again@b>"), "500 Unknown command (MAIL)");
    EXPECT_EQ(c->cmd("QUIT"), R_QUIT);
}

TEST(SmtpDialogue, QuitInsideDataIsStoredAsData) {
    Gateway g;
    auto c = connect(g);
    envelope(*c);
    data(*c, "\r\nfirst\r\nQUIT\r\nRSET\r\nlast\r\n");
    EXPECT_EQ(c->cmd("QUIT"), R_QUIT);
    ASSERT_TRUE(g.wait_mails(1));
    EXPECT_EQ(g.mails()[0].body, "first\nQUIT\nRSET\nlast\n");
}

TEST(SmtpDialogue, DotStuffingIsUndone) {
    Gateway g;
    auto c = connect(g);
    envelope(*c);
    data(*c, "\r\n..\r\n..x\r\n.x\r\n...\r\n");
    ASSERT_TRUE(g.wait_mails(1));
    EXPECT_EQ(g.mails()[0].body, ".\n.x\n.x\n..\n");
}

TEST(SmtpDialogue, SilentClientLosesTheConnection) {
    Gateway g(Policy{}, 300);
    auto c = connect(g);
    EXPECT_EQ(c->cmd("HELO x"), hello("x"));
    // Nothing more: the listener hangs up after its read time limit.
    EXPECT_TRUE(c->closed(3000));
    ASSERT_TRUE(g.wait_ends(1));
    EXPECT_EQ(g.ends(), std::vector<std::string>{"no mail"});
}

TEST(SmtpDialogue, ReadTimeLimitIsTenSecondsByDefault) {
    EXPECT_EQ(SMTP_CLIENT_TIMEOUT, 10000);
    smtp_init rec;
    EXPECT_EQ(rec.client_timeout, 10000);
    rec.client_timeout = 0;  // not set: the default
    int err = 0;
    auto s = smtp_engine_open(rec, err);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(static_cast<smtp_engine*>(s.get())->client_timeout, 10000);
    s.reset();
}

TEST(SmtpDialogue, SilenceAfterACompletedMailEndsQuietly) {
    Gateway g(Policy{}, 300);
    auto c = connect(g);
    envelope(*c);
    data(*c, "\r\nhello\r\n");
    EXPECT_TRUE(c->closed(3000));
    ASSERT_TRUE(g.wait_ends(1));
    auto mails = g.mails();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(g.ends(), std::vector<std::string>{"mail"});  // a finished mail is not an error
}

TEST(SmtpDialogue, DisconnectInsideDataHandsNothingOnAndLeavesNoSpoolFile) {
    Gateway g;
    auto c = connect(g);
    envelope(*c);
    EXPECT_EQ(c->cmd("DATA"), R_354);
    c->send("Subject: cut\r\n\r\nhalf a mail\r\nand a half line");
    ASSERT_TRUE(test::wait_until([&] { return !TempDir::files(g.spool(), ".msg").empty(); }));
    c->close();
    ASSERT_TRUE(g.wait_ends(1));
    EXPECT_EQ(g.ends(), std::vector<std::string>{"no body"});
    EXPECT_TRUE(g.mails().empty());
    EXPECT_TRUE(TempDir::files(g.spool(), ".msg").empty());
}

TEST(SmtpDialogue, OverlongCommandLineIsCutAndTheDialogueGoesOn) {
    Gateway g;
    auto c = connect(g);
    EXPECT_EQ(c->cmd("HELO x"), hello("x"));
    std::string longline(5000, 'A');
    EXPECT_EQ(c->cmd(longline), "500 Unknown command (" + std::string(999, 'A') + ")");
    EXPECT_EQ(c->cmd("MAIL FROM:<a@b>"), R_MAIL);
    EXPECT_EQ(c->cmd("QUIT"), R_QUIT);
}

TEST(SmtpDialogue, NulBytesGiveA500AndTheDialogueGoesOn) {
    Gateway g;
    auto c = connect(g);
    c->send(std::string("HE\0LO x\r\n", 9));
    EXPECT_EQ(c->read().value_or(""), "500 HELO expected");
    EXPECT_EQ(c->cmd("HELO x"), hello("x"));
    c->send(std::string("MA\0IL FROM:<a@b>\r\n", 18));
    EXPECT_EQ(c->read().value_or(""), "500 Unknown command (MA)");
    EXPECT_EQ(c->cmd("MAIL FROM:<a@b>"), R_MAIL);
    EXPECT_EQ(c->cmd("QUIT"), R_QUIT);
}

TEST(SmtpDialogue, LongDataLinesAndNulBytesInData) {
    Gateway g;
    auto c = connect(g);
    envelope(*c);
    std::string big(5000, 'x');
    data(*c, "\r\n" + big + "\r\n" + std::string("a\0b\r\n", 5));
    ASSERT_TRUE(g.wait_mails(1));
    // The text keeps at most 999 characters; the line itself was not cut short.
    EXPECT_EQ(g.mails()[0].body, std::string(999, 'x'));
}

TEST(SmtpDialogue, PipelinedCommandsInOneWrite) {
    Gateway g;
    auto c = connect(g);
    c->send(
        "HELO pipe\r\nMAIL FROM:<p@q.example>\r\nRCPT TO:<r1@s.example>\r\n"
        "RCPT TO:<r2@s.example>\r\nDATA\r\n");
    EXPECT_EQ(c->read().value_or(""), hello("pipe"));
    EXPECT_EQ(c->read().value_or(""), R_MAIL);
    EXPECT_EQ(c->read().value_or(""), R_RCPT);
    EXPECT_EQ(c->read().value_or(""), R_RCPT);
    EXPECT_EQ(c->read().value_or(""), R_354);
    c->send("Subject: p\r\n\r\npiped\r\n.\r\nQUIT\r\n");
    EXPECT_EQ(c->read().value_or(""), R_DATA);
    EXPECT_EQ(c->read().value_or(""), R_QUIT);
    EXPECT_TRUE(c->closed());
    ASSERT_TRUE(g.wait_mails(1));
    EXPECT_EQ(g.mails()[0].to, (std::vector<std::string>{"r1@s.example", "r2@s.example"}));
    EXPECT_EQ(g.mails()[0].body, "piped\n");
}

TEST(SmtpDialogue, RsetHandsTheConnectionToANewMessage) {
    Gateway g;
    auto c = connect(g);
    EXPECT_EQ(c->cmd("HELO x"), hello("x"));
    EXPECT_EQ(c->cmd("MAIL FROM:<first@b>"), R_MAIL);
    EXPECT_EQ(c->cmd("RCPT TO:<one@d>"), R_RCPT);
    EXPECT_EQ(c->cmd("RSET"), "250 Command RSET OK");
    EXPECT_EQ(c->cmd("MAIL FROM:<second@b>"), R_MAIL);
    EXPECT_EQ(c->cmd("RCPT TO:<two@d>"), R_RCPT);
    data(*c, "\r\nafter reset\r\n");
    EXPECT_EQ(c->cmd("QUIT"), R_QUIT);
    ASSERT_TRUE(g.wait_ends(2));
    auto mails = g.mails();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].from, "second@b");
    EXPECT_EQ(mails[0].to, std::vector<std::string>{"two@d"});
    EXPECT_EQ(mails[0].ip, "127.0.0.1");  // copied into the new message
}

TEST(SmtpDialogue, SeveralMailsOverOneConnection) {
    Gateway g;
    auto c = connect(g);
    envelope(*c, "one@b", "1@d");
    data(*c, "\r\nfirst mail\r\n");
    EXPECT_EQ(c->cmd("MAIL FROM:<two@b>"), R_MAIL);  // answered by the next message
    EXPECT_EQ(c->cmd("RCPT TO:<2@d>"), R_RCPT);
    data(*c, "\r\nsecond mail\r\n");
    EXPECT_EQ(c->cmd("MAIL FROM:<three@b>"), R_MAIL);
    EXPECT_EQ(c->cmd("RCPT TO:<3@d>"), R_RCPT);
    data(*c, "\r\nthird mail\r\n");
    EXPECT_EQ(c->cmd("QUIT"), R_QUIT);
    EXPECT_TRUE(c->closed());
    ASSERT_TRUE(g.wait_ends(3));
    auto mails = g.mails();
    ASSERT_EQ(mails.size(), 3u);
    std::vector<std::string> froms;
    for (auto& m : mails) froms.push_back(m.from + ":" + m.body);
    std::sort(froms.begin(), froms.end());
    EXPECT_EQ(froms, (std::vector<std::string>{"one@b:first mail\n", "three@b:third mail\n",
                                               "two@b:second mail\n"}));
}

TEST(SmtpDialogue, RefusedRecipientGetsItsReplyAndTheDialogueGoesOn) {
    Policy p;
    p.refuse_to = [](const std::string& t) { return t == "bad@d"; };
    Gateway g(p);
    auto c = connect(g);
    EXPECT_EQ(c->cmd("HELO x"), hello("x"));
    EXPECT_EQ(c->cmd("MAIL FROM:<a@b>"), R_MAIL);
    EXPECT_EQ(c->cmd("RCPT TO:<bad@d>"), "500 To Blocked");
    EXPECT_EQ(c->cmd("RCPT TO:<good@d>"), R_RCPT);
    data(*c, "\r\nx\r\n");
    ASSERT_TRUE(g.wait_mails(1));
    EXPECT_EQ(g.mails()[0].to, std::vector<std::string>{"good@d"});
}

TEST(SmtpDialogue, RefusedDataIsAnsweredAndTheConnectionClosed) {
    Policy p;
    p.refuse_data = true;
    Gateway g(p);
    auto c = connect(g);
    envelope(*c);
    EXPECT_EQ(c->cmd("DATA"), R_354);
    c->send("\r\nno thanks\r\n");
    EXPECT_EQ(c->cmd("."), "500 From Blocked");
    EXPECT_TRUE(c->closed());
    ASSERT_TRUE(g.wait_ends(1));
    EXPECT_EQ(g.ends(), std::vector<std::string>{"refused data"});
}

TEST(SmtpDialogue, RefusedClientHearsSoRightAfterTheGreeting) {
    Policy p;
    p.refuse_ip = true;
    Gateway g(p);
    auto c = connect(g);
    EXPECT_EQ(c->read().value_or(""), "500 Ip Blocked");
    EXPECT_TRUE(c->closed());
}

TEST(SmtpDialogue, MailBeyondTheSizeLimitIsRefusedAndMakesNoSms) {
    // A limit of 64 kB rather than the default 10 MB: the same paths with little to move.
    Policy p;
    p.max_size = 64 * 1024;
    Gateway g(p);
    auto c = connect(g);
    envelope(*c);
    EXPECT_EQ(c->cmd("DATA"), R_354);
    std::string line(998, 'z');
    line += "\r\n";
    std::string block;
    for (int i = 0; i < 8; ++i) block += line;  // 8 kB
    c->send("Subject: big\r\n\r\n");
    for (int i = 0; i < 9; ++i) ASSERT_TRUE(c->send(block));
    EXPECT_EQ(c->cmd(".", 10000), "552 Message size exceeds fixed maximum message size");
    ASSERT_TRUE(g.wait_ends(1));
    EXPECT_EQ(g.ends(), std::vector<std::string>{"no body"});
    EXPECT_TRUE(g.mails().empty());
    EXPECT_TRUE(TempDir::files(g.spool(), ".msg").empty());
    // A mail just under the limit is taken as usual.
    auto c2 = connect(g);
    envelope(*c2);
    EXPECT_EQ(c2->cmd("DATA"), R_354);
    c2->send("Subject: fits\r\n\r\n");
    for (int i = 0; i < 7; ++i) ASSERT_TRUE(c2->send(block));
    EXPECT_EQ(c2->cmd(".", 10000), R_DATA);
    ASSERT_TRUE(g.wait_mails(1));
    EXPECT_EQ(g.mails()[0].body, std::string(998, 'z') + "\n");
}

TEST(SmtpDialogue, SpoolFileThatCannotBeMadeGives452) {
    Gateway g;
    std::filesystem::remove_all(g.spool());
    auto c = connect(g);
    envelope(*c);
    EXPECT_EQ(c->cmd("DATA"), "452 Failed to create temp file.");
    EXPECT_TRUE(c->closed());
    ASSERT_TRUE(g.wait_ends(1));
    EXPECT_EQ(g.ends(), std::vector<std::string>{"no body"});
}

// A session's trace lines are held while it runs, but never longer than a second of
// waiting for its client: an operator watching the trace sees a stalled session.
TEST(SmtpDialogue, TraceOfASessionWaitingForItsClientIsWrittenWhileItWaits) {
    Gateway g(Policy{}, 10000, true);
    auto c = connect(g);
    EXPECT_EQ(c->cmd("HELO waiting"), hello("waiting"));
    auto read_trace = [&] {
        std::ifstream f(g.dir().sub("smtp.log"));
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    };
    bool seen = test::wait_until(
        [&] { return read_trace().find("SMTP<-[HELO waiting]") != std::string::npos; },
        std::chrono::milliseconds(5000));
    EXPECT_TRUE(seen) << read_trace();
    EXPECT_NE(read_trace().find("SMTP->[" + hello("waiting") + "]"), std::string::npos);
    EXPECT_FALSE(c->closed(0)) << "the session is still open";
    EXPECT_EQ(c->cmd("QUIT"), R_QUIT);
}

TEST(SmtpDialogue, TraceLogHoldsBothDirections) {
    Gateway g(Policy{}, 2000, true);
    auto c = connect(g);
    EXPECT_EQ(c->cmd("HELO traced"), hello("traced"));
    EXPECT_EQ(c->cmd("QUIT"), R_QUIT);
    ASSERT_TRUE(c->closed());
    ASSERT_TRUE(g.wait_ends(1));
    // Written as the session ends, before it stops counting as busy.
    ASSERT_TRUE(test::wait_until([&] { return g.server()->busy() == 0; },
                                 std::chrono::milliseconds(5000)));
    std::ifstream f(g.dir().sub("smtp.log"));
    std::stringstream ss;
    ss << f.rdbuf();
    std::string log = ss.str();
    EXPECT_NE(log.find("SMTP->[220 TOLVANE]"), std::string::npos) << log;
    EXPECT_NE(log.find("SMTP<-[HELO traced]"), std::string::npos) << log;
    EXPECT_NE(log.find("SMTP->[" + hello("traced") + "]"), std::string::npos) << log;
    EXPECT_NE(log.find("SMTP->[221 Command QUIT, disconnecting]"), std::string::npos) << log;
    // The greeting, traced by the session's thread with its own lines, comes first.
    EXPECT_LT(log.find("SMTP->[220 TOLVANE]"), log.find("SMTP<-[HELO traced]")) << log;
    // "Mmm dd hh:mm:ss [nnn] text"
    std::string first = log.substr(0, log.find('\n'));
    ASSERT_GT(first.size(), 22u);
    EXPECT_EQ(first[15], ' ');
    EXPECT_EQ(first[16], '[');
    EXPECT_EQ(first.find("] SMTP"), first.find(']'));
}

TEST(SmtpDialogue, PlainPartIsChosenOverHtml) {
    Gateway g;
    auto c = connect(g);
    envelope(*c);
    data(*c,
         "Subject: alt\r\nMIME-Version: 1.0\r\n"
         "Content-Type: multipart/alternative; boundary=\"XX\"\r\n\r\n"
         "preamble\r\n--XX\r\nContent-Type: text/html\r\n\r\n<p>html</p>\r\n"
         "--XX\r\nContent-Type: text/plain\r\n\r\nplain text\r\n--XX--\r\n");
    ASSERT_TRUE(g.wait_mails(1));
    EXPECT_EQ(g.mails()[0].body, "plain text\n");
}

}  // namespace
}  // namespace tolvane

namespace tolvane {
namespace {

using test::Client;
using test::Gateway;
using test::MailSeen;
using test::Policy;
using test::TempDir;

// ---- session threads and data held in memory ----

TEST(SmtpSessions, EveryMailOfAConnectionRunsOnItsSessionThread) {
    Gateway g;
    auto c = connect(g);
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        if (i == 0) {
            envelope(*c);
        } else {
            EXPECT_EQ(c->cmd("MAIL FROM:<a@b.example>"), R_MAIL);
            EXPECT_EQ(c->cmd("RCPT TO:<0400111222@sms.example>"), R_RCPT);
        }
        data(*c, "Subject: m\r\n\r\nmail " + std::to_string(i) + "\r\n");
    }
    EXPECT_EQ(c->cmd("QUIT"), R_QUIT);
    ASSERT_TRUE(g.wait_mails(3));
    auto mails = g.mails();
    EXPECT_NE(mails[0].thread, std::this_thread::get_id());
    EXPECT_EQ(mails[1].thread, mails[0].thread);
    EXPECT_EQ(mails[2].thread, mails[0].thread);
}

// A client that waits about as long as its session waits before letting its worker go
// speaks just as the session is parked. The worker that parked it is on its way back and
// takes it again: one connection never needs a second worker.
TEST(SmtpSessions, AClientSpeakingJustAsItsSessionParksKeepsToOneWorker) {
    Gateway g;
    auto c = connect(g);
    EXPECT_EQ(c->cmd("HELO client"), hello("client"));
    constexpr int MAILS = 60;
    for (int i = 0; i < MAILS; ++i) {
        // Around the 5 ms the dialogue waits for a command before it parks.
        std::this_thread::sleep_for(std::chrono::microseconds(4700 + (i % 8) * 100));
        EXPECT_EQ(c->cmd("MAIL FROM:<a@b.example>"), R_MAIL);
        EXPECT_EQ(c->cmd("RCPT TO:<0400111222@sms.example>"), R_RCPT);
        data(*c, "Subject: m\r\n\r\nmail " + std::to_string(i) + "\r\n");
    }
    EXPECT_EQ(c->cmd("QUIT"), R_QUIT);
    ASSERT_TRUE(g.wait_mails(MAILS));
    std::set<std::thread::id> threads;
    for (const MailSeen& m : g.mails()) threads.insert(m.thread);
    EXPECT_EQ(threads.size(), 1u);
}

TEST(SmtpSessions, SessionsAtOnceRunOnThreadsOfTheirOwn) {
    Gateway g;
    auto a = connect(g);
    auto b = connect(g);
    // b's mail goes through while a is half-way through its data. A session between two
    // commands may give its worker back and go on later on any worker, but within DATA it
    // keeps it: so b's mail needs a worker of its own.
    envelope(*a);
    EXPECT_EQ(a->cmd("DATA"), R_354);
    a->send("Subject: a\r\n\r\nfrom a, first line\r\n");
    envelope(*b, "b@b.example");
    data(*b, "Subject: b\r\n\r\nfrom b\r\n");
    ASSERT_TRUE(g.wait_mails(1));
    a->send("second line\r\n");
    EXPECT_EQ(a->cmd("."), R_DATA);
    ASSERT_TRUE(g.wait_mails(2));
    auto mails = g.mails();
    EXPECT_EQ(mails[0].from, "b@b.example");
    EXPECT_EQ(mails[1].body, "from a, first line\nsecond line\n");
    EXPECT_NE(mails[0].thread, mails[1].thread);
}

TEST(SmtpSessions, SmallMailsStayInMemoryLargeOnesGoToASpoolFile) {
    struct Case {
        const char* name;
        std::size_t body_bytes;
        bool spooled;
    };
    const Case cases[] = {{"small", 10, false},
                          {"just under", 150, false},
                          {"over", 400, true},
                          {"far over", 20000, true}};
    Policy p;
    p.spool_over = 200;  // "Subject: s\r\n\r\n" and the body, counted without CRs
    Gateway g(p);
    std::size_t n = 0;
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        auto c = connect(g);
        envelope(*c);
        std::string body;
        while (body.size() < k.body_bytes) body += "0123456789abcdefghijklmnopqrstu\r\n";
        body.resize(k.body_bytes);
        data(*c, "Subject: s\r\n\r\n" + body + "\r\n");
        EXPECT_EQ(c->cmd("QUIT"), R_QUIT);
        ASSERT_TRUE(g.wait_mails(++n));
        MailSeen seen = g.mails().back();
        EXPECT_EQ(seen.spool_existed, k.spooled);
        // The same text whichever way it was held.
        std::string want;
        for (char ch : body)
            if (ch != '\r') want += ch;
        want += "\n";
        EXPECT_EQ(seen.body, want.substr(0, TEXT_MAX));
        EXPECT_EQ(*mail_header_find(seen.headers, "Subject"), "s");
    }
    ASSERT_TRUE(test::wait_until([&] { return TempDir::files(g.spool(), ".msg").empty(); }));
}

TEST(SmtpSessions, AMailThatCannotBeSpooledIsRefusedWithInsufficientStorage) {
    Policy p;
    p.spool_over = 100;
    Gateway g(p);
    std::filesystem::remove_all(g.spool());  // nowhere to write a file
    auto c = connect(g);
    envelope(*c);
    EXPECT_EQ(c->cmd("DATA"), R_354);  // nothing needs the disk yet
    c->send("Subject: big\r\n\r\n" + std::string(300, 'x') + "\r\n");
    EXPECT_EQ(c->cmd("."), "452 Insufficient system storage");
    ASSERT_TRUE(g.wait_ends(1));
    EXPECT_EQ(g.ends()[0], "no body");
    // A mail that fits in memory still goes through on a new connection.
    auto d = connect(g);
    envelope(*d);
    data(*d, "Subject: small\r\n\r\nfits\r\n");
    ASSERT_TRUE(g.wait_mails(1));
    EXPECT_EQ(g.mails()[0].body, "fits\n");
}

}  // namespace
}  // namespace tolvane
