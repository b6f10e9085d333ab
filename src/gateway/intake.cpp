// The shared way into the queue: see intake.h.
#include "gateway/intake.h"

#include "foundation/log.h"
#include "gateway/mail_to_sms.h"
#include "records/stores.h"

namespace tolvane {

msgrecs* LimitHold::reserve(int kind, const std::string& key) {
    std::size_t taken = 0;
    for (msgrecs* mr : limits_) {
        if (!counts_.reserve(mr, kind, key, 1, true)) {
            for (std::size_t i = 0; i < taken; ++i) counts_.unreserve(limits_[i], kind, key, 1);
            return mr;
        }
        ++taken;
    }
    held_.push_back(Held{kind, key, 1});
    return nullptr;
}

void LimitHold::reserve_more(int kind, const std::string& key, int units) {
    if (units <= 0) return;
    for (msgrecs* mr : limits_) counts_.reserve(mr, kind, key, units, false);
    held_.push_back(Held{kind, key, units});
}

void LimitHold::release_all() {
    for (const Held& h : held_)
        for (msgrecs* mr : limits_) counts_.unreserve(mr, h.kind, h.key, h.units);
    held_.clear();
}

Status intake_store(QueueStore* queue, MailUnits* units, std::vector<queue_entry>& batch,
                    const std::string& user, LimitHold& hold) {
    if (queue == nullptr) return Error{0, "no queue"};
    if (Status s = queue->enqueue(batch); !s) return s;
    for (const queue_entry& e : batch) {
        dmsg("Queued SMS %llu to [%s]", static_cast<unsigned long long>(e.id),
             e.destination.c_str());
        if (units != nullptr) units->hold(e.id, user);
    }
    // Each entry now holds one unit of each of its keys (exactly what was reserved); its
    // delivery settles them.
    hold.keep();
    return {};
}

}  // namespace tolvane
