// The dialogue engine around STARTTLS and implicit TLS, driven from byte buffers: when
// STARTTLS is offered, the fresh start after it (EHLO again, AUTH forgotten), input sent
// behind the command dropped, refusals, a failed switch ending the connection, and the
// greeting of an implicit-TLS connection owed after its handshake.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "foundation/lib.h"
#include "foundation/ssha.h"
#include "smtp/engine.h"
#include "smtp/engine_impl.h"
#include "smtp/smtp_harness.h"
#include "net/myssl.h"

namespace tolvane {
namespace {

using test::TempDir;

// A link over a byte buffer whose switch to TLS fails, or (ok) succeeds; it records the
// switches asked for.
class switch_link : public smtp_link {
  public:
    switch_link(std::string in, std::string* out, bool ok, int* switches)
        : inner_(smtp_memory_link(std::move(in), out, 4096)), ok_(ok), switches_(switches) {}
    int read(char* buf, int len, int ms) override { return inner_->read(buf, len, ms); }
    bool write(std::string_view data) override { return inner_->write(data); }
    int sockno() const override { return 0; }
    bool peer(std::string& ip, int& port) override { return inner_->peer(ip, port); }
    Status start_tls(int) override {
        ++*switches_;
        if (!ok_) return Error{0, "handshake failed"};
        return {};
    }

  private:
    std::unique_ptr<smtp_link> inner_;
    bool ok_;
    int* switches_;
};

class Tls : public ::testing::Test {
  protected:
    void SetUp() override {
        smtp_init rec;
        rec.workpath = dir.sub("spool");
        int err = 0;
        drv_state = smtp_engine_open(rec, err);
        ASSERT_EQ(err, 0);
        drv = static_cast<smtp_engine*>(drv_state.get());
        drv->handoff = [this](std::unique_ptr<smtp_message> m) { handed.push_back(std::move(m)); };
        // Over a buffer only its presence counts.
        Result<MysslSetupPtr> made = myssl_client_setup_new(false);
        ASSERT_TRUE(made) << made.reason();
        setup = std::move(*made);
        drv->tls_setup = setup;
        drv->users["ann"] = ssha_encode("pw");
        drv->auth_fail_delay_ms = 0;
    }
    void TearDown() override { drv_state.reset(); }

    // Runs the engine over input read in pieces of chunk bytes; the replies, one a line.
    std::vector<std::string> run(const std::string& in, int chunk = 4096) {
        out.clear();
        auto m = smtp_message_new(drv, smtp_memory_link(in, &out, chunk), MODE_HELO);
        process_message(*m, STOP_NOT);
        m.reset();
        return lines();
    }
    std::vector<std::string> lines() {
        std::vector<std::string> r;
        std::size_t at = 0;
        for (std::size_t e; (e = out.find("\r\n", at)) != std::string::npos; at = e + 2)
            r.push_back(out.substr(at, e - at));
        return r;
    }
    static bool offers(const std::vector<std::string>& r, const std::string& what) {
        for (const std::string& l : r)
            if (l.size() > 4 && l.substr(0, 3) == "250" && l.substr(4) == what) return true;
        return false;
    }

