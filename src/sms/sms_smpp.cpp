// The SMPP transport while it is not built: every operation refuses with one text.
#include "sms/sms_smpp.h"

#include "foundation/log.h"

namespace tolvane {

namespace {
constexpr int NOT_BUILT = 1;
constexpr const char* kWhy = "SMPP transport is not built";
class unbuilt : public sms_driver {};
}  // namespace

const bool SMS_SMPP_BUILT = false;

std::unique_ptr<sms_driver> sms_smpp_init(sms*, const sms_init_record*, int& errcode) {
    emsg("%s", kWhy);
    errcode = NOT_BUILT;
    return std::make_unique<unbuilt>();
}
void sms_smpp_free(std::unique_ptr<sms_driver>& state) {
    state.reset();
}
int sms_smpp_recv(sms_driver*, sms_message*) {
    return NOT_BUILT;
}
int sms_smpp_send(sms_driver*, const smtp_message_extra*, std::string_view, std::string_view,
                  std::string_view) {
    return NOT_BUILT;
}
std::unique_ptr<sms_message> sms_smpp_wait(sms_driver*, int, int& errcode) {
    errcode = NOT_BUILT;
    return nullptr;
}
void sms_smpp_error(sms_driver*, int err, std::string& bf) {
    if (err != 0) bf = kWhy;
}
const char* sms_smpp_fromip(sms_driver*, sms_message*) {
    return "";
}
const char* sms_smpp_from(sms_driver*, sms_message*) {
    return "";
}
const char* sms_smpp_to(sms_driver*, sms_message*) {
    return "";
}
const char* sms_smpp_body(sms_driver*, sms_message*) {
    return "";
}
int sms_smpp_reject(sms_driver*, sms_message*, int, const char*) {
    return NOT_BUILT;
}
int sms_smpp_accept(sms_driver*, sms_message*, int, const char*) {
    return NOT_BUILT;
}
void sms_smpp_msgfree(sms_driver*, std::unique_ptr<sms_message>& msg) {
    msg.reset();
}

}  // namespace tolvane
