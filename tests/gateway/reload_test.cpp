// Reloading the alias and delivery tables: a good load replaces both, a failed one keeps
// what was in use, and a table handed out earlier stays valid after a replacement.
#include "gateway/reload.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>

#include "gateway/gateway.h"
#include "gateway/keys.h"
#include "support/status_check.h"

namespace tolvane {
namespace {

namespace fs = std::filesystem;

class AliasReload : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "tvreloadXXXXXX").string();
        dir = mkdtemp(tmpl.data());
        ini = sini_init(_settings);
        set("phone_country", "+61");
        set("delivery_file", ("file=\"" + (dir / "delivery.txt").string() + "\"").c_str());
        set("alias_file", ("file=\"" + (dir / "alias.txt").string() + "\"").c_str());
    }
    void TearDown() override {
        sini_free(ini);
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    void set(const char* key, const char* value) {
        ASSERT_EQ(sini_set_l(ini.get(), key, nullptr, value), 1) << key;
    }
    void write(const char* name, const std::string& text) { std::ofstream(dir / name) << text; }
    static std::string find(const std::shared_ptr<const aliases>& t, const char* phone) {
        std::string out;
        return alias_find(t.get(), phone, out) ? out : "-";
    }
    fs::path dir;
    std::unique_ptr<SIni> ini;
    AliasTables tables;
};

TEST_F(AliasReload, NothingLoadedGivesEmptyTables) {
    EXPECT_EQ(alias_count(tables.alias().get()), 0u);
    EXPECT_EQ(alias_count(tables.delivery().get()), 0u);
}

TEST_F(AliasReload, GoodLoadReplacesBothAndOldHandlesStayValid) {
    write("delivery.txt", "0412000001 ann@x\n");
    write("alias.txt", "0412000009*boss@x\n");
    ASSERT_TRUE(succeeded(tables.load(ini.get())));
    std::shared_ptr<const aliases> held = tables.delivery();
    EXPECT_EQ(find(held, "+61412000001"), "ann@x");

    write("delivery.txt", "0412000002 bob@x\n");
    ASSERT_TRUE(succeeded(tables.load(ini.get())));
    EXPECT_EQ(find(tables.delivery(), "+61412000001"), "-");
    EXPECT_EQ(find(tables.delivery(), "+61412000002"), "bob@x");
    // A message thread that took the table before the reload still reads it.
    EXPECT_EQ(find(held, "+61412000001"), "ann@x");
}

TEST_F(AliasReload, FailedLoadKeepsTheTablesInUseAndSaysWhy) {
    write("delivery.txt", "0412000001 ann@x\n");
    write("alias.txt", "0412000009*boss@x\n");
    ASSERT_TRUE(succeeded(tables.load(ini.get())));

    struct Case {
        const char* name;
        const char* broken;  // the file that cannot be read
        const char* other;   // the file that changed and must not be taken either
        const char* other_text;
        const char* other_restore;
    };
    const Case cases[] = {
        {"delivery file missing", "delivery.txt", "alias.txt", "0412000005*new@x\n",
         "0412000009*boss@x\n"},
        {"alias file missing", "alias.txt", "delivery.txt", "0412000005 new@x\n",
         "0412000001 ann@x\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::rename(dir / c.broken, dir / "aside");
        write(c.other, c.other_text);
        Status loaded = tables.load(ini.get());
        EXPECT_FALSE(loaded.ok());
        EXPECT_EQ(loaded.reason(), "Failed to read (" + (dir / c.broken).string() +
                                       "), Failed to open (" + (dir / c.broken).string() +
                                       "), No such file or directory");
        EXPECT_EQ(loaded.error().code, ENOENT);
        EXPECT_EQ(find(tables.delivery(), "+61412000001"), "ann@x");
        EXPECT_EQ(find(tables.alias(), "+61412000009"), "boss@x");
        EXPECT_EQ(find(tables.alias(), "+61412000005"), "-");
        EXPECT_EQ(find(tables.delivery(), "+61412000005"), "-");
        fs::rename(dir / "aside", dir / c.broken);
        write(c.other, c.other_restore);
    }
}

TEST_F(AliasReload, ReloadRequestIsTakenOnce) {
    Gateway gw;
    EXPECT_FALSE(reload_pending(gw));
    reload_request(gw);
    reload_request(gw);
    EXPECT_TRUE(reload_pending(gw));
    EXPECT_FALSE(reload_pending(gw));
}

// Each gateway has its own request: one asked for does not reach another.
TEST_F(AliasReload, ReloadRequestBelongsToItsGateway) {
    Gateway asked;
    Gateway other;
    reload_request(asked);
    EXPECT_FALSE(reload_pending(other));
    EXPECT_TRUE(reload_pending(asked));
}

}  // namespace
}  // namespace tolvane
