// Reloading a running gateway on SIGHUP: the log file is reopened (so that a log
// rotation tool may rename it away), the alias and delivery tables are read again, the
// administrator file is checked and the dialogue traces are reopened; each step is
// logged with what it did.
//
// Ownership: the Gateway owns the alias and delivery tables (AliasTables). A message
// thread takes a shared reference for the whole of its message, so a reload that
// replaces a table never frees one still in use. A file that fails to load leaves the
// old table in place and the failure is logged with its reason.
//
// Limits: the signal handler only sets a flag; the main loop does the work within a
// tenth of a second, on the main thread. Other settings are not re-read: they need a
// restart.
//
//   signal handler: reload_request(gw);
//   main loop: if (reload_pending(gw)) gateway_reload(gw);
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "foundation/result.h"
#include "foundation/sini.h"
#include "records/alias.h"

namespace tolvane {

class Gateway;

// The tables of the SMS-to-mail side: the alias file (sender addresses) and the delivery
// file (destinations); empty tables when not configured or before they are loaded.
class AliasTables {
  public:
    std::shared_ptr<const aliases> alias() const;
    std::shared_ptr<const aliases> delivery() const;
    // Reads the delivery file, then the alias file (each when its `file` attribute is
    // set) with the settings of ini and makes them current. When one cannot be read the
    // error is "Failed to read (%s), %s" (file, reason) with the system's code, and the
    // current tables stay as they were.
    Status load(SIni* ini);
    // Drops both tables (at shutdown).
    void clear();

  private:
    mutable std::mutex lock_;
    std::shared_ptr<const aliases> alias_;     // guarded by lock_
    std::shared_ptr<const aliases> delivery_;  // guarded by lock_
};

// Async-signal-safe: asks gw's main loop for a reload.
void reload_request(Gateway& gw);
// True once after each request (the request is taken).
bool reload_pending(Gateway& gw);
// Does the reload on the calling thread (the main loop's).
void gateway_reload(Gateway& gw);

}  // namespace tolvane