    TempDir dir;
    std::unique_ptr<smtp_engine> drv_state;
    smtp_engine* drv = nullptr;
    std::shared_ptr<const MysslSetup> setup;
    std::string out;
    std::vector<std::unique_ptr<smtp_message>> handed;
};

const std::string kPlainAnn = "AUTH PLAIN " + encode_base64(std::string("\0ann\0pw", 7));

TEST_F(Tls, StartTlsIsOfferedOnlyWithASetUpAndBeforeTheSwitch) {
    std::vector<std::string> r = run("EHLO h\r\n");
    EXPECT_TRUE(offers(r, "STARTTLS"));
    drv->tls_setup = nullptr;
    r = run("EHLO h\r\nSTARTTLS\r\n");
    EXPECT_FALSE(offers(r, "STARTTLS"));
    EXPECT_EQ(r.back(), "500 Unknown command (STARTTLS)");
}

TEST_F(Tls, AfterTheSwitchTheSessionStartsAfresh) {
    drv->auth = SMTP_AUTH_OPTIONAL;
    const std::string first = "EHLO h\r\nSTARTTLS\r\n";
    // The rest comes in reads of its own, as it would after the handshake.
    std::vector<std::string> r =
        run(first + "MAIL FROM:<a@b>\r\nEHLO h\r\n" + kPlainAnn + "\r\nSTARTTLS\r\n",
            static_cast<int>(first.size()));
    auto at = std::find(r.begin(), r.end(), "220 Ready to start TLS");
    ASSERT_NE(at, r.end());
    std::vector<std::string> before(r.begin(), at), after(at + 1, r.end());
    EXPECT_TRUE(offers(before, "STARTTLS"));
    EXPECT_FALSE(offers(before, "AUTH PLAIN LOGIN")) << "no AUTH before encryption";
    ASSERT_GE(after.size(), 4u);
    EXPECT_EQ(after[0], "500 HELO expected");  // the EHLO before the switch is forgotten
    EXPECT_FALSE(offers(after, "STARTTLS"));
    EXPECT_TRUE(offers(after, "AUTH PLAIN LOGIN"));
    EXPECT_EQ(after[after.size() - 2], "235 Authentication successful");
    EXPECT_EQ(after.back(), "503 TLS already active");
}

TEST_F(Tls, InputSentBehindStartTlsIsDroppedUnread) {
    struct Case {
        const char* what;
        std::string behind;  // sent in the same read as STARTTLS
    };
    const Case cases[] = {
        {"a mail command", "MAIL FROM:<smuggled@x>\r\n"},
        {"a new greeting and a mail", "EHLO evil\r\nMAIL FROM:<smuggled@x>\r\n"},
        {"half a line", "MAIL FR"},
        {"many lines", std::string(200, 'x') + "\r\nRSET\r\nQUIT\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> r = run("EHLO h\r\nSTARTTLS\r\n" + c.behind);
        ASSERT_FALSE(r.empty());
        EXPECT_EQ(r.back(), "220 Ready to start TLS") << "nothing answered after the switch";
        EXPECT_TRUE(handed.empty()) << "no RSET or MAIL ran";
        handed.clear();
    }
}

TEST_F(Tls, RefusedStartTlsCommands) {
    drv->auth = SMTP_AUTH_OPTIONAL;
    struct Case {
        const char* what;
        std::string lines;
        std::string answer;
    };
    const Case cases[] = {
        {"parameters", "EHLO h\r\nSTARTTLS now\r\n", "501 Syntax error (no parameters allowed)"},
        {"before EHLO", "STARTTLS\r\n", "500 HELO expected"},
        {"AUTH before the switch", "EHLO h\r\n" + kPlainAnn + "\r\n",
         "530 Must issue a STARTTLS command first"},
        {"inside a mail", "EHLO h\r\nMAIL FROM:<a@b>\r\nSTARTTLS\r\n",
         "500 Unknown command (STARTTLS)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> r = run(c.lines);
        ASSERT_FALSE(r.empty());
        EXPECT_EQ(r.back(), c.answer);
    }
}

TEST_F(Tls, AFailedSwitchEndsTheConnection) {
    int switches = 0;
    auto m =
        smtp_message_new(drv,
                         std::make_unique<switch_link>("EHLO h\r\nSTARTTLS\r\nMAIL FROM:<a@b>\r\n",
                                                       &out, false, &switches),
                         MODE_HELO);
    EXPECT_EQ(process_message(*m, STOP_NOT), SMTP_ECLOSED);
    EXPECT_EQ(m->sock, nullptr);
    EXPECT_EQ(switches, 1);
    EXPECT_EQ(lines().back(), "220 Ready to start TLS");
}

TEST_F(Tls, AnImplicitTlsConnectionIsGreetedAfterItsHandshake) {
    for (bool ok : {true, false}) {
        SCOPED_TRACE(ok ? "handshake done" : "handshake failed");
        out.clear();
        int switches = 0;
        auto m = smtp_message_new(
            drv, std::make_unique<switch_link>("EHLO h\r\nQUIT\r\n", &out, ok, &switches),
            MODE_HELO);
        m->sock->wrap_pending = true;
        m->sock->wrap_greeting = "gw.example";
        int rc = process_message(*m, STOP_NOT);
        EXPECT_EQ(switches, 1);
        std::vector<std::string> r = lines();
        if (ok) {
            EXPECT_EQ(rc, SMTP_OK);
            ASSERT_GE(r.size(), 2u);
            EXPECT_EQ(r[0], "220 gw.example");
            EXPECT_FALSE(offers(r, "STARTTLS")) << "the connection is encrypted already";
            EXPECT_EQ(r.back(), "221 Command QUIT, disconnecting");
        } else {
            EXPECT_EQ(rc, SMTP_ECLOSED);
            EXPECT_TRUE(r.empty()) << "no greeting to a client whose handshake failed";
        }
    }
}

}  // namespace
}  // namespace tolvane
