// Where the gateway keeps what it shares: local files (store files, the default) or a
// PostgreSQL database several gateways use together (store postgresql, store_dsn).
//
// store_prepare(ini) runs once at start-up, before anything is loaded: it checks the two keys
// and, for postgresql, connects and brings the schema up to date (a failure ends the start
// with the reason). store_tool() is "-store check": the schema version and the row count of
// every table. Ownership: no state beyond the settings table; each caller that needs the
// database holds its own connection (PgLink). Limits: the schema is only ever upgraded,
// never downgraded (a newer database is refused).
#pragma once

#include <string>
#include <vector>

#include "foundation/result.h"
#include "foundation/sini.h"

namespace tolvane {

enum class StoreKind { FILES, POSTGRESQL };

// The store the settings of ini name; an error for an unknown value or a missing store_dsn.
Result<StoreKind> store_kind(const SIni* ini);

// Start-up: checks the store keys and prepares the database (false: reported, start ends).
bool store_prepare(const SIni* ini);

// This gateway's name in shared claims: host name and work directory, so that a restarted
// gateway finds its own claims again and two gateways on one host stay apart.
std::string store_owner_name(const SIni* ini);

// "-store check" (args[at] is "-store"): prints the report, returns the exit status.
int store_tool(const SIni* ini, const std::vector<std::string>& args, std::size_t at);

}  // namespace tolvane
