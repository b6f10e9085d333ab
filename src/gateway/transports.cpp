// The transport factory: see transports.h.
#include "gateway/transports.h"

#include "sms/sms_gsm.h"
#include "sms/sms_smpp.h"
#include "sms/sms_xml.h"

namespace tolvane {

namespace {

std::unique_ptr<sms> open_one(const gsm_init& o, int& err) {
    return sms_gsm_init(o, err);
}
std::unique_ptr<sms> open_one(const smpp_init& o, int& err) {
    return sms_smpp_init(o, err);
}
std::unique_ptr<sms> open_one(const xml_init&, int&) {
    return sms_xml_init();
}
std::unique_ptr<sms> open_one(const smtp_init& o, int& err) {
    return sms_smtp_init(o, err);
}
std::unique_ptr<sms> open_one(const robot_init& o, int& err) {
    return sms_robot_init(o, err);
}

}  // namespace

bool transport_built(int mode) {
    switch (mode) {
        case SMS_GSM:
            return SMS_GSM_BUILT;
        case SMS_SMPP:
            return SMS_SMPP_BUILT;
        case SMS_XML:
        case SMS_SMTP:
        case SMS_ROBOT:
            return true;
        default:
            return false;
    }
}

std::unique_ptr<sms> transport_open(const transport_options& o, int& errcode) {
    errcode = 0;
    if (!transport_built(transport_mode(o))) {
        errcode = -1;
        return nullptr;
    }
    return std::visit([&errcode](const auto& rec) { return open_one(rec, errcode); }, o);
}

}  // namespace tolvane
