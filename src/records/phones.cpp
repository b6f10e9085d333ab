// The phone number pool (see phones.h).
#include "records/phones.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "foundation/fileio.h"
#include "foundation/lib.h"
#include "foundation/log.h"
#include "records/record_file.h"

namespace tolvane {

namespace {

constexpr std::time_t kIdleSeconds = 86400;

}  // namespace

struct PhonePool::Data {
    std::string workpath;
    phone_range range;
    std::map<long long, phone> entries;  // by index; only numbers in use
};

namespace {

using Pool = PhonePool::Data;

std::string make_number(const Pool& p, long long index) {
    return phone_range_number(p.range, index);
}

// Stricter than a record line: a tab has no place in a phone file either.
bool is_control_or_tab(unsigned char c) {
    return c < 0x20 || c == 0x7f;
}

long long number_index(const Pool& p, std::string_view n) {
    return phone_range_index(p.range, n);
}

// The number as the pool file's directories see it: blank-padded to four characters.
std::string padded(std::string_view number) {
    std::string s(number);
    if (s.size() < 4) s.insert(0, 4 - s.size(), ' ');
    return s;
}

std::string file_of(const std::string& workpath, std::string_view number, bool create) {
    std::string pad = padded(number);
    std::string ab = pad.substr(pad.size() - 4, 2);
    std::string cd = pad.substr(pad.size() - 2, 2);
    std::string d1 = attach_path(workpath, ab);
    std::string d2 = attach_path(d1, cd);
    if (create) {
        if (::mkdir(d1.c_str(), 0755) != 0 && errno != EEXIST)
            emsg("Error creating directory '%s', %s", d1.c_str(), std::strerror(errno));
        if (::mkdir(d2.c_str(), 0755) != 0 && errno != EEXIST)
            emsg("Error creating directory '%s', %s", d2.c_str(), std::strerror(errno));
    }
    return attach_path(d2, std::string(number) + ".dat");
}

// Reads "email|in|out|last|"; the address is what lies before the last three fields, so
// an address holding "|" still reads back.
bool read_pool_file(const std::string& path, phone& ph) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return false;
    char buf[4096];
    ssize_t n;
    do n = ::read(fd.get(), buf, sizeof buf);
    while (n < 0 && errno == EINTR);
    fd.reset();
    if (n <= 0) {
        emsg("phone file [%s] is empty or unreadable, skipped", path.c_str());
        return false;
    }
    std::string_view line(buf, static_cast<std::size_t>(n));
    line = line.substr(0, line.find('\n'));
    while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!line.empty() && line.back() == '|') line.remove_suffix(1);
    for (char c : line)
        if (is_control_or_tab(static_cast<unsigned char>(c))) {
            emsg("phone file [%s] holds control bytes, skipped", path.c_str());
            return false;
        }
    long long v[3];
    for (int i = 2; i >= 0; --i) {
        std::size_t bar = line.rfind('|');
        std::optional<long long> field =
            bar == std::string_view::npos ? std::nullopt : parse_decimal(line.substr(bar + 1));
        if (!field) {
            emsg("phone file [%s] is damaged, skipped", path.c_str());
            return false;
        }
        v[i] = *field;
        line = line.substr(0, bar);
    }
    if (line.empty()) {
        emsg("phone file [%s] has no address, skipped", path.c_str());
        return false;
    }
    ph.email = record_unescape(line, '|');
    ph.in = static_cast<int>(v[0]);
    ph.out = static_cast<int>(v[1]);
    ph.last = static_cast<std::time_t>(v[2]);
    return true;
}

void write_pool_file(const Pool& p, const phone& ph) {
    std::string path = file_of(p.workpath, ph.number, true);
    std::string line = record_escape(ph.email.value_or("(NULL)"), '|') + "|" +
                       std::to_string(ph.in) + "|" + std::to_string(ph.out) + "|" +
                       std::to_string(ph.last) + "|\n";
    FileWriteError failed;
    if (!write_file_atomic(path, line, 0644, failed))
        emsg("phone file [%s] cannot be written (%s)", path.c_str(),
             system_error(failed.code).c_str());
}

