// Alias and delivery tables loaded from real files in a private directory.
#include "records/alias.h"
#include "support/status_check.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using namespace tolvane;

namespace {

class AliasTest : public ::testing::Test {
  protected:
    fs::path dir;
    std::unique_ptr<aliases> table = alias_new();

    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "alias_XXXXXX").string();
        dir = ::mkdtemp(tmpl.data());
    }
    void TearDown() override {
        alias_free(table);
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    std::string write(const std::string& name, const std::string& data) {
        fs::path p = dir / name;
        std::ofstream(p, std::ios::binary | std::ios::trunc) << data;
        return p.string();
    }
    std::string find(std::string_view phone) {
        std::string email;
        return alias_find(table.get(), phone, email) ? email : "<none>";
    }
};

TEST_F(AliasTest, NationalNumbersAreStoredInInternationalForm) {
    std::string p = write("d.txt", "0412345678 ann@example.com\n+61499000111 bob@example.com\n");
    ASSERT_TRUE(succeeded(alias_load(table.get(), p, "+61", " ", "phone,email")));
    EXPECT_EQ(find("+61412345678"), "ann@example.com");
    EXPECT_EQ(find("0412345678"), "<none>") << "only the fixed form is stored";
    EXPECT_EQ(find("+61499000111"), "bob@example.com");
    EXPECT_EQ(alias_count(table.get()), 2u);
}

TEST_F(AliasTest, WithoutCountryTheLeadingZeroIsDropped) {
    std::string p = write("d.txt", "0412 ann@x\n");
    ASSERT_TRUE(succeeded(alias_load(table.get(), p, nullptr, " ", nullptr)));
    EXPECT_EQ(find("412"), "ann@x");
}

TEST_F(AliasTest, OrderAndDelimiterChooseTheFields) {
    std::string p = write("a.csv", "ann@example.com,0412000001\r\nbob@example.com,0412000002\r\n");
    ASSERT_TRUE(succeeded(alias_load(table.get(), p, "+61", ",", "email,phone")));
    EXPECT_EQ(find("+61412000001"), "ann@example.com") << "CR LF line ends are not part of fields";
    EXPECT_EQ(find("+61412000002"), "bob@example.com");

    // A longer order list: the positions are the places of the two words; unknown words
    // only hold a place.
    std::string q = write("b.txt", "Ann Smith*0412000003*ann@x*note\n");
    ASSERT_TRUE(succeeded(alias_load(table.get(), q, "+61", "*", "name, phone, email, extra")));
    EXPECT_EQ(find("+61412000003"), "ann@x");
    EXPECT_EQ(find("+61412000001"), "<none>") << "a load replaces the previous entries";
}

TEST_F(AliasTest, TabDelimiterWordInAnyCase) {
    EXPECT_EQ(alias_delimiter("TAB", '*'), '\t');
    EXPECT_EQ(alias_delimiter("tab", '*'), '\t');
    EXPECT_EQ(alias_delimiter("|x", '*'), '|');
    EXPECT_EQ(alias_delimiter("", '*'), '*');
    EXPECT_EQ(alias_delimiter(nullptr, ' '), ' ');
    std::string p = write("t.txt", "0412\tann@x\n0413 bob@x\n");
    ASSERT_TRUE(succeeded(alias_load(table.get(), p, "+61", "Tab", nullptr)));
    EXPECT_EQ(find("+61412"), "ann@x");
    EXPECT_EQ(find("+61413"), "<none>") << "a blank is not the delimiter here";
    EXPECT_EQ(alias_count(table.get()), 1u);
}

TEST_F(AliasTest, BadLinesAreSkippedAndTheRestLoaded) {
    std::string longline = "0499 " + std::string(1200, 'x') + "@example.com";
    std::string p = write("d.txt",
                          "\n"
                          "onlyonefield\n"
                          "# 0400 comment@x\n" +
                              longline +
                              "\n"
                              "   0412   ann@x   \n"
                              "0413 bob@x"  // no final line end
    );
    ASSERT_TRUE(succeeded(alias_load(table.get(), p, "+61", " ", nullptr)));
    EXPECT_EQ(find("+61412"), "ann@x") << "runs of the delimiter count as one";
    EXPECT_EQ(find("+61413"), "bob@x");
    EXPECT_EQ(find("onlyonefield"), "<none>");
    EXPECT_EQ(find("+61400"), "<none>") << "comment lines are not entries";
    EXPECT_EQ(find("+61499"), "<none>") << "an over-long line is skipped whole";
    EXPECT_EQ(alias_count(table.get()), 2u);
}

