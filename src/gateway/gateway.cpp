// The Gateway's construction and teardown, its settings helpers, the wake pipes, the log
// and the fatal-error report every gateway module uses.
#include "gateway/gateway.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>

#include "foundation/lib.h"
#include "gateway/api_idempotency.h"
#include "gateway/api_keys.h"
#include "gateway/api_messages.h"
#include "gateway/api_server.h"
#include "gateway/delivery.h"
#include "gateway/mail_to_sms.h"
#include "gateway/routes.h"
#include "gateway/smpp_receipts.h"
#include "gateway/web_admin.h"
#include "smtp/relay_client.h"
#include "smtp/server.h"
#include "store/pg.h"

namespace tolvane {

std::unique_ptr<Log> mylog;

WakePipe::WakePipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
        rd = fds[0];
        wr = fds[1];
    }
}

WakePipe::~WakePipe() {
    if (rd >= 0) ::close(rd);
    if (wr >= 0) ::close(wr);
}

void WakePipe::wake() const {
    if (wr < 0) return;
    char one = 1;
    // A full pipe already holds a wake-up: nothing is lost.
    ssize_t w = ::write(wr, &one, 1);
    (void)w;
}

void WakePipe::drain() const {
    if (rd < 0) return;
    char buf[64];
    while (::read(rd, buf, sizeof buf) > 0) {
    }
}

Gateway::Gateway()
    : web_slots(std::make_unique<WebSlots>()),
      web_probe(std::make_unique<WebProbe>()),
      pg_side(std::make_unique<PgSideWriters>()),
      state(file_state_stores(limit_registry, msglog, phones)),
      mail_units(std::make_unique<MailUnits>()) {}

// The members go in the reverse order of their declaration: the console, the web
// listeners, the SMS receiving thread (joined) and its sink, the SMTP server, the delivery
// engine (its workers joined), the queue, the transports, the readers, the records, the
// settings.
Gateway::~Gateway() = default;

const char* Gateway::setting(int id, const char* part, int count) const {
    return sini_getx(settings.get(), id, nullptr, part, count);
}

std::string Gateway::setting_str(int id, const char* part, int count) const {
    const char* v = setting(id, part, count);
    return v ? cut(v) : std::string();
}

int Gateway::setting_int(int id, const char* part, int count) const {
    return s_atoi(setting(id, part, count));
}

bool Gateway::setting_true(int id) const {
    return istrue(setting(id)) != 0;
}

void report_error(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string text = vstrprintf(TEXT_MAX, fmt, ap);
    va_end(ap);
    std::printf("ERROR: %s\n", text.c_str());
    std::fflush(stdout);
    emsg("%s", text.c_str());
}

}  // namespace tolvane
