// Placeholder of the web administration channel: each connection is counted,
// logged, answered with "503 Service Unavailable" and closed by its own thread.
#include "gateway/web_admin.h"

#include <string>

#include "foundation/log.h"
#include "foundation/thread.h"
#include "records/mutexlist.h"

namespace tolvane {

namespace {

constexpr int REQUEST_WAIT_MS = 2000;

void serve(CHAN* c) {
    std::string ip;
    tcp_getip(c, ip);
    imsg("Web administration connection from [%s]: not available in this build", ip.c_str());
    // Read the request head first, so that closing does not reset the client's view.
    tcp_set_read_timeout(c, REQUEST_WAIT_MS);
    std::string line;
    for (int n = 0; n < 100 && tcp_readline(c, line, 1000) == 1 && !line.empty(); ++n) {
    }
    static const char body[] = "web administration is not available in this build\n";
    tcp_printf(c,
               "HTTP/1.0 503 Service Unavailable\r\nContent-Type: text/plain\r\n"
               "Content-Length: %d\r\nConnection: close\r\n\r\n%s",
               static_cast<int>(sizeof(body) - 1), body);
    tcp_close_nice(c);
}

}  // namespace

int web_admin_start(std::unique_ptr<CHAN> conn) {
    std::shared_ptr<CHAN> c(std::move(conn));
    auto t = th_new([c] {
        serve(c.get());
        rmv_thread();
    });
    if (!t) {
        rmv_thread();
        return 0;
    }
    th_free(t);
    return 1;
}

}  // namespace tolvane