TEST_F(AliasTest, LineOfExactlyTheLimitIsKept) {
    std::string addr = std::string(999 - 5 - 10, 'a') + "@ex.com.au";  // 984 + 10
    std::string line = "0412 " + addr;
    ASSERT_EQ(line.size(), 999u);
    std::string p = write("d.txt", line + "\n");
    ASSERT_TRUE(succeeded(alias_load(table.get(), p, "+61", " ", nullptr)));
    EXPECT_EQ(find("+61412"), addr);
}

TEST_F(AliasTest, PositionBeyondTheFieldsSkipsTheLine) {
    std::string p = write("d.txt", "0412 ann@x\n0413 x bob@x\n");
    ASSERT_TRUE(succeeded(alias_load(table.get(), p, "+61", " ", "phone,name,email")));
    EXPECT_EQ(find("+61412"), "<none>");
    EXPECT_EQ(find("+61413"), "bob@x");
}

TEST_F(AliasTest, FirstOfTwoLinesForOneNumberWins) {
    std::string p = write("d.txt", "0412 first@x\n+61412 second@x\n0412 third@x\n");
    ASSERT_TRUE(succeeded(alias_load(table.get(), p, "+61", " ", nullptr)));
    EXPECT_EQ(find("+61412"), "first@x");
    EXPECT_EQ(alias_count(table.get()), 3u) << "every entry is kept";
}

TEST_F(AliasTest, MissingFileFailsAndKeepsTheTable) {
    std::string p = write("d.txt", "0412 ann@x\n");
    ASSERT_TRUE(succeeded(alias_load(table.get(), p, "+61", " ", nullptr)));
    std::string missing = (dir / "nope.txt").string();
    Status loaded = alias_load(table.get(), missing, "+61", " ", nullptr);
    ASSERT_FALSE(loaded);
    EXPECT_EQ(loaded.error().code, ENOENT);
    EXPECT_EQ(loaded.reason(), "Failed to open (" + missing + "), No such file or directory");
    EXPECT_EQ(find("+61412"), "ann@x");
}

TEST_F(AliasTest, DirectoryIsAReadFailure) {
    Status loaded = alias_load(table.get(), dir.string(), "+61", " ", nullptr);
    ASSERT_FALSE(loaded);
    EXPECT_EQ(loaded.error().code, EISDIR);
    EXPECT_EQ(loaded.reason(), "Failed to open (" + dir.string() + "), Is a directory");
}

TEST_F(AliasTest, EmptyAndNeverLoadedTablesFindNothing) {
    std::string email = "stale";
    EXPECT_EQ(alias_find(table.get(), "+61412", email), 0);
    EXPECT_EQ(email, "");
    EXPECT_EQ(alias_find(nullptr, "+61412", email), 0);
    EXPECT_EQ(alias_count(nullptr), 0u);
    std::string p = write("d.txt", "");
    ASSERT_TRUE(succeeded(alias_load(table.get(), p, "+61", " ", nullptr)));
    EXPECT_EQ(alias_count(table.get()), 0u);
    Status no_table = alias_load(nullptr, p, "+61", " ", nullptr);
    ASSERT_FALSE(no_table);
    EXPECT_EQ(no_table.reason(), "no table");
}

TEST_F(AliasTest, PhonesCompareExactly) {
    std::string p = write("d.txt", "AbC ann@x\n");
    ASSERT_TRUE(succeeded(alias_load(table.get(), p, "+61", " ", nullptr)));
    EXPECT_EQ(find("AbC"), "ann@x");
    EXPECT_EQ(find("abc"), "<none>");
    EXPECT_EQ(find("AbC "), "<none>");
}

}  // namespace
