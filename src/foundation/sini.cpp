// The settings table: key table, parsed file, value resolution.
//
// SIni borrows the caller's key table and owns every setting read or stored (the pool
// `_settings`); the global part and each section hold references into the pool, so a
// setting written identically in many sections is stored once. Replaced settings stay in
// the pool until the table is freed, which keeps every text handed out valid.
//
// Lookups never change the table, apart from the parsed defaults that are built on first
// demand under `defaults_lock`; any number of threads may look up at once. Stores are
// for start-up, before readers exist.
//
// Limits: a file line is cut into pieces of 998 characters; a stored value is cut at 999;
// an attribute value has at most 29 words (nine attributes).
#include "foundation/sini.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "foundation/lib.h"
#include "foundation/log.h"

namespace tolvane {

namespace {

constexpr std::size_t kMaxWords = 29;
constexpr std::size_t kLinePiece = 998;

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

// Cuts text into words: blanks separate words; a word opening with a double quote runs to
// the next quote that is followed by a blank or the end of the text (or to the end when
// there is none); other words end at a blank or at "=", and that "=" is a word of its own.
// Stops after max words; `more` tells whether words were left over.
std::vector<std::string> cut_words(std::string_view text, std::size_t max, bool* more = nullptr) {
    std::vector<std::string> words;
    std::size_t i = 0;
    const std::size_t n = text.size();
    if (more) *more = false;
    while (true) {
        while (i < n && is_blank(text[i])) ++i;
        if (i >= n) break;
        if (words.size() >= max) {
            if (more) *more = true;
            break;
        }
        if (text[i] == '"') {
            std::size_t start = ++i;
            std::size_t end = n;
            for (std::size_t q = start; q < n; ++q) {
                if (text[q] == '"' && (q + 1 == n || is_blank(text[q + 1]))) {
                    end = q;
                    break;
                }
            }
            words.emplace_back(text.substr(start, end - start));
            i = end < n ? end + 1 : n;
        } else {
            // A word that starts at "=" is empty: so «name = value» gives four words and
            // no attribute, while name=value gives three.
            std::size_t start = i;
            while (i < n && !is_blank(text[i]) && text[i] != '=') ++i;
            words.emplace_back(text.substr(start, i - start));
            if (i < n && text[i] == '=') {
                if (words.size() >= max) {
                    if (more) *more = true;
                    break;
                }
                words.emplace_back("=");
                ++i;
            }
        }
    }
    return words;
}

// A backslash before a backslash or a double quote is dropped; others stay.
std::string unescape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && (text[i + 1] == '\\' || text[i + 1] == '"')) {
            out.push_back(text[++i]);
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

char fold(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Key names are found without regard to ASCII case, without building a folded copy.
struct FoldHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const {
        std::size_t h = 1469598103934665603ull;
        for (char c : s) h = (h ^ static_cast<unsigned char>(fold(c))) * 1099511628211ull;
        return h;
    }
};
struct FoldEqual {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const { return iequals(a, b); }
};

}  // namespace

struct sini_multi {
    std::string Name;
    std::string sValue;
};

struct sini_setting {
    SIniMode Mode = SM_NORMAL;
    int Id = -1;
    std::string sValue;              // SM_NORMAL
    std::vector<sini_multi> mValue;  // SM_MULTIPART
};

// A key's default cut into words, for lookups of one attribute of it.
struct sini_default {
    int Id = -1;
    std::vector<std::string> p;
};

// The values of one key in one part of the file, in file order.
struct KeyValues {
    int row;
    std::vector<const sini_setting*> values;
};

struct sini_domain {
    std::string Name;
    std::vector<KeyValues> Settings;  // sorted by row

    const std::vector<const sini_setting*>* find(int row) const {
        auto it = lower(row);
        return (it != Settings.end() && it->row == row) ? &it->values : nullptr;
    }
    std::vector<const sini_setting*>& at(int row) {
        auto it = lower(row);
        if (it == Settings.end() || it->row != row) it = Settings.insert(it, KeyValues{row, {}});
        return it->values;
    }

