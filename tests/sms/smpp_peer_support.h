// A scripted SMS centre for the SMPP tests: a bare-socket listener on loopback that
// accepts connections and reads and writes PDUs coded here, independently of the
// client's own PDU coder, so that a fault in the coder cannot hide on both sides.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tolvane::smpptest {

// Wire pieces, most significant octet first.
std::string be32(std::uint32_t v);
std::string be8(std::uint8_t v);
std::string cstr(std::string_view text);  // text and a NUL
// A whole PDU: header with command_length, then body.
std::string raw_pdu(std::uint32_t id, std::uint32_t status, std::uint32_t seq,
                    std::string_view body = {});

// A deliver_sm body with the given service_type, addresses and short_message.
std::string deliver_body(std::string_view service, std::string_view from, std::string_view to,
                         std::string_view text);

struct RawPdu {
    std::uint32_t length = 0, id = 0, status = 0, seq = 0;
    std::string body;
};

// The body cut at its NULs (the last part is whatever follows the last NUL).
std::vector<std::string> nul_fields(const std::string& body);

class Peer {
  public:
    Peer();  // listens on 127.0.0.1, a free port
    ~Peer();
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    int port() const { return port_; }
    // Accepts one connection within ms; its number (0, 1, ...) or -1.
    int accept(int ms = 10000);
    // Reads one PDU from connection n within ms; false on time-out or close.
    bool read(int n, RawPdu& out, int ms = 10000);
    // True when the client closed connection n (end of stream) within ms.
    bool sees_close(int n, int ms = 10000);
    // True when nothing arrives on connection n for ms (it is still open).
    bool quiet(int n, int ms);
    void send(int n, std::string_view bytes);
    void close(int n);
    void close_all();  // every accepted connection
    void close_listener();

  private:
    bool fill(int n, std::size_t want, int ms);
    int lsn_ = -1;
    int port_ = 0;
    std::vector<int> fds_;
    std::vector<std::string> inbuf_;
};

// Reads the next PDU of connection n and answers a bind of the expected kind with
// status (and system_id "SMSC" on success). The bind read is stored in got when given.
bool answer_bind(Peer& peer, int n, std::uint32_t expect_id, std::uint32_t status = 0,
                 RawPdu* got = nullptr);

}  // namespace tolvane::smpptest
