// Web administration: serving one accepted connection of the Command listener.
//
// The main loop accepts each connection (and starts SSL on it in HTTPS mode),
// counts a thread in with add_thread and hands the connection to web_admin_start,
// which serves it on a thread of its own; that thread counts itself out with
// rmv_thread when it ends. Returns 0 when no thread could be started (the
// connection is then closed and the count given back).
#pragma once

#include <memory>

#include "net/tcp.h"

namespace tolvane {

int web_admin_start(std::unique_ptr<CHAN> conn);

}  // namespace tolvane
