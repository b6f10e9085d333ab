// One SMPP connection to an SMS centre: connecting, sending and reading PDUs,
// binding, submitting, unbinding, and answering what the centre sends unasked.
//
// A connection (`smpp`) owns its TCP channel, the bytes of a PDU still arriving,
// and the PDUs read while a request waited for its answer (`plist`, oldest first).
// Every request waits for its response with a time limit (`response_ms`) and only
// takes a response that carries its own sequence number; a late answer to an
// earlier request is dropped, so it can never be mistaken for the current one. A
// generic_nack for the request ends the wait as a refusal.
//
// Threads: the functions here do no locking. A thread that uses a connection
// holds it with an smpp_hold for the whole exchange. Holders that must not wait
// long (sends, acknowledgements) go first; the receiving thread, which reads in
// short slices, yields to them between slices.
//
// Limits: no reconnection; once the channel fails every later request fails at once.
//
//   auto s = smpp_new("transmitter");
//   if (smpp_connect(*s, "127.0.0.1", 2775) &&
//       smpp_transmitter(*s, "user", "secret", "Tolvaneway", 0, 0, ""))
//       if (!smpp_send_msg(*s, "4412", "4413", "hello")) emsg("%s",
//       smpp_error(s->last_error).c_str());
//   smpp_unbind(*s);
//   smpp_free(s);
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "net/tcp.h"
#include "sms/sms_smpp_pdu.h"

namespace tolvane {

// How long a request waits for its response, and an unbind at shutdown at most.
inline constexpr long SMPP_RESPONSE_MS = 30000;
inline constexpr long SMPP_UNBIND_MS = 2000;
inline constexpr int SMPP_CONNECT_MS = 20000;
inline constexpr int SMPP_WRITE_MS = 20000;

struct smpp {
    std::uint32_t last_error = 0;  // last failure: a command_status or SMPP_ERR_LINK/TIMEOUT
    std::uint32_t sequence = 1;    // the next sequence number
    std::string server_id;         // system_id of the bind response
    pdu_list plist;                // read while waiting for a response
    std::unique_ptr<CHAN> c;

    pdu_assembler in;    // octets of a PDU not yet whole
    bool bound = false;  // a bind succeeded and no unbind since
    long response_ms = SMPP_RESPONSE_MS;
    std::string role;        // "transmitter", "receiver": names the connection in log lines
    std::string message_id;  // of the last accepted submit_sm
    bool lost_logged = false;

    // Turn-taking between the threads that use the connection (smpp_hold).
    std::mutex io;
    std::condition_variable turn;
    std::atomic<int> wanting{0};
};

// Holds a connection for one exchange.
class smpp_hold {
  public:
    enum kind {
        FIRST,  // waits for the connection, ahead of YIELD holders
        YIELD,  // waits until no FIRST holder is waiting
        TRY     // takes it only if free at once; see held()
    };
    smpp_hold(smpp& s, kind k);
    ~smpp_hold();
    smpp_hold(const smpp_hold&) = delete;
    smpp_hold& operator=(const smpp_hold&) = delete;
    bool held() const { return lk_.owns_lock(); }

  private:
    smpp& s_;
    std::unique_lock<std::mutex> lk_;
};

// role names the connection in log lines.
std::unique_ptr<smpp> smpp_new(std::string_view role = "smpp");
void smpp_free(std::unique_ptr<smpp>& s);

// Opens the channel to host and port. 1 or 0 (logged).
int smpp_connect(smpp& s, const std::string& host, int port);
// True while the channel is open.
bool smpp_open(const smpp& s);

// Assigns the next sequence number when p has none, sets command_length and writes
// header and body in one piece within timeout ms (0: SMPP_WRITE_MS). 1 when all was
// written; on failure the channel is closed.
int smpp_send_pdu(smpp& s, pdu& p, int timeout);
// The next whole PDU within timeout ms (0: no limit). 1 for a PDU, -2 on time-out,
// 0 when the channel is closed or failed (or the stream broke; then it is closed).
// A PDU too long to take is refused with generic_nack and skipped.
int smpp_recv_pdu(smpp& s, pdu& p, int timeout);

// Sends req and waits up to ms for resp_id with req's sequence number, or a
// generic_nack for it; 1 with resp filled. 0 when the request could not be written or
// no answer came (last_error SMPP_ERR_LINK or SMPP_ERR_TIMEOUT). Other PDUs read
// meanwhile go on plist.
int smpp_request(smpp& s, pdu& req, std::uint32_t resp_id, pdu& resp, long ms);

// Binds and waits for the response; 1 on success (server_id set, bound). A refusal
// of a transmitter bind leaves its status in last_error.
int smpp_transmitter(smpp& s, std::string_view id, std::string_view pass, std::string_view type,
                     int addr_ton, int addr_npi, std::string_view addr_range);
int smpp_reciever(smpp& s, std::string_view id, std::string_view pass, std::string_view type,
                  int addr_ton, int addr_npi, std::string_view addr_range);
// submit_sm and its response; 1 when the centre took it (message_id set), else 0 with
// the reason in last_error. The text is cut at 254 octets, the addresses at 20.
int smpp_send_msg(smpp& s, std::string_view from, std::string_view to, std::string_view text);
// unbind and its response (at most SMPP_UNBIND_MS); 1 when the centre confirmed it.
// Nothing is sent on a connection that is not bound.
int smpp_unbind(smpp& s);

// Deals with a PDU the centre sent unasked: answers enquire_link, ignores
// alert_notification, answers unbind (and closes), logs a generic_nack, and refuses
// any other request with generic_nack. Always 1.
int sms_smpp_handler(smpp& s, pdu& p);
// Hands every pending PDU to the handler, oldest first.
void smpp_handle_pending(smpp& s);

// The text of a command_status (or one of the transport's own link codes);
// "Failed to identify error." when unknown.
std::string smpp_error(std::uint32_t status);
// Null for a status without a text of its own.
const char* smpp_status_text(std::uint32_t status);

}  // namespace tolvane
