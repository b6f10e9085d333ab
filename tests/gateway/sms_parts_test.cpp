// Parts of long SMS kept in the queue: the concatenation numbers in an entry's flags, and
// the sets read back at start-up (complete ones given out, repeated parts finished, the
// rest waiting with their entries remembered for when their set is joined).
#include "gateway/sms_parts.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "support/status_check.h"

namespace tolvane {
namespace {

TEST(SmsParts, ConcatNumbersTravelInTheFlags) {
    struct Case {
        int reference, total, part;
    };
    const Case cases[] = {{0, 2, 1}, {0x42, 3, 3}, {0xFFFF, 255, 255}, {0x1FF, 10, 7}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.reference) + "/" + std::to_string(c.total) + "/" +
                     std::to_string(c.part));
        sms_concat in;
        in.reference = c.reference;
        in.total = c.total;
        in.part = c.part;
        sms_concat out = unpack_concat(pack_concat(in));
        EXPECT_EQ(out.reference, c.reference);
        EXPECT_EQ(out.total, c.total);
        EXPECT_EQ(out.part, c.part);
        EXPECT_TRUE(out.is_part());
    }
    // A reference wider than 16 bits keeps its low bits, as a user-data header would.
    sms_concat wide;
    wide.reference = 0x12345;
    wide.total = 2;
    wide.part = 1;
    EXPECT_EQ(unpack_concat(pack_concat(wide)).reference, 0x2345);
}

class StoredParts : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = (std::filesystem::temp_directory_path() / "tvpartsXXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
        queue_file_options o;
        o.sync = false;
        Result<std::unique_ptr<QueueStore>> opened = queue_file_open(dir_ + "/queue", o);
        ASSERT_TRUE(succeeded(opened));
        queue_ = std::move(*opened);
    }
    void TearDown() override {
        queue_.reset();
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    std::uint64_t store(const std::string& from, int reference, int total, int part,
                        const std::string& text) {
        queue_entry e;
        e.kind = QUEUE_SMS_PART;
        e.originator = from;
        e.destination = "+61400000000";
        e.text = text;
        sms_concat c;
        c.reference = reference;
        c.total = total;
        c.part = part;
        e.flags = pack_concat(c);
        std::vector<queue_entry> batch{e};
        EXPECT_TRUE(succeeded(queue_->enqueue(batch)));
        return batch[0].id;
    }
    std::string dir_;
    PartIds known_;  // a fresh gateway's: nothing remembered from another test
    std::unique_ptr<QueueStore> queue_;
};

TEST_F(StoredParts, RestoreGivesOutCompleteSetsAndKeepsTheRestWaiting) {
    std::uint64_t a1 = store("+61411111111", 7, 2, 1, "Hello ");
    store("+61411111111", 7, 2, 2, "world");
    std::uint64_t b2 = store("+61422222222", 7, 3, 2, "middle");
    std::uint64_t b2again = store("+61422222222", 7, 3, 2, "middle");
    std::uint64_t b1 = store("+61422222222", 7, 3, 1, "start ");

    std::vector<concat_set> waiting;
    std::vector<concat_done> complete;
    EXPECT_EQ(restore_parts(*queue_, known_, waiting, complete), 4);  // the repeat is not counted

    ASSERT_EQ(complete.size(), 1u);
    EXPECT_EQ(complete[0].originator, "+61411111111");
    EXPECT_EQ(complete[0].recipient, "+61400000000");
    EXPECT_EQ(complete[0].text, "Hello world");
    EXPECT_EQ(complete[0].received, 2);

    ASSERT_EQ(waiting.size(), 1u);
    EXPECT_EQ(waiting[0].originator, "+61422222222");
    EXPECT_EQ(waiting[0].total, 3);
    EXPECT_EQ(waiting[0].parts.size(), 2u);

    // The repeated part was finished; the others stay in the queue until joined.
    std::vector<std::uint64_t> left;
    for (const queue_entry& e : queue_->list(QUEUE_SMS_PART)) left.push_back(e.id);
    EXPECT_EQ(std::count(left.begin(), left.end(), b2again), 0);
    EXPECT_EQ(std::count(left.begin(), left.end(), a1), 1);

    // The waiting set's entries were remembered, in the order found.
    EXPECT_EQ(known_.take(PartKey{"+61422222222", 7, 3}), (std::vector<std::uint64_t>{b2, b1}));
    EXPECT_TRUE(known_.take(PartKey{"+61422222222", 7, 3}).empty());
}

TEST_F(StoredParts, DroppedDuplicateIsForgottenAndFinished) {
    std::uint64_t one = store("+61433333333", 9, 2, 1, "x");
    std::uint64_t dup = store("+61433333333", 9, 2, 1, "x");
    PartKey k{"+61433333333", 9, 2};
    known_.remember(k, one);
    known_.remember(k, dup);
    drop_part(queue_.get(), known_, k, dup);
    EXPECT_EQ(known_.take(k), (std::vector<std::uint64_t>{one}));
    std::vector<queue_entry> left = queue_->list(QUEUE_SMS_PART);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].id, one);
}

TEST_F(StoredParts, NothingStoredRestoresNothing) {
    std::vector<concat_set> waiting;
    std::vector<concat_done> complete;
    EXPECT_EQ(restore_parts(*queue_, known_, waiting, complete), 0);
    EXPECT_TRUE(waiting.empty());
    EXPECT_TRUE(complete.empty());
}

}  // namespace
}  // namespace tolvane

namespace tolvane {
namespace {

// A shared store whose database cannot be asked: every set it is asked for fails.
class UnreachableSharedStore final : public QueueStore {
  public:
    Status enqueue(std::vector<queue_entry>&) override { return Error{0, "down"}; }
    std::optional<queue_entry> claim(int, std::int64_t) override { return std::nullopt; }
    std::optional<std::int64_t> next_ready(int, std::int64_t) override { return std::nullopt; }
    Status attempt(std::uint64_t) override { return Error{0, "down"}; }
    Status complete(std::uint64_t, bool, const std::string&) override { return Error{0, "down"}; }
    void release(std::uint64_t, const std::string&, std::int64_t) override {}
    std::size_t retry_now(int) override { return 0; }
    std::vector<queue_entry> list(int) override { return {}; }
    queue_stats stats() override { return {}; }
    void set_notify(std::function<void(int)>) override {}
    std::optional<bool> database_up() const override { return false; }
    Result<std::optional<std::vector<queue_entry>>> take_set(const kept_set&, bool) override {
        return Error{0, "server closed the connection unexpectedly"};
    }
};

// A set that cannot be taken because the database is away is not mistaken for a store
// that shares nothing (which would join the parts of this gateway alone): it comes back
// with no ids and the store's reason, so that its parts stay stored for later.
TEST(SmsParts, ASetTheSharedStoreCannotGiveSaysWhyAndTakesNothing) {
    UnreachableSharedStore store;
    for (bool whole : {true, false}) {
        SCOPED_TRACE(whole ? "whole sets only" : "any set");
        std::optional<TakenSet> t = take_set(&store, PartKey{"+61411111111", 7, 2}, whole);
        ASSERT_TRUE(t.has_value());
        EXPECT_TRUE(t->ids.empty());
        EXPECT_EQ(t->failed, "server closed the connection unexpectedly");
    }
}

}  // namespace
}  // namespace tolvane
