// Schema migrations and table counts of the shared store (see pg_schema.h).
#include "store/pg_schema.h"

#include "foundation/lib.h"
#include "foundation/log.h"

namespace tolvane {

namespace {

// Any fixed number: it only has to be the same in every gateway.
constexpr const char* LOCK_SQL = "SELECT pg_advisory_xact_lock(7361298452)";

// The pieces of the reservation functions (migrations 6, 9 and 10). Macros, so that each
// migration is still one string, the same text it always was.
#define TV_RESERVE_SIGNATURE                                                                \
    "tv_reserve(p_names bytea[], p_kinds integer[], p_keys bytea[],"                      \
    " p_units integer[], p_limits integer[], p_hours integer[], p_nows bigint[],"          \
    " p_checks integer[]) RETURNS integer[] LANGUAGE plpgsql AS $f$\n"                     \
    "DECLARE\n"                                                                           \
    " n integer := coalesce(array_length(p_names, 1), 0);\n"                              \
    " held integer[] := array_fill(0, ARRAY[coalesce(array_length(p_names, 1), 0)]);\n"   \
    " nm bytea; kd integer; ky bytea; un integer; lim integer; hrs integer;"              \
    " nw bigint; chk integer; got integer;"
#define TV_RESERVE_LOOP                                                                     \
    "BEGIN\n"                                                                             \
    " FOR i IN 1 .. n LOOP\n"                                                             \
    "  nm := p_names[i]; kd := p_kinds[i]; ky := p_keys[i]; un := p_units[i];"            \
    " lim := p_limits[i]; hrs := p_hours[i]; nw := p_nows[i]; chk := p_checks[i];\n"
// The kind's row: its epoch moves on when its counts expired, its time of change only
// when the count will change.
#define TV_RESERVE_KIND_ROW "  WITH k AS (" TV_RESERVE_KIND_UPSERT ")"
#define TV_RESERVE_KIND_UPSERT                                                              \
    "   INSERT INTO tv_limit_kinds AS t (name, kind, changed, epoch) VALUES (nm, kd, nw, 0)" \
    "   ON CONFLICT (name, kind) DO UPDATE SET"                                           \
    "    epoch = t.epoch + CASE WHEN (hrs > 0 AND nw - t.changed > hrs::bigint * 3600)"    \
    "     THEN 1 ELSE 0 END,"                                                             \
    "    changed = CASE WHEN (hrs > 0 AND nw - t.changed > hrs::bigint * 3600)"           \
    "     OR chk = 0 OR lim = 0 OR coalesce((SELECT c.count FROM tv_limit_counts c"       \
    "      WHERE c.name = nm AND c.kind = kd AND c.key = ky AND c.epoch = t.epoch), 0) < lim" \
    "     THEN nw ELSE t.changed END"                                                     \
    "   RETURNING epoch"
// The key's count (after its INSERT ... SELECT of epoch `epoch_from`): it grows only while
// the check allows it (no check, no limit, or below the limit), reading the newest count.
#define TV_RESERVE_COUNT(epoch_from)                                                        \
    "  INSERT INTO tv_limit_counts AS c (name, kind, key, epoch, count)"                  \
    "   SELECT nm, kd, ky, " epoch_from " WHERE chk = 0 OR lim = 0 OR 0 < lim"            \
    "  ON CONFLICT (name, kind, key) DO UPDATE SET"                                       \
    "   count = least((CASE WHEN c.epoch = EXCLUDED.epoch THEN c.count ELSE 0 END)::bigint" \
    "    + EXCLUDED.count, 2147483647)::integer,"                                         \
    "   epoch = EXCLUDED.epoch"                                                           \
    "  WHERE chk = 0 OR lim = 0"                                                          \
    "   OR (CASE WHEN c.epoch = EXCLUDED.epoch THEN c.count ELSE 0 END) < lim;\n"
#define TV_RESERVE_END                                                                      \
    "  GET DIAGNOSTICS got = ROW_COUNT;\n"                                                \
    "  held[i] := got;\n"                                                                 \
    " END LOOP;\n"                                                                        \
    " RETURN held;\n"                                                                     \
    "END $f$;"

// Migration 6: rate-limit reservations in batches. Each element is the upsert a lone
// reservation is: the kind's row, then the key's count, so that no limit is passed.
// Elements run in the order given (callers sort them, so that batches take their row
// locks in one order); the result holds 1 for each one held, 0 for each refused.
constexpr const char* kReserveFunction =
    "CREATE FUNCTION " TV_RESERVE_SIGNATURE "\n" TV_RESERVE_LOOP TV_RESERVE_KIND_ROW
    TV_RESERVE_COUNT("k.epoch, un FROM k") TV_RESERVE_END;

// Migration 9: the same reservations without a write to the kind's row when it already
// says the current second. Its time of change then stays as it is, and its epoch cannot
// move (that takes `hours` without a change), so the key's count is all there is to do:
// the reservations of one limit and kind no longer queue up behind that one row, which
// every gateway's reservations of the same second used to write in turn.
constexpr const char* kReserveFunctionFast =
    "CREATE OR REPLACE FUNCTION " TV_RESERVE_SIGNATURE " ep bigint; ch bigint;\n"
    TV_RESERVE_LOOP
    "  SELECT t.epoch, t.changed INTO ep, ch FROM tv_limit_kinds t"
    " WHERE t.name = nm AND t.kind = kd;\n"
    "  IF FOUND AND ch = nw THEN\n" TV_RESERVE_COUNT("ep, un")
    "  ELSE\n" TV_RESERVE_KIND_ROW TV_RESERVE_COUNT("k.epoch, un FROM k")
    "  END IF;\n" TV_RESERVE_END;

// Migration 10: reservations that may take units in advance (credit). A gateway that
// reserves one key often asks for `want` units more; it then holds them for a moment
// without asking again, and gives back the unused ones afterwards (tv_return_credit).
// The count holds the credit from the start, so no limit is ever passed. A key's credit
// column says how much credit is out and credit_until until when (the database's clock,
// in milliseconds): a reservation refused while credit is out may still find room when
// that credit comes back, so its answer is a wait (the negative number of milliseconds
// until credit_until) instead of a refusal; credit still out after credit_until belonged
// to a gateway that stopped, and counts as used. Credit is granted only out of a sixteenth
// of the room left, so near a limit nobody holds units in advance. Each element answers
// three numbers: 1 held, 0 refused or the negative wait; the credit granted; the epoch.
// A reservation without want is the same statement as in migration 9.
constexpr const char* kReserveCredit =
    "ALTER TABLE tv_limit_counts ADD COLUMN credit integer NOT NULL DEFAULT 0,"
    " ADD COLUMN credit_until bigint NOT NULL DEFAULT 0;"
    "CREATE FUNCTION tv_reserve_credit(p_names bytea[], p_kinds integer[], p_keys bytea[],"
    " p_units integer[], p_limits integer[], p_hours integer[], p_nows bigint[],"
    " p_checks integer[], p_wants integer[], p_hold_ms integer)"
    " RETURNS bigint[] LANGUAGE plpgsql AS $f$\n"
    "DECLARE\n"
    " n integer := coalesce(array_length(p_names, 1), 0);\n"
    " answer bigint[] := '{}';\n"
    " ms bigint := tv_now_ms();\n"
    " nm bytea; kd integer; ky bytea; un integer; lim integer; hrs integer;"
    " nw bigint; chk integer; got integer; wt integer; ep bigint; ch bigint;"
    " cc integer; ce bigint; cr integer; cu bigint; base bigint; ex integer; st bigint;\n"
    TV_RESERVE_LOOP
    "  wt := greatest(coalesce(p_wants[i], 0), 0); ex := 0;\n"
    "  SELECT t.epoch, t.changed INTO ep, ch FROM tv_limit_kinds t"
    " WHERE t.name = nm AND t.kind = kd;\n"
    "  IF NOT FOUND OR ch <> nw THEN\n" TV_RESERVE_KIND_UPSERT " INTO ep;\n"
    "  END IF;\n"
    "  IF wt = 0 THEN\n" TV_RESERVE_COUNT("ep, un")
    "   GET DIAGNOSTICS got = ROW_COUNT;\n"
    "  ELSE\n"
    "   SELECT c.count, c.epoch INTO cc, ce FROM tv_limit_counts c"
    " WHERE c.name = nm AND c.kind = kd AND c.key = ky FOR UPDATE;\n"
    "   IF NOT FOUND THEN\n"
    "    INSERT INTO tv_limit_counts (name, kind, key, epoch, count)"
    " VALUES (nm, kd, ky, ep, 0) ON CONFLICT DO NOTHING;\n"
    "    SELECT c.count, c.epoch INTO cc, ce FROM tv_limit_counts c"
    " WHERE c.name = nm AND c.kind = kd AND c.key = ky FOR UPDATE;\n"
    "   END IF;\n"
    "   base := CASE WHEN ce = ep THEN cc ELSE 0 END;\n"
    "   IF chk <> 0 AND lim <> 0 AND base >= lim THEN\n"
    "    got := 0;\n"
    "   ELSE\n"
    "    got := 1;\n"
    "    ex := CASE WHEN lim = 0 THEN wt"
    " ELSE least(wt, greatest((lim - base - un) / 16, 0)) END;\n"
    "    UPDATE tv_limit_counts c SET"
    " count = least(base + un + ex, 2147483647)::integer,"
    " credit = CASE WHEN ce = ep THEN c.credit ELSE 0 END + ex,"
    " credit_until = CASE WHEN ex = 0 THEN c.credit_until"
    "  ELSE greatest(c.credit_until, ms + p_hold_ms) END, epoch = ep"
    " WHERE c.name = nm AND c.kind = kd AND c.key = ky;\n"
    "   END IF;\n"
    "  END IF;\n"
    "  st := got;\n"
    "  IF got = 0 THEN\n"
    "   SELECT c.credit, c.credit_until INTO cr, cu FROM tv_limit_counts c"
    " WHERE c.name = nm AND c.kind = kd AND c.key = ky AND c.epoch = ep AND c.credit > 0;\n"
    "   IF FOUND AND ms < cu THEN\n"
    "    st := ms - cu;\n"
    "   ELSIF FOUND THEN\n"
    "    UPDATE tv_limit_counts c SET credit = 0"
    " WHERE c.name = nm AND c.kind = kd AND c.key = ky;\n"
    "   END IF;\n"
    "  END IF;\n"
    "  answer := answer || ARRAY[st, ex, ep];\n"
    " END LOOP;\n"
    " RETURN answer;\n"
    "END $f$;"
    // Unused credit given back: each key's count loses its unused units and its credit
    // what was granted, in the order given (callers sort them, as the reservations are,
    // so that the two never wait for each other in opposite orders). The count never
    // loses more than the credit still out: credit that was counted as used meanwhile (its
    // hold was over) or reset stays as it is. A key whose epoch moved on is left alone:
    // its counts started anew.
    "CREATE FUNCTION tv_return_credit(p_names bytea[], p_kinds integer[], p_keys bytea[],"
    " p_epochs bigint[], p_unused integer[], p_granted integer[])"
    " RETURNS void LANGUAGE plpgsql AS $f$\n"
    "BEGIN\n"
    " FOR i IN 1 .. coalesce(array_length(p_names, 1), 0) LOOP\n"
    "  UPDATE tv_limit_counts c SET"
    " count = greatest(c.count - least(p_unused[i], c.credit), 0),"
    " credit = greatest(c.credit - p_granted[i], 0)"
    " WHERE c.name = p_names[i] AND c.kind = p_kinds[i] AND c.key = p_keys[i]"
    " AND c.epoch = p_epochs[i];\n"
    " END LOOP;\n"
    "END $f$;";

#undef TV_RESERVE_SIGNATURE
#undef TV_RESERVE_LOOP
#undef TV_RESERVE_KIND_ROW
#undef TV_RESERVE_KIND_UPSERT
#undef TV_RESERVE_COUNT
#undef TV_RESERVE_END

}  // namespace

const std::vector<const char*>& pg_migrations() {
    static const std::vector<const char*> list = {
        // 1: the message queue. Texts are bytea: a mail body need not be valid UTF-8.
        // owner/lease_until_ms mark a claim; a claim whose lease passed may be taken over.
        "CREATE FUNCTION tv_now_ms() RETURNS bigint LANGUAGE sql VOLATILE AS "
        "'SELECT (extract(epoch FROM clock_timestamp()) * 1000)::bigint';"
        "CREATE TABLE tv_queue ("
        " id bigserial PRIMARY KEY, kind integer NOT NULL,"
        " destination bytea NOT NULL, originator bytea NOT NULL, sender bytea NOT NULL,"
        " body bytea NOT NULL, billing bytea NOT NULL, client bytea NOT NULL,"
        " headers bytea NOT NULL, flags bigint NOT NULL DEFAULT 0,"
        " attempts integer NOT NULL DEFAULT 0, last_error bytea NOT NULL DEFAULT '',"
        " enqueued_ms bigint NOT NULL, not_before_ms bigint NOT NULL DEFAULT 0,"
        " owner text, lease_until_ms bigint NOT NULL DEFAULT 0);"
        "CREATE INDEX tv_queue_kind ON tv_queue (kind, id);",
        // 2: message records, the message log, the phone pool and the rate-limit counts.
        // Texts a peer chose are bytea. A record keeps its line as the day file holds it.
        // A limit kind's epoch grows when its counts expire together; a count of an older
        // epoch reads as 0.
        "CREATE TABLE tv_records (id bigserial PRIMARY KEY, kind text NOT NULL,"
        " day integer NOT NULL, at bigint NOT NULL, line bytea NOT NULL);"
        "CREATE INDEX tv_records_day ON tv_records (kind, day, id);"
        "CREATE TABLE tv_msglog (id bigserial PRIMARY KEY, phone bytea NOT NULL,"
        " email bytea NOT NULL, email_key bytea NOT NULL, at bigint NOT NULL,"
        " UNIQUE (phone, email_key));"
        "CREATE TABLE tv_phones (idx bigint PRIMARY KEY, number text NOT NULL, email bytea,"
        " sent integer NOT NULL DEFAULT 0, received integer NOT NULL DEFAULT 0,"
        " last bigint NOT NULL);"
        "CREATE TABLE tv_limit_kinds (name bytea NOT NULL, kind integer NOT NULL,"
        " changed bigint NOT NULL, epoch bigint NOT NULL DEFAULT 0, PRIMARY KEY (name, kind));"
        "CREATE TABLE tv_limit_counts (name bytea NOT NULL, kind integer NOT NULL,"
        " key bytea NOT NULL, epoch bigint NOT NULL, count integer NOT NULL,"
        " PRIMARY KEY (name, kind, key));",
        // 3: the name a mail's client authenticated as, so that a restarted gateway still
        // counts its SMS for that user.
        "ALTER TABLE tv_queue ADD COLUMN usr bytea NOT NULL DEFAULT '';",
        // 4: the first attempt of an entry stored with it (counted in attempts), not yet
        // taken by a claim: its send needs no commit of its own.
        "ALTER TABLE tv_queue ADD COLUMN marked boolean NOT NULL DEFAULT false;",
        // 5: kept entries (parts of a long SMS) taken by a gateway to finish their set, and
        // the sets found by sender and flags among every gateway's kept entries.
        "ALTER TABLE tv_queue ADD COLUMN joined boolean NOT NULL DEFAULT false;"
        "CREATE INDEX tv_queue_kept ON tv_queue (originator, flags) WHERE kind = 3;",
        // 6: rate-limit reservations in batches (see kReserveFunction).
        kReserveFunction,
        // 7: the HTTP API's keys (only the SHA-256 of each key; its webhook signing secret).
        "CREATE TABLE tv_api_keys (name text PRIMARY KEY, hash text NOT NULL,"
        " secret text NOT NULL, created bigint NOT NULL);",
        // 8: the HTTP API's message status and idempotency keys, shared by every gateway
        // (see pg_api.h). An Idempotency-Key is what the client sent: bytea.
        "CREATE TABLE tv_api_messages (id text PRIMARY KEY, key text NOT NULL,"
        " status text NOT NULL, line text NOT NULL, updated bigint NOT NULL);"
        "CREATE TABLE tv_api_idempotency (owner text NOT NULL, key bytea NOT NULL,"
        " hash text NOT NULL, status integer NOT NULL, body text NOT NULL, at bigint NOT NULL,"
        " PRIMARY KEY (owner, key));",
        // 9: reservations that leave the kind's row alone within its second.
        kReserveFunctionFast,
        // 10: reservations with units taken in advance, and their return.
        kReserveCredit,
        // 11: the entries of many finished sends deleted in one call, each by its key (one
        // statement with a list of keys may scan the whole table, whose statistics often
        // say it is nearly empty). An entry goes only while it is ours or nobody's.
        "CREATE FUNCTION tv_delete_done(p_ids bigint[], p_owners text[]) RETURNS void"
        " LANGUAGE plpgsql AS $f$\n"
        "BEGIN\n"
        " FOR i IN 1 .. coalesce(array_length(p_ids, 1), 0) LOOP\n"
        "  DELETE FROM tv_queue WHERE id = p_ids[i] AND (owner = p_owners[i] OR owner IS NULL);\n"
        " END LOOP;\n"
        "END $f$;",
        // New migrations go here, one string each.
    };
    return list;
}

const std::vector<const char*>& pg_store_tables() {
    static const std::vector<const char*> list = {
        "tv_queue",        "tv_records",      "tv_msglog",          "tv_phones",
        "tv_limit_counts", "tv_api_messages", "tv_api_idempotency",
    };
    return list;
}

Result<int> pg_schema_version(PgConn& conn) {
    Result<PgResult> exists = conn.exec("SELECT to_regclass('tv_schema_version') IS NOT NULL", {});
    if (!exists) return exists.error();
    if (exists->text(0, 0) != "t") return 0;
    Result<PgResult> r = conn.exec("SELECT coalesce(max(version), 0) FROM tv_schema_version", {});
    if (!r) return r.error();
    return static_cast<int>(r->int64(0, 0));
}

namespace {

// BEGIN and the schema lock: one gateway at a time reads or changes the schema.
Status begin_locked(PgConn& conn) {
    if (Status s = conn.script("BEGIN"); !s) return s;
    return conn.script(LOCK_SQL);
}

// Gives up the transaction a failed step left open (if the connection still stands).
void roll_back(PgConn& conn) {
    if (conn.healthy()) (void)conn.script("ROLLBACK");
}

// The version, read under the lock in a transaction that creates the version table if new.
Result<int> first_version(PgConn& conn) {
    Status s = begin_locked(conn);
    if (s)
        s = conn.script(
            "CREATE TABLE IF NOT EXISTS tv_schema_version (version integer PRIMARY KEY,"
            " applied timestamptz NOT NULL DEFAULT now())");
    if (!s) return s.error();
    Result<int> version = pg_schema_version(conn);
    if (!version) return version;
    if (Status c = conn.script("COMMIT"); !c) return c.error();
    return version;
}

// One step from version: under the lock, applies the next migration unless another gateway
// did while we waited for the lock. The version the schema is at afterwards.
Result<int> step_from(PgConn& conn, int version) {
    const int next = version + 1;
    if (Status s = begin_locked(conn); !s) return s.error();
    Result<int> seen = pg_schema_version(conn);
    if (!seen) return seen;
    if (*seen >= next) {
        if (Status s = conn.script("COMMIT"); !s) return s.error();
        return *seen;
    }
    Status s = conn.script(pg_migrations()[static_cast<std::size_t>(version)]);
    if (s)
        s = conn.exec_only("INSERT INTO tv_schema_version (version) VALUES ($1)", {pg_int(next)});
    if (s) s = conn.script("COMMIT");
    if (!s) return s.error();
    imsg("PostgreSQL store: schema brought to version %d", next);
    return next;
}

}  // namespace

Result<int> pg_schema_upgrade(PgConn& conn) {
    const int known = static_cast<int>(pg_migrations().size());
    Result<int> first = first_version(conn);
    if (!first) {
        roll_back(conn);
        return Error{0, "cannot read the store's schema version: " + first.error().reason};
    }
    int version = *first;
    if (version > known)
        return Error{0, strprintf("the store's schema is version %d, newer than this program "
                                  "knows (%d)",
                                  version, known)};
    while (version < known) {
        Result<int> now = step_from(conn, version);
        if (!now) {
            roll_back(conn);
            return Error{0, strprintf("cannot bring the store's schema to version %d: %s",
                                      version + 1, now.error().reason.c_str())};
        }
        version = *now;
    }
    return version;
}

Result<PgStoreCounts> pg_store_counts(PgConn& conn) {
    PgStoreCounts counts;
    for (const char* table : pg_store_tables()) {
        Result<PgResult> r = conn.exec("SELECT count(*) FROM " + pg_ident(table), {});
        if (!r) return r.error();
        counts.emplace_back(table, r->int64(0, 0));
    }
    return counts;
}

}  // namespace tolvane