std::vector<std::string> subdirs(const std::string& dir) {
    std::vector<std::string> out;
    DIR* d = ::opendir(dir.c_str());
    if (!d) return out;
    while (dirent* de = ::readdir(d)) {
        if (std::strlen(de->d_name) != 2 || std::strcmp(de->d_name, "..") == 0) continue;
        if (de->d_type == DT_DIR) {
            out.emplace_back(de->d_name);
        } else if (de->d_type == DT_UNKNOWN) {
            struct stat st {};
            if (::stat(attach_path(dir, de->d_name).c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                out.emplace_back(de->d_name);
        }
    }
    ::closedir(d);
    return out;
}

long load_pool(Pool& p) {
    long loaded = 0;
    for (const std::string& ab : subdirs(p.workpath)) {
        std::string d1 = attach_path(p.workpath, ab);
        for (const std::string& cd : subdirs(d1)) {
            std::string d2 = attach_path(d1, cd);
            DIR* d = ::opendir(d2.c_str());
            if (!d) continue;
            std::vector<std::string> names;
            while (dirent* de = ::readdir(d)) {
                std::string_view n(de->d_name);
                if (n.size() > 4 && n.substr(n.size() - 4) == ".dat")
                    names.emplace_back(n.substr(0, n.size() - 4));
            }
            ::closedir(d);
            for (const std::string& number : names) {
                long long idx = number_index(p, number);
                // Only the file a per-number scan would open: the number's own name,
                // in its own directories.
                if (idx < 0 || make_number(p, idx) != number) continue;
                std::string pad = padded(number);
                if (pad.compare(pad.size() - 4, 2, ab) != 0 ||
                    pad.compare(pad.size() - 2, 2, cd) != 0)
                    continue;
                phone ph;
                ph.number = number;
                if (!read_pool_file(attach_path(d2, number + ".dat"), ph)) continue;
                p.entries[idx] = std::move(ph);
                if (++loaded % 10000 == 0) imsg("%ld phone number records loaded...", loaded);
            }
        }
    }
    return loaded;
}

}  // namespace

phone_range phone_range_of(const char* country, const char* service, long a, long b) {
    phone_range r;
    r.country = country ? country : "";
    std::string_view svc = service ? service : "";
    while (!svc.empty() && svc[0] == '0') svc.remove_prefix(1);
    r.service = std::string(svc);
    r.min = std::min(a, b);
    r.size = static_cast<long long>(std::max(a, b)) - r.min;
    return r;
}

// The digits after the prefixes must be a whole decimal number, so that a text sender
// never maps onto the value 0.
long long phone_range_index(const phone_range& r, std::string_view n) {
    if (r.size <= 0) return -1;
    if (!r.country.empty()) {
        if (!n.empty() && n[0] == '+' && r.country[0] != '+') n.remove_prefix(1);
        if (n.substr(0, r.country.size()) == r.country) n.remove_prefix(r.country.size());
    }
    if (!r.service.empty() && n.substr(0, r.service.size()) == r.service)
        n.remove_prefix(r.service.size());
    if (n.empty() || n.size() > 18) return -1;
    long long v = 0;
    for (char c : n) {
        if (c < '0' || c > '9') return -1;
        v = v * 10 + (c - '0');
    }
    long long idx = v - r.min;
    return idx >= 0 && idx < r.size ? idx : -1;
}

std::string phone_range_number(const phone_range& r, long long index) {
    return r.country + r.service + std::to_string(r.min + index);
}

PhonePool::PhonePool() : d_(std::make_unique<Data>()) {}
PhonePool::~PhonePool() = default;

long PhonePool::init(std::string_view workpath, const char* country, const char* service, long a,
                     long b) {
    std::lock_guard hold(lock_);
    *d_ = Pool();
    d_->workpath = std::string(workpath);
    d_->range = phone_range_of(country, service, a, b);
    imsg("phone range [%lld]-[%lld]", d_->range.min, d_->range.min + d_->range.size);
    dmsg("phone workarea [%s]", d_->workpath.c_str());
    if (country) dmsg("phone country [%s]", country);
    if (service) dmsg("phone service [%s]", service);
    if (d_->range.size == 0) return 0;
    long loaded = load_pool(*d_);
    imsg("%ld phones loaded", loaded);
    return loaded;
}

std::optional<std::string> PhonePool::isfree() {
    std::lock_guard hold(lock_);
    Pool& p = *d_;
    std::time_t t = now();
    long long expected = 0;
    phone* chosen = nullptr;
    for (auto& [idx, ph] : p.entries) {
        if (idx > expected) break;  // a gap: expected is free
        if (t - ph.last > kIdleSeconds) {
            imsg("Phone isfree, phone timed out, reuse it");
            ph.out = 0;
            ph.in = 0;
            ph.email.reset();
            chosen = &ph;
            break;
        }
        expected = idx + 1;
    }
    if (!chosen) {
        if (expected >= p.range.size) return std::nullopt;
        phone& ph = p.entries[expected];
        ph.number = make_number(p, expected);
        chosen = &ph;
    }
    chosen->last = t;
    imsg("Phone isfree (%s)", chosen->number.c_str());
    return chosen->number;
}

int PhonePool::out(const char* number, const char* email) {
    if (!number || !email) return 0;
    imsg("phone out [%s]", number);
    std::lock_guard hold(lock_);
    Pool& p = *d_;
    if (p.range.size == 0) return 0;
    long long idx = number_index(p, number);
    if (idx < 0) {
        imsg("phone out [%s], [%lld] is NOT a valid number!", number, idx);
        return 0;
    }
    phone& ph = p.entries[idx];
    if (ph.number.empty()) ph.number = make_number(p, idx);
    if (ph.email && *ph.email == email) {
        ++ph.out;
    } else {
        ph.email = email;
        ph.out = 1;
        ph.in = 0;
    }
    ph.last = now();
    write_pool_file(p, ph);
    imsg("phone out [%s][%s][in=%d][out=%d][%lld]", ph.number.c_str(), ph.email->c_str(), ph.in,
         ph.out, static_cast<long long>(ph.last));
    return 1;
}

std::optional<std::string> PhonePool::in(const char* number) {
    if (!number) return std::nullopt;
    imsg("phone in [%s]", number);
    std::lock_guard hold(lock_);
    Pool& p = *d_;
    if (p.range.size == 0) return std::nullopt;
    long long idx = number_index(p, number);
    if (idx < 0) {
        imsg("phone in [%s], [%lld] is NOT a valid number!", number, idx);
        return std::nullopt;
    }
    auto it = p.entries.find(idx);
    if (it == p.entries.end()) return std::nullopt;
    phone& ph = it->second;
    ph.last = now();
    ++ph.in;
    if (ph.email) {
        write_pool_file(p, ph);
        imsg("phone in [%s][%s][in=%d][out=%d][%lld]", ph.number.c_str(), ph.email->c_str(), ph.in,
             ph.out, static_cast<long long>(ph.last));
    }
    return ph.email;
}

std::string PhonePool::file(std::string_view number, bool create_dirs) {
    std::string workpath;
    {
        std::lock_guard hold(lock_);
        workpath = d_->workpath;
    }
    return file_of(workpath, number, create_dirs);
}

std::optional<phone> PhonePool::get(const char* number) {
    if (!number) return std::nullopt;
    std::lock_guard hold(lock_);
    long long idx = number_index(*d_, number);
    if (idx < 0) return std::nullopt;
    auto it = d_->entries.find(idx);
    if (it == d_->entries.end()) return std::nullopt;
    return it->second;
}

long PhonePool::count() {
    std::lock_guard hold(lock_);
    return static_cast<long>(d_->entries.size());
}

void PhonePool::clear() {
    std::lock_guard hold(lock_);
    *d_ = Pool();
}

std::time_t PhonePool::now() const {
    auto fn = clock_.load(std::memory_order_relaxed);
    return fn ? fn() : std::time(nullptr);
}

void PhonePool::set_clock(std::time_t (*fn)()) {
    clock_.store(fn, std::memory_order_relaxed);
}

}  // namespace tolvane
