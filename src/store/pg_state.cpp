// The shared state on PostgreSQL (see pg_state.h).
#include "store/pg_state.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <memory>
#include <optional>
#include <vector>

#include "foundation/lib.h"
#include "foundation/log.h"
#include "records/msglog.h"
#include "records/msgrec.h"
#include "records/record_file.h"
#include "store/pg.h"
#include "store/pg_credit.h"
#include "store/pg_reserve.h"

namespace tolvane {

namespace {

// ASCII case folding, as the file log compares addresses.
std::string ascii_lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return out;
}

int local_day(std::time_t when) {
    std::tm tm{};
    localtime_r(&when, &tm);
    return (tm.tm_year + 1900) * 10000 + (tm.tm_mon + 1) * 100 + tm.tm_mday;
}

std::string view_text(std::string_view s) {
    return std::string(s);
}

// Several connections to one database taken in turn, so that the threads of many
// sessions and workers do not queue behind one connection's round trips. Their commits
// do not wait for the disk (see pg_state.h).
class PgLinks {
  public:
    PgLinks(const std::string& dsn, const std::string& name, std::size_t n) {
        // Each named apart: each logs its own loss and return once.
        for (std::size_t i = 0; i < n; ++i)
            links_.push_back(std::make_unique<PgLink>(
                dsn, i == 0 ? name : name + " " + std::to_string(i + 1), true));
    }
    Status run(const PgLink::Work& work) { return pick().run(work); }
    Status transaction(const PgLink::Work& work) { return pick().transaction(work); }

  private:
    PgLink& pick() { return *links_[next_.fetch_add(1) % links_.size()]; }

    std::vector<std::unique_ptr<PgLink>> links_;
    std::atomic<std::size_t> next_{0};
};

// Connections of the stores written on the path of every mail: the reservations' batches
// and the limits' other calls (give-backs, reads, resets) apart. One batch at a time: two
// of one gateway would mostly wait for each other's row locks (the same kinds and, under
// load, the same keys), and one connection gathers more reservations into each.
constexpr std::size_t kReserveLinks = 1;
constexpr std::size_t kLimitLinks = 2;
constexpr std::size_t kRecordLinks = 2;

class PgRecords final : public RecordStore {
  public:
    PgRecords(const std::string& dsn, char delim, PgSideWriters* side)
        : dsn_(dsn), link_(dsn, "records", kRecordLinks), delim_(delim), side_(side) {}

    // With the queue open on the same database, the row goes in its next group of
    // outcomes (ahead of the delete of the entry it records), else on a link of its own.
    bool write(std::string_view status, std::string_view client, std::string_view from,
               std::string_view to, std::string_view text, std::string_view day_kind,
               std::time_t when) override {
        std::string line = msgrec_record_line(status, client, from, to, when, text, delim_);
        PgStmt st{
            "INSERT INTO tv_records (kind, day, at, line) VALUES ($1, $2, $3, $4)",
            {pg_text(view_text(day_kind)), pg_int(local_day(when)), pg_int(when), pg_bytes(line)},
            "INSERT INTO tv_records (kind, day, at, line) SELECT * FROM unnest($1::text[],"
            " $2::integer[], $3::bigint[], $4::bytea[])"};
        if (pg_side_write(side_, dsn_, st)) return true;
        Status s = link_.run([&](PgConn& c) { return c.exec_only(st.sql, st.params); });
        if (!s)
            emsg("MsgRec record not kept in the store (%s): %s", line.c_str(),
                 s.error().reason.c_str());
        return s.ok();
    }

    Result<std::string> day(std::string_view yyyymmdd, std::string_view day_kind) override {
        std::optional<long long> d =
            yyyymmdd.size() == 8 && yyyymmdd[0] != '-' ? parse_decimal(yyyymmdd) : std::nullopt;
        if (!d) return Error{EINVAL, "a day is eight digits, YYYYMMDD"};
        std::string out;
        Status s = link_.run([&](PgConn& c) -> Status {
            Result<PgResult> r =
                c.exec("SELECT line FROM tv_records WHERE kind = $1 AND day = $2 ORDER BY id",
                       {pg_text(view_text(day_kind)), pg_int(*d)});
            if (!r) return r.error();
            for (int i = 0; i < r->rows(); ++i) out += r->bytes(i, 0);
            return {};
        });
        if (!s) return s.error();
        return out;
    }

