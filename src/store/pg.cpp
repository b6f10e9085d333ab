// PostgreSQL connections, results and the reconnecting link (see pg.h).
#include "store/pg.h"

#include <chrono>
#include <cstdlib>
#include <mutex>

#include "foundation/lib.h"
#include "foundation/log.h"

namespace tolvane {

namespace {

std::int64_t steady_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// libpq's messages end with a newline and may span lines; a log line wants one.
std::string one_line(const char* text) {
    std::string s = text != nullptr ? text : "";
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    for (char& ch : s)
        if (ch == '\n' || ch == '\t') ch = ' ';
    if (s.empty()) s = "unknown error";
    return s;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string PgResult::text(int row, int col) const {
    if (!r_ || row >= rows() || col >= columns() || null(row, col)) return std::string();
    return std::string(PQgetvalue(r_.get(), row, col),
                       static_cast<std::size_t>(PQgetlength(r_.get(), row, col)));
}

std::int64_t PgResult::int64(int row, int col) const {
    std::string t = text(row, col);
    return t.empty() ? 0 : std::strtoll(t.c_str(), nullptr, 10);
}

std::string PgResult::bytes(int row, int col) const {
    std::string t = text(row, col);
    // The server sends bytea in hex form ("\x4142") unless told otherwise.
    if (t.size() < 2 || t[0] != '\\' || t[1] != 'x') return t;
    std::string out;
    out.reserve((t.size() - 2) / 2);
    for (std::size_t i = 2; i + 1 < t.size(); i += 2) {
        int hi = hex_value(t[i]), lo = hex_value(t[i + 1]);
        if (hi < 0 || lo < 0) break;
        out.push_back(static_cast<char>(hi * 16 + lo));
    }
    return out;
}

std::int64_t PgResult::affected() const {
    if (!r_) return 0;
    const char* n = PQcmdTuples(r_.get());
    return n != nullptr && *n != '\0' ? std::strtoll(n, nullptr, 10) : 0;
}

Result<std::unique_ptr<PgConn>> PgConn::open(const std::string& dsn) {
    // A server that vanishes without closing the connection (a cable, a firewall) must not
    // hold a caller for ever: bounded waits unless the connection string says otherwise,
    // which it does by coming last.
    static constexpr const char* keys[] = {"connect_timeout",
                                           "tcp_user_timeout",
                                           "keepalives_idle",
                                           "keepalives_interval",
                                           "keepalives_count",
                                           "dbname",
                                           nullptr};
    const char* values[] = {"10", "20000", "10", "5", "3", dsn.c_str(), nullptr};
    PgConnPtr c(PQconnectdbParams(keys, values, 1));
    if (!c) return Error{0, "out of memory"};
    if (PQstatus(c.get()) != CONNECTION_OK) return Error{0, one_line(PQerrorMessage(c.get()))};
    // Notices (e.g. "relation already exists, skipping") are not ours to print.
    PQsetNoticeProcessor(
        c.get(), [](void*, const char*) {}, nullptr);
    return std::make_unique<PgConn>(std::move(c));
}

namespace {

struct ParamArrays {
    std::vector<const char*> values;
    std::vector<int> lengths;
    std::vector<int> formats;
    explicit ParamArrays(const PgParams& params)
        : values(params.size()), lengths(params.size()), formats(params.size()) {
        for (std::size_t i = 0; i < params.size(); ++i) {
            values[i] = params[i].null ? nullptr : params[i].value.c_str();
            lengths[i] = static_cast<int>(params[i].value.size());
            formats[i] = params[i].binary ? 1 : 0;
        }
    }
};

bool result_ok(const PgResult& r) {
    ExecStatusType st = r.get() ? PQresultStatus(r.get()) : PGRES_FATAL_ERROR;
    return st == PGRES_COMMAND_OK || st == PGRES_TUPLES_OK;
}

}  // namespace

std::string PgConn::next_name() {
    return "tv" + std::to_string(++names_);
}

const std::string* PgConn::prepared(const std::string& sql, std::string& why) {
    auto it = prepared_.find(sql);
    if (it != prepared_.end()) return &it->second;
    if (prepared_.size() >= PG_PREPARED_MAX) {
        // Texts built at run time could fill the server's memory: start again.
        PgResult gone(PQexec(c_.get(), "DEALLOCATE ALL"));
        prepared_.clear();
    }
    std::string name = next_name();
    PgResult r(PQprepare(c_.get(), name.c_str(), sql.c_str(), 0, nullptr));
    if (!result_ok(r)) {
        why = one_line(r.get() ? PQresultErrorMessage(r.get()) : PQerrorMessage(c_.get()));
        return nullptr;
    }
    return &prepared_.emplace(sql, std::move(name)).first->second;
}

Result<PgResult> PgConn::exec(std::string_view sql, const PgParams& params) {
    ParamArrays a(params);
    std::string query(sql);
    std::string why;
    const std::string* name = prepared(query, why);
    if (name == nullptr) return Error{0, why};
    PgResult out(PQexecPrepared(c_.get(), name->c_str(), static_cast<int>(params.size()),
                                a.values.data(), a.lengths.data(), a.formats.data(), 0));
    if (result_ok(out)) return out;
    why = one_line(out.get() ? PQresultErrorMessage(out.get()) : PQerrorMessage(c_.get()));
    if (why == "unknown error") why = one_line(PQerrorMessage(c_.get()));
    return Error{0, why};
}

bool PgConn::pipeline_send(const std::vector<PgStmt>& stmts, PipelineSent& sent) {
    for (const PgStmt& st : stmts) {
        ParamArrays a(st.params);
        auto it = prepared_.find(st.sql);
        std::string name;
        if (it != prepared_.end()) {
            name = it->second;
        } else {
            for (const auto& [sql, n] : sent.preparing)
                if (sql == st.sql) name = n;
            if (name.empty()) {
                name = next_name();
                if (PQsendPrepare(c_.get(), name.c_str(), st.sql.c_str(), 0, nullptr) == 0)
                    return false;
                sent.preparing.emplace_back(st.sql, name);
                sent.is_prepare.push_back(true);
            }
        }
        if (PQsendQueryPrepared(c_.get(), name.c_str(), static_cast<int>(st.params.size()),
                                a.values.data(), a.lengths.data(), a.formats.data(), 0) == 0)
            return false;
        sent.is_prepare.push_back(false);
    }
    return PQpipelineSync(c_.get()) != 0;
}

bool PgConn::pipeline_read(const PipelineSent& sent, std::vector<PgResult>& out,
                           std::string& why) {
    bool ok = true;
    std::size_t prep = 0;
    for (bool p : sent.is_prepare) {
        PgResult r(PQgetResult(c_.get()));
        // Each statement's result is followed by a null that ends it.
        while (PGresult* extra = PQgetResult(c_.get())) PQclear(extra);
        if (!r.get()) {
            if (ok) why = one_line(PQerrorMessage(c_.get()));
            return false;
        }
        ExecStatusType st = PQresultStatus(r.get());
        if (p) {
            if (st == PGRES_COMMAND_OK)
                prepared_.emplace(sent.preparing[prep].first, sent.preparing[prep].second);
            ++prep;
        }
        if (st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK) {
            if (ok && st != PGRES_PIPELINE_ABORTED)
                why = one_line(PQresultErrorMessage(r.get()));
            else if (ok)
                why = "statement skipped after an earlier error";
            ok = false;
            continue;
        }
        if (!p) out.push_back(std::move(r));
    }
    return ok;
}

Result<std::vector<PgResult>, PgPipelineError> PgConn::pipeline(const std::vector<PgStmt>& stmts) {
    std::vector<PgResult> out;
    if (stmts.empty()) return out;
    if (PQenterPipelineMode(c_.get()) == 0)
        return PgPipelineError{0, one_line(PQerrorMessage(c_.get())), {}};
    // Statements new to this connection are prepared in the same pipeline; their names
    // count only once the server said so.
    PipelineSent sent;
    if (!pipeline_send(stmts, sent)) {
        // Nothing can be read back in order now: the connection is given up.
        broken_ = true;
        return PgPipelineError{0, one_line(PQerrorMessage(c_.get())), {}};
    }
    std::string why;
    bool ok = pipeline_read(sent, out, why);
    // The sync's own result, then out of pipeline mode.
    for (;;) {
        PgResult r(PQgetResult(c_.get()));
        if (!r.get()) break;
        if (PQresultStatus(r.get()) == PGRES_PIPELINE_SYNC) break;
    }
    if (PQexitPipelineMode(c_.get()) == 0 && ok) {
        why = one_line(PQerrorMessage(c_.get()));
        ok = false;
    }
    if (!ok) return PgPipelineError{0, why, std::move(out)};
    return out;
}

Status PgConn::exec_only(std::string_view sql, const PgParams& params) {
    Result<PgResult> r = exec(sql, params);
    if (!r) return r.error();
    return {};
}

Status PgConn::script(std::string_view sql) {
    std::string text(sql);
    PgResult r(PQexec(c_.get(), text.c_str()));
    ExecStatusType st = r.get() ? PQresultStatus(r.get()) : PGRES_FATAL_ERROR;
    if (st == PGRES_COMMAND_OK || st == PGRES_TUPLES_OK) return {};
    return Error{0, one_line(r.get() ? PQresultErrorMessage(r.get()) : PQerrorMessage(c_.get()))};
}

Status PgConn::listen(std::string_view channel) {
    return script("LISTEN " + pg_ident(channel));
}

Result<std::vector<PgConn::Notice>> PgConn::notifications() {
    if (PQconsumeInput(c_.get()) == 0) return Error{0, one_line(PQerrorMessage(c_.get()))};
    std::vector<Notice> out;
    while (PGnotify* n = PQnotifies(c_.get())) {
        out.push_back(
            Notice{n->relname != nullptr ? n->relname : "", n->extra != nullptr ? n->extra : ""});
        PQfreemem(n);
    }
    return out;
}

Status PgLink::connect_locked() {
    if (conn_ && conn_->healthy()) return {};
    conn_.reset();
    std::int64_t now = steady_ms();
    if (now < next_try_ms_) return Error{0, "PostgreSQL store unavailable: " + last_why_};
    Result<std::unique_ptr<PgConn>> opened = PgConn::open(dsn_);
    if (!opened) {
        const std::string& w = opened.error().reason;
        next_try_ms_ = now + PG_RETRY_MS;
        last_why_ = w;
        if (!logged_down_) {
            emsg("PostgreSQL store %s (%s): %s", ever_up_ ? "lost" : "unreachable", name_.c_str(),
                 w.c_str());
            logged_down_ = true;
        }
        return Error{0, "PostgreSQL store unavailable: " + w};
    }
    conn_ = std::move(*opened);
    if (async_) {
        if (Status s = conn_->script("SET synchronous_commit TO off"); !s) {
            conn_.reset();
            next_try_ms_ = now + PG_RETRY_MS;
            return Error{0, "PostgreSQL store unavailable: " + s.error().reason};
        }
    }
    imsg("PostgreSQL store connected (%s)", name_.c_str());
    logged_down_ = false;
    ever_up_ = true;
    ++generation_;
    return {};
}

void PgLink::lost_locked(const std::string& why) {
    conn_.reset();
    last_why_ = why;
    // The next call tries again at once: a broken connection is usually a restart, and
    // the pause only guards against hammering a server that refuses.
    next_try_ms_ = 0;
    if (!logged_down_) {
        emsg("PostgreSQL store lost (%s): %s", name_.c_str(), why.c_str());
        logged_down_ = true;
    }
}

Status PgLink::connect() {
    std::lock_guard<std::mutex> lock(m_);
    return connect_locked();
}

Status PgLink::run(const Work& work) {
    std::lock_guard<std::mutex> lock(m_);
    if (Status s = connect_locked(); !s) return s;
    Status done = work(*conn_);
    if (!done && !conn_->healthy()) lost_locked(done.error().reason);
    return done;
}

Status PgLink::transaction(const Work& work) {
    bool begun = false;
    PgLink::Work body = [&](PgConn& c) -> Status {
        begun = false;
        if (Status s = c.script("BEGIN"); !s) return s;
        begun = true;
        Status done = work(c);
        if (done) done = c.script("COMMIT");
        if (!done && c.healthy()) (void)c.script("ROLLBACK");
        return done;
    };
    bool was_up = up();
    Status first = run(body);
    if (first) return first;
    // A connection that broke while idle (a server restart) fails at BEGIN, before anything
    // was done: one more try on a fresh connection is safe then, and spares the caller.
    if (begun || !was_up) return first;
    {
        std::lock_guard<std::mutex> lock(m_);
        if (conn_ != nullptr) return first;  // still connected: BEGIN failed for another reason
        next_try_ms_ = 0;
    }
    return run(body);
}

bool PgLink::up() const {
    std::lock_guard<std::mutex> lock(m_);
    return conn_ != nullptr && conn_->healthy();
}

std::uint64_t PgLink::generation() const {
    std::lock_guard<std::mutex> lock(m_);
    return generation_;
}

std::string pg_dsn_safe(std::string_view dsn) {
    std::string out;
    std::size_t pos = 0;
    while (pos < dsn.size()) {
        std::size_t end = dsn.find(' ', pos);
        if (end == std::string_view::npos) end = dsn.size();
        std::string_view word = dsn.substr(pos, end - pos);
        if (word.substr(0, 9) == "password=") word = "password=***";
        if (!word.empty()) {
            if (!out.empty()) out += ' ';
            out += word;
        }
        pos = end + 1;
    }
    return out;
}

std::string pg_ident(std::string_view name) {
    std::string out = "\"";
    for (char ch : name) {
        if (ch == '"') out += '"';
        out += ch;
    }
    out += '"';
    return out;
}

void PgSideWriters::install(const std::string& dsn, const void* who, PgSideWriter writer) {
    std::lock_guard<std::mutex> hold(lock_);
    auto it = writers_.find(dsn);
    if (writer)
        writers_[dsn] = Installed{who, std::move(writer)};
    else if (it != writers_.end() && it->second.who == who)
        writers_.erase(it);
}

bool PgSideWriters::write(const std::string& dsn, PgStmt st) {
    // Called under the lock: once install removed a writer, it is not called again.
    std::lock_guard<std::mutex> hold(lock_);
    auto it = writers_.find(dsn);
    if (it == writers_.end()) return false;
    it->second.write(std::move(st));
    return true;
}

namespace {

// One bytea element of an array literal, in hex form: "\\x6162".
void append_bytea_element(std::string& out, std::string_view v) {
    static constexpr char hex[] = "0123456789abcdef";
    out += "\"\\\\x";
    for (unsigned char ch : v) {
        out += hex[ch >> 4];
        out += hex[ch & 15];
    }
    out += '"';
}

}  // namespace

std::string pg_array(const std::vector<const PgParam*>& values) {
    std::string out = "{";
    for (const PgParam* v : values) {
        if (out.size() > 1) out += ',';
        if (v->null) {
            out += "NULL";
        } else if (v->binary) {
            append_bytea_element(out, v->value);
        } else {
            out += '"';
            for (char ch : v->value) {
                if (ch == '"' || ch == '\\') out += '\\';
                out += ch;
            }
            out += '"';
        }
    }
    out += '}';
    return out;
}

std::string pg_bytea_array(const std::vector<const std::string*>& values) {
    std::string out = "{";
    for (const std::string* v : values) {
        if (out.size() > 1) out += ',';
        append_bytea_element(out, *v);
    }
    out += '}';
    return out;
}

std::string pg_int_array(const std::vector<std::int64_t>& values) {
    std::string out = "{";
    for (std::int64_t v : values) {
        if (out.size() > 1) out += ',';
        out += std::to_string(v);
    }
    out += '}';
    return out;
}

bool pg_side_write(PgSideWriters* side, const std::string& dsn, PgStmt st) {
    return side != nullptr && side->write(dsn, std::move(st));
}

}  // namespace tolvane
