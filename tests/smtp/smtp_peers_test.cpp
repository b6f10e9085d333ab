// Real mail clients through the listener: Python's smtplib and swaks, each run
// as a child process against a gateway callback that accepts every mail.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include "smtp/smtp_harness.h"

extern char** environ;

namespace tolvane {
namespace {

using test::Gateway;

// Runs argv; its exit status, or -1 when it could not start or ran too long (killed).
int run(std::vector<std::string> args, int limit_ms = 20000) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    int r = ::posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (r != 0) return -1;
    int st = 0;
    bool done = test::wait_until([&] { return ::waitpid(pid, &st, WNOHANG) == pid; },
                                 std::chrono::milliseconds(limit_ms));
    if (!done) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &st, 0);
        return -1;
    }
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

bool have(const char* prog) {
    return run({"sh", "-c", std::string("command -v ") + prog + " >/dev/null"}) == 0;
}

TEST(SmtpPeers, PythonSmtplibCompletesMails) {
    if (!have("python3")) GTEST_SKIP() << "python3 is not installed";
    Gateway g;
    std::string script =
        "import smtplib, sys\n"
        "s = smtplib.SMTP('127.0.0.1', int(sys.argv[1]), timeout=10)\n"
        "s.sendmail('py@sender.example', ['0400111222@sms.example', 'x@sms.example'],\n"
        "           'Subject: from python\\r\\n\\r\\nhello from smtplib\\r\\n.leading dot\\r\\n')\n"
        "s.sendmail('py2@sender.example', ['second@sms.example'],\n"
        "           'Subject: again\\r\\n\\r\\nsecond mail, same connection\\r\\n')\n"
        "s.quit()\n";
    EXPECT_EQ(run({"python3", "-c", script, std::to_string(g.port())}), 0);
    ASSERT_TRUE(g.wait_ends(2));
    auto mails = g.mails();
    ASSERT_EQ(mails.size(), 2u);
    std::sort(mails.begin(), mails.end(),
              [](const auto& a, const auto& b) { return a.from < b.from; });
    EXPECT_EQ(mails[0].from, "py2@sender.example");
    EXPECT_EQ(mails[0].body, "second mail, same connection\n");
    EXPECT_EQ(mails[1].from, "py@sender.example");
    EXPECT_EQ(mails[1].to, (std::vector<std::string>{"0400111222@sms.example", "x@sms.example"}));
    EXPECT_EQ(mails[1].body, "hello from smtplib\n.leading dot\n");
    EXPECT_EQ(*mail_header_find(mails[1].headers, "Subject"), "from python");
}

TEST(SmtpPeers, SwaksCompletesAMail) {
    if (!have("swaks")) GTEST_SKIP() << "swaks is not installed";
    Gateway g;
    EXPECT_EQ(run({"swaks", "--server", "127.0.0.1:" + std::to_string(g.port()), "--protocol",
                   "SMTP", "--helo", "swaks.example", "--from", "sw@sender.example", "--to",
                   "0400999888@sms.example", "--header", "Subject: from swaks", "--body",
                   "hello from swaks"}),
              0);
    ASSERT_TRUE(g.wait_ends(1));
    auto mails = g.mails();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].from, "sw@sender.example");
    EXPECT_EQ(mails[0].to, std::vector<std::string>{"0400999888@sms.example"});
    EXPECT_EQ(mails[0].body.substr(0, 16), "hello from swaks");
    EXPECT_EQ(*mail_header_find(mails[0].headers, "Subject"), "from swaks");
}

TEST(SmtpPeers, SwaksSeesEhloRefusedAndFallsBack) {
    if (!have("swaks")) GTEST_SKIP() << "swaks is not installed";
    Gateway g;
    // Default protocol: swaks tries EHLO first; the 500 makes it use HELO.
    int rc = run({"swaks", "--server", "127.0.0.1:" + std::to_string(g.port()), "--from",
                  "sw@sender.example", "--to", "1@sms.example", "--body", "fallback"});
    if (rc != 0)
        GTEST_SKIP() << "this swaks does not fall back from a refused EHLO (rc " << rc << ")";
    ASSERT_TRUE(g.wait_ends(1));
    EXPECT_EQ(g.mails().size(), 1u);
}

}  // namespace
}  // namespace tolvane
