// Sessions that wait for their client without a thread: parked between commands (before
// MAIL, between recipients, after a mail's reply), taken up again where they stopped when
// the client speaks, closed after the client time-out, and told "421" when the server
// stops (a mail under way is finished on a worker and answered as usual).
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "smtp/engine_impl.h"
#include "smtp/server.h"
#include "smtp/smtp_harness.h"

namespace tolvane {
namespace {

using test::Client;
using test::Gateway;
using test::Policy;

const std::string R_MAIL = "250 Command MAIL OK";
const std::string R_RCPT = "250 Command RCPT User found OK";
const std::string R_354 = "354 Command DATA Start mail input; end with <CRLF>.<CRLF>";
const std::string R_250 = "250 Command DATA Processed mail data OK";
const std::string R_421 = "421 Service closing transmission channel";

int threads_now() {
    std::ifstream f("/proc/self/status");
    for (std::string l; std::getline(f, l);)
        if (l.rfind("Threads:", 0) == 0) return std::stoi(l.substr(8));
    return -1;
}

int parked(Gateway& g) {
    return smtp_session_parked(g.server()->engine());
}

// Waits (a fault bound, not a speed check) until the gateway has n connections parked.
bool parked_soon(Gateway& g, int n) {
    for (int i = 0; i < 1000; ++i) {
        if (parked(g) == n) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return parked(g) == n;
}

std::unique_ptr<Client> greeted(Gateway& g) {
    auto c = std::make_unique<Client>(g.port());
    EXPECT_EQ(c->read().value_or(""), "220 TOLVANE");
    EXPECT_TRUE(c->cmd("HELO c.example").ends_with(". Hello c.example(127.0.0.1)"));
    return c;
}

void send_mail(Client& c, const std::string& from) {
    EXPECT_EQ(c.cmd("MAIL FROM:<" + from + ">"), R_MAIL);
    EXPECT_EQ(c.cmd("RCPT TO:<0412345678@gw>"), R_RCPT);
    EXPECT_EQ(c.cmd("DATA"), R_354);
    EXPECT_EQ(c.cmd("Subject: s\r\n\r\nhi\r\n."), R_250);
}

// Where a client falls silent, and how its mail goes on once it speaks again.
enum class Silent { greeted, after_mail, after_rcpt, after_reply };

void bring_to(Client& c, Silent at, const std::string& from) {
    if (at == Silent::greeted) return;
    if (at == Silent::after_reply) {
        send_mail(c, from);
        return;
    }
    EXPECT_EQ(c.cmd("MAIL FROM:<" + from + ">"), R_MAIL);
    if (at == Silent::after_rcpt) {
        EXPECT_EQ(c.cmd("RCPT TO:<0412345678@gw>"), R_RCPT);
    }
}

void finish_from(Client& c, Silent at, const std::string& from) {
    if (at == Silent::greeted || at == Silent::after_reply) {
        send_mail(c, from);  // after a reply: the connection's next mail
        return;
    }
    if (at == Silent::after_mail) {
        EXPECT_EQ(c.cmd("RCPT TO:<0412345678@gw>"), R_RCPT);
    }
    EXPECT_EQ(c.cmd("DATA"), R_354);
    EXPECT_EQ(c.cmd("Subject: s\r\n\r\nhi\r\n."), R_250);
}

TEST(SmtpParking, ClientsSilentBetweenAnyTwoCommandsHoldNoThreadAndGoOnWhereTheyStopped) {
    Gateway g(Policy{}, 60000);
    ASSERT_NE(g.port(), 0);
    const int before = threads_now();
    const Silent stages[] = {Silent::greeted, Silent::after_mail, Silent::after_rcpt,
                             Silent::after_reply};
    constexpr int EACH = 40;
    constexpr int N = 4 * EACH;
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < N; ++i) {
        clients.push_back(greeted(g));
        bring_to(*clients[i], stages[i % 4], "u" + std::to_string(i) + "@x");
    }
    ASSERT_TRUE(parked_soon(g, N)) << parked(g) << " parked";
    // A thread per silent client would be 160 more; a few workers stay for later clients.
    EXPECT_LT(threads_now() - before, 20);
    for (int i = 0; i < N; ++i)
        finish_from(*clients[i], stages[i % 4], "v" + std::to_string(i) + "@x");
    // One mail from each, and one more from those that had sent theirs before the wait.
    ASSERT_TRUE(g.wait_mails(N + EACH, std::chrono::seconds(30)));
    // Silent again after their replies: parked again.
    EXPECT_TRUE(parked_soon(g, N)) << parked(g) << " parked";
    // Each mail's policy heard the stages before its session parked and the rest after it
    // went on: one policy across the wait, its hooks in the dialogue's order, the
    // recipient taken before the wait counted once.
    for (const test::MailSeen& m : g.mails()) {
        EXPECT_EQ(m.stages, "connect helo(c.example) mail rcpt data") << m.from;
        EXPECT_EQ(m.to.size(), 1u) << m.from;
    }
    for (auto& c : clients) EXPECT_EQ(c->cmd("QUIT"), "221 Command QUIT, disconnecting");
}

TEST(SmtpParking, AParkedClientIsClosedAtItsTimeOutOrToldWhenTheServerStops) {
    enum class End { silent, silent_in_mail, stop_idle, stop_in_mail };
    struct Case {
        const char* name;
        End end;
        int timeout_ms;
    } cases[] = {
        {"silent past the client time-out: closed without a word", End::silent, 300},
        {"silent after a recipient past the time-out: closed, its transaction ended",
         End::silent_in_mail, 300},
        {"the server stops while it idles: 421", End::stop_idle, 60000},
        {"the server stops during its mail: the mail is answered", End::stop_in_mail, 60000},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Gateway g(Policy{}, k.timeout_ms);
        auto c = greeted(g);
        if (k.end == End::silent || k.end == End::silent_in_mail) {
            if (k.end == End::silent_in_mail) bring_to(*c, Silent::after_rcpt, "a@x");
            EXPECT_FALSE(c->read(5000).has_value());
            EXPECT_TRUE(c->closed(100));
            EXPECT_TRUE(parked_soon(g, 0));
            // The policy heard that the transaction ended, and gave back what it held.
            ASSERT_TRUE(g.wait_ends(1));
            EXPECT_EQ(g.ends()[0], k.end == End::silent ? "no mail" : "no body");
            continue;
        }
        ASSERT_TRUE(parked_soon(g, 1));
        if (k.end == End::stop_in_mail) {
            // Parked after MAIL: the stop hands it back to a worker, which finishes it.
            EXPECT_EQ(c->cmd("MAIL FROM:<a@x>"), R_MAIL);
            ASSERT_TRUE(parked_soon(g, 1));
            g.server()->stop();
            EXPECT_EQ(c->cmd("RCPT TO:<0412345678@gw>"), R_RCPT);
            EXPECT_EQ(c->cmd("DATA"), R_354);
            EXPECT_EQ(c->cmd("Subject: s\r\n\r\nhi\r\n."), R_250);
            EXPECT_EQ(c->cmd("QUIT"), "221 Command QUIT, disconnecting");
            EXPECT_EQ(g.mails().size(), 1u);
            continue;
        }
        g.server()->stop();
        EXPECT_EQ(c->read().value_or(""), R_421);
        EXPECT_TRUE(c->closed());
        EXPECT_TRUE(g.mails().empty());
    }
}

// Clients that stop within DATA keep their workers (the dialogue waits for them there):
// more of them than the workers started at once must not leave a newcomer waiting for a
// worker until one of them times out. Workers are added for sessions left waiting.
TEST(SmtpParking, ClientsStuckInTheirDataDoNotStarveANewcomer) {
    Gateway g(Policy{}, 60000);
    ASSERT_NE(g.port(), 0);
    std::vector<std::unique_ptr<Client>> stuck;
    for (int i = 0; i < 24; ++i) {
        stuck.push_back(greeted(g));
        EXPECT_EQ(stuck.back()->cmd("MAIL FROM:<s" + std::to_string(i) + "@x>"), R_MAIL);
        EXPECT_EQ(stuck.back()->cmd("RCPT TO:<0412345678@gw>"), R_RCPT);
        EXPECT_EQ(stuck.back()->cmd("DATA"), R_354);
        ASSERT_TRUE(stuck.back()->send("Subject: half a mail\r\n"));
    }
    // Long before the stuck clients' 60 s time-out (a fault bound, not a speed check).
    Client c(g.port());
    EXPECT_EQ(c.read(10000).value_or("(nothing)"), "220 TOLVANE");
    c.line("HELO late.example");
    EXPECT_TRUE(c.read(10000).value_or("(nothing)").ends_with(". Hello late.example(127.0.0.1)"));
    send_mail(c, "late@x");
    EXPECT_EQ(c.cmd("QUIT"), "221 Command QUIT, disconnecting");
    for (auto& s : stuck) EXPECT_EQ(s->cmd("."), R_250);
}

}  // namespace
}  // namespace tolvane
