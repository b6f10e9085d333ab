// Idempotency keys of the HTTP API: see api_idempotency.h.
#include "gateway/api_idempotency.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "foundation/fileio.h"
#include "foundation/lib.h"
#include "foundation/log.h"
#include "gateway/api_json.h"

namespace tolvane {

namespace {

using json = nlohmann::json;

constexpr std::int64_t LIFETIME_MS = std::int64_t{API_IDEMPOTENCY_HOURS} * 3600 * 1000;

}  // namespace

ApiIdempotency::~ApiIdempotency() {
    if (fd_ >= 0) ::close(fd_);
}

Status ApiIdempotency::open() {
    // The shared store keeps the answers (opened, expired lines dropped, by its owner).
    if (shared_) return {};
    std::lock_guard<std::mutex> g(lock_);
    const std::int64_t now = api_now_ms();
    {
        std::ifstream in(path_);
        std::string line;
        while (in && std::getline(in, line)) {
            json j = json::parse(line, nullptr, false);
            if (j.is_discarded() || !j.is_object()) continue;
            Entry e;
            e.busy = false;
            e.body_hash = j.value("hash", "");
            e.answer.status = j.value("status", 0);
            e.answer.body = j.value("body", "");
            e.at_ms = j.value("at", std::int64_t{0});
            if (now - e.at_ms >= LIFETIME_MS) continue;
            entries_[j.value("owner", "") + "\n" + j.value("key", "")] = std::move(e);
        }
    }
    std::string text;
    for (const auto& [k, e] : entries_) {
        const std::size_t nl = k.find('\n');
        text += api_dump(json{{"owner", k.substr(0, nl)},
                              {"key", k.substr(nl + 1)},
                              {"hash", e.body_hash},
                              {"status", e.answer.status},
                              {"body", e.answer.body},
                              {"at", e.at_ms}}) +
                "\n";
    }
    if (Status st = write_file_atomic(path_, text, 0600); !st) return st.error();
    fd_ = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd_ < 0) {
        const int code = errno;
        return Error{code, "cannot open " + path_ + ": " + system_error(code)};
    }
    return {};
}

void ApiIdempotency::expire_locked(std::int64_t now) {
    // A sweep now and then keeps the table to a day's keys.
    static thread_local unsigned calls = 0;
    if (++calls % 1024 != 0) return;
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (!it->second.busy && now - it->second.at_ms >= LIFETIME_MS)
            it = entries_.erase(it);
        else
            ++it;
    }
}

ApiIdempotency::Slot ApiIdempotency::begin(const std::string& owner, const std::string& key,
                                           const std::string& body_hash, Answer& answer) {
    const std::string k = owner + "\n" + key;
    if (shared_) return begin_shared(k, owner, key, body_hash, answer);
    std::unique_lock<std::mutex> g(lock_);
    const std::int64_t now = api_now_ms();
    expire_locked(now);
    for (;;) {
        auto it = entries_.find(k);
        if (it == entries_.end() || (!it->second.busy && now - it->second.at_ms >= LIFETIME_MS)) {
            Entry e;
            e.body_hash = body_hash;
            e.at_ms = now;
            entries_[k] = std::move(e);
            return Slot::go;
        }
        if (it->second.busy) {
            // The first request with this key is still being answered.
            done_.wait(g);
            continue;
        }
        if (it->second.body_hash != body_hash) return Slot::conflict;
        answer = it->second.answer;
        return Slot::replay;
    }
}

void ApiIdempotency::finish(const std::string& owner, const std::string& key,
                            const Answer& answer) {
    const std::string k = owner + "\n" + key;
    if (shared_) return finish_shared(k, owner, key, answer);
    std::lock_guard<std::mutex> g(lock_);
    auto it = entries_.find(k);
    if (it == entries_.end()) return;
    if (answer.status != 202) {
        entries_.erase(it);
        done_.notify_all();
        return;
    }
    it->second.busy = false;
    it->second.answer = answer;
    if (fd_ >= 0) {
        const std::string line = api_dump(json{{"owner", owner},
                                               {"key", key},
                                               {"hash", it->second.body_hash},
                                               {"status", answer.status},
                                               {"body", answer.body},
                                               {"at", it->second.at_ms}}) +
                                 "\n";
        if (::write(fd_, line.data(), line.size()) != static_cast<ssize_t>(line.size()) ||
            ::fdatasync(fd_) != 0)
            emsg("API idempotency file %s: cannot write (%s)", path_.c_str(),
                 system_error(errno).c_str());
    }
    done_.notify_all();
}

ApiIdempotency::Slot ApiIdempotency::begin_shared(const std::string& k, const std::string& owner,
                                                  const std::string& key,
                                                  const std::string& body_hash, Answer& answer) {
    {
        // A twin in this gateway goes first; its answer is then read from the store.
        std::unique_lock<std::mutex> g(lock_);
        done_.wait(g, [&] { return entries_.count(k) == 0; });
        entries_[k] = Entry{};
    }
    Slot slot = Slot::unavailable;
    const auto give_up =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(API_IDEMPOTENCY_WAIT_MS);
    for (;;) {
        const std::int64_t now = api_now_ms();
        PgApiStore::Kept kept;
        Result<PgApiStore::Claim> claimed = shared_->claim(
            owner, key, body_hash, now, now - LIFETIME_MS, now - API_IDEMPOTENCY_STALE_MS, kept);
        if (!claimed) {
            emsg("API idempotency key of %s: the store cannot be asked (%s)", owner.c_str(),
                 claimed.reason().c_str());
            break;
        }
        switch (*claimed) {
            case PgApiStore::Claim::taken:
                return Slot::go;  // the entry stays until finish()
            case PgApiStore::Claim::answered:
                slot = kept.hash == body_hash ? Slot::replay : Slot::conflict;
                answer = Answer{kept.status, kept.body};
                break;
            case PgApiStore::Claim::busy:
                // Being answered by another gateway: asked again shortly.
                if (std::chrono::steady_clock::now() >= give_up) break;
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                continue;
        }
        break;
    }
    std::lock_guard<std::mutex> g(lock_);
    entries_.erase(k);
    done_.notify_all();
    return slot;
}

void ApiIdempotency::finish_shared(const std::string& k, const std::string& owner,
                                   const std::string& key, const Answer& answer) {
    if (answer.status != 202) {
        shared_->release(owner, key);
    } else if (Status kept = shared_->keep(owner, key, answer.status, answer.body); !kept) {
        emsg("API idempotency key of %s: the answer is not kept in the store (%s)", owner.c_str(),
             kept.reason().c_str());
    }
    std::lock_guard<std::mutex> g(lock_);
    entries_.erase(k);
    done_.notify_all();
}

}  // namespace tolvane
