// The state stores (records, message log, phone pool, rate-limit counts) through their
// interfaces, the same cases against the file store and against a private PostgreSQL
// server. "Two gateways" are two sets of stores on one database; with files they are one
// gateway's set, which must hold the same promises between its threads. Two gateways on
// files in one process share nothing at all.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <set>
#include <thread>
#include <vector>

#include "records/msglog.h"
#include "records/msgrec.h"
#include "records/phones.h"
#include "records/stores.h"
#include "store/pg_schema.h"
#include "store/pg_state.h"
#include "support/pg_cluster.h"

namespace fs = std::filesystem;

namespace tolvane {
namespace {

std::atomic<std::time_t> g_now{0};
std::time_t fake_now() {
    return g_now.load();
}

// 31 January 2024, midday local time: far from a change of day either way.
std::time_t midday() {
    std::tm tm{};
    tm.tm_year = 124;
    tm.tm_mon = 0;
    tm.tm_mday = 31;
    tm.tm_hour = 12;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

// A pool look-up that must find the store readable.
std::optional<std::string> pool_in(PhonePoolStore& p, std::string_view number) {
    bool unavailable = true;
    std::optional<std::string> r = p.in(number, unavailable);
    EXPECT_FALSE(unavailable) << number;
    return r;
}

constexpr long kPoolMin = 1000;
constexpr long kPoolMax = 1005;  // five numbers: 1000 to 1004

// One gateway's own objects: the limits' registry, the log and the pool (the file stores
// serve from them; the database stores take their clock from the registry).
struct Owned {
    LimitRegistry registry;
    MessageLog log;
    PhonePool pool;
};

struct FileBackend {
    static constexpr const char* kName = "files";
    bool open(const std::string& dir, Owned& own, StateStores& stores, std::string& why) {
        if (Status loaded = own.log.load(dir + "/msglog.dat", '|'); !loaded) {
            why = loaded.reason();
            return false;
        }
        own.pool.init(dir, "+61", "0400", kPoolMin, kPoolMax);
        stores = file_state_stores(own.registry, own.log, own.pool);
        return true;
    }
    // Two gateways on files would not share them: a second one here can only be another
    // thread of the same gateway.
    StateStores* second() { return nullptr; }
    void close() {}
};

struct PgBackend {
    static constexpr const char* kName = "postgresql";
    StateStores other;
    bool open(const std::string&, Owned& own, StateStores& stores, std::string& why) {
        PgCluster* pg = PgCluster::shared();
        if (!pg) {
            why = PgCluster::shared_error();
            return false;
        }
        std::string db = pg->fresh_database();
        Result<std::unique_ptr<PgConn>> c = PgConn::open(pg->dsn(db));
        if (!c) {
            why = c.error().reason;
            return false;
        }
        if (Result<int> version = pg_schema_upgrade(**c); !version) {
            why = version.reason();
            return false;
        }
        phone_range range = phone_range_of("+61", "0400", kPoolMin, kPoolMax);
        stores = pg_state_stores(pg->dsn(db), '|', range, own.registry, nullptr);
        other = pg_state_stores(pg->dsn(db), '|', range, own.registry, nullptr);
        return true;
    }
    StateStores* second() { return &other; }
    void close() { other = StateStores{}; }
};

template <typename Backend>
class StateStoresTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/state_stores_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        g_now = midday();
        own_.registry.set_clock(fake_now);
        own_.log.set_clock(fake_now);
        own_.pool.set_clock(fake_now);
        std::string why;
        Result<msgrecs_ptr> mr = msgrec_init(own_.registry, "msgrec", dir_, '|', "24", 0, 3, 2, 2);
        ASSERT_TRUE(mr) << mr.reason();
        limits_.push_back(std::move(*mr));
        ASSERT_TRUE(backend_.open(dir_, own_, stores_, why)) << Backend::kName << ": " << why;
        opened_ = true;
    }
    void TearDown() override {
        if (opened_) backend_.close();
        stores_ = StateStores{};
        for (auto& l : limits_) msgrec_free(l);
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    msgrecs* limit() { return limits_.front().get(); }
    int write(std::string_view status, std::string_view client, std::string_view from,
              std::string_view to, std::string_view text, std::string_view kind, bool counted,
              bool reserved = false) {
        return state_write(stores_, status, client, from, to, text, kind, counted, reserved);
    }
    RecordStore& records() { return *stores_.records; }
    LimitStore& limits_a() { return *stores_.limits; }
    PhonePoolStore& pool_a() { return *stores_.phones; }
    MessageLogStore& msglog_a() { return *stores_.msglog; }
    // The stores of the other gateway (for files, the same ones).
    LimitStore& limits_b() {
        StateStores* s = backend_.second();
        return s ? *s->limits : limits_a();
    }
    PhonePoolStore& pool_b() {
        StateStores* s = backend_.second();
        return s ? *s->phones : pool_a();
    }
    MessageLogStore& msglog_b() {
        StateStores* s = backend_.second();
        return s ? *s->msglog : msglog_a();
    }

    Owned own_;  // outlives the limits and the stores
    Backend backend_;
    bool opened_ = false;
    std::string dir_;
    std::vector<msgrecs_ptr> limits_;
    StateStores stores_;
};

using Backends = ::testing::Types<FileBackend, PgBackend>;
class BackendNames {
  public:
    template <typename T>
    static std::string GetName(int) {
        return T::kName;
    }
};
TYPED_TEST_SUITE(StateStoresTest, Backends, BackendNames);

TYPED_TEST(StateStoresTest, RecordsOfADayReadBackInTheDayFileFormat) {
    const std::time_t t = g_now.load();
    ASSERT_EQ(this->write("SUCCESS", "10.0.0.1", "ann@x", "+6140", "NONE", "rec", false), 1);
    g_now = t + 61;
    ASSERT_EQ(this->write("FAILURE", "10.0.0.1", "bob|x", "+6141", "line\r\nbreak", "rec", false),
              1);
    ASSERT_EQ(this->write("SUCCESS", "SMS", "+6140", "ann@x", "NONE", "log", false), 1);
    Result<std::string> read = this->records().day("20240131", "rec");
    ASSERT_TRUE(read) << read.reason();
    std::string out = *read;
    EXPECT_EQ(out, msgrec_record_line("SUCCESS", "10.0.0.1", "ann@x", "+6140", t, "NONE", '|') +
                       msgrec_record_line("FAILURE", "10.0.0.1", "bob|x", "+6141", t + 61,
                                          "line\r\nbreak", '|'));
    EXPECT_EQ(out.find("Wed Jan 31 12:00:00 2024|NONE|\n") != std::string::npos, true) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2) << "line breaks in a field are blanks";
    read = this->records().day("20240131", "log");
    ASSERT_TRUE(read) << read.reason();
    out = *read;
    EXPECT_EQ(out, msgrec_record_line("SUCCESS", "SMS", "+6140", "ann@x", t + 61, "NONE", '|'));
    // The next day's first record leaves the earlier day readable (folded, for files).
    g_now = t + 86400;
    ASSERT_EQ(this->write("SUCCESS", "10.0.0.2", "cy@x", "+6142", "NONE", "rec", false), 1);
    read = this->records().day("20240131", "rec");
    ASSERT_TRUE(read) << read.reason();
    out = *read;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2) << out;
    read = this->records().day("20240201", "rec");
    ASSERT_TRUE(read) << read.reason();
    out = *read;
    EXPECT_EQ(out,
              msgrec_record_line("SUCCESS", "10.0.0.2", "cy@x", "+6142", t + 86400, "NONE", '|'));
    read = this->records().day("20230101", "rec");
    ASSERT_TRUE(read) << read.reason();
    out = *read;
    EXPECT_EQ(out, "") << "a day without records";
    for (const char* bad : {"2024013", "2024013x", "", "202401311"}) {
        SCOPED_TRACE(bad);
        Result<std::string> refused = this->records().day(bad, "rec");
        ASSERT_FALSE(refused);
        EXPECT_EQ(refused.reason(), "a day is eight digits, YYYYMMDD");
    }
}

