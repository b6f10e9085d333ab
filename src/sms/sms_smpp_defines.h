// SMPP protocol numbers shared by the PDU coder, the session and the transport:
// command ids, command_status values, field sizes, and the transport's own error
// codes (which live beside the statuses in one code space, see sms_smpp_error).
//
// Only what this client sends, awaits or answers is named here. Sizes of C-Octet
// Strings include their terminating NUL.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tolvane {

// ---- command ids ----
inline constexpr std::uint32_t SMPP_RESP = 0x80000000u;  // set in every response id
inline constexpr std::uint32_t SMPP_GENERIC_NACK = 0x80000000u;
inline constexpr std::uint32_t SMPP_BIND_RECEIVER = 0x00000001u;
inline constexpr std::uint32_t SMPP_BIND_RECEIVER_RESP = 0x80000001u;
inline constexpr std::uint32_t SMPP_BIND_TRANSMITTER = 0x00000002u;
inline constexpr std::uint32_t SMPP_BIND_TRANSMITTER_RESP = 0x80000002u;
inline constexpr std::uint32_t SMPP_BIND_TRANSCEIVER = 0x00000009u;
inline constexpr std::uint32_t SMPP_BIND_TRANSCEIVER_RESP = 0x80000009u;
inline constexpr std::uint32_t SMPP_SUBMIT_SM = 0x00000004u;
inline constexpr std::uint32_t SMPP_SUBMIT_SM_RESP = 0x80000004u;
inline constexpr std::uint32_t SMPP_DELIVER_SM = 0x00000005u;
inline constexpr std::uint32_t SMPP_DELIVER_SM_RESP = 0x80000005u;
inline constexpr std::uint32_t SMPP_UNBIND = 0x00000006u;
inline constexpr std::uint32_t SMPP_UNBIND_RESP = 0x80000006u;
inline constexpr std::uint32_t SMPP_ENQUIRE_LINK = 0x00000015u;
inline constexpr std::uint32_t SMPP_ENQUIRE_LINK_RESP = 0x80000015u;
inline constexpr std::uint32_t SMPP_ALERT_NOTIFICATION = 0x00000102u;

// ---- command_status values (their texts: smpp_error) ----
inline constexpr std::uint32_t ESME_ROK = 0x00;
inline constexpr std::uint32_t ESME_RINVMSGLEN = 0x01;
inline constexpr std::uint32_t ESME_RINVCMDLEN = 0x02;
inline constexpr std::uint32_t ESME_RINVCMDID = 0x03;
inline constexpr std::uint32_t ESME_RINVBNDSTS = 0x04;
inline constexpr std::uint32_t ESME_RALYBND = 0x05;
inline constexpr std::uint32_t ESME_RINVPRTFLG = 0x06;
inline constexpr std::uint32_t ESME_RINVREGDLVFLG = 0x07;
inline constexpr std::uint32_t ESME_RSYSERR = 0x08;
inline constexpr std::uint32_t ESME_RINVSRCADR = 0x0A;
inline constexpr std::uint32_t ESME_RINVDSTADR = 0x0B;
inline constexpr std::uint32_t ESME_RINVMSGID = 0x0C;
inline constexpr std::uint32_t ESME_RBINDFAIL = 0x0D;
inline constexpr std::uint32_t ESME_RINVPASWD = 0x0E;
inline constexpr std::uint32_t ESME_RINVSYSID = 0x0F;
inline constexpr std::uint32_t ESME_RCANCELFAIL = 0x11;
inline constexpr std::uint32_t ESME_RREPLACEFAIL = 0x13;
inline constexpr std::uint32_t ESME_RMSGQFUL = 0x14;
inline constexpr std::uint32_t ESME_RINVSERTYP = 0x15;
inline constexpr std::uint32_t ESME_RINVNUMDESTS = 0x33;
inline constexpr std::uint32_t ESME_RINVDLNAME = 0x34;
inline constexpr std::uint32_t ESME_RINVDESTFLAG = 0x40;
inline constexpr std::uint32_t ESME_RINVSUBREP = 0x42;
inline constexpr std::uint32_t ESME_RINVESMCLASS = 0x43;
inline constexpr std::uint32_t ESME_RCNTSUBDL = 0x44;
inline constexpr std::uint32_t ESME_RSUBMITFAIL = 0x45;
inline constexpr std::uint32_t ESME_RINVSRCTON = 0x48;
inline constexpr std::uint32_t ESME_RINVSRCNPI = 0x49;
inline constexpr std::uint32_t ESME_RINVDSTTON = 0x50;
inline constexpr std::uint32_t ESME_RINVDSTNPI = 0x51;
inline constexpr std::uint32_t ESME_RINVSYSTYP = 0x53;
inline constexpr std::uint32_t ESME_RINVREPFLAG = 0x54;
inline constexpr std::uint32_t ESME_RINVNUMMSGS = 0x55;
inline constexpr std::uint32_t ESME_RTHROTTLED = 0x58;
inline constexpr std::uint32_t ESME_RINVSCHED = 0x61;
inline constexpr std::uint32_t ESME_RINVEXPIRY = 0x62;
inline constexpr std::uint32_t ESME_RINVDFTMSGID = 0x63;
inline constexpr std::uint32_t ESME_RX_T_APPN = 0x64;
inline constexpr std::uint32_t ESME_RX_P_APPN = 0x65;
inline constexpr std::uint32_t ESME_RX_R_APPN = 0x66;
inline constexpr std::uint32_t ESME_RQUERYFAIL = 0x67;
inline constexpr std::uint32_t ESME_RINVOPTPARSTREAM = 0xC0;
inline constexpr std::uint32_t ESME_ROPTPARNOTALLWD = 0xC1;
inline constexpr std::uint32_t ESME_RINVPARLEN = 0xC2;
inline constexpr std::uint32_t ESME_RMISSINGOPTPARAM = 0xC3;
inline constexpr std::uint32_t ESME_RINVOPTPARAMVAL = 0xC4;
inline constexpr std::uint32_t ESME_RDELIVERYFAILURE = 0xFE;
inline constexpr std::uint32_t ESME_RUNKNOWNERR = 0xFF;

