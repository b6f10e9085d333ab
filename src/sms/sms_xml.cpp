// The XML transport: a placeholder whose sends all succeed and do nothing.
#include "sms/sms_xml.h"

#include <condition_variable>
#include <mutex>

namespace tolvane {

namespace {

class sms_xml : public SmsTransport {
  public:
    sms_xml() : SmsTransport(SMS_XML, "XML") {}

    SendResult send(const SmsOut&) override { return Sent{}; }
    // Nothing ever arrives: the receiver only waits for its stop.
    bool can_receive() const override { return true; }
    Status receive(InboundSink&, std::stop_token stop) override {
        std::mutex m;
        std::condition_variable_any cv;
        std::unique_lock<std::mutex> lk(m);
        cv.wait(lk, stop, [] { return false; });
        return {};
    }
    // Always up: there is never a change to tell.
    bool tells_state() const override { return true; }
};

}  // namespace

std::unique_ptr<SmsTransport> sms_xml_init() {
    return std::make_unique<sms_xml>();
}

}  // namespace tolvane