// What the status page shows of today, whichever store keeps the records: the counts by
// status (mail to SMS) and by an SMS that came in (SMS to mail), and the newest lines.
TYPED_TEST(StateStoresTest, TodaysOutcomesAreCountedAndTheNewestListedFirst) {
    const std::time_t t = g_now.load();
    g_now = t - 86400;  // yesterday counts for nothing today
    ASSERT_EQ(this->write("SUCCESS", "10.0.0.9", "old@x", "+6149", "NONE", "rec", false), 1);
    struct Rec {
        const char* status;
        const char* client;
        const char* from;
        const char* kind;
    };
    const Rec recs[] = {
        {"SUCCESS", "10.0.0.1", "ann@x", "rec"},
        {"FAILURE", "10.0.0.1", "SMS", "rec"},       // a sender named like the SMS client
        {"SUCCESSFUL", "10.0.0.1", "bob@x", "rec"},  // not SUCCESS
        {"SUCCESS", "10.0.0.2", "cy|x", "rec"},      // the delimiter inside a field
        {"SUCCESS", "SMS", "+6140", "log"},          // an SMS received and relayed
        {"FAILURE", "SMS", "+6141", "log"},          // received, the relay failed
        {"FAILURE", "LOCAL", "SMS", "log"},          // a notice, not a received SMS
    };
    std::vector<std::string> written;  // newest first
    for (std::size_t i = 0; i < std::size(recs); ++i) {
        g_now = t + static_cast<std::time_t>(i);
        const Rec& r = recs[i];
        ASSERT_EQ(this->write(r.status, r.client, r.from, "+6142", "te|xt", r.kind, false), 1);
        std::string line =
            msgrec_record_line(r.status, r.client, r.from, "+6142", g_now.load(), "te|xt", '|');
        line.pop_back();
        written.insert(written.begin(), std::string(r.kind) + " " + line);
    }
    const struct {
        std::size_t last_n;
        std::size_t want_lines;
    } cases[] = {{20, 7}, {3, 3}, {0, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.last_n);
        Result<DayOutcomes> read = this->records().today(g_now.load(), c.last_n);
        ASSERT_TRUE(read) << read.reason();
        const DayOutcomes& d = *read;
        EXPECT_EQ(d.sent, 2);
        EXPECT_EQ(d.failed, 1);
        EXPECT_EQ(d.received, 2);
        std::vector<std::string> got;
        for (const DayOutcomes::Line& l : d.last) got.push_back(l.day_kind + " " + l.line);
        EXPECT_EQ(got, std::vector<std::string>(written.begin(),
                                                written.begin() + static_cast<long>(c.want_lines)));
    }
    // A later record is seen at the next call; tomorrow starts at nothing.
    g_now = t + 100;
    ASSERT_EQ(this->write("FAILURE", "10.0.0.3", "dee@x", "+6143", "NONE", "rec", false), 1);
    Result<DayOutcomes> read = this->records().today(g_now.load(), 1);
    ASSERT_TRUE(read) << read.reason();
    DayOutcomes d = *read;
    EXPECT_EQ(d.failed, 2);
    ASSERT_EQ(d.last.size(), 1u);
    EXPECT_NE(d.last[0].line.find("dee@x"), std::string::npos) << d.last[0].line;
    read = this->records().today(t + 86400, 20);
    ASSERT_TRUE(read) << read.reason();
    d = *read;
    EXPECT_EQ(d.sent + d.failed + d.received, 0);
    EXPECT_TRUE(d.last.empty());
}

