// The dialogue engine driven from byte buffers (no socket): the query
// operations' order, answers and their defaults, hand-over, the spool file and
// the choice of text, and header-word and body codings.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "foundation/auth_guard.h"
#include "foundation/lib.h"
#include "foundation/password.h"
#include "foundation/ssha.h"
#include "smtp/engine.h"
#include "smtp/engine_impl.h"
#include "smtp/smtp_harness.h"

namespace tolvane {
namespace {

using test::TempDir;

class Engine : public ::testing::Test {
  protected:
    void SetUp() override {
        smtp_init rec;
        rec.workpath = dir.sub("spool");
        int err = 0;
        drv_state = smtp_engine_open(rec, err);
        ASSERT_EQ(err, 0);
        drv = static_cast<smtp_engine*>(drv_state.get());
        drv->handoff = [this](std::unique_ptr<smtp_message> m) { handed.push_back(std::move(m)); };
        drv->guard = &own_guard;  // failures of one test never hold another's logins
    }
    void TearDown() override { drv_state.reset(); }
    AuthGuard own_guard;

    std::unique_ptr<smtp_message> msg(const std::string& in, int upto = MODE_HELO,
                                      int chunk = 4096) {
        return smtp_message_new(drv, smtp_memory_link(in, &out, chunk), upto);
    }
    // Replies written so far, one per line; clears them.
    std::vector<std::string> replies() {
        std::vector<std::string> r;
        std::size_t at = 0;
        while (at < out.size()) {
            std::size_t e = out.find("\r\n", at);
            if (e == std::string::npos) break;
            r.push_back(out.substr(at, e - at));
            at = e + 2;
        }
        out.clear();
        return r;
    }

