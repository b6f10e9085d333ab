// The file implementations of the state stores and the record write through them (see
// stores.h).
//
// The file implementations hold references to the log, pool and registry of limits of
// their owner; the record store also owns the open day files and today's read positions.
#include "records/stores.h"

#include <ctime>
#include <mutex>
#include <string>

namespace tolvane {

namespace {

class FileRecords final : public RecordStore {
  public:
    explicit FileRecords(LimitRegistry& limits) : limits_(limits) {}
    bool write(std::string_view status, std::string_view client, std::string_view from,
               std::string_view to, std::string_view text, std::string_view day_kind,
               std::time_t when) override {
        return days_.write(limits_, status, client, from, to, text, day_kind, when) == 1;
    }
    Result<std::string> day(std::string_view yyyymmdd, std::string_view day_kind) override {
        return msgrec_day_records(limits_, yyyymmdd, day_kind);
    }
    Result<DayOutcomes> today(std::time_t now, std::size_t last_n) override {
        // The records sit with the first limit; without one there are none.
        std::string dir;
        char delim = '|';
        return limits_.records_at(dir, delim) ? reader_.today(dir, delim, now, last_n)
                                              : DayOutcomes{};
    }

  private:
    LimitRegistry& limits_;
    DayFiles days_;
    DayFileReader reader_;
};

class FileMessageLog final : public MessageLogStore {
  public:
    explicit FileMessageLog(MessageLog& log) : log_(log) {}
    bool store(std::string_view phone, std::string_view email) override {
        return log_.store(std::string(phone).c_str(), std::string(email).c_str()) == 1;
    }
    int lookup(std::string_view phone, int n, std::string& email) override {
        return log_.lookup(std::string(phone).c_str(), n, email);
    }
    int latest(std::string_view phone, std::string& email) override {
        return log_.latest(std::string(phone).c_str(), email);
    }

  private:
    MessageLog& log_;
};

class FilePhonePool final : public PhonePoolStore {
  public:
    explicit FilePhonePool(PhonePool& pool) : pool_(pool) {}
    std::optional<std::string> bind(std::string_view email) override {
        // The pool's own lock covers each call; this one covers the pair, so that no other
        // thread of this process can take the number between them.
        std::lock_guard hold(lock_);
        std::optional<std::string> n = pool_.isfree();
        if (!n) return std::nullopt;
        pool_.out(n->c_str(), std::string(email).c_str());
        return n;
    }
    std::optional<std::string> in(std::string_view number, bool& unavailable) override {
        unavailable = false;
        return pool_.in(std::string(number).c_str());
    }
    NamedLock& use_lock() override { return pool_.use_lock(); }

  private:
    PhonePool& pool_;
    std::mutex lock_;
};

class FileLimits final : public LimitStore {
  public:
    explicit FileLimits(LimitRegistry& limits) : limits_(limits) {}
    int reserve(msgrecs* mr, int kind, std::string_view key, int units, bool check) override {
        return msgrec_reserve(mr, kind, key, units, check);
    }
    void unreserve(msgrecs* mr, int kind, std::string_view key, int units) override {
        msgrec_unreserve(mr, kind, key, units);
    }
    void count_sent(std::string_view client, std::string_view from, std::string_view to,
                    std::string_view user, bool reserved, std::string_view apikey) override {
        limits_.count_sent(client, from, to, user, reserved, apikey);
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

  private:
    LimitRegistry& limits_;
};

}  // namespace

std::unique_ptr<RecordStore> file_record_store(LimitRegistry& limits) {
    return std::make_unique<FileRecords>(limits);
}
std::unique_ptr<MessageLogStore> file_msglog_store(MessageLog& log) {
    return std::make_unique<FileMessageLog>(log);
}
std::unique_ptr<PhonePoolStore> file_phone_pool(PhonePool& pool) {
    return std::make_unique<FilePhonePool>(pool);
}
std::unique_ptr<LimitStore> file_limit_store(LimitRegistry& limits) {
    return std::make_unique<FileLimits>(limits);
}

StateStores file_state_stores(LimitRegistry& limits, MessageLog& log, PhonePool& pool) {
    StateStores s;
    s.records = file_record_store(limits);
    s.msglog = file_msglog_store(log);
    s.phones = file_phone_pool(pool);
    s.limits = file_limit_store(limits);
    s.registry = &limits;
    return s;
}

int state_write(StateStores& stores, std::string_view status, std::string_view client,
                std::string_view from, std::string_view to, std::string_view text,
                std::string_view day_kind, bool counted, bool reserved, std::string_view user,
                std::string_view apikey) {
    // The records follow the first limit, whichever store keeps them.
    if (!stores.registry || stores.registry->empty()) return 0;
    if (!stores.records->write(status, client, from, to, text, day_kind, stores.registry->now()))
        return 0;
    if (counted) stores.limits->count_sent(client, from, to, user, reserved, apikey);
    return 1;
}

}  // namespace tolvane