  private:
    std::vector<KeyValues>::const_iterator lower(int row) const {
        return std::lower_bound(Settings.begin(), Settings.end(), row,
                                [](const KeyValues& kv, int r) { return kv.row < r; });
    }
    std::vector<KeyValues>::iterator lower(int row) {
        return std::lower_bound(Settings.begin(), Settings.end(), row,
                                [](const KeyValues& kv, int r) { return kv.row < r; });
    }
};

struct KeyInfo {
    const sini_table* row;
    std::vector<std::string> names;  // attribute names of the template; empty: plain value
    std::size_t template_words = 0;
};

class SIni {
  public:
    const sini_table* Table = nullptr;
    std::vector<KeyInfo> keys;
    std::unordered_map<int, int> id_rows;  // Id -> row, first row wins
    std::vector<int> dense_rows;           // the same for Ids 0 .. rows-1
    std::unordered_map<std::string, int, FoldHash, FoldEqual> name_rows;  // first row wins

    std::vector<std::unique_ptr<sini_setting>> _settings;
    std::unordered_multimap<std::size_t, const sini_setting*> pool_index;

    mutable std::mutex defaults_lock;
    mutable std::vector<std::unique_ptr<sini_default>> _defaults;  // guarded by defaults_lock
    mutable std::vector<std::atomic<const sini_default*>> default_of;

    sini_domain Global;
    std::vector<std::unique_ptr<sini_domain>> Domains;
    std::vector<std::string> problems;  // values of the files that do not fit their keys
    std::unordered_map<std::string, std::size_t> domain_index;

    int row_of(int id) const {
        if (id >= 0 && static_cast<std::size_t>(id) < dense_rows.size()) return dense_rows[id];
        auto it = id_rows.find(id);
        return it == id_rows.end() ? -1 : it->second;
    }
    int row_of_name(const char* name) const {
        if (!name) return -1;
        auto it = name_rows.find(std::string_view(name));
        return it == name_rows.end() ? -1 : it->second;
    }
    sini_domain* find_domain(const char* name) {
        if (!name) return nullptr;
        auto it = domain_index.find(name);
        return it == domain_index.end() ? nullptr : Domains[it->second].get();
    }
    const sini_domain* find_domain(const char* name) const {
        return const_cast<SIni*>(this)->find_domain(name);
    }
    sini_domain* add_domain(std::string_view name) {
        auto it = domain_index.find(std::string(name));
        if (it != domain_index.end()) return Domains[it->second].get();
        auto d = std::make_unique<sini_domain>();
        d->Name = name;
        domain_index.emplace(d->Name, Domains.size());
        Domains.push_back(std::move(d));
        return Domains.back().get();
    }

