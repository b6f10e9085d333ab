// The installed state stores and the file implementations (see stores.h).
//
// The file implementations own nothing: they call the module state of msgrec.h, msglog.h
// and phones.h, which start-up loads as before. The installed set is swapped only before
// message threads start and after they stop, so readers take no lock.
#include "records/stores.h"

#include <ctime>
#include <mutex>
#include <string>

#include "records/msglog.h"
#include "records/phones.h"

namespace tolvane {

namespace {

class FileRecords final : public RecordStore {
  public:
    bool write(std::string_view status, std::string_view client, std::string_view from,
               std::string_view to, std::string_view text, std::string_view day_kind,
               std::time_t when) override {
        return msgrec_write_record(status, client, from, to, text, day_kind, when) == 1;
    }
    Result<std::string> day(std::string_view yyyymmdd, std::string_view day_kind) override {
        return msgrec_day_records(yyyymmdd, day_kind);
    }
    Result<DayOutcomes> today(std::time_t now, std::size_t last_n) override {
        // The records sit with the first limit; without one there are none.
        std::string dir;
        char delim = '|';
        return msgrec_records_at(dir, delim) ? msgrec_today_in(dir, delim, now, last_n)
                                             : DayOutcomes{};
    }
};

class FileMessageLog final : public MessageLogStore {
  public:
    bool store(std::string_view phone, std::string_view email) override {
        return msglog_store(std::string(phone).c_str(), std::string(email).c_str()) == 1;
    }
    int lookup(std::string_view phone, int n, std::string& email) override {
        return msglog_lookup(std::string(phone).c_str(), n, email);
    }
    int latest(std::string_view phone, std::string& email) override {
        return msglog_latest(std::string(phone).c_str(), email);
    }
};

class FilePhonePool final : public PhonePoolStore {
  public:
    std::optional<std::string> bind(std::string_view email) override {
        // The pool's own lock covers each call; this one covers the pair, so that no other
        // thread of this process can take the number between them.
        std::lock_guard hold(lock_);
        std::optional<std::string> n = phone_isfree();
        if (!n) return std::nullopt;
        phone_out(n->c_str(), std::string(email).c_str());
        return n;
    }
    std::optional<std::string> in(std::string_view number, bool& unavailable) override {
        unavailable = false;
        return phone_in(std::string(number).c_str());
    }

  private:
    std::mutex lock_;
};

class FileLimits final : public LimitStore {
  public:
    int reserve(msgrecs* mr, int kind, std::string_view key, int units, bool check) override {
        return msgrec_reserve(mr, kind, key, units, check);
    }
    void unreserve(msgrecs* mr, int kind, std::string_view key, int units) override {
        msgrec_unreserve(mr, kind, key, units);
    }
    void count_sent(std::string_view client, std::string_view from, std::string_view to,
                    std::string_view user, bool reserved, std::string_view apikey) override {
        msgrec_count_sent(client, from, to, user, reserved, apikey);
    }
    int count(msgrecs* mr, int kind, std::string_view key) override {
        return msgrec_count(mr, kind, key) + msgrec_reserved(mr, kind, key);
    }
    std::vector<std::pair<std::string, int>> entries(msgrecs* mr, int kind) override {
        std::vector<std::pair<std::string, int>> rows;
        msgrec_list_walk(msgrec_list_of(mr, kind),
                         [&](msgrec& e) { rows.emplace_back(e.string, e.count); });
        return rows;
    }
    int reset(msgrecs* mr, int kind, std::string_view key) override {
        return msgrec_reset(mr, kind, key);
    }
};

struct Installed {
    StateStores files{file_record_store(), file_msglog_store(), file_phone_pool(),
                      file_limit_store()};
    StateStores chosen;
};

Installed& installed() {
    static Installed s;
    return s;
}

}  // namespace

std::unique_ptr<RecordStore> file_record_store() {
    return std::make_unique<FileRecords>();
}
std::unique_ptr<MessageLogStore> file_msglog_store() {
    return std::make_unique<FileMessageLog>();
}
std::unique_ptr<PhonePoolStore> file_phone_pool() {
    return std::make_unique<FilePhonePool>();
}
std::unique_ptr<LimitStore> file_limit_store() {
    return std::make_unique<FileLimits>();
}

void state_install(StateStores stores) {
    installed().chosen = std::move(stores);
}

void state_reset() {
    installed().chosen = StateStores{};
}

RecordStore& records_store() {
    Installed& s = installed();
    return s.chosen.records ? *s.chosen.records : *s.files.records;
}
MessageLogStore& msglog_store_of() {
    Installed& s = installed();
    return s.chosen.msglog ? *s.chosen.msglog : *s.files.msglog;
}
PhonePoolStore& phone_pool() {
    Installed& s = installed();
    return s.chosen.phones ? *s.chosen.phones : *s.files.phones;
}
LimitStore& limit_store() {
    Installed& s = installed();
    return s.chosen.limits ? *s.chosen.limits : *s.files.limits;
}

int state_write(std::string_view status, std::string_view client, std::string_view from,
                std::string_view to, std::string_view text, std::string_view day_kind, bool counted,
                bool reserved, std::string_view user, std::string_view apikey) {
    // The records follow the first limit, whichever store keeps them.
    if (msgrec_limits().empty()) return 0;
    if (!records_store().write(status, client, from, to, text, day_kind, msgrec_now())) return 0;
    if (counted) limit_store().count_sent(client, from, to, user, reserved, apikey);
    return 1;
}

}  // namespace tolvane
