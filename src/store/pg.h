// PostgreSQL access for the shared store: owned connections and results, parameterised
// statements, transactions, a connection that comes back by itself, LISTEN/NOTIFY.
//
//   PgLink link(dsn, "queue");                  // connects on first use, logs every change
//   std::int64_t n = 0;
//   Status s = link.run([&](PgConn& c) -> Status {
//       Result<PgResult> r = c.exec("SELECT count(*) FROM t WHERE k = $1", {pg_text("x")});
//       if (!r) return r.error();
//       n = r->int64(0, 0);
//       return {};
//   });
//   if (!s) ... s.error().reason ...;
//   // or, all or nothing:  link.transaction([&](PgConn& c) -> Status { ... });
//
// Ownership: PgConn owns its PGconn and PgResult its PGresult (unique_ptr with deleters);
// neither is copied. A PgConn is used by one thread at a time. A PgLink serialises every
// use of its one connection under its own lock, so any thread may call it; modules that
// need concurrency hold one link each (the queue holds one for writes and one to listen).
//
// State changes are logged once each, not per attempt: "PostgreSQL store connected (NAME)",
// "PostgreSQL store lost (NAME): why", "PostgreSQL store unreachable (NAME): why". While the
// database is away a link tries to connect at most once per PG_RETRY_MS; calls in between
// fail at once with the last reason, so callers are never held by a dead server.
//
// A connection waits at most 10 s to connect and gives up on a server that stops answering
// for about 20 s (TCP keepalives and user timeout); the connection string may set others.
// Statements run by exec() are prepared on their connection the first time each text is
// seen and run by name afterwards (a connection keeps at most PG_PREPARED_MAX of them);
// pipeline() sends a list of statements and reads all their results in one round trip
// (libpq's pipeline mode), which is how grouped commits reach the server.
//
// Limits: texts go to the server as text parameters and must be valid UTF-8 without NUL
// bytes; bytes that may be anything go as bytea (pg_bytes) and come back with
// PgResult::bytes. Results are read whole into memory.
#pragma once

#include <libpq-fe.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "foundation/result.h"

namespace tolvane {

inline constexpr long PG_RETRY_MS = 1000;
inline constexpr std::size_t PG_PREPARED_MAX = 200;

struct PgConnFree {
    void operator()(PGconn* c) const noexcept { PQfinish(c); }
};
struct PgResultFree {
    void operator()(PGresult* r) const noexcept { PQclear(r); }
};
using PgConnPtr = std::unique_ptr<PGconn, PgConnFree>;
using PgResultPtr = std::unique_ptr<PGresult, PgResultFree>;

// One statement parameter: text, bytes (bytea, sent in binary form) or SQL NULL.
struct PgParam {
    std::string value;
    bool binary = false;
    bool null = false;
};
inline PgParam pg_text(std::string v) {
    return PgParam{std::move(v), false, false};
}
inline PgParam pg_bytes(std::string v) {
    return PgParam{std::move(v), true, false};
}
inline PgParam pg_int(std::int64_t v) {
    return PgParam{std::to_string(v), false, false};
}
inline PgParam pg_null() {
    return PgParam{std::string(), false, true};
}
using PgParams = std::vector<PgParam>;

// One statement of a pipeline. `merged`, when not empty, is the same statement for many
// rows at once: its parameter $i is the array of every statement's $i (see pg_array), in
// their order. A grouped commit runs a run of such statements as one (nobody reads their
// results then: a merged statement's own results are empty).
struct PgStmt {
    PgStmt() = default;
    PgStmt(std::string s, PgParams p, std::string m = {})
        : sql(std::move(s)), params(std::move(p)), merged(std::move(m)) {}
    std::string sql;
    PgParams params;
    std::string merged;
};

// An array literal of the values (each in its text form; bytes as \x hex; NULL), for a
// parameter of array type.
std::string pg_array(const std::vector<const PgParam*>& values);
// The same for bytes (bytea[]) and for integers.
std::string pg_bytea_array(const std::vector<const std::string*>& values);
std::string pg_int_array(const std::vector<std::int64_t>& values);

class PgResult {
  public:
    PgResult() = default;
    explicit PgResult(PGresult* r) : r_(r) {}
    int rows() const { return r_ ? PQntuples(r_.get()) : 0; }
    int columns() const { return r_ ? PQnfields(r_.get()) : 0; }
    bool null(int row, int col) const { return PQgetisnull(r_.get(), row, col) != 0; }
    // The value as text ("" for NULL).
    std::string text(int row, int col) const;
    // The value read as an integer (0 for NULL or junk).
    std::int64_t int64(int row, int col) const;
    // A bytea value decoded from its text form.
    std::string bytes(int row, int col) const;
    // Rows changed by an INSERT/UPDATE/DELETE.
    std::int64_t affected() const;
    PGresult* get() const { return r_.get(); }

  private:
    PgResultPtr r_;
};

// A pipeline that failed: the first error's reason, and the results of the statements
// that succeeded before it (empty when nothing could be sent or nothing ran).
struct PgPipelineError {
    int code = 0;
    std::string reason;
    std::vector<PgResult> before;
};

// One open connection (not thread-safe).
class PgConn {
  public:
    // Connects now; an error with libpq's reason when the server cannot be reached or
    // refuses.
    static Result<std::unique_ptr<PgConn>> open(const std::string& dsn);

    // Runs one statement with $1.. parameters: its rows, or the server's reason.
    Result<PgResult> exec(std::string_view sql, const PgParams& params);
    // The same when no rows are wanted.
    Status exec_only(std::string_view sql, const PgParams& params);
    // Runs a text of one or more statements without parameters (schema changes).
    Status script(std::string_view sql);