    Result<DayOutcomes> today(std::time_t now, std::size_t last_n) override {
        DayOutcomes out;
        const std::string d(1, delim_);
        // The counts and the newest lines of the day, both on the (kind, day, id) index:
        // a status is the line's start, the client the field after the first delimiter.
        Status s = link_.run([&](PgConn& c) -> Status {
            Result<PgResult> r = c.exec(
                "SELECT"
                " count(*) FILTER (WHERE kind = 'rec' AND position($2 in line) = 1),"
                " count(*) FILTER (WHERE kind = 'rec' AND position($3 in line) = 1),"
                " count(*) FILTER (WHERE kind = 'log' AND position($4 in line) > 0"
                "  AND position($4 in line) = position($5 in line))"
                " FROM tv_records WHERE kind IN ('rec', 'log') AND day = $1",
                {pg_int(local_day(now)), pg_bytes("SUCCESS" + d), pg_bytes("FAILURE" + d),
                 pg_bytes(d + "SMS" + d), pg_bytes(d)});
            if (!r) return r.error();
            out.sent = static_cast<int>(r->int64(0, 0));
            out.failed = static_cast<int>(r->int64(0, 1));
            out.received = static_cast<int>(r->int64(0, 2));
            Result<PgResult> l = c.exec(
                "SELECT kind, line FROM ("
                " (SELECT id, kind, line FROM tv_records WHERE kind = 'rec'"
                "  AND day = $1 ORDER BY id DESC LIMIT $2)"
                " UNION ALL (SELECT id, kind, line FROM tv_records WHERE kind = 'log'"
                "  AND day = $1 ORDER BY id DESC LIMIT $2)) s"
                " ORDER BY id DESC LIMIT $2",
                {pg_int(local_day(now)), pg_int(static_cast<std::int64_t>(last_n))});
            if (!l) return l.error();
            for (int i = 0; i < l->rows(); ++i) {
                std::string line = l->bytes(i, 1);
                if (!line.empty() && line.back() == '\n') line.pop_back();
                out.last.push_back(DayOutcomes::Line{l->text(i, 0), std::move(line)});
            }
            return {};
        });
        if (!s) return s.error();
        return out;
    }

  private:
    const std::string dsn_;
    PgLinks link_;
    const char delim_;
    PgSideWriters* const side_;
};

class PgMessageLog final : public MessageLogStore {
  public:
    PgMessageLog(const std::string& dsn, const LimitRegistry& clock, PgSideWriters* side)
        : dsn_(dsn), link_(dsn, "message log", kRecordLinks), clock_(clock), side_(side) {}

    // Like a record: in the queue's next group of outcomes when the queue is open here.
    bool store(std::string_view phone, std::string_view email) override {
        std::int64_t t = clock_.now();
        PgStmt st{
            "INSERT INTO tv_msglog (phone, email, email_key, at) VALUES ($1, $2, $3, $4)"
            " ON CONFLICT (phone, email_key) DO UPDATE SET at = EXCLUDED.at",
            {pg_bytes(view_text(phone)), pg_bytes(view_text(email)), pg_bytes(ascii_lower(email)),
             pg_int(t)}};
        std::string why;
        bool ok = pg_side_write(side_, dsn_, st);
        if (!ok) {
            Status s = link_.run([&](PgConn& c) { return c.exec_only(st.sql, st.params); });
            ok = s.ok();
            why = s.reason();
        }
        if (ok)
            imsg("MsgLog stored [%.*s][%.*s][%lld]", static_cast<int>(phone.size()), phone.data(),
                 static_cast<int>(email.size()), email.data(), static_cast<long long>(t));
        else
            emsg("MsgLog store failed [%.*s]: %s", static_cast<int>(phone.size()), phone.data(),
                 why.c_str());
        return ok;
    }

