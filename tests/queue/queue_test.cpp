// The queue journal and its file store: record layout and damage, durability across a
// reopen, replay order, group commit, segment deletion, a full disk and the zeros the
// journal writes ahead of its records.
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "../gateway/mail_log_capture.h"
#include "foundation/lib.h"
#include "queue/queue.h"
#include "queue/queue_journal.h"
#include "sample_entry.h"
#include "support/status_check.h"

namespace tolvane {
namespace {

namespace fs = std::filesystem;

class TempDir {
  public:
    TempDir() {
        std::string tmpl = (fs::temp_directory_path() / "queueXXXXXX").string();
        path_ = mkdtemp(tmpl.data());
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }
    std::string queue() const { return path_ + "/queue"; }

  private:
    std::string path_;
};

queue_entry entry(const std::string& dest, int kind = QUEUE_MAIL_TO_SMS) {
    return sample_entry(dest, kind);
}

std::unique_ptr<QueueStore> open_store(const std::string& dir, queue_file_options o = {}) {
    Result<std::unique_ptr<QueueStore>> q = queue_file_open(dir, o);
    EXPECT_TRUE(succeeded(q));
    return q ? std::move(*q) : nullptr;
}

std::vector<std::string> segments(const std::string& dir) {
    std::vector<std::string> out;
    for (const auto& f : fs::directory_iterator(dir))
        if (f.path().extension() == ".jnl") out.push_back(f.path().string());
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::string> destinations(const std::vector<queue_entry>& list) {
    std::vector<std::string> out;
    for (const queue_entry& e : list) out.push_back(e.destination);
    return out;
}

bool enqueue_one(QueueStore& q, queue_entry e, std::uint64_t* id = nullptr) {
    std::vector<queue_entry> b{std::move(e)};
    Status stored = q.enqueue(b);
    EXPECT_TRUE(succeeded(stored));
    if (id != nullptr) *id = b[0].id;
    return stored.ok();
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_file(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

// Where a segment's whole records end (the file may go on with the zeros the writer keeps
// ahead of them), and where each of them starts.
struct RecordsEnd {
    std::size_t end = 0;
    std::size_t last = 0;  // where the last one starts (0 when there is none)
    std::vector<std::size_t> starts;
};
RecordsEnd records_end(const std::string& path) {
    std::string data = read_file(path);
    RecordsEnd r;
    journal_record rec;
    std::size_t used = 0;
    while (journal_decode(std::string_view(data).substr(r.end), rec, used) == JournalRead::OK) {
        r.last = r.end;
        r.starts.push_back(r.end);
        r.end += used;
    }
    return r;
}

// Copies the journal as it is on disk while a store still has it open: what a restart
// after kill -9 finds (no close, so no cut of the zeros ahead of the records).
void snapshot(const std::string& from, const std::string& to) {
    fs::create_directories(to);
    for (const std::string& seg : segments(from))
        fs::copy_file(seg, to + "/" + fs::path(seg).filename().string());
}

bool logged(LogCapture& log, const std::string& prefix) {
    for (const std::string& m : log.messages())
        if (m.find(prefix) == 0) return true;
    return false;
}

// Caps the size of files this process writes, so the next write past it fails as on a
// full disk (EFBIG; the signal the kernel would send is ignored meanwhile). The cap is
// lifted by lift() or, should an assertion end the test first, when it goes.
class FileSizeCap {
  public:
    explicit FileSizeCap(std::uintmax_t bytes) {
        struct sigaction ign {};
        ign.sa_handler = SIG_IGN;
        if (sigaction(SIGXFSZ, &ign, &old_) != 0 || getrlimit(RLIMIT_FSIZE, &was_) != 0) return;
        rlimit small = was_;
        small.rlim_cur = static_cast<rlim_t>(bytes);
        capped_ = setrlimit(RLIMIT_FSIZE, &small) == 0;
    }
    ~FileSizeCap() { (void)lift(); }
    FileSizeCap(const FileSizeCap&) = delete;
    FileSizeCap& operator=(const FileSizeCap&) = delete;
    bool ok() const { return capped_; }
    bool lift() {
        if (!capped_) return true;
        capped_ = false;
        bool restored = setrlimit(RLIMIT_FSIZE, &was_) == 0;
        sigaction(SIGXFSZ, &old_, nullptr);
        return restored;
    }

  private:
    struct sigaction old_ {};
    rlimit was_{};
    bool capped_ = false;
};

// ---- record layout ----

TEST(QueueJournal, Crc32cOfTheCheckString) {
    // The published check value of CRC-32C.
    EXPECT_EQ(crc32c(0, "123456789"), 0xE3069283u);
    EXPECT_EQ(crc32c(crc32c(0, "1234"), "56789"), 0xE3069283u);
}

TEST(QueueJournal, EveryRecordTypeRoundTrips) {
    std::vector<journal_record> recs(4);
    recs[0].type = JOURNAL_SEGMENT;
    recs[0].seq = 0x1122334455667788ull;
    recs[0].next_id = 42;
    recs[1].type = JOURNAL_ENQUEUED;
    recs[1].entries = {entry("+61411111111"), entry("a@b.example", QUEUE_SMS_TO_MAIL)};
    recs[1].entries[0].id = 7;
    recs[1].entries[1].id = 8;
    recs[1].entries[1].not_before_ms = -1;
    recs[2].type = JOURNAL_ATTEMPT;
    recs[2].id = 9;
    recs[2].attempts = 3;
    recs[2].not_before_ms = 1765000000123;
    recs[2].error = "Connection refused";
    recs[3].type = JOURNAL_DONE;
    recs[3].id = 10;
    recs[3].delivered = true;
    for (const journal_record& r : recs) {
        SCOPED_TRACE(static_cast<int>(r.type));
        std::string bytes;
        journal_encode(r, bytes);
        journal_record back;
        std::size_t used = 0;
        ASSERT_EQ(journal_decode(bytes, back, used), JournalRead::OK);
        EXPECT_EQ(used, bytes.size());
        EXPECT_EQ(back.type, r.type);
        EXPECT_EQ(back.seq, r.seq);
        EXPECT_EQ(back.next_id, r.next_id);
        EXPECT_EQ(back.id, r.id);
        EXPECT_EQ(back.attempts, r.attempts);
        EXPECT_EQ(back.not_before_ms, r.not_before_ms);
        EXPECT_EQ(back.delivered, r.delivered);
        EXPECT_EQ(back.error, r.error);
        ASSERT_EQ(back.entries.size(), r.entries.size());
        for (std::size_t i = 0; i < r.entries.size(); ++i) {
            EXPECT_EQ(back.entries[i].id, r.entries[i].id);
            EXPECT_EQ(back.entries[i].kind, r.entries[i].kind);
            EXPECT_EQ(back.entries[i].text, r.entries[i].text);
            EXPECT_EQ(back.entries[i].headers, r.entries[i].headers);
            EXPECT_EQ(back.entries[i].not_before_ms, r.entries[i].not_before_ms);
            EXPECT_EQ(back.entries[i].flags, r.entries[i].flags);
        }
    }
}

// A user name travels with its entry. A batch without one is written exactly as journals
// were before names were kept, so that such records (built here byte by byte from the
// layout, not by the encoder) still load, with no name.
TEST(QueueJournal, UserNamesAreKeptAndRecordsWithoutThemStillLoad) {
    auto le = [](std::string& out, std::uint64_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
    };
    auto text = [&](std::string& out, const std::string& t) {
        le(out, t.size(), 4);
        out += t;
    };
    std::string body(1, static_cast<char>(1));  // ENQUEUED
    le(body, 1, 4);                             // one entry
    le(body, 77, 8);                            // id
    le(body, QUEUE_MAIL_TO_SMS, 4);
    le(body, 5, 4);              // flags
    le(body, 2, 4);              // attempts
    le(body, 1765000000000, 8);  // enqueued
    le(body, 0, 8);              // not before
    for (const char* t : {"+61433333333", "+6140", "ann@x", "hi", "ann@x", "10.0.0.1", ""})
        text(body, t);
    le(body, 1, 4);  // one header
    text(body, "Subject");
    text(body, "s");
    std::string old;
    le(old, body.size() - 1, 4);
    le(old, crc32c(0, body), 4);
    old += body;

    struct Case {
        const char* name;
        std::vector<std::string> users;  // one entry per name
        std::uint8_t type_written;
    };
    const Case cases[] = {
        {"no names: the old record type", {"", ""}, JOURNAL_ENQUEUED},
        {"one name among others", {"", "bob", ""}, JOURNAL_ENQUEUED_USERS},
        {"every entry named", {"carol", std::string("d\0e", 3)}, JOURNAL_ENQUEUED_USERS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        journal_record r;
        r.type = JOURNAL_ENQUEUED;
        for (const std::string& u : c.users) {
            r.entries.push_back(entry("+61400000001"));
            r.entries.back().user = u;
        }
        std::string bytes;
        journal_encode(r, bytes);
        ASSERT_GT(bytes.size(), JOURNAL_HEADER);
        EXPECT_EQ(static_cast<std::uint8_t>(bytes[8]), c.type_written);
        journal_record back;
        std::size_t used = 0;
        ASSERT_EQ(journal_decode(bytes, back, used), JournalRead::OK);
        EXPECT_EQ(back.type, JOURNAL_ENQUEUED);
        ASSERT_EQ(back.entries.size(), c.users.size());
        for (std::size_t i = 0; i < c.users.size(); ++i)
            EXPECT_EQ(back.entries[i].user, c.users[i]);
    }

    journal_record back;
    std::size_t used = 0;
    ASSERT_EQ(journal_decode(old, back, used), JournalRead::OK);
    EXPECT_EQ(used, old.size());
    ASSERT_EQ(back.entries.size(), 1u);
    EXPECT_EQ(back.entries[0].id, 77u);
    EXPECT_EQ(back.entries[0].destination, "+61433333333");
    EXPECT_EQ(back.entries[0].client, "10.0.0.1");
    EXPECT_EQ(back.entries[0].attempts, 2u);
    EXPECT_EQ(back.entries[0].headers.size(), 1u);
    EXPECT_EQ(back.entries[0].user, "");
    // The new type cut after an entry, before its name, is damage, not an entry without one.
    journal_record named;
    named.type = JOURNAL_ENQUEUED;
    named.entries = {entry("+61400000002")};
    named.entries[0].user = "bob";
    std::string bytes;
    journal_encode(named, bytes);
    std::string body2 = bytes.substr(8, bytes.size() - 8 - 7);  // without the name's 4+3 bytes
    std::string cut;
    le(cut, body2.size() - 1, 4);
    le(cut, crc32c(0, body2), 4);
    cut += body2;
    EXPECT_EQ(journal_decode(cut, back, used), JournalRead::CORRUPT);
}

TEST(QueueJournal, EveryCutShortRecordIsTornNeverRead) {
    journal_record r;
    r.type = JOURNAL_ENQUEUED;
    r.entries = {entry("+61422222222")};
    std::string bytes;
    journal_encode(r, bytes);
    for (std::size_t n = 1; n < bytes.size(); ++n) {
        SCOPED_TRACE(n);
        journal_record back;
        std::size_t used = 99;
        EXPECT_EQ(journal_decode(std::string_view(bytes).substr(0, n), back, used),
                  JournalRead::TORN);
        EXPECT_EQ(used, 0u);
    }
    journal_record back;
    std::size_t used = 0;
    EXPECT_EQ(journal_decode("", back, used), JournalRead::END);
}

TEST(QueueJournal, AnyFlippedByteIsCorruptOrTorn) {
    journal_record r;
    r.type = JOURNAL_DONE;
    r.id = 77;
    r.error = "x";
    std::string bytes;
    journal_encode(r, bytes);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        SCOPED_TRACE(i);
        std::string bad = bytes;
        bad[i] = static_cast<char>(bad[i] ^ 0x10);
        journal_record back;
        std::size_t used = 0;
        JournalRead res = journal_decode(bad, back, used);
        // A flipped length byte may announce more than is there: torn, also never read.
        EXPECT_TRUE(res == JournalRead::CORRUPT || res == JournalRead::TORN);
    }
}

TEST(QueueJournal, HugeLengthIsCorruptNotAWaitForMore) {
    std::string bytes(JOURNAL_HEADER, '\0');
    bytes[3] = '\x7f';  // about 2 GiB
    journal_record back;
    std::size_t used = 0;
    EXPECT_EQ(journal_decode(bytes, back, used), JournalRead::CORRUPT);
}

TEST(QueueJournal, ValidChecksumOverAMalformedPayloadIsCorrupt) {
    // A payload whose text length points past its end, with a correct checksum.
    std::string body;
    body.push_back(static_cast<char>(JOURNAL_DONE));
    body.append(8, '\0');
    body.push_back(1);
    body.append("\xff\x00\x00\x00", 4);
    std::string bytes;
    std::uint32_t len = static_cast<std::uint32_t>(body.size() - 1);
    std::uint32_t crc = crc32c(0, body);
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>((len >> (8 * i)) & 0xff));
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>((crc >> (8 * i)) & 0xff));
    bytes += body;
    journal_record back;
    std::size_t used = 0;
    EXPECT_EQ(journal_decode(bytes, back, used), JournalRead::CORRUPT);
}

// Zeros where a header would start are the end of the records (the room a writer keeps
// ahead of them); a record cut short with zeros after it is never taken for that end.
TEST(QueueJournal, ZerosWhereAHeaderWouldStartEndTheRecords) {
    for (std::size_t n : {std::size_t{1}, JOURNAL_HEADER - 1, JOURNAL_HEADER, JOURNAL_HEADER + 1,
                          std::size_t{4096}}) {
        SCOPED_TRACE(n);
        journal_record back;
        std::size_t used = 99;
        EXPECT_EQ(journal_decode(std::string(n, '\0'), back, used), JournalRead::END);
        EXPECT_EQ(used, 0u);
    }
    // A zero length and checksum before a type byte that was written: damage, not the end.
    std::string head(JOURNAL_HEADER - 1, '\0');
    head.push_back(static_cast<char>(JOURNAL_DONE));
    head.append(32, '\0');
    journal_record back;
    std::size_t used = 0;
    EXPECT_EQ(journal_decode(head, back, used), JournalRead::CORRUPT);

    journal_record r;
    r.type = JOURNAL_ENQUEUED;
    r.entries = {entry("+61422222223")};
    std::string bytes;
    journal_encode(r, bytes);
    ASSERT_NE(bytes[0], '\0') << "the case below needs a first byte that is not zero";
    for (std::size_t k = 1; k < bytes.size(); ++k) {
        SCOPED_TRACE(k);
        // The first k bytes written, the rest still the zeros written ahead.
        std::string torn = bytes.substr(0, k) + std::string(bytes.size() + 64 - k, '\0');
        JournalRead res = journal_decode(torn, back, used);
        EXPECT_TRUE(res == JournalRead::CORRUPT || res == JournalRead::TORN)
            << static_cast<int>(res);
    }
}

// No record has an empty payload, so none can start with zeros: the smallest record of
// each type still has a length that is not zero.
TEST(QueueJournal, EveryRecordTypeHasAPayload) {
    for (JournalType t : {JOURNAL_SEGMENT, JOURNAL_ENQUEUED, JOURNAL_ATTEMPT, JOURNAL_DONE}) {
        SCOPED_TRACE(static_cast<int>(t));
        journal_record r;
        r.type = t;  // every number zero, every text and list empty
        std::string bytes;
        journal_encode(r, bytes);
        ASSERT_GE(bytes.size(), JOURNAL_HEADER);
        EXPECT_NE(bytes.substr(0, 4), std::string(4, '\0'));
        journal_record back;
        std::size_t used = 0;
        EXPECT_EQ(journal_decode(bytes + std::string(16, '\0'), back, used), JournalRead::OK);
        EXPECT_EQ(used, bytes.size());
    }
}

// ---- the file store ----

TEST(QueueFile, EntriesSurviveAReopenWholeAndInOrder) {
    TempDir t;
    std::vector<std::uint64_t> ids;
    {
        auto q = open_store(t.queue());
        std::vector<queue_entry> batch{entry("+61400000010"), entry("+61400000011")};
        ASSERT_TRUE(succeeded(q->enqueue(batch)));
        EXPECT_LT(batch[0].id, batch[1].id);
        EXPECT_GT(batch[0].enqueued_ms, 0);
        std::uint64_t id = 0;
        enqueue_one(*q, entry("someone@example.org", QUEUE_SMS_TO_MAIL), &id);
        EXPECT_GT(id, batch[1].id);
    }
    auto q = open_store(t.queue());
    std::vector<queue_entry> all = q->list(0);
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(destinations(all),
              (std::vector<std::string>{"+61400000010", "+61400000011", "someone@example.org"}));
    const queue_entry want = entry("+61400000010");
    EXPECT_EQ(all[0].text, want.text);
    EXPECT_EQ(all[0].originator, want.originator);
    EXPECT_EQ(all[0].sender, want.sender);
    EXPECT_EQ(all[0].billing, want.billing);
    EXPECT_EQ(all[0].client, want.client);
    EXPECT_EQ(all[0].headers, want.headers);
    EXPECT_EQ(all[0].flags, want.flags);
    EXPECT_EQ(q->list(QUEUE_SMS_TO_MAIL).size(), 1u);
    // New entries continue after the old ids.
    std::uint64_t id = 0;
    enqueue_one(*q, entry("+61400000012"), &id);
    EXPECT_GT(id, all[2].id);
}

TEST(QueueFile, ReplayDropsDoneEntriesAndKeepsAttemptsAndOrder) {
    TempDir t;
    std::vector<std::uint64_t> id(5);
    {
        auto q = open_store(t.queue());
        for (int i = 0; i < 5; ++i)
            enqueue_one(*q, entry("+6140000002" + std::to_string(i)), &id[i]);
        // Take the first two, finish the second; the first fails once and is given back.
        auto a = q->claim(QUEUE_MAIL_TO_SMS, 0);
        auto b = q->claim(QUEUE_MAIL_TO_SMS, 0);
        ASSERT_TRUE(a && b);
        EXPECT_EQ(a->id, id[0]);
        EXPECT_EQ(b->id, id[1]);
        ASSERT_TRUE(succeeded(q->attempt(a->id)));
        ASSERT_TRUE(succeeded(q->attempt(b->id)));
        ASSERT_TRUE(succeeded(q->complete(b->id, true, "")));
        q->release(a->id, "Connection refused", 0);
        auto d = q->claim(QUEUE_MAIL_TO_SMS, 0);  // the released one comes first again
        ASSERT_TRUE(d);
        EXPECT_EQ(d->id, id[0]);
        auto c = q->claim(QUEUE_MAIL_TO_SMS, 0);
        ASSERT_TRUE(c);
        EXPECT_EQ(c->id, id[2]);
        ASSERT_TRUE(succeeded(q->complete(id[3], false, "expired in queue")));
        // A crash now: the claims of a and c are not durable.
    }
    auto q = open_store(t.queue());
    std::vector<queue_entry> all = q->list(0);
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].id, id[0]);
    EXPECT_EQ(all[1].id, id[2]);
    EXPECT_EQ(all[2].id, id[4]);
    EXPECT_EQ(all[0].attempts, 1u);
    EXPECT_EQ(all[0].last_error, "Connection refused");
    EXPECT_EQ(all[1].attempts, 0u);
    // Every one is ready again, oldest first.
    for (std::uint64_t want : {id[0], id[2], id[4]}) {
        auto e = q->claim(QUEUE_MAIL_TO_SMS, 0);
        ASSERT_TRUE(e);
        EXPECT_EQ(e->id, want);
    }
    EXPECT_FALSE(q->claim(QUEUE_MAIL_TO_SMS, 0));
}

TEST(QueueFile, ClaimedEntriesAreNotHandedOutTwiceAndKindsStayApart) {
    TempDir t;
    auto q = open_store(t.queue());
    enqueue_one(*q, entry("+61400000030"));
    enqueue_one(*q, entry("x@example.org", QUEUE_SMS_TO_MAIL));
    auto a = q->claim(QUEUE_MAIL_TO_SMS, 0);
    ASSERT_TRUE(a);
    EXPECT_FALSE(q->claim(QUEUE_MAIL_TO_SMS, 0));
    auto b = q->claim(QUEUE_SMS_TO_MAIL, 0);
    ASSERT_TRUE(b);
    EXPECT_EQ(b->destination, "x@example.org");
    EXPECT_FALSE(q->claim(QUEUE_SMS_PART, 0));
    // Claimed entries still count as waiting and are listed.
    EXPECT_EQ(q->stats().waiting, 2u);
    EXPECT_EQ(q->list(0).size(), 2u);
}

TEST(QueueFile, ReleasedEntryWaitsForItsTime) {
    TempDir t;
    auto q = open_store(t.queue());
    std::uint64_t id = 0;
    enqueue_one(*q, entry("+61400000040"), &id);
    auto a = q->claim(QUEUE_MAIL_TO_SMS, 1000);
    ASSERT_TRUE(a);
    EXPECT_FALSE(q->next_ready(QUEUE_MAIL_TO_SMS, 1000));
    q->release(id, "busy", 5000);
    EXPECT_FALSE(q->claim(QUEUE_MAIL_TO_SMS, 4999));
    EXPECT_EQ(q->next_ready(QUEUE_MAIL_TO_SMS, 4999), std::optional<std::int64_t>(5000));
    auto b = q->claim(QUEUE_MAIL_TO_SMS, 5000);
    ASSERT_TRUE(b);
    EXPECT_EQ(b->last_error, "busy");
}

TEST(QueueFile, NotifyTellsTheKindThatBecameReady) {
    TempDir t;
    auto q = open_store(t.queue());
    std::vector<int> kinds;
    q->set_notify([&](int k) { kinds.push_back(k); });
    std::vector<queue_entry> batch{entry("a@b.example", QUEUE_SMS_TO_MAIL), entry("+6140")};
    ASSERT_TRUE(succeeded(q->enqueue(batch)));
    std::sort(kinds.begin(), kinds.end());
    EXPECT_EQ(kinds, (std::vector<int>{QUEUE_MAIL_TO_SMS, QUEUE_SMS_TO_MAIL}));
}

// Holds the first flush after `store` is set until `want` writers wait for the disk, so
// that every writer started meanwhile lines up behind it.
struct FlushGate {
    std::atomic<QueueStore*> store{nullptr};
    std::atomic<int> flushes{0};
    std::atomic<bool> held{false};
    std::atomic<std::size_t> want{0};
    void hold() {
        if (store.load() == nullptr || flushes.fetch_add(1) != 0) return;
        held = true;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (queue_file_waiters(store.load()) < want.load() &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    bool wait_held() const {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!held.load() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return held.load();
    }
};

// One writer's flush is held; the others start, each with an entry of its own, and return
// with their results in `whys` (empty when stored).
void writers_behind_one_flush(QueueStore& q, FlushGate& gate, int n,
                              std::vector<std::string>& whys) {
    whys.assign(static_cast<std::size_t>(n), "not run");
    auto write = [&](int i) {
        std::vector<queue_entry> b{entry("+614000001" + std::to_string(i))};
        whys[static_cast<std::size_t>(i)] = q.enqueue(b).reason();
    };
    std::vector<std::thread> writers;
    writers.emplace_back(write, 0);
    ASSERT_TRUE(gate.wait_held());
    for (int i = 1; i < n; ++i) writers.emplace_back(write, i);
    for (std::thread& w : writers) w.join();
}

TEST(QueueFile, ConcurrentWritersShareOneFlush) {
    TempDir t;
    constexpr int N = 12;
    FlushGate gate;
    gate.want = N;
    queue_file_options o;
    o.before_flush = [&] { gate.hold(); };
    auto q = open_store(t.queue(), o);
    gate.store = q.get();
    std::uint64_t before = queue_file_syncs(q.get());
    std::vector<std::string> whys;
    writers_behind_one_flush(*q, gate, N, whys);
    EXPECT_EQ(whys, std::vector<std::string>(N, ""));
    // The held writer's flush, then one for all the others.
    EXPECT_EQ(queue_file_syncs(q.get()) - before, 2u);
    EXPECT_EQ(q->list(0).size(), static_cast<std::size_t>(N));
}

TEST(QueueFile, FailedFlushFailsEveryWriterOfItsBatchAndKeepsNothing) {
    TempDir t;
    constexpr int N = 8;
    FlushGate gate;
    gate.want = N;
    queue_file_options o;
    o.before_flush = [&] { gate.hold(); };
    auto q = open_store(t.queue(), o);
    enqueue_one(*q, entry("+61400000190"));
    std::vector<std::string> segs = segments(t.queue());
    ASSERT_EQ(segs.size(), 1u);
    // The records' end, not the file's: the zeros ahead of them are no room for a record.
    auto used = records_end(segs[0]).end;
    ASSERT_LT(used, fs::file_size(segs[0])) << "written ahead";
    gate.store = q.get();
    std::uint64_t before = queue_file_syncs(q.get());
    // No byte more fits: every batch written from here on fails as on a full disk.
    FileSizeCap cap(used);
    ASSERT_TRUE(cap.ok());
    std::vector<std::string> whys;
    writers_behind_one_flush(*q, gate, N, whys);
    ASSERT_TRUE(cap.lift());
    EXPECT_EQ(whys, std::vector<std::string>(N, system_error(EFBIG)));
    EXPECT_EQ(queue_file_syncs(q.get()), before);  // nothing reached the point of a flush
    EXPECT_EQ(fs::file_size(segs[0]), used);
    EXPECT_EQ(destinations(q->list(0)), (std::vector<std::string>{"+61400000190"}));
    enqueue_one(*q, entry("+61400000191"));
    q.reset();
    q = open_store(t.queue());
    EXPECT_EQ(destinations(q->list(0)), (std::vector<std::string>{"+61400000190", "+61400000191"}));
}

TEST(QueueFile, DoneRecordIsInTheFileWhenCompleteReturnsAndIsFlushedSoonAfter) {
    TempDir t;
    // A slow flusher (a busy disk): complete() must not return before its record is
    // written, or a kill just after would send the finished entry again.
    std::atomic<bool> slow{false};
    queue_file_options o;
    o.before_flush = [&] {
        if (slow.load()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    };
    auto q = open_store(t.queue(), o);
    std::uint64_t id = 0;
    enqueue_one(*q, entry("+61400000195"), &id);
    ASSERT_TRUE(q->claim(QUEUE_MAIL_TO_SMS, 0).has_value());
    std::uint64_t before = queue_file_syncs(q.get());
    slow = true;
    ASSERT_TRUE(succeeded(q->complete(id, true, "")));
    // A reader beside the running store (as after a kill) finds the entry done without
    // the store being flushed or closed.
    queue_file_options ro;
    ro.read_only = true;
    EXPECT_EQ(open_store(t.queue(), ro)->list(0).size(), 0u);
    // With nothing else written, it is flushed on its own a moment later.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (queue_file_syncs(q.get()) == before && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(queue_file_syncs(q.get()), before + 1);
}

TEST(QueueFile, TornTailIsCutWithALogLineAndTheRestLoads) {
    TempDir t;
    LogCapture log;
    {
        auto q = open_store(t.queue());
        for (int i = 0; i < 3; ++i) enqueue_one(*q, entry("+6140000005" + std::to_string(i)));
    }
    std::vector<std::string> segs = segments(t.queue());
    ASSERT_EQ(segs.size(), 1u);
    auto size = records_end(segs[0]).end;
    EXPECT_EQ(fs::file_size(segs[0]), size) << "a closed segment keeps no zeros";
    fs::resize_file(segs[0], size - 3);
    {
        auto q = open_store(t.queue());
        EXPECT_EQ(destinations(q->list(0)),
                  (std::vector<std::string>{"+61400000050", "+61400000051"}));
        // Writing goes on in a new segment; the damaged one is cut to its whole records.
        enqueue_one(*q, entry("+61400000053"));
    }
    bool logged = false;
    for (const std::string& m : log.messages())
        if (m.find("Queue journal: torn record in " + segs[0]) == 0) logged = true;
    EXPECT_TRUE(logged);
    auto q = open_store(t.queue());
    EXPECT_EQ(destinations(q->list(0)),
              (std::vector<std::string>{"+61400000050", "+61400000051", "+61400000053"}));
}

// One damaged place in a closed segment of six entries (ids 1-6, one record each after
// the segment's own; with `done`, entry 2 finished in a seventh). A record whole in length
// whose check fails is stepped over to the next record that checks out, wherever it lies;
// the segment is kept as found in queue/damaged before it is written back with its whole
// records, and the entries lost are logged by id and counted for "tolvane -queue" until
// the copy goes. A record cut short by the end of the file stays a torn tail, cut off.
TEST(QueueFile, DamagedRecordsAreSteppedOverKeptAndCounted) {
    using Bytes = std::string;
    struct Range {
        std::size_t first, last;  // records skipped, by index (0: the segment's own)
        const char* tail;         // the line after "N bytes skipped "
    };
    struct Case {
        const char* name;
        bool done;
        std::function<void(Bytes&, const std::vector<std::size_t>&)> damage;
        std::vector<int> kept;  // entries that survive, by number 1-6
        std::vector<Range> ranges;
        std::size_t lost;
        std::size_t torn_at = 0;  // a torn record at this record (0: none)
    };
    auto flip = [](std::size_t rec, std::size_t off) {
        return [rec, off](Bytes& d, const std::vector<std::size_t>& at) {
            d[at[rec] + off] = static_cast<char>(d[at[rec] + off] ^ 0x04);
        };
    };
    // Inside an entry's destination: after the batch's count, the entry's id, kind, flags,
    // attempts and two times, and the text's length.
    const std::size_t TEXT = JOURNAL_HEADER + 4 + 8 + 4 + 4 + 4 + 8 + 8 + 4 + 3;
    const char* ONE_SKIPPED =
        "up to the next whole record; entries lost: 0; entries that may "
        "be sent again: 0";
    const Case cases[] = {
        {"segment header",
         false,
         flip(0, JOURNAL_HEADER + 2),
         {1, 2, 3, 4, 5, 6},
         {{0, 0, ONE_SKIPPED}},
         0},
        {"middle record",
         false,
         flip(2, TEXT),
         {1, 3, 4, 5, 6},
         {{2, 2,
           "up to the next whole record; entries lost: 1 (ids 2); entries that may be sent "
           "again: 0"}},
         1},
        {"last record",
         false,
         flip(6, TEXT),
         {1, 2, 3, 4, 5},
         {{6, 6,
           "to the end of its records; entries lost: 1 (ids 6); entries that may be sent "
           "again: 0"}},
         1},
        {"two damaged records",
         false,
         [&](Bytes& d, const std::vector<std::size_t>& at) {
             flip(2, TEXT)(d, at);
             flip(4, 5)(d, at);  // its checksum
         },
         {1, 3, 5, 6},
         {{2, 2,
           "up to the next whole record; entries lost: 1 (ids 2); entries that may be sent "
           "again: 0"},
          {4, 4,
           "up to the next whole record; entries lost: 1 (ids 4); entries that may be sent "
           "again: 0"}},
         2},
        {"two damaged records side by side",
         false,
         [&](Bytes& d, const std::vector<std::size_t>& at) {
             flip(3, TEXT)(d, at);
             flip(4, TEXT)(d, at);
         },
         {1, 2, 5, 6},
         {{3, 4,
           "up to the next whole record; entries lost: 2 (ids 3, 4); entries that may be sent "
           "again: 0"}},
         2},
        // The length no longer fits the record: its bytes cannot be read even without the
        // checksum, so any entry stored before it may have lost an attempt or done there.
        {"length pointing inside",
         false,
         flip(3, 0),
         {1, 2, 4, 5, 6},
         {{3, 3,
           "up to the next whole record; entries lost: 1 (ids 3); entries that may be sent "
           "again: 2 (ids 1, 2)"}},
         1},
        {"length pointing past the end",
         false,
         [](Bytes& d, const std::vector<std::size_t>& at) { d[at[3] + 2] = '\x10'; },
         {1, 2, 4, 5, 6},
         {{3, 3,
           "up to the next whole record; entries lost: 1 (ids 3); entries that may be sent "
           "again: 2 (ids 1, 2)"}},
         1},
        // Unreadable, with nothing stored after it: what it held cannot be told.
        {"last length pointing inside",
         false,
         flip(6, 0),
         {1, 2, 3, 4, 5},
         {{6, 6,
           "to the end of its records; entries lost: cannot be told; entries that may be sent "
           "again: 5 (ids 1, 2, 3, 4, 5)"}},
         0},
        // Nothing after it tells it from a write cut short: a torn tail, as ever.
        {"last length pointing past the end",
         false,
         [](Bytes& d, const std::vector<std::size_t>& at) { d[at[6] + 2] = '\x10'; },
         {1, 2, 3, 4, 5},
         {},
         0,
         6},
        {"torn tail",
         false,
         [](Bytes& d, const std::vector<std::size_t>&) { d.resize(d.size() - 3); },
         {1, 2, 3, 4, 5},
         {},
         0,
         6},
        // Losing entry 2's done record sends it again: said, with every entry it may be.
        {"done record",
         true,
         flip(7, JOURNAL_HEADER),
         {1, 2, 3, 4, 5, 6},
         {{7, 7,
           "to the end of its records; entries lost: 0; entries that may be sent again: 6 (ids "
           "1, 2, 3, 4, 5, 6)"}},
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir t;
        LogCapture log;
        {
            auto q = open_store(t.queue());
            for (int i = 1; i <= 6; ++i) enqueue_one(*q, entry("+6140000006" + std::to_string(i)));
            if (c.done) {
                ASSERT_TRUE(succeeded(q->complete(2, true, "")));
            }
        }
        std::vector<std::string> segs = segments(t.queue());
        ASSERT_EQ(segs.size(), 1u);
        const std::string& seg = segs[0];
        RecordsEnd rec = records_end(seg);
        ASSERT_EQ(rec.starts.size(), c.done ? 8u : 7u);
        std::vector<std::size_t> at = rec.starts;
        at.push_back(rec.end);
        std::string data = read_file(seg);
        c.damage(data, at);
        write_file(seg, data);

        std::vector<std::string> want;
        for (int n : c.kept) want.push_back("+6140000006" + std::to_string(n));
        {
            auto q = open_store(t.queue());
            EXPECT_EQ(destinations(q->list(0)), want);
            EXPECT_EQ(queue_file_lost(q.get()), c.lost);
        }
        for (const Range& r : c.ranges) {
            std::size_t end =
                r.last + 1 < at.size() - 1 ? at[r.last + 1] : data.find_last_not_of('\0') + 1;
            EXPECT_TRUE(logged(log, "Queue journal: corrupt record in " + seg + " at byte " +
                                        std::to_string(at[r.first]) + ", " +
                                        std::to_string(end - at[r.first]) + " bytes skipped " +
                                        r.tail))
                << "range at record " << r.first;
        }
        EXPECT_EQ(logged(log, "Queue journal: torn record in " + seg + " at byte " +
                                  std::to_string(at[c.torn_at]) + ","),
                  c.torn_at != 0);
        // The copy: kept once, as found, beside a note of what was lost; none for a tear.
        std::vector<std::string> copies, notes;
        if (fs::exists(t.queue() + "/damaged"))
            for (const auto& f : fs::directory_iterator(t.queue() + "/damaged"))
                (f.path().extension() == ".lost" ? notes : copies).push_back(f.path().string());
        EXPECT_EQ(copies.size(), c.ranges.empty() ? 0u : 1u);
        EXPECT_EQ(notes.size(), copies.size());
        if (copies.size() == 1 && notes.size() == 1) {
            EXPECT_EQ(read_file(copies[0]), data);
            EXPECT_EQ(fs::path(copies[0]).filename().string().rfind(
                          fs::path(seg).filename().string() + ".", 0),
                      0u);
            EXPECT_EQ(
                read_file(notes[0]).rfind("entries lost: " + std::to_string(c.lost) + "\n", 0), 0u);
        }
        // The segment now holds its whole records: read again, nothing more is skipped,
        // kept or lost, and the count stays until the copy goes.
        std::size_t lines = log.messages().size();
        {
            queue_file_options ro;
            ro.read_only = true;
            auto q = open_store(t.queue(), ro);
            EXPECT_EQ(destinations(q->list(0)), want);
            EXPECT_EQ(queue_file_lost(q.get()), c.lost);
        }
        {
            auto q = open_store(t.queue());
            EXPECT_EQ(destinations(q->list(0)), want);
            std::uint64_t id = 0;
            enqueue_one(*q, entry("+61400000070"), &id);
            // No id is given twice, unless what it was given to cannot be told.
            EXPECT_EQ(id, c.torn_at != 0 || std::string(c.name) == "last length pointing inside"
                              ? 6u
                              : 7u);
        }
        std::vector<std::string> after = log.messages();
        for (std::size_t i = lines; i < after.size(); ++i)
            EXPECT_EQ(after[i].find("Queue journal: corrupt"), std::string::npos) << after[i];
        if (copies.size() == 1 && notes.size() == 1) {
            fs::remove(copies[0]);
            fs::remove(notes[0]);
            queue_file_options ro;
            ro.read_only = true;
            EXPECT_EQ(queue_file_lost(open_store(t.queue(), ro).get()), 0u);
        }
    }
}

TEST(QueueFile, SegmentsGoOnlyWhenTheyAndAllOlderOnesAreDone) {
    TempDir t;
    queue_file_options o;
    o.segment_bytes = 1;  // every flush after the first record starts a new segment
    o.compact_max = 0;    // no entry is copied forward: deletion order alone is tested
    std::uint64_t a = 0, b = 0;
    {
        auto q = open_store(t.queue(), o);
        enqueue_one(*q, entry("+61400000070"), &a);
        enqueue_one(*q, entry("+61400000071"), &b);
        // The start-up segment went at the first rotation: one segment per entry is left.
        EXPECT_EQ(segments(t.queue()).size(), 2u);
        // b's segment is finished, but a's older one is not: nothing may go yet, or a's
        // DONE record (written later, in a newer segment) could be lost before a's entry.
        ASSERT_TRUE(succeeded(q->complete(b, true, "")));
        queue_file_flush(q.get());
        EXPECT_EQ(segments(t.queue()).size(), 3u);
        ASSERT_TRUE(succeeded(q->complete(a, true, "")));
        queue_file_flush(q.get());
        // Every segment but the newest is finished now.
        EXPECT_EQ(segments(t.queue()).size(), 1u);
        enqueue_one(*q, entry("+61400000073"));
    }
    EXPECT_EQ(segments(t.queue()).size(), 1u);
    auto q = open_store(t.queue(), o);
    EXPECT_EQ(destinations(q->list(0)), (std::vector<std::string>{"+61400000073"}));
    EXPECT_GT(q->list(0)[0].id, b);
}

// A segment that cannot be started (a directory holds its name) costs no mail: the journal
// says why and goes on writing the full segment, and what it stored there is read again.
TEST(QueueFile, SegmentThatCannotBeStartedLeavesTheFullOneInUse) {
    TempDir t;
    queue_file_options o;
    o.segment_bytes = 1;  // every flush after the first record starts a new segment
    std::string blocked;
    {
        auto q = open_store(t.queue(), o);
        ASSERT_NE(q, nullptr);
        std::vector<std::string> segs = segments(t.queue());
        ASSERT_EQ(segs.size(), 1u);
        unsigned long long seq = std::stoull(fs::path(segs[0]).stem().string(), nullptr, 16);
        blocked = t.queue() + "/" + strprintf("%016llx.jnl", seq + 1);
        fs::create_directory(blocked);
        LogCapture log;
        std::uint64_t id = 0;
        ASSERT_TRUE(enqueue_one(*q, entry("+61400000080"), &id));
        EXPECT_TRUE(log.has("Queue journal: cannot create " + blocked + ": " +
                            system_error(EISDIR)));
        ASSERT_TRUE(q->claim(QUEUE_MAIL_TO_SMS, 0));
        EXPECT_TRUE(succeeded(q->attempt(id))) << "the full segment takes the attempt";
        EXPECT_EQ(records_end(segs[0]).starts.size(), 3u) << "header, entry, attempt";
    }
    fs::remove(blocked);
    auto q = open_store(t.queue());
    ASSERT_NE(q, nullptr);
    std::vector<queue_entry> all = q->list(0);
    EXPECT_EQ(destinations(all), (std::vector<std::string>{"+61400000080"}));
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].attempts, 1u);
}

TEST(QueueFile, LongWaitingEntryDoesNotKeepEveryNewerSegment) {
    TempDir t;
    queue_file_options o;
    o.segment_bytes = 1;  // every flush starts a new segment
    std::uint64_t stuck = 0;
    {
        auto q = open_store(t.queue(), o);
        enqueue_one(*q, entry("+61400000120"), &stuck);
        auto s = q->claim(QUEUE_MAIL_TO_SMS, 0);
        ASSERT_TRUE(s);
        ASSERT_TRUE(succeeded(q->attempt(stuck)));
        q->release(stuck, "transport down", std::int64_t{1} << 50);  // not before long
        for (int i = 0; i < 40; ++i) {
            std::uint64_t id = 0;
            enqueue_one(*q, entry("+614000002" + std::to_string(10 + i)), &id);
            auto e = q->claim(QUEUE_MAIL_TO_SMS, 0);
            ASSERT_TRUE(e);
            ASSERT_EQ(e->id, id);
            ASSERT_TRUE(succeeded(q->complete(e->id, true, "")));
            queue_file_flush(q.get());
            SCOPED_TRACE(i);
            ASSERT_LE(segments(t.queue()).size(), 4u);
        }
    }
    auto q = open_store(t.queue(), o);
    std::vector<queue_entry> left = q->list(0);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].id, stuck);
    EXPECT_EQ(left[0].attempts, 1u);
    EXPECT_EQ(left[0].last_error, "transport down");
    EXPECT_EQ(left[0].not_before_ms, std::int64_t{1} << 50);
}

// An entry stored with its first attempt marked sends that attempt without a flush of its
// own; the count is on disk all the same, so a store read again (as after a crash) counts
// it whether or not the send was made. Anything that rewrites the count drops the mark.
TEST(QueueFile, FirstAttemptMarkedWithTheEntryNeedsNoFlushAndSurvivesARestart) {
    struct Case {
        const char* name;
        bool mark;
        std::uint32_t stored_attempts;  // attempts the entry already had when enqueued
        bool error_release_first;       // given back with an error before any attempt
        int attempt_calls;
        std::vector<int> syncs_per_call;  // flushes each attempt() waited for
        std::uint32_t memory_after;
        std::uint32_t reread;
    };
    const Case cases[] = {
        {"marked, never tried", true, 0, false, 0, {}, 0, 1},
        {"marked, tried once", true, 0, false, 1, {0}, 1, 1},
        {"marked, tried twice", true, 0, false, 2, {0, 1}, 2, 2},
        {"not marked", false, 0, false, 1, {1}, 1, 1},
        {"marked, error before the try", true, 0, true, 1, {1}, 1, 1},
        {"marked but tried before", true, 2, false, 1, {1}, 3, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir t;
        std::uint64_t id = 0;
        {
            auto q = open_store(t.queue());
            queue_entry e = entry("+61400000300");
            e.attempts = c.stored_attempts;
            e.mark_first_attempt = c.mark;
            enqueue_one(*q, e, &id);
            ASSERT_EQ(q->list(0).at(0).attempts, c.stored_attempts) << "nothing tried yet";
            ASSERT_TRUE(q->claim(QUEUE_MAIL_TO_SMS, 0));
            if (c.error_release_first) {
                q->release(id, "link down", 0);
                queue_file_flush(q.get());
                ASSERT_TRUE(q->claim(QUEUE_MAIL_TO_SMS, 0));
            }
            for (int n = 0; n < c.attempt_calls; ++n) {
                std::uint64_t before = queue_file_syncs(q.get());
                ASSERT_TRUE(succeeded(q->attempt(id)));
                EXPECT_EQ(static_cast<int>(queue_file_syncs(q.get()) - before),
                          c.syncs_per_call[static_cast<std::size_t>(n)])
                    << "attempt " << n;
            }
            EXPECT_EQ(q->list(0).at(0).attempts, c.memory_after);
        }
        auto q = open_store(t.queue());
        ASSERT_EQ(q->list(0).size(), 1u);
        EXPECT_EQ(q->list(0)[0].attempts, c.reread);
    }
}

// An entry copied forward out of an old segment keeps its marked attempt.
TEST(QueueFile, MarkedAttemptSurvivesTheCopyOutOfAnOldSegment) {
    TempDir t;
    queue_file_options o;
    o.segment_bytes = 1;  // every flush starts a new segment
    std::uint64_t waiting = 0;
    {
        auto q = open_store(t.queue(), o);
        // Of the other lane, so the claims below never take it.
        queue_entry e = entry("bob@corp.example", QUEUE_SMS_TO_MAIL);
        e.mark_first_attempt = true;
        enqueue_one(*q, e, &waiting);
        for (int i = 0; i < 12; ++i) {
            std::uint64_t id = 0;
            enqueue_one(*q, entry("+614000003" + std::to_string(10 + i)), &id);
            auto c = q->claim(QUEUE_MAIL_TO_SMS, 0);
            ASSERT_TRUE(c);
            ASSERT_TRUE(succeeded(q->complete(c->id, true, "")));
            queue_file_flush(q.get());
        }
        ASSERT_LE(segments(t.queue()).size(), 4u) << "the waiting entry was copied forward";
    }
    auto q = open_store(t.queue(), o);
    std::vector<queue_entry> left = q->list(0);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].id, waiting);
    EXPECT_EQ(left[0].attempts, 1u);
}

