// Alias and delivery tables (see alias.h).
#include "records/alias.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "foundation/lib.h"
#include "foundation/log.h"

namespace tolvane {

namespace {

constexpr std::size_t kMaxFields = 10;
constexpr std::size_t kMinBuckets = 1000;
constexpr std::size_t kMaxBuckets = std::size_t{1} << 22;
constexpr long kBytesPerBucket = 120;

struct FileCloser {
    void operator()(std::FILE* f) const noexcept {
        if (f != nullptr) std::fclose(f);
    }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

struct LineFree {
    void operator()(char* p) const noexcept { std::free(p); }
};

// A national number (leading "0") in international form. The same rule as the mail side
// uses for recipients; kept here so that the records layer needs nothing above it.
std::string fixed_phone(std::string_view number, const char* country) {
    if (number.empty() || number.front() != '0') return cut(number);
    std::string fixed = country != nullptr ? std::string(country) : std::string();
    fixed.append(number.substr(1));
    return cut(fixed);
}

// Field positions from an order text.
void read_order(const char* order, std::size_t& phone_at, std::size_t& email_at) {
    phone_at = 0;
    email_at = 1;
    if (order == nullptr) order = "phone,email";
    imsg("ALIAS: order of alias_file is (%s)", order);
    std::vector<std::string> words = s_split_words(order, ", \t");
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (iequals(words[i], "EMAIL"))
            email_at = i;
        else if (iequals(words[i], "PHONE"))
            phone_at = i;
        else
            dmsg("ALIAS: Unknown alias_file order= parameter '%s'", words[i].c_str());
    }
}

// The fields of one line: cut at the delimiter and at line ends, runs counting as one,
// blanks and tabs around each field dropped, at most kMaxFields.
std::vector<std::string_view> split_line(std::string_view line, char delim) {
    std::vector<std::string_view> out;
    std::size_t i = 0;
    while (i < line.size() && out.size() < kMaxFields) {
        while (i < line.size() && (line[i] == delim || line[i] == '\r' || line[i] == '\n')) ++i;
        std::size_t start = i;
        while (i < line.size() && line[i] != delim && line[i] != '\r' && line[i] != '\n') ++i;
        std::string_view field = strtrm(line.substr(start, i - start));
        if (!field.empty()) out.push_back(field);
    }
    return out;
}

}  // namespace

char alias_delimiter(const char* attribute, char def) {
    if (attribute == nullptr || *attribute == '\0') return def;
    if (iequals(attribute, "TAB")) return '\t';
    return attribute[0];
}

std::unique_ptr<aliases> alias_new() {
    return std::make_unique<aliases>();
}

Status alias_load(aliases* table, const std::string& path, const char* country,
                  const char* delimiter, const char* order) {
    if (table == nullptr) return Error{EINVAL, "no table"};
    std::size_t phone_at = 0, email_at = 1;
    read_order(order, phone_at, email_at);
    const char delim = alias_delimiter(delimiter, ' ');

    File f(std::fopen(path.c_str(), "r"));
    if (!f) {
        const int code = errno;
        std::string why = system_error(code);
        emsg("ALIAS: Failed to open (%s), %s", path.c_str(), why.c_str());
        return Error{code, strprintf("Failed to open (%s), %s", path.c_str(), why.c_str())};
    }

    struct stat st {};
    if (::fstat(::fileno(f.get()), &st) != 0 || S_ISDIR(st.st_mode)) {
        const int code = S_ISDIR(st.st_mode) ? EISDIR : errno;
        std::string why = system_error(code);
        emsg("ALIAS: Failed to open (%s), %s", path.c_str(), why.c_str());
        return Error{code, strprintf("Failed to open (%s), %s", path.c_str(), why.c_str())};
    }

    aliases fresh;
    if (!table->sized) {
        // Sized once, from the file; a pipe or device says nothing about its length.
        std::size_t buckets = 0;
        if (S_ISREG(st.st_mode) && st.st_size > 0)
            buckets = static_cast<std::size_t>(st.st_size / kBytesPerBucket);
        fresh.entries.reserve(std::clamp(buckets, kMinBuckets, kMaxBuckets));
    } else {
        fresh.entries.reserve(table->entries.bucket_count());
    }

    char* raw = nullptr;
    std::size_t cap = 0;
    long lineno = 0;
    for (;;) {
        errno = 0;
        ssize_t n = ::getline(&raw, &cap, f.get());
        if (n < 0) break;
        ++lineno;
        std::string_view line(raw, static_cast<std::size_t>(n));
        line = strip_eol_r(line);
        if (line.size() > TEXT_MAX) {
            imsg("ALIAS: line %ld of (%s) is longer than %zu characters, skipped", lineno,
                 path.c_str(), TEXT_MAX);
            continue;
        }
        if (!line.empty() && line.front() == '#') continue;
        std::vector<std::string_view> fields = split_line(line, delim);
        if (fields.size() < 2 || phone_at >= fields.size() || email_at >= fields.size()) continue;
        alias a{fixed_phone(fields[phone_at], country), std::string(fields[email_at])};
        if (a.phone.empty()) continue;
        std::vector<alias>& slot = fresh.entries[a.phone];
        slot.push_back(std::move(a));
        ++fresh.count;
    }
    std::unique_ptr<char, LineFree> hold(raw);
    if (std::ferror(f.get())) {
        const int code = errno != 0 ? errno : EIO;
        std::string why = system_error(code);
        emsg("ALIAS: Failed to read (%s), %s", path.c_str(), why.c_str());
        return Error{code, strprintf("Failed to open (%s), %s", path.c_str(), why.c_str())};
    }
    table->entries.swap(fresh.entries);
    table->count = fresh.count;
    table->sized = true;
    imsg("ALIAS: loaded %zu entries from (%s)", table->count, path.c_str());
    return {};
}

int alias_find(const aliases* table, std::string_view phone, std::string& email) {
    email.clear();
    if (table == nullptr) return 0;
    auto it = table->entries.find(std::string(phone));
    if (it == table->entries.end() || it->second.empty()) return 0;
    email = it->second.front().email;
    return 1;
}

std::size_t alias_count(const aliases* table) {
    return table != nullptr ? table->count : 0;
}

void alias_free(std::unique_ptr<aliases>& table) {
    table.reset();
}

}  // namespace tolvane
