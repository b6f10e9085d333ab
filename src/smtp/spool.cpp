// The message data of the listener: kept in memory up to the driver's
// spool_over bytes, beyond that written to a spool file (created then, on the
// first byte that does not fit); parsing the finished data into headers and the
// text chosen for the SMS.
//
// A spool file is written through a large stdio buffer. With spool_over 0 every
// mail goes to a file, created at DATA. A write that fails (a full disk) is
// remembered and the mail refused at its end; nothing is made of half the data.
//
// The chosen text is the first text/plain part, decoded from its charset to
// UTF-8; when it is missing or blank, the text of the first text/html part
// (mail_html); else the first other text part.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <random>

#include "foundation/lib.h"
#include "foundation/log.h"
#include "foundation/thread.h"
#include "foundation/utf8.h"
#include "mail/mail_charset.h"
#include "mail/mail_html.h"
#include "mail/mime.h"
#include "smtp/engine.h"
#include "smtp/engine_impl.h"

namespace tolvane {

namespace {

constexpr std::size_t SPOOL_IOBUF = 32 * 1024;
constexpr int SPOOL_TRIES = 1000;
constexpr long SPOOL_LOCK_MS = 120000;

int spool_number() {
    thread_local std::minstd_rand gen{std::random_device{}()};
    return std::uniform_int_distribution<int>(0, 99999)(gen);
}

// Holds "SMTP_FILE_LOCK"; not getting it within its limit ends the process.
class file_lock_hold {
  public:
    explicit file_lock_hold(MUTEX* m) : m_(m) {
        if (m_) th_mutex_wait_or_die(m_, SPOOL_LOCK_MS);
    }
    ~file_lock_hold() {
        if (m_) th_mutex_release(m_);
    }
    file_lock_hold(const file_lock_hold&) = delete;
    file_lock_hold& operator=(const file_lock_hold&) = delete;

  private:
    MUTEX* m_;
};

}  // namespace

smtp_message::spool_file::~spool_file() {
    if (f) std::fclose(f);
}

bool open_unique(smtp_message& m, std::string& err) {
    smtp_engine& d = *m.drv;
    spool_remove(m);  // a second DATA on the same message starts a fresh file
    err.clear();
    for (int tries = 1; tries <= SPOOL_TRIES; ++tries) {
        std::string path = attach_path(
            d.workpath, strprintf("%05d%05d.msg", spool_number(), spool_number()), 4096);
        file_lock_hold hold(d.filelock.get());
        // O_EXCL makes the check for an existing file and its creation one step, so
        // that neither another thread nor another process can take the same name.
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            int e = errno;
            if (e == EEXIST) continue;
            err = system_error(e);
            emsg("Failed to open (%s), %s", path.c_str(), err.c_str());
            // A directory that is missing or not writable will not get better by retrying.
            if (e == ENOENT || e == EACCES || e == ENOTDIR || e == EROFS || e == ENOSPC ||
                e == EDQUOT || e == EMFILE || e == ENFILE)
                return false;
            continue;
        }
        std::FILE* f = ::fdopen(fd, "w+");
        if (!f) {
            err = system_error(errno);
            ::close(fd);
            ::unlink(path.c_str());
            emsg("Failed to open (%s), %s", path.c_str(), err.c_str());
            continue;
        }
        auto sf = std::make_unique<smtp_message::spool_file>();
        sf->iobuf.resize(SPOOL_IOBUF);
        std::setvbuf(f, sf->iobuf.data(), _IOFBF, sf->iobuf.size());
        sf->f = f;
        m.f = std::move(sf);
        m.file = std::move(path);
        dmsg("open_unique tries=(%d) file=(%s)", tries, m.file.c_str());
        return true;
    }
    if (err.empty()) err = "no free file name";
    return false;
}

bool spool_start(smtp_message& m, std::string& err) {
    spool_remove(m);
    m.mem.clear();
    m.data_bytes = 0;
    m.oversize = 0;
    m.spool_error = 0;
    m.parsed = 0;
    m.in_memory = m.drv->spool_over > 0;
    if (m.in_memory) return true;
    return open_unique(m, err);
}

void spool_write(smtp_message& m, std::string_view piece) {
    if (piece.empty() || m.oversize || m.spool_error) return;
    if (m.data_bytes + static_cast<long>(piece.size()) > m.drv->max_size) {
        m.oversize = 1;  // nothing more is stored; the mail is refused at its end
        return;
    }
    if (m.in_memory) {
        if (m.data_bytes + static_cast<long>(piece.size()) <= m.drv->spool_over) {
            m.mem.append(piece);
            m.data_bytes += static_cast<long>(piece.size());
            return;
        }
        // Too big for memory: what came so far goes to a new spool file first.
        std::string err;
        std::string held;
        held.swap(m.mem);  // opening the file drops whatever m held
        m.in_memory = false;
        if (!open_unique(m, err)) {
            emsg("SMTP: cannot spool a mail of more than %ld bytes, %s", m.drv->spool_over,
                 err.c_str());
            m.spool_error = 1;
            return;
        }
        if (!held.empty() && std::fwrite(held.data(), 1, held.size(), m.f->f) != held.size()) {
            emsg("SMTP: writing spool file (%s) failed, %s", m.file.c_str(),
                 system_error(errno).c_str());
            m.spool_error = 1;
        }
        if (m.spool_error) return;
    }
    if (!m.f) return;
    if (std::fwrite(piece.data(), 1, piece.size(), m.f->f) != piece.size()) {
        emsg("SMTP: writing spool file (%s) failed, %s", m.file.c_str(),
             system_error(errno).c_str());
        m.spool_error = 1;
        return;
    }
    m.data_bytes += static_cast<long>(piece.size());
}

