// Web administration: the credentials check, the duration text, and whole requests
// served by command_thread over a real socket with the bundled page templates.
#include "gateway/web_admin.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <future>
#include <string>
#include <thread>

#include "foundation/auth_guard.h"
#include "foundation/lib.h"
#include "foundation/password.h"
#include "foundation/ssha.h"
#include "gateway/gateway.h"
#include "gateway/spine_support.h"
#include "gateway/web_session.h"
#include "gateway/web_support.h"
#include "records/msgrec.h"
#include "records/mutexlist.h"

namespace tolvane {
namespace {

using webtest::basic;
using webtest::InDir;
using webtest::Link;
using webtest::Sandbox;

// ---- duration text ----

TEST(TimeLength, WeeksAndDaysOnlyWhenNotZero) {
    EXPECT_EQ(time_length_text(93784), "1days 02:03:04");
    EXPECT_EQ(time_length_text(59), "00:00:59");
    EXPECT_EQ(time_length_text(0), "00:00:00");
    EXPECT_EQ(time_length_text(2 * 604800 + 5), "2wks 00:00:05");
    EXPECT_EQ(time_length_text(604800 + 6 * 86400 + 86399), "1wks 6days 23:59:59");
    EXPECT_EQ(time_length_text(-30), "00:00:00");
}

// ---- credentials ----

class Auth : public ::testing::Test {
  protected:
    void SetUp() override { box.write("admin.dat", "Admin:" + ssha_encode("pa:ss word") + "\n"); }
    int check(const std::string& header) { return web_check_auth(header, box.path("admin.dat")); }
    Sandbox box;
};

TEST_F(Auth, RightUserAndPasswordPass) {
    EXPECT_EQ(check(basic("Admin", "pa:ss word")), 1);
    EXPECT_EQ(check("basic " + encode_base64("Admin:pa:ss word")), 1);
}

TEST_F(Auth, AnythingElseFails) {
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"wrong password", basic("Admin", "pa:ss")},
        {"password prefix", basic("Admin", "pa")},
        {"user in other case", basic("admin", "pa:ss word")},
        {"empty", ""},
        {"scheme only", "Basic"},
        {"other scheme", "Digest " + encode_base64("Admin:pa:ss word")},
        {"not base64", "Basic %%%%"},
        {"no colon", "Basic " + encode_base64("Adminpa")},
    };
    for (const auto& [what, header] : cases) {
        SCOPED_TRACE(what);
        EXPECT_EQ(check(header), 0);
    }
}

TEST_F(Auth, CarriageReturnLineEndInTheFileIsAccepted) {
    box.write("admin.dat", "Admin:" + ssha_encode("pw") + "\r\nsecond:line\n");
    EXPECT_EQ(check(basic("Admin", "pw")), 1);
    EXPECT_EQ(check(basic("second", "line")), 0);
}

TEST_F(Auth, MissingOrMalformedFileFailsWithALogLine) {
    EXPECT_EQ(web_check_auth(basic("Admin", "pa:ss word"), box.path("none.dat")), 0);
    EXPECT_TRUE(box.logged("Failed to read admin.dat: No such file or directory"));
    box.write("admin.dat", "just-a-name\n");
    EXPECT_EQ(check(basic("just-a-name", "")), 0);
    box.write("admin.dat", "Admin:plaintext\n");
    EXPECT_EQ(check(basic("Admin", "plaintext")), 0);
}

// ---- whole requests ----

