// The API's message status journal: each change read back after a restart, and delivery
// reports that survive a stop between the journal and the queue. The stop is simulated by a
// report sink that throws (the process "dies" after the journal's write and before the
// queue took the report) and a fresh ApiMessages on the same journal.
#include "gateway/api_messages.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/utf8.h"
#include "gateway/api_json.h"
#include "gateway/api_keys.h"
#include "gateway/mail_to_sms.h"
#include "support/status_check.h"

namespace tolvane {
namespace {

struct Crash {};

class ApiMessagesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tv_apimsg_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        ASSERT_TRUE(succeeded(
            api_keys_write(dir_ + "/keys.dat", {{"shop", std::string(64, 'a'), "whsec_shop", 1},
                                                {"gone", std::string(64, 'b'), "whsec_gone", 1}})));
        keys_ = std::make_unique<ApiKeyTable>(dir_ + "/keys.dat");
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::unique_ptr<ApiMessages> start() {
        auto m = std::make_unique<ApiMessages>(nullptr, keys_.get(), journal());
        EXPECT_TRUE(succeeded(m->open()));
        m->set_report_sink([this](const ApiReport& r) {
            if (crash_) throw Crash{};
            if (refuse_) return false;
            got_.push_back(r);
            return true;
        });
        return m;
    }
    std::string journal() const { return dir_ + "/api_messages.log"; }

    static queue_entry entry(std::uint64_t id, const std::string& key, const std::string& url) {
        queue_entry e;
        e.id = id;
        e.destination = "+61412345678";
        e.flags = MAIL_FROM_API;
        e.enqueued_ms = 1700000000000;
        e.headers = {{API_HEADER_KEY, key}, {API_HEADER_REFERENCE, "ref-" + std::to_string(id)}};
        if (!url.empty()) e.headers.emplace_back(API_HEADER_CALLBACK, url);
        return e;
    }
    static nlohmann::json body(const ApiReport& r) { return nlohmann::json::parse(r.body); }