TEST(QueueFile, EmptyQueueKeepsOneSegmentAndIdsKeepGrowing) {
    TempDir t;
    std::uint64_t a = 0;
    {
        auto q = open_store(t.queue());
        enqueue_one(*q, entry("+61400000080"), &a);
        ASSERT_TRUE(succeeded(q->complete(a, true, "")));
    }
    {
        auto q = open_store(t.queue());
        EXPECT_TRUE(q->list(0).empty());
    }
    EXPECT_EQ(segments(t.queue()).size(), 1u);
    auto q = open_store(t.queue());
    std::uint64_t b = 0;
    enqueue_one(*q, entry("+61400000081"), &b);
    EXPECT_GT(b, a);
}

TEST(QueueFile, FullDiskRefusesTheBatchKeepsNothingAndRecovers) {
    TempDir t;
    auto q = open_store(t.queue());
    enqueue_one(*q, entry("+61400000090"));
    std::vector<std::string> segs = segments(t.queue());
    ASSERT_EQ(segs.size(), 1u);
    auto used = records_end(segs[0]).end;
    // A file size limit makes the next write fail as a full disk would, here inside the
    // zeros written ahead (a disk that fails a write there, as a bad block would).
    FileSizeCap cap(used + 40);
    ASSERT_TRUE(cap.ok());
    std::vector<queue_entry> batch{entry("+61400000091"), entry("+61400000092")};
    Status stored = q->enqueue(batch);
    ASSERT_TRUE(cap.lift());
    EXPECT_FALSE(stored);
    EXPECT_EQ(stored.reason(), system_error(EFBIG));
    EXPECT_EQ(fs::file_size(segs[0]), used);  // nothing half-written stays
    EXPECT_EQ(destinations(q->list(0)), (std::vector<std::string>{"+61400000090"}));
    // Space is back: the next mail is stored.
    enqueue_one(*q, entry("+61400000093"));
    q.reset();
    q = open_store(t.queue());
    EXPECT_EQ(destinations(q->list(0)), (std::vector<std::string>{"+61400000090", "+61400000093"}));
}

