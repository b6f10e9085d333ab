// Reloading on SIGHUP (see reload.h).
#include "gateway/reload.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <mutex>

#include "foundation/lib.h"
#include "foundation/log.h"
#include "foundation/tracefile.h"
#include "gateway/gateway.h"

namespace tolvane {

namespace {

std::shared_ptr<const aliases> empty_table() {
    return std::shared_ptr<const aliases>(alias_new());
}

// Loads one file into a fresh table; the error keeps the loader's code and names the file.
Result<std::shared_ptr<const aliases>> load_one(SIni* ini, int id) {
    std::shared_ptr<aliases> table(alias_new());
    const char* file = sini_getx(ini, id, nullptr, "file", 0);
    if (file == nullptr || *file == '\0') return std::shared_ptr<const aliases>(table);
    Status loaded = alias_load(
        table.get(), file, sini_getx(ini, PHONE_COUNTRY, nullptr, nullptr, 0),
        sini_getx(ini, id, nullptr, "delimiter", 0), sini_getx(ini, id, nullptr, "order", 0));
    if (!loaded)
        return Error{loaded.error().code,
                     strprintf("Failed to read (%s), %s", file, loaded.reason().c_str())};
    return std::shared_ptr<const aliases>(table);
}

// The administrator file is read at every request; a reload says whether the next
// request will find it usable.
void check_admin_file() {
    std::FILE* f = std::fopen("admin.dat", "r");
    if (f == nullptr) {
        imsg("Reload: admin.dat cannot be read (%s), web logins will fail",
             system_error(errno).c_str());
        return;
    }
    char line[256] = "";
    bool got = std::fgets(line, sizeof line, f) != nullptr;
    std::fclose(f);
    std::string_view text = got ? std::string_view(line) : std::string_view();
    std::size_t colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0) {
        imsg("Reload: admin.dat holds no user:digest line, web logins will fail");
        return;
    }
    imsg("Reload: admin.dat read, user (%.*s)", static_cast<int>(colon), text.data());
}

}  // namespace

void reload_request(Gateway& gw) {
    gw.reload.store(1, std::memory_order_relaxed);
}

bool reload_pending(Gateway& gw) {
    return gw.reload.exchange(0, std::memory_order_relaxed) != 0;
}

std::shared_ptr<const aliases> AliasTables::alias() const {
    std::lock_guard<std::mutex> hold(lock_);
    return alias_ ? alias_ : empty_table();
}

std::shared_ptr<const aliases> AliasTables::delivery() const {
    std::lock_guard<std::mutex> hold(lock_);
    return delivery_ ? delivery_ : empty_table();
}

Status AliasTables::load(SIni* ini) {
    // The delivery file first, then the alias file, as they have always been read.
    Result<std::shared_ptr<const aliases>> delivery = load_one(ini, DELIVERY_FILE);
    if (!delivery) return delivery.error();
    Result<std::shared_ptr<const aliases>> alias = load_one(ini, ALIAS_FILE);
    if (!alias) return alias.error();
    std::lock_guard<std::mutex> hold(lock_);
    delivery_ = std::move(*delivery);
    alias_ = std::move(*alias);
    return {};
}

void AliasTables::clear() {
    std::lock_guard<std::mutex> hold(lock_);
    delivery_.reset();
    alias_.reset();
}

void gateway_reload(Gateway& gw) {
    imsg("SIGHUP received, reloading");
    // Lines written before this one are in the old file; the next line opens the file
    // under its configured name again.
    log_close(mylog.get());
    imsg("Reload: log file (%s) reopened", log_file(mylog.get()).c_str());
    trace_reopen_all();
    imsg("Reload: dialogue traces reopened");
    if (Status loaded = gw.tables.load(gw.ini()); loaded) {
        imsg("Reload: delivery file %zu entries, alias file %zu entries",
             alias_count(gw.tables.delivery().get()), alias_count(gw.tables.alias().get()));
    } else {
        emsg("Reload: %s; the tables in use are kept", loaded.reason().c_str());
    }
    check_admin_file();
}

}  // namespace tolvane