TYPED_TEST(StateStoresTest, WriteWithoutAnyLimitKeepsNothing) {
    msgrec_free(this->limits_.front());
    this->limits_.clear();
    EXPECT_EQ(this->write("SUCCESS", "10.0.0.1", "ann@x", "+6140", "NONE", "rec", true), 0);
}

TYPED_TEST(StateStoresTest, MessageLogKeepsOnePairInOrderAndTheLatestByTime) {
    MessageLogStore& log = this->msglog_a();
    const std::time_t t = g_now.load();
    ASSERT_TRUE(log.store("+61400", "ann@example.com"));
    g_now = t + 10;
    ASSERT_TRUE(log.store("+61400", "bob@example.com"));
    g_now = t + 20;
    // The other gateway stores the first address again, in other case: still one pair.
    ASSERT_TRUE(this->msglog_b().store("+61400", "ANN@example.com"));
    std::string email;
    EXPECT_EQ(log.lookup("+61400", 0, email), 2);
    EXPECT_EQ(email, "ann@example.com") << "entry 0 is the pair stored first, as first spelt";
    EXPECT_EQ(log.lookup("+61400", 1, email), 2);
    EXPECT_EQ(email, "bob@example.com");
    EXPECT_EQ(log.lookup("+61400", 2, email), 2);
    EXPECT_EQ(email, "");
    ASSERT_EQ(log.latest("+61400", email), 1);
    EXPECT_EQ(email, "ann@example.com") << "stored again last";
    // Phones compare exactly; an unknown phone has nothing.
    EXPECT_EQ(log.lookup("+61401", 0, email), 0);
    EXPECT_EQ(log.latest("+61401", email), 0);
    // Equal times: the earlier entry wins.
    ASSERT_TRUE(log.store("+61402", "x@y"));
    ASSERT_TRUE(log.store("+61402", "z@y"));
    ASSERT_EQ(this->msglog_b().latest("+61402", email), 1);
    EXPECT_EQ(email, "x@y");
}