    std::optional<sini_setting> parse(int row, std::string_view value) const;
    const sini_setting* intern(sini_setting&& s);
    int set(int row, sini_domain* dom, std::string_view value);
    const sini_default* default_words(int row) const;
    struct Found {
        const sini_setting* setting = nullptr;
        int default_row = -1;  // the row whose default answers, when no setting does
    };
    Found resolve(int row, const char* section, int count) const;
    const char* get(int row, const char* section, const char* part, int count) const;
};

namespace {

bool same_setting(const sini_setting& a, const sini_setting& b) {
    if (a.Id != b.Id || a.Mode != b.Mode) return false;
    if (a.Mode == SM_NORMAL) return a.sValue == b.sValue;
    if (a.mValue.size() != b.mValue.size()) return false;
    for (std::size_t i = 0; i < a.mValue.size(); ++i) {
        if (a.mValue[i].Name != b.mValue[i].Name || a.mValue[i].sValue != b.mValue[i].sValue)
            return false;
    }
    return true;
}

std::size_t setting_hash(const sini_setting& s) {
    std::hash<std::string> h;
    std::size_t v = static_cast<std::size_t>(s.Id) * 31u + static_cast<std::size_t>(s.Mode);
    auto mix = [&v](std::size_t x) { v ^= x + 0x9e3779b97f4a7c15ull + (v << 6) + (v >> 2); };
    if (s.Mode == SM_NORMAL) {
        mix(h(s.sValue));
    } else {
        for (const auto& m : s.mValue) {
            mix(h(m.Name));
            mix(h(m.sValue));
        }
    }
    return v;
}

const char* value_of(const sini_setting* s, const char* part) {
    if (s->Mode == SM_NORMAL) return s->sValue.c_str();
    if (!part) return s->mValue.empty() ? nullptr : s->mValue.front().sValue.c_str();
    for (const auto& m : s->mValue) {
        if (iequals(m.Name, part)) return m.sValue.c_str();
    }
    return nullptr;
}

}  // namespace

std::optional<sini_setting> SIni::parse(int row, std::string_view value) const {
    const KeyInfo& k = keys[row];
    sini_setting s;
    s.Id = k.row->Id;
    if (k.names.empty()) {
        s.Mode = SM_NORMAL;
        s.sValue = value;
        return s;
    }
    bool more = false;
    std::vector<std::string> words = cut_words(unescape(value), kMaxWords, &more);
    if (more || words.empty() || words.size() % 3 != 0) return std::nullopt;
    auto in_template_exact = [&k](const std::string& name) {
        for (const auto& n : k.names)
            if (n == name) return true;
        return false;
    };
    for (std::size_t i = 0; i < words.size(); i += 3) {
        if (!in_template_exact(words[i])) return std::nullopt;
    }
    if (words.size() < k.template_words && k.row->Default) {
        std::vector<std::string> def = cut_words(unescape(k.row->Default), kMaxWords);
        const std::size_t given = words.size();
        for (std::size_t i = 0; i + 2 < def.size(); i += 3) {
            bool present = false;
            for (std::size_t j = 0; j < given; j += 3) {
                if (words[j] == def[i]) {
                    present = true;
                    break;
                }
            }
            if (present) continue;
            words.push_back(def[i]);
            words.push_back(def[i + 1]);
            words.push_back(def[i + 2]);
        }
    }
    s.Mode = SM_MULTIPART;
    s.mValue.reserve(words.size() / 3);
    for (std::size_t i = 0; i < words.size(); i += 3) {
        if (words[i + 1] != "=") return std::nullopt;
        bool known = false;
        for (const auto& n : k.names) {
            if (iequals(n, words[i])) {
                known = true;
                break;
            }
        }
        if (!known) return std::nullopt;
        s.mValue.push_back(sini_multi{std::move(words[i]), std::move(words[i + 2])});
    }
    return s;
}

const sini_setting* SIni::intern(sini_setting&& s) {
    std::size_t h = setting_hash(s);
    auto range = pool_index.equal_range(h);
    for (auto it = range.first; it != range.second; ++it) {
        if (same_setting(*it->second, s)) return it->second;
    }
    _settings.push_back(std::make_unique<sini_setting>(std::move(s)));
    const sini_setting* p = _settings.back().get();
    pool_index.emplace(h, p);
    return p;
}

int SIni::set(int row, sini_domain* dom, std::string_view value) {
    if (value.size() > TEXT_MAX) value = value.substr(0, TEXT_MAX);
    std::optional<sini_setting> s = parse(row, value);
    if (!s) return 0;
    std::vector<const sini_setting*>& vals = dom->at(row);
    if (keys[row].row->Mode != SM_MULTI && !vals.empty()) {
        if (same_setting(*vals.front(), *s)) return 0;
        vals.front() = intern(std::move(*s));
        return 1;
    }
    vals.push_back(intern(std::move(*s)));
    return 1;
}

const sini_default* SIni::default_words(int row) const {
    const sini_default* d = default_of[row].load(std::memory_order_acquire);
    if (d) return d;
    std::lock_guard<std::mutex> g(defaults_lock);
    d = default_of[row].load(std::memory_order_relaxed);
    if (d) return d;
    auto made = std::make_unique<sini_default>();
    made->Id = keys[row].row->Id;
    // Escapes are taken out here as they are when a default is merged into a stored
    // value, so that a default's attribute reads the same either way.
    made->p = cut_words(unescape(keys[row].row->Default), kMaxWords);
    d = made.get();
    _defaults.push_back(std::move(made));
    default_of[row].store(d, std::memory_order_release);
    return d;
}

SIni::Found SIni::resolve(int row, const char* section, int count) const {
    if (count < 0) return {};
    const sini_domain* dom = find_domain(section);
    // A chain of fallbacks visits each key at most once, even when the key table loops.
    for (std::size_t hops = 0; hops <= keys.size() && row >= 0; ++hops) {
        std::size_t n = static_cast<std::size_t>(count);
        for (const sini_domain* d : {dom, &Global}) {
            if (!d) continue;
            const auto* vals = d->find(row);
            if (!vals) continue;
            if (n < vals->size()) return {(*vals)[n], -1};
            n -= vals->size();
        }
        // Defaults and fallbacks stand in for the first occurrence only.
        if (count != 0) return {};
        const sini_table* k = keys[row].row;
        if (k->Default) return {nullptr, row};
        if (k->Fallback == -1) return {};
        row = row_of(k->Fallback);
    }
    return {};
}

const char* SIni::get(int row, const char* section, const char* part, int count) const {
    Found f = resolve(row, section, count);
    if (f.setting) return value_of(f.setting, part);
    if (f.default_row < 0) return nullptr;
    const char* def = keys[f.default_row].row->Default;
    if (!part) return def;
    // Only attribute names are compared: a value that happens to equal the name asked
    // for must not answer for it.
    const sini_default* d = default_words(f.default_row);
    for (std::size_t i = 0; i + 2 < d->p.size(); i += 3) {
        if (d->p[i + 1] == "=" && d->p[i] == part) return d->p[i + 2].c_str();
    }
    return nullptr;
}

std::unique_ptr<SIni> sini_init(const sini_table* table) {
    if (!table) return nullptr;
    auto ini = std::make_unique<SIni>();
    ini->Table = table;
    for (const sini_table* r = table; r->Name; ++r) {
        KeyInfo k{r, {}, 0};
        if (r->Format && *r->Format) {
            std::vector<std::string> w = cut_words(r->Format, kMaxWords);
            if (w.size() > 1) {
                for (std::size_t i = 0; i < w.size(); i += 3) k.names.push_back(w[i]);
                k.template_words = w.size();
            }
        }
        int row = static_cast<int>(ini->keys.size());
        ini->keys.push_back(std::move(k));
        ini->id_rows.emplace(r->Id, row);
        ini->name_rows.emplace(r->Name, row);
    }
    ini->dense_rows.assign(ini->keys.size(), -1);
    for (const auto& [id, row] : ini->id_rows) {
        if (id >= 0 && static_cast<std::size_t>(id) < ini->dense_rows.size())
            ini->dense_rows[id] = row;
    }
    ini->default_of = std::vector<std::atomic<const sini_default*>>(ini->keys.size());
    return ini;
}

void sini_free(std::unique_ptr<SIni>& ini) {
    ini.reset();
}

int sini_load(SIni* ini, const std::string& path, const char* section_keyword) {
    if (!ini) return 0;
    std::FILE* raw = std::fopen(path.c_str(), "rb");
    if (!raw) return 0;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(raw, &std::fclose);
    struct stat st {};
    if (::fstat(fileno(raw), &st) == 0 && S_ISDIR(st.st_mode)) return 0;

    const std::string_view keyword = section_keyword ? section_keyword : "domain";
    sini_domain* current = &ini->Global;
    std::string piece;
    piece.reserve(kLinePiece);
    bool eof = false;
    long line_no = 0;
    bool line_start = true;
    while (!eof) {
        // One piece as a 999-byte line buffer would take it: up to the line feed, or 998
        // characters, whichever comes first; the rest of a long line is the next piece.
        piece.clear();
        while (piece.size() < kLinePiece) {
            int c = getc_unlocked(raw);
            if (c == EOF) {
                eof = true;
                break;
            }
            piece.push_back(static_cast<char>(c));
            if (c == '\n') break;
        }
        if (piece.empty()) break;
        if (line_start) ++line_no;
        line_start = piece.back() == '\n';

        std::string_view line(piece);
        if (auto end = line.find_first_of(std::string_view("\r\n\0", 3)); end != line.npos)
            line = line.substr(0, end);

        std::size_t i = 0;
        while (i < line.size() && is_blank(line[i])) ++i;
        std::size_t key_end = i;
        while (key_end < line.size() && !is_blank(line[key_end])) ++key_end;
        std::string key(line.substr(i, key_end - i));
        if (key.empty() || key[0] == '#') continue;

        if (iequals(key, keyword)) {
            std::size_t j = key_end;
            while (j < line.size() && is_blank(line[j])) ++j;
            std::size_t name_end = j;
            while (name_end < line.size() && !is_blank(line[name_end])) ++name_end;
            if (name_end == j) {
                // A section line without a name would make a section nobody can ask for;
                // the line is dropped and the current section stays.
                emsg("Setting invalid (%s)(%s)", key.c_str(), "");
                continue;
            }
            current = ini->add_domain(line.substr(j, name_end - j));
            continue;
        }

        std::string value(key_end < line.size() ? line.substr(key_end + 1) : std::string_view());
        int row = ini->row_of_name(key.c_str());
        if (row < 0 || !ini->set(row, current, value))
            emsg("Setting invalid (%s)(%s)", key.c_str(), value.c_str());
        if (row < 0) continue;
        if (Status fits = sini_value_fits(*ini->keys[row].row, value); !fits)
            ini->problems.push_back(path + " line " + std::to_string(line_no) + ": " +
                                    ini->keys[row].row->Name + " (" + cut(value, 80) + ") " +
                                    fits.error().reason);
    }
    if (std::ferror(raw)) emsg("Error reading settings file (%s)", path.c_str());
    return 1;
}

int sini_set(SIni* ini, int id, const char* section, const char* value) {
    if (!ini || !value) return 0;
    int row = ini->row_of(id);
    if (row < 0) return 0;
    sini_domain* dom = ini->find_domain(section);
    return ini->set(row, dom ? dom : &ini->Global, value);
}

int sini_set_l(SIni* ini, const char* name, const char* section, const char* value) {
    if (!ini || !value) return 0;
    int row = ini->row_of_name(name);
    if (row < 0) return 0;
    sini_domain* dom = ini->find_domain(section);
    return ini->set(row, dom ? dom : &ini->Global, value);
}

const char* sini_getx(const SIni* ini, int id, const char* section, const char* part, int count) {
    if (!ini) return nullptr;
    int row = ini->row_of(id);
    if (row < 0) return nullptr;
    return ini->get(row, section, part, count);
}

const char* sini_getx_l(const SIni* ini, const char* name, const char* section, const char* part,
                        int count) {
    if (!ini) return nullptr;
    int row = ini->row_of_name(name);
    if (row < 0) return nullptr;
    return ini->get(row, section, part, count);
}

std::vector<std::pair<std::string, std::string>> sini_attributes(const SIni* ini, int id,
                                                                 const char* section, int count) {
    std::vector<std::pair<std::string, std::string>> out;
    if (!ini) return out;
    int row = ini->row_of(id);
    if (row < 0) return out;
    SIni::Found f = ini->resolve(row, section, count);
    if (f.setting && f.setting->Mode == SM_MULTIPART) {
        for (const auto& m : f.setting->mValue) out.emplace_back(m.Name, m.sValue);
    }
    return out;
}

int sini_id(const SIni* ini, const char* name) {
    if (!ini) return -1;
    int row = ini->row_of_name(name);
    return row < 0 ? -1 : ini->keys[row].row->Id;
}

int sini_domains(const SIni* ini) {
    return ini ? static_cast<int>(ini->Domains.size()) : 0;
}

const char* sini_domain_name(const SIni* ini, int index) {
    if (!ini || index < 0 || static_cast<std::size_t>(index) >= ini->Domains.size()) return nullptr;
    return ini->Domains[index]->Name.c_str();
}

int sini_add_domain(SIni* ini, const char* name) {
    if (!ini || !name) return 0;
    ini->add_domain(name);
    return 1;
}

std::vector<std::string> sini_problems(const SIni* ini) {
    return ini ? ini->problems : std::vector<std::string>();
}

const sini_table* sini_keys(const SIni* ini) {
    return ini ? ini->Table : nullptr;
}

}  // namespace tolvane

void std::default_delete<tolvane::SIni>::operator()(tolvane::SIni* ini) const noexcept {
    delete ini;
}
