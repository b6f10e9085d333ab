// SMPP protocol data units: building and reading one PDU, its wire form, and the
// assembler that cuts a byte stream from a centre into whole PDUs.
//
// A pdu owns its body octets. Writers append at the end of the body; readers take
// fields at the read position `upto` and never read past the body: a field that
// does not fit gives 0 and leaves both the output and the read position as they
// were. Integers are unsigned, most significant octet first. A C-Octet String is
// written as at most max - 1 characters and a NUL.
//
// The assembler holds the bytes of a PDU that has not fully arrived, so headers and
// bodies split over any number of TCP segments come out whole. It refuses a
// command_length below the header size (the stream cannot be trusted after that)
// and skips the body of one longer than SMPP_PDU_MAX, handing its header to the
// caller so the PDU can be refused while the dialogue stays in step.
//
//   auto p = pdu_new(SMPP_SUBMIT_SM, 0);
//   pdu_add_string(*p, "", 6);
//   pdu_add_int(*p, 0, 1);
//   p->sequence = 7;
//   std::string wire = pdu_encode(*p);   // header with command_length, then body
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sms/sms_smpp_defines.h"

namespace tolvane {

struct pdu {
    std::uint32_t length = 0;      // command_length: 16 + body length (set when encoded)
    std::uint32_t cmd_id = 0;      // command_id
    std::uint32_t cmd_status = 0;  // command_status
    std::uint32_t sequence = 0;    // 0: the connection assigns the next number when sending
    std::vector<unsigned char> body;
    std::size_t upto = 0;  // read position in body

    int bsz() const { return static_cast<int>(body.size()); }
};

// A zeroed PDU with those two fields.
std::unique_ptr<pdu> pdu_new(std::uint32_t cmd_id, std::uint32_t cmd_status);
// A deep copy with its read position at the start.
std::unique_ptr<pdu> pdu_dup(const pdu& p);
// Frees the body and zeroes every field.
void pdu_clear(pdu& p);
void pdu_free(std::unique_ptr<pdu>& p);

// ---- writing fields (1, or 0 for a size outside 1 to 4) ----
int pdu_add_int(pdu& p, std::uint32_t value, int size);
// At most max - 1 characters of text (and no further than an embedded NUL), then a NUL.
int pdu_add_string(pdu& p, std::string_view text, std::size_t max);
int pdu_add_octet(pdu& p, const void* bytes, std::size_t len);

// ---- reading fields at upto (1, or 0 with nothing changed when too few octets) ----
int pdu_get_int(pdu& p, int size, std::uint32_t& out);
// Reads up to and including the NUL, at most max octets; when no NUL comes within max
// octets, the last one read counts as the NUL (so out holds at most max - 1 characters).
// 0 when the body ends first.
int pdu_get_string(pdu& p, std::string& out, std::size_t max);
int pdu_get_octet(pdu& p, std::string& out, std::size_t len);

// ---- wire form ----
// Header (command_length computed from the body) and body. Sets p.length.
std::string pdu_encode(pdu& p);
// The four header fields from 16 octets.
void pdu_header_decode(const unsigned char* h, pdu& out);

// ---- the stream assembler ----
enum pdu_take_result : int {
    PDU_NEED_MORE = 0,  // no whole PDU buffered yet
    PDU_TAKEN = 1,      // out holds a whole PDU
    PDU_TOO_LONG = 2,   // out holds the header of a PDU whose body is being skipped
    PDU_BROKEN = -1     // a command_length no PDU can have: out holds the header
};

class pdu_assembler {
  public:
    void feed(const char* data, std::size_t len);
    // The next PDU buffered, if any. After PDU_BROKEN the assembler stays broken.
    pdu_take_result take(pdu& out);
    // Octets held that are not yet part of a taken PDU.
    std::size_t buffered() const { return buf_.size() - pos_; }
    bool broken() const { return broken_; }
    void reset();

  private:
    std::vector<unsigned char> buf_;
    std::size_t pos_ = 0;   // start of the first octet not yet taken
    std::size_t skip_ = 0;  // body octets of an over-long PDU still to drop
    bool broken_ = false;
};

// Owned copies of PDUs read while waiting for something else, oldest first.
struct pdu_list {
    std::deque<std::unique_ptr<pdu>> items;
    bool empty() const { return items.empty(); }
    std::size_t size() const { return items.size(); }
};
// Pending PDUs kept per connection at most; more are dropped with a log line.
inline constexpr std::size_t PDU_LIST_MAX = 256;
// Appends a copy; 0 (nothing added) when the list is full.
int pdulist_add(pdu_list& list, const pdu& p);
// The oldest entry, taken off the list (null when empty).
std::unique_ptr<pdu> pdulist_pop(pdu_list& list);
void pdulist_free(pdu_list& list);

// The command's name for log lines ("submit_sm", ...), or "unknown".
const char* smpp_command_name(std::uint32_t cmd_id);

}  // namespace tolvane
