// The scripted GSM modem on a pseudo-terminal (see gsm_support.h).
#include "sms/gsm_support.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

namespace tolvane::test {

FakeModem::FakeModem() {
    replug();
}

void FakeModem::replug() {
    if (thread_.joinable()) thread_.join();  // ended by hang_up
    termios raw{};
    cfmakeraw(&raw);
    char name[256] = {0};
    int master = -1;
    int slave = -1;
    for (;;) {
        if (::openpty(&master, &slave, name, &raw, nullptr) != 0) return;
        // A device plugged in again gets a new name: the old one, free again, is taken
        // by a pty whose other side stays locked (nobody can open that name).
        if (path_.empty() || path_ != name) break;
        ::close(master);
        ::close(slave);
        int squatter = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (squatter < 0) return;
        held_ptys_.push_back(squatter);
    }
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    {
        std::lock_guard<std::mutex> l(m_);
        master_ = master;
        slave_ = slave;
        path_ = name;
        stop_ = false;
        in_body_ = false;
    }
    thread_ = std::thread([this] { run(); });
}

void FakeModem::set_reset_silence_ms(int ms) {
    std::lock_guard<std::mutex> l(m_);
    reset_silence_ms_ = ms;
}

int FakeModem::resets() {
    std::lock_guard<std::mutex> l(m_);
    return resets_;
}

FakeModem::~FakeModem() {
    {
        std::lock_guard<std::mutex> l(m_);
        stop_ = true;
    }
    if (thread_.joinable()) thread_.join();
    if (master_ >= 0) ::close(master_);
    if (slave_ >= 0) ::close(slave_);
    for (int fd : held_ptys_) ::close(fd);
}

void FakeModem::on(handler h) {
    std::lock_guard<std::mutex> l(m_);
    on_ = std::move(h);
}
void FakeModem::set_echo(bool on, bool stubborn) {
    std::lock_guard<std::mutex> l(m_);
    echo_ = on;
    stubborn_echo_ = stubborn;
}
void FakeModem::set_ok_after_cpin(bool on) {
    std::lock_guard<std::mutex> l(m_);
    ok_after_cpin_ = on;
}
void FakeModem::set_cpin(const std::string& state) {
    std::lock_guard<std::mutex> l(m_);
    cpin_ = state;
}
void FakeModem::set_signal(std::vector<int> levels) {
    std::lock_guard<std::mutex> l(m_);
    signal_ = std::move(levels);
    signal_at_ = 0;
}
void FakeModem::set_registration(int stat) {
    std::lock_guard<std::mutex> l(m_);
    registration_ = stat;
}
void FakeModem::set_cmgs_reply(const std::string& reply) {
    std::lock_guard<std::mutex> l(m_);
    cmgs_reply_ = reply;
}
void FakeModem::set_byte_delay_ms(int ms) {
    std::lock_guard<std::mutex> l(m_);
    byte_delay_ms_ = ms;
}

void FakeModem::set_entry_echo(bool on) {
    std::lock_guard<std::mutex> l(m_);
    entry_echo_ = on;
}
void FakeModem::enter_text_entry(const std::string& cmd) {
    std::lock_guard<std::mutex> l(m_);
    in_body_ = true;
    body_cmd_ = cmd;
}

void FakeModem::lose_next_prompt() {
    std::lock_guard<std::mutex> l(m_);
    lose_prompt_ = true;
}

void FakeModem::inject(const std::string& bytes) {
    std::lock_guard<std::mutex> l(m_);
    send(bytes);
}

int FakeModem::store(stored_sms m) {
    std::lock_guard<std::mutex> l(m_);
    if (m.index == 0) {
        int top = 0;
        for (const stored_sms& s : stored_) top = std::max(top, s.index);
        m.index = top + 1;
    }
    stored_.push_back(m);
    return m.index;
}

int FakeModem::deliver(stored_sms m) {
    int index = store(std::move(m));
    std::string cmti = "\r\n+CMTI: \"SM\"," + std::to_string(index) + "\r\n";
    std::lock_guard<std::mutex> l(m_);
    if (cnmi_mode_ == 0) {
        held_.push_back(cmti);
    } else {
        send(cmti);
    }
    return index;
}

std::size_t FakeModem::stored_count() {
    std::lock_guard<std::mutex> l(m_);
    return stored_.size();
}

bool FakeModem::has_stored(int index) {
    std::lock_guard<std::mutex> l(m_);
    return std::any_of(stored_.begin(), stored_.end(),
                       [index](const stored_sms& s) { return s.index == index; });
}

void FakeModem::hang_up() {
    std::lock_guard<std::mutex> l(m_);
    stop_ = true;
    if (master_ >= 0) ::close(master_);
    if (slave_ >= 0) ::close(slave_);
    master_ = slave_ = -1;
}

std::vector<std::string> FakeModem::commands() {
    std::lock_guard<std::mutex> l(m_);
    return commands_;
}
std::vector<std::string> FakeModem::bodies() {
    std::lock_guard<std::mutex> l(m_);
    return bodies_;
}
std::vector<FakeModem::sent_sms> FakeModem::sent() {
    std::lock_guard<std::mutex> l(m_);
    return sent_;
}
int FakeModem::escapes() {
    std::lock_guard<std::mutex> l(m_);
    return escapes_;
}
int FakeModem::held_indications() {
    std::lock_guard<std::mutex> l(m_);
    return static_cast<int>(held_.size());
}
int FakeModem::count(const std::string& cmd) {
    std::lock_guard<std::mutex> l(m_);
    return static_cast<int>(std::count(commands_.begin(), commands_.end(), cmd));
}
bool FakeModem::seen(const std::string& prefix) {
    std::lock_guard<std::mutex> l(m_);
    return std::any_of(commands_.begin(), commands_.end(),
                       [&](const std::string& c) { return c.starts_with(prefix); });
}

bool FakeModem::wait_for(const std::function<bool(const std::vector<std::string>&)>& pred,
                         std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> l(m_);
    return changed_.wait_for(l, limit, [&] { return pred(commands_); });
}

bool FakeModem::wait_command(const std::string& prefix, std::chrono::milliseconds limit) {
    return wait_for(
        [&](const std::vector<std::string>& cs) {
            return std::any_of(cs.begin(), cs.end(),
                               [&](const std::string& c) { return c.starts_with(prefix); });
        },
        limit);
}

// Called with m_ held.
void FakeModem::send(const std::string& bytes) {
    if (master_ < 0) return;
    if (byte_delay_ms_ <= 0) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
            if (n <= 0) {
                pollfd p{master_, POLLOUT, 0};
                ::poll(&p, 1, 100);
                continue;
            }
            done += static_cast<std::size_t>(n);
        }
        return;
    }
    for (char c : bytes) {
        (void)!::write(master_, &c, 1);
        m_.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(byte_delay_ms_));
        m_.lock();
    }
}

