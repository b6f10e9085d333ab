// The message log on real files in a private directory.
#include "records/msglog.h"
#include "support/status_check.h"
#include "support/temp_files.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using namespace tolvane;

using tolvane::test_support::slurp;
using tolvane::test_support::spit;

namespace {

std::atomic<std::time_t> g_now{0};
std::time_t fake_now() {
    return g_now.load();
}

std::vector<std::string> lines_of(const std::string& data) {
    std::vector<std::string> out;
    std::istringstream in(data);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

class MsglogTest : public ::testing::Test {
  protected:
    MessageLog msglog;
    fs::path dir;
    std::string path;

    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "msglog_XXXXXX").string();
        dir = ::mkdtemp(tmpl.data());
        path = (dir / "msglog.dat").string();
        g_now = 1700000000;
        msglog.set_clock(fake_now);
    }
    void TearDown() override {
        msglog.clear();
        msglog.set_clock(nullptr);
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    std::string lookup(const char* phone, int n, int* count = nullptr) {
        std::string email = "stale";
        int c = msglog.lookup(phone, n, email);
        if (count) *count = c;
        return email;
    }
};

TEST_F(MsglogTest, MissingFileGivesAnEmptyLogAndSaveWritesOne) {
    ASSERT_TRUE(succeeded(msglog.load(path, '|')));
    EXPECT_EQ(msglog.size(), 0);
    int n = -1;
    EXPECT_EQ(lookup("+6140", 0, &n), "");
    EXPECT_EQ(n, 0);
    ASSERT_TRUE(succeeded(msglog.save(path)));
    EXPECT_TRUE(fs::exists(path));
    EXPECT_EQ(slurp(path), "");
}

TEST_F(MsglogTest, SaveWithoutALogWritesNothing) {
    EXPECT_TRUE(succeeded(msglog.save(path)));
    EXPECT_FALSE(fs::exists(path));
}

TEST_F(MsglogTest, StoreInOtherCaseKeepsOneEntryButAppendsTwoLines) {
    ASSERT_TRUE(succeeded(msglog.load(path, '|')));
    ASSERT_EQ(msglog.store("+61400111", "Ann@Example.com"), 1);
    g_now += 60;
    ASSERT_EQ(msglog.store("+61400111", "ann@EXAMPLE.com"), 1);
    int n = 0;
    EXPECT_EQ(lookup("+61400111", 0, &n), "Ann@Example.com");
    EXPECT_EQ(n, 1);
    EXPECT_EQ(slurp(path),
              "+61400111|Ann@Example.com|1700000000\n+61400111|ann@EXAMPLE.com|1700000060\n");
    ASSERT_TRUE(succeeded(msglog.save(path)));
    EXPECT_EQ(slurp(path), "+61400111|Ann@Example.com|1700000060\n");
    EXPECT_FALSE(fs::exists(path + ".tmp"));
}

// Stores append through a descriptor kept between them; whatever became of the file in
// between, the next line goes to the file that now bears the name, never to the old one.
TEST_F(MsglogTest, AStoreAfterTheFileWasRewrittenRemovedOrMovedGoesToTheNamedFile) {
    struct Case {
        const char* what;
        std::function<void()> change;
        const char* before;  // what the named file holds before the second store
    } cases[] = {
        {"saved", [&] { ASSERT_TRUE(succeeded(msglog.save(path))); }, "+6140|a@x|1700000000\n"},
        {"removed", [&] { fs::remove(path); }, ""},
        {"moved away", [&] { fs::rename(path, path + ".old"); }, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove(path);
        ASSERT_TRUE(succeeded(msglog.load(path, '|')));
        ASSERT_EQ(msglog.store("+6140", "a@x"), 1);
        c.change();
        ASSERT_EQ(msglog.store("+6141", "b@x"), 1);
        EXPECT_EQ(slurp(path), std::string(c.before) + "+6141|b@x|1700000000\n");
    }
}

TEST_F(MsglogTest, LookupFollowsOrderOfAdditionLatestFollowsTime) {
    ASSERT_TRUE(succeeded(msglog.load(path, '|')));
    msglog.store("+6140", "first@x");
    g_now += 10;
    msglog.store("+6140", "second@x");
    int n = 0;
    EXPECT_EQ(lookup("+6140", 0, &n), "first@x");
    EXPECT_EQ(n, 2);
    EXPECT_EQ(lookup("+6140", 1), "second@x");
    EXPECT_EQ(lookup("+6140", 2, &n), "") << "past the end empties the address";
    EXPECT_EQ(n, 2);
    std::string latest;
    ASSERT_EQ(msglog.latest("+6140", latest), 1);
    EXPECT_EQ(latest, "second@x");
    g_now += 10;
    msglog.store("+6140", "FIRST@x");
    ASSERT_EQ(msglog.latest("+6140", latest), 1);
    EXPECT_EQ(latest, "first@x");
    EXPECT_EQ(lookup("+6140", 0), "first@x") << "a newer time does not reorder";
    EXPECT_EQ(msglog.latest("+6199", latest), 0);
}

TEST_F(MsglogTest, LatestTieGoesToTheEarlierEntry) {
    spit(path, "p|b@x|500\np|a@x|500\np|c@x|499\n");
    ASSERT_TRUE(succeeded(msglog.load(path, '|')));
    std::string latest;
    ASSERT_EQ(msglog.latest("p", latest), 1);
    EXPECT_EQ(latest, "b@x");
}

TEST_F(MsglogTest, PhonesCompareWithExactCase) {
    ASSERT_TRUE(succeeded(msglog.load(path, '|')));
    msglog.store("abc", "a@x");
    int n = 0;
    EXPECT_EQ(lookup("ABC", 0, &n), "");
    EXPECT_EQ(n, 0);
}

TEST_F(MsglogTest, NullArgumentsAreRefused) {
    ASSERT_TRUE(succeeded(msglog.load(path, '|')));
    std::string email = "stale";
    EXPECT_EQ(msglog.lookup(nullptr, 0, email), 0);
    EXPECT_EQ(msglog.latest(nullptr, email), 0);
    EXPECT_EQ(msglog.store(nullptr, "a@x"), 0);
    EXPECT_EQ(msglog.store("p", nullptr), 0);
    EXPECT_EQ(msglog.size(), 0);
}

TEST_F(MsglogTest, LoadSkipsDamagedLinesAndTheLastLineOfAPairWins) {
    spit(path, std::string("+1|a@x|100\n"
                           "+2|only-two\n"
                           "+3|b@x|soon\n"
                           "+4|c\x01@x|5\n"
                           "\n"
                           "+1|A@X|300\r\n"
                           "+5|d@x|7\n"
                           "+6|cut@x|12"));
    ASSERT_TRUE(succeeded(msglog.load(path, '|')));
    EXPECT_EQ(msglog.size(), 3) << "a whole last line counts even without its line end";
    int n = 0;
    EXPECT_EQ(lookup("+1", 0, &n), "a@x");
    EXPECT_EQ(n, 1);
    EXPECT_EQ(lookup("+2", 0, &n), "");
    EXPECT_EQ(n, 0);
    EXPECT_EQ(lookup("+3", 0), "");
    EXPECT_EQ(lookup("+4", 0), "");
    EXPECT_EQ(lookup("+5", 0), "d@x");
    EXPECT_EQ(lookup("+6", 0), "cut@x");
    // The last line was ended in the file, so the next append starts a line of its own.
    msglog.store("+7", "e@x");
    std::vector<std::string> lines = lines_of(slurp(path));
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "+6|cut@x|12");
    EXPECT_EQ(lines.back(), "+7|e@x|1700000000");
    msglog.clear();
    ASSERT_TRUE(succeeded(msglog.load(path, '|')));
    EXPECT_EQ(lookup("+7", 0), "e@x");
    EXPECT_EQ(lookup("+6", 0), "cut@x");
    ASSERT_TRUE(succeeded(msglog.save(path)));
    EXPECT_NE(slurp(path).find("+1|a@x|300\n"), std::string::npos);
}

TEST_F(MsglogTest, LastLineWithoutLineEndIsAnEntryAndStaysInTheFile) {
    spit(path, "+1|a@x|100\n+2|b@x|200");
    ASSERT_TRUE(succeeded(msglog.load(path, '|')));
    EXPECT_EQ(msglog.size(), 2);
    EXPECT_EQ(lookup("+2", 0), "b@x");
    EXPECT_EQ(slurp(path), "+1|a@x|100\n+2|b@x|200\n");
    // Loading again (as the next start does) still finds it: nothing was cut.
    msglog.clear();
    ASSERT_TRUE(succeeded(msglog.load(path, '|')));
    EXPECT_EQ(lookup("+2", 0), "b@x");
    ASSERT_TRUE(succeeded(msglog.save(path)));
    msglog.clear();
    ASSERT_TRUE(succeeded(msglog.load(path, '|')));
    EXPECT_EQ(lookup("+2", 0), "b@x") << "a save keeps it too";
}

TEST_F(MsglogTest, UnfinishedLastLineThatIsNoEntryIsCut) {
    struct Case {
        const char* tail;
    };
    const Case cases[] = {{"+2|b@"}, {"+2|b@x|2O0"}, {"+2"}, {"+2|b\x01@x|5"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tail);
        spit(path, std::string("+1|a@x|100\n") + c.tail);
        ASSERT_TRUE(succeeded(msglog.load(path, '|')));
        EXPECT_EQ(msglog.size(), 1);
        EXPECT_EQ(slurp(path), "+1|a@x|100\n");
        msglog.clear();
    }
}

TEST_F(MsglogTest, TabDelimiterAndRunsOfDelimiters) {
    spit(path, "+1\t\ta@x\t100\n\t+2\tb@x\t200\n");
    ASSERT_TRUE(succeeded(msglog.load(path, '\t')));
    EXPECT_EQ(lookup("+1", 0), "a@x");
    EXPECT_EQ(lookup("+2", 0), "b@x");
    msglog.store("+3", "c@x");
    EXPECT_EQ(lines_of(slurp(path)).back(), "+3\tc@x\t1700000000");
}

TEST_F(MsglogTest, LoadingAgainEmptiesTheLog) {
    spit(path, "+1|a@x|100\n");
    ASSERT_TRUE(succeeded(msglog.load(path, '|')));
    msglog.store("+9", "z@x");
    spit(path, "+2|b@x|100\n");
    ASSERT_TRUE(succeeded(msglog.load(path, '|')));
    EXPECT_EQ(msglog.size(), 1);
    EXPECT_EQ(lookup("+9", 0), "");
    EXPECT_EQ(lookup("+2", 0), "b@x");
}

TEST_F(MsglogTest, UnreadableFileFailsWithTheSystemError) {
    fs::create_directory(path);
    Status loaded = msglog.load(path, '|');
    ASSERT_FALSE(loaded);
    EXPECT_EQ(loaded.error().code, EISDIR);
    EXPECT_EQ(loaded.reason(), "Is a directory");
}

TEST_F(MsglogTest, FailedSaveKeepsTheOldFile) {
    spit(path, "+1|a@x|100\n");
    ASSERT_TRUE(succeeded(msglog.load(path, '|')));
    msglog.store("+2", "b@x");
    std::string before = slurp(path);
    Status saved = msglog.save((dir / "missing" / "msglog.dat").string());
    ASSERT_FALSE(saved);
    EXPECT_EQ(saved.error().code, ENOENT);
    EXPECT_EQ(saved.reason(), "No such file or directory");
    EXPECT_EQ(slurp(path), before);
}

TEST_F(MsglogTest, StoreStillSucceedsWhenTheFileCannotBeAppended) {
    std::string inner = (dir / "sub").string();
    fs::create_directory(inner);
    ASSERT_TRUE(succeeded(msglog.load(inner + "/msglog.dat", '|')));
    fs::remove_all(inner);
    EXPECT_EQ(msglog.store("+1", "a@x"), 1);
    EXPECT_EQ(lookup("+1", 0), "a@x");
}

// An address holding the delimiter, a line end or a backslash is written escaped and
// read back as it was, by the append and by a whole save alike.
TEST_F(MsglogTest, AddressesHoldingTheDelimiterOrLineEndsReadBack) {
    const struct {
        char delim;
        const char* email;
        const char* line;
    } rows[] = {
        {'|', "\"odd|one\"@x", "+1|\"odd\\|one\"@x|1700000000\n"},
        {'|', "a\r\n+2|forged@x", "+1|a\\r\\n+2\\|forged@x|1700000000\n"},
        {'\t', "tab\there@x", "+1\ttab\\there@x\t1700000000\n"},
        {'|', "back\\slash@x", "+1|back\\\\slash@x|1700000000\n"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.email);
        fs::remove(path);
        ASSERT_TRUE(succeeded(msglog.load(path, r.delim)));
        EXPECT_EQ(msglog.store("+1", r.email), 1);
        EXPECT_EQ(slurp(path), r.line);
        ASSERT_TRUE(succeeded(msglog.load(path, r.delim)));
        EXPECT_EQ(lookup("+1", 0), r.email);
        ASSERT_TRUE(succeeded(msglog.save(path)));
        EXPECT_EQ(slurp(path), r.line);
    }
}

// The table grows far past its first bucket count; every entry stays reachable and a
// save writes each exactly once.
TEST_F(MsglogTest, GrowsFarPastItsBucketsAndSavesEachEntryOnce) {
    ASSERT_TRUE(succeeded(msglog.load(path, '|')));
    constexpr int kPhones = 8000;
    for (int i = 0; i < kPhones; ++i) {
        std::string p = "+49" + std::to_string(i);
        msglog.store(p.c_str(), "a@x");
        if (i % 4 == 0) msglog.store(p.c_str(), "b@x");
    }
    EXPECT_EQ(msglog.size(), kPhones + kPhones / 4);
    EXPECT_EQ(lookup("+497996", 1), "b@x");
    ASSERT_TRUE(succeeded(msglog.save(path)));
    auto lines = lines_of(slurp(path));
    EXPECT_EQ(lines.size(), static_cast<std::size_t>(kPhones + kPhones / 4));
    EXPECT_EQ(std::set<std::string>(lines.begin(), lines.end()).size(), lines.size());
    msglog.clear();
    ASSERT_TRUE(succeeded(msglog.load(path, '|')));
    EXPECT_EQ(msglog.size(), kPhones + kPhones / 4);
    int n = 0;
    EXPECT_EQ(lookup("+494", 0, &n), "a@x");
    EXPECT_EQ(lookup("+494", 1), "b@x") << "a save keeps each phone's order";
    EXPECT_EQ(n, 2);
}

// Stores from mail-side threads while SMS-side threads look up: every line appended is
// whole and the table ends with exactly the pairs stored.
TEST_F(MsglogTest, ConcurrentStoresAndLookupsKeepLinesWhole) {
    ASSERT_TRUE(succeeded(msglog.load(path, '|')));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([this, t] {
            for (int i = 0; i < 300; ++i) {
                std::string p = "+61" + std::to_string(i % 50);
                std::string e = "w" + std::to_string(t) + "@x";
                msglog.store(p.c_str(), e.c_str());
            }
        });
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([this] {
            std::string email;
            for (int i = 0; i < 300; ++i) {
                std::string p = "+61" + std::to_string(i % 50);
                int n = msglog.lookup(p.c_str(), 0, email);
                ASSERT_LE(n, 4);
                if (n > 0) {
                    ASSERT_EQ(email.size(), 4u) << email;
                }
                msglog.latest(p.c_str(), email);
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(msglog.size(), 50 * 4);
    auto lines = lines_of(slurp(path));
    EXPECT_EQ(lines.size(), 4u * 300);
    std::regex whole("\\+61[0-9]+\\|w[0-3]@x\\|1700000000");
    for (const auto& l : lines) ASSERT_TRUE(std::regex_match(l, whole)) << l;
}

}  // namespace
