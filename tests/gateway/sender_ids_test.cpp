// Which originators a client may choose: the rules of the sender_ids lines, the
// gateway's own numbers that anyone may use, and the lines as the settings file holds them.
#include "gateway/sender_ids.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "gateway/keys.h"

namespace tolvane {
namespace {

TEST(SenderIds, RulesGrantTheirListsToWhomTheyName) {
    SenderIds ids;
    ids.rules = {{"*@corp.example", "BANK,+61400000001"},
                 {"alice", "Alice*, +6149*"},
                 {"alice", "HELPDESK"},
                 {"*", "PUBLIC"}};
    ids.own = {"+61400000000"};
    ids.pool = phone_range_of("+61", "04", 10000000, 10000100);
    const struct {
        const char* who;
        const char* chosen;
        bool allowed;
    } rows[] = {
        {"ann@corp.example", "BANK", true},
        {"ANN@Corp.Example", "BANK", true},   // who ignores letter case
        {"ann@corp.example", "bank", false},  // the ID keeps it
        {"ann@corp.example", "+61400000001", true},
        {"ann@corp.example", "BANK,EVIL", false},  // the whole ID must match one pattern
        {"ann@corp.example", "BANK EVIL", false},
        {"ann@corp.example.evil", "BANK", false},
        {"eve@else.example", "BANK", false},
        {"alice", "AliceShop", true},
        {"alice", "+61491234567", true},
        {"alice", "HELPDESK", true},  // several lines add up
        {"alice", "BANK", false},
        {"bob", "PUBLIC", true},
        {"bob", "+61400000000", true},   // gsm_number: the gateway's own
        {"bob", "+61410000050", true},   // a pool number
        {"bob", "+61410000100", false},  // just past the pool
        {"bob", "", false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.who) + " -> " + r.chosen);
        EXPECT_EQ(sender_id_allowed(ids, r.who, r.chosen), r.allowed);
    }
}

TEST(SenderIds, WithoutRulesOnlyTheGatewaysOwnNumbers) {
    SenderIds ids;
    EXPECT_FALSE(sender_id_allowed(ids, "ann@corp.example", "BANK"));
    EXPECT_FALSE(sender_id_allowed(ids, "ann@corp.example", "5550001"));
    ids.own = {"+61400000000"};
    EXPECT_TRUE(sender_id_allowed(ids, "ann@corp.example", "+61400000000"));
}

TEST(SenderIds, LinesOfTheSettingsFile) {
    EXPECT_FALSE(sender_id_rule("*@corp.example"));
    EXPECT_FALSE(sender_id_rule("   "));
    std::optional<SenderIdRule> r = sender_id_rule("  *@corp.example \t BANK, +61400000001 ");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->who, "*@corp.example");
    EXPECT_EQ(r->ids, "BANK, +61400000001");

    const std::filesystem::path file =
        std::filesystem::temp_directory_path() / ("sender_ids_" + std::to_string(::getpid()));
    std::ofstream(file) << "gsm_number +61400000000\n"
                           "phone_country +61\n"
                           "phone_range min=\"491000000\" max=\"491000010\"\n"
                           "sender_ids *@corp.example BANK,+61400000001\n"
                           "sender_ids lonely\n"
                           "sender_ids carol CAROL\n";
    std::unique_ptr<SIni> ini = sini_init(_settings);
    ASSERT_EQ(sini_load(ini.get(), file.string(), nullptr), 1);
    std::filesystem::remove(file);
    SenderIds ids = sender_ids_of(ini.get());
    ASSERT_EQ(ids.rules.size(), 2u);  // the line without IDs grants nothing
    EXPECT_EQ(ids.rules[1].who, "carol");
    EXPECT_TRUE(sender_id_allowed(ids, "x@corp.example", "+61400000001"));
    EXPECT_TRUE(sender_id_allowed(ids, "carol", "CAROL"));
    EXPECT_FALSE(sender_id_allowed(ids, "carol", "BANK"));
    EXPECT_TRUE(sender_id_allowed(ids, "carol", "+61400000000"));
    EXPECT_TRUE(sender_id_allowed(ids, "carol", "+61491000005"));
    EXPECT_FALSE(sender_id_allowed(ids, "carol", "+61491000011"));
    sini_free(ini);
}

}  // namespace
}  // namespace tolvane
