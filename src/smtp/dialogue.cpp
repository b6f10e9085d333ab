// The listener's dialogue engine: client line reader, reply writer and the
// command table (see engine.h for the order in which the server drives it).
//
// The engine runs until it has what its caller asked for (stop_on), until the
// message data has ended, or until the dialogue is over. A reply owed for the
// last command read is sent by the next run, or by accept/reject.
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <thread>
#include <vector>

#include "foundation/lib.h"
#include "foundation/log.h"
#include "foundation/tracefile.h"
#include "smtp/engine.h"
#include "smtp/engine_impl.h"

namespace tolvane {

// ---- smtp_conn ----

smtp_conn::smtp_conn(std::unique_ptr<smtp_link> l, int ms) : link(std::move(l)), timeout_ms(ms) {}

smtp_conn::~smtp_conn() {
    flush();
    link.reset();  // closed before its place is given back
    if (session_count) {
        session_count->fetch_sub(1);
        smtp_sessions_gauge().sub();
    }
}

int smtp_conn::sockno() const {
    return link ? link->sockno() : -1;
}

bool smtp_conn::peer(std::string& ip, int& port) {
    return link && link->peer(ip, port);
}

std::size_t smtp_conn::discard_input() {
    std::size_t n = len_ - at_ + (has_pending_ ? pending_.size() : 0);
    at_ = len_ = 0;
    has_pending_ = false;
    pending_.clear();
    return n;
}

bool smtp_conn::input_drained() const {
    return at_ >= len_ && !has_pending_ && link && !link->buffered();
}

void smtp_conn::release_buffer() {
    if (at_ < len_) return;
    std::vector<char>().swap(buf_);
    at_ = len_ = 0;
}

void smtp_conn::push_line(std::string l) {
    pending_ = std::move(l);
    has_pending_ = true;
}

bool smtp_conn::flush() {
    // The session's trace lines stay held (see run_session): they go out when it ends, when
    // it has waited a second for its client, or when much is held.
    if (out_.empty()) return !write_failed_;
    if (!write_failed_ && !(link && link->write(out_))) write_failed_ = true;
    out_.clear();
    return !write_failed_;
}

bool smtp_conn::reply(std::string_view text) {
    if (write_failed_) return false;
    out_.append(text);
    out_.append("\r\n");
    // Replies wait while the client's next commands are already here, so that a
    // pipelining client gets them in one write; never while we would wait for input.
    if (at_ < len_ || has_pending_) return true;
    return flush();
}

void smtp_conn::pause(int ms) {
    if (ms <= 0 || !flush()) return;
    if (buf_.empty()) buf_.resize(SMTP_LINE_BUFFER);
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              end - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0 || !link) return;
        if (at_ > 0 && len_ == buf_.size()) {
            std::memmove(buf_.data(), buf_.data() + at_, len_ - at_);
            len_ -= at_;
            at_ = 0;
        }
        if (len_ == buf_.size()) {
            // A full buffer of commands waits anyway: nothing more is taken in.
            std::this_thread::sleep_for(std::chrono::milliseconds(left));
            return;
        }
        const int r = link->read(buf_.data() + len_, static_cast<int>(buf_.size() - len_),
                                 static_cast<int>(left));
        if (r == -2) return;  // the whole time passed quietly
        if (r <= 0) return;   // gone: the next read finds that out and ends the session
        len_ += static_cast<std::size_t>(r);
    }
}

int smtp_conn::next(std::string_view& piece, bool& more) {
    more = false;
    if (has_pending_) {
        has_pending_ = false;
        line.swap(pending_);
        pending_.clear();
        piece = line;
        return 1;
    }
    if (buf_.empty()) buf_.resize(SMTP_LINE_BUFFER);
    for (;;) {
        char* s = buf_.data() + at_;
        std::size_t n = len_ - at_;
        if (auto* lf = static_cast<char*>(std::memchr(s, '\n', n))) {
            std::size_t k = static_cast<std::size_t>(lf - s);
            at_ += k + 1;
            while (k > 0 && s[k - 1] == '\r') --k;
            std::replace(s, s + k, '\0', ' ');
            piece = std::string_view(s, k);
            return 1;
        }
        if (n == buf_.size()) {
            // A line longer than the buffer: hand out what is here. A CR at the end stays
            // behind, since it may belong to the line end.
            std::size_t k = n;
            if (s[k - 1] == '\r') --k;
            at_ += k;
            std::replace(s, s + k, '\0', ' ');
            piece = std::string_view(s, k);
            more = true;
            return 1;
        }
        if (at_ > 0) {
            std::memmove(buf_.data(), s, n);
            at_ = 0;
            len_ = n;
        }
        if (!flush()) return -1;
        if (!link) return 0;
        int r = link->read(buf_.data() + len_, static_cast<int>(buf_.size() - len_), timeout_ms);
        if (r <= 0) return 0;  // closed, failed or silent for too long; a partial line is lost
        len_ += static_cast<std::size_t>(r);
    }
}

