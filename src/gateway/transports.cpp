// The transport factory: see transports.h.
#include "gateway/transports.h"

#include "foundation/lib.h"
#include "sms/sms_xml.h"
#include "smtp/mail_sms_transport.h"

namespace tolvane {

namespace {

using Opened = Result<std::unique_ptr<SmsTransport>>;

Opened open_one(const gsm_init& o) {
    return sms_gsm_init(o);
}
Opened open_one(const smpp_init& o) {
    return sms_smpp_init(o);
}
Opened open_one(const xml_init&) {
    return sms_xml_init();
}
Opened open_one(const smtp_init& o) {
    auto t = MailSmsTransport::open("SMTP", o);
    if (!t) return t.error();
    return std::unique_ptr<SmsTransport>(std::move(*t));
}
Opened open_one(const robot_init& o) {
    return sms_robot_init(o);
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

Result<std::unique_ptr<SmsTransport>> transport_open(const transport_options& o) {
    if (!transport_built(transport_mode(o)))
        return Error{-1, strprintf("the %s transport is not part of this build",
                                   sms_mode_name(transport_mode(o)))};
    return std::visit([](const auto& rec) { return open_one(rec); }, o);
}

}  // namespace tolvane
