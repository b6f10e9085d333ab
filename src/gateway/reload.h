// Reloading a running gateway on SIGHUP: the log file is reopened (so that a log
// rotation tool may rename it away), the alias and delivery tables are read again, the
// administrator file is checked and the dialogue traces are reopened; each step is
// logged with what it did.
//
// Ownership: this module owns the alias and delivery tables. A message thread takes a
// shared reference for the whole of its message, so a reload that replaces a table
// never frees one still in use. A file that fails to load leaves the old table in place
// and the failure is logged with its reason.
//
// Limits: the signal handler only sets a flag; the main loop does the work within a
// tenth of a second, on the main thread. Other settings are not re-read: they need a
// restart.
//
//   install: sigaction(SIGHUP, ...reload_request...)
//   main loop: if (reload_pending()) gateway_reload();
#pragma once

#include <memory>
#include <string>

#include "foundation/sini.h"
#include "records/alias.h"

namespace tolvane {

// Async-signal-safe: asks the main loop for a reload.
void reload_request();
// True once after each request (the request is taken).
bool reload_pending();
// Does the reload on the calling thread (the main loop's).
void gateway_reload();

// The tables of the SMS-to-mail side: the alias file (sender addresses) and the
// delivery file (destinations); empty tables when not configured or before start-up.
std::shared_ptr<const aliases> alias_table();
std::shared_ptr<const aliases> delivery_table();
// Reads the delivery file, then the alias file (each when its `file` attribute is set)
// with the settings of ini and makes them current. 0 with "Failed to read (%s), %s"
// (file, reason) in err when one cannot be read; the current tables stay as they were.
int alias_tables_load(SIni* ini, std::string& err);
// Drops both tables (at shutdown).
void alias_tables_free();

}  // namespace tolvane
