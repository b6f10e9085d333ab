// What every way into the queue shares (the SMTP session's policy and the HTTP API):
// reserving units of the rate limits while admitting, and storing the admitted SMS as
// queue entries that hold those units until their delivery settles them.
//
// A LimitHold reserves one unit of a key in every limit in the same step as the check
// (LimitStore::reserve), so that concurrent admissions cannot all pass a limit before
// any of them is counted; what it holds goes back when it is dropped, unless intake_store
// stored the entries, which then hold it (MailUnits).
//
// Ownership: a LimitHold belongs to one admission (one thread); the limits, their counts
// (the gateway's LimitStore), the queue and the units are borrowed from the Gateway.
//
//   LimitHold hold(limits, *gw.state.limits);
//   if (msgrecs* mr = hold.reserve(MSGREC_TO, dest)) refuse(mr);
//   if (Status s = intake_store(queue, units, batch, user, hold); !s) refuse(queue->refusal());
#pragma once

#include <string>
#include <vector>

#include "foundation/result.h"
#include "queue/queue.h"
#include "records/msgrec.h"
#include "records/stores.h"

namespace tolvane {

class MailUnits;

class LimitHold {
  public:
    LimitHold(std::vector<msgrecs*> limits, LimitStore& counts)
        : limits_(std::move(limits)), counts_(counts) {}
    ~LimitHold() { release_all(); }
    LimitHold(const LimitHold&) = delete;
    LimitHold& operator=(const LimitHold&) = delete;

    // Reserves one unit of key in every limit: null when all took it, else the first limit
    // key has reached (nothing more is held then).
    msgrecs* reserve(int kind, const std::string& key);
    // Units more of an admitted key, without a check: the admission was the check.
    void reserve_more(int kind, const std::string& key, int units);
    // Gives back everything held.
    void release_all();
    // What is held now belongs to stored entries: nothing goes back.
    void keep() { held_.clear(); }
    const std::vector<msgrecs*>& limits() const { return limits_; }

  private:
    struct Held {
        int kind;
        std::string key;
        int units;
    };
    std::vector<msgrecs*> limits_;
    LimitStore& counts_;
    std::vector<Held> held_;
};

// Stores the batch (one entry per destination, all or nothing) in queue; on success every
// entry has its id, is noted in units (with the name user) as holding its units, and the
// hold keeps them. Otherwise the queue's error (nothing stored, nothing kept).
Status intake_store(QueueStore* queue, MailUnits* units, std::vector<queue_entry>& batch,
                    const std::string& user, LimitHold& hold);

}  // namespace tolvane