    std::string dir_;
    std::unique_ptr<ApiKeyTable> keys_;
    std::vector<ApiReport> got_;
    bool crash_ = false, refuse_ = false;
};

// The journal's line is written without a json value; it must be the line a json dump
// of the same fields gives (the journal held those), and read back to the same fields
// whatever a client or a centre put in them.
TEST(ApiMessageLine, IsTheJsonDumpOfEveryFieldAndReadsBack) {
    const std::string invalid = std::string("bad \xE2\x82 end \xFF");
    struct Case {
        const char* what;
        std::string text;  // goes into error, reference and callback_url
        bool valid_utf8;
    } cases[] = {
        {"plain", "queue full", true},
        {"empty", "", true},
        {"quotes and backslash", "say \"hi\" \\ there", true},
        {"control bytes", std::string("a\nb\rc\td\be\ff\x01g\x1fh\x7fi", 17), true},
        {"non-ASCII", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", true},
        {"invalid UTF-8", invalid, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ApiMessage m;
        m.id = "42";
        m.to = "+61412345678";
        m.status = "failed";
        m.transport = "smpp";
        m.error = c.text;
        m.reference = c.text;
        m.callback_url = c.text;
        m.key = "shop";
        m.attempts = 3;
        m.created_ms = 1796882188123;
        m.updated_ms = -1;
        const std::string line = api_message_line(m);
        const nlohmann::json j{{"id", m.id},
                               {"to", m.to},
                               {"status", m.status},
                               {"transport", m.transport},
                               {"error", m.error},
                               {"reference", m.reference},
                               {"callback_url", m.callback_url},
                               {"key", m.key},
                               {"attempts", m.attempts},
                               {"created", m.created_ms},
                               {"updated", m.updated_ms}};
        if (c.valid_utf8) {
            EXPECT_EQ(line, api_dump(j));
        }
        nlohmann::json back = nlohmann::json::parse(line);  // throws on a broken line
        EXPECT_EQ(back["error"], utf8_valid(c.text));
        EXPECT_EQ(back["callback_url"], utf8_valid(c.text));
        EXPECT_EQ(back["attempts"], 3);
        EXPECT_EQ(back["created"], 1796882188123);
        EXPECT_EQ(back["updated"], -1);
    }
}

TEST_F(ApiMessagesTest, StatusIsReadBackAfterARestartForItsKeyOnly) {
    {
        auto m = start();
        m->queued(entry(7, "shop", ""));
        m->attempt(entry(7, "shop", ""));
        m->ended(entry(7, "shop", ""), "sent", "smpp", "");
    }
    auto m = start();
    auto got = m->find("7", "shop");
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->status, "sent");
    EXPECT_EQ(got->transport, "smpp");
    EXPECT_EQ(got->attempts, 1u);
    EXPECT_EQ(got->reference, "ref-7");
    EXPECT_FALSE(m->find("7", "gone").has_value());
    EXPECT_FALSE(m->find("8", "shop").has_value());
    EXPECT_TRUE(got_.empty()) << "no callback_url: no report";
}

TEST_F(ApiMessagesTest, ReportIsQueuedOnceWithTheKeysSecret) {
    {
        auto m = start();
        m->ended(entry(3, "shop", "http://app/dlr"), "failed", "gsm", "no network");
        EXPECT_EQ(m->reports_pending(), 0u);
    }
    ASSERT_EQ(got_.size(), 1u);
    EXPECT_EQ(got_[0].secret, "whsec_shop");
    EXPECT_EQ(got_[0].url, "http://app/dlr");
    EXPECT_EQ(got_[0].delivery.size(), 32u);
    EXPECT_EQ(body(got_[0])["status"], "failed");
    EXPECT_EQ(body(got_[0])["error"], "no network");
    EXPECT_EQ(body(got_[0])["reference"], "ref-3");
    // Settled: a restart hands nothing over again.
    auto m = start();
    EXPECT_EQ(m->reports_pending(), 0u);
    EXPECT_EQ(m->requeue_reports(), 0u);
    EXPECT_EQ(got_.size(), 1u);
}

TEST_F(ApiMessagesTest, StopBetweenJournalAndQueueLosesNoReport) {
    // Each row: the changes before the stop; the one the stop cuts; what arrives after.
    struct Case {
        const char* name;
        bool sent_first;      // a "sent" report was queued before the cut one
        bool cut_is_receipt;  // the cut change is the centre's receipt (else the send's end)
        const char* status;
    };
    const Case cases[] = {
        {"end of the send", false, false, "sent"},
        {"receipt after a queued sent", true, true, "delivered"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(journal());
        got_.clear();
        std::string first_delivery;
        {
            auto m = start();
            const queue_entry e = entry(11, "shop", "http://app/dlr");
            m->queued(e);
            if (c.sent_first) m->ended(e, "sent", "smpp", "");
            crash_ = true;
            if (c.cut_is_receipt)
                EXPECT_THROW(m->receipt("11", true, ""), Crash);
            else
                EXPECT_THROW(m->ended(e, "sent", "smpp", ""), Crash);
            crash_ = false;
            EXPECT_EQ(m->reports_pending(), 1u);
        }  // the process is gone: only the journal remains
        const std::size_t before = got_.size();
        auto m = start();
        EXPECT_EQ(m->reports_pending(), 1u);
        EXPECT_EQ(m->requeue_reports(), 1u);
        ASSERT_EQ(got_.size(), before + 1);
        const ApiReport& r = got_.back();
        EXPECT_EQ(body(r)["status"], c.status);
        EXPECT_EQ(body(r)["id"], "11");
        EXPECT_EQ(r.secret, "whsec_shop");
        EXPECT_EQ(r.delivery.size(), 32u);
        EXPECT_EQ(m->find("11", "shop")->status, c.status);
        // Once queued it is not queued a third time.
        m.reset();
        m = start();
        EXPECT_EQ(m->requeue_reports(), 0u);
        EXPECT_EQ(got_.size(), before + 1);
    }
}

TEST_F(ApiMessagesTest, RepeatAfterAStopKeepsItsDeliveryId) {
    // The queue took the report but the stop came before the journal's "queued" line: the
    // second hand-over is a repeat the receiver recognises by its X-Tolvane-Delivery.
    {
        auto m = start();
        m->ended(entry(5, "shop", "http://app/dlr"), "expired", "", "too old");
    }
    ASSERT_EQ(got_.size(), 1u);
    // Cut the journal back to before its "queued" line.
    std::ifstream in(journal());
    std::stringstream all;
    all << in.rdbuf();
    std::string text = all.str();
    const std::size_t q = text.find("{\"queued\"");
    ASSERT_NE(q, std::string::npos);
    {
        std::ofstream out(journal(), std::ios::trunc);
        out << text.substr(0, q);
    }
    auto m = start();
    EXPECT_EQ(m->requeue_reports(), 1u);
    ASSERT_EQ(got_.size(), 2u);
    EXPECT_EQ(got_[1].delivery, got_[0].delivery);
    EXPECT_EQ(got_[1].body, got_[0].body);
}

TEST_F(ApiMessagesTest, ReportTheQueueRefusedIsHandedOverAtTheNextStart) {
    {
        auto m = start();
        refuse_ = true;
        m->ended(entry(9, "shop", "http://app/dlr"), "sent", "smpp", "");
        EXPECT_EQ(m->reports_pending(), 1u);
        // Still refused: stays due.
        EXPECT_EQ(m->requeue_reports(), 0u);
        refuse_ = false;
    }
    EXPECT_TRUE(got_.empty());
    auto m = start();
    EXPECT_EQ(m->requeue_reports(), 1u);
    ASSERT_EQ(got_.size(), 1u);
    EXPECT_EQ(body(got_[0])["status"], "sent");
}

TEST_F(ApiMessagesTest, DueReportOfARevokedKeyGoesWithoutASecret) {
    {
        auto m = start();
        crash_ = true;
        EXPECT_THROW(m->ended(entry(4, "gone", "http://app/dlr"), "sent", "smpp", ""), Crash);
        crash_ = false;
    }
    ASSERT_TRUE(succeeded(
        api_keys_write(dir_ + "/keys.dat", {{"shop", std::string(64, 'a'), "whsec_shop", 1}})));
    auto m = start();
    EXPECT_EQ(m->requeue_reports(), 1u);
    ASSERT_EQ(got_.size(), 1u);
    EXPECT_EQ(got_[0].secret, "") << "the sink logs it instead of signing";
}

TEST_F(ApiMessagesTest, JournalIsPrivateAndSkipsBrokenLines) {
    {
        std::ofstream out(journal());
        out << "not "
               "json\n{\"report\":\"x\"}\n{\"id\":\"2\",\"status\":\"queued\",\"key\":\"shop\"}\n"
            << "{\"id\":\"2\",\"status\":\"sending\",\"key\":\"shop\",\"attempts\":2}\n";
    }
    auto m = start();
    EXPECT_EQ(m->reports_pending(), 0u) << "a report line without URL or body is not due";
    ASSERT_TRUE(m->find("2", "shop").has_value());
    EXPECT_EQ(m->find("2", "shop")->status, "sending");
    EXPECT_EQ(m->find("2", "shop")->attempts, 2u);
    struct stat st {};
    ASSERT_EQ(::stat(journal().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

}  // namespace
}  // namespace tolvane