TEST(QueueFile, ReadOnlyListingBesideAWriterChangesNothing) {
    TempDir t;
    auto writer = open_store(t.queue());
    enqueue_one(*writer, entry("+61400000100"));
    enqueue_one(*writer, entry("+61400000101"));
    std::vector<std::string> segs = segments(t.queue());
    ASSERT_EQ(segs.size(), 1u);
    // The writer's last record half-written, as a listing may see it: its last bytes still
    // the zeros written ahead of it.
    RecordsEnd rec = records_end(segs[0]);
    std::string data = read_file(segs[0]);
    ASSERT_GT(data.size(), rec.end);
    data[rec.end - 1] = data[rec.end - 2] = '\0';
    write_file(segs[0], data);
    auto size = data.size();
    queue_file_options ro;
    ro.read_only = true;
    auto reader = open_store(t.queue(), ro);
    EXPECT_EQ(destinations(reader->list(0)), (std::vector<std::string>{"+61400000100"}));
    EXPECT_EQ(fs::file_size(segs[0]), size) << "a listing never cuts";
    EXPECT_EQ(read_file(segs[0]), data) << "a listing never writes";
    EXPECT_EQ(segments(t.queue()), segs) << "a listing never starts a segment";
    std::vector<queue_entry> b{entry("+61400000102")};
    Status stored = reader->enqueue(b);
    EXPECT_FALSE(stored);
    EXPECT_EQ(stored.reason(), "the queue is open for reading only");
    // A directory that does not exist yet lists as empty.
    auto none = open_store(t.path() + "/never", ro);
    EXPECT_TRUE(none->list(0).empty());
    EXPECT_FALSE(fs::exists(t.path() + "/never"));
}