    TempDir dir;
    std::unique_ptr<smtp_engine> drv_state;
    smtp_engine* drv = nullptr;
    std::string out;
    std::vector<std::unique_ptr<smtp_message>> handed;
};

const char* kMail =
    "HELO h\r\nMAIL FROM:<s@x>\r\nRCPT TO:<one@y>\r\nRCPT TO:two@y\r\nDATA\r\n"
    "Subject: s\r\n\r\nbody\r\n.\r\nQUIT\r\n";

TEST_F(Engine, ToReturnsEachRecipientThenNullAtData) {
    auto m = msg(kMail);
    EXPECT_EQ(drv->msg_recv(m.get()), 0);
    EXPECT_EQ(*m->from, "s@x");
    EXPECT_EQ(m->needreply, 1);
    EXPECT_STREQ(drv->msg_to(m.get()), "one@y");
    EXPECT_STREQ(drv->msg_to(m.get()), "two@y");
    EXPECT_EQ(drv->msg_to(m.get()), nullptr);
    EXPECT_EQ(m->upto, MODE_DATA);
    EXPECT_EQ(m->to, (std::deque<std::string>{"two@y", "one@y"}));  // newest first
    EXPECT_STREQ(drv->msg_from(m.get()), "s@x");
    EXPECT_STREQ(drv->msg_body(m.get()), "body\n");
    EXPECT_EQ(drv->msg_accept(m.get(), 250, "Command DATA Processed mail data OK"), 0);
    EXPECT_EQ(replies(),
              (std::vector<std::string>{
                  "250 " + drv->host + ". Hello h(127.0.0.1)", "250 Command MAIL OK",
                  "250 Command RCPT User found OK", "250 Command RCPT User found OK",
                  "354 Command DATA Start mail input; end with <CRLF>.<CRLF>",
                  "250 Command DATA Processed mail data OK", "221 Command QUIT, disconnecting"}));
    EXPECT_EQ(m->sock, nullptr);
}

TEST_F(Engine, ByteAtATimeInputGivesTheSameDialogue) {
    auto m = msg(kMail, MODE_HELO, 1);
    EXPECT_EQ(process_message(*m, STOP_NOT), 0);
    EXPECT_EQ(m->message, "body\n");
    EXPECT_EQ(m->to, (std::deque<std::string>{"two@y", "one@y"}));
}

TEST_F(Engine, NoConnectionGivesSocketClosed) {
    auto m = msg("");
    m->sock.reset();
    EXPECT_EQ(process_message(*m, STOP_NOT), SMTP_ECLOSED);
    EXPECT_EQ(drv->msg_recv(m.get()), SMTP_ECLOSED);
    EXPECT_EQ(drv->msg_accept(m.get(), 250, nullptr), SMTP_ECLOSED);
    EXPECT_EQ(drv->msg_reject(m.get(), 500, nullptr), SMTP_ECLOSED);
    EXPECT_EQ(drv->msg_from(m.get()), nullptr);
    EXPECT_EQ(drv->msg_to(m.get()), nullptr);
    EXPECT_EQ(drv->msg_body(m.get()), nullptr);
}

TEST_F(Engine, InputEndingBeforeMailGivesReadError) {
    auto m = msg("HELO h\r\n");
    EXPECT_EQ(drv->msg_recv(m.get()), SMTP_EREAD);
    EXPECT_EQ(m->sock, nullptr);
}

TEST_F(Engine, AnswerDefaultsFollowTheState) {
    struct row {
        int upto;
        bool accept;
        const char* text;
    } rows[] = {
        {MODE_FROM, true, "250 Command MAIL OK"},
        {MODE_FROM, false, "500 Command MAIL User NOT OK"},
        {MODE_TO, true, "250 Command RCPT OK"},
        {MODE_TO, false, "500 Command RCPT User NOT OK"},
        {MODE_MESSAGE_BODY, true, "250 Command DATA Processed mail data OK"},
        {MODE_MESSAGE_BODY, false, "500 Command DATA NOT OK"},
        {MODE_HELO, true, "250 Accepted"},
        {MODE_NEXT_MSG, false, "500 Denied"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.text);
        auto m = msg("", r.upto);
        m->needreply = 1;
        if (r.accept)
            drv->msg_accept(m.get(), 250, nullptr);
        else
            EXPECT_EQ(drv->msg_reject(m.get(), 500, nullptr), 0);
        auto got = replies();
        ASSERT_FALSE(got.empty());
        EXPECT_EQ(got[0], r.text);
        EXPECT_EQ(m->needreply, 0);
    }
}

TEST_F(Engine, RejectOfARecipientKeepsItAndOtherRejectsClearTheMail) {
    auto m = msg("HELO h\r\nMAIL FROM:<s@x>\r\nRCPT TO:<bad@y>\r\nRCPT TO:<ok@y>\r\n");
    ASSERT_EQ(drv->msg_recv(m.get()), 0);
    ASSERT_STREQ(drv->msg_to(m.get()), "bad@y");
    EXPECT_EQ(drv->msg_reject(m.get(), 500, "To Blocked"), 0);
    EXPECT_EQ(m->upto, MODE_TO);
    EXPECT_EQ(m->to.size(), 1u);
    ASSERT_STREQ(drv->msg_to(m.get()), "ok@y");
    EXPECT_EQ(replies().back(), "500 To Blocked");  // the refused one got no 250
    m->upto = MODE_MESSAGE_BODY;
    m->message = "text";
    EXPECT_EQ(drv->msg_reject(m.get(), 500, "From Blocked"), 0);
    EXPECT_EQ(m->upto, MODE_NEXT_MSG);
    EXPECT_TRUE(m->to.empty());
    EXPECT_FALSE(m->from.has_value());
    EXPECT_TRUE(m->message.empty());
}

TEST_F(Engine, MailFromAfterACompletedMailStartsTheNextMessageWithIt) {
    auto m =
        msg("HELO h\r\nMAIL FROM:<one@x>\r\nRCPT TO:<a@y>\r\nDATA\r\n\r\nfirst\r\n.\r\n"
            "MAIL FROM:<two@x>\r\nRCPT TO:<b@y>\r\nDATA\r\n\r\nsecond\r\n.\r\nQUIT\r\n");
    ASSERT_EQ(process_message(*m, STOP_NOT), 0);
    EXPECT_EQ(m->message, "first\n");
    EXPECT_EQ(drv->msg_accept(m.get(), 250, nullptr), 0);
    EXPECT_EQ(m->sock, nullptr);  // handed on, not closed
    ASSERT_EQ(handed.size(), 1u);
    auto& next = handed[0];
    EXPECT_EQ(next->upto, MODE_FROM);
    EXPECT_EQ(next->name, "h");
    EXPECT_EQ(drv->msg_recv(next.get()), 0);
    EXPECT_EQ(*next->from, "two@x");
    EXPECT_STREQ(drv->msg_to(next.get()), "b@y");
    EXPECT_EQ(drv->msg_to(next.get()), nullptr);
    EXPECT_STREQ(drv->msg_body(next.get()), "second\n");
    EXPECT_EQ(drv->msg_accept(next.get(), 250, nullptr), 0);
    auto r = replies();
    ASSERT_GE(r.size(), 3u);
    EXPECT_EQ(r[r.size() - 1], "221 Command QUIT, disconnecting");
    // The second MAIL FROM had its own answer.
    EXPECT_EQ(std::count(r.begin(), r.end(), "250 Command MAIL OK"), 2);
}

TEST_F(Engine, RsetInEachStateHandsOver) {
    for (int upto : {MODE_FROM, MODE_TO, MODE_DATA, MODE_NEXT_MSG}) {
        SCOPED_TRACE(upto);
        handed.clear();
        auto m = msg("RSET\r\n", upto);
        EXPECT_EQ(process_message(*m, STOP_NOT), 0);
        EXPECT_EQ(replies(), std::vector<std::string>{"250 Command RSET OK"});
        ASSERT_EQ(handed.size(), 1u);
        EXPECT_EQ(handed[0]->upto, MODE_FROM);
        EXPECT_NE(handed[0]->sock, nullptr);
    }
}

// The command table: each verb where it runs and where it does not (refused "500 HELO
// expected" before the greeting, "500 Unknown command (<word>)" after it), how each verb
// is recognised (word, exact line, prefix), and the commands a listener does not offer.
TEST_F(Engine, CommandsRunOnlyWhereTheirRowAllows) {
    struct Row {
        int upto;
        const char* line;
        const char* reply;
    };
    const char* unknown_rcpt = "500 Unknown command (RCPT)";
    const Row rows[] = {
        {MODE_HELO, "MAIL FROM:<a@b>", "500 HELO expected"},
        {MODE_HELO, "RSET", "500 HELO expected"},
        {MODE_HELO, "STARTTLS", "500 HELO expected"},
        {MODE_HELO, "HELP", "500 HELO expected"},
        {MODE_HELO, "QUIT", "221 Command QUIT, disconnecting"},
        {MODE_HELO, "vrfy x", "252 Cannot VRFY user, but will accept message and attempt delivery"},
        {MODE_FROM, "QUIT now", "500 Unknown command (QUIT)"},
        {MODE_FROM, "NOOPx", "500 Unknown command (NOOPx)"},
        {MODE_FROM, "RCPT TO:<a@b>", unknown_rcpt},
        {MODE_FROM, "DATA", "500 Unknown command (DATA)"},
        {MODE_FROM, "STARTTLS", "500 Unknown command (STARTTLS)"},  // no TLS set up
        {MODE_FROM, "AUTH PLAIN x", "500 Unknown command (AUTH)"},  // AUTH off
        {MODE_FROM, "HELP", "500 Unknown command (HELP)"},
        {MODE_FROM, "MAIL <a@b>", "500 Unknown command (MAIL)"},
        {MODE_FROM, "mail from:<a@b>", "250 Command MAIL OK"},
        {MODE_TO, "MAIL FROM:<a@b>", "500 Unknown command (MAIL)"},
        {MODE_TO, "rcpt to:<a@b>", "250 Command RCPT User found OK"},
        {MODE_TO, "DATA now", "500 Unknown command (DATA)"},
        {MODE_TO, "data", "354 Command DATA Start mail input; end with <CRLF>.<CRLF>"},
        {MODE_DATA, "HELO h", "500 Unknown command (HELO)"},
        {MODE_NEXT_MSG, "RCPT TO:<a@b>", unknown_rcpt},
        {MODE_NEXT_MSG, "NOOP\tx", "250 OK"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.line) + " in state " + std::to_string(r.upto));
        auto m = msg(std::string(r.line) + "\r\n", r.upto);
        (void)process_message(*m, STOP_NOT);
        m.reset();
        EXPECT_EQ(replies(), std::vector<std::string>{r.reply});
        EXPECT_TRUE(handed.empty());
    }
}

TEST_F(Engine, LongDataLineIsStoredWhole) {
    std::string big(20000, 'q');
    auto m = msg("HELO h\r\nMAIL FROM:<s@x>\r\nRCPT TO:<a@y>\r\nDATA\r\nSubject: long\r\n\r\n" +
                 big + "\r\n..dot\r\n.\r\n");
    ASSERT_EQ(process_message(*m, STOP_NOT), 0);
    ASSERT_FALSE(m->file.empty());
    std::ifstream f(m->file, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    EXPECT_EQ(ss.str(), "Subject: long\n\n" + big + "\n.dot\n");
    EXPECT_EQ(m->message.size(), 999u);
    std::string path = m->file;
    m.reset();  // the spool file goes with the message
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(Engine, SpoolFileNameIsTwoFiveDigitNumbers) {
    auto m = msg("HELO h\r\nMAIL FROM:<s@x>\r\nRCPT TO:<a@y>\r\nDATA\r\n");
    ASSERT_EQ(process_message(*m, STOP_ON_TO), 0);  // recipient
    ASSERT_EQ(process_message(*m, STOP_ON_TO), 0);  // DATA
    std::string name = std::filesystem::path(m->file).filename().string();
    ASSERT_EQ(name.size(), 14u) << name;
    EXPECT_EQ(name.substr(10), ".msg");
    EXPECT_EQ(name.find_first_not_of("0123456789"), 10u);
    EXPECT_EQ(std::filesystem::path(m->file).parent_path().string(), dir.sub("spool"));
}

TEST_F(Engine, HeadersAreJoinedAndReplaced) {
    auto m =
        msg("HELO h\r\nMAIL FROM:<s@x>\r\nRCPT TO:<a@y>\r\nDATA\r\n"
            "Subject: part one\r\n  and two\r\nX-Empty:\r\nX-A: first\r\nX-A: second\r\n"
            "\r\nbody\r\n.\r\n");
    ASSERT_EQ(process_message(*m, STOP_NOT), 0);
    EXPECT_EQ(m->gotheaders, 1);
    EXPECT_EQ(*mail_header_find(m->headers, "Subject"), "part oneand two");
    EXPECT_EQ(mail_header_find(m->headers, "X-Empty"), nullptr);
    EXPECT_EQ(*mail_header_find(m->headers, "X-A"), "second");
    EXPECT_EQ(mail_header_find(m->headers, "subject"), nullptr);
    EXPECT_NE(mail_header_find(m->headers, "subject", true), nullptr);
    auto x = smtp_message_extra_of(m.get());
    EXPECT_EQ(x->headers, m->headers);
    x.reset();
    EXPECT_EQ(x, nullptr);
    EXPECT_TRUE(smtp_message_extra_of(nullptr)->headers.empty());
}

struct choice {
    const char* name;
    const char* data;
    const char* text;
};

TEST_F(Engine, TextPartChoice) {
    const choice rows[] = {
        {"no mime", "Subject: a\r\n\r\nline one\r\nline two\r\n", "line one\nline two\n"},
        {"html then plain",
         "Content-Type: multipart/alternative; boundary=b\r\n\r\n--b\r\n"
         "Content-Type: text/html\r\n\r\n<b>h</b>\r\n--b\r\nContent-Type: text/plain\r\n\r\n"
         "plain\r\n--b--\r\n",
         "plain\n"},
        {"plain then html",
         "Content-Type: multipart/alternative; boundary=b\r\n\r\n--b\r\n"
         "Content-Type: text/plain\r\n\r\nplain\r\n--b\r\nContent-Type: text/html\r\n\r\n"
         "<b>h</b>\r\n--b--\r\n",
         "plain\n"},
        // The first HTML part is the body; a later one is an attachment. Its text,
        // not its markup, is what the SMS gets.
        {"two html parts: the first, as text",
         "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n"
         "Content-Type: text/html\r\n\r\n<p>one</p>\r\n--b\r\nContent-Type: text/html\r\n\r\n"
         "two\r\n--b--\r\n",
         "one"},
        {"alternative with an empty plain part: the html's text",
         "Content-Type: multipart/alternative; boundary=b\r\n\r\n--b\r\n"
         "Content-Type: text/plain; charset=utf-8\r\n\r\n \r\n\r\n--b\r\n"
         "Content-Type: text/html; charset=iso-8859-1\r\n\r\n<p>Gr&uuml;&szlig;e</p><p>caf\xe9"
         "</p>\r\n--b--\r\n",
         "Gr\xC3\xBC\xC3\x9F"
         "e\ncaf\xC3\xA9"},
        {"latin-1 body",
         "Content-Type: text/plain; charset=ISO-8859-1\r\n\r\nGr\xFC\xDF"
         "e\r\n",
         "Gr\xC3\xBC\xC3\x9F"
         "e\n"},
        {"base64 koi8-r body",
         "Content-Type: text/plain; charset=koi8-r\r\nContent-Transfer-Encoding: base64\r\n\r\n"
         "8NLJ18XU\r\n",
         "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82"},
        {"part without content type is not used",
         "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n\r\nbare\r\n--b\r\n"
         "Content-Type: text/plain\r\n\r\ntext\r\n--b--\r\n",
         "text\n"},
        {"quoted-printable body",
         "Content-Type: text/plain\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"
         "a=3Db\r\n",
         "a=b\n"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        auto m = msg(std::string("HELO h\r\nMAIL FROM:<s@x>\r\nRCPT TO:<a@y>\r\nDATA\r\n") +
                     r.data + ".\r\n");
        ASSERT_EQ(process_message(*m, STOP_NOT), 0);
        EXPECT_EQ(m->message, r.text);
        EXPECT_EQ(mail_header_find(m->headers, "Content-Type"), nullptr);
    }
}

TEST_F(Engine, BodyWithoutDataIsNull) {
    auto m = msg("HELO h\r\nMAIL FROM:<s@x>\r\nRCPT TO:<a@y>\r\nQUIT\r\n");
    ASSERT_EQ(drv->msg_recv(m.get()), 0);
    ASSERT_STREQ(drv->msg_to(m.get()), "a@y");
    EXPECT_EQ(drv->msg_body(m.get()), nullptr);
}

TEST_F(Engine, OversizeMailCannotBeAcceptedAfterwards) {
    std::string in = "HELO h\r\nMAIL FROM:<s@x>\r\nRCPT TO:<a@y>\r\nDATA\r\n\r\n";
    std::string line(1000, 'o');
    line += "\r\n";
    for (int i = 0; i < 11 * 1024; ++i) in += line;
    in += ".\r\nQUIT\r\n";
    auto m = msg(in, MODE_HELO, 65536);
    ASSERT_EQ(process_message(*m, STOP_NOT), 0);
    EXPECT_EQ(m->oversize, 1);
    EXPECT_LE(m->data_bytes, SMTP_MAX_DATA);
    EXPECT_EQ(drv->msg_body(m.get()), nullptr);
    EXPECT_TRUE(m->file.empty());  // dropped at once
    EXPECT_EQ(drv->msg_accept(m.get(), 250, nullptr), SMTP_ETOOBIG);
    EXPECT_EQ(drv->msg_reject(m.get(), 500, nullptr), 0);
    auto r = replies();
    EXPECT_EQ(r.back(), "552 Message size exceeds fixed maximum message size");
    std::string text;
    drv->error(SMTP_ETOOBIG, text);
    EXPECT_EQ(text, "Message size exceeds fixed maximum message size");
}

TEST(SmtpError, TextsByCode) {
    std::string t;
    const std::pair<int, const char*> rows[] = {
        {1, "Failed to connect to the sending SMTP server"},
        {3, "Error reading from the socket"},
        {4, "Error writing to the socket"},
        {5, "Socket was closed"},
        {6, "Un-expected reply from SMTP server"},
        {7, "Unknown Error Code"},
        {77, "Unknown Error Code"},
    };
    for (auto& [code, text] : rows) {
        t.clear();
        smtp_engine().error(code, t);
        EXPECT_EQ(t, text);
    }
    t = "keep";
    smtp_engine().error(0, t);
    EXPECT_EQ(t, "keep");
}

TEST(SmtpInit, ListenFailureGivesCode2WithTheChannelText) {
    tcp_init();
    TempDir dir;
    smtp_init a;
    a.listenport = -1;
    a.bind = "127.0.0.1";
    a.workpath = dir.sub("w");
    int err = 0;
    auto first = smtp_engine_open(a, err);
    ASSERT_EQ(err, 0);
    smtp_init b = a;
    b.listenport = smtp_engine_port(first.get());
    auto second = smtp_engine_open(b, err);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(err, SMTP_ELISTEN);
    std::string why;
    smtp_error(second.get(), err, why);
    EXPECT_EQ(why, "Error while listening for connections (Address already in use)");
    // Without a listener, waiting gives nothing.
    int werr = 0;
    EXPECT_EQ(second->wait(0, werr), nullptr);
    second.reset();
    first.reset();
}

TEST(SmtpInit, WorkDirectoryIsMadeWithItsParentsPrivate) {
    TempDir dir;
    smtp_init a;
    a.workpath = "  " + dir.sub("x/y/z") + "  ";
    int err = 0;
    auto s = smtp_engine_open(a, err);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(err, 0);
    auto st = std::filesystem::status(dir.sub("x/y/z"));
    EXPECT_EQ(st.type(), std::filesystem::file_type::directory);
    EXPECT_EQ(st.permissions() & std::filesystem::perms::all, std::filesystem::perms::owner_all);
    EXPECT_EQ(smtp_engine_port(s.get()), 0);
    s.reset();
}

// ---- codings ----

TEST(QpEncode, UnprintableAndEqualsBecomeHex) {
    std::string l = "a=b\tc \x80";
    qp_encode(l, 1000);
    EXPECT_EQ(l, "a=3Db=09c =80");
    std::string cut = "abc=";
    qp_encode(cut, 6);  // "abc=3D" would need 6 characters
    EXPECT_EQ(cut, "abc");
}

TEST(QpHeaderEncode, PrintableTextStaysPlain) {
    std::string out;
    EXPECT_EQ(qp_header_encode("Subject", "Hello big world", out, 1000), 15);
    EXPECT_EQ(out, "Hello big world");
    EXPECT_EQ(qp_header_encode("Subject", nullptr, out, 1000), 0);
    EXPECT_EQ(qp_header_encode("Subject", "x", out, 18), 0);
}

TEST(QpHeaderEncode, HighByteGivesAnEncodedWordWithUnderscores) {
    std::string out;
    int n = qp_header_encode("Subject", "caf\xe9 au lait", out, 1000);
    EXPECT_EQ(out, "=?iso-8859-1?q?caf=E9_au_lait?=");
    EXPECT_EQ(n, static_cast<int>(out.size()));
}

TEST(QpHeaderEncode, LongTextIsFoldedWithoutSplittingAHexTriple) {
    std::string text(40, '\xe9');
    std::string out;
    qp_header_encode("Subject", text.c_str(), out, 1000);
    EXPECT_NE(out.find("?=\r\n\t=?iso-8859-1?q?"), std::string::npos);
    // Every encoded word holds whole triples only and decodes back to the text.
    std::string back;
    std::string joined;
    for (char c : out)
        if (c != '\r' && c != '\n' && c != '\t') joined += c;
    EXPECT_EQ(qp_header_decode(out, back, 1000), 40);
    EXPECT_EQ(back, text);
    EXPECT_EQ(out.substr(out.size() - 2), "?=");
}

TEST(QpHeaderEncode, OutputFitsItsSize) {
    std::string text(400, '\xe9');
    std::string out;
    int n = qp_header_encode("Subject", text.c_str(), out, 100);
    EXPECT_LE(n, 99);
    EXPECT_EQ(out.substr(out.size() - 2), "?=");
}

TEST(QpHeaderDecode, QAndBWords) {
    std::string out;
    EXPECT_EQ(qp_header_decode("=?iso-8859-1?q?a_b?=", out, 1000), 3);
    EXPECT_EQ(out, "a b");
    EXPECT_EQ(qp_header_decode("=?utf-8?B?QUJD?=", out, 1000), 3);
    EXPECT_EQ(out, "ABC");
    EXPECT_EQ(qp_header_decode("=?x?q?a=3D?= =?x?q?b?=", out, 1000), 3);
    EXPECT_EQ(out, "a=b");
    EXPECT_EQ(qp_header_decode("plain text", out, 1000), 10);
    EXPECT_EQ(out, "plain text");
    EXPECT_EQ(qp_header_decode("plain text", out, 6), 5);
    EXPECT_EQ(out, "plain");
}

TEST(QpHeaderDecode, MalformedWordsGiveMinusOne) {
    std::string out = "x";
    EXPECT_EQ(qp_header_decode("=?only?three", out, 1000), -1);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(qp_header_decode("=?cs?z?abc?=", out, 1000), -1);
    EXPECT_TRUE(out.empty());
}

}  // namespace
}  // namespace tolvane

namespace tolvane {
namespace {

// ---- session limits ----

class Limits : public Engine {};

TEST_F(Limits, RecipientsBeyondTheCapAreRefusedAndTheMailGoesOn) {
    drv->max_recipients = 3;
    std::string in = "HELO h\r\nMAIL FROM:<s@x>\r\n";
    for (int i = 1; i <= 5; ++i) in += "RCPT TO:<r" + std::to_string(i) + "@y>\r\n";
    in += "DATA\r\nSubject: s\r\n\r\nbody\r\n.\r\nQUIT\r\n";
    auto m = msg(in);
    ASSERT_EQ(drv->msg_recv(m.get()), 0);
    std::vector<std::string> got;
    while (const char* to = drv->msg_to(m.get())) got.push_back(to);
    EXPECT_EQ(got, (std::vector<std::string>{"r1@y", "r2@y", "r3@y"}));
    EXPECT_STREQ(drv->msg_body(m.get()), "body\n");
    m.reset();  // what the connection holds back is sent as it closes
    std::vector<std::string> r = replies();
    ASSERT_EQ(r.size(), 8u);
    EXPECT_EQ(r[4], "250 Command RCPT User found OK");
    EXPECT_EQ(r[5], "452 Too many recipients");
    EXPECT_EQ(r[6], "452 Too many recipients");
}

TEST_F(Limits, RecipientsTheGatewayRefusedLeaveTheirPlacesFree) {
    drv->max_recipients = 2;
    auto m =
        msg("HELO h\r\nMAIL FROM:<s@x>\r\nRCPT TO:<bad@y>\r\nRCPT TO:<a@y>\r\n"
            "RCPT TO:<b@y>\r\nRCPT TO:<c@y>\r\nDATA\r\n");
    ASSERT_EQ(drv->msg_recv(m.get()), 0);
    ASSERT_STREQ(drv->msg_to(m.get()), "bad@y");
    ASSERT_EQ(drv->msg_reject(m.get(), 500, "To Blocked"), 0);
    EXPECT_STREQ(drv->msg_to(m.get()), "a@y");
    EXPECT_STREQ(drv->msg_to(m.get()), "b@y");
    EXPECT_EQ(drv->msg_to(m.get()), nullptr);
    m.reset();
    std::vector<std::string> r = replies();
    ASSERT_EQ(r.size(), 6u);
    EXPECT_EQ(r[2], "500 To Blocked");
    EXPECT_EQ(r[4], "250 Command RCPT User found OK");
    EXPECT_EQ(r[5], "452 Too many recipients");
}

TEST_F(Limits, TheTwentyFirstErrorClosesTheConnection) {
    struct Case {
        const char* name;
        std::string before;  // what comes ahead of the errors
        std::string bad;     // one erroneous command
        std::string answer;  // its answer while the budget lasts
    };
    const Case cases[] = {
        {"unknown command", "HELO h\r\n", "FROB x\r\n", "500 Unknown command (FROB)"},
        {"no HELO", "", "MAIL FROM:<a@b>\r\n", "500 HELO expected"},
        {"unknown after HELO", "HELO h\r\n", "EXPN\r\n", "500 Unknown command (EXPN)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string in = c.before;
        for (int i = 0; i < 25; ++i) in += c.bad;
        auto m = msg(in);
        EXPECT_EQ(process_message(*m, STOP_NOT), SMTP_ECLOSED);
        std::vector<std::string> r = replies();
        std::size_t skip = c.before.empty() ? 0 : 1;
        ASSERT_EQ(r.size(), skip + 21);
        for (std::size_t i = skip; i < skip + 20; ++i) EXPECT_EQ(r[i], c.answer) << i;
        EXPECT_EQ(r.back(), "421 Too many errors");
        EXPECT_EQ(m->sock, nullptr);
    }
}

TEST_F(Limits, GatewayRefusalsCountTowardTheBudget) {
    std::string in = "HELO h\r\n";
    for (int i = 0; i < 15; ++i) in += "FROB\r\n";
    in += "MAIL FROM:<s@x>\r\n";
    for (int i = 0; i < 10; ++i) in += "RCPT TO:<r@y>\r\n";
    auto m = msg(in);
    ASSERT_EQ(drv->msg_recv(m.get()), 0);
    int refused = 0;
    while (drv->msg_to(m.get()) != nullptr) {
        int r = drv->msg_reject(m.get(), 500, "To Blocked");
        if (r != 0) {
            EXPECT_EQ(r, SMTP_ECLOSED);
            break;
        }
        ++refused;
    }
    EXPECT_EQ(refused, 5);  // 15 unknown commands + 5 refusals; the 21st error ends it
    std::vector<std::string> r = replies();
    EXPECT_EQ(r.back(), "421 Too many errors");
    EXPECT_EQ(m->sock, nullptr);
}

}  // namespace
}  // namespace tolvane

namespace tolvane {
namespace {

// ---- data held in memory ----

TEST_F(Engine, DataUpToTheLimitNeedsNoFileAndPassingItMovesWhatCameToOne) {
    drv->spool_over = 64;
    struct Case {
        std::string body;
        bool file;
    };
    const Case cases[] = {
        {"", false},
        {std::string(40, 'a'), false},  // "Subject: s\n" + "\n" + 41 bytes = 53
        {std::string(60, 'b'), true},
        {std::string(5000, 'c'), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body.size());
        auto m = msg("HELO h\r\nMAIL FROM:<s@x>\r\nRCPT TO:<r@y>\r\nDATA\r\nSubject: s\r\n\r\n" +
                     c.body + "\r\n.\r\nQUIT\r\n");
        ASSERT_EQ(drv->msg_recv(m.get()), 0);
        while (drv->msg_to(m.get()) != nullptr) {
        }
        const char* body = drv->msg_body(m.get());
        ASSERT_NE(body, nullptr);
        EXPECT_EQ(std::string(body), (c.body + "\n").substr(0, TEXT_MAX));
        EXPECT_EQ(!m->file.empty(), c.file);
        EXPECT_EQ(*mail_header_find(m->headers, "Subject"), "s");
        std::string path = m->file;
        m.reset();
        if (!path.empty()) {
            EXPECT_FALSE(std::filesystem::exists(path));
        }
    }
}

}  // namespace
}  // namespace tolvane

namespace tolvane {
namespace {

// ---- AUTH ----

TEST_F(Engine, AuthExchangesAndTheirAnswers) {
    drv->auth = SMTP_AUTH_REQUIRED;
    drv->auth_plaintext = true;
    drv->users["ann"] = ssha_encode("pw");
    struct Case {
        const char* name;
        std::string lines;  // after HELO
        std::vector<std::string> answers;
    };
    const std::string plain = encode_base64(std::string("\0ann\0pw", 7));
    const Case cases[] = {
        {"plain initial",
         "AUTH PLAIN " + plain + "\r\nMAIL FROM:<a@b>\r\n",
         {"235 Authentication successful", "250 Command MAIL OK"}},
        {"plain asked",
         "AUTH PLAIN\r\n" + plain + "\r\n",
         {"334 ", "235 Authentication successful"}},
        {"login",
         "AUTH LOGIN\r\n" + encode_base64("ann") + "\r\n" + encode_base64("pw") + "\r\n",
         {"334 VXNlcm5hbWU6", "334 UGFzc3dvcmQ6", "235 Authentication successful"}},
        {"cancelled",
         "AUTH PLAIN\r\n*\r\nMAIL FROM:<a@b>\r\n",
         {"334 ", "501 Authentication cancelled", "530 Authentication required"}},
        {"unknown mechanism", "AUTH CRAM-MD5\r\n", {"504 Unrecognized authentication type"}},
        {"twice",
         "AUTH PLAIN " + plain + "\r\nAUTH PLAIN " + plain + "\r\n",
         {"235 Authentication successful", "503 Already authenticated"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto m = msg("HELO h\r\n" + c.lines);
        process_message(*m, STOP_NOT);
        m.reset();
        std::vector<std::string> r = replies();
        ASSERT_FALSE(r.empty());
        r.erase(r.begin());  // the HELO answer
        EXPECT_EQ(r, c.answers);
    }
}

TEST_F(Engine, AWrongPasswordIsRefused) {
    drv->auth = SMTP_AUTH_OPTIONAL;
    drv->auth_plaintext = true;
    drv->users["ann"] = ssha_encode("pw");
    auto m = msg("HELO h\r\nAUTH PLAIN " + encode_base64(std::string("\0ann\0px", 7)) + "\r\n");
    process_message(*m, STOP_NOT);
    EXPECT_EQ(m->sock, nullptr);
    std::vector<std::string> r = replies();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[1], "535 Authentication failed");
}

// The failed-login limiter on the listener: a held address is answered 454 before any
// secret is asked for, a held user once the name is known; neither has its password
// checked (the right one is refused too), and each counts as a refused command.
TEST_F(Engine, HeldAddressOrUserGets454WithoutAPasswordCheck) {
    AuthGuard guard;
    drv->guard = &guard;
    drv->auth = SMTP_AUTH_OPTIONAL;
    drv->auth_plaintext = true;
    drv->auth_fail_delay_ms = 0;
    drv->users["ann"] = ssha_encode("pw");
    const std::string right = encode_base64(std::string("\0ann\0pw", 7));
    const std::string wrong = encode_base64(std::string("\0ann\0px", 7));
    struct Case {
        const char* name;
        const char* fail_ip;    // where the five earlier failures came from
        const char* fail_user;  // and for whom
        std::string lines;
        std::vector<std::string> answers;
    };
    const Case cases[] = {
        {"address held: PLAIN with the right password",
         "127.0.0.1",
         "other",
         "AUTH PLAIN " + right + "\r\n",
         {"454 4.7.0 Temporary authentication failure"}},
        {"address held: LOGIN is not asked for a name",
         "127.0.0.1",
         "other",
         "AUTH LOGIN\r\n",
         {"454 4.7.0 Temporary authentication failure"}},
        {"user held from elsewhere: refused once named",
         "192.0.2.7",
         "ann",
         "AUTH LOGIN\r\n" + encode_base64("ann") + "\r\n" + encode_base64("pw") + "\r\n",
         {"334 VXNlcm5hbWU6", "334 UGFzc3dvcmQ6", "454 4.7.0 Temporary authentication failure"}},
        {"another user from another address goes on",
         "192.0.2.7",
         "bob",
         "AUTH PLAIN " + right + "\r\n",
         {"235 Authentication successful"}},
        {"below the limit a wrong password is a failure",
         nullptr,
         nullptr,
         "AUTH PLAIN " + wrong + "\r\n",
         {"535 Authentication failed"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        guard.clear();
        if (c.fail_ip)
            for (int i = 0; i < 5; ++i) guard.failed(c.fail_ip, c.fail_user);
        auto m = msg("HELO h\r\n" + c.lines);
        process_message(*m, STOP_NOT);
        m.reset();
        std::vector<std::string> r = replies();
        ASSERT_FALSE(r.empty());
        r.erase(r.begin());
        EXPECT_EQ(r, c.answers);
    }
    // The failure of the last case counted for the address and the user.
    for (int i = 0; i < 4; ++i) guard.failed("192.0.2.99", "ann");
    EXPECT_GT(guard.held_ms("192.0.2.1", "ann"), 0);
    // A success clears both.
    guard.clear();
    for (int i = 0; i < 4; ++i) guard.failed("127.0.0.1", "ann");
    auto m = msg("HELO h\r\nAUTH PLAIN " + right + "\r\n");
    process_message(*m, STOP_NOT);
    guard.failed("127.0.0.1", "ann");
    EXPECT_EQ(guard.held_ms("127.0.0.1", "ann"), 0);
}

// An old {ssha} entry is replaced by a yescrypt one at the first successful login, in
// memory and in the users file; other lines stay.
TEST_F(Engine, OldEntryIsRewrittenAtItsFirstLogin) {
    AuthGuard guard;
    drv->guard = &guard;
    drv->auth = SMTP_AUTH_OPTIONAL;
    drv->auth_plaintext = true;
    drv->auth_fail_delay_ms = 0;
    const std::string old = ssha_encode("pw-of-ann");
    const std::string bob = ssha_encode("pw-of-bob");
    drv->users_file = dir.sub("users");
    std::ofstream(drv->users_file) << "# mail clients\nann:" << old << "\nbob:" << bob << "\n";
    drv->users["ann"] = old;
    auto m =
        msg("HELO h\r\nAUTH PLAIN " + encode_base64(std::string("\0ann\0pw-of-ann", 14)) + "\r\n");
    process_message(*m, STOP_NOT);
    m.reset();
    EXPECT_EQ(replies().back(), "235 Authentication successful");
    const std::string fresh = drv->users["ann"];
    EXPECT_EQ(fresh.rfind("$y$", 0), 0u) << fresh;
    EXPECT_EQ(password_check("pw-of-ann", fresh), PasswordCheck::right);
    std::ifstream in(drv->users_file);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "# mail clients\nann:" + fresh + "\nbob:" + bob + "\n");
}

// What the client sends during the second a failure costs is kept for the commands after
// it, and a client that is gone ends the wait (the memory link closes after its input).
TEST_F(Engine, InputDuringTheFailureDelayIsKept) {
    drv->auth = SMTP_AUTH_OPTIONAL;
    drv->auth_plaintext = true;
    drv->users["ann"] = ssha_encode("pw");
    for (int chunk : {4096, 8, 1}) {
        SCOPED_TRACE(chunk);
        own_guard.clear();
        auto m = msg("HELO h\r\nAUTH PLAIN " + encode_base64(std::string("\0ann\0px", 7)) +
                         "\r\nNOOP\r\nQUIT\r\n",
                     MODE_HELO, chunk);
        process_message(*m, STOP_NOT);
        m.reset();
        std::vector<std::string> r = replies();
        ASSERT_EQ(r.size(), 4u);
        EXPECT_EQ(r[1], "535 Authentication failed");
        EXPECT_EQ(r[3], "221 Command QUIT, disconnecting");
    }
}

TEST(SmtpUsers, FileLinesAreReadAndBadOnesSkipped) {
    TempDir dir;
    std::string path = dir.sub("users");
    {
        std::ofstream f(path);
        f << "ann:" << ssha_encode("a") << "\r\n# comment\n\nnocolon\n:{ssha}x\nbob:plain\n"
          << "carl:" << ssha_encode("c") << "\n";
    }
    std::map<std::string, std::string> users;
    std::string err;
    ASSERT_TRUE(smtp_users_load(path, users, err));
    ASSERT_EQ(users.size(), 2u);
    EXPECT_TRUE(ssha_check("a", users["ann"]));
    EXPECT_TRUE(ssha_check("c", users["carl"]));
    EXPECT_FALSE(smtp_users_load(dir.sub("missing"), users, err));
    EXPECT_EQ(err, "No such file or directory");
}

// The listener under a burst: every queued connection is taken, one per call, in the
// order they came; once the queue is empty a call waits for its time-out (it neither
// spins nor blocks in accept), and wake() still ends a wait at once.
TEST(SmtpListener, BurstIsTakenWholeThenTheWaitTimesOutOrIsWoken) {
    smtp_listener l;
    std::string err;
    ASSERT_TRUE(l.open({"127.0.0.1"}, 0, err)) << err;
    std::vector<int> clients;
    for (int i = 0; i < 5; ++i) {
        int c = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(l.port()));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        clients.push_back(c);
    }
    std::string ip;
    int port = 0, where = -1;
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE("connection " + std::to_string(i));
        int fd = l.accept_one(5000, ip, port, where);
        ASSERT_GE(fd, 0);
        sockaddr_in mine{};
        socklen_t len = sizeof mine;
        ASSERT_EQ(::getsockname(clients[static_cast<std::size_t>(i)],
                                reinterpret_cast<sockaddr*>(&mine), &len),
                  0);
        EXPECT_EQ(port, ntohs(mine.sin_port));
        EXPECT_EQ(ip, "127.0.0.1");
        ::close(fd);
    }
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(l.accept_one(300, ip, port, where), -1);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(250));
    std::thread waker([&l] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        l.wake();
    });
    EXPECT_EQ(l.accept_one(-1, ip, port, where), -1);
    waker.join();
    for (int c : clients) ::close(c);
}

}  // namespace
}  // namespace tolvane
