// The receiver of a receiving transport: see receiver.h.
#include "sms/receiver.h"

#include <algorithm>
#include <climits>
#include <mutex>

#include "foundation/log.h"
#include "sms/sms_inbound.h"

namespace tolvane {

namespace {

std::string error_text(MessageSource& src, int err) {
    std::string bf;
    src.error(err, bf);
    return bf.empty() ? "error " + std::to_string(err) : bf;
}

int wait_arg(long ms) {
    return ms < 0 ? -1 : static_cast<int>(std::min<long>(ms, INT_MAX));
}

}  // namespace

void Receiver::handle(InboundSink& sink, std::unique_ptr<sms_message>& msg) {
    InboundVerdict v;
    if (int err = src_.msg_recv(msg.get()); err != 0) {
        emsg("Message recv error %s [%d:%s]", transport_.name().c_str(), err,
             error_text(src_, err).c_str());
        v.kept = false;
        v.code = RECEIVE_RETRY_LATER;
        v.reason = "not read, deliver again later";
    } else {
        auto text = [](const char* s) { return std::string(s != nullptr ? s : ""); };
        InboundSms in{text(src_.msg_from(msg.get())), text(src_.msg_to(msg.get())),
                      text(src_.msg_body(msg.get())), msg->concat};
        v = sink.received(transport_, std::move(in));
    }
    if (v.kept)
        src_.msg_accept(msg.get(), 0, "OK");
    else
        src_.msg_reject(msg.get(), v.code, v.reason.empty() ? "not kept" : v.reason.c_str());
    src_.msg_free(msg);
    msg.reset();
    if (v.recheck_idle) {
        // The receiver may be waiting without a timer: it asks idle() again at once.
        recheck_ = true;
        src_.interrupt();
    }
}

Status Receiver::run(InboundSink& sink, std::stop_token stop) {
    if (running_.exchange(true)) return Error{0, "the " + transport_.name() + " receiver runs already"};
    InboundWorkers workers(
        static_cast<std::size_t>(std::max(1, transport_.inbound_threads())),
        [this, &sink](std::unique_ptr<sms_message>& m) { handle(sink, m); },
        [this](std::unique_ptr<sms_message>& m) {
            emsg("The %s receiver is stopping: message released unhandled", transport_.name().c_str());
            src_.msg_free(m);
        });
    // The wait in progress ends the moment a stop is asked for.
    std::stop_callback wake(stop, [this] { src_.interrupt(); });
    Status out;
    long next = sink.idle();
    while (!stop.stop_requested()) {
        int err = 0;
        std::unique_ptr<sms_message> msg = src_.wait(wait_arg(next), err);
        if (err != 0) {
            std::string why = error_text(src_, err);
            emsg("The %s receiver stops: error %d (%s)", transport_.name().c_str(), err,
                 why.c_str());
            if (msg) src_.msg_free(msg);
            out = Error{err, why};
            break;
        }
        if (msg) {
            if (!workers.push(msg)) {
                emsg("Cannot hand a message to a message thread; released");
                if (msg) src_.msg_free(msg);
            }
            if (!recheck_.exchange(false)) continue;
        }
        if (stop.stop_requested()) break;
        recheck_ = false;
        next = sink.idle();
    }
    // What is queued is handled (and answered) before the workers are joined.
    workers.stop();
    running_ = false;
    return out;
}

}  // namespace tolvane