TYPED_TEST(StateStoresTest, PoolBindsTheLowestFreeNumberAndReusesAnIdleOne) {
    PhonePoolStore& pool = this->pool_a();
    const std::time_t t = g_now.load();
    EXPECT_EQ(pool.bind("ann@x"), "+614001000");
    EXPECT_EQ(this->pool_b().bind("bob@x"), "+614001001") << "the other gateway sees it taken";
    EXPECT_EQ(pool_in(pool, "+614001001"), "bob@x");
    EXPECT_EQ(pool_in(this->pool_b(), "+614001000"), "ann@x");
    const struct {
        const char* number;
        const char* why;
    } misses[] = {{"+614001002", "free"},
                  {"+614001005", "past the range"},
                  {"+61400999", "before the range"},
                  {"alpha", "not a number"}};
    for (const auto& m : misses) {
        SCOPED_TRACE(m.why);
        EXPECT_EQ(pool_in(pool, m.number), std::nullopt);
    }
    // A day later 1000 was used again (a message in) and stays; 1001 is idle and is reused.
    g_now = t + 43200;
    ASSERT_EQ(pool_in(pool, "+614001000"), "ann@x");
    g_now = t + 86401;
    EXPECT_EQ(pool.bind("cy@x"), "+614001001");
    EXPECT_EQ(pool_in(pool, "+614001001"), "cy@x");
    EXPECT_EQ(pool.bind("d@x"), "+614001002");
    EXPECT_EQ(pool.bind("e@x"), "+614001003");
    EXPECT_EQ(pool.bind("f@x"), "+614001004");
    EXPECT_EQ(pool.bind("g@x"), std::nullopt) << "every number in use";
}

TYPED_TEST(StateStoresTest, PoolNeverBindsANumberTwiceUnderConcurrentSenders) {
    std::vector<std::optional<std::string>> got(12);
    std::vector<std::thread> threads;
    for (int i = 0; i < 12; ++i)
        threads.emplace_back([&, i] {
            PhonePoolStore& p = i % 2 ? this->pool_a() : this->pool_b();
            got[static_cast<std::size_t>(i)] = p.bind("s" + std::to_string(i) + "@x");
        });
    for (auto& th : threads) th.join();
    std::set<std::string> numbers;
    int none = 0;
    for (std::size_t i = 0; i < got.size(); ++i) {
        if (!got[i]) {
            ++none;
            continue;
        }
        EXPECT_TRUE(numbers.insert(*got[i]).second) << *got[i] << " bound twice";
        EXPECT_EQ(pool_in(this->pool_a(), *got[i]), "s" + std::to_string(i) + "@x");
    }
    EXPECT_EQ(numbers.size(), 5u);
    EXPECT_EQ(none, 7);
}

