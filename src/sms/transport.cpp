// The SmsTransport defaults: see transport.h.
#include "sms/transport.h"

namespace tolvane {

namespace {

const char* const mode_names[SMS_MODES] = {"GSM modem", "SMPP", "XML", "SMTP", "robot"};

}  // namespace

const char* sms_mode_name(int mode) {
    if (mode < 0 || mode >= SMS_MODES) return "none";
    return mode_names[mode];
}

std::vector<SendResult> SmsTransport::send_window(std::span<const SmsOut> items,
                                                  const WindowHooks& hooks) {
    std::vector<SendResult> out(items.size(),
                                SendError{SendFailure::cut, 0, "not sent: the batch was stopped"});
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (hooks.go_on && !hooks.go_on()) break;
        const std::size_t one[1] = {i};
        if (hooks.before && !hooks.before(std::span<const std::size_t>(one))) break;
        out[i] = send(items[i]);
        if (hooks.after) hooks.after(i, out[i]);
    }
    return out;
}

Status SmsTransport::receive(InboundSink&, std::stop_token) {
    return Error{0, "the " + name_ + " transport receives no SMS"};
}

void SmsTransport::set_state_watcher(std::function<void()> fn) {
    std::lock_guard<std::mutex> g(watcher_lock_);
    watcher_ = std::move(fn);
}

void SmsTransport::state_changed() {
    // Under the lock, so that a watcher being replaced is never called afterwards.
    std::lock_guard<std::mutex> g(watcher_lock_);
    if (watcher_) watcher_();
}

}  // namespace tolvane
