// Record file lines and fields: cut-short last lines, carriage returns, control bytes
// and the edges of a decimal number, as every record reader meets them.
#include "records/record_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tolvane {
namespace {

TEST(ParseDecimal, EdgesOfANumber) {
    const struct {
        const char* text;
        std::optional<long long> value;
    } rows[] = {
        {"0", 0},
        {"-7", -7},
        {"123456789012345678", 123456789012345678LL},
        {"-123456789012345678", -123456789012345678LL},
        {"1234567890123456789", std::nullopt},  // 19 digits
        {"", std::nullopt},
        {"-", std::nullopt},
        {"+5", std::nullopt},
        {" 5", std::nullopt},
        {"5 ", std::nullopt},
        {"12a", std::nullopt},
        {"--1", std::nullopt},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.text);
        EXPECT_EQ(parse_decimal(r.text), r.value);
    }
}

struct Seen {
    std::string text;
    std::size_t start;
    int number;
    bool had_cr;
    bool operator==(const Seen&) const = default;
};

std::vector<Seen> lines_of(std::string_view data, std::size_t& unfinished) {
    std::vector<Seen> out;
    unfinished = for_each_record_line(data, [&](const record_line& l) {
        out.push_back({std::string(l.text), l.start, l.number, l.had_cr});
    });
    return out;
}

TEST(RecordLines, WholeLinesOnlyWithTheirPlaces) {
    std::size_t unfinished = 0;
    auto got = lines_of("a|1\r\n\nb|2\r\r\nhalf", unfinished);
    std::vector<Seen> want = {{"a|1", 0, 1, true}, {"", 5, 2, false}, {"b|2", 6, 3, true}};
    EXPECT_EQ(got, want);
    EXPECT_EQ(unfinished, 12u);  // where "half" starts: the caller cuts the file there

    got = lines_of("x\ny\n", unfinished);
    EXPECT_EQ(got.size(), 2u);
    EXPECT_EQ(unfinished, std::string_view::npos);

    got = lines_of("", unfinished);
    EXPECT_TRUE(got.empty());
    EXPECT_EQ(unfinished, std::string_view::npos);

    got = lines_of("no end", unfinished);
    EXPECT_TRUE(got.empty());
    EXPECT_EQ(unfinished, 0u);
}

TEST(ControlBytes, TheDelimiterAndTabAreAllowed) {
    const struct {
        std::string text;
        char allowed;
        bool held;
    } rows[] = {
        {"plain|text", '|', false},
        {"tab\there", '|', false},
        {std::string("a\x01") + "b", '|', true},
        {"del\x7f", '|', true},
        {"a\x1f"
         "b",
         '\x1f', false},
        {"cr\r", '|', true},
        {"", '|', false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.text);
        EXPECT_EQ(holds_control_bytes(r.text, r.allowed), r.held);
    }
}

}  // namespace
}  // namespace tolvane
