// The API's send requests as data: every malformed body refused with its status, code and
// field; good bodies read into destinations in E.164 form; the sendsms form read the same
// way; the error answer's JSON.
#include "gateway/api_request.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

namespace tolvane {
namespace {

ApiNumberRules au() {
    ApiNumberRules r;
    r.country = "+61";
    return r;
}

TEST(ApiRequest, BadBodiesAreRefusedWithTheirCodeAndField) {
    const std::string long_text(1000, 'a');
    std::string many = "[";
    for (int i = 0; i < 101; ++i) many += std::string(i ? "," : "") + "\"+61412345678\"";
    many += "]";
    const struct {
        std::string body;
        const char* code;
        const char* field;
    } rows[] = {
        {"", "invalid_json", ""},
        {"{", "invalid_json", ""},
        {"[1,2]", "invalid_json", ""},
        {"\"text\"", "invalid_json", ""},
        {"{\"to\":\"+61412345678\",\"text\":\"\xff\xfe\"}", "invalid_json", ""},  // not UTF-8
        {"{\"text\":\"hi\"}", "missing_field", "to"},
        {"{\"to\":null,\"text\":\"hi\"}", "missing_field", "to"},
        {"{\"to\":61412345678,\"text\":\"hi\"}", "invalid_field", "to"},
        {"{\"to\":[],\"text\":\"hi\"}", "invalid_field", "to"},
        {"{\"to\":\"hello\",\"text\":\"hi\"}", "invalid_number", "to"},
        {"{\"to\":\"+1\",\"text\":\"hi\"}", "invalid_number", "to"},
        {"{\"to\":\"\",\"text\":\"hi\"}", "invalid_number", "to"},
        {"{\"to\":[\"+61412345678\",\"12ab\"],\"text\":\"hi\"}", "invalid_number", "to[1]"},
        {"{\"to\":[\"+61412345678\",7],\"text\":\"hi\"}", "invalid_number", "to[1]"},
        {"{\"to\":" + many + ",\"text\":\"hi\"}", "too_many_numbers", "to"},
        {"{\"to\":\"+61412345678\"}", "missing_field", "text"},
        {"{\"to\":\"+61412345678\",\"text\":\"\"}", "empty_text", "text"},
        {"{\"to\":\"+61412345678\",\"text\":5}", "invalid_field", "text"},
        {"{\"to\":\"+61412345678\",\"text\":\"" + long_text + "\"}", "text_too_long", "text"},
        {"{\"to\":\"+61412345678\",\"text\":\"hi\",\"from\":5}", "invalid_field", "from"},
        {"{\"to\":\"+61412345678\",\"text\":\"hi\",\"from\":\"A B\"}", "invalid_field", "from"},
        {"{\"to\":\"+61412345678\",\"text\":\"hi\",\"callback_url\":\"ftp://x.example/a\"}",
         "invalid_url", "callback_url"},
        {"{\"to\":\"+61412345678\",\"text\":\"hi\",\"callback_url\":\"http://a b.example/\"}",
         "invalid_url", "callback_url"},
        {"{\"to\":\"+61412345678\",\"text\":\"hi\",\"reference\":\"" + std::string(257, 'r') +
             "\"}",
         "invalid_field", "reference"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.body.substr(0, 120));
        ApiSend s;
        ApiError e;
        EXPECT_FALSE(api_parse_send(row.body, au(), s, e));
        EXPECT_EQ(e.http, 400);
        EXPECT_EQ(e.code, row.code);
        EXPECT_EQ(e.field, row.field);
        EXPECT_FALSE(e.message.empty());
    }
}

TEST(ApiRequest, GoodBodiesGiveNumbersInE164AndTheOptionalFields) {
    ApiSend s;
    ApiError e;
    ASSERT_TRUE(api_parse_send(
        R"({"to":["0412 345 678","+61412345679"],"text":"Grüße","from":"ACME",)"
        R"("callback_url":"https://app.example/dlr","reference":"order-7","extra":1})",
        au(), s, e))
        << e.message;
    EXPECT_EQ(s.to, (std::vector<std::string>{"+61412345678", "+61412345679"}));
    EXPECT_EQ(s.to_given[0], "0412 345 678");
    EXPECT_EQ(s.text, "Grüße");
    EXPECT_EQ(s.from, "ACME");
    EXPECT_EQ(s.callback_url, "https://app.example/dlr");
    EXPECT_EQ(s.reference, "order-7");

    ASSERT_TRUE(api_parse_send(R"({"to":"+61412345678","text":"x","from":null})", au(), s, e));
    EXPECT_EQ(s.to.size(), 1u);
    EXPECT_TRUE(s.from.empty());
    EXPECT_TRUE(s.callback_url.empty());
    // 999 characters are the most a text may hold, counted as characters, not bytes.
    std::string most;
    for (int i = 0; i < 999; ++i) most += "é";
    EXPECT_TRUE(api_parse_send(R"({"to":"+61412345678","text":")" + most + "\"}", au(), s, e));
}

TEST(ApiRequest, SendsmsFieldsReadAsASend) {
    ApiSendsms in;
    ApiError e;
    ASSERT_TRUE(api_parse_sendsms({{"username", "app"},
                                   {"password", "tv_k"},
                                   {"to", "+61412345678,0412345679"},
                                   {"text", "caf\xe9"},
                                   {"charset", "ISO-8859-1"},
                                   {"dlr-mask", "31"},
                                   {"dlr-url", "http://app.example/dlr"}},
                                  au(), in, e))
        << e.message;
    EXPECT_EQ(in.username, "app");
    EXPECT_EQ(in.password, "tv_k");
    EXPECT_EQ(in.send.to, (std::vector<std::string>{"+61412345678", "+61412345679"}));
    EXPECT_EQ(in.send.text, "café");
    EXPECT_EQ(in.send.callback_url, "http://app.example/dlr");
    // Without a dlr-mask no report is asked for.
    ASSERT_TRUE(api_parse_sendsms(
        {{"to", "+61412345678"}, {"text", "x"}, {"dlr-url", "http://a.example/x"}}, au(), in, e));
    EXPECT_TRUE(in.send.callback_url.empty());

    const struct {
        std::vector<std::pair<std::string, std::string>> fields;
        const char* code;
        const char* field;
    } bad[] = {
        {{{"text", "x"}}, "missing_field", "to"},
        {{{"to", "abc"}, {"text", "x"}}, "invalid_number", "to"},
        {{{"to", "+61412345678"}}, "empty_text", "text"},
        {{{"to", "+61412345678"}, {"text", "\xe9"}}, "invalid_field", "text"},  // not UTF-8
        {{{"to", "+61412345678"}, {"text", "x"}, {"coding", "7"}}, "invalid_field", "coding"},
    };
    for (const auto& row : bad) {
        EXPECT_FALSE(api_parse_sendsms(row.fields, au(), in, e));
        EXPECT_EQ(e.code, row.code);
        EXPECT_EQ(e.field, row.field);
    }
}

TEST(ApiRequest, ErrorJsonNamesTheFieldOnlyWhenThereIsOne) {
    auto j = nlohmann::json::parse(api_error_json({400, "invalid_number", "bad", "to[1]"}));
    EXPECT_EQ(j["error"]["code"], "invalid_number");
    EXPECT_EQ(j["error"]["message"], "bad");
    EXPECT_EQ(j["error"]["field"], "to[1]");
    j = nlohmann::json::parse(api_error_json({401, "unauthorized", "no key", ""}));
    EXPECT_FALSE(j["error"].contains("field"));
}

}  // namespace
}  // namespace tolvane
