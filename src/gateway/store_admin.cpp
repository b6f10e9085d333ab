// The store choice at start-up and "-store check" (see store_admin.h).
#include "gateway/store_admin.h"

#include <unistd.h>

#include <cstdio>

#include "foundation/lib.h"
#include "foundation/log.h"
#include "gateway/gateway.h"
#include "net/tcp.h"
#include "store/pg.h"
#include "store/pg_schema.h"

namespace tolvane {

Result<StoreKind> store_kind(const SIni* ini) {
    std::string value = sini_text(ini, STORE);
    if (value.empty() || iequals(value, "files")) return StoreKind::FILES;
    if (!iequals(value, "postgresql"))
        return Error{0, "'" + value + "' is not a valid store, try 'files' or 'postgresql'"};
    if (sini_text(ini, STORE_DSN).empty())
        return Error{0, "store postgresql needs store_dsn (a libpq connection string)"};
    return StoreKind::POSTGRESQL;
}

bool store_prepare(const SIni* ini) {
    Result<StoreKind> kind = store_kind(ini);
    if (!kind) {
        report_error("%s", kind.reason().c_str());
        return false;
    }
    if (*kind == StoreKind::FILES) return true;
    std::string dsn = sini_text(ini, STORE_DSN);
    Result<std::unique_ptr<PgConn>> conn = PgConn::open(dsn);
    Result<int> version = conn ? pg_schema_upgrade(**conn) : Result<int>(conn.error());
    if (!version) {
        report_error("Failed to open the PostgreSQL store (%s), %s", pg_dsn_safe(dsn).c_str(),
                     version.reason().c_str());
        return false;
    }
    imsg("PostgreSQL store (%s), schema version %d", pg_dsn_safe(dsn).c_str(), *version);
    return true;
}

std::string store_owner_name(const SIni* ini) {
    std::string work = sini_text(ini, WORKPATH);
    // Relative paths are taken from the directory the server runs in.
    if (work.empty() || work[0] != '/') work = attach_path(currentdir(), work, 4096);
    return tcp_hostname() + ":" + work;
}

int store_tool(const SIni* ini, const std::vector<std::string>& args, std::size_t at) {
    if (at + 1 >= args.size() || !iequals(args[at + 1], "check")) {
        std::printf("ERROR: -store needs a command: -store check\n");
        return 1;
    }
    Result<StoreKind> kind = store_kind(ini);
    if (!kind) {
        std::printf("ERROR: %s\n", kind.reason().c_str());
        return 1;
    }
    if (*kind == StoreKind::FILES) {
        std::printf("Store: files in %s (no database to check)\n",
                    sini_text(ini, WORKPATH).c_str());
        return 0;
    }
    std::string dsn = sini_text(ini, STORE_DSN);
    Result<std::unique_ptr<PgConn>> conn = PgConn::open(dsn);
    Result<int> read = conn ? pg_schema_version(**conn) : Result<int>(conn.error());
    if (!read) {
        std::printf("ERROR: PostgreSQL store (%s): %s\n", pg_dsn_safe(dsn).c_str(),
                    read.reason().c_str());
        return 1;
    }
    const int version = *read;
    const int known = static_cast<int>(pg_migrations().size());
    std::printf("Store: PostgreSQL (%s)\n", pg_dsn_safe(dsn).c_str());
    std::printf("Schema version: %d (this program: %d)\n", version, known);
    if (version == 0) {
        std::printf("No schema yet: the gateway creates it when it starts\n");
        return 1;
    }
    Result<PgStoreCounts> counts = pg_store_counts(**conn);
    if (!counts) {
        std::printf("ERROR: %s\n", counts.reason().c_str());
        return 1;
    }
    for (const auto& [table, rows] : *counts)
        std::printf("%-24s %12lld rows\n", table.c_str(), static_cast<long long>(rows));
    return version == known ? 0 : 1;
}

}  // namespace tolvane
