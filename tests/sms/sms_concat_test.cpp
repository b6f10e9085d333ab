// Reassembly of long SMS: order, duplicates, the wait for missing parts, the size
// limit, and the text form a store keeps.
#include "sms/sms_concat.h"

#include <gtest/gtest.h>

namespace tolvane {
namespace {

struct ReassemblyTest : testing::Test {
    std::int64_t now = 1'000'000;
    sms_reassembly r{600, [this] { return now; }};
    std::vector<concat_done> ready;

    concat_outcome add(const char* from, int ref, int total, int part, const char* text) {
        return r.add(from, "mail@example.com", sms_concat{ref, total, part}, text, ready);
    }
};

TEST_F(ReassemblyTest, OutOfOrderWithDuplicateJoinsOnce) {
    EXPECT_EQ(add("+491", 7, 3, 3, "C"), concat_outcome::waiting);
    EXPECT_EQ(add("+491", 7, 3, 1, "A"), concat_outcome::waiting);
    EXPECT_EQ(add("+491", 7, 3, 3, "C-again"), concat_outcome::duplicate);
    EXPECT_TRUE(ready.empty());
    EXPECT_EQ(add("+491", 7, 3, 2, "B"), concat_outcome::complete);
    ASSERT_EQ(ready.size(), 1u);
    EXPECT_EQ(ready[0].text, "ABC");
    EXPECT_EQ(ready[0].originator, "+491");
    EXPECT_EQ(ready[0].recipient, "mail@example.com");
    EXPECT_TRUE(ready[0].complete());
    EXPECT_EQ(r.waiting(), 0u);
    // A late repeat of a finished set starts a new set, which then times out alone.
    EXPECT_EQ(add("+491", 7, 3, 2, "B"), concat_outcome::waiting);
}

TEST_F(ReassemblyTest, SetsAreKeptApartByOriginatorReferenceAndTotal) {
    EXPECT_EQ(add("+491", 7, 2, 1, "a1"), concat_outcome::waiting);
    EXPECT_EQ(add("+492", 7, 2, 1, "b1"), concat_outcome::waiting);
    EXPECT_EQ(add("+491", 8, 2, 1, "c1"), concat_outcome::waiting);
    EXPECT_EQ(add("+491", 7, 3, 1, "d1"), concat_outcome::waiting);
    EXPECT_EQ(r.waiting(), 4u);
    EXPECT_EQ(add("+492", 7, 2, 2, "b2"), concat_outcome::complete);
    ASSERT_EQ(ready.size(), 1u);
    EXPECT_EQ(ready[0].text, "b1b2");
}

TEST_F(ReassemblyTest, WholeMessagesAndBadPartNumbersPassThrough) {
    struct row {
        sms_concat c;
    } rows[] = {{{0, 0, 0}}, {{5, 1, 1}}, {{5, 3, 0}}, {{5, 3, 4}}};
    for (const row& x : rows) {
        SCOPED_TRACE(testing::Message() << x.c.total << "/" << x.c.part);
        EXPECT_EQ(r.add("+491", "to", x.c, "t", ready), concat_outcome::whole);
    }
    EXPECT_EQ(r.waiting(), 0u);
    EXPECT_TRUE(ready.empty());
}

TEST_F(ReassemblyTest, MissingPartsAfterTheWaitCarryMarkers) {
    add("+491", 9, 4, 2, "B");
    add("+491", 9, 4, 4, "D");
    now += 599;
    EXPECT_TRUE(r.expire().empty());
    EXPECT_EQ(r.next_due(), 1);
    now += 1;
    std::vector<concat_done> out = r.expire();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].text, "[part 1 of 4 missing]B[part 3 of 4 missing]D");
    EXPECT_EQ(out[0].received, 2);
    EXPECT_FALSE(out[0].complete());
    EXPECT_EQ(r.waiting(), 0u);
    EXPECT_FALSE(r.next_due().has_value());
}

TEST_F(ReassemblyTest, WaitCountsFromTheFirstPart) {
    add("+491", 1, 2, 1, "x");
    now += 500;
    add("+492", 2, 2, 1, "y");
    now += 100;
    std::vector<concat_done> out = r.expire();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].originator, "+491");
    EXPECT_EQ(r.next_due(), 500);
}

