// The HTTP API's shared state (see pg_api.h).
#include "store/pg_api.h"

#include "foundation/log.h"
#include "store/pg_schema.h"

namespace tolvane {

namespace {

constexpr const char* kFinal = "('sent', 'delivered', 'failed', 'expired')";

}  // namespace

Status PgApiStore::open(std::int64_t ended_before, std::int64_t kept_before) {
    return link_.run([&](PgConn& c) -> Status {
        if (Result<int> version = pg_schema_upgrade(c); !version) return version.error();
        if (Status s = c.exec_only(
                std::string("DELETE FROM tv_api_messages WHERE updated < $1 AND status IN ") +
                    kFinal,
                {pg_int(ended_before)});
            !s)
            return s;
        return c.exec_only("DELETE FROM tv_api_idempotency WHERE at < $1 AND status <> 0",
                           {pg_int(kept_before)});
    });
}

namespace {

PgStmt message_stmt(const PgApiMessage& m, bool only_new) {
    return {
        std::string("INSERT INTO tv_api_messages AS t (id, key, status, line, updated) "
                    "VALUES ($1, $2, $3, $4, $5) ON CONFLICT (id) ") +
            (only_new ? "DO NOTHING"
                      : "DO UPDATE SET key = EXCLUDED.key, status = EXCLUDED.status, "
                        "line = EXCLUDED.line, updated = EXCLUDED.updated "
                        "WHERE t.updated <= EXCLUDED.updated"),
        {pg_text(m.id), pg_text(m.key), pg_text(m.status), pg_text(m.line), pg_int(m.updated_ms)}};
}

}  // namespace

void PgApiStore::put_message(const PgApiMessage& m, bool only_new) {
    PgStmt st = message_stmt(m, only_new);
    if (pg_side_write(side_, dsn_, st)) return;
    if (Status s = link_.run([&](PgConn& c) { return c.exec_only(st.sql, st.params); }); !s)
        emsg("API message %s: status %s not kept in the store (%s)", m.id.c_str(), m.status.c_str(),
             s.error().reason.c_str());
}

Status PgApiStore::put_new_message_now(const PgApiMessage& m) {
    PgStmt st = message_stmt(m, true);
    return link_.run([&](PgConn& c) { return c.exec_only(st.sql, st.params); });
}

Result<std::optional<std::string>> PgApiStore::message(const std::string& id,
                                                       const std::string& key) {
    std::optional<std::string> line;
    Status st = link_.run([&](PgConn& c) -> Status {
        Result<PgResult> r = c.exec("SELECT line FROM tv_api_messages WHERE id = $1 AND key = $2",
                                    {pg_text(id), pg_text(key)});
        if (!r) return r.error();
        if (r->rows() == 1) line = r->text(0, 0);
        return {};
    });
    if (!st) return st.error();
    return line;
}

Result<PgApiStore::Claim> PgApiStore::claim(const std::string& owner, const std::string& key,
                                            const std::string& hash, std::int64_t now_ms,
                                            std::int64_t expired_before, std::int64_t stale_before,
                                            Kept& kept) {
    Claim out = Claim::busy;
    Status st = link_.run([&](PgConn& c) -> Status {
        // One statement: of two gateways claiming at once, one inserts, the other
        // waits for its row lock and then finds the row taken.
        Result<PgResult> ins = c.exec(
            "INSERT INTO tv_api_idempotency AS t (owner, key, hash, status, body, at)"
            " VALUES ($1, $2, $3, 0, '', $4) ON CONFLICT (owner, key) DO UPDATE SET"
            " hash = EXCLUDED.hash, status = 0, body = '', at = EXCLUDED.at"
            " WHERE (t.status <> 0 AND t.at < $5) OR (t.status = 0 AND t.at < $6)",
            {pg_text(owner), pg_bytes(key), pg_text(hash), pg_int(now_ms), pg_int(expired_before),
             pg_int(stale_before)});
        if (!ins) return ins.error();
        if (ins->affected() == 1) {
            out = Claim::taken;
            return {};
        }
        Result<PgResult> r = c.exec(
            "SELECT hash, status, body FROM tv_api_idempotency WHERE owner = $1 AND key = $2",
            {pg_text(owner), pg_bytes(key)});
        if (!r) return r.error();
        // Gone meanwhile (released): busy, so that the caller asks again.
        if (r->rows() != 1 || r->int64(0, 1) == 0) {
            out = Claim::busy;
            return {};
        }
        kept = Kept{r->text(0, 0), static_cast<int>(r->int64(0, 1)), r->text(0, 2)};
        out = Claim::answered;
        return {};
    });
    if (!st) return st.error();
    return out;
}

Status PgApiStore::keep(const std::string& owner, const std::string& key, int status,
                        const std::string& body) {
    return link_.run([&](PgConn& c) {
        return c.exec_only(
            "UPDATE tv_api_idempotency SET status = $3, body = $4 WHERE owner = $1 AND key = $2",
            {pg_text(owner), pg_bytes(key), pg_int(status), pg_text(body)});
    });
}

void PgApiStore::release(const std::string& owner, const std::string& key) {
    if (Status s = link_.run([&](PgConn& c) {
            return c.exec_only("DELETE FROM tv_api_idempotency WHERE owner = $1 AND key = $2",
                               {pg_text(owner), pg_bytes(key)});
        });
        !s)
        emsg("API idempotency key of %s not freed in the store (%s)", owner.c_str(),
             s.error().reason.c_str());
}

}  // namespace tolvane