// ---- the engine ----

namespace {

constexpr std::string_view R_MAIL_OK = "250 Command MAIL OK";
constexpr std::string_view R_RCPT_OK = "250 Command RCPT User found OK";
constexpr std::string_view R_DATA_GO = "354 Command DATA Start mail input; end with <CRLF>.<CRLF>";
constexpr std::string_view R_DATA_OK = "250 Command DATA Processed mail data OK";
constexpr std::string_view R_TOO_MANY_RCPTS = "452 Too many recipients";
constexpr std::string_view R_TOO_MANY_ERRORS = "421 Too many errors";
constexpr std::string_view R_VRFY =
    "252 Cannot VRFY user, but will accept message and attempt delivery";

bool say(smtp_message& m, std::string_view text, bool log = true) {
    if (log && smtp_logging(*m.drv))
        smtp_log(*m.drv, m.sock->sockno(), "SMTP->[%.*s]", static_cast<int>(text.size()),
                 text.data());
    return m.sock->reply(text);
}

// The argument of MAIL FROM: and RCPT TO: (text after the colon), without the
// parameters that follow a bracketed address ("SIZE=123 BODY=8BITMIME").
std::string address_arg(std::string_view rest) {
    std::size_t i = 0;
    while (i < rest.size() && (rest[i] == ' ' || rest[i] == '\t')) ++i;
    std::string_view a = rest.substr(i, TEXT_MAX);
    a = strtrm_right(a);
    if (!a.empty() && a.front() == '<') {
        // A quoted local part may hold '>' and blanks: the address ends at the first
        // '>' outside quotes.
        bool quoted = false;
        std::size_t k = 1;
        for (; k < a.size(); ++k) {
            if (a[k] == '"') quoted = !quoted;
            if (a[k] == '\\' && quoted)
                ++k;
            else if (a[k] == '>' && !quoted)
                break;
        }
        return std::string(a.substr(1, std::min(k, a.size()) - 1));
    }
    if (auto gt = a.rfind('>'); gt != std::string_view::npos) a = a.substr(0, gt);
    return std::string(a);
}

// The value of an ESMTP parameter ("SIZE") after the address of MAIL FROM:.
std::optional<std::string_view> mail_param(std::string_view line, std::string_view name) {
    std::size_t gt = line.find('>');
    std::string_view rest = gt == std::string_view::npos ? std::string_view() : line.substr(gt + 1);
    while (!rest.empty()) {
        while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t'))
            rest.remove_prefix(1);
        std::size_t e = rest.find_first_of(" \t");
        std::string_view word = rest.substr(0, e);
        rest = e == std::string_view::npos ? std::string_view() : rest.substr(e);
        if (word.size() > name.size() && word[name.size()] == '=' && istarts_with(word, name))
            return word.substr(name.size() + 1);
    }
    return std::nullopt;
}

// The EHLO answer: the HELO greeting line, then the extensions.
std::vector<std::string> ehlo_lines(const smtp_message& m, const std::string& greeting) {
    std::vector<std::string> l = {greeting, "PIPELINING", strprintf("SIZE %ld", m.drv->max_size),
                                  "8BITMIME"};
    if (smtp_starttls_offered(m)) l.emplace_back("STARTTLS");
    if (smtp_auth_offered(m)) l.emplace_back("AUTH PLAIN LOGIN");
    return l;
}

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

// A command word alone or followed by blanks and an argument.
bool is_verb(std::string_view l, std::string_view verb) {
    return istarts_with(l, verb) && (l.size() == verb.size() || is_blank(l[verb.size()]));
}

// Answers HELO or EHLO (the line) and takes the name the client gives.
bool greet(smtp_message& m, std::string_view l) {
    const smtp_engine& d = *m.drv;
    std::string_view a = l.substr(4);
    while (!a.empty() && is_blank(a.front())) a.remove_prefix(1);
    m.name = std::string(strtrm_right(a.substr(0, TEXT_MAX)));
    if (!m.ip) {
        std::string ip;
        int port = 0;
        if (m.sock->peer(ip, port)) m.ip = ip;
    }
    std::string hi =
        strprintf("%s. Hello %s(%s)", d.host.c_str(), m.name.c_str(), m.ip ? m.ip->c_str() : "");
    if (!istarts_with(l, "EHLO")) return say(m, "250 " + hi);
    std::vector<std::string> lines = ehlo_lines(m, hi);
    bool ok = true;
    for (std::size_t i = 0; ok && i < lines.size(); ++i)
        ok = say(m, (i + 1 < lines.size() ? "250-" : "250 ") + lines[i]);
    return ok;
}

// One line of message data (the first piece; further pieces are read here).
// Returns 1 at the end of the data, 0 to go on, or a negative read result.
int data_line(smtp_message& m, std::string_view piece, bool more) {
    if (!more && piece == ".") return 1;
    if (piece.size() >= 2 && piece[0] == '.' && piece[1] == '.') piece.remove_prefix(1);
    spool_write(m, piece);
    while (more) {
        int r = m.sock->next(piece, more);
        if (r <= 0) return r == 0 ? -3 : -4;
        spool_write(m, piece);
    }
    spool_write(m, "\n");
    return 0;
}

// The end of the data: parse the mail, or refuse it when it could not be stored whole.
void data_end(smtp_message& m, int& result) {
    // Buffered writes fail late: the last of them is checked here, before anything
    // could be made of a half-written file.
    if (m.f && m.f->f && !m.spool_error && !m.oversize &&
        (std::fflush(m.f->f) != 0 || std::ferror(m.f->f))) {
        emsg("SMTP: writing spool file (%s) failed, %s", m.file.c_str(),
             system_error(errno).c_str());
        m.spool_error = 1;
    }
    if (m.oversize || m.spool_error) {
        std::string_view r = m.oversize ? "552 Message size exceeds fixed maximum message size"
                                        : "452 Insufficient system storage";
        emsg("SMTP: mail from (%s) refused: %s (%ld bytes stored)", m.from ? m.from->c_str() : "",
             std::string(r).c_str(), m.data_bytes);
        m.parsed = 1;
        m.message.clear();
        m.upto = MODE_NEXT_MSG;
        spool_remove(m);
        if (!say(m, r) || !m.sock->flush()) result = SMTP_EWRITE;
        return;
    }
    process_message_mime(m);
    m.parsed = 1;
}

// How a turn of the dialogue ends: on to the next line, the run over with the connection
// left open for the caller, or the connection closed (result says why).
enum class turn { go_on, leave_open, close };

// A reply went out, or could not: then the connection closes.
turn said(bool ok, int& result) {
    if (ok) return turn::go_on;
    result = SMTP_EWRITE;
    return turn::close;
}

// A refusal counted against the client's error budget; a spent budget closes the session.
turn refuse(smtp_message& m, std::string_view text, int& result) {
    if (smtp_error_budget_spent(m)) {
        result = SMTP_ECLOSED;
        return turn::close;
    }
    return said(say(m, text), result);
}

// The result of a run whose input ended (r 0) or whose connection failed (r < 0).
int ended(const smtp_message& m, int r) {
    return r < 0 ? SMTP_EWRITE : (m.upto == MODE_NEXT_MSG ? SMTP_OK : SMTP_EREAD);
}

// The reply held back for the command the last run stopped on.
bool answer_held_command(smtp_message& m) {
    switch (m.upto) {
        case MODE_FROM: {
            bool ok = say(m, R_MAIL_OK);
            m.upto = MODE_TO;
            return ok;
        }
        case MODE_TO:
            return say(m, R_RCPT_OK);
        case MODE_DATA: {
            bool ok = say(m, R_DATA_GO);
            m.upto = MODE_MESSAGE_BODY;
            return ok;
        }
        case MODE_MESSAGE_BODY: {
            bool ok = say(m, R_DATA_OK);
            m.upto = MODE_NEXT_MSG;
            return ok;
        }
        default:
            return true;
    }
}

// A piece of the message text; its end hands the message on.
turn body_piece(smtp_message& m, std::string_view piece, bool more, int& result) {
    smtp_engine& d = *m.drv;
    if (smtp_logging(d))
        smtp_log(d, m.sock->sockno(), "SMTP<-[%.*s]", static_cast<int>(piece.size()), piece.data());
    int s = data_line(m, piece, more);
    if (s < 0) {
        result = s == -3 ? SMTP_EREAD : SMTP_EWRITE;
        return turn::close;
    }
    if (s == 1) {
        data_end(m, result);
        // The answer comes from accept, reject or the next run.
        return result != SMTP_OK ? turn::close : turn::leave_open;
    }
    return turn::go_on;
}

// A command line into m.sock->line: at most 999 characters, the rest of a longer one
// skipped, the line end taken off. Logged, credentials never. False when the input ended.
bool take_command_line(smtp_message& m, std::string_view piece, bool more, int& result) {
    std::string& line = m.sock->line;
    if (piece.data() != line.data())
        line.assign(piece.substr(0, TEXT_MAX));
    else if (line.size() > TEXT_MAX)
        line.resize(TEXT_MAX);
    int r = 1;
    while (more) {
        std::string_view skip;
        r = m.sock->next(skip, more);
        if (r <= 0) break;
    }
    if (r <= 0) {
        result = ended(m, r);
        return false;
    }
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    smtp_engine& d = *m.drv;
    if (smtp_logging(d)) {
        if (istarts_with(line, "AUTH"))
            smtp_log(d, m.sock->sockno(), "SMTP<-[AUTH <redacted>]");
        else
            smtp_log(d, m.sock->sockno(), "SMTP<-[%s]", line.c_str());
    }
    return true;
}

// ---- the commands ----
//
// Each command is one row of the table below: how its verb is recognised, the dialogue
// states it runs in, whether this listener offers it, and its handler. A line that matches
// no row, or a row that does not run where the dialogue stands, is refused: before HELO
// with "500 HELO expected", later with "500 Unknown command (<word>)"; either counts
// against the client's error budget.

// How a row's verb is recognised in a command line.
enum class match {
    word,        // the verb alone or followed by a blank and an argument (NOOP, VRFY)
    word_space,  // the verb alone or followed by a space (STARTTLS, AUTH)
    exact,       // the verb alone (QUIT, RSET, DATA)
    prefix,      // the line begins with it (HELO, EHLO, "MAIL FROM:", "RCPT TO:")
};

bool matches(std::string_view l, std::string_view verb, match how) {
    switch (how) {
        case match::word:
            return is_verb(l, verb);
        case match::word_space:
            return istarts_with(l, verb) && (l.size() == verb.size() || l[verb.size()] == ' ');
        case match::exact:
            return iequals(l, verb);
        case match::prefix:
            return istarts_with(l, verb);
    }
    return false;
}

// The dialogue states as a set of bits (1 << smtp_mode).
constexpr unsigned in(std::initializer_list<int> modes) {
    unsigned s = 0;
    for (int mode : modes) s |= 1u << mode;
    return s;
}
constexpr unsigned ANY_STATE = in({MODE_HELO, MODE_FROM, MODE_TO, MODE_DATA, MODE_NEXT_MSG});
// Where a mail transaction can be begun again or dropped.
constexpr unsigned ENVELOPE = in({MODE_FROM, MODE_TO, MODE_NEXT_MSG});

// A command's handler: the line, where the engine stops (stop_on), the run's result.
using handler = turn (*)(smtp_message& m, std::string_view l, int stop_on, int& result);

struct command_row {
    std::string_view verb;
    match how;
    unsigned states;                         // where it runs
    bool (*offered)(const smtp_message& m);  // null: always
    handler run;
};

// HELO or EHLO: a client may greet again at any time; it is answered as the first time,
// and a mail under way is dropped as by RSET. A greeting within the transaction (before
// MAIL) is told to its policy; one that ends the transaction is told to the next one.
turn hello_command(smtp_message& m, std::string_view l, int, int& result) {
    bool ok = greet(m, l);
    if (ok && m.upto == MODE_TO) {
        smtp_message_passoff(m, nullptr);
        return turn::leave_open;
    }
    if (m.upto == MODE_HELO) m.upto = MODE_FROM;
    if (ok && m.upto == MODE_FROM) smtp_tell_helo(m);
    return said(ok, result);
}

turn rset_command(smtp_message& m, std::string_view, int, int& result) {
    if (!say(m, "250 Command RSET OK")) {
        result = SMTP_EWRITE;
        return turn::close;
    }
    smtp_message_passoff(m, nullptr);
    return turn::leave_open;
}

turn quit_command(smtp_message& m, std::string_view, int, int& result) {
    if (!say(m, "221 Command QUIT, disconnecting")) result = SMTP_EWRITE;
    return turn::close;
}

// Probes and some MTAs keep a session alive with NOOP: never an error.
turn noop_command(smtp_message& m, std::string_view, int, int& result) {
    return said(say(m, "250 OK"), result);
}

// Whether a number can be reached is only known once the SMS is sent.
turn vrfy_command(smtp_message& m, std::string_view, int, int& result) {
    return said(say(m, R_VRFY), result);
}

// STARTTLS or AUTH, run by their own handlers; a failed one has ended the session.
turn session_command(smtp_message& m, int handled, int& result) {
    if (handled >= 0) return turn::go_on;
    if (m.sock) m.sock.reset();
    result = SMTP_ECLOSED;
    return turn::close;
}

turn starttls_command(smtp_message& m, std::string_view l, int, int& result) {
    return session_command(m, smtp_starttls_command(m, l), result);
}

// A login that succeeds is told to the transaction's policy.
turn auth_command(smtp_message& m, std::string_view l, int, int& result) {
    const bool before = m.sock->user.empty();
    turn t = session_command(m, smtp_auth_command(m, l), result);
    if (t == turn::go_on && before && m.sock && !m.sock->user.empty()) smtp_tell_auth(m);
    return t;
}

turn mail_command(smtp_message& m, std::string_view l, int stop_on, int& result) {
    if (m.upto == MODE_NEXT_MSG) {
        // The next mail on this connection: its own message takes this command.
        std::string first(l);
        smtp_message_passoff(m, &first);
        return turn::leave_open;
    }
    if (m.drv->auth == SMTP_AUTH_REQUIRED && m.sock->user.empty())
        return refuse(m, "530 Authentication required", result);
    // A client that says how big its mail is learns at once when it is too big.
    if (std::optional<std::string_view> size = mail_param(l, "SIZE")) {
        long n = std::atol(std::string(size->substr(0, 20)).c_str());
        if (n > m.drv->max_size)
            return refuse(m, "552 Message size exceeds fixed maximum message size", result);
    }
    m.from = address_arg(l.substr(10));
    if (stop_on == STOP_ON_FROM) {
        m.needreply = 1;
        return turn::leave_open;
    }
    bool ok = say(m, R_MAIL_OK);
    m.upto = MODE_TO;
    return said(ok, result);
}

turn rcpt_command(smtp_message& m, std::string_view l, int stop_on, int& result) {
    // Not counted as an error: clients send every recipient before they read a reply.
    const smtp_engine& d = *m.drv;
    if (d.max_recipients > 0 &&
        m.to.size() >= static_cast<std::size_t>(d.max_recipients + m.refused_rcpts))
        return said(say(m, R_TOO_MANY_RCPTS), result);
    m.to.push_front(address_arg(l.substr(8)));
    if (stop_on == STOP_ON_TO) {
        m.added = &m.to.front();
        m.needreply = 1;
        return turn::leave_open;
    }
    return said(say(m, R_RCPT_OK), result);
}

turn data_command(smtp_message& m, std::string_view, int stop_on, int& result) {
    std::string err;
    if (!spool_start(m, err)) {
        say(m, "452 Failed to create temp file.", false);
        smtp_log(*m.drv, m.sock->sockno(),
                 "SMTP->[452 Failed to create temp file in (%s), error (%s)]",
                 m.drv->workpath.c_str(), err.c_str());
        result = SMTP_ESPOOL;
        return turn::close;
    }
    if (stop_on == STOP_ON_TO) {
        m.upto = MODE_DATA;
        m.needreply = 1;
        return turn::leave_open;
    }
    bool ok = say(m, R_DATA_GO);
    m.upto = MODE_MESSAGE_BODY;
    return said(ok, result);
}

bool tls_offered(const smtp_message& m) {
    return m.drv->tls_setup != nullptr;
}

bool auth_on(const smtp_message& m) {
    return m.drv->auth != SMTP_AUTH_OFF;
}

// The commands of the listener. A new command is one row.
constexpr command_row COMMANDS[] = {
    {"QUIT", match::exact, ANY_STATE, nullptr, quit_command},
    {"NOOP", match::word, ANY_STATE, nullptr, noop_command},
    {"VRFY", match::word, ANY_STATE, nullptr, vrfy_command},
    {"HELO", match::prefix, ENVELOPE | in({MODE_HELO}), nullptr, hello_command},
    {"EHLO", match::prefix, ENVELOPE | in({MODE_HELO}), nullptr, hello_command},
    {"RSET", match::exact, ENVELOPE | in({MODE_DATA}), nullptr, rset_command},
    {"STARTTLS", match::word_space, in({MODE_FROM}), tls_offered, starttls_command},
    {"AUTH", match::word_space, in({MODE_FROM}), auth_on, auth_command},
    {"MAIL FROM:", match::prefix, in({MODE_FROM, MODE_NEXT_MSG}), nullptr, mail_command},
    {"RCPT TO:", match::prefix, in({MODE_TO}), nullptr, rcpt_command},
    {"DATA", match::exact, in({MODE_TO}), nullptr, data_command},
};

const command_row* find_command(std::string_view l) {
    for (const command_row& row : COMMANDS)
        if (matches(l, row.verb, row.how)) return &row;
    return nullptr;
}

// A command refused where the dialogue stands, or not known at all.
turn not_here(smtp_message& m, std::string_view l, int& result) {
    if (m.upto == MODE_HELO) return refuse(m, "500 HELO expected", result);
    std::size_t cut = 0;
    while (cut < l.size() && !is_blank(l[cut])) ++cut;
    std::string txt = "500 Unknown command (";
    txt.append(l.substr(0, cut)).append(")");
    return refuse(m, txt, result);
}

// One command, by its row and where the dialogue stands.
turn command(smtp_message& m, std::string_view l, int stop_on, int& result) {
    const command_row* row = find_command(l);
    if (row == nullptr || (row->states & (1u << m.upto)) == 0 ||
        (row->offered != nullptr && !row->offered(m)))
        return not_here(m, l, result);
    return row->run(m, l, stop_on, result);
}

// One line from the client: a piece of the message text, or a command.
turn one_turn(smtp_message& m, int stop_on, int& result) {
    std::string_view piece;
    bool more = false;
    int r = m.sock->next(piece, more);
    if (r <= 0) {
        result = ended(m, r);
        return turn::close;
    }
    if (m.upto == MODE_MESSAGE_BODY) return body_piece(m, piece, more, result);
    if (!take_command_line(m, piece, more, result)) return turn::close;
    return command(m, m.sock->line, stop_on, result);
}

// How long a session waits on its worker for a command before it lets the worker go: a
// client that is talking on a near network answers within it, and going through the
// reactor costs two epoll changes and two thread switches more than reading on. A client
// on a busy host often takes over a millisecond to be scheduled (under load, a mail made
// 2.8 epoll changes at 1 ms and 0.3 at 5 ms, with a sixth fewer system calls). A burst
// of clients that go silent still holds few workers: while sessions wait for a worker,
// none waits.
constexpr int SUSPEND_AFTER_MS = 5;

// Whether the run waits for the client's next command where its mail can go on later:
// before MAIL, between recipients (the last one answered), or after the mail's reply.
// Not within DATA, nor while a command waits for the policy's answer.
bool between_commands(const smtp_message& m, int stop_on) {
    if (m.needreply) return false;
    switch (stop_on) {
        case STOP_ON_FROM:
            return m.upto == MODE_HELO || m.upto == MODE_FROM;
        case STOP_ON_TO:
            return m.upto == MODE_TO;
        default:
            return m.upto == MODE_NEXT_MSG;
    }
}

// Whether the dialogue may stop here and let its session park the connection: it waits
// for a command between two (the idle parts of a session), nothing of the client's is
// held above the socket, and nothing comes within SUSPEND_AFTER_MS either (a client that
// is talking goes on at once, on this thread).
bool may_wait_without_thread(smtp_message& m, int stop_on) {
    if (!m.may_suspend || !between_commands(m, stop_on)) return false;
    if (!m.sock || !m.sock->input_drained()) return false;
    const int fd = m.sock->link->wait_fd();
    if (fd < 0) return false;
    const bool crowded = m.backlog && m.backlog->load(std::memory_order_relaxed) > 0;
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, crowded ? 0 : SUSPEND_AFTER_MS) == 0;
}

}  // namespace

