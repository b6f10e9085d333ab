// The gateway's process-wide objects (see gateway.h for who fills and who reads
// them) and the small helpers every gateway module uses to reach the settings and to
// report a fatal error.
#include <cstdarg>
#include <cstdio>

#include "foundation/lib.h"
#include "gateway/gateway.h"
#include "gateway/reports.h"
#include "smtp/relay_client.h"
#include "smtp/server.h"

namespace tolvane {

std::unique_ptr<SIni> ConfigSettings;
std::unique_ptr<Log> mylog;
std::atomic<int> ShutdownNow{0};
int isdebugtime = 0;
std::time_t starttime = 0;
std::unique_ptr<RelayClient> Relay;
std::unique_ptr<SmtpServer> MailServer;
std::unique_ptr<SmsTransport> Send;
std::unique_ptr<SmsTransport> RecvOwned;
SmsTransport* Recv = nullptr;
// After the transports, so that the thread is joined before they go.
std::unique_ptr<InboundSink> SmsSink;
std::jthread SmsReceiver;
std::unique_ptr<CHAN> Command;
std::vector<std::unique_ptr<CHAN>> CommandMore;
bool CommandHttps = false;
std::optional<std::string> report_using;
std::vector<std::unique_ptr<msgrecs>> MR;
char RecordDelimiter = '|';
std::vector<report_on> Reports;

bool MsglogLoaded = false;

std::vector<std::shared_ptr<rini>> ReceiverReaders;

void report_error(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string text = vstrprintf(TEXT_MAX, fmt, ap);
    va_end(ap);
    std::printf("ERROR: %s\n", text.c_str());
    std::fflush(stdout);
    emsg("%s", text.c_str());
}

const char* setting(int id, const char* part, int count) {
    return sini_getx(ConfigSettings.get(), id, nullptr, part, count);
}

std::string setting_str(int id, const char* part, int count) {
    const char* v = setting(id, part, count);
    return v ? cut(v) : std::string();
}

int setting_int(int id, const char* part, int count) {
    return s_atoi(setting(id, part, count));
}

bool setting_true(int id) {
    return istrue(setting(id)) != 0;
}

}  // namespace tolvane