TYPED_TEST(StateStoresTest, ReservationsHoldTheLimitAndGiveBack) {
    LimitStore& l = this->limits_a();
    msgrecs* mr = this->limit();  // from 3, to 2, user 2, ip none
    struct Step {
        const char* what;
        int kind;
        const char* key;
        int units;
        bool check;
        int expect;
    };
    const Step steps[] = {
        {"first", MSGREC_FROM, "ann@x", 1, true, 1},
        {"other case, same key", MSGREC_FROM, "ANN@X", 1, true, 1},
        {"third reaches the limit", MSGREC_FROM, "ann@x", 1, true, 1},
        {"fourth refused", MSGREC_FROM, "ann@x", 1, true, 0},
        {"unchecked units always taken", MSGREC_FROM, "ann@x", 2, false, 1},
        {"other key apart", MSGREC_FROM, "bob@x", 1, true, 1},
        {"other kind apart", MSGREC_TO, "ann@x", 1, true, 1},
        {"no ip limit", MSGREC_IP, "10.0.0.1", 1, true, 1},
        {"user kind", MSGREC_USER, "ann", 1, true, 1},
        {"bad kind", MSGREC_KINDS, "x", 1, true, 0},
        {"negative units", MSGREC_FROM, "zed@x", -1, false, 0},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        EXPECT_EQ(l.reserve(mr, s.kind, s.key, s.units, s.check), s.expect);
    }
    EXPECT_EQ(l.reserve(nullptr, MSGREC_FROM, "x", 1, true), 0);
    EXPECT_EQ(l.count(mr, MSGREC_FROM, "ann@x"), 5);
    // Units given back make room again, never below nothing.
    l.unreserve(mr, MSGREC_FROM, "ann@x", 3);
    EXPECT_EQ(l.count(mr, MSGREC_FROM, "ann@x"), 2);
    EXPECT_EQ(this->limits_b().reserve(mr, MSGREC_FROM, "ann@x", 1, true), 1);
    EXPECT_EQ(this->limits_b().reserve(mr, MSGREC_FROM, "ann@x", 1, true), 0);
    l.unreserve(mr, MSGREC_FROM, "ann@x", 50);
    EXPECT_EQ(l.count(mr, MSGREC_FROM, "ann@x"), 0);
}

TYPED_TEST(StateStoresTest, SentSmsStayCountedAndExpireAfterAPeriodWithoutChange) {
    LimitStore& l = this->limits_a();
    msgrecs* mr = this->limit();  // to 2, period 24 hours
    const std::time_t t = g_now.load();
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(l.reserve(mr, MSGREC_TO, "+6140", 1, true), 1);
        ASSERT_EQ(this->write("SUCCESS", "c", "f", "+6140", "NONE", "rec", true, true), 1);
    }
    EXPECT_EQ(l.count(mr, MSGREC_TO, "+6140"), 2) << "each sent SMS counted once";
    // Refused attempts through the period are no change: they do not keep the counts alive.
    for (int h = 1; h <= 24; h += 4) {
        g_now = t + h * 3600;
        EXPECT_EQ(this->limits_b().reserve(mr, MSGREC_TO, "+6140", 1, true), 0) << h;
    }
    g_now = t + 24 * 3600 + 1;
    EXPECT_EQ(l.count(mr, MSGREC_TO, "+6140"), 0) << "a whole period without change";
    EXPECT_EQ(l.reserve(mr, MSGREC_TO, "+6140", 1, true), 1);
    EXPECT_EQ(this->limits_b().reserve(mr, MSGREC_TO, "+6140", 1, true), 1);
    EXPECT_EQ(l.reserve(mr, MSGREC_TO, "+6140", 1, true), 0) << "counting again from zero";
}

