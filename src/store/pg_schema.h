// The shared store's schema: created and brought up to date by the gateway at start-up.
//
// Every table lives in the database named by store_dsn. tv_schema_version holds one row per
// applied migration; the schema's version is the highest. A migration is one SQL text
// (statements separated by ";"), applied in its own transaction together with its version
// row, so a failed one leaves the schema as it was. Gateways starting at the same moment
// take an advisory lock first, so each migration runs once.
//
//   Result<int> version = pg_schema_upgrade(conn);
//   if (!version) ... refuse to start, saying version.reason() ...
//
// Adding a table: append its migration to the list in pg_schema.cpp (never change one that
// has shipped) and its name to the table list there, so that "-store check" counts it.
// Limits: a database whose version is newer than this program knows is refused.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "foundation/result.h"
#include "store/pg.h"

namespace tolvane {

// The migrations in order: the first brings version 0 to 1, and so on.
const std::vector<const char*>& pg_migrations();
// Every table of the store, in the order "-store check" lists them.
const std::vector<const char*>& pg_store_tables();

// The schema's version (0 when nothing was ever applied); the error is the database's
// text when it could not be asked.
Result<int> pg_schema_version(PgConn& conn);

// Applies every migration the database lacks and gives the version afterwards. The error
// says which step failed (reading the version, a migration, or a schema newer than this
// program); a failed migration is rolled back.
Result<int> pg_schema_upgrade(PgConn& conn);

// The row count of every table in pg_store_tables(), in that order; the error is the
// database's text.
using PgStoreCounts = std::vector<std::pair<std::string, std::int64_t>>;
Result<PgStoreCounts> pg_store_counts(PgConn& conn);

}  // namespace tolvane