void FakeModem::run() {
    std::string line;
    for (;;) {
        int fd;
        {
            std::lock_guard<std::mutex> l(m_);
            if (stop_) return;
            fd = master_;
        }
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) continue;
        char bf[512];
        ssize_t n = ::read(fd, bf, sizeof bf);
        if (n <= 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue;
        }
        std::lock_guard<std::mutex> l(m_);
        for (ssize_t i = 0; i < n; ++i) {
            char c = bf[i];
            if (in_body_) {
                if (c == 0x1a || c == 0x1b) {
                    in_body_ = false;
                    bodies_.push_back(body_);
                    if (c == 0x1a) {
                        sent_.push_back({body_cmd_, body_});
                    } else {
                        ++escapes_;
                    }
                    body_.clear();
                    changed_.notify_all();
                    if (c == 0x1a) {
                        send(cmgs_reply_.empty()
                                 ? "\r\n+CMGS: " + std::to_string(next_ref_++) + "\r\n\r\nOK\r\n"
                                 : cmgs_reply_);
                    } else {
                        send("\r\nOK\r\n");
                    }
                } else {
                    body_ += c;
                    if (entry_echo_) send(c == '\r' ? std::string("\r\n> ") : std::string(1, c));
                }
                continue;
            }
            if (c == '\n' || c == 0x1b) continue;  // ESC outside text entry: ignored
            if (c != '\r') {
                line += c;
                continue;
            }
            std::string cmd = line;
            line.clear();
            handle(cmd);
        }
    }
}

// Called with m_ held.
void FakeModem::handle(const std::string& cmd) {
    commands_.push_back(cmd);
    changed_.notify_all();
    if (std::chrono::steady_clock::now() < silent_until_) return;  // restarting
    if (echo_) send(cmd + "\r");
    if (cmd == "ATE0" && !stubborn_echo_) echo_ = false;
    if (on_) {
        handler h = on_;
        std::optional<std::string> r = h(cmd);
        if (r) {
            if (!r->empty()) send(*r);
            if (cmd.starts_with("AT+CMGS=") && r->find("> ") != std::string::npos) {
                in_body_ = true;
                body_cmd_ = cmd;
            }
            return;
        }
    }
    std::string a = answer(cmd);
    if (!a.empty()) send(a);
}

std::string FakeModem::listing(bool pdu, const std::string& stat) {
    std::string out;
    for (const stored_sms& s : stored_) {
        if (pdu) {
            if (stat != "4" && stat != std::to_string(s.pdu_stat)) continue;
            int sca = static_cast<int>(std::strtol(s.pdu.substr(0, 2).c_str(), nullptr, 16));
            int len = static_cast<int>(s.pdu.size() / 2) - 1 - sca;
            out += "\r\n+CMGL: " + std::to_string(s.index) + "," + std::to_string(s.pdu_stat) +
                   ",," + std::to_string(len) + "\r\n" + s.pdu;
        } else {
            if (stat != "\"ALL\"" && stat != "\"" + s.stat + "\"") continue;
            out += "\r\n+CMGL: " + std::to_string(s.index) + ",\"" + s.stat + "\",\"" + s.from +
                   "\",,\"" + s.time + "\",145," + std::to_string(s.text.size()) + "\r\n" + s.text;
        }
    }
    return out + "\r\n\r\nOK\r\n";
}

