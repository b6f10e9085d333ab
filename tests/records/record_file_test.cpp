// Record file lines and fields: cut-short last lines, carriage returns, control bytes
// and the edges of a decimal number, as every record reader meets them.
#include "records/record_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tolvane {
namespace {

// Values from outside written into a record line and read back: every one returns
// as it was and the fields around it stay in their columns, for both delimiters.
TEST(RecordFields, HostileValuesRoundTripAndKeepTheColumns) {
    const struct {
        const char* name;
        std::string value;
        char delim;
        const char* escaped;
    } rows[] = {
        {"bar in a quoted local part", "\"x|y\"@corp.example", '|', "\"x\\|y\"@corp.example"},
        {"tab with tab delimiter", "a\tb", '\t', "a\\tb"},
        {"tab with bar delimiter", "a\tb", '|', "a\\tb"},
        {"bar with tab delimiter", "a|b", '\t', "a|b"},
        {"line ends", "x\r\nFAILURE|forged", '|', "x\\r\\nFAILURE\\|forged"},
        {"escape byte", "\x1b[2J", '|', "\x1b[2J"},
        {"backslashes", "C:\\new\\|", '|', "C:\\\\new\\\\\\|"},
        {"NUL", std::string("a\0b", 3), '|', "a\\0b"},
        {"ends in a backslash", "dir\\", '|', "dir\\\\"},
        {"plain", "+61412345678", ';', "+61412345678"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        const std::string e = record_escape(r.value, r.delim);
        EXPECT_EQ(e, r.escaped);
        EXPECT_EQ(e.find_first_of("\r\n"), std::string::npos);
        EXPECT_EQ(record_unescape(e, r.delim), r.value);
        const std::string d(1, r.delim);
        const std::string line = "SUCCESS" + d + e + d + "to" + d + e + d;
        std::vector<std::string> f = record_fields(line, r.delim);
        ASSERT_EQ(f.size(), 4u);
        EXPECT_EQ(f[0], "SUCCESS");
        EXPECT_EQ(f[1], r.value);
        EXPECT_EQ(f[2], "to");
        EXPECT_EQ(f[3], r.value);
        EXPECT_EQ(record_find_delim(line, r.delim), 7u);
    }
}

// Lines written before values were escaped read as they always did: a backslash that
// starts no escape of ours stays.
TEST(RecordFields, EarlierLinesReadUnchanged) {
    EXPECT_EQ(record_fields("FAILURE|a\\\"b@x|C:\\dir|", '|'),
              (std::vector<std::string>{"FAILURE", "a\\\"b@x", "C:\\dir"}));
    EXPECT_EQ(record_fields("a||b", '|'), (std::vector<std::string>{"a", "", "b"}));
    EXPECT_EQ(record_fields("", '|'), std::vector<std::string>{});
}

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
