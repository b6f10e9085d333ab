// Reassembly of long SMS. See sms_concat.h.
#include "sms/sms_concat.h"

#include <algorithm>
#include <charconv>
#include <ctime>

#include "foundation/lib.h"

namespace tolvane {

std::string concat_join(const concat_set& set) {
    std::string out;
    for (int n = 1; n <= set.total; ++n) {
        auto it = set.parts.find(n);
        if (it != set.parts.end()) {
            out += it->second;
        } else {
            out += strprintf("[part %d of %d missing]", n, set.total);
        }
    }
    return out;
}

sms_reassembly::sms_reassembly(std::int64_t wait_seconds, clock now)
    : wait_(std::max<std::int64_t>(wait_seconds, 1)), now_(std::move(now)) {
    if (!now_) now_ = [] { return static_cast<std::int64_t>(std::time(nullptr)); };
}

void sms_reassembly::set_wait(std::int64_t wait_seconds) {
    wait_ = std::max<std::int64_t>(wait_seconds, 1);
}

concat_done sms_reassembly::finish(const concat_set& set) const {
    concat_done d;
    d.originator = set.originator;
    d.recipient = set.recipient;
    d.reference = set.reference;
    d.text = concat_join(set);
    d.total = set.total;
    d.received = static_cast<int>(set.parts.size());
    return d;
}

concat_outcome sms_reassembly::add(std::string_view originator, std::string_view recipient,
                                   const sms_concat& concat, std::string_view text,
                                   std::vector<concat_done>& ready) {
    if (!concat.is_part()) return concat_outcome::whole;
    std::int64_t now = now_();
    std::lock_guard<std::mutex> hold(lock_);
    key k{std::string(originator), concat.reference, concat.total};
    auto it = sets_.find(k);
    if (it == sets_.end()) {
        if (sets_.size() >= SMS_CONCAT_MAX_SETS) {
            auto oldest =
                std::min_element(sets_.begin(), sets_.end(), [](const auto& a, const auto& b) {
                    return a.second.first_seen < b.second.first_seen;
                });
            ready.push_back(finish(oldest->second));
            sets_.erase(oldest);
        }
        concat_set s;
        s.originator = k.originator;
        s.recipient = std::string(recipient);
        s.reference = concat.reference;
        s.total = concat.total;
        s.first_seen = now;
        it = sets_.emplace(k, std::move(s)).first;
    }
    concat_set& set = it->second;
    if (!set.parts.emplace(concat.part, std::string(text)).second) return concat_outcome::duplicate;
    if (static_cast<int>(set.parts.size()) < set.total) return concat_outcome::waiting;
    ready.push_back(finish(set));
    sets_.erase(it);
    return concat_outcome::complete;
}

std::vector<concat_done> sms_reassembly::expire() {
    std::int64_t now = now_();
    std::vector<concat_done> out;
    std::lock_guard<std::mutex> hold(lock_);
    for (auto it = sets_.begin(); it != sets_.end();) {
        if (now - it->second.first_seen >= wait_.load()) {
            out.push_back(finish(it->second));
            it = sets_.erase(it);
        } else {
            ++it;
        }
    }
    return out;
}

std::optional<std::int64_t> sms_reassembly::next_due() const {
    std::int64_t now = now_();
    std::lock_guard<std::mutex> hold(lock_);
    std::optional<std::int64_t> due;
    for (const auto& [k, set] : sets_) {
        std::int64_t left = std::max<std::int64_t>(0, set.first_seen + wait_.load() - now);
        if (!due || left < *due) due = left;
    }
    return due;
}

std::size_t sms_reassembly::waiting() const {
    std::lock_guard<std::mutex> hold(lock_);
    return sets_.size();
}

std::vector<concat_set> sms_reassembly::snapshot() const {
    std::lock_guard<std::mutex> hold(lock_);
    std::vector<concat_set> out;
    out.reserve(sets_.size());
    for (const auto& [k, set] : sets_) out.push_back(set);
    return out;
}

void sms_reassembly::restore(std::vector<concat_set> sets) {
    std::lock_guard<std::mutex> hold(lock_);
    sets_.clear();
    for (concat_set& s : sets) {
        key k{s.originator, s.reference, s.total};
        sets_.emplace(std::move(k), std::move(s));
    }
}

void sms_reassembly::merge(std::vector<concat_set> sets) {
    std::lock_guard<std::mutex> hold(lock_);
    for (concat_set& s : sets) {
        key k{s.originator, s.reference, s.total};
        auto [it, added] = sets_.try_emplace(std::move(k), s);
        if (added) continue;
        concat_set& have = it->second;
        have.first_seen = std::min(have.first_seen, s.first_seen);
        for (auto& [n, text] : s.parts) have.parts.try_emplace(n, std::move(text));
    }
}

bool sms_reassembly::drop(std::string_view originator, int reference, int total) {
    std::lock_guard<std::mutex> hold(lock_);
    return sets_.erase(key{std::string(originator), reference, total}) != 0;
}

// ---- text form ----
// A set:  "set <reference> <total> <first_seen> <n>:<originator> <n>:<recipient>\n"
// A part: "part <number> <n>:<text>\n", after its set.

namespace {

void put_text(std::string& out, std::string_view text) {
    out += std::to_string(text.size());
    out += ':';
    out += text;
}

// A number followed by one blank (or by the end of the line when last).
bool get_number(std::string_view text, std::size_t& at, std::int64_t& value) {
    const char* first = text.data() + at;
    const char* last = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(first, last, value);
    if (ec != std::errc() || ptr == first) return false;
    at = static_cast<std::size_t>(ptr - text.data());
    return true;
}

bool get_char(std::string_view text, std::size_t& at, char c) {
    if (at >= text.size() || text[at] != c) return false;
    ++at;
    return true;
}

bool get_text(std::string_view text, std::size_t& at, std::string& value) {
    std::int64_t n = 0;
    if (!get_number(text, at, n) || n < 0 || !get_char(text, at, ':')) return false;
    if (static_cast<std::uint64_t>(n) > text.size() - at) return false;
    value.assign(text.substr(at, static_cast<std::size_t>(n)));
    at += static_cast<std::size_t>(n);
    return true;
}

bool get_word(std::string_view text, std::size_t& at, std::string_view word) {
    if (text.substr(at, word.size()) != word) return false;
    at += word.size();
    return true;
}

}  // namespace

std::string concat_serialise(const std::vector<concat_set>& sets) {
    std::string out;
    for (const concat_set& s : sets) {
        out += strprintf("set %d %d %lld ", s.reference, s.total,
                         static_cast<long long>(s.first_seen));
        put_text(out, s.originator);
        out += ' ';
        put_text(out, s.recipient);
        out += '\n';
        for (const auto& [n, text] : s.parts) {
            out += "part " + std::to_string(n) + ' ';
            put_text(out, text);
            out += '\n';
        }
    }
    return out;
}

Result<std::vector<concat_set>> concat_deserialise(std::string_view text) {
    std::vector<concat_set> out;
    std::size_t at = 0;
    std::size_t line = 0;
    auto fail = [&line](const char* what) { return Error{0, strprintf("line %zu: %s", line, what)}; };
    while (at < text.size()) {
        ++line;
        if (get_word(text, at, "set ")) {
            concat_set s;
            std::int64_t ref = 0, total = 0, seen = 0;
            if (!get_number(text, at, ref) || !get_char(text, at, ' ') ||
                !get_number(text, at, total) || !get_char(text, at, ' ') ||
                !get_number(text, at, seen) || !get_char(text, at, ' ') ||
                !get_text(text, at, s.originator) || !get_char(text, at, ' ') ||
                !get_text(text, at, s.recipient) || !get_char(text, at, '\n'))
                return fail("malformed set line");
            if (ref < 0 || ref > 0xFFFF || total < 2 || total > 255)
                return fail("reference or total out of range");
            s.reference = static_cast<int>(ref);
            s.total = static_cast<int>(total);
            s.first_seen = seen;
            out.push_back(std::move(s));
        } else if (get_word(text, at, "part ")) {
            if (out.empty()) return fail("part before any set");
            std::int64_t n = 0;
            std::string body;
            if (!get_number(text, at, n) || !get_char(text, at, ' ') || !get_text(text, at, body) ||
                !get_char(text, at, '\n'))
                return fail("malformed part line");
            if (n < 1 || n > out.back().total) return fail("part number out of range");
            if (!out.back().parts.emplace(static_cast<int>(n), std::move(body)).second)
                return fail("part given twice");
        } else {
            return fail("neither a set nor a part");
        }
    }
    return out;
}

}  // namespace tolvane