TEST(QueueFile, AttemptAndCompleteRefuseWhatTheyCannotRecord) {
    TempDir t;
    std::uint64_t id = 0;
    {
        auto writer = open_store(t.queue());
        enqueue_one(*writer, entry("+61400000105"), &id);
    }
    auto q = open_store(t.queue());
    queue_file_options ro;
    ro.read_only = true;
    auto reader = open_store(t.queue(), ro);
    struct Case {
        const char* name;
        QueueStore* store;
        std::uint64_t id;
        std::string why;
    } cases[] = {
        {"unknown id", q.get(), id + 1000, "no queue entry " + std::to_string(id + 1000)},
        {"read-only store", reader.get(), id, "the queue is open for reading only"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Status tried = c.store->attempt(c.id);
        EXPECT_FALSE(tried);
        EXPECT_EQ(tried.reason(), c.why);
        Status finished = c.store->complete(c.id, true, "");
        EXPECT_FALSE(finished);
        EXPECT_EQ(finished.reason(), c.why);
    }
    // Neither refusal touched the real entry: it is still waiting, with no attempt counted.
    auto e = q->claim(QUEUE_MAIL_TO_SMS, 0);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->id, id);
    EXPECT_EQ(e->attempts, 0u);
}

// Attempts of a batch: one flush for all, every count kept across a reopen; an id that
// cannot be recorded refuses the whole batch and nothing of it is counted.
TEST(QueueFile, AttemptsOfABatchShareOneFlushOrAreAllRefused) {
    TempDir t;
    std::vector<std::uint64_t> id(3);
    {
        auto q = open_store(t.queue());
        for (int i = 0; i < 3; ++i)
            enqueue_one(*q, entry("+6140000013" + std::to_string(i)), &id[i]);
        for (int i = 0; i < 3; ++i) ASSERT_TRUE(q->claim(QUEUE_MAIL_TO_SMS, 0));
        std::uint64_t before = queue_file_syncs(q.get());
        ASSERT_TRUE(succeeded(q->attempt_many(id)));
        EXPECT_EQ(queue_file_syncs(q.get()) - before, 1u);
        std::vector<std::uint64_t> with_unknown = {id[0], id[2] + 1000};
        Status tried = q->attempt_many(with_unknown);
        EXPECT_FALSE(tried);
        EXPECT_EQ(tried.reason(), "no queue entry " + std::to_string(id[2] + 1000));
        ASSERT_TRUE(succeeded(q->attempt_many({id[1]})));
    }
    auto q = open_store(t.queue());
    std::vector<queue_entry> all = q->list(0);
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].attempts, 1u);  // not counted again by the refused batch
    EXPECT_EQ(all[1].attempts, 2u);
    EXPECT_EQ(all[2].attempts, 1u);
}

