// One SMPP connection to an SMS centre: a reader thread that takes every PDU as it
// arrives, requests from any thread matched to their responses by sequence number,
// and the answers this layer gives by itself.
//
// A link owns its socket and its reader thread. The reader answers enquire_link at
// once, answers the centre's unbind and closes, ignores alert_notification, refuses
// unknown requests with generic_nack, and hands deliver_sm to the owner's hook (or,
// without one, answers it with a temporary error so the centre offers it again).
// A response (or generic_nack) is matched to the request of its sequence number; one
// whose request is no longer waiting (it timed out) is dropped with a log line, so a
// late answer is never taken for another request's.
//
// request() may be called from many threads at once: each waits only for its own
// response, at most its own time limit, and never blocks the reading of the
// connection; a request ends itself at its deadline. Writes are whole PDUs under a
// lock. close() (or the centre hanging up) fails every waiting request at once with
// SMPP_ERR_LINK and calls the close hook. The reader (a std::jthread) blocks in poll()
// without a time limit: close() shuts the socket down, which wakes it, and so does a stop
// asked through the reader's stop token.
//
// Limits: the link never reconnects; the transport makes a new link for that. A link
// is used through a shared_ptr so that a request still running when the owner drops
// the link keeps it alive until it returns.
//
//   auto l = std::make_shared<smpp_link>("transmitter");
//   if (Status c = l->connect("127.0.0.1", 2775); !c) ... c.error().reason ...;
//   std::uint32_t st = 0;
//   if (!l->bind(SMPP_BIND_TRANSMITTER, "user", "pw", "Tolvaneway", 0, 0, "", st)) ...;
//   auto req = pdu_new(SMPP_SUBMIT_SM, 0); ...; pdu resp;
//   int r = l->request(*req, resp, 30000);   // 0: resp holds the answer
//   l->unbind(2000);
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <stop_token>
#include <thread>
#include <vector>

#include "foundation/result.h"
#include "sms/sms_smpp_flow.h"
#include "sms/sms_smpp_pdu.h"

namespace tolvane {

class CHAN;

// Time limits: a response by default, an unbind at shutdown, connecting, one write.
inline constexpr long SMPP_RESPONSE_MS = 30000;
inline constexpr long SMPP_UNBIND_MS = 2000;
inline constexpr long SMPP_UNBIND_CUT_MS = 500;  // an unbind after a shutdown's cut
inline constexpr int SMPP_CONNECT_MS = 20000;
inline constexpr int SMPP_WRITE_MS = 20000;

// Requests a link lets wait at once (the transport's window is smaller).
inline constexpr std::size_t SMPP_LINK_PENDING_MAX = 4096;
// How often requests sent together hand over the answers that came while one is late.
inline constexpr long SMPP_GROUP_TICK_MS = 100;

class smpp_link : public std::enable_shared_from_this<smpp_link> {
  public:
    // Called on the reader thread with a deliver_sm (or another request this layer
    // does not answer itself); it must answer through send() and return quickly.
    using request_hook = std::function<void(smpp_link&, std::unique_ptr<pdu>)>;
    // Called once when the link closes (on whichever thread closed it, no lock of the
    // link held), so that an owner waiting on its own condition hears of it at once.
    using close_hook = std::function<void()>;

    explicit smpp_link(std::string_view role, request_hook hook = {});
    ~smpp_link();  // closes, joins the reader, releases the socket
    smpp_link(const smpp_link&) = delete;
    smpp_link& operator=(const smpp_link&) = delete;

    // Connects within SMPP_CONNECT_MS and starts the reader. Fails with the reason.
    Status connect(const std::string& host, int port);
    bool open() const { return !closed_.load(); }
    const std::string& role() const { return role_; }
    // Why the link closed ("" while open).
    std::string close_reason() const;

    // The next sequence number (1 .. 0x7FFFFFFF, then 1 again).
    std::uint32_t next_sequence();
    // For tests: the number the next request will get.
    void set_sequence(std::uint32_t next);