    // Sends every statement at once (pipeline mode) and reads their results, one per
    // statement, in one round trip. The statements run as one implicit transaction unless
    // they hold their own BEGIN/COMMIT; after the first failure the server skips the rest:
    // the error has the first failure's reason and the results that came before it.
    Result<std::vector<PgResult>, PgPipelineError> pipeline(const std::vector<PgStmt>& stmts);

    // LISTEN to a channel; notifications are then read with notifications().
    Status listen(std::string_view channel);
    struct Notice {
        std::string channel;
        std::string payload;
    };
    // Reads what the server sent without waiting and returns the notifications received;
    // an error when the connection failed meanwhile.
    Result<std::vector<Notice>> notifications();

    bool healthy() const { return !broken_ && PQstatus(c_.get()) == CONNECTION_OK; }
    int socket() const { return PQsocket(c_.get()); }
    PGconn* raw() const { return c_.get(); }

    explicit PgConn(PgConnPtr c) : c_(std::move(c)) {}

  private:
    // The name of the prepared statement for sql, preparing it now when new ("" on failure).
    const std::string* prepared(const std::string& sql, std::string& why);
    // Name of a statement not prepared yet, to be prepared in a pipeline.
    std::string next_name();
    // The statements of a pipeline in flight, with what their results are to be read as.
    struct PipelineSent {
        std::vector<std::pair<std::string, std::string>> preparing;  // sql, name
        std::vector<bool> is_prepare;  // per result to read: a PREPARE (else a statement)
    };
    // Sends stmts in pipeline mode (preparing those new to the connection) and the sync;
    // false when libpq would not take one.
    bool pipeline_send(const std::vector<PgStmt>& stmts, PipelineSent& sent);
    // Reads the results in order (the statements' into out) up to the sync; false with
    // the first error in why.
    bool pipeline_read(const PipelineSent& sent, std::vector<PgResult>& out, std::string& why);

    PgConnPtr c_;
    std::unordered_map<std::string, std::string> prepared_;  // text -> statement name
    std::uint64_t names_ = 0;
    bool broken_ = false;  // a pipeline left it out of step
};

// A connection that reconnects by itself, shared by the threads of one module.
class PgLink {
  public:
    // What runs on the connection; its error is the call's.
    using Work = std::function<Status(PgConn&)>;

    // async: the link's commits do not wait for the server's disk (synchronous_commit off
    // for the session). Such a commit reaches the disk with any later commit that waits
    // for it, on any connection (the server's log is written in order), or within the
    // server's WAL writer delay: what must come before a durable promise can ride on it.
    PgLink(std::string dsn, std::string name, bool async = false)
        : dsn_(std::move(dsn)), name_(std::move(name)), async_(async) {}
    PgLink(const PgLink&) = delete;
    PgLink& operator=(const PgLink&) = delete;

    // Runs `work` on the connection (connecting first when needed). When it fails and the
    // connection turned out to be broken, the loss is logged and the next call reconnects.
    // The error is work's, or why the server could not be reached.
    Status run(const Work& work);
    // The same inside BEGIN ... COMMIT: all of it or nothing (ROLLBACK when work fails).
    Status transaction(const Work& work);

    // True while the last use found the server (no connection attempted).
    bool up() const;
    const std::string& name() const { return name_; }
    // Connects now if not connected (respecting the retry pause).
    Status connect();
    // Increases on every new connection (listeners LISTEN again when it changes).
    std::uint64_t generation() const;

  private:
    Status connect_locked();
    void lost_locked(const std::string& why);

    const std::string dsn_;
    const std::string name_;
    const bool async_;
    mutable std::mutex m_;
    std::unique_ptr<PgConn> conn_;  // null while away
    bool logged_down_ = false;      // the current outage is logged
    bool ever_up_ = false;
    std::int64_t next_try_ms_ = 0;  // steady clock: no attempt before this
    std::string last_why_;
    std::uint64_t generation_ = 0;
};

// Writes that ride in the grouped commits of the queue open on the same database. One
// gateway's queue and stores share one PgSideWriters (the Gateway owns it and hands it
// to both when start-up builds them; it outlives them): the queue installs a writer for
// its DSN while it is open (an empty one removes it); a statement handed to it costs its
// caller no round trip, goes in the queue's next group of outcomes (one pipeline, no wait
// for the disk, written again until the database takes it) and commits before every
// outcome handed in after it. write() is false when no queue of these writers is open on
// that DSN: the caller writes the statement itself. `who` names the installer: an empty
// writer removes only the one `who` installed (of two queues on one database, the later
// one's writer is used). Two gateways in one process never write through each other's
// queue. Safe from any thread.
using PgSideWriter = std::function<void(PgStmt)>;
class PgSideWriters {
  public:
    void install(const std::string& dsn, const void* who, PgSideWriter writer);
    [[nodiscard]] bool write(const std::string& dsn, PgStmt st);

  private:
    struct Installed {
        const void* who = nullptr;
        PgSideWriter write;
    };
    std::mutex lock_;
    std::unordered_map<std::string, Installed> writers_;  // guarded by lock_
};
// side->write(dsn, st), false without side writers (null: a tool's store, a test's).
[[nodiscard]] bool pg_side_write(PgSideWriters* side, const std::string& dsn, PgStmt st);

// A name for log lines and errors: the DSN without its password.
std::string pg_dsn_safe(std::string_view dsn);

// Quotes an identifier ("name" with inner quotes doubled).
std::string pg_ident(std::string_view name);

}  // namespace tolvane