TEST(QueueFile, RetryNowReadiesEveryPostponedEntryOfItsKind) {
    TempDir t;
    auto q = open_store(t.queue());
    std::uint64_t a = 0, b = 0, c = 0;
    enqueue_one(*q, entry("+61400000110"), &a);
    enqueue_one(*q, entry("+61400000111"), &b);
    enqueue_one(*q, entry("x@example.org", QUEUE_SMS_TO_MAIL), &c);
    for (int kind : {QUEUE_MAIL_TO_SMS, QUEUE_MAIL_TO_SMS, QUEUE_SMS_TO_MAIL}) {
        auto e = q->claim(kind, 0);
        ASSERT_TRUE(e);
        q->release(e->id, "later", 1'000'000);
    }
    EXPECT_FALSE(q->claim(QUEUE_MAIL_TO_SMS, 10));
    EXPECT_EQ(q->retry_now(QUEUE_MAIL_TO_SMS), 2u);
    auto first = q->claim(QUEUE_MAIL_TO_SMS, 10);
    auto second = q->claim(QUEUE_MAIL_TO_SMS, 10);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->id, a);
    EXPECT_EQ(second->id, b);
    EXPECT_FALSE(q->claim(QUEUE_SMS_TO_MAIL, 10)) << "other kinds keep their time";
}

