// Kinds of settings values: which texts fit which kind, and the problems a loaded file
// reports (file, line, key, value, reason) for the values that do not.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "foundation/sini.h"

namespace tolvane {
namespace {

struct FitCase {
    sini_kind kind;
    const char* value;
    bool fits;
    const char* why;  // the reason when it does not fit
};

TEST(SiniKind, ValuesAgainstTheirKinds) {
    const sini_kind port{sini_type::integer, 0, 65535, nullptr};
    const sini_kind wait{sini_type::seconds, 1, 3600, nullptr};
    const sini_kind life{sini_type::hours, 0, 8760, nullptr};
    const sini_kind truth{sini_type::boolean, 0, 0, nullptr};
    const sini_kind bind{sini_type::choice, 0, 0, "pair|transceiver"};
    const sini_kind mode{sini_type::choice, 0, 0, "gsm|smpp|#|none"};
    const sini_kind exact{sini_type::exact, 0, 0, "text|pdu"};
    const sini_kind words{sini_type::list, 0, 0, nullptr};
    const sini_kind text{};
    const FitCase cases[] = {
        {port, "2775", true, ""},
        {port, "  2775 \r", true, ""},
        {port, "+80", true, ""},
        {port, "0", true, ""},
        {port, "65535", true, ""},
        {port, "", true, ""},
        {port, "   ", true, ""},
        {port, "65536", false, "is out of bounds: from 0 to 65535"},
        {port, "-1", false, "is out of bounds: from 0 to 65535"},
        {port, "abc", false, "is not a whole number"},
        {port, "27 75", false, "is not a whole number"},
        {port, "2775x", false, "is not a whole number"},
        {port, "-", false, "is not a whole number"},
        {port, "0x10", false, "is not a whole number"},
        {port, "99999999999999999999999", false, "is not a whole number"},
        {wait, "30", true, ""},
        {wait, "0", false, "is out of bounds: from 1 to 3600 seconds"},
        {wait, "30s", false, "is not a whole number of seconds"},
        {life, "8761", false, "is out of bounds: from 0 to 8760 hours"},
        {life, "1.5", false, "is not a whole number of hours"},
        {truth, "TRUE", true, ""},
        {truth, "yes", true, ""},
        {truth, "on", true, ""},
        {truth, "Off", true, ""},
        {truth, "n", true, ""},
        {truth, "1", false, "is neither true (true, yes, on) nor false (false, no, off)"},
        {truth, "ture", false, "is neither true (true, yes, on) nor false (false, no, off)"},
        {bind, "pair", true, ""},
        {bind, "Transceiver", true, ""},
        {bind, "transmitter", false, "is none of pair, transceiver"},
        {bind, "pai", false, "is none of pair, transceiver"},
        {bind, "pair|transceiver", false, "is none of pair, transceiver"},
        {mode, "smpp", true, ""},
        {mode, "12", true, ""},
        {mode, "-2", false, "is none of gsm, smpp, a number, none"},
        {mode, "2a", false, "is none of gsm, smpp, a number, none"},
        {exact, "pdu", true, ""},
        {exact, " text ", true, ""},
        {exact, "PDU", false, "is none of text, pdu"},
        {words, "127.0.0.1, ::1", true, ""},
        {text, "anything at all 123", true, ""},
    };
    const sini_table row{0, "key", SM_NONE, nullptr, -1, nullptr};
    for (const FitCase& c : cases) {
        SCOPED_TRACE(std::string("value (") + c.value + ") kind " +
                     std::to_string(static_cast<int>(c.kind.type)));
        sini_table key = row;
        key.Kind = c.kind;
        Status st = sini_value_fits(key, c.value);
        EXPECT_EQ(st.ok(), c.fits);
        EXPECT_EQ(st.reason(), c.why);
    }
}

enum Key : int { PORT = 0, FLAG, MODE, REPORT, NAME };

const sini_table kKeys[] = {
    {PORT, "port", SM_NONE, "25", -1, nullptr, {sini_type::integer, 1, 65535, nullptr}},
    {FLAG, "flag", SM_NONE, "false", -1, nullptr, {sini_type::boolean, 0, 0, nullptr}},
    {MODE, "mode", SM_NONE, "a", -1, nullptr, {sini_type::choice, 0, 0, "a|b"}},
    {REPORT, "report", SM_MULTI, nullptr, -1, "time=VALUE to=VALUE"},
    {NAME, "name", SM_NONE, nullptr, -1, nullptr},
    {-1, nullptr, SM_NONE, nullptr, -1, nullptr},
};

class SiniProblems : public ::testing::Test {
  protected:
    void SetUp() override {
        path_ = std::filesystem::temp_directory_path() /
                ("tv_sini_kind_" + std::to_string(::getpid()) + ".ini");
    }
    void TearDown() override { std::filesystem::remove(path_); }
    std::vector<std::string> load(const std::string& text) {
        std::ofstream(path_) << text;
        auto ini = sini_init(kKeys);
        EXPECT_EQ(sini_load(ini.get(), path_.string(), nullptr), 1);
        return sini_problems(ini.get());
    }
    std::string at(int line) const { return path_.string() + " line " + std::to_string(line); }
    std::filesystem::path path_;
};

TEST_F(SiniProblems, FittingFileHasNone) {
    EXPECT_TRUE(load("port 2525\nflag yes\nmode B\nreport time=\"7:00\" to=\"x\"\n"
                     "name whatever 12\n# port nonsense\n")
                    .empty());
}

TEST_F(SiniProblems, EachBadValueNamesFileLineKeyAndValue) {
    std::vector<std::string> got = load(
        "# settings\n"
        "port 70000\n"
        "\n"
        "flag maybe\n"
        "name is text 0x\n"
        "mode c\n"
        "domain other\n"
        "port twenty\n");
    std::vector<std::string> want = {
        at(2) + ": port (70000) is out of bounds: from 1 to 65535",
        at(4) + ": flag (maybe) is neither true (true, yes, on) nor false (false, no, off)",
        at(6) + ": mode (c) is none of a, b",
        at(8) + ": port (twenty) is not a whole number",
    };
    EXPECT_EQ(got, want);
}

TEST_F(SiniProblems, LineNumbersCountLongLinesOnce) {
    // A line longer than the reader's piece is read in several pieces; it is still one
    // line of the file.
    std::string longline = "name " + std::string(2500, 'x') + "\n";
    std::vector<std::string> got = load(longline + longline + "port -5\n");
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], at(3) + ": port (-5) is out of bounds: from 1 to 65535");
}