// Called with m_ held.
std::string FakeModem::answer(const std::string& cmd) {
    const std::string ok = "\r\nOK\r\n";
    auto is = [&](const char* c) { return cmd == c; };
    auto starts = [&](const char* c) { return cmd.starts_with(c); };
    if (is("AT") || is("ATE0") || is("ATZ") || is("ATH0")) return ok;
    if (is("AT+CFUN=1,1")) {
        ++resets_;
        echo_ = true;
        cnmi_mode_ = 0;
        pdu_ = false;
        silent_until_ =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(reset_silence_ms_);
        return ok;
    }
    if (is("ATS3?")) return "\r\n013\r\n" + ok;
    if (is("ATS4?")) return "\r\n010\r\n" + ok;
    if (is("AT+CMEE=?")) return "\r\n+CMEE: (0-2)\r\n" + ok;
    if (is("AT+CBST=?")) return "\r\n+CBST: (0-7,12,14,65,66,68,70,71,75),(0),(0-2)\r\n" + ok;
    if (is("AT+CPIN?")) {
        return "\r\n+CPIN: " + cpin_ + "\r\n" + (ok_after_cpin_ ? ok : std::string());
    }
    if (starts("AT+CPIN=") || starts("AT+CPIN2=")) {
        cpin_ = "READY";
        return ok;
    }
    if (is("AT+CSMS=?")) return "\r\n+CSMS: (0,1)\r\n" + ok;
    if (is("AT+CSMS=0")) return "\r\n+CSMS: 1,1,1\r\n" + ok;
    if (is("AT+CSCS=?")) return "\r\n+CSCS: (\"GSM\",\"IRA\",\"8859-1\",\"UCS2\")\r\n" + ok;
    if (is("AT+CSCA?")) return "\r\n+CSCA: \"+447700000000\",145\r\n" + ok;
    if (is("AT+CMGF=?")) return "\r\n+CMGF: (0,1)\r\n" + ok;
    if (is("AT+CMGF=0")) {
        pdu_ = true;
        return ok;
    }
    if (is("AT+CMGF=1")) {
        pdu_ = false;
        return ok;
    }
    if (is("AT+CNMI=?")) return "\r\n+CNMI: (0-2),(0-3),(0,2),(0-2),(0,1)\r\n" + ok;
    if (is("AT+CSQ=?")) return "\r\n+CSQ: (0-31,99),(0-7,99)\r\n" + ok;
    if (is("AT+CSQ")) {
        int level = signal_.empty() ? 20 : signal_[std::min(signal_at_, signal_.size() - 1)];
        ++signal_at_;
        return "\r\n+CSQ: " + std::to_string(level) + ",99\r\n" + ok;
    }
    if (is("AT+CSDH=?")) return "\r\n+CSDH: (0,1)\r\n" + ok;
    if (is("AT+CREG?")) {
        if (registration_ < 0) return "\r\nERROR\r\n";
        return "\r\n+CREG: 0," + std::to_string(registration_) + "\r\n" + ok;
    }
    if (starts("AT+CMGS=")) {
        in_body_ = true;
        body_cmd_ = cmd;
        if (lose_prompt_) {
            lose_prompt_ = false;
            return "\r\n+CREG: 1\r\n";
        }
        return "\r\n> ";
    }
    if (starts("AT+CNMI=") && cmd != "AT+CNMI=?") {
        cnmi_mode_ = std::atoi(cmd.c_str() + 8);
        if (cnmi_mode_ != 0) {  // held indications are let out
            std::string out = ok;
            for (const std::string& h : held_) out += h;
            held_.clear();
            return out;
        }
        return ok;
    }
    if (starts("AT+CMGL=")) return listing(pdu_, cmd.substr(8));
    if (starts("AT+CMGR=") || starts("AT+CMGD=")) {
        int index = std::atoi(cmd.c_str() + 8);
        auto it = std::find_if(stored_.begin(), stored_.end(),
                               [index](const stored_sms& s) { return s.index == index; });
        if (it == stored_.end()) return "\r\n+CMS ERROR: 321\r\n";
        if (starts("AT+CMGD=")) {
            stored_.erase(it);
            return ok;
        }
        if (pdu_) {
            int sca = static_cast<int>(std::strtol(it->pdu.substr(0, 2).c_str(), nullptr, 16));
            int len = static_cast<int>(it->pdu.size() / 2) - 1 - sca;
            return "\r\n+CMGR: " + std::to_string(it->pdu_stat) + ",," + std::to_string(len) +
                   "\r\n" + it->pdu + "\r\n" + ok;
        }
        return "\r\n+CMGR: \"" + it->stat + "\",\"" + it->from + "\",,\"" + it->time +
               "\",145,4,0,0,\"+447700000000\",145," + std::to_string(it->text.size()) + "\r\n" +
               it->text + "\r\n" + ok;
    }
    if (starts("AT+")) return ok;  // any other setting
    return "\r\nERROR\r\n";
}

}  // namespace tolvane::test