// The zeros written ahead of the records, of any length, are not damage: nothing is cut or
// logged, every entry loads, and writing goes on (in a new segment) as after any start.
TEST(QueueFile, ZeroTailAfterTheRecordsIsTheirCleanEnd) {
    for (std::size_t tail : {std::size_t{1}, JOURNAL_HEADER - 1, JOURNAL_HEADER, std::size_t{100},
                             std::size_t{70000}}) {
        SCOPED_TRACE(tail);
        TempDir t;
        LogCapture log;
        {
            auto q = open_store(t.queue());
            enqueue_one(*q, entry("+61400000200"));
            enqueue_one(*q, entry("+61400000201"));
        }
        std::vector<std::string> segs = segments(t.queue());
        ASSERT_EQ(segs.size(), 1u);
        std::string data = read_file(segs[0]);
        ASSERT_EQ(records_end(segs[0]).end, data.size());
        data.append(tail, '\0');
        write_file(segs[0], data);
        queue_file_options ro;
        ro.read_only = true;
        EXPECT_EQ(destinations(open_store(t.queue(), ro)->list(0)),
                  (std::vector<std::string>{"+61400000200", "+61400000201"}));
        {
            auto q = open_store(t.queue());
            EXPECT_EQ(destinations(q->list(0)),
                      (std::vector<std::string>{"+61400000200", "+61400000201"}));
            enqueue_one(*q, entry("+61400000202"));
        }
        EXPECT_FALSE(logged(log, "Queue journal: torn record in " + segs[0]));
        EXPECT_FALSE(logged(log, "Queue journal: corrupt record in " + segs[0]));
        EXPECT_EQ(read_file(segs[0]), data) << "nothing cut";
        EXPECT_EQ(segments(t.queue()).size(), 2u);
        auto q = open_store(t.queue());
        EXPECT_EQ(destinations(q->list(0)),
                  (std::vector<std::string>{"+61400000200", "+61400000201", "+61400000202"}));
    }
}