    int lookup(std::string_view phone, int n, std::string& email) override {
        email.clear();
        std::vector<std::string> all;
        if (!entries(phone, "id", all)) return -1;
        if (n >= 0 && n < static_cast<int>(all.size())) email = all[static_cast<std::size_t>(n)];
        return static_cast<int>(all.size());
    }

    int latest(std::string_view phone, std::string& email) override {
        std::vector<std::string> all;
        if (!entries(phone, "at DESC, id", all) || all.empty()) return 0;
        email = all.front();
        return 1;
    }

  private:
    bool entries(std::string_view phone, const char* order, std::vector<std::string>& out) {
        Status s = link_.run([&](PgConn& c) -> Status {
            Result<PgResult> r = c.exec(
                std::string("SELECT email FROM tv_msglog WHERE phone = $1 ORDER BY ") + order,
                {pg_bytes(view_text(phone))});
            if (!r) return r.error();
            for (int i = 0; i < r->rows(); ++i) out.push_back(r->bytes(i, 0));
            return {};
        });
        if (!s)
            emsg("MsgLog lookup failed [%.*s]: %s", static_cast<int>(phone.size()), phone.data(),
                 s.error().reason.c_str());
        return s.ok();
    }

    const std::string dsn_;
    PgLinks link_;
    const LimitRegistry& clock_;
    PgSideWriters* const side_;
};

// Any fixed number, the same in every gateway, other than the schema's.
constexpr std::int64_t kPoolLock = 7361298453;
constexpr std::int64_t kIdleSeconds = 86400;

class PgPhonePool final : public PhonePoolStore {
  public:
    PgPhonePool(const std::string& dsn, phone_range range, const LimitRegistry& clock)
        : link_(dsn, "phone pool"), range_(std::move(range)), clock_(clock) {}

    NamedLock& use_lock() override { return use_lock_; }

    std::optional<std::string> bind(std::string_view email) override {
        if (range_.size <= 0) return std::nullopt;
        std::int64_t t = clock_.now();
        std::optional<std::string> bound;
        Status s = link_.transaction([&](PgConn& c) -> Status {
            bound.reset();
            if (Status locked =
                    c.exec_only("SELECT pg_advisory_xact_lock($1)", {pg_int(kPoolLock)});
                !locked)
                return locked;
            // The lowest index that is free (0, or one past a bound index) or idle.
            Result<PgResult> r = c.exec(
                "SELECT min(i) FROM ("
                " SELECT 0::bigint AS i WHERE NOT EXISTS"
                "  (SELECT 1 FROM tv_phones WHERE idx = 0)"
                " UNION ALL SELECT p.idx + 1 FROM tv_phones p WHERE NOT EXISTS"
                "  (SELECT 1 FROM tv_phones q WHERE q.idx = p.idx + 1)"
                " UNION ALL SELECT idx FROM tv_phones WHERE $1::bigint - last > $2"
                ") s WHERE i >= 0 AND i < $3",
                {pg_int(t), pg_int(kIdleSeconds), pg_int(range_.size)});
            if (!r) return r.error();
            if (r->rows() != 1 || r->null(0, 0)) return {};  // every number in use
            std::int64_t idx = r->int64(0, 0);
            std::string number = phone_range_number(range_, idx);
            if (Status put = c.exec_only(
                    "INSERT INTO tv_phones (idx, number, email, sent, received, last)"
                    " VALUES ($1, $2, $3, 1, 0, $4) ON CONFLICT (idx) DO UPDATE SET"
                    " number = EXCLUDED.number, email = EXCLUDED.email, sent = 1,"
                    " received = 0, last = EXCLUDED.last",
                    {pg_int(idx), pg_text(number), pg_bytes(view_text(email)), pg_int(t)});
                !put)
                return put;
            bound = std::move(number);
            return {};
        });
        if (!s) {
            emsg("Phone pool bind failed: %s", s.error().reason.c_str());
            return std::nullopt;
        }
        if (bound)
            imsg("phone out [%s][%.*s][in=0][out=1][%lld]", bound->c_str(),
                 static_cast<int>(email.size()), email.data(), static_cast<long long>(t));
        return bound;
    }

