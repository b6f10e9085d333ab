// SmtpServer: the mail listener, and SessionPolicy: what it asks the gateway at each
// stage of a client's dialogue.
//
// The server accepts connections on its listening sockets (the mail port, and the
// implicit-TLS port when configured), greets each client and runs its dialogue on a
// session worker: HELO/EHLO, STARTTLS, AUTH, MAIL, RCPT, DATA, RSET, NOOP, VRFY, QUIT,
// each command a row of the dialogue's command table (dialogue.cpp). At each
// stage it calls the session's policy; the policy's
// Reply is what the client is told (an empty Reply keeps the server's own answer).
//
//   connect -> helo -> auth -> mail -> rcpt ... rcpt -> data start -> data -> reply
//                                   \-> abort (RSET, a new HELO, QUIT or the client gone
//                                       before the data was in)
//
// A policy object is made (by the PolicyFactory) for each mail transaction of a
// connection: the first when the client is greeted, each further one when the client
// begins another transaction (a new MAIL after a finished mail, RSET, or a new HELO).
// Its on_connect is called first, so a policy can refuse the client before anything is
// read (the refusal closes the connection). on_data gets the whole envelope once the data
// is in (the data stays in memory up to spool_over bytes, in a spool file beyond); the
// reply it returns, e.g. 250 once the queue entries are durable, or 451/452/5xx, is the
// answer to the data. A policy never sees a mail refused by the server itself (552 for
// its size, 452 when it could not be stored whole): it gets on_abort.
//
// Threads: run() is the accepting loop, on the caller's thread, until its stop token is
// asked to stop (stop() also ends a wait). A connection whose client has been silent for
// a few milliseconds between two commands (after the greeting, between recipients, between
// mails; never within DATA) holds no thread: it waits in an epoll reactor
// (net/reactor.h), so idle clients cost their buffers only. Once its client speaks it runs
// on a session worker of the server's own bounded pool (std::jthread, at most one per
// allowed session, idle ones end after a minute), not always the one it ran on before.
// The hooks of one policy run on a session worker one at a time: a transaction that
// waited in the reactor goes on with the same policy, kept with its connection, maybe on
// another worker, which the hand-over orders after the first; so a policy needs no lock
// of its own.
// The storing step (on_data) runs there too: the client waits for its reply, never the
// accepting loop.
//
// Ownership: the server is owned by whoever opened it; it owns its listening sockets, its
// session workers and the connections they run. drain(ms) waits for the sessions under
// way; the destructor stops the workers and joins them. Policies belong to the session
// they were made for and are destroyed when their transaction ends.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>
#include <vector>

#include "foundation/result.h"
#include "mail/mail_headers.h"
#include "smtp/engine.h"

namespace tolvane {

// The client as a stage finds it.
struct Peer {
    std::string ip;    // client address text
    int port = 0;      // client port
    std::string helo;  // the name given in HELO/EHLO; empty before
    std::string user;  // the name the client authenticated as; empty when it did not
    bool tls = false;  // the connection is encrypted
};

// What a stage answers. code 0: the server's own reply (the stage is accepted).
struct Reply {
    int code = 0;
    std::string text;    // the text after the code
    bool close = false;  // the connection ends after the reply

    static Reply accept() { return {}; }
    // A refusal "code text"; the connection stays unless close.
    static Reply refuse(int code, std::string text, bool close = false) {
        return Reply{code, std::move(text), close};
    }
    // The connection ends at once, no reply sent.
    static Reply hang_up() { return Reply{0, std::string(), true}; }
    bool accepted() const { return code == 0 && !close; }
};

// One received mail, handed to on_data.
struct Envelope {
    Peer peer;
    std::string from;             // envelope sender, without angle brackets
    std::vector<std::string> to;  // recipients the policy accepted, in order of arrival
    std::string body;             // the text chosen from the MIME parts (at most 999 chars)
    mail_headers headers;         // the mail's headers, each name once
    long data_bytes = 0;          // bytes of message data received
    std::string spool_file;       // the file holding the data during on_data; empty: in memory
};

// The gateway's side of a mail transaction. Every hook has a default that accepts.
class SessionPolicy {
  public:
    virtual ~SessionPolicy() = default;
    // A transaction begins (for the first one: right after the greeting). A refusal is sent
    // at once and the connection is closed.
    virtual Reply on_connect(const Peer& peer) {
        (void)peer;
        return Reply::accept();
    }
    // The client's HELO/EHLO name (peer.helo), told as the greeting is accepted (again for
    // each further greeting before MAIL). A transaction that begins after the client
    // greeted (its connection's next mail) is told right after on_connect.
    virtual void on_helo(const Peer& peer) { (void)peer; }
    // The name the client authenticated as, told as its AUTH succeeds (for a later
    // transaction of the connection: right after on_connect and on_helo).
    virtual void on_auth(const std::string& user) { (void)user; }
    // MAIL FROM (its SIZE already checked). A refusal answers the MAIL command; the
    // transaction then ends (on_abort), and the connection too when the reply says so.
    virtual Reply on_mail(const Peer& peer, const std::string& from) {
        (void)peer;
        (void)from;
        return Reply::accept();
    }
    // One RCPT TO. A refusal answers that recipient alone; the dialogue goes on.
    virtual Reply on_rcpt(const std::string& to) {
        (void)to;
        return Reply::accept();
    }
    // DATA arrived: accept to take the data ("354"), or refuse (hang_up closes silently).
    virtual Reply on_data_start() { return Reply::accept(); }
    // The data is in. The reply answers the data: 250 accepts the mail.
    virtual Reply on_data(Envelope&& mail) {
        (void)mail;
        return Reply{250, "Command DATA Processed mail data OK", false};
    }
    // The transaction ended before on_data (RSET, a new HELO, QUIT, the client gone, a mail
    // refused for its size or storage). Not called after a refusal from on_connect.
    virtual void on_abort() {}
};

// Makes the policy of each new transaction; called on the session's worker.
using PolicyFactory = std::function<std::unique_ptr<SessionPolicy>()>;

class SmtpServer {
  public:
    // Opens the listening sockets of init (listenport, bind, listen, tls, tls_port...).
    // Error code SMTP_ELISTEN with the reason when a socket or the TLS set-up fails.
    static Result<std::unique_ptr<SmtpServer>> open(const smtp_init& init, PolicyFactory policies);
    ~SmtpServer();
    SmtpServer(const SmtpServer&) = delete;
    SmtpServer& operator=(const SmtpServer&) = delete;

    // Accepts connections until st is asked to stop (or stop() is called).
    void run(std::stop_token st);
    // Ends run() at once, from any thread. Clients waiting between mails are told "421
    // Service closing transmission channel" and closed; a mail under way is answered first,
    // and its session closes the same way after it.
    void stop();
    // Waits up to ms for the sessions under way to end; true when none is left.
    bool drain(long ms);
    // Sessions under way (queued or running).
    int busy() const;
    int port() const;      // bound mail port, 0 without a listener
    int tls_port() const;  // bound implicit-TLS port, 0 without one

    // The engine under the sessions, for the engine's tests.
    smtp_engine& engine() { return *engine_; }

  private:
    SmtpServer() = default;
    std::unique_ptr<smtp_engine> engine_;
    std::atomic<bool> stopping_{false};
};

// One mail of a connection driven through the policy, from its start to the reply to its
// data (the server's session workers run it; tests drive it over a byte buffer).
void smtp_run_mail(smtp_engine& d, smtp_message& m, SessionPolicy& policy);

}  // namespace tolvane