// A write cut short inside the room written ahead leaves a record whose bytes end in zeros
// from a sector boundary on, or zeros where its header should be up to a boundary and its
// payload after them: cut with a "torn" line, the records before it kept. A record that
// fails its check otherwise (a flipped bit, also in the last record; an end lost with a
// written record after it) is damage: stepped over with a "corrupt" line, the segment kept
// as found and written back with its whole records.
TEST(QueueFile, RecordTornInsideTheZerosAheadIsCut) {
    struct Case {
        const char* name;
        int record;        // counted back from the last record (0: the last)
        std::size_t keep;  // bytes of it kept, the rest zeroed
        bool header_lost;  // its bytes up to the next sector boundary zeroed instead
        bool flip;         // one bit of its text flipped instead
        const char* line;
        std::vector<std::string> kept;
    };
    const std::vector<std::string> two = {"+61400000210", "+61400000211"};
    const Case cases[] = {
        {"payload partly written", 0, 30, false, false, "torn", two},
        {"header partly written", 0, 3, false, false, "torn", two},
        {"header alone", 0, JOURNAL_HEADER, false, false, "torn", two},
        {"header lost, payload written", 0, 0, true, false, "torn", two},
        {"an earlier record's end lost",
         1,
         30,
         false,
         false,
         "corrupt",
         {"+61400000210", "+61400000212"}},
        {"a bit of the last record flipped", 0, 0, false, true, "corrupt", two},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir t;
        LogCapture log;
        std::string live = t.path() + "/live";
        {
            auto q = open_store(live);
            for (int i = 0; i < 3; ++i) {
                // Records longer than a sector, so that a tear at a boundary lies inside one.
                queue_entry e = entry("+6140000021" + std::to_string(i));
                e.text = std::string(600, 'x');
                enqueue_one(*q, e);
            }
            snapshot(live, t.queue());
        }
        std::vector<std::string> segs = segments(t.queue());
        ASSERT_EQ(segs.size(), 1u);
        RecordsEnd rec = records_end(segs[0]);
        ASSERT_EQ(rec.starts.size(), 4u);  // the segment's own, then one per entry
        std::string data = read_file(segs[0]);
        ASSERT_GT(data.size(), rec.end) << "the zeros ahead are in the copy";
        std::size_t at = rec.starts[rec.starts.size() - 1 - static_cast<std::size_t>(c.record)];
        std::size_t end = c.record == 0 ? rec.end : rec.starts[rec.starts.size() - c.record];
        if (c.header_lost)
            std::fill(data.begin() + at, data.begin() + (at / 512 + 1) * 512, '\0');
        else if (c.flip)
            data[at + JOURNAL_HEADER + 200] ^= 0x02;
        else
            std::fill(data.begin() + at + c.keep, data.begin() + end, '\0');
        write_file(segs[0], data);
        {
            auto q = open_store(t.queue());
            EXPECT_EQ(destinations(q->list(0)), c.kept);
        }
        EXPECT_TRUE(logged(log, std::string("Queue journal: ") + c.line + " record in " + segs[0] +
                                    " at byte " + std::to_string(at) + ","));
        if (std::string(c.line) == "torn") {
            EXPECT_EQ(fs::file_size(segs[0]), at) << "cut to the last whole record";
            EXPECT_FALSE(fs::exists(t.queue() + "/damaged"));
        } else {
            EXPECT_EQ(fs::file_size(segs[0]), rec.end - (end - at)) << "its whole records";
            EXPECT_EQ(records_end(segs[0]).end, fs::file_size(segs[0]));
            EXPECT_TRUE(fs::exists(t.queue() + "/damaged"));
        }
    }
}