    std::optional<std::string> in(std::string_view number, bool& unavailable) override {
        unavailable = false;
        long long idx = phone_range_index(range_, number);
        if (idx < 0) {
            imsg("phone in [%.*s], [%lld] is NOT a valid number!", static_cast<int>(number.size()),
                 number.data(), idx);
            return std::nullopt;
        }
        std::optional<std::string> email;
        Status s = link_.run([&](PgConn& c) -> Status {
            Result<PgResult> r = c.exec(
                "UPDATE tv_phones SET received = received + 1, last = $2"
                " WHERE idx = $1 RETURNING email",
                {pg_int(idx), pg_int(clock_.now())});
            if (!r) return r.error();
            if (r->rows() == 1 && !r->null(0, 0)) email = r->bytes(0, 0);
            return {};
        });
        if (!s) {
            emsg("Phone pool look-up failed: %s", s.error().reason.c_str());
            unavailable = true;
        }
        return email;
    }

  private:
    PgLink link_;
    const phone_range range_;
    const LimitRegistry& clock_;
    NamedLock use_lock_{PHONES};
};

class PgLimits final : public LimitStore {
  public:
    explicit PgLimits(const std::string& dsn)
        : reserve_(dsn, std::chrono::milliseconds(1000), kReserveLinks),
          link_(dsn, "rate limit reads", kLimitLinks) {}

    // A key reserved often is served from units taken in advance (pg_credit.h); the
    // others go with the reservations of other sessions that wait at the same moment:
    // one round trip and one transaction for all of them (pg_reserve.h).
    int reserve(msgrecs* mr, int kind, std::string_view key, int units, bool check) override {
        if (!mr || kind < 0 || kind >= MSGREC_KINDS || units < 0) return 0;
        const char* name = msgrec_name(mr);
        PgReservation r{name ? name : "", kind, msgrec_key(key), units, msgrec_limit(mr, kind),
                        msgrec_hours(mr), check};
        Result<bool> held = reserve_.reserve(r, msgrec_now(mr));
        if (!held) {
            // The mail is refused by the queue on the same database meanwhile; a limit that
            // cannot be read is not a reason to name a limit in the refusal.
            emsg("MsgRec %s count of [%.*s] not checked: %s", msgrec_name(mr),
                 static_cast<int>(key.size()), key.data(), held.reason().c_str());
            return 1;
        }
        return *held ? 1 : 0;
    }

    void unreserve(msgrecs* mr, int kind, std::string_view key, int units) override {
        if (!mr || kind < 0 || kind >= MSGREC_KINDS || units <= 0) return;
        Status s = link_.run([&](PgConn& c) {
            return c.exec_only(
                "UPDATE tv_limit_counts c SET count = greatest(c.count - $4::integer, 0)"
                " FROM tv_limit_kinds t WHERE t.name = $1 AND t.kind = $2::integer"
                " AND c.name = $1 AND c.kind = $2::integer AND c.key = $3 AND c.epoch = t.epoch",
                {pg_bytes(msgrec_name(mr)), pg_int(kind), pg_bytes(msgrec_key(key)),
                 pg_int(units)});
        });
        if (!s)
            emsg("MsgRec %s unit of [%.*s] not given back: %s", msgrec_name(mr),
                 static_cast<int>(key.size()), key.data(), s.error().reason.c_str());
    }

    void count_sent(std::string_view, std::string_view, std::string_view, std::string_view,
                    bool, std::string_view) override {
        // The admission's reservation was the count.
    }