    // Sends req (given a sequence number when it has none) and waits up to ms for the
    // response with its sequence number (or a generic_nack for it). 0 with resp
    // filled; SMPP_ERR_LINK when it could not be written or the link closed first;
    // SMPP_ERR_TIMEOUT when no answer came in time.
    [[nodiscard]] int request(pdu& req, pdu& resp, long ms);
    // request() for many at once: every request (each given a sequence number when it
    // has none) goes out in one write, and the caller waits up to ms for the answers.
    // Answers are handed over by answered(indexes) (when set) on the caller's thread, no
    // lock of the link held, with resps[i] filled and results[i] 0: all of them after one
    // wake-up when they come together, else those that came every SMPP_GROUP_TICK_MS, so
    // that a missing answer holds up none of the others. On return results[i] is what
    // request() would have returned for reqs[i]. Both vectors are resized to reqs.size().
    void request_many(const std::vector<pdu*>& reqs, std::vector<pdu>& resps,
                      std::vector<int>& results, long ms,
                      const std::function<void(const std::vector<std::size_t>&)>& answered = {});
    // Writes p whole (a sequence number is assigned when it has none). False when
    // the write failed; the link is then closed.
    bool send(pdu& p);
    // A response with only a header (enquire_link_resp, generic_nack, ...).
    bool answer(std::uint32_t cmd_id, std::uint32_t status, std::uint32_t sequence);

    // Binds (bind_transmitter, bind_receiver or bind_transceiver). True when the
    // centre accepted; else false with the centre's status in status (0 when no
    // answer came).
    [[nodiscard]] bool bind(std::uint32_t cmd, std::string_view id, std::string_view pass,
                            std::string_view type, int addr_ton, int addr_npi,
                            std::string_view addr_range, long ms, std::uint32_t& status);
    const std::string& server_id() const { return server_id_; }
    // unbind and its answer within ms; true when the centre confirmed it.
    bool unbind(long ms);

    // Set before connect(); replaced or cleared at any time. Not called when the link
    // is released by its last owner (nobody is left to tell).
    void set_close_hook(close_hook h);
    // Ends the connection: the reader stops, waiting requests fail.
    void close(std::string_view why);
    // A shutdown's cut: every request waiting for its answer, and every later one, fails
    // at once with SMPP_ERR_CUT; the link stays open (unbind still works on it) and a
    // late answer is dropped.
    void cut();
    // Milliseconds since the last PDU was read (or since connecting).
    long silent_ms() const;

  private:
    int request_impl(pdu& req, pdu& resp, long ms, bool cuttable);
    void reader_run(std::stop_token stop);
    void dispatch(std::unique_ptr<pdu> p);
    // Hands the waiter of seq its answer and wakes it; under lock_.
    void finish(std::uint32_t seq, std::unique_ptr<pdu> got);
    bool write_all(const std::string& wire);

    std::string role_;
    request_hook hook_;
    std::unique_ptr<CHAN> chan_;  // owns the socket; only opens it and releases it
    int fd_ = -1;
    std::jthread reader_;
    std::atomic<bool> closed_{true};
    // Held by a shared_ptr when its reader started: the reader then holds a reference of its
    // own while it handles what came, so that a hook dropping the last other one cannot
    // free the link under it.
    bool owned_ = false;
    std::atomic<bool> cut_{false};  // changed under lock_
    std::atomic<long> last_read_{0};
    std::atomic<std::uint32_t> sequence_{1};
    std::string server_id_;

    std::mutex write_lock_;

    // One request waiting for its answer, on the stack of request(). Each has its own
    // condition so that an answer wakes only the thread it is for: with a full window,
    // waking every waiter per answer costs more than the SMPP work itself.
    // Requests sent together share one condition, told when the last is answered.
    struct waiter_group {
        std::condition_variable cv;
        std::size_t left = 0;  // members not answered yet
    };
    struct waiter {
        std::condition_variable cv;
        std::unique_ptr<pdu> got;      // the answer
        bool done = false;             // answered (and out of waiters_)
        waiter_group* group = nullptr;  // told instead of cv when set
    };
    // Under lock_: gives reqs their sequence numbers (where they have none) and a waiter
    // each in ws, members of group, while the window has room; how many got one.
    std::size_t enlist(const std::vector<pdu*>& reqs, waiter* ws, waiter_group& group,
                       long wait_ms);

    mutable std::mutex lock_;  // guards the fields below
    smpp_window pending_{SMPP_LINK_PENDING_MAX};
    std::map<std::uint32_t, waiter*> waiters_;  // by sequence number
    std::string close_reason_;
    close_hook on_close_;
};

// Milliseconds on the steady clock.
long smpp_now_ms();
// The steady clock's time point of a smpp_now_ms() value (for wait_until).
inline std::chrono::steady_clock::time_point smpp_clock_at(long ms) {
    return std::chrono::steady_clock::time_point(std::chrono::milliseconds(ms));
}

// The text of a command_status (or one of the transport's own link codes);
// "Failed to identify error." when unknown.
std::string smpp_error(std::uint32_t status);
// Null for a status without a text of its own.
const char* smpp_status_text(std::uint32_t status);

}  // namespace tolvane