// Rotation, compaction and the cut at close go by where the records end, never by the
// file's size with its zeros ahead.
TEST(QueueFile, RotationWithRoomAheadCountsRecordsNotZeros) {
    TempDir t;
    queue_file_options o;
    o.segment_bytes = 16 << 10;
    o.prealloc_bytes = 4 << 10;
    o.compact_max = 0;  // every segment kept: all of them are looked at below
    std::vector<std::string> want;
    std::size_t batch = 0;  // the largest record written
    {
        auto q = open_store(t.queue(), o);
        for (int i = 0; i < 150; ++i) {
            want.push_back("+614000003" + std::to_string(10 + i));
            enqueue_one(*q, entry(want.back()));
            if (i == 0) batch = records_end(segments(t.queue())[0]).end;
        }
        std::vector<std::string> segs = segments(t.queue());
        ASSERT_GE(segs.size(), 3u);
        for (std::size_t i = 0; i < segs.size(); ++i) {
            SCOPED_TRACE(segs[i]);
            RecordsEnd rec = records_end(segs[i]);
            auto size = fs::file_size(segs[i]);
            if (i + 1 < segs.size()) {
                // Closed at the first flush past segment_bytes of records, its zeros cut.
                EXPECT_GE(rec.end, static_cast<std::size_t>(o.segment_bytes));
                EXPECT_LT(rec.end, static_cast<std::size_t>(o.segment_bytes) + batch);
                EXPECT_EQ(size, rec.end);
            } else {
                // The one being written: its room ahead in whole chunks.
                EXPECT_GT(size, rec.end);
                EXPECT_EQ(size % static_cast<std::uintmax_t>(o.prealloc_bytes), 0u);
                EXPECT_LE(size - rec.end, static_cast<std::uintmax_t>(o.prealloc_bytes));
            }
        }
    }
    std::vector<std::string> segs = segments(t.queue());
    EXPECT_EQ(fs::file_size(segs.back()), records_end(segs.back()).end) << "cut at close";
    auto q = open_store(t.queue(), o);
    EXPECT_EQ(destinations(q->list(0)), want);
}

// A disk that has room for the records but not for the zeros ahead of them still takes
// mail; one with no room for the records refuses it and keeps nothing of it; once room is
// back, writing goes on and a reopen finds exactly what was stored.
TEST(QueueFile, FullDiskWithRoomAheadFallsBackToAPlainAppend) {
    TempDir t;
    LogCapture log;
    queue_file_options o;
    o.prealloc_bytes = 4 << 10;
    auto q = open_store(t.queue(), o);
    enqueue_one(*q, entry("+61400000400"));
    std::vector<std::string> segs = segments(t.queue());
    ASSERT_EQ(segs.size(), 1u);
    ASSERT_EQ(fs::file_size(segs[0]), 4096u);
    queue_entry big = entry("+61400000401");
    big.text = std::string(5000, 'b');  // past the zeros written ahead
    journal_record r;
    r.type = JOURNAL_ENQUEUED;
    r.entries = {big};
    std::string bytes;
    journal_encode(r, bytes);
    {
        // Not even the records fit past the file's end.
        std::size_t before = records_end(segs[0]).end;
        FileSizeCap cap(4096 + 40);
        ASSERT_TRUE(cap.ok());
        std::vector<queue_entry> b{big};
        Status stored = q->enqueue(b);
        ASSERT_TRUE(cap.lift());
        EXPECT_FALSE(stored);
        EXPECT_EQ(stored.reason(), system_error(EFBIG));
        EXPECT_EQ(fs::file_size(segs[0]), before) << "nothing half-written stays";
        EXPECT_EQ(records_end(segs[0]).end, before);
    }
    {
        // The records fit, the next chunk of zeros does not.
        std::size_t end = records_end(segs[0]).end + bytes.size();
        std::size_t cap_at = end + 100;
        ASSERT_LT(cap_at, (end / 4096 + 1) * 4096);
        FileSizeCap cap(cap_at);
        ASSERT_TRUE(cap.ok());
        std::vector<queue_entry> b{big};
        Status stored = q->enqueue(b);
        ASSERT_TRUE(cap.lift());
        EXPECT_TRUE(succeeded(stored));
        EXPECT_EQ(fs::file_size(segs[0]), end) << "the part of the zeros written is cut";
        EXPECT_EQ(records_end(segs[0]).end, end);
        EXPECT_TRUE(logged(log, "Queue journal: cannot write room ahead in " + segs[0]));
    }
    enqueue_one(*q, entry("+61400000402"));
    q.reset();
    q = open_store(t.queue(), o);
    EXPECT_EQ(destinations(q->list(0)),
              (std::vector<std::string>{"+61400000400", "+61400000401", "+61400000402"}));
    EXPECT_EQ(q->list(0)[1].text, big.text);
}

// A store killed without a close (its zeros ahead left in the file, a write perhaps cut
// short) keeps every entry it acknowledged, across rotations and chunks of zeros.
TEST(QueueFile, KilledStoreKeepsEveryAcknowledgedEntry) {
    TempDir t;
    queue_file_options o;
    o.segment_bytes = 32 << 10;
    o.prealloc_bytes = 4 << 10;
    o.compact_max = 0;
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(fds[0]);
        auto opened = queue_file_open(t.queue(), o);
        if (!opened) ::_exit(2);
        std::unique_ptr<QueueStore> q = std::move(*opened);
        for (int i = 0;; ++i) {
            std::vector<queue_entry> b{entry("+61400000500")};
            if (!q->enqueue(b)) ::_exit(3);
            std::uint64_t id = b[0].id;
            if (::write(fds[1], &id, sizeof id) != sizeof id) ::_exit(4);
        }
    }
    ::close(fds[1]);
    std::vector<std::uint64_t> acked;
    auto read_id = [&] {
        std::uint64_t id = 0;
        std::size_t got = 0;
        while (got < sizeof id) {
            ssize_t n = ::read(fds[0], reinterpret_cast<char*>(&id) + got, sizeof id - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            got += static_cast<std::size_t>(n);
        }
        acked.push_back(id);
        return true;
    };
    while (acked.size() < 400 && read_id()) {
    }
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    while (read_id()) {
    }
    ::close(fds[0]);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer ended by itself: " << status;
    ASSERT_GE(acked.size(), 400u);
    EXPECT_GE(segments(t.queue()).size(), 2u) << "rotated at least once";
    auto q = open_store(t.queue(), o);
    std::set<std::uint64_t> stored;
    for (const queue_entry& e : q->list(0)) stored.insert(e.id);
    for (std::uint64_t id : acked) {
        SCOPED_TRACE(id);
        EXPECT_EQ(stored.count(id), 1u);
    }
    // At most the one write under way at the kill, never acknowledged, may be there too.
    EXPECT_LE(stored.size(), acked.size() + 1);
}

TEST(QueueFile, UnusableDirectoryIsRefusedWithAReason) {
    TempDir t;
    std::string file = t.path() + "/plain";
    std::ofstream(file) << "x";
    Result<std::unique_ptr<QueueStore>> q = queue_file_open(file + "/queue", {});
    EXPECT_FALSE(q);
    EXPECT_NE(q.reason().find(file + "/queue"), std::string::npos) << q.reason();
}

}  // namespace
}  // namespace tolvane
