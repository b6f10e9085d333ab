// The GSM modem transport's error texts: the driver's own codes and the modem's
// error numbers (reported as number + 1).
#include <cerrno>

#include "foundation/lib.h"
#include "sms/sms_gsm.h"
#include "sms/sms_gsm_impl.h"

namespace tolvane {

namespace {

struct error_text {
    int n;
    const char* text;
};

constexpr error_text MODEM_TEXTS[] = {
    {0, "unspecified GSM radio link layer error"},
    {1, "unassigned number"},
    {2, "operator determined barring"},
    {3, "call barred"},
    {4, "CUG reject"},
    {5, "transfer rejected"},
    {6, "destination out of service"},
    {7, "unidentified subscriber"},
    {8, "facility rejected"},
    {9, "unknown subscriber"},
    {10, "network out of order"},
    {11, "temporary failure"},
    {12, "congestion"},
    {13, "resources unavailable, unspecified"},
    {14, "requested facility not implemented"},
    {15, "invalid SM transfer reference value"},
    {16, "invalid message, unspecified"},
    {17, "mandatory information element missing"},
    {18, "message type non-existent or not implemented "},
    {19,
     "SM not compatible with SM transfer state or message type non-existent or not "
     "implemented"},
    {20, "information element non-existent or not implemented"},
    {21, "invalid information element contents"},
    {22, "SM not compatible with SM transfer state"},
    {23, "protocol error, unspecified"},
    {24, "interworking failure, unspecified"},
    {50, "unspecified GSM transport layer error"},
    {51, "telematic interworking not supported"},
    {52, "short message Type 0 not supported"},
    {53, "cannot replace short message"},
    {66, "unspecified TP-PID error"},
    {67, "data coding scheme not supported"},
    {68, "message class not supported"},
    {82, "unspecified TP-DCS error"},
    {83, "command cannot be actioned"},
    {98, "unspecified TP-Command error"},
    {99, "TPDU not supported"},
    {115, "SMSC busy"},
    {116, "no SMSC subscription"},
    {117, "SMSC system failure"},
    {118, "invalid SME address"},
    {119, "destination SME barred"},
    {127, "memory capacity exceeded"},
    {128, "Telematic interworking not supported"},
    {129, "Short message type 0 not supported"},
    {130, "Cannot replace short message"},
    {143, "Unspecified TP-PID error"},
    {144, "Data coding sceme (alphabet) not supported"},
    {145, "Message class not supported"},
    {159, "Unspecified TP-DCS error"},
    {160, "Command cannot be actioned"},
    {161, "Command unsupported"},
    {175, "Unspecified TP-Command error"},
    {176, "TPDU not supported"},
    {192, "SC busy"},
    {193, "No SC subscription"},
    {194, "SC system failure"},
    {195, "Invalid SME address"},
    {196, "Destination SME barred"},
    {197, "SM Rejected-Duplicate SM"},
    {208, "SIM SMS storage full"},
    {209, "No SMS storage capability in SIM"},
    {210, "Error in MS"},
    {211, "Memory Capacity Exceeded"},
    {255, "Unspecified error cause"},
    {300, "300 ME failure"},
    {301, "SMS service of ME reserved"},
    {302, "operation not allowed"},
    {303, "operation not supported"},
    {304, "invalid PDU mode parameter"},
    {305, "invalid text mode parameter"},
    {310, "SIM not inserted"},
    {311, "SIM PIN required"},
    {312, "PH-SIM PIN required"},
    {313, "SIM failure"},
    {314, "SIM busy"},
    {315, "SIM wrong"},
    {316, "SIM PUK required"},
    {317, "SIM PIN2 required"},
    {318, "SIM PUK2 required"},
    {320, "memory failure"},
    {321, "invalid memory index"},
    {322, "memory full"},
    {330, "SMSC address unknown"},
    {331, "no network service"},
    {332, "network timeout"},
    {340, "no +CNMA acknowledgement expected"},
    {500, "unknown error"},
};

const char* modem_text(int n) {
    if (n < 0 || n > 511) return "Manufacturer specific";
    if (n >= 224 && n <= 254) return "Values specific to an aplication";
    for (const error_text& t : MODEM_TEXTS) {
        if (t.n == n) return t.text;
    }
    return "Reserved";
}

}  // namespace

namespace {

void code_text(int err, std::string& bf) {
    std::string os = system_error(errno);
    switch (err) {
        case 0:
            bf.clear();
            return;
        case GSM_ERR_OPEN:
            bf = strprintf("Error opening. OSError(%s)", os.c_str());
            return;
        case GSM_ERR_NUMBER:
            bf = strprintf("Error setting up. OSError(%s)", os.c_str());
            return;
        case GSM_ERR_TIMEOUT:
            bf = strprintf("Error reading. OSError(%s)", os.c_str());
            return;
        case GSM_ERR_WRITE:
            bf = strprintf("Error writing. OSError(%s)", os.c_str());
            return;
        case GSM_ERR_ERROR:
            bf = strprintf("Error without error code. OSError(%s)", os.c_str());
            return;
        case GSM_ERR_UNEXPECTED:
            bf = strprintf("Error unexpected line. OSError(%s)", os.c_str());
            return;
        case GSM_ERR_ECHO:
            bf = strprintf("Error with ATEO (Echo). OSError(%s)", os.c_str());
            return;
        case GSM_ERR_PIN:
            bf = "Error authenticating with phone, pin required. Check tolvane.log for ERROR "
                 "noting setting required.";
            return;
        case GSM_ERR_SIGNAL:
            bf = "Signal too weak to send";
            return;
        case GSM_ERR_AWAY:
            bf = "The modem is away";
            return;
        default:
            break;
    }
    int n = err - 1;
    bf = strprintf("[%d] %s", n, modem_text(n));
}

}  // namespace

void sms_data_gsm::error(int err, std::string& bf) {
    code_text(err, bf);
    if (err == GSM_ERR_AWAY) {
        std::lock_guard<std::mutex> l(device_lock);
        if (!device_why.empty()) bf += ": " + device_why;
        return;
    }
    // A failed start-up says what the modem answered; the system's error number at
    // the time the text is made has nothing to do with it.
    const sms_data_gsm* gsm = this;
    if (err == 0 || err != gsm->startup_code || gsm->startup_failure.empty())
        return;
    if (err == GSM_ERR_OPEN) {
        bf = strprintf("Error opening. OSError(%s)", gsm->startup_failure.c_str());
        return;
    }
    std::size_t os = bf.find(". OSError(");
    if (os != std::string::npos) bf.erase(os);
    bf = cut(bf + ": " + gsm->startup_failure);
}

}  // namespace tolvane