TEST_F(ReassemblyTest, MergedSetsJoinThoseWaitingAndKeepTheEarlierStart) {
    add("+491", 4, 3, 2, "B");
    now += 100;
    concat_set same;  // the same set, stored earlier, with a part this one lacks
    same.originator = "+491";
    same.recipient = "mail@example.com";
    same.reference = 4;
    same.total = 3;
    same.first_seen = now - 400;
    same.parts = {{1, "A"}, {2, "B-stored"}};
    concat_set other = same;  // another reference: a set of its own
    other.reference = 5;
    other.first_seen = now;
    other.parts = {{3, "z"}};
    r.merge({same, other});
    EXPECT_EQ(r.waiting(), 2u);
    // The merged set's start is the stored one: its wait runs out first.
    EXPECT_EQ(r.next_due(), 200);
    EXPECT_EQ(add("+491", 4, 3, 1, "A"), concat_outcome::duplicate) << "part 1 came with the merge";
    EXPECT_EQ(add("+491", 4, 3, 3, "C"), concat_outcome::complete);
    ASSERT_EQ(ready.size(), 1u);
    EXPECT_EQ(ready[0].text, "ABC") << "a part held already keeps its text";
    EXPECT_EQ(ready[0].reference, 4);
    now += 600;
    std::vector<concat_done> out = r.expire();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].reference, 5);
    EXPECT_EQ(out[0].text, "[part 1 of 3 missing][part 2 of 3 missing]z");
}

TEST(Reassembly, SizeLimitPushesOutTheOldestSet) {
    std::int64_t now = 0;
    sms_reassembly r(600, [&now] { return now; });
    std::vector<concat_done> ready;
    for (std::size_t k = 0; k < SMS_CONCAT_MAX_SETS; ++k) {
        now = static_cast<std::int64_t>(k);
        r.add("+49" + std::to_string(k), "to", sms_concat{1, 2, 1}, "p", ready);
    }
    ASSERT_TRUE(ready.empty());
    now += 1;
    EXPECT_EQ(r.add("+new", "to", sms_concat{1, 2, 1}, "q", ready), concat_outcome::waiting);
    ASSERT_EQ(ready.size(), 1u);
    EXPECT_EQ(ready[0].originator, "+490");
    EXPECT_EQ(ready[0].text, "p[part 2 of 2 missing]");
    EXPECT_EQ(r.waiting(), SMS_CONCAT_MAX_SETS);
}

TEST(ConcatText, SnapshotSurvivesTheTextForm) {
    std::int64_t now = 42;
    sms_reassembly a(600, [&now] { return now; });
    std::vector<concat_done> ready;
    // Texts with line ends, digits and colons: the lengths, not the bytes, delimit.
    a.add("+491", "x@example.com", sms_concat{0x1234, 3, 3}, "3:\nset 1 2 3\n", ready);
    a.add("Bank \xC3\xA9", "", sms_concat{5, 2, 1}, "", ready);
    a.add("+491", "x@example.com", sms_concat{0x1234, 3, 1}, "\xF0\x9F\x98\x80", ready);
    std::string text = concat_serialise(a.snapshot());
    Result<std::vector<concat_set>> sets = concat_deserialise(text);
    ASSERT_TRUE(sets) << sets.reason();
    EXPECT_EQ(*sets, a.snapshot());

    sms_reassembly b(600, [&now] { return now; });
    b.restore(*sets);
    EXPECT_EQ(b.add("+491", "x@example.com", sms_concat{0x1234, 3, 2}, "-", ready),
              concat_outcome::complete);
    ASSERT_EQ(ready.size(), 1u);
    EXPECT_EQ(ready[0].text, "\xF0\x9F\x98\x80-3:\nset 1 2 3\n");
    now += 600;
    std::vector<concat_done> out = b.expire();  // first_seen came along
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].originator, "Bank \xC3\xA9");
}

TEST(ConcatText, DamagedTextIsRefused) {
    struct row {
        const char* text;
        const char* reason;
    } rows[] = {
        {"part 1 1:a\n", "part before any set"},
        {"set 1 2 3 4:+491 0:\npart 3 1:a\n", "part number out of range"},
        {"set 1 2 3 4:+491 0:\npart 1 1:a\npart 1 1:b\n", "part given twice"},
        {"set 1 1 3 4:+491 0:\n", "out of range"},
        {"set 1 2 3 9:+491 0:\n", "malformed set line"},
        {"set 1 2 3 4:+491 0:\npart 1 5:a\n", "malformed part line"},
        {"set 1 2 3 4:+491 0:", "malformed set line"},
        {"sets 1 2\n", "neither a set nor a part"},
        {"set -1 2 3 4:+491 0:\n", "out of range"},
    };
    for (const row& x : rows) {
        SCOPED_TRACE(x.text);
        Result<std::vector<concat_set>> sets = concat_deserialise(x.text);
        ASSERT_FALSE(sets);
        EXPECT_NE(sets.error().reason.find(x.reason), std::string::npos) << sets.error().reason;
    }
    Result<std::vector<concat_set>> sets = concat_deserialise("");
    ASSERT_TRUE(sets) << sets.reason();
    EXPECT_TRUE(sets->empty());
}

}  // namespace
}  // namespace tolvane
