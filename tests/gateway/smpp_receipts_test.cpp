// Receipts matched to their submits: a receipt that comes while its submit's outcome is
// still being written (a centre may answer at once) is matched, and written after that
// outcome, never as a receipt for an unknown message id.
#include "gateway/smpp_receipts.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "gateway/path_fixture.h"
#include "records/msgrec.h"
#include "records/stores.h"

namespace tolvane::test {
namespace {

class SmppReceiptsTest : public PathFixture {
  protected:
    void SetUp() override {
        PathFixture::SetUp();
        if (HasFatalFailure()) return;
        Result<msgrecs_ptr> made = msgrec_init(registry, "msgrec", dir, '|', "24", 0, 0, 0);
        ASSERT_TRUE(made) << made.reason();
        limits = std::move(*made);
    }
    void TearDown() override {
        msgrec_free(limits);
        PathFixture::TearDown();
    }
    // Status, client and destination of each record line.
    std::vector<std::string> records() {
        std::vector<std::string> out;
        for (const std::string& l : day_records("rec")) {
            std::vector<std::string> f = ssplit(l, "|", 10, false);
            out.push_back(f.size() > 3 ? f[0] + " " + f[1] + " " + f[3] : l);
        }
        return out;
    }
    static smpp_receipt delivered(const std::string& id) {
        smpp_receipt r;
        r.message_id = id;
        r.state = "DELIVERED";
        r.source = "61412345678";
        return r;
    }
    msgrecs_ptr limits;
};

TEST_F(SmppReceiptsTest, AReceiptBeforeItsSubmitsOutcomeWaitsForItAndIsMatched) {
    SmppReceipts receipts(nullptr, false, state);
    receipts.expect("m-1", {"client-a", "ann@corp.example", "+61412345678", "", false, ""});
    auto receipt = std::async(std::launch::async, [&] { return receipts.record(delivered("m-1")); });
    EXPECT_EQ(receipt.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout)
        << "the receipt went ahead of the submit's own record";
    ASSERT_EQ(state_write(state, "SUCCESS", "client-a", "ann@corp.example", "+61412345678",
                          "msgid m-1", "rec", false),
              1);
    receipts.settled("m-1");
    EXPECT_TRUE(receipt.get());
    EXPECT_EQ(records(), (std::vector<std::string>{"SUCCESS client-a +61412345678",
                                                   "DELIVERED client-a +61412345678"}));
}

TEST_F(SmppReceiptsTest, ReceiptsOfSettledAndUnknownSubmits) {
    SmppReceipts receipts(nullptr, false, state);
    receipts.remember("m-2", {"client-b", "bob@corp.example", "+61400000002", "", false, ""});
    receipts.expect("m-3", {"client-c", "cy@corp.example", "+61400000003", "", false, ""});
    receipts.settled("m-3");
    receipts.settled("m-9");  // nothing expected under that id: nothing happens
    for (const char* id : {"m-2", "m-3", "m-4", "m-2"}) EXPECT_TRUE(receipts.record(delivered(id)));
    // An unknown id (never sent, or a second receipt for one already reported) is still
    // recorded, with the phone it came from.
    EXPECT_EQ(records(), (std::vector<std::string>{"DELIVERED client-b +61400000002",
                                                   "DELIVERED client-c +61400000003",
                                                   "DELIVERED SMS 61412345678",
                                                   "DELIVERED SMS 61412345678"}));
}

}  // namespace
}  // namespace tolvane::test
