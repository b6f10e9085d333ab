// SMPP short messages: the submit_sm PDUs of an outgoing text (addresses with their
// type of number, coding, long texts), the fields of a received deliver_sm with its
// optional parameters, and delivery receipts.
//
// Pure functions over values; the transport (sms_smpp.cpp) sends and receives.
// Received PDUs are untrusted: every length is checked against the body, and a
// deliver_sm cut short keeps the fields read before the cut.
//
//   smpp_submit_options o;  o.registered_delivery = 1;
//   for (auto& p : smpp_submits("+447700900001", "ACME", text, o)) link->request(*p, ...);
//
//   smpp_deliver d;
//   smpp_parse_deliver(pdu, d);
//   smpp_receipt r;
//   if (smpp_receipt_of(d, r)) ... r.message_id, r.state ...
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sms/sms_concat.h"
#include "sms/sms_text.h"
#include "sms/sms_smpp_pdu.h"
#include "sms/sms_text.h"

namespace tolvane {

enum class smpp_bind_kind { pair, transceiver };
enum class smpp_receipt_mode { none, failure, all };
// How a text longer than one SMS goes to an SMS centre.
enum class smpp_long_mode { udh, sar, payload };

// Optional parameter tags this client reads or writes.
inline constexpr std::uint16_t SMPP_TLV_RECEIPTED_MESSAGE_ID = 0x001E;
inline constexpr std::uint16_t SMPP_TLV_SAR_MSG_REF_NUM = 0x020C;
inline constexpr std::uint16_t SMPP_TLV_SAR_TOTAL_SEGMENTS = 0x020E;
inline constexpr std::uint16_t SMPP_TLV_SAR_SEGMENT_SEQNUM = 0x020F;
inline constexpr std::uint16_t SMPP_TLV_MESSAGE_PAYLOAD = 0x0424;
inline constexpr std::uint16_t SMPP_TLV_MESSAGE_STATE = 0x0427;

// esm_class bits.
inline constexpr int SMPP_ESM_RECEIPT = 0x04;  // message type: delivery receipt
inline constexpr int SMPP_ESM_UDHI = 0x40;     // short_message begins with a header

struct smpp_address {
    int ton = 0;
    int npi = 0;
    std::string addr;
    bool operator==(const smpp_address&) const = default;
};

// An originator: "+" and digits as international (1/1) without the "+", other
// digits as unknown/ISDN (0/1), anything else as alphanumeric (5/0).
smpp_address smpp_source_address(std::string_view from);
// A destination: "+" and digits as 1/1 without the "+"; other digits 0/1, or the
// given ton/npi when they are 0 or more; anything else as it is, 0/0.
smpp_address smpp_dest_address(std::string_view to, int dest_ton = -1, int dest_npi = -1);
// A received address as the gateway writes numbers: international gets its "+".
std::string smpp_received_address(int ton, std::string_view addr);

struct smpp_submit_options {
    int registered_delivery = 0;
    int dest_ton = -1;  // -1: by the address's form
    int dest_npi = -1;
    int gsm_coding = 0;  // data_coding of GSM text: 0 (default alphabet), 1 (IA5), 3 (Latin-1)
    smpp_long_mode long_mode = smpp_long_mode::udh;
    int max_parts = 10;
    std::string coding = "auto";  // the sms_coding setting
};

// The submit_sm PDUs (without sequence numbers) for text to to from from.
std::vector<std::unique_ptr<pdu>> smpp_submits(std::string_view from, std::string_view to,
                                               std::string_view text,
                                               const smpp_submit_options& o);

struct smpp_tlv {
    std::uint16_t tag = 0;
    std::string value;
};

// The fields of a deliver_sm (or data_sm-like body) in wire order.
struct smpp_deliver {
    std::string service_type;
    int source_ton = 0, source_npi = 0;
    std::string source;
    int dest_ton = 0, dest_npi = 0;
    std::string dest;
    int esm_class = 0, protocol_id = 0, priority = 0;
    int registered_delivery = 0, data_coding = 0;
    std::string short_message;  // sm_length octets
    std::vector<smpp_tlv> tlvs;
    bool complete = false;  // every mandatory field was there

    // The value of the first optional parameter with tag, null when absent.
    const std::string* tlv(std::uint16_t tag) const;
};

// Reads p's body from the start. False when it ends before the last mandatory field
// (the fields read so far are kept) or an optional parameter overruns the body
// (those before it are kept).
bool smpp_parse_deliver(const pdu& p, smpp_deliver& out);

// What a delivery receipt says.
struct smpp_receipt {
    std::string message_id;  // of the submit it reports on
    std::string state;       // "DELIVERED", "UNDELIVERED", "EXPIRED", "REJECTED", or the
                             // centre's own word for an intermediate state ("ENROUTE", ...)
    std::string error;       // the "err:" code, when given
    std::string source, dest;  // the receipt's addresses (dest: our originator)
    // True for the four final states.
    bool final() const;
    bool failed() const { return final() && state != "DELIVERED"; }
};

// The text of a delivered message as UTF-8 (short_message, or message_payload when
// short_message is empty), read by its data_coding (0 as GSM, or Latin-1 when
// gsm_as_latin1), a user-data header parsed and never shown; concat from the header or
// the sar_* parameters. Fails with the reason when a length does not fit; text then
// holds what could be read and concat still what the sar_* parameters say.
Status smpp_decode_text(const smpp_deliver& d, bool gsm_as_latin1, std::string& text,
                        sms_concat& concat);

// True when d is a delivery receipt (esm_class type 0x04, or a receipted_message_id);
// r then holds what it says, from the optional parameters where given, else from the
// text ("id:... stat:... err:...").
bool smpp_receipt_of(const smpp_deliver& d, smpp_receipt& r);

}  // namespace tolvane