class Admin : public ::testing::Test {
  protected:
    void SetUp() override {
        settings("web_allow 127.0.0.1\n");
        box.write("admin.dat", "admin:" + ssha_encode("s3cret") + "\n");
        Result<msgrecs_ptr> made =
            msgrec_init(gw.limit_registry, "msgrec", box.dir(), '|', "24", 5, 6, 7);
        ASSERT_TRUE(made) << made.reason();
        mr = std::move(*made);
        gw.starttime = std::time(nullptr) - 93784;
        auth_guard().clear();
    }
    void TearDown() override {
        msgrec_free(mr);
        msgrec_free(other);
        sini_free(gw.settings);
    }
    void settings(const std::string& extra,
                  const std::string& webpath = TOLVANE_SOURCE_DIR "/etc/web") {
        box.write("tolvane.ini", "home " + box.dir() + "\nlogpath " + box.dir() + "\nwebpath " +
                                     webpath + "\n" + extra);
        ASSERT_TRUE(testing_support::gateway_load_settings(gw, box.path("tolvane.ini")));
        sini_set(gw.ini(), HOST, nullptr, "gw.test");
    }
    std::string get(const std::string& target, const std::string& auth = basic("admin", "s3cret"),
                    const std::string& headers = "Host: gw.test\r\n") {
        std::string raw = "GET " + target + " HTTP/1.0\r\n" + headers;
        if (!auth.empty()) raw += "Authorization: " + auth + "\r\n";
        return serve(raw + "\r\n");
    }
    // A login session as a browser keeps it: the cookie and the token of the last page.
    struct Session {
        std::string cookie;  // "tolvane_session=..."
        std::string token;
    };
    static std::string token_of(const std::string& page) {
        const std::string mark = "name=\"token\" value=\"";
        const std::size_t at = page.find(mark);
        return at == std::string::npos ? std::string() : page.substr(at + mark.size(), 32);
    }
    static std::string cookie_of(const std::string& page) {
        const std::string mark = "\r\nSet-Cookie: ";
        const std::size_t at = page.find(mark);
        if (at == std::string::npos) return {};
        const std::size_t from = at + mark.size();
        return page.substr(from, page.find(';', from) - from);
    }
    Session login() {
        const std::string page = get("/");
        return {cookie_of(page), token_of(page)};
    }
    // A form sent by POST in the fixture's session with its token (unless the form gives
    // its own); the session then takes the token the answer shows.
    std::string post(const std::string& form, const std::string& headers = "",
                     bool with_token = true) {
        if (session.cookie.empty()) session = login();
        const std::string body = with_token ? form + "&token=" + session.token : form;
        const std::string page =
            serve("POST / HTTP/1.0\r\nHost: gw.test\r\nAuthorization: " + basic("admin", "s3cret") +
                  "\r\nCookie: theme=dark; " + session.cookie + "\r\n" + headers +
                  "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
        if (!token_of(page).empty()) session.token = token_of(page);
        return page;
    }
    std::string serve(const std::string& raw) {
        InDir in(box.dir());
        Link link;
        link.send(raw);
        command_thread(gw, link.ch.get());
        return link.reply();
    }
    static bool has(const std::string& page, const std::string& part) {
        return page.find(part) != std::string::npos;
    }

    Gateway gw;
    Sandbox box;
    msgrecs_ptr mr, other;
    Session session;
};

TEST_F(Admin, MainPageWithStatusAndHeaders) {
    const std::string page = get("/");
    EXPECT_EQ(page.rfind("HTTP/1.0 200 OK\r\nDate: ", 0), 0u) << page;
    EXPECT_TRUE(has(page, "\r\nSet-Cookie: tolvane_session=")) << page;
    EXPECT_TRUE(has(page,
                    "; Path=/; HttpOnly; SameSite=Strict\r\nCache-Control: no-store\r\n"
                    "X-Frame-Options: DENY\r\nContent-Type: text/html; "
                    "charset=utf-8\r\nWWW-Authenticate: Basic realm=\"tolvane.gw.test\"\r\n"
                    "\r\n"))
        << page;
    EXPECT_TRUE(has(page, "Running for 1days 02:03:")) << page;
    EXPECT_TRUE(has(page, "connected from 127.0.0.1")) << page;
    EXPECT_FALSE(has(page, "id=\"result\""));
    EXPECT_FALSE(has(page, "||"));
    // Requests and answers are traced only with web_trace.
    EXPECT_FALSE(std::filesystem::exists(box.path("input.log")));
    EXPECT_FALSE(std::filesystem::exists(box.path("output.log")));
}

TEST_F(Admin, EveryHeaderLineOfEveryAnswerEndsInCrLf) {
    settings("web_allow 127.0.0.1\n");
    const std::vector<std::pair<const char*, std::string>> answers = {
        {"main page", get("/")},
        {"401 page", get("/", "")},
        {"health", get("/health", "")},
        {"metrics", get("/metrics")},
        {"421", get("/", "", "Host: evil.example\r\n")},
        {"refused command", get("/?cmd=shutdown_do")},
    };
    for (const auto& [what, page] : answers) {
        SCOPED_TRACE(what);
        const std::size_t end = page.find("\r\n\r\n");
        ASSERT_NE(end, std::string::npos) << page;
        const std::string head = page.substr(0, end + 4);
        for (std::size_t at = head.find('\n'); at != std::string::npos;
             at = head.find('\n', at + 1)) {
            ASSERT_GT(at, 0u);
            EXPECT_EQ(head[at - 1], '\r') << head;
        }
    }
}

TEST_F(Admin, WithWebTraceRequestsAndAnswersAreTracedPrivatelyWithSecretsMasked) {
    settings("web_allow 127.0.0.1\nweb_trace true\n");
    const std::string page = get("/?limit_mode=from");
    const std::string cookie = cookie_of(page);
    const std::string token = token_of(page);
    ASSERT_FALSE(cookie.empty());
    ASSERT_EQ(token.size(), 32u);
    const std::string in = box.read("input.log");
    EXPECT_TRUE(has(in, " GET /?limit_mode=from\n")) << in;
    EXPECT_TRUE(has(in, "\tAuthorization: (masked)\n")) << in;
    EXPECT_FALSE(has(in, basic("admin", "s3cret").substr(6)));
    const std::string out = box.read("output.log");
    EXPECT_TRUE(has(out, "Running for")) << out;
    EXPECT_TRUE(has(out, "Set-Cookie: tolvane_session=(masked); Path=/")) << out;
    EXPECT_TRUE(has(out, "name=\"token\" value=\"(masked)\"")) << out;
    EXPECT_FALSE(has(out, token));
    EXPECT_FALSE(has(out, cookie.substr(cookie.find('=') + 1)));
    for (const char* name : {"input.log", "output.log"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(std::filesystem::status(box.path(name)).permissions(),
                  std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    }
    // The token a command uses, and the one its answer shows, are masked too.
    session = {cookie, token};
    const std::string answer = post("limit_name=msgrec&sel_l_1=nobody&cmd_limit_reset=1");
    EXPECT_FALSE(has(answer, "id=\"refused\"")) << answer;
    EXPECT_NE(session.token, token);
    const std::string in2 = box.read("input.log");
    EXPECT_TRUE(has(in2, "\t(token)=(masked)\n")) << in2;
    EXPECT_TRUE(has(in2, "\tCookie: (masked)\n")) << in2;
    const std::string out2 = box.read("output.log");
    EXPECT_FALSE(has(in2 + out2, token));
    EXPECT_FALSE(has(in2 + out2, session.token));
}

TEST_F(Admin, AddressOutsideWebAllowIsBannedEvenWithCredentials) {
    settings("web_allow 10.* 192.168.*\n");
    const std::string page = get("/?cmd=shutdown_do");
    EXPECT_EQ(page.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << page;
    EXPECT_TRUE(has(page, "id=\"banned\"")) << page;
    EXPECT_EQ(gw.stop.load(), 0);
    EXPECT_TRUE(box.logged("Web request from [127.0.0.1] refused: not in web_allow"));
}

TEST_F(Admin, MissingOrWrongCredentialsGetThe401Page) {
    for (const std::string& auth :
         {std::string(), basic("admin", "wrong"), basic("ADMIN", "s3cret")}) {
        SCOPED_TRACE(auth);
        const std::string page = get("/?cmd_shutdown_do=1&show=main.htm&head.inc=main.htm", auth);
        EXPECT_EQ(page.rfind("HTTP/1.0 401 Unauthorized\r\n", 0), 0u) << page;
        EXPECT_TRUE(has(page, "WWW-Authenticate: Basic realm=\"tolvane.gw.test\"\r\n"));
        // No login session without a login.
        EXPECT_FALSE(has(page, "Set-Cookie"));
        EXPECT_TRUE(has(page, "id=\"needauth\""));
        // The page choice is not open to a client that has not logged in.
        EXPECT_FALSE(has(page, "Rate limits"));
        EXPECT_EQ(gw.stop.load(), 0);
    }
}

// The failed-login limiter on the web channel: 429 with Retry-After while the address or
// the user is held, the password not checked (the right one is refused too); a request
// without credentials is no attempt; a success clears the counts.
TEST_F(Admin, RepeatedFailuresHoldTheAddressOrTheUser) {
    struct Case {
        const char* name;
        const char* fail_ip;  // five earlier failures from here
        const char* fail_user;
        std::string auth;  // then this request
        const char* status;
    };
    const Case cases[] = {
        {"address held, right password", "127.0.0.1", "someone", basic("admin", "s3cret"),
         "HTTP/1.0 429 Too Many Requests\r\n"},
        {"user held from elsewhere", "192.0.2.7", "admin", basic("admin", "s3cret"),
         "HTTP/1.0 429 Too Many Requests\r\n"},
        {"other user, other address", "192.0.2.7", "root", basic("admin", "s3cret"),
         "HTTP/1.0 200 OK\r\n"},
        {"no credentials: the usual 401", "127.0.0.1", "someone", "",
         "HTTP/1.0 401 Unauthorized\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auth_guard().clear();
        for (int i = 0; i < 5; ++i) auth_guard().failed(c.fail_ip, c.fail_user);
        const std::string page = get("/", c.auth);
        EXPECT_EQ(page.rfind(c.status, 0), 0u) << page;
        if (std::string(c.status).find("429") != std::string::npos) {
            EXPECT_TRUE(has(page, "\r\nRetry-After: 1\r\n")) << page;
            EXPECT_FALSE(has(page, "Running for"));
        }
    }
    // Five wrong passwords from here: the sixth attempt is held whatever it carries; each
    // failure was logged in the one line fail2ban reads.
    auth_guard().clear();
    for (int i = 0; i < 5; ++i) {
        const std::string page = get("/", basic("admin", "wrong" + std::to_string(i)));
        EXPECT_EQ(page.rfind("HTTP/1.0 401 Unauthorized\r\n", 0), 0u) << page;
    }
    EXPECT_TRUE(
        box.logged("Warning: authentication failed: channel=web address=127.0.0.1 user=\"admin\""));
    EXPECT_EQ(get("/").rfind("HTTP/1.0 429 Too Many Requests\r\n", 0), 0u);
    // Four failures and then a success: the count starts again.
    auth_guard().clear();
    for (int i = 0; i < 4; ++i) get("/", basic("admin", "wrong"));
    EXPECT_EQ(get("/").rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
    get("/", basic("admin", "wrong"));
    EXPECT_EQ(auth_guard().held_ms("127.0.0.1", "admin"), 0);
}

TEST_F(Admin, AnOldAdminEntryIsRewrittenAtLogin) {
    const std::string old = box.read("admin.dat");
    ASSERT_EQ(old.rfind("admin:{ssha}", 0), 0u);
    EXPECT_EQ(get("/").rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
    const std::string now = box.read("admin.dat");
    ASSERT_EQ(now.rfind("admin:$y$", 0), 0u) << now;
    EXPECT_EQ(password_check("s3cret", now.substr(6, now.size() - 7)), PasswordCheck::right);
    EXPECT_EQ(get("/").rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
    EXPECT_EQ(box.read("admin.dat"), now);  // rewritten once only
}

TEST_F(Admin, WithoutAdminDatEveryCommandIsRefused) {
    std::filesystem::remove(box.path("admin.dat"));
    const std::string page = get("/?cmd=main");
    EXPECT_EQ(page.rfind("HTTP/1.0 401 Unauthorized\r\n", 0), 0u) << page;
    EXPECT_TRUE(box.logged("Failed to read admin.dat: No such file or directory"));
}

TEST_F(Admin, CountsOfTheChosenLimitAndKindAreListedEncoded) {
    msgrec_add_from(mr.get(), "alice@example.com", 3);
    msgrec_add_from(mr.get(), "<b>x</b>@e", 1);
    msgrec_add_ip(mr.get(), "127.0.0.9", 2);
    std::string page = get("/");
    EXPECT_TRUE(has(page, "<td class=\"key\">alice@example.com</td><td class=\"count\">3</td>"))
        << page;
    EXPECT_TRUE(has(page, "&lt;b&gt;x&lt;/b&gt;@e"));
    EXPECT_FALSE(has(page, "<b>x</b>"));
    EXPECT_TRUE(has(page, "name=\"sel_l_1\" value=\"alice@example.com\""));
    EXPECT_TRUE(has(page, "name=\"sel_l_2\""));
    EXPECT_TRUE(has(page, "2 keys counted; the limit is 6 "));
    EXPECT_FALSE(has(page, "127.0.0.9"));

    page = get("/?limit_mode=ip");
    EXPECT_TRUE(has(page, ">127.0.0.9</td><td class=\"count\">2</td>")) << page;
    EXPECT_TRUE(has(page, "1 keys counted; the limit is 5 "));
    EXPECT_TRUE(has(page, "<option value=\"ip\" selected>"));
    EXPECT_FALSE(has(page, "alice@example.com"));

    page = get("/?limit_mode=bogus");
    EXPECT_TRUE(has(page, "0 keys counted; the limit is 0 ")) << page;
}

TEST_F(Admin, LimitNamesListEveryLimitWithTheChosenOneSelected) {
    Result<msgrecs_ptr> made =
        msgrec_init(gw.limit_registry, "daily", box.dir(), '|', "24", 1, 1, 1);
    ASSERT_TRUE(made) << made.reason();
    other = std::move(*made);
    msgrec_add_from(other.get(), "carol@example.com", 4);
    std::string page = get("/");
    EXPECT_TRUE(has(page, "<option value=\"msgrec\" selected>msgrec</option>")) << page;
    EXPECT_TRUE(has(page, "<option value=\"daily\">daily</option>"));
    page = get("/?limit_name=daily");
    EXPECT_TRUE(has(page, "<option value=\"daily\" selected>daily</option>")) << page;
    EXPECT_TRUE(has(page, "<option value=\"msgrec\">msgrec</option>"));
    EXPECT_TRUE(has(page, "carol@example.com"));
}

TEST_F(Admin, UnknownLimitNameShowsFailure) {
    const std::string page = get("/?limit_name=nope");
    EXPECT_TRUE(has(page, "id=\"result\"")) << page;
    EXPECT_TRUE(box.logged("Failed to find limit named (nope)"));
}

TEST_F(Admin, LimitResetClearsOnlyTheSelectedKeysOfThatKind) {
    msgrec_add_from(mr.get(), "alice@example.com", 3);
    msgrec_add_from(mr.get(), "bob@example.com", 2);
    msgrec_add_to(mr.get(), "alice@example.com", 9);
    const std::string page = post(
        "cmd_limit_reset=Reset&limit_name=msgrec&limit_mode=from&sel_l_1=alice%40example.com"
        "&sel_l_9=nobody%40example.com");
    EXPECT_EQ(page.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << page;
    EXPECT_FALSE(has(page, "id=\"result\""));
    EXPECT_EQ(msgrec_from_count(mr.get(), "alice@example.com"), 0);
    EXPECT_EQ(msgrec_from_count(mr.get(), "bob@example.com"), 2);
    EXPECT_EQ(msgrec_to_count(mr.get(), "alice@example.com"), 9);
    EXPECT_TRUE(has(box.read("msgrec.from"), "alice@example.com|0000000000\n"))
        << box.read("msgrec.from");
    // The page shows the counts as they are after the reset.
    EXPECT_TRUE(has(page, "alice@example.com</td><td class=\"count\">0</td>"));
}

TEST_F(Admin, LimitResetOfAnUnknownLimitFailsAndChangesNothing) {
    msgrec_add_from(mr.get(), "alice@example.com", 3);
    const std::string page = post("cmd=limit_reset&limit_name=MSGREC&sel_l_1=alice%40example.com");
    EXPECT_TRUE(has(page, "id=\"result\"")) << page;
    EXPECT_EQ(msgrec_from_count(mr.get(), "alice@example.com"), 3);
    EXPECT_TRUE(box.logged("Failed to find limit named (MSGREC)"));
}

TEST_F(Admin, ShutdownAsksFirstAndShutdownDoStops) {
    std::string page = get("/?cmd=shutdown");
    EXPECT_TRUE(has(page, "name=\"cmd_shutdown_do\"")) << page;
    EXPECT_EQ(gw.stop.load(), 0);
    page = post("cmd_shutdown_do.x=12&cmd_shutdown_do.y=3");
    EXPECT_EQ(page.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << page;
    EXPECT_TRUE(has(page, ">Shutting down</h1>"));
    EXPECT_EQ(gw.stop.load(), 1);
}

TEST_F(Admin, AcceptingThreadEndsOnTheStopRequestAndNotOnAWithdrawnOne) {
    settings("web_allow 10.0.0.1\n");  // a loopback client is refused at once, and logged
    std::unique_ptr<CHAN> lsn;
    ASSERT_EQ(tcp_listen(lsn, 0, "127.0.0.1", 1), 1);
    // A stop requested and withdrawn before the loop starts (as a test does) leaves its
    // mark on the stop descriptor: the loop must read it away and go on.
    gateway_request_stop(gw);
    gw.stop.store(0);
    int port = 0;
    tcp_getport(lsn.get(), port);
    auto done = std::async(std::launch::async, [&] { web_accept_loop(gw, lsn.get(), false); });
    std::unique_ptr<CHAN> client;
    ASSERT_EQ(tcp_open_x(client, "127.0.0.1", port, nullptr, 5000), 1);
    for (int i = 0; i < 500 && !box.logged("refused: not in web_allow"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(box.logged("Web connection from [127.0.0.1] refused: not in web_allow"));
    EXPECT_EQ(done.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout)
        << "the withdrawn stop ended the loop";
    gateway_request_stop(gw);
    ASSERT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

TEST_F(Admin, UnknownCommandShowsTheMainPage) {
    const std::string page = get("/?cmd=format_disk&cmd_shutdown_do=1");
    EXPECT_TRUE(has(page, "Rate limits")) << page;
    EXPECT_EQ(gw.stop.load(), 0);
}

TEST_F(Admin, ARequestCannotChooseThePageOrAnIncludedFile) {
    msgrec_add_from(mr.get(), "alice@example.com", 3);
    for (const char* target :
         {"/?show=../../etc/passwd", "/?show=shutdown.htm", "/?cmd=shutdown&head.inc=main.htm"}) {
        SCOPED_TRACE(target);
        const std::string page = get(target);
        EXPECT_EQ(page.rfind("HTTP/1.0 200 OK\r\nDate: ", 0), 0u) << page;
        EXPECT_FALSE(has(page, "root:"));
        EXPECT_EQ(page.find("<html>"), page.rfind("<html>"));  // one page, nothing inside it
    }
    EXPECT_TRUE(has(get("/?show=shutdown.htm"), "Rate limits"));
}

TEST_F(Admin, ValuesOfTheRequestNeverStandInForPageVariables) {
    const std::string script = "%3Cscript%3Ealert(1)%3C%2Fscript%3E";
    for (const std::string& target :
         {"/?limit_name=x&limit_total=" + script, "/?limit_name=x&limit_limit=" + script,
          "/?uptime=" + script, "/?remoteip=" + script, "/?limit_name=" + script,
          "/?limit_mode=" + script, "/?cmd=shutdown&message=" + script,
          "/?token=" + script + "&result=" + script}) {
        SCOPED_TRACE(target);
        const std::string page = get(target);
        EXPECT_EQ(page.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << page;
        EXPECT_FALSE(has(page, "<script>alert")) << page;
        EXPECT_FALSE(has(page, "alert(1)</")) << page;
    }
    EXPECT_FALSE(has(get("/?cmd=shutdown&message=Gateway+hacked"), "hacked"));
}

TEST_F(Admin, CommandsThatChangeStateAreNotCarriedOutByGet) {
    msgrec_add_from(mr.get(), "alice@example.com", 3);
    session = login();
    for (const std::string& target :
         {std::string("/?cmd_shutdown_do=1"), std::string("/?cmd_shutdown_do.x=1"),
          std::string("/?cmd=shutdown_do&token="),
          std::string(
              "/?cmd_limit_reset=1&limit_name=msgrec&sel_l_1=alice%40example.com&token=")}) {
        SCOPED_TRACE(target);
        const std::string page =
            get(target + (target.back() == '=' ? session.token : std::string()),
                basic("admin", "s3cret"), "Host: gw.test\r\nCookie: " + session.cookie + "\r\n");
        if (!token_of(page).empty()) session.token = token_of(page);
        EXPECT_EQ(page.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << page;
        EXPECT_TRUE(has(page, "id=\"refused\"")) << page;
        EXPECT_EQ(gw.stop.load(), 0);
        EXPECT_EQ(msgrec_from_count(mr.get(), "alice@example.com"), 3);
    }
    EXPECT_TRUE(
        box.logged("Web command shutdown_do from [127.0.0.1] not carried out: not sent by POST"));
}

TEST_F(Admin, APostFromElsewhereOrWithoutTheTokenIsNotCarriedOut) {
    msgrec_add_from(mr.get(), "alice@example.com", 3);
    const std::string reset = "cmd_limit_reset=1&limit_name=msgrec&sel_l_1=alice%40example.com";
    struct Case {
        const char* what;
        std::string form;
        std::string headers;
        bool token;
        const char* why;
    };
    const std::vector<Case> cases = {
        {"no token", reset, "", false, "no form token"},
        {"wrong token", reset + "&token=00", "", false, "wrong form token"},
        {"token of another length", reset + "&token=" + std::string(33, 'a'), "", false,
         "wrong form token"},
        {"other origin", reset, "Origin: http://evil.example\r\n", true,
         "Origin (http://evil.example) is not this server (127.0.0.1 localhost gw.test)"},
        {"other referer", reset, "Referer: https://evil.example/gw/\r\n", true,
         "Referer (https://evil.example/gw/) is not this server (127.0.0.1 localhost gw.test)"},
        {"referer naming us only as its user", reset, "Referer: http://gw.test@evil.example/\r\n",
         true, "is not this server"},
        {"opaque origin", reset, "Origin: null\r\n", true, "Origin (null) is not this server"},
        {"origin on another port", reset, "Origin: http://gw.test:1\r\n", true,
         "Origin (http://gw.test:1) is not this server"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string page = post(c.form, c.headers, c.token);
        EXPECT_TRUE(has(page, "id=\"refused\"")) << page;
        EXPECT_EQ(msgrec_from_count(mr.get(), "alice@example.com"), 3);
        EXPECT_TRUE(box.logged(c.why));
    }
    // This server's own origin and referer, in any letter case, are fine.
    const std::string page =
        post(reset, "Origin: http://GW.Test\r\nReferer: http://localhost/?limit_name=msgrec\r\n");
    EXPECT_FALSE(has(page, "id=\"refused\"")) << page;
    EXPECT_EQ(msgrec_from_count(mr.get(), "alice@example.com"), 0);
}

TEST(WebCommandAllowed, MethodTokenOriginAndReferer) {
    const web_hosts hosts = web_hosts_from("", {"127.0.0.1"}, "127.0.0.1", "h", 1);
    struct Case {
        const char* what;
        const char* method;
        bool token_ok;
        std::string origin, referer;
        bool ok;
    };
    const std::vector<Case> cases = {
        {"plain post", "POST", true, "", "", true},
        {"post in lower case", "post", true, "", "", true},
        {"get", "GET", true, "", "", false},
        {"wrong token", "POST", false, "", "", false},
        {"matching origin", "POST", true, "https://h:1", "", true},
        {"origin without port", "POST", true, "https://h", "", true},
        {"origin on another port", "POST", true, "https://h:2", "", false},
        {"origin of localhost", "POST", true, "http://localhost:1", "", true},
        {"matching referer with path", "POST", true, "", "http://h:1/x?y#z", true},
        {"referer of another host", "POST", true, "", "http://x:1/", false},
        {"origin not a url", "POST", true, "h:1", "", false},
        {"good origin, bad referer", "POST", true, "http://h:1", "http://x/", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Status may = web_command_allowed(c.method, "t", c.token_ok, hosts, c.origin, c.referer);
        EXPECT_EQ(may.ok(), c.ok);
        EXPECT_EQ(may.reason().empty(), c.ok) << may.reason();
    }
    EXPECT_EQ(web_command_allowed("POST", "", false, hosts, "", "").reason(), "no form token");
    EXPECT_EQ(web_command_allowed("POST", "x", false, hosts, "", "").reason(), "wrong form token");
}

TEST_F(Admin, TheFormTokenIsUsedUpByTheCommandThatPresentsIt) {
    msgrec_add_from(mr.get(), "alice@example.com", 3);
    msgrec_add_from(mr.get(), "bob@example.com", 3);
    session = login();
    const std::string first = session.token;
    ASSERT_EQ(first.size(), 32u);
    // Another page of the session (a second tab) carries a token of its own.
    const std::string again =
        get("/", basic("admin", "s3cret"), "Host: gw.test\r\nCookie: " + session.cookie + "\r\n");
    EXPECT_EQ(token_of(again).size(), 32u);
    EXPECT_NE(token_of(again), first);
    EXPECT_FALSE(has(again, "Set-Cookie"));
    std::string page = post("cmd_limit_reset=1&limit_name=msgrec&sel_l_1=alice%40example.com");
    EXPECT_FALSE(has(page, "id=\"refused\"")) << page;
    EXPECT_EQ(msgrec_from_count(mr.get(), "alice@example.com"), 0);
    // The answer carries the next token; the used one is refused from now on.
    EXPECT_EQ(session.token.size(), 32u);
    EXPECT_NE(session.token, first);
    const std::string next = session.token;
    session.token = first;
    page = post("cmd_limit_reset=1&limit_name=msgrec&sel_l_1=bob%40example.com");
    EXPECT_TRUE(has(page, "id=\"refused\"")) << page;
    EXPECT_EQ(msgrec_from_count(mr.get(), "bob@example.com"), 3);
    EXPECT_TRUE(
        box.logged("Web command limit_reset from [127.0.0.1] not carried out: wrong form "
                   "token"));
    // A wrong token uses up nothing: the next one still works.
    session.token = next;
    page = post("cmd_limit_reset=1&limit_name=msgrec&sel_l_1=bob%40example.com");
    EXPECT_FALSE(has(page, "id=\"refused\"")) << page;
    EXPECT_EQ(msgrec_from_count(mr.get(), "bob@example.com"), 0);
}

TEST_F(Admin, ATokenIsGoodOnlyInItsOwnSession) {
    msgrec_add_from(mr.get(), "alice@example.com", 3);
    const Session a = login();
    const Session b = login();
    ASSERT_NE(a.cookie, b.cookie);
    EXPECT_NE(a.token, b.token);
    const std::string reset = "cmd_limit_reset=1&limit_name=msgrec&sel_l_1=alice%40example.com";
    for (const Session& mixed : {Session{b.cookie, a.token}, Session{"", a.token},
                                 Session{"tolvane_session=" + std::string(32, '0'), a.token}}) {
        SCOPED_TRACE(mixed.cookie);
        session = mixed;
        if (session.cookie.empty()) session.cookie = "other=1";
        const std::string page = post(reset);
        EXPECT_TRUE(has(page, "id=\"refused\"")) << page;
        EXPECT_EQ(msgrec_from_count(mr.get(), "alice@example.com"), 3);
    }
    session = a;
    EXPECT_FALSE(has(post(reset), "id=\"refused\""));
    EXPECT_EQ(msgrec_from_count(mr.get(), "alice@example.com"), 0);
}

TEST_F(Admin, HostHeadersOfThisServerAreServedAndOthersGet421) {
    // Each request comes on a link of its own port, so the table holds names without a
    // port (the listener's own is in WebHosts tests) and with a wrong one.
    const std::vector<std::pair<std::string, bool>> hosts = {
        {"localhost", true},
        {"LOCALHOST", true},
        {"localhost.", true},
        {"127.0.0.1", true},
        {"gw.test", true},
        {"Gw.Test", true},
        {"localhost:1", false},
        {"evil.example", false},
        {"evil.example:8775", false},
        {"127.0.0.2", false},
        {"gw.test.evil.example", false},
        {"localhost@evil.example", false},
        {"[::1]", false},
        {"localhost:http", false},
        {"", false},
    };
    for (const auto& [host, served] : hosts) {
        SCOPED_TRACE(host);
        const std::string page =
            get("/?limit_mode=from", basic("admin", "s3cret"), "Host: " + host + "\r\n");
        if (served) {
            EXPECT_EQ(page.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << page;
            EXPECT_TRUE(has(page, "Rate limits"));
        } else {
            EXPECT_EQ(page.rfind("HTTP/1.0 421 Misdirected Request\r\n", 0), 0u) << page;
            EXPECT_FALSE(has(page, "Rate limits"));
            EXPECT_FALSE(has(page, "Set-Cookie"));
        }
    }
    EXPECT_TRUE(
        box.logged("Web request from [127.0.0.1] refused: Host (evil.example) is none of "
                   "web_host (127.0.0.1 localhost gw.test)"));
    // /health answers the same names only; a request without a Host header is served.
    EXPECT_EQ(get("/health", "", "Host: evil.example\r\n").rfind("HTTP/1.0 421 ", 0), 0u);
    EXPECT_EQ(get("/health", "", "").rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
    EXPECT_EQ(get("/", basic("admin", "s3cret"), "").rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
}

TEST_F(Admin, WebHostReplacesTheDefaultNames) {
    settings("web_allow 127.0.0.1\nweb_host gw.example.com, *.corp.example 10.1.2.3:443\n");
    for (const char* host : {"gw.example.com", "a.corp.example", "10.1.2.3:443"}) {
        SCOPED_TRACE(host);
        EXPECT_EQ(get("/", basic("admin", "s3cret"), std::string("Host: ") + host + "\r\n")
                      .rfind("HTTP/1.0 200 OK\r\n", 0),
                  0u);
    }
    for (const char* host : {"localhost", "127.0.0.1", "gw.test", "10.1.2.3", "corp.example"}) {
        SCOPED_TRACE(host);
        EXPECT_EQ(get("/", basic("admin", "s3cret"), std::string("Host: ") + host + "\r\n")
                      .rfind("HTTP/1.0 421 ", 0),
                  0u);
    }
}

TEST_F(Admin, AReserveSlotServesHealthAndLoggedInRequestsOnly) {
    auto reserved = [&](const std::string& raw) {
        InDir in(box.dir());
        Link link;
        link.send(raw);
        command_thread(gw, link.ch.get(), true);
        return link.reply();
    };
    EXPECT_EQ(reserved("GET /health HTTP/1.0\r\n\r\n").rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
    std::string page =
        reserved("GET / HTTP/1.0\r\nHost: gw.test\r\nAuthorization: " + basic("admin", "s3cret") +
                 "\r\n\r\n");
    EXPECT_EQ(page.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << page;
    EXPECT_TRUE(has(page, "Rate limits"));
    for (const std::string& raw :
         {std::string("GET / HTTP/1.0\r\n\r\n"),
          "GET / HTTP/1.0\r\nAuthorization: " + basic("admin", "wrong") + "\r\n\r\n",
          std::string("GET /metrics HTTP/1.0\r\n\r\n")}) {
        SCOPED_TRACE(raw);
        page = reserved(raw);
        EXPECT_EQ(page.rfind("HTTP/1.0 503 Service Unavailable\r\n", 0), 0u) << page;
        EXPECT_TRUE(has(page, "\r\nRetry-After: 2\r\n"));
    }
    EXPECT_TRUE(
        box.logged("refused: every connection is taken, the reserve serves /health and "
                   "logged-in requests only"));
}

TEST_F(Admin, OnlyTheReserveIsLeftWhenTheOrdinarySlotsAreFull) {
    std::vector<std::unique_ptr<Link>> held;
    // Two ordinary slots, both held by clients that say nothing; the next connections go
    // to the reserve, and when that is full too, nothing more is taken.
    const int most = 2;
    settings("web_allow 127.0.0.1\n");
    InDir in(box.dir());
    for (int i = 0; i < most + WEB_RESERVE_CONNECTIONS; ++i) {
        held.push_back(std::make_unique<Link>());
        ASSERT_EQ(web_admin_start(gw, std::move(held.back()->ch), most), 1) << i;
    }
    EXPECT_EQ(web_connections_open(gw), most + WEB_RESERVE_CONNECTIONS);
    EXPECT_EQ(web_connections_reserved(gw), WEB_RESERVE_CONNECTIONS);
    // The slots are the gateway's own: another one has all of its own free.
    Gateway another;
    EXPECT_EQ(web_connections_open(another), 0);
    Link one_more;
    EXPECT_EQ(web_admin_start(gw, std::move(one_more.ch), most), 0);
    // The silent ones are closed once their 2 s for the request line are up, and their
    // slots are free again.
    for (auto& l : held) EXPECT_EQ(l->reply(20000), "");
    for (int i = 0; i < 500 && web_connections_open(gw) > 0; ++i) lib_msleep(20);
    EXPECT_EQ(web_connections_open(gw), 0);
}

TEST_F(Admin, WithoutTemplatesTheBuiltInPageIsSent) {
    std::filesystem::create_directory(box.path("empty"));
    settings("", box.path("empty"));
    const std::string page = get("/");
    const std::string builtin =
        "<HTML>\n<HEAD>Page not found</HEAD>\n<BODY>\n<P>Page not found.</P>\n</BODY>\n</HTML>\n";
    EXPECT_EQ(page, "HTTP/1.0 550 No such file\r\nContent-Type: text/html\r\nContent-Length: " +
                        std::to_string(builtin.size()) + "\r\n\r\n" + builtin);
}

TEST_F(Admin, UnreadableRequestGetsNoAnswer) {
    EXPECT_EQ(serve("HELLO\r\n\r\n"), "");
    EXPECT_EQ(serve("GET / HTTP/1.0\r\nHost: unfinished\r\n"), "");
    EXPECT_TRUE(box.logged("webserv: (HELLO) unrecognised"));
}

TEST_F(Admin, PostFormWorksLikeAQuery) {
    msgrec_add_from(mr.get(), "alice@example.com", 3);
    session = login();
    const std::string body =
        "limit_name=msgrec&sel_l_1=alice%40example.com&cmd_limit_reset=Go"
        "&token=" +
        session.token;
    const std::string page = serve("POST / HTTP/1.0\r\nAuthorization: " + basic("admin", "s3cret") +
                                   "\r\nCookie: " + session.cookie + "\r\nContent-Length: " +
                                   std::to_string(body.size()) + "\r\n\r\n" + body);
    EXPECT_EQ(page.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << page;
    EXPECT_EQ(msgrec_from_count(mr.get(), "alice@example.com"), 0);
}

}  // namespace
}  // namespace tolvane