// ---- sizes ----
inline constexpr std::uint8_t SMPP_INTERFACE_VERSION = 0x34;
inline constexpr std::size_t SMPP_HEADER_LEN = 16;
// The largest PDU taken in: a short message with every optional parameter a centre
// may add (a 64 KiB message_payload among them). Longer ones are skipped and nacked.
inline constexpr std::size_t SMPP_PDU_MAX = 0x11000;
// A command_length beyond this is not a PDU at all: the stream is out of step.
inline constexpr std::size_t SMPP_PDU_SKIP_MAX = 16u * 1024u * 1024u;
inline constexpr std::size_t SMPP_SHORT_MESSAGE_MAX = 254;
inline constexpr std::uint32_t SMPP_SEQUENCE_MAX = 0x7FFFFFFFu;

inline constexpr std::size_t SMPP_SYSTEM_ID_MAX = 16;
inline constexpr std::size_t SMPP_PASSWORD_MAX = 9;
inline constexpr std::size_t SMPP_SYSTEM_TYPE_MAX = 13;
inline constexpr std::size_t SMPP_ADDRESS_RANGE_MAX = 41;
inline constexpr std::size_t SMPP_ADDR_MAX = 21;
inline constexpr std::size_t SMPP_SERVICE_TYPE_MAX = 6;
inline constexpr std::size_t SMPP_TIME_MAX = 1;  // times in a deliver_sm are always empty
inline constexpr std::size_t SMPP_MESSAGE_ID_MAX = 65;

// ---- the transport's own codes (sms_smpp_error) ----
// 1 to 3 are start-up failures; every other code is a command_status, except the two
// link failures below, which lie outside the range any centre uses.
inline constexpr int SMPP_ERR_CONNECT = 1;     // "Failed to connect to smsc"
inline constexpr int SMPP_ERR_BIND_TX = 2;     // "Failed to bind transmitter"
inline constexpr int SMPP_ERR_BIND_RX = 3;     // "Failed to bind receiver"
inline constexpr int SMPP_ERR_WRITE = 4;       // accept/reject: the deliver_sm_resp was not written
inline constexpr int SMPP_ERR_LINK = 0x10001;  // the request or its answer was lost
inline constexpr int SMPP_ERR_TIMEOUT = 0x10002;  // no answer within the response limit
// A request abandoned by a shutdown's cut (the value of SMS_SEND_CUT in every transport).
inline constexpr int SMPP_ERR_CUT = -2;

}  // namespace tolvane