int process_message(smtp_message& m, int stop_on) {
    m.added = nullptr;
    if (!m.sock) return SMTP_ECLOSED;
    if (!smtp_tls_wrapped(m)) {
        m.sock.reset();
        return SMTP_ECLOSED;
    }
    int result = SMTP_OK;
    turn t = turn::go_on;
    if (m.needreply) {
        m.needreply = 0;
        t = said(answer_held_command(m), result);
    }
    while (t == turn::go_on) {
        if (may_wait_without_thread(m, stop_on)) {
            m.suspended = true;
            return SMTP_SUSPENDED;
        }
        t = one_turn(m, stop_on, result);
    }
    if (t == turn::leave_open) return SMTP_OK;
    m.sock.reset();  // sends what is held, then closes
    return result;
}

bool smtp_error_budget_spent(smtp_message& m) {
    if (!m.sock) return true;
    if (++m.sock->errors <= SMTP_MAX_ERRORS) return false;
    imsg("SMTP client %s closed after %d refused or unknown commands", m.ip ? m.ip->c_str() : "",
         m.sock->errors);
    say(m, R_TOO_MANY_ERRORS);
    m.sock.reset();  // sends what is held, then closes
    return true;
}

void smtp_message_passoff(smtp_message& m, const std::string* first) {
    dmsg("Passing SMTP channel on to the next message");
    auto nm = std::make_unique<smtp_message>();
    nm->drv = m.drv;
    nm->name = m.name;
    nm->ip = m.ip;
    nm->upto = MODE_FROM;
    nm->sock = std::move(m.sock);
    if (first) nm->sock->push_line(*first);
    // The next mail follows this one on the same session worker.
    smtp_engine& d = *m.drv;
    if (d.handoff) {
        d.handoff(std::move(nm));
    } else {
        m.next = std::move(nm);
    }
}

