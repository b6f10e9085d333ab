// The XML transport: a placeholder whose operations all succeed and do nothing.
#include "sms/sms_xml.h"

namespace tolvane {

namespace {

class sms_xml : public sms {
  public:
    sms_xml() : sms(SMS_XML) {}

    int send(const smtp_message_extra*, std::string_view, std::string_view,
             std::string_view) override {
        return 0;
    }
    std::unique_ptr<sms_message> wait(int, int&) override { return nullptr; }
    // Always up: there is never a change to tell.
    bool tells_state() const override { return true; }
    void error(int, std::string&) override {}
    int msg_recv(sms_message*) override { return 0; }
    const char* msg_fromip(sms_message*) override { return ""; }
    const char* msg_from(sms_message*) override { return ""; }
    const char* msg_to(sms_message*) override { return ""; }
    const char* msg_body(sms_message*) override { return ""; }
    int msg_reject(sms_message*, int, const char*) override { return 0; }
    int msg_accept(sms_message*, int, const char*) override { return 0; }
    void msg_free(std::unique_ptr<sms_message>& msg) override { msg.reset(); }
};

}  // namespace

std::unique_ptr<sms> sms_xml_init() {
    return std::make_unique<sms_xml>();
}

}  // namespace tolvane
