// The GSM modem transport while it is not built: every operation refuses with one text.
#include "sms/sms_gsm.h"

#include "foundation/log.h"

namespace tolvane {

namespace {
constexpr int NOT_BUILT = 1;
constexpr const char* kWhy = "GSM modem transport is not built";
class unbuilt : public sms_driver {};
}  // namespace

const bool SMS_GSM_BUILT = false;

std::unique_ptr<sms_driver> sms_gsm_init(sms*, const sms_init_record*, int& errcode) {
    emsg("%s", kWhy);
    errcode = NOT_BUILT;
    return std::make_unique<unbuilt>();
}
void sms_gsm_free(std::unique_ptr<sms_driver>& state) {
    state.reset();
}
int sms_gsm_recv(sms_driver*, sms_message*) {
    return NOT_BUILT;
}
int sms_gsm_send(sms_driver*, const smtp_message_extra*, std::string_view, std::string_view,
                 std::string_view) {
    return NOT_BUILT;
}
std::unique_ptr<sms_message> sms_gsm_wait(sms_driver*, int, int& errcode) {
    errcode = NOT_BUILT;
    return nullptr;
}
void sms_gsm_error(sms_driver*, int err, std::string& bf) {
    if (err != 0) bf = kWhy;
}
const char* sms_gsm_fromip(sms_driver*, sms_message*) {
    return "";
}
const char* sms_gsm_from(sms_driver*, sms_message*) {
    return "";
}
const char* sms_gsm_to(sms_driver*, sms_message*) {
    return "";
}
const char* sms_gsm_body(sms_driver*, sms_message*) {
    return "";
}
int sms_gsm_reject(sms_driver*, sms_message*, int, const char*) {
    return NOT_BUILT;
}
int sms_gsm_accept(sms_driver*, sms_message*, int, const char*) {
    return NOT_BUILT;
}
void sms_gsm_msgfree(sms_driver*, std::unique_ptr<sms_message>& msg) {
    msg.reset();
}

}  // namespace tolvane