std::unique_ptr<smtp_message> smtp_message_new(smtp_engine* drv, std::unique_ptr<smtp_link> link,
                                               int upto) {
    auto m = std::make_unique<smtp_message>();
    m->drv = drv;
    m->upto = upto;
    m->sock = std::make_unique<smtp_conn>(std::move(link),
                                          drv ? drv->client_timeout : SMTP_CLIENT_TIMEOUT);
    return m;
}

// ---- a link over a byte buffer ----

namespace {

class memory_link : public smtp_link {
  public:
    memory_link(std::string in, std::string* out, int chunk)
        : in_(std::move(in)), out_(out), chunk_(std::max(1, chunk)) {}
    int read(char* buf, int len, int) override {
        if (at_ >= in_.size()) return 0;
        std::size_t n = std::min(
            {static_cast<std::size_t>(len), static_cast<std::size_t>(chunk_), in_.size() - at_});
        std::memcpy(buf, in_.data() + at_, n);
        at_ += n;
        return static_cast<int>(n);
    }
    bool write(std::string_view data) override {
        if (out_) out_->append(data);
        return true;
    }
    int sockno() const override { return 0; }
    bool peer(std::string& ip, int& port) override {
        ip = "127.0.0.1";
        port = 0;
        return true;
    }
    // The bytes stay plain: what is tested over a buffer is the dialogue around the switch.
    Status start_tls(int) override { return {}; }

  private:
    std::string in_;
    std::size_t at_ = 0;
    std::string* out_;
    int chunk_;
};

}  // namespace

std::unique_ptr<smtp_link> smtp_memory_link(std::string input, std::string* output, int chunk) {
    return std::make_unique<memory_link>(std::move(input), output, chunk);
}

}  // namespace tolvane