    int count(msgrecs* mr, int kind, std::string_view key) override {
        if (!mr || kind < 0 || kind >= MSGREC_KINDS) return 0;
        int n = 0;
        (void)link_.run([&](PgConn& c) -> Status {
            Result<PgResult> r = c.exec(
                "SELECT c.count FROM tv_limit_kinds t JOIN tv_limit_counts c"
                " ON c.name = t.name AND c.kind = t.kind AND c.epoch = t.epoch"
                " WHERE t.name = $1 AND t.kind = $2::integer AND c.key = $3"
                " AND NOT ($4::integer > 0 AND $5::bigint - t.changed > $4::bigint * 3600)",
                {pg_bytes(msgrec_name(mr)), pg_int(kind), pg_bytes(msgrec_key(key)),
                 pg_int(msgrec_hours(mr)), pg_int(msgrec_now(mr))});
            if (!r) return r.error();
            if (r->rows() == 1) n = static_cast<int>(r->int64(0, 0));
            return {};
        });
        return n;
    }

    std::vector<std::pair<std::string, int>> entries(msgrecs* mr, int kind) override {
        std::vector<std::pair<std::string, int>> rows;
        if (!mr || kind < 0 || kind >= MSGREC_KINDS) return rows;
        Status s = link_.run([&](PgConn& c) -> Status {
            Result<PgResult> r = c.exec(
                "SELECT c.key, c.count FROM tv_limit_kinds t JOIN tv_limit_counts c"
                " ON c.name = t.name AND c.kind = t.kind AND c.epoch = t.epoch"
                " WHERE t.name = $1 AND t.kind = $2::integer AND NOT ($3::integer > 0"
                " AND $4::bigint - t.changed > $3::bigint * 3600) ORDER BY c.key",
                {pg_bytes(msgrec_name(mr)), pg_int(kind), pg_int(msgrec_hours(mr)),
                 pg_int(msgrec_now(mr))});
            if (!r) return r.error();
            for (int i = 0; i < r->rows(); ++i)
                rows.emplace_back(r->bytes(i, 0), static_cast<int>(r->int64(i, 1)));
            return {};
        });
        if (!s) emsg("MsgRec %s counts not read: %s", msgrec_name(mr), s.error().reason.c_str());
        return rows;
    }

    int reset(msgrecs* mr, int kind, std::string_view key) override {
        if (!mr || kind < 0 || kind >= MSGREC_KINDS) return -1;
        int found = 0;
        Status s = link_.run([&](PgConn& c) -> Status {
            Result<PgResult> r = c.exec(
                "UPDATE tv_limit_counts c SET count = 0, credit = 0 FROM tv_limit_kinds t"
                " WHERE t.name = $1 AND t.kind = $2::integer AND c.name = $1"
                " AND c.kind = $2::integer AND c.key = $3 AND c.epoch = t.epoch"
                " RETURNING c.key",
                {pg_bytes(msgrec_name(mr)), pg_int(kind), pg_bytes(msgrec_key(key))});
            if (!r) return r.error();
            found = r->rows();
            return {};
        });
        if (!s) {
            emsg("MsgRec %s count of [%.*s] not reset: %s", msgrec_name(mr),
                 static_cast<int>(key.size()), key.data(), s.error().reason.c_str());
            return 0;
        }
        return found > 0 ? 1 : -1;
    }

  private:
    PgCredits reserve_;
    PgLinks link_;
};

}  // namespace

StateStores pg_state_stores(const std::string& dsn, char delim, const phone_range& pool,
                            LimitRegistry& limits, PgSideWriters* side) {
    StateStores s;
    s.records = std::make_unique<PgRecords>(dsn, delim, side);
    s.msglog = std::make_unique<PgMessageLog>(dsn, limits, side);
    s.phones = std::make_unique<PgPhonePool>(dsn, pool, limits);
    s.limits = std::make_unique<PgLimits>(dsn);
    s.registry = &limits;
    return s;
}

}  // namespace tolvane
