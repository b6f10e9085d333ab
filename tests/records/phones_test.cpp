// The phone number pool on real files in a private directory.
#include "records/phones.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;
using namespace tolvane;

namespace {

std::atomic<std::time_t> g_now{0};
std::time_t fake_now() {
    return g_now.load();
}

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void spit(const fs::path& path, const std::string& data) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

class PhonesTest : public ::testing::Test {
  protected:
    PhonePool pool;
    fs::path dir;
    std::string work;

    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "phones_XXXXXX").string();
        dir = ::mkdtemp(tmpl.data());
        work = dir.string();
        g_now = 1700000000;
        pool.set_clock(fake_now);
    }
    void TearDown() override {
        pool.clear();
        pool.set_clock(nullptr);
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
};

TEST_F(PhonesTest, LowestFreeNumberFirstAndReuseAfterADay) {
    pool.init(work, nullptr, nullptr, 1000, 1099);
    auto first = pool.isfree();
    ASSERT_TRUE(first);
    EXPECT_EQ(*first, "1000");
    ASSERT_EQ(pool.out(first->c_str(), "ann@x"), 1);
    ASSERT_EQ(pool.out("1000", "ann@x"), 1);
    EXPECT_EQ(pool.in("1000").value_or(""), "ann@x");
    auto second = pool.isfree();
    ASSERT_TRUE(second);
    EXPECT_EQ(*second, "1001");
    pool.out("1001", "bob@x");
    g_now += 86400;
    EXPECT_EQ(pool.isfree().value_or(""), "1002") << "a day to the second is not yet idle";
    g_now += 1;
    EXPECT_EQ(pool.isfree().value_or(""), "1000");
    auto e = pool.get("1000");
    ASSERT_TRUE(e);
    EXPECT_FALSE(e->email);
    EXPECT_EQ(e->out, 0);
    EXPECT_EQ(e->in, 0);
    EXPECT_EQ(e->last, g_now.load());
    ASSERT_EQ(pool.out("1000", "carol@x"), 1);
    EXPECT_EQ(pool.in("1000").value_or(""), "carol@x");
}

TEST_F(PhonesTest, PoolFileLivesUnderTheLastFourDigits) {
    pool.init(work, nullptr, nullptr, 5000, 6000);
    EXPECT_EQ(pool.file("5001", false), work + "/50/01/5001.dat");
    EXPECT_FALSE(fs::exists(dir / "50"));
    ASSERT_EQ(pool.out("5001", "ann@example.com"), 1);
    EXPECT_EQ(slurp(dir / "50/01/5001.dat"), "ann@example.com|0|1|1700000000|\n");
    g_now += 5;
    ASSERT_EQ(pool.out("5001", "ann@example.com"), 1);
    EXPECT_EQ(slurp(dir / "50/01/5001.dat"), "ann@example.com|0|2|1700000005|\n");
    g_now += 5;
    EXPECT_EQ(pool.in("5001").value_or(""), "ann@example.com");
    EXPECT_EQ(slurp(dir / "50/01/5001.dat"), "ann@example.com|1|2|1700000010|\n");
    EXPECT_FALSE(fs::exists(dir / "50/01/5001.dat.tmp"));
}

TEST_F(PhonesTest, ShortNumbersArePaddedWithBlanksForTheirDirectories) {
    pool.init(work, nullptr, nullptr, 0, 100);
    EXPECT_EQ(pool.file("7", false), work + "/  / 7/7.dat");
    EXPECT_EQ(pool.file("123", false), work + "/ 1/23/123.dat");
    ASSERT_EQ(pool.out("7", "a@x"), 1);
    EXPECT_TRUE(fs::exists(dir / "  " / " 7" / "7.dat"));
}

TEST_F(PhonesTest, CountryAndServicePrefixes) {
    pool.init(work, "+61", "0400", 0, 1000);
    EXPECT_EQ(pool.isfree().value_or(""), "+614000");
    ASSERT_EQ(pool.out("+614007", "ann@x"), 1);
    EXPECT_EQ(pool.in("+614007").value_or(""), "ann@x");
    EXPECT_TRUE(fs::exists(dir / "40" / "07" / "+614007.dat"));
    EXPECT_EQ(pool.in("614007"), std::nullopt) << "without the + it is another number";
    // Without the prefixes the number is read as the bare value.
    EXPECT_EQ(pool.in("7").value_or(""), "ann@x");
    EXPECT_EQ(pool.out("+61400", "x@x"), 0) << "nothing left after the prefixes";
}

TEST_F(PhonesTest, CountryWithoutPlusSkipsTheNumbersPlus) {
    pool.init(work, "61", "", 0, 100);
    ASSERT_EQ(pool.out("+617", "ann@x"), 1);
    EXPECT_EQ(pool.in("617").value_or(""), "ann@x");
    EXPECT_EQ(pool.get("617")->number, "617");
}

TEST_F(PhonesTest, MinAboveMaxIsTheSameRange) {
    pool.init(work, nullptr, nullptr, 1099, 1000);
    EXPECT_EQ(pool.isfree().value_or(""), "1000");
    EXPECT_EQ(pool.out("1098", "a@x"), 1);
    EXPECT_EQ(pool.out("999", "a@x"), 0);
    EXPECT_EQ(pool.out("1099", "a@x"), 0) << "the larger bound is where the range ends";
}