TYPED_TEST(StateStoresTest, CountsAreListedForDisplayAndResetByTheKeyShown) {
    LimitStore& l = this->limits_a();
    msgrecs* mr = this->limit();  // from 3
    auto sent = [&](const char* from) {
        ASSERT_EQ(l.reserve(mr, MSGREC_FROM, from, 1, true), 1);
        ASSERT_EQ(this->write("SUCCESS", "c", from, "+6140", "NONE", "rec", true, true), 1);
    };
    sent("Ann@X");
    sent("ann@x");
    sent("bob@x");
    auto folded = [&]() {
        std::map<std::string, int> m;
        for (auto& [k, n] : l.entries(mr, MSGREC_FROM)) m[msgrec_key(k)] += n;
        return m;
    };
    EXPECT_EQ(folded(), (std::map<std::string, int>{{"ann@x", 2}, {"bob@x", 1}}));
    EXPECT_EQ(l.entries(mr, MSGREC_FROM).size(), 2u) << "one row per key, whatever its case";
    EXPECT_TRUE(l.entries(mr, MSGREC_USER).empty()) << "no name was counted";
    EXPECT_TRUE(l.entries(nullptr, MSGREC_FROM).empty());
    // The key as shown resets it, and only it; a key nobody counted is not there.
    std::string shown;
    for (auto& [k, n] : l.entries(mr, MSGREC_FROM))
        if (msgrec_key(k) == "ann@x") shown = k;
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(l.reset(mr, MSGREC_FROM, shown), 1);
    EXPECT_EQ(folded(), (std::map<std::string, int>{{"ann@x", 0}, {"bob@x", 1}}));
    EXPECT_EQ(l.reserve(mr, MSGREC_FROM, "ann@x", 1, true), 1) << "room again after the reset";
    EXPECT_EQ(l.reset(mr, MSGREC_FROM, "nobody@x"), -1);
    EXPECT_EQ(l.reset(mr, MSGREC_KINDS, shown), -1);
}