void spool_remove(smtp_message& m) {
    std::string().swap(m.mem);
    m.f.reset();
    if (!m.file.empty()) {
        ::unlink(m.file.c_str());
        m.file.clear();
    }
}

namespace {

// Raw bytes kept of a candidate part: room for 999 characters of four bytes, and
// far more for HTML, whose markup is most of its bytes.
constexpr std::size_t TEXT_BYTES_MAX = 4 * TEXT_MAX + 4;
constexpr std::size_t HTML_BYTES_MAX = 512 * 1024;

// One candidate for the SMS text: the raw bytes of a part and its charset.
struct text_part {
    std::string bytes;
    std::string charset;
    bool seen = false;  // claimed by a Content-Type
    std::size_t cap = TEXT_BYTES_MAX;

    void append(std::string_view add) {
        if (bytes.size() >= cap) return;
        bytes.append(add.substr(0, cap - bytes.size()));
    }
    [[nodiscard]] std::string text() const { return charset_to_utf8(bytes, charset); }
};

bool blank_text(std::string_view t) {
    return t.find_first_not_of(" \t\r\n") == std::string_view::npos;
}

std::string_view to_eol(std::string_view s) {
    std::size_t e = s.find_first_of("\r\n");
    return e == std::string_view::npos ? s : s.substr(0, e);
}

bool is_ws(char c) {
    return c == ' ' || c == '\t';
}

// The mail's bytes from their start: the memory copy or the rewound spool file. Null when
// there is nothing to read (a mail in memory is opened into `keep`).
std::FILE* open_for_reading(smtp_message& m,
                            std::unique_ptr<std::FILE, int (*)(std::FILE*)>& keep) {
    if (m.in_memory) {
        m.message.clear();
        if (m.mem.empty()) return nullptr;  // no data: no headers, no text
        keep.reset(::fmemopen(m.mem.data(), m.mem.size(), "r"));
        if (!keep) {
            emsg("SMTP: cannot read a mail held in memory, %s", system_error(errno).c_str());
            return nullptr;
        }
        return keep.get();
    }
    if (!m.f || !m.f->f) return nullptr;
    std::FILE* f = m.f->f;
    if (std::fflush(f) != 0 || std::fseek(f, 0, SEEK_SET) != 0) {
        emsg("SMTP: cannot rewind spool file (%s), %s", m.file.c_str(),
             system_error(errno).c_str());
        return nullptr;
    }
    return f;
}

// The text parts read so far and the header a continuation line extends.
struct mime_reading {
    text_part plain, html, other;
    // A mail without any Content-Type is plain text.
    text_part* current = &plain;
    std::string last;  // header name that continuation lines extend
    bool seen_header = false;

    mime_reading() { html.cap = HTML_BYTES_MAX; }

    // A header line, or the continuation of the last one.
    void header(smtp_message& m, std::string_view l) {
        m.gotheaders = 1;
        if (!l.empty() && is_ws(l.front())) {
            if (!seen_header) return;
            while (!l.empty() && is_ws(l.front())) l.remove_prefix(1);
            const std::string* old = mail_header_find(m.headers, last);
            std::string value = old ? *old : std::string();
            value.append(to_eol(l));
            mail_header_set(m.headers, last, value);
            return;
        }
        std::size_t e = l.find_first_of(": ");
        std::string_view name = l.substr(0, e);
        std::string_view value;
        if (e != std::string_view::npos) {
            value = l.substr(e + 1);
            while (!value.empty() && is_ws(value.front())) value.remove_prefix(1);
            value = to_eol(value);
        }
        name = to_eol(name);
        if (!value.empty()) mail_header_set(m.headers, name, value);
        last.assign(name);
        seen_header = true;
    }

    // A part's Content-Type: the first part of each kind of text is kept.
    void content(const std::string& type) {
        text_part* claim = nullptr;
        if (strstrnc(type, "text/plain") != std::string_view::npos) {
            claim = &plain;
        } else if (strstrnc(type, "text/html") != std::string_view::npos) {
            claim = &html;
        } else if (strstrnc(type, "text/") != std::string_view::npos) {
            claim = &other;
        }
        current = nullptr;
        if (claim != nullptr && !claim->seen) {
            claim->seen = true;
            claim->bytes.clear();
            claim->charset = content_charset(type);
            current = claim;
        }
    }

    // The SMS text: the plain part, else the HTML one as text, else another text part.
    std::string text() const {
        std::string t = plain.text();
        if (blank_text(t)) {
            if (html.seen) {
                t = html_to_text(html.text());
            } else if (other.seen) {
                t = other.text();
            }
        }
        return t;
    }
};

}  // namespace

void process_message_mime(smtp_message& m) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> in_memory(nullptr, std::fclose);
    std::FILE* f = open_for_reading(m, in_memory);
    if (f == nullptr) return;
    auto mime = mime_new();
    mime_reading r;
    std::string raw, bin;
    m.message.clear();
    for (;;) {
        int kind = mime_line(mime.get(), f, raw, bin);
        if (kind == MIME_END) break;
        switch (kind) {
            case MIME_HEADER:
                r.header(m, raw);
                break;
            case MIME_CONTENT:
                r.content(mime->content);
                break;
            case MIME_BOUNDARY:
                r.current = nullptr;
                break;
            case MIME_BODY:
                if (r.current != nullptr) r.current->append(bin);
                break;
            default:
                break;
        }
    }
    m.message = utf8_cut(r.text(), TEXT_MAX);
    mime_free(mime);
}

}  // namespace tolvane
