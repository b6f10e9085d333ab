// A scripted GSM modem on a pseudo-terminal, for the modem driver's tests.
//
// The fake owns both ends of a pty; the driver opens path(). A thread reads the
// commands the driver writes (ended by CR), records them, and answers like a
// modem: the whole set-up dialogue, AT+CSQ, AT+CREG?, AT+CMGS with its "> " prompt and the
// text ended by Ctrl-Z, listing, reading and deleting stored messages. A test can
// change any answer (an `on` handler sees each command first), make it silent,
// write slowly, and inject lines of its own (+CMTI, RING, junk). Like a modem that
// keeps to the standard it holds new-message indications back while AT+CNMI mode is
// 0, leaves text entry on ESC with "OK", and ignores an ESC outside text entry.
// Everything the fake holds is guarded by one lock; the destructor stops the thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tolvane::test {

struct stored_sms {
    int index = 0;
    std::string stat = "REC UNREAD";  // text mode
    int pdu_stat = 0;                 // PDU mode
    std::string from = "+447700900001";
    std::string time = "26/12/08,10:00:00+04";
    std::string text;  // text mode body
    std::string pdu;   // PDU mode unit (hex, service-centre part included)
};

class FakeModem {
  public:
    FakeModem();
    ~FakeModem();
    FakeModem(const FakeModem&) = delete;
    FakeModem& operator=(const FakeModem&) = delete;

    const std::string& path() const { return path_; }

    // Seen before the built-in answers: a text is written as the answer (raw bytes,
    // line ends included; "" answers nothing), nullopt falls through.
    using handler = std::function<std::optional<std::string>(const std::string& cmd)>;
    void on(handler h);

    // Knobs of the built-in modem.
    // Echo every command until ATE0 (stubborn: ATE0 does not stop it).
    void set_echo(bool on, bool stubborn = false);
    void set_ok_after_cpin(bool on);           // "OK" after the +CPIN: line (default true)
    void set_cpin(const std::string& state);   // "READY", "SIM PIN", "SIM PUK2", ...
    void set_signal(std::vector<int> levels);  // successive +CSQ levels (last repeats)
    // The stat AT+CREG? reports (0-5, default 1); -1 answers ERROR, as a modem without
    // the command does.
    void set_registration(int stat);
    void set_cmgs_reply(const std::string& reply);  // answer after the Ctrl-Z
    void set_byte_delay_ms(int ms);                 // slow writes
    // Echo what is typed in text entry, with a new "> " after each CR, as modems do.
    void set_entry_echo(bool on);
    // Puts the modem into text entry for the command (as if it had prompted).
    void enter_text_entry(const std::string& cmd);
    // The next AT+CMGS enters text entry but its prompt is lost: a notice comes instead.
    void lose_next_prompt();

    // Writes bytes to the driver as if the modem sent them.
    void inject(const std::string& bytes);
    // Adds a stored message (index given or next free) and returns its index.
    int store(stored_sms m);
    // Stores a message and announces it with +CMTI.
    int deliver(stored_sms m);
    std::size_t stored_count();
    bool has_stored(int index);
    // Closes the pty so that the driver's reads fail.
    void hang_up();
    // After hang_up: the modem on a new pty (a new path()), as a device plugged in again
    // gets a new name; what it stored and the commands it saw are kept.
    void replug();
    // AT+CFUN=1,1 answers OK and restarts the modem: echo on, indications off, text mode.
    // It then answers nothing for this long (default 0).
    void set_reset_silence_ms(int ms);
    int resets();  // AT+CFUN=1,1 taken

    std::vector<std::string> commands();  // every command line, CR removed
    std::vector<std::string> bodies();    // every text sent after a prompt, Ctrl-Z removed
    // The messages the modem sent (ended by Ctrl-Z, not ESC): the AT+CMGS that opened
    // each, and its text.
    struct sent_sms {
        std::string command;
        std::string text;
        bool operator==(const sent_sms&) const = default;
    };
    std::vector<sent_sms> sent();
    int escapes();                         // text entries ended by ESC
    int held_indications();                // +CMTI held back while AT+CNMI mode is 0
    int count(const std::string& cmd);     // how often exactly cmd came
    bool seen(const std::string& prefix);  // a command starting with prefix came
    // Waits (up to limit) until pred holds on the command list.
    bool wait_for(const std::function<bool(const std::vector<std::string>&)>& pred,
                  std::chrono::milliseconds limit = std::chrono::seconds(20));
    bool wait_command(const std::string& prefix,
                      std::chrono::milliseconds limit = std::chrono::seconds(20));

  private:
    void run();
    void handle(const std::string& cmd);
    std::string answer(const std::string& cmd);
    void send(const std::string& bytes);
    std::string listing(bool pdu, const std::string& stat);

    int master_ = -1;
    int slave_ = -1;
    std::string path_;
    std::thread thread_;
    bool stop_ = false;

    std::mutex m_;
    std::condition_variable changed_;
    handler on_;
    bool echo_ = false;
    bool stubborn_echo_ = false;
    bool ok_after_cpin_ = true;
    std::string cpin_ = "READY";
    std::vector<int> signal_{20};
    std::size_t signal_at_ = 0;
    int registration_ = 1;
    std::string cmgs_reply_;
    int byte_delay_ms_ = 0;
    bool pdu_ = false;
    bool in_body_ = false;
    bool entry_echo_ = false;
    bool lose_prompt_ = false;
    std::string body_;
    std::string body_cmd_;
    std::vector<sent_sms> sent_;
    int escapes_ = 0;
    int cnmi_mode_ = 0;
    std::vector<std::string> held_;
    int next_ref_ = 1;
    std::vector<stored_sms> stored_;
    std::vector<std::string> commands_;
    std::vector<std::string> bodies_;
    std::vector<int> held_ptys_;  // names a replug must not take again
    int reset_silence_ms_ = 0;
    int resets_ = 0;
    std::chrono::steady_clock::time_point silent_until_{};
};

}  // namespace tolvane::test
