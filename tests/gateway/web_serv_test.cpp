// The web request object: raw requests read from a real socket (well-formed and
// malformed), the variable and header lists, the request log, and the pages written back.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "foundation/lib.h"
#include "foundation/tracefile.h"
#include "gateway/web_support.h"
#include "gateway/webserv.h"

namespace tolvane {
namespace {

using webtest::Link;
using webtest::Sandbox;

struct Served {
    Sandbox box;
    Link link;
    std::unique_ptr<web_serv> w;
    Served() {
        w = webserv_init(link.ch.get(), box.dir(), nullptr, nullptr);
        EXPECT_EQ(webserv_debug(w.get(), box.path("input.log"), box.path("output.log")), 1);
    }
    int load(std::string_view raw) {
        link.send(raw);
        return webserv_load(w.get());
    }
    // Everything written, once the object is gone and the connection closed.
    std::string finish() {
        webserv_free(w);
        tcp_close_nice(link.ch.get());
        return link.reply();
    }
};

// ---- well-formed requests ----

TEST(WebservLoad, GetSplitsPathAndQueryAndDecodesFields) {
    Served s;
    ASSERT_EQ(s.load("GET /main.htm?cmd=main&name=a+b%21&flag&=nameless&&x=1=2 HTTP/1.0\r\n"
                     "Host: here\r\n\r\n"),
              1);
    EXPECT_EQ(s.w->method, "GET");
    EXPECT_EQ(s.w->ref, "/main.htm");
    EXPECT_EQ(webserv_field(s.w.get(), "cmd"), "main");
    EXPECT_EQ(webserv_field(s.w.get(), "NAME"), "a b!");
    EXPECT_EQ(webserv_field(s.w.get(), "x"), "1=2");
    // A field without a value is there, but reads as absent.
    EXPECT_EQ(webserv_field(s.w.get(), "flag"), std::nullopt);
    EXPECT_EQ(webserv_wild(s.w.get(), "fla?"), std::vector<std::string>{"flag"});
    EXPECT_EQ(webserv_wild(s.w.get(), "*").size(), 4u);
    EXPECT_EQ(webserv_get_header(s.w.get(), "HOST"), "here");
    EXPECT_EQ(webserv_get_header(s.w.get(), "Cookie"), "");
}

TEST(WebservLoad, MethodIsTakenInAnyCaseAndHttp09LineWorks) {
    Served s;
    ASSERT_EQ(s.load("get /?a=1\n\n"), 1);
    EXPECT_EQ(webserv_field(s.w.get(), "a"), "1");
}

TEST(WebservLoad, PostReadsExactlyTheBodyAndIgnoresTheUrlQuery) {
    Served s;
    const std::string body = "cmd_shutdown=go&sel_l_1=a%40b.c";
    ASSERT_EQ(s.load("POST /x?url=1 HTTP/1.0\r\nContent-Type: form\r\ncontent-LENGTH: " +
                     std::to_string(body.size()) + "\r\n\r\n" + body + "TRAILING"),
              1);
    EXPECT_EQ(webserv_field(s.w.get(), "cmd_shutdown"), "go");
    EXPECT_EQ(webserv_field(s.w.get(), "sel_l_1"), "a@b.c");
    EXPECT_EQ(webserv_field(s.w.get(), "url"), std::nullopt);
    EXPECT_EQ(webserv_field(s.w.get(), "sel_l_1TRAILING"), std::nullopt);
}

TEST(WebservLoad, PostBodyArrivingInPiecesIsCollected) {
    Served s;
    s.link.send("POST / HTTP/1.0\r\nContent-Length: 7\r\n\r\nab", false);
    s.link.send("c=def");
    ASSERT_EQ(webserv_load(s.w.get()), 1);
    EXPECT_EQ(webserv_field(s.w.get(), "abc"), "def");
}

TEST(WebservLoad, HeaderLinesWithoutSeparatorAreSkippedAndALaterOneWins) {
    Served s;
    ASSERT_EQ(s.load("GET / HTTP/1.0\r\nnonsense\r\n: empty name\r\nX-A: 1\r\nx-a: 2\r\n"
                     "X-B:no-blank\r\n\r\n"),
              1);
    EXPECT_EQ(webserv_get_header(s.w.get(), "X-A"), "2");
    EXPECT_EQ(webserv_get_header(s.w.get(), "X-B"), "");
    EXPECT_EQ(webserv_get_header(s.w.get(), "nonsense"), "");
}

TEST(WebservLoad, OverlongRequestLineIsCutAndStillServed) {
    Served s;
    ASSERT_EQ(s.load("GET /?v=" + std::string(5000, 'q') + " HTTP/1.0\r\nHost: h\r\n\r\n"), 1);
    auto v = webserv_field(s.w.get(), "v");
    ASSERT_TRUE(v);
    EXPECT_EQ(v->size(), 999u - 8u);  // the line is cut at 999 characters
    EXPECT_EQ(webserv_get_header(s.w.get(), "Host"), "h");
}

TEST(WebservLoad, RequestLogHasTheLineHeadersAndFieldsButNoCredentials) {
    Served s;
    ASSERT_EQ(s.load("GET /p?a=%31&token=t0k3n&Pass%77ord=pw1&b=2 HTTP/1.0\r\nHost: h\r\n"
                     "Authorization: Basic c2VjcmV0\r\nCookie: tolvane_session=c00k1e\r\n"
                     "Proxy-Authorization: Basic cHJveHk=\r\n\r\n"),
              1);
    s.finish();
    const std::string log = s.box.read("input.log");
    EXPECT_NE(log.find(" GET /p?a=%31&token=(masked)&Pass%77ord=(masked)&b=2\n"), std::string::npos)
        << log;
    EXPECT_NE(log.find("\tHost: h\n"), std::string::npos);
    EXPECT_NE(log.find("\t(a)=(1)\n"), std::string::npos);
    EXPECT_NE(log.find("\t(token)=(masked)\n"), std::string::npos);
    EXPECT_NE(log.find("\t(Password)=(masked)\n"), std::string::npos);
    EXPECT_NE(log.find("\tAuthorization: (masked)\n"), std::string::npos);
    EXPECT_NE(log.find("\tCookie: (masked)\n"), std::string::npos);
    EXPECT_NE(log.find("\tProxy-Authorization: (masked)\n"), std::string::npos);
    for (const char* secret : {"c2VjcmV0", "t0k3n", "pw1", "c00k1e", "cHJveHk"}) {
        EXPECT_EQ(log.find(secret), std::string::npos) << secret;
    }
}

TEST(WebservLoad, PostedPasswordsAndTokensStayOutOfTheRequestLog) {
    Served s;
    const std::string body = "user=ann&new_password=Sekr3t&token=abc123&keep=yes";
    ASSERT_EQ(s.load("POST /x HTTP/1.0\r\nContent-Length: " + std::to_string(body.size()) +
                     "\r\n\r\n" + body),
              1);
    EXPECT_EQ(webserv_field(s.w.get(), "new_password"), "Sekr3t");  // the server still sees it
    s.finish();
    const std::string log = s.box.read("input.log");
    EXPECT_NE(log.find(" POST /x\n"), std::string::npos) << log;
    EXPECT_NE(log.find("\t(user)=(ann)\n\t(new_password)=(masked)\n\t(token)=(masked)\n"
                       "\t(keep)=(yes)\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("Sekr3t"), std::string::npos);
    EXPECT_EQ(log.find("abc123"), std::string::npos);
}

TEST(WebservLoad, TheTwoTracesArePrivateAndKeepToTheTraceBudget) {
    const long old_max = trace_max_size();
    trace_set_limits(2000, 2);
    {
        Sandbox box;
        for (int i = 0; i < 40; ++i) {
            Link link;
            auto w = webserv_init(link.ch.get(), box.dir(), nullptr, nullptr);
            ASSERT_EQ(webserv_debug(w.get(), box.path("in.log"), box.path("out.log")), 1);
            link.send("GET /?n=" + std::to_string(i) + " HTTP/1.0\r\nHost: h\r\n\r\n");
            ASSERT_EQ(webserv_load(w.get()), 1);
            webserv_printf(w.get(), "%s", std::string(300, 'a').c_str());
            webserv_free(w);
        }
        for (const char* name : {"in.log", "out.log"}) {
            SCOPED_TRACE(name);
            struct stat st {};
            ASSERT_EQ(::stat(box.path(name).c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 07777, 0600u);
            long total = 0;
            for (const char* suffix : {"", "0", "1", "2"}) {
                if (::stat(box.path(std::string(name) + suffix).c_str(), &st) == 0)
                    total += static_cast<long>(st.st_size);
            }
            // The file and its two old files, each within the limit; no third one.
            EXPECT_LE(total, 3 * 2000);
            EXPECT_NE(::stat(box.path(std::string(name) + "2").c_str(), &st), 0);
        }
        EXPECT_NE(box.read("in.log").find("GET /?n=39\n"), std::string::npos);
    }
    trace_set_limits(old_max, TRACE_KEEP_DEFAULT);
}

TEST(WebservLoad, SecretsAreMaskedWhereverTheAnswerShowsThem) {
    Served s;
    // A token the request shows where no rule of names finds it (a Referer) is masked
    // too, once the server knows it as a secret.
    ASSERT_EQ(s.load("GET / HTTP/1.0\r\nReferer: http://h/?cmd=x&tok=f0rmt0k3n\r\n\r\n"), 1);
    webserv_secret(s.w.get(), "5e55i0n1d");
    webserv_secret(s.w.get(), "f0rmt0k3n");
    webserv_set_header(s.w.get(), "Set-Cookie", "tolvane_session=5e55i0n1d; Path=/");
    s.box.write("p.htm", "<input name=\"token\" value=\"f0rmt0k3n\">f0rmt0k3nf0rmt0k3n\n");
    EXPECT_EQ(webserv_display(s.w.get(), "HTTP/1.0 200 OK", "p.htm"), 1);
    const std::string got = s.finish();
    // The client gets them as they are; the copy never.
    EXPECT_NE(got.find("value=\"f0rmt0k3n\""), std::string::npos);
    const std::string copy = s.box.read("output.log");
    EXPECT_NE(copy.find("Set-Cookie: tolvane_session=(masked); Path=/\r\n"), std::string::npos)
        << copy;
    EXPECT_NE(copy.find("value=\"(masked)\">(masked)(masked)\n"), std::string::npos) << copy;
    EXPECT_EQ(copy.find("5e55i0n1d"), std::string::npos);
    EXPECT_EQ(copy.find("f0rmt0k3n"), std::string::npos);
    const std::string in = s.box.read("input.log");
    EXPECT_NE(in.find("\tReferer: http://h/?cmd=x&tok=(masked)\n"), std::string::npos) << in;
}

TEST(WebservLoad, WithoutDebugNothingIsWritten) {
    Sandbox box;
    Link link;
    auto w = webserv_init(link.ch.get(), box.dir(), nullptr, nullptr);
    link.send("GET /?token=x HTTP/1.0\r\n\r\n");
    ASSERT_EQ(webserv_load(w.get()), 1);
    webserv_printf(w.get(), "answer");
    webserv_free(w);
    tcp_close_nice(link.ch.get());
    EXPECT_EQ(link.reply(), "answer");
    struct stat st {};
    EXPECT_NE(::stat(box.path("input.log").c_str(), &st), 0);
    EXPECT_NE(::stat(box.path("output.log").c_str(), &st), 0);
}

// ---- malformed requests ----

struct Bad {
    const char* what;
    std::string raw;
    const char* logged;  // part of the log line, or null
};

TEST(WebservLoad, MalformedRequestsFailAndCloseWithoutAnswer) {
    const std::vector<Bad> cases = {
        {"one word", "GARBAGE\r\n\r\n", "webserv: (GARBAGE) unrecognised"},
        {"unknown method", "PUT /x HTTP/1.0\r\n\r\n", "webserv: (PUT /x HTTP/1.0) unrecognised"},
        {"control bytes logged safely", std::string("BR\x01W /\r\n\r\n"),
         "webserv: (BR?W /) unrecognised"},
        {"nothing at all", "", nullptr},
        {"ends before the empty line", "GET / HTTP/1.0\r\nHost: h\r\n", nullptr},
        {"short body", "POST / HTTP/1.0\r\nContent-Length: 50\r\n\r\na=1", "after 3 of 50 bytes"},
        {"negative length", "POST / HTTP/1.0\r\nContent-Length: -5\r\n\r\n",
         "content length (-5) refused"},
        {"huge length", "POST / HTTP/1.0\r\nContent-Length: 99999999999\r\n\r\n",
         "content length (99999999999) refused"},
        {"length not a number", "POST / HTTP/1.0\r\nContent-Length: lots\r\n\r\n",
         "content length (lots) refused"},
        {"length with a sign", "POST / HTTP/1.0\r\nContent-Length: +5\r\n\r\nabcde",
         "content length (+5) refused"},
        {"length past the body limit", "POST / HTTP/1.0\r\nContent-Length: 1048577\r\n\r\n",
         "content length (1048577) refused"},
    };
    for (const Bad& b : cases) {
        SCOPED_TRACE(b.what);
        Served s;
        EXPECT_EQ(s.load(b.raw), 0);
        EXPECT_EQ(s.link.ch->sk, -1);  // closed by the failed load
        EXPECT_EQ(s.finish(), "");
        if (b.logged) {
            EXPECT_TRUE(s.box.logged(b.logged)) << s.box.read("test.log");
        }
    }
}

TEST(WebservLoad, TooManyHeaderLinesAreRefused) {
    Served s;
    std::string raw = "GET / HTTP/1.0\r\n";
    for (int i = 0; i <= WEBSERV_MAX_HEADERS; ++i) raw += "X-" + std::to_string(i) + ": v\r\n";
    EXPECT_EQ(s.load(raw + "\r\n"), 0);
    EXPECT_TRUE(s.box.logged("header lines, request refused"));
}

TEST(WebservLoad, RequestFieldsAreNotPageVariables) {
    Served s;
    ASSERT_EQ(s.load("GET /?head.inc=main.htm&limit_total=%3Cb%3E HTTP/1.0\r\n\r\n"), 1);
    EXPECT_EQ(webserv_field(s.w.get(), "head.inc"), "main.htm");
    EXPECT_EQ(webserv_get(s.w.get(), "head.inc"), std::nullopt);
    EXPECT_EQ(webserv_get(s.w.get(), "limit_total"), std::nullopt);
    // A page variable set by the gateway does not show through as a field either.
    webserv_add(s.w.get(), "token", "t");
    EXPECT_EQ(webserv_field(s.w.get(), "token"), std::nullopt);
}

TEST(WebservLoad, AClientThatTricklesItsRequestIsDroppedAtTheDeadline) {
    Served s;
    s.w->request_ms = 600;
    std::atomic<bool> stop{false};
    // One byte every 100 ms: every read gets something, the request never ends.
    std::thread trickle([&] {
        s.link.send("GET / HTTP/1.0\r\n", false);
        while (!stop.load()) {
            // The server may close first; a failed send is then expected.
            (void)::send(s.link.peer, "X", 1, MSG_NOSIGNAL);
            lib_msleep(100);
        }
    });
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(webserv_load(s.w.get()), 0);
    const auto took = std::chrono::steady_clock::now() - t0;
    stop.store(true);
    trickle.join();
    EXPECT_GE(took, std::chrono::milliseconds(550));
    EXPECT_EQ(s.link.ch->sk, -1);
    EXPECT_TRUE(s.box.logged("request not complete within 600 ms"));
}

TEST(WebservLoad, AClientThatSendsNoRequestLineIsDroppedAtTheFirstLineDeadline) {
    for (const std::string& sent : {std::string(), std::string("GET / HTT")}) {
        SCOPED_TRACE(sent);
        Served s;
        s.w->first_line_ms = 400;
        s.w->request_ms = 60000;
        if (!sent.empty()) s.link.send(sent, false);
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(webserv_load(s.w.get()), 0);
        const auto took = std::chrono::steady_clock::now() - t0;
        EXPECT_GE(took, std::chrono::milliseconds(350));
        EXPECT_LT(took, std::chrono::seconds(30));  // the 60 s deadline was not the one
        EXPECT_EQ(s.link.ch->sk, -1);
        EXPECT_TRUE(s.box.logged("webserv: no request line within 400 ms, connection dropped"));
    }
}

TEST(WebservLoad, OnceTheRequestLineIsInTheWholeRequestDeadlineApplies) {
    Served s;
    s.w->first_line_ms = 200;
    s.w->request_ms = 60000;
    std::thread later([&] {
        s.link.send("GET / HTTP/1.0\r\n", false);
        lib_msleep(700);  // past the first line's deadline, within the request's
        s.link.send("Host: h\r\n\r\n");
    });
    EXPECT_EQ(webserv_load(s.w.get()), 1);
    later.join();
    EXPECT_EQ(webserv_get_header(s.w.get(), "Host"), "h");
}

TEST(WebservLoad, QuietClientIsGivenUpWhenCancelled) {
    Served s;
    std::atomic<int> stop{0};
    s.w->cancel = &stop;
    s.w->first_line_ms = 24 * 3600 * 1000;
    s.w->request_ms = 24 * 3600 * 1000;  // only the cancel can end this wait
    std::thread later([&] {
        lib_msleep(300);
        stop.store(1);
    });
    EXPECT_EQ(webserv_load(s.w.get()), 0);
    later.join();
    EXPECT_EQ(s.finish(), "");
}

// ---- variables ----

TEST(WebservVars, SameCaseReplacesOtherCaseGoesInFrontAndRemoveTakesAll) {
    Served s;
    web_serv* w = s.w.get();
    webserv_add(w, "Name", "1");
    webserv_add(w, "Name", "2");
    EXPECT_EQ(webserv_get(w, "name"), "2");
    webserv_add(w, "NAME", "3");
    EXPECT_EQ(webserv_get(w, "Name"), "3");
    EXPECT_EQ(s.w->data.size(), 2u);
    webserv_rmv(w, "name");
    EXPECT_EQ(webserv_get(w, "Name"), std::nullopt);
    EXPECT_TRUE(s.w->data.empty());
}

TEST(WebservVars, WildMatchesRequestFieldNamesInAnyCase) {
    Served s;
    ASSERT_EQ(s.load("GET /?sel_l_1=a&SEL_L_2=b&sel_x=c HTTP/1.0\r\n\r\n"), 1);
    web_serv* w = s.w.get();
    webserv_add(w, "sel_l_3", "a page variable");
    std::vector<std::string> got = webserv_wild(w, "sel_l_*");
    EXPECT_EQ(got.size(), 2u);
    EXPECT_TRUE(webserv_wild(w, "nothing*").empty());
}

// ---- pages ----

TEST(WebservPage, ShowfileWritesDateHeadersNewestFirstAndThePage) {
    Served s;
    s.box.write("p.htm", "body ||v||\n");
    webserv_add(s.w.get(), "v", "V");
    webserv_set_header(s.w.get(), "First", "1");
    webserv_set_header(s.w.get(), "Second", "evil\r\nInjected: yes");
    EXPECT_EQ(webserv_showfile(s.w.get(), "p.htm"), 1);
    EXPECT_TRUE(s.w->shown);
    const std::string got = s.finish();
    ASSERT_EQ(got.rfind("Date: ", 0), 0u) << got;
    EXPECT_NE(got.find(" GMT\r\nSecond: evil  Injected: yes\r\nFirst: 1\r\n\r\nbody V\n"),
              std::string::npos)
        << got;
}

TEST(WebservPage, DisplayWritesTheStatusLineAndSetsPage) {
    Served s;
    s.box.write("main.htm", "[||page||]");
    EXPECT_EQ(webserv_display(s.w.get(), "HTTP/1.0 200 OK", "main.htm"), 1);
    const std::string got = s.finish();
    EXPECT_EQ(got.rfind("HTTP/1.0 200 OK\r\nDate: ", 0), 0u) << got;
    EXPECT_NE(got.find("\r\n\r\n[main.htm]"), std::string::npos);
    // Every line of the header block ends in CR LF.
    const std::string head = got.substr(0, got.find("\r\n\r\n") + 2);
    for (std::size_t at = head.find('\n'); at != std::string::npos; at = head.find('\n', at + 1)) {
        EXPECT_EQ(head[at - 1], '\r') << head;
    }
    // The copy holds a time stamp line and the same bytes.
    const std::string copy = s.box.read("output.log");
    EXPECT_EQ(copy.rfind("\n[", 0), 0u);
    EXPECT_NE(copy.find("]\nHTTP/1.0 200 OK\r\nDate: "), std::string::npos);
}

TEST(WebservPage, MissingPageGives550AndNothingElse) {
    Served s;
    EXPECT_EQ(webserv_display(s.w.get(), "HTTP/1.0 200 OK", "none.htm"), 0);
    EXPECT_FALSE(s.w->shown);
    EXPECT_EQ(webserv_showfile(s.w.get(), "none.htm"), 0);
    EXPECT_EQ(s.finish(), "HTTP/1.0 550 No such file\r\n");
}

TEST(WebservPage, ARequestCannotChooseThePageShown) {
    Served s;
    s.box.write("web/main.htm", "main");
    s.box.write("web/other.htm", "other");
    s.w = webserv_init(s.link.ch.get(), s.box.path("web"), nullptr, nullptr);
    ASSERT_EQ(s.load("GET /?show=other.htm&page=other.htm HTTP/1.0\r\n\r\n"), 1);
    EXPECT_EQ(webserv_display(s.w.get(), "HTTP/1.0 200 OK", "main.htm"), 1);
    EXPECT_EQ(webserv_get(s.w.get(), "page"), "main.htm");
    const std::string got = s.finish();
    EXPECT_NE(got.find("\r\n\r\nmain"), std::string::npos);
    EXPECT_EQ(got.find("other"), std::string::npos);
}

TEST(WebservPage, VariablesAreEscapedUnlessTheTemplateAsksForThemRaw) {
    Served s;
    s.box.write("p.htm", "<a title='||v||'>||v||</a>||raw||v||");
    webserv_add(s.w.get(), "v", "<i>\"x\"&'y'");
    EXPECT_EQ(webserv_showfile(s.w.get(), "p.htm"), 1);
    const std::string got = s.finish();
    EXPECT_NE(got.find("<a title='&lt;i&gt;&quot;x&quot;&amp;&#39;y&#39;'>&lt;i&gt;&quot;x&quot;"
                       "&amp;&#39;y&#39;</a><i>\"x\"&'y'"),
              std::string::npos)
        << got;
}

TEST(WebservPage, LargePageArrivesWholeAndInOrder) {
    Served s;
    std::string text;
    for (int i = 0; i < 5000; ++i) text += "line " + std::to_string(i) + "\n";
    s.box.write("big.htm", text);
    EXPECT_EQ(webserv_showfile(s.w.get(), "big.htm"), 1);
    const std::string got = s.finish();
    ASSERT_GT(got.size(), text.size());
    EXPECT_EQ(got.substr(got.size() - text.size()), text);
}

TEST(WebservPage, PrintfIsCutAt999Characters) {
    Served s;
    webserv_printf(s.w.get(), "%s", std::string(3000, 'z').c_str());
    EXPECT_EQ(s.finish(), std::string(999, 'z'));
}

}  // namespace
}  // namespace tolvane
