// The GSM modem transport's state as people and the delivery engine see it: whether
// the modem answers, its last signal level, and the parsing of the modem's signal
// replies.
#include <string>
#include <string_view>

#include "foundation/lib.h"
#include "sms/sms_gsm_impl.h"

namespace tolvane {

// The level of a +CSQ answer (0-31), -1 for 99 (not known) or junk.
int gsm_csq_level(std::string_view line) {
    if (!line.starts_with("+CSQ:")) return -1;
    int level = s_atoi(std::string(strtrm(line.substr(5))).c_str());
    return level >= 0 && level <= 31 ? level : -1;
}

bool sms_data_gsm::up() const {
    return reader_running && answering;
}

std::string sms_data_gsm::state_text() const {
    if (!reader_running) return "down: the serial line is closed";
    if (!answering) return "down: the modem does not answer";
    int level = signal_level;
    return level < 0 ? "up, signal unknown" : strprintf("up, signal %d of 31", level);
}

}  // namespace tolvane
