// A transport that does nothing: the test fakes of the sms layer derive from it and
// override only the operations their test is about.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "sms/sms.h"

namespace tolvane {

struct null_transport : sms {
    explicit null_transport(int mode) : sms(mode) {}
    int send(const smtp_message_extra*, std::string_view, std::string_view,
             std::string_view) override {
        return 0;
    }
    std::unique_ptr<sms_message> wait(int, int&) override { return nullptr; }
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

}  // namespace tolvane