TEST_F(SiniProblems, ALaterGoodValueDoesNotHideAnEarlierBadOne) {
    std::vector<std::string> got = load("port abc\nport 25\n");
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], at(1) + ": port (abc) is not a whole number");
}

TEST_F(SiniProblems, LongBadValueIsCutInTheMessage) {
    std::vector<std::string> got = load("port " + std::string(300, '9') + "\n");
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], at(1) + ": port (" + std::string(80, '9') + ") is not a whole number");
}

TEST_F(SiniProblems, TypedReadsTakeTheCheckedValue) {
    std::ofstream(path_) << "port  2525 \nflag On \nmode  B\nname  keep  blanks \n";
    auto ini = sini_init(kKeys);
    ASSERT_EQ(sini_load(ini.get(), path_.string(), nullptr), 1);
    ASSERT_TRUE(sini_problems(ini.get()).empty());
    EXPECT_EQ(sini_number(ini.get(), PORT, -1), 2525);
    EXPECT_TRUE(sini_truth(ini.get(), FLAG));
    EXPECT_EQ(sini_word(ini.get(), MODE), "B");
    // Texts are kept as written, apart from the one blank after the key.
    EXPECT_EQ(sini_text(ini.get(), NAME), " keep  blanks ");
}

TEST_F(SiniProblems, TypedReadsOfUnsetKeysFallBack) {
    std::ofstream(path_) << "# nothing set\n";
    auto ini = sini_init(kKeys);
    ASSERT_EQ(sini_load(ini.get(), path_.string(), nullptr), 1);
    EXPECT_EQ(sini_number(ini.get(), PORT, -1), 25);  // the key's default
    EXPECT_FALSE(sini_truth(ini.get(), FLAG));        // default "false"
    EXPECT_EQ(sini_word(ini.get(), MODE), "a");
    EXPECT_EQ(sini_text(ini.get(), NAME), "");
    EXPECT_EQ(sini_word(ini.get(), NAME), "");
    // A value the program set that is no number gives the caller's fallback.
    ASSERT_EQ(sini_set(ini.get(), PORT, nullptr, "x25"), 1);
    EXPECT_EQ(sini_number(ini.get(), PORT, -1), -1);
    ASSERT_EQ(sini_set(ini.get(), PORT, nullptr, "   "), 1);
    EXPECT_EQ(sini_number(ini.get(), PORT, 7), 7);
    EXPECT_EQ(sini_number(nullptr, PORT, 9), 9);
}

TEST(SiniProblemsNoTable, NullGivesNone) {
    EXPECT_TRUE(sini_problems(nullptr).empty());
}

}  // namespace
}  // namespace tolvane
