// Which sender IDs (SMS originators) a client may choose.
//
// A client that may send can name the originator of its SMS (the mail header
// X-Sms-Number). An SMS centre shows an alphanumeric originator as a brand's name, so
// a free choice would let any client pass itself off as a bank. Each sender_ids line
// grants a choice: "<who> <ids>", where who is one wildcard pattern matched against
// the name the client authenticated as, or against the mail's sender address when it
// did not authenticate (letter case ignored), and ids is a list of wildcard patterns
// (separated by commas or blanks) matched against the whole chosen originator, letter
// case kept. Several lines may grant to the same client; their lists add up. The
// gateway's own numbers (gsm_number and the phone pool's numbers) may always be
// chosen; anything else needs a line that grants it.
//
// Pure data and functions: the mail-to-SMS path builds a SenderIds from its settings
// for each mail that names an originator; anything else that lets a client choose an
// originator asks the same question the same way.
//
//   SenderIds ids = sender_ids_of(ini);
//   if (!sender_id_allowed(ids, user.empty() ? sender : user, chosen))
//       refuse(550, "Sender ID not allowed (" + chosen + ")");
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/sini.h"
#include "records/phones.h"

namespace tolvane {

// One sender_ids line.
struct SenderIdRule {
    std::string who;  // wildcard for the user name or sender address
    std::string ids;  // wildcards of the originators it may choose
};

// One sender_ids value read as a rule: the first word is who, the rest the ids;
// nullopt when either is missing.
std::optional<SenderIdRule> sender_id_rule(std::string_view value);

struct SenderIds {
    std::vector<SenderIdRule> rules;
    std::vector<std::string> own;  // the gateway's own numbers besides the pool's
    phone_range pool;              // the pool's numbers (size 0: no pool)
};

// The rules and the gateway's own numbers from the settings; a malformed sender_ids line
// is logged and grants nothing.
SenderIds sender_ids_of(const SIni* ini);

// True when who (a user name, or a sender address) may send from chosen.
bool sender_id_allowed(const SenderIds& ids, std::string_view who, std::string_view chosen);

}  // namespace tolvane
