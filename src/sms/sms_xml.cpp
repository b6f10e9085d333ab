// The XML transport: a placeholder whose operations all succeed and do nothing.
#include "sms/sms_xml.h"

namespace tolvane {

namespace {
struct sms_xml : sms_driver {
    int err = 0;  // never set
};
}  // namespace

std::unique_ptr<sms_driver> sms_xml_init(sms*, const sms_init_record*, int&) {
    return std::make_unique<sms_xml>();
}
void sms_xml_free(std::unique_ptr<sms_driver>& state) {
    state.reset();
}
int sms_xml_recv(sms_driver*, sms_message*) {
    return 0;
}
int sms_xml_send(sms_driver*, const smtp_message_extra*, std::string_view, std::string_view,
                 std::string_view) {
    return 0;
}
std::unique_ptr<sms_message> sms_xml_wait(sms_driver*, int, int&) {
    return nullptr;
}
void sms_xml_error(sms_driver*, int, std::string&) {}
const char* sms_xml_fromip(sms_driver*, sms_message*) {
    return "";
}
const char* sms_xml_from(sms_driver*, sms_message*) {
    return "";
}
const char* sms_xml_to(sms_driver*, sms_message*) {
    return "";
}
const char* sms_xml_body(sms_driver*, sms_message*) {
    return "";
}
int sms_xml_reject(sms_driver*, sms_message*, int, const char*) {
    return 0;
}
int sms_xml_accept(sms_driver*, sms_message*, int, const char*) {
    return 0;
}
void sms_xml_msgfree(sms_driver*, std::unique_ptr<sms_message>& msg) {
    msg.reset();
}

}  // namespace tolvane
