// Reading a request from bytes: the same request cut into pieces every way reads the
// same, line and header limits, refusals with their log lines, form fields and Basic
// credentials.
#include "gateway/webserv_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/ssha.h"

namespace tolvane {
namespace {

web_reader read_all(std::string_view raw) {
    web_reader r;
    r.feed(raw);
    return r;
}

TEST(WebReader, EveryCutOfARequestReadsTheSame) {
    const std::string raw =
        "POST /p?q=1 HTTP/1.0\r\nHost: h\r\nContent-Length: 11\r\nX-A: 1\r\n\r\na=1&b=%41+cJUNK";
    for (std::size_t cut1 = 0; cut1 <= raw.size(); ++cut1) {
        for (std::size_t cut2 = cut1; cut2 <= raw.size(); cut2 += 7) {
            SCOPED_TRACE(std::to_string(cut1) + "," + std::to_string(cut2));
            web_reader r;
            r.feed(raw.substr(0, cut1));
            r.feed(raw.substr(cut1, cut2 - cut1));
            ASSERT_EQ(r.feed(raw.substr(cut2)), WEB_DONE);
            EXPECT_EQ(r.req.method, "POST");
            EXPECT_EQ(r.req.ref, "/p");
            EXPECT_EQ(r.req.query, "a=1&b=%41+c");
            EXPECT_EQ(pair_findnc(r.req.head, "x-a"), "1");
        }
    }
}

TEST(WebReader, StatusAfterEachPart) {
    web_reader r;
    EXPECT_EQ(r.feed("GET / HTTP/1.0\r"), WEB_MORE);
    EXPECT_FALSE(r.have_request_line());
    EXPECT_EQ(r.feed("\n"), WEB_MORE);
    EXPECT_TRUE(r.have_request_line());
    EXPECT_EQ(r.feed("Host: x\r\n"), WEB_MORE);
    EXPECT_EQ(r.feed("\r\n"), WEB_DONE);
    // Bytes after the end change nothing.
    EXPECT_EQ(r.feed("GARBAGE\r\n\r\n"), WEB_DONE);
    EXPECT_EQ(r.finish(), WEB_DONE);
    EXPECT_EQ(r.req.query, "");
}

TEST(WebReader, PostWithoutLengthHasAnEmptyBody) {
    web_reader r = read_all("POST /?x=1 HTTP/1.0\r\n\r\nignored");
    EXPECT_EQ(r.status(), WEB_DONE);
    EXPECT_EQ(r.req.query, "");
}

TEST(WebReader, LinesAreCutAt999AndTheRestSkipped) {
    const std::string longpath = "/" + std::string(2000, 'a');
    web_reader r = read_all("GET " + longpath + " HTTP/1.0\r\nX-Long: " + std::string(3000, 'b') +
                            "\r\nX-Next: 2\r\n\r\n");
    ASSERT_EQ(r.status(), WEB_DONE);
    EXPECT_EQ(r.req.ref.size(), 999u - 4u);
    EXPECT_EQ(pair_findnc(r.req.head, "X-Long").size(), 999u - 8u);
    EXPECT_EQ(pair_findnc(r.req.head, "X-Next"), "2");
}

TEST(WebReader, NulBecomesABlankAndOneCrIsDropped) {
    static const char raw[] = "GET /a HTTP/1.0\r\nX-N: a\0b\r\r\n\r\n";
    web_reader r = read_all(std::string(raw, sizeof raw - 1));
    ASSERT_EQ(r.status(), WEB_DONE);
    EXPECT_EQ(pair_findnc(r.req.head, "X-N"), "a b\r");
}

TEST(WebReader, RefusalsSayWhy) {
    struct Case {
        const char* what;
        std::string raw;
        bool finish;  // the peer closes after raw
        const char* why;
    };
    const std::vector<Case> cases = {
        {"one word", "GET\r\n", false, "webserv: (GET) unrecognised"},
        {"other method", "DELETE / HTTP/1.0\r\n", false,
         "webserv: (DELETE / HTTP/1.0) unrecognised"},
        {"control bytes", std::string("G\x1b[2J / x\r\n"), false,
         "webserv: (G?[2J / x) unrecognised"},
        {"length with blanks", "POST / HTTP/1.0\r\nContent-Length:  5\r\n", false,
         "webserv: content length ( 5) refused"},
        {"length too big", "POST / HTTP/1.0\r\nContent-Length: 1048577\r\n", false,
         "webserv: content length (1048577) refused"},
        {"length empty", "POST / HTTP/1.0\r\nContent-Length: \r\n", false,
         "webserv: content length () refused"},
        {"closed in the headers", "GET / HTTP/1.0\r\nHost: h\r\n", true,
         "webserv: connection closed before the request was complete"},
        {"closed in the body", "POST / HTTP/1.0\r\nContent-Length: 9\r\n\r\nabc", true,
         "webserv: request body ended after 3 of 9 bytes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        web_reader r = read_all(c.raw);
        if (c.finish) {
            EXPECT_EQ(r.status(), WEB_MORE);
            r.finish();
        }
        EXPECT_EQ(r.status(), WEB_BAD);
        EXPECT_EQ(r.why(), c.why);
    }
}

TEST(WebReader, HeaderLineCountIsLimited) {
    std::string raw = "GET / HTTP/1.0\r\n";
    for (int i = 0; i < WEBSERV_MAX_HEADERS; ++i) raw += "X: v\r\n";
    EXPECT_EQ(read_all(raw + "\r\n").status(), WEB_DONE);
    EXPECT_EQ(read_all(raw + "Y: 1\r\n\r\n").status(), WEB_BAD);
}

TEST(WebReader, BodyOfTheLargestLengthIsRead) {
    const std::string body(static_cast<std::size_t>(WEBSERV_MAX_BODY), 'z');
    web_reader r = read_all("POST / HTTP/1.0\r\nContent-Length: " + std::to_string(body.size()) +
                            "\r\n\r\n" + body);
    ASSERT_EQ(r.status(), WEB_DONE);
    EXPECT_EQ(r.req.query.size(), body.size());
}

TEST(WebFormFields, SplitAndDecoded) {
    using F = std::vector<std::pair<std::string, std::string>>;
    struct Case {
        const char* text;
        F want;
    };
    const std::vector<Case> cases = {
        {"", {}},
        {"&&", {}},
        {"a", {{"a", ""}}},
        {"a=", {{"a", ""}}},
        {"=v&b=2", {{"b", "2"}}},
        {"x=1=2", {{"x", "1=2"}}},
        {"n%61me=a+b%21&%3D=%26", {{"name", "a b!"}, {"=", "&"}}},
        {"a=1&a=2", {{"a", "1"}, {"a", "2"}}},
        {"bad=%zz%4", {{"bad", "%zz%4"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(web_form_fields(c.text), c.want);
    }
}

TEST(WebBasicCredentials, UserEndsAtTheFirstColon) {
    struct Case {
        std::string header;
        bool ok;
        const char* user;
        const char* password;
    };
    const std::vector<Case> cases = {
        {"Basic " + encode_base64("ann:pw"), true, "ann", "pw"},
        {"bAsIc  " + encode_base64("ann:p:w"), true, "ann", "p:w"},
        {"Basic " + encode_base64(":"), true, "", ""},
        {"Basic " + encode_base64("annpw"), false, "", ""},
        {"Basic", false, "", ""},
        {"", false, "", ""},
        {"Bearer " + encode_base64("ann:pw"), false, "", ""},
        {"Basic !!!!", false, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.header);
        std::string user = "x";
        std::string password = "y";
        EXPECT_EQ(web_basic_credentials(c.header, user, password), c.ok);
        EXPECT_EQ(user, c.user);
        EXPECT_EQ(password, c.password);
    }
}

}  // namespace
}  // namespace tolvane