TEST_F(PhonesTest, NumbersOutsideTheRangeOrNotNumbersAreRefused) {
    pool.init(work, nullptr, nullptr, 0, 10);
    ASSERT_EQ(pool.out("0", "ann@x"), 1);
    EXPECT_EQ(pool.in("Vodafone"), std::nullopt) << "a text sender must not reach value 0";
    EXPECT_EQ(pool.in("0x"), std::nullopt);
    EXPECT_EQ(pool.in("-1"), std::nullopt);
    EXPECT_EQ(pool.in("10"), std::nullopt);
    EXPECT_EQ(pool.in("99999999999999999999999"), std::nullopt);
    EXPECT_EQ(pool.out(nullptr, "a@x"), 0);
    EXPECT_EQ(pool.out("1", nullptr), 0);
    EXPECT_EQ(pool.in(nullptr), std::nullopt);
    EXPECT_EQ(pool.in("5"), std::nullopt) << "an unused number has no address";
}

TEST_F(PhonesTest, EmptyRangeFindsNothing) {
    pool.init(work, nullptr, nullptr, 0, 0);
    EXPECT_EQ(pool.isfree(), std::nullopt);
    EXPECT_EQ(pool.out("0", "a@x"), 0);
    EXPECT_EQ(pool.in("0"), std::nullopt);
}

TEST_F(PhonesTest, AnotherAddressRebindsWithFreshCounts) {
    pool.init(work, nullptr, nullptr, 100, 200);
    pool.out("150", "ann@x");
    pool.out("150", "ann@x");
    pool.in("150");
    ASSERT_EQ(pool.out("150", "ANN@x"), 1) << "the address is compared exactly";
    auto e = pool.get("150");
    ASSERT_TRUE(e);
    EXPECT_EQ(*e->email, "ANN@x");
    EXPECT_EQ(e->out, 1);
    EXPECT_EQ(e->in, 0);
}

TEST_F(PhonesTest, FullRangeHasNoFreeNumber) {
    pool.init(work, nullptr, nullptr, 10, 12);
    EXPECT_EQ(pool.isfree().value_or(""), "10");
    EXPECT_EQ(pool.isfree().value_or(""), "11") << "a reserved number is in use";
    EXPECT_EQ(pool.isfree(), std::nullopt);
}

TEST_F(PhonesTest, ReloadFindsTheSameEntriesAndOnlyThose) {
    pool.init(work, "+61", "0400", 5000, 15000);
    pool.out("+6140012345", "ann@x");
    pool.out("+6140012345", "ann@x");
    g_now += 7;
    pool.out("+614005000", "odd|addr@x");
    pool.in("+614005000");
    pool.clear();
    // Files a per-number scan would never open, and damaged ones.
    spit(dir / "99" / "99" / "+6140099999.dat", "out@x|0|1|5|\n");    // outside the range
    spit(dir / "12" / "34" / "+6140012346.dat", "wrong@x|0|1|5|\n");  // wrong directory
    spit(dir / "60" / "00" / "6000.dat", "bare@x|0|1|5|\n");          // missing prefixes
    spit(dir / "60" / "01" / "+614006001.dat", "bad@x|zero|1|5|\n");
    spit(dir / "60" / "02" / "+614006002.dat", "too|few|\n");
    spit(dir / "60" / "03" / "+614006003.dat", std::string("bin\x02@x|0|1|5|\n"));
    spit(dir / "60" / "04" / "+614006004.dat", "");
    spit(dir / "60" / "05" / "+614006005.dat", "|0|1|5|\n");
    spit(dir / "ab" / "cd" / "notes.txt", "hello");
    spit(dir / "abc" / "60" / "+614006006.dat", "deep@x|0|1|5|\n");
    EXPECT_EQ(pool.init(work, "+61", "0400", 5000, 15000), 2);
    auto a = pool.get("+6140012345");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->email.value_or(""), "ann@x");
    EXPECT_EQ(a->out, 2);
    EXPECT_EQ(a->in, 0);
    EXPECT_EQ(a->last, 1700000000);
    auto b = pool.get("+614005000");
    ASSERT_TRUE(b);
    EXPECT_EQ(b->email.value_or(""), "odd|addr@x");
    EXPECT_EQ(b->in, 1);
    EXPECT_EQ(b->out, 1);
    EXPECT_EQ(b->last, 1700000007);
    EXPECT_EQ(pool.count(), 2);
    EXPECT_EQ(pool.in("+6140012346"), std::nullopt);
    EXPECT_EQ(pool.isfree().value_or(""), "+614005001");
    // Digits after the prefixes are read as a number, so a padded form finds the same entry.
    EXPECT_EQ(pool.in("+6140005000").value_or(""), "odd|addr@x");
}

TEST_F(PhonesTest, UnwritableFileDoesNotChangeTheResult) {
    pool.init((dir / "gone").string(), nullptr, nullptr, 5000, 6000);
    EXPECT_EQ(pool.out("5001", "a@x"), 1);
    EXPECT_EQ(pool.in("5001").value_or(""), "a@x");
}

}  // namespace