TYPED_TEST(StateStoresTest, FiftyConcurrentSendersOnTwoGatewaysNeverPassALimitOfTen) {
    Result<msgrecs_ptr> made =
        msgrec_init(this->own_.registry, "ten", this->dir_, '|', "1", 0, 10, 0, 0);
    ASSERT_TRUE(made) << made.reason();
    msgrecs_ptr ten = std::move(*made);
    std::atomic<int> admitted{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 50; ++i)
        threads.emplace_back([&, i] {
            LimitStore& l = i % 2 ? this->limits_a() : this->limits_b();
            if (l.reserve(ten.get(), MSGREC_FROM, "flood@x", 1, true) == 1) ++admitted;
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(admitted.load(), 10);
    EXPECT_EQ(this->limits_a().count(ten.get(), MSGREC_FROM, "flood@x"), 10);
    msgrec_free(ten);
}

// Two gateways in one process on files, each with its own directory, limits, log and pool:
// what one keeps, counts or binds, the other never sees.
TEST(StateStoresFiles, TwoGatewaysInOneProcessShareNothing) {
    struct Side {
        std::string dir;
        Owned own;
        msgrecs_ptr limit;
        StateStores stores;
        ~Side() {
            std::error_code ec;
            if (!dir.empty()) fs::remove_all(dir, ec);
        }
    };
    g_now = midday();
    Side sides[2];
    for (Side& s : sides) {
        char tmpl[] = "/tmp/state_stores_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        s.dir = tmpl;
        s.own.registry.set_clock(fake_now);
        Result<msgrecs_ptr> mr = msgrec_init(s.own.registry, "msgrec", s.dir, '|', "24", 0, 3, 2);
        ASSERT_TRUE(mr) << mr.reason();
        s.limit = std::move(*mr);
        ASSERT_TRUE(s.own.log.load(s.dir + "/msglog.dat", '|').ok());
        s.own.pool.init(s.dir, "+61", "0400", kPoolMin, kPoolMax);
        s.stores = file_state_stores(s.own.registry, s.own.log, s.own.pool);
    }
    Side& a = sides[0];
    Side& b = sides[1];
    ASSERT_EQ(a.stores.limits->reserve(a.limit.get(), MSGREC_FROM, "ann@x", 1, true), 1);
    ASSERT_EQ(state_write(a.stores, "SUCCESS", "c", "ann@x", "+6140", "NONE", "rec", true, true),
              1);
    ASSERT_TRUE(a.stores.msglog->store("+6140", "ann@x"));
    ASSERT_EQ(a.stores.phones->bind("ann@x"), "+614001000");

    EXPECT_EQ(b.stores.limits->count(b.limit.get(), MSGREC_FROM, "ann@x"), 0);
    Result<DayOutcomes> today = b.stores.records->today(g_now.load(), 20);
    ASSERT_TRUE(today) << today.reason();
    EXPECT_EQ(today->sent, 0);
    EXPECT_TRUE(today->last.empty());
    std::string email;
    EXPECT_EQ(b.stores.msglog->lookup("+6140", 0, email), 0);
    EXPECT_EQ(b.own.log.size(), 0);
    EXPECT_EQ(pool_in(*b.stores.phones, "+614001000"), std::nullopt);
    EXPECT_EQ(b.stores.phones->bind("bob@x"), "+614001000") << "its own lowest number is free";
    EXPECT_FALSE(fs::exists(b.dir + "/msglog.dat")) << "nothing appended to the other's log";

    // The first side still has exactly its own.
    today = a.stores.records->today(g_now.load(), 20);
    ASSERT_TRUE(today) << today.reason();
    EXPECT_EQ(today->sent, 1);
    EXPECT_EQ(a.stores.limits->count(a.limit.get(), MSGREC_FROM, "ann@x"), 1);
    EXPECT_EQ(pool_in(*a.stores.phones, "+614001000"), "ann@x");
    EXPECT_EQ(a.stores.msglog->lookup("+6140", 0, email), 1);
    EXPECT_EQ(email, "ann@x");
}

// A database that is away: nothing is taken for an answer. Records and log entries are
// reported lost, look-ups say they could not read (so an answer SMS is not bounced as
// unknown), the pool binds nothing and a reservation is let through (the queue on the same
// database refuses the mail then, with its own reason).
TEST(StateStoresPgDown, EveryOperationSaysTheStoreIsAway) {
    const std::string dsn = pg_unreachable_dsn();
    LimitRegistry registry;
    StateStores s = pg_state_stores(dsn, '|', phone_range_of("+61", "", 0, 10), registry, nullptr);
    Result<msgrecs_ptr> made =
        msgrec_init(registry, "down", "/nonexistent-dir", '|', "24", 0, 1, 0, 0);
    ASSERT_TRUE(made) << made.reason();
    msgrecs_ptr mr = std::move(*made);
    EXPECT_FALSE(s.records->write("SUCCESS", "c", "f", "t", "NONE", "rec", std::time(nullptr)));
    Result<std::string> day = s.records->day("20240131", "rec");
    ASSERT_FALSE(day);
    EXPECT_FALSE(day.reason().empty());
    Result<DayOutcomes> today = s.records->today(std::time(nullptr), 20);
    ASSERT_FALSE(today);
    EXPECT_FALSE(today.reason().empty());
    EXPECT_FALSE(s.msglog->store("+6140", "ann@x"));
    std::string email = "stale";
    EXPECT_EQ(s.msglog->lookup("+6140", 0, email), -1);
    EXPECT_EQ(email, "");
    EXPECT_EQ(s.msglog->latest("+6140", email), 0);
    bool unavailable = false;
    EXPECT_EQ(s.phones->in("+613", unavailable), std::nullopt);
    EXPECT_TRUE(unavailable);
    unavailable = false;
    EXPECT_EQ(s.phones->in("not a pool number", unavailable), std::nullopt);
    EXPECT_FALSE(unavailable) << "no need to ask the database about it";
    EXPECT_EQ(s.phones->bind("ann@x"), std::nullopt);
    EXPECT_EQ(s.limits->reserve(mr.get(), MSGREC_FROM, "ann@x", 1, true), 1);
    EXPECT_EQ(s.limits->count(mr.get(), MSGREC_FROM, "ann@x"), 0);
    msgrec_free(mr);
}

}  // namespace
}  // namespace tolvane
