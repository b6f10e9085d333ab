// HTTP/1.1 requests of the API read from bytes: whole requests in any pieces, pipelined
// ones kept for the next, bodies by length or chunked, and each refusal with its status;
// the answer's bytes.
#include "gateway/api_http.h"

#include <gtest/gtest.h>

#include <string>

namespace tolvane {
namespace {

TEST(ApiHttp, RequestInPiecesOfOneByte) {
    const std::string raw =
        "POST /api/v1/messages?x=1 HTTP/1.1\r\nHost: a\r\nContent-Type: application/json\r\n"
        "Authorization: Bearer tv_1\r\nContent-Length: 7\r\n\r\n{\"a\":1}";
    ApiHttpReader r(1024);
    ApiRead st = ApiRead::more;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        ASSERT_EQ(st, ApiRead::more) << "done early at byte " << i;
        st = r.feed(raw.data() + i, 1);
    }
    ASSERT_EQ(st, ApiRead::done);
    EXPECT_EQ(r.req.method, "POST");
    EXPECT_EQ(r.req.path, "/api/v1/messages");
    EXPECT_EQ(r.req.query, "x=1");
    EXPECT_EQ(r.req.header("authorization"), "Bearer tv_1");  // names in lower case
    EXPECT_EQ(r.req.body, "{\"a\":1}");
    EXPECT_TRUE(r.req.keep_alive);
    EXPECT_FALSE(r.has_pending());
}

TEST(ApiHttp, PipelinedRequestsComeOneAfterTheOther) {
    ApiHttpReader r(1024);
    ASSERT_EQ(r.feed("GET /a HTTP/1.1\r\nHost: x\r\n\r\n"
                     "POST /b HTTP/1.1\r\nContent-Length: 2\r\n\r\nhi"
                     "GET /c HTTP/1.0\r\n\r\n"),
              ApiRead::done);
    EXPECT_EQ(r.req.path, "/a");
    EXPECT_TRUE(r.has_pending());
    ASSERT_EQ(r.next(), ApiRead::done);
    EXPECT_EQ(r.req.path, "/b");
    EXPECT_EQ(r.req.body, "hi");
    ASSERT_EQ(r.next(), ApiRead::done);
    EXPECT_EQ(r.req.path, "/c");
    EXPECT_FALSE(r.req.keep_alive);  // HTTP/1.0 without keep-alive
    EXPECT_TRUE(r.req.http10);
    EXPECT_EQ(r.next(), ApiRead::more);
    // The reader goes on with bytes that come later.
    EXPECT_EQ(r.feed("GET /d HTTP/1.1\r\nConnection: close\r\n\r\n"), ApiRead::done);
    EXPECT_EQ(r.req.path, "/d");
    EXPECT_FALSE(r.req.keep_alive);
    EXPECT_FALSE(r.req.http10);
    // HTTP/1.0 keeps the connection when it asks to.
    ApiHttpReader r10(1024);
    EXPECT_EQ(r10.feed("GET /e HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n"), ApiRead::done);
    EXPECT_TRUE(r10.req.keep_alive);
    EXPECT_TRUE(r10.req.http10);
}

TEST(ApiHttp, ChunkedBodyAndExpectContinue) {
    ApiHttpReader r(1024);
    ASSERT_EQ(r.feed("POST /m HTTP/1.1\r\nTransfer-Encoding: chunked\r\n"
                     "Expect: 100-continue\r\n\r\n"),
              ApiRead::more);
    EXPECT_TRUE(r.head_done());
    EXPECT_TRUE(r.req.expect_continue);
    ASSERT_EQ(r.feed("3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n"), ApiRead::done);
    EXPECT_EQ(r.req.body, "abcde");
}

TEST(ApiHttp, RefusalsCarryTheirStatus) {
    const std::string big_header(API_MAX_HEAD + 10, 'h');
    std::string many;
    for (std::size_t i = 0; i <= API_MAX_HEADERS; ++i) many += "X-" + std::to_string(i) + ": v\r\n";
    const struct {
        std::string raw;
        int status;
    } rows[] = {
        {"NONSENSE\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nContent-Length: x\r\n\r\n", 400},
        {"POST / HTTP/1.1\r\nContent-Length: 17\r\n\r\n", 413},  // over 16 before the body
        {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n20\r\n" + std::string(32, 'b'), 413},
        {"GET / HTTP/1.1\r\nX-Big: " + big_header + "\r\n\r\n", 431},
        {"GET /" + big_header + " HTTP/1.1\r\n\r\n", 431},
        {"GET / HTTP/1.1\r\n" + many + "\r\n", 431},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.raw.substr(0, 60));
        ApiHttpReader r(16);
        EXPECT_EQ(r.feed(row.raw), ApiRead::bad);
        EXPECT_EQ(r.bad_status(), row.status);
        EXPECT_FALSE(r.why().empty());
        EXPECT_EQ(r.next(), ApiRead::bad);  // nothing more is read from such a connection
    }
}

TEST(ApiHttp, AnswerBytes) {
    EXPECT_EQ(
        api_http_answer(202, "application/json", "{}", true),
        "HTTP/1.1 202 Accepted\r\nContent-Type: application/json\r\nContent-Length: 2\r\n\r\n{}");
    EXPECT_EQ(api_http_answer(429, "text/plain", "no", false, {{"Retry-After", "60"}}),
              "HTTP/1.1 429 Too Many Requests\r\nContent-Type: text/plain\r\nContent-Length: 2\r\n"
              "Connection: close\r\nRetry-After: 60\r\n\r\nno");
}

}  // namespace
}  // namespace tolvane
