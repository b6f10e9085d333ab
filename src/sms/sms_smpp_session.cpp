// One SMPP connection: see sms_smpp_session.h.
#include "sms/sms_smpp_session.h"

#include <chrono>

#include "foundation/lib.h"
#include "foundation/log.h"

namespace tolvane {

namespace {

long now_ms() {
    using namespace std::chrono;
    return static_cast<long>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

const char* role_of(const smpp& s) {
    return s.role.c_str();
}

struct status_row {
    std::uint32_t status;
    const char* text;
};

constexpr status_row kStatus[] = {
    {ESME_ROK, "No Error"},
    {ESME_RINVMSGLEN, "Message Length is Invalid"},
    {ESME_RINVCMDLEN, "Command Length is Invalid"},
    {ESME_RINVCMDID, "Invalid Command ID"},
    {ESME_RINVBNDSTS, "Incorrect BIND Status for given Command"},
    {ESME_RALYBND, "ESME Already in Bound State"},
    {ESME_RINVPRTFLG, "Invalid Priority Flag"},
    {ESME_RINVREGDLVFLG, "Invalid Registered Delivery Flag"},
    {ESME_RSYSERR, "System Error"},
    {ESME_RINVSRCADR, "Invalid Source Address"},
    {ESME_RINVDSTADR, "Invalid Dest Address"},
    {ESME_RINVMSGID, "Message ID is invalid"},
    {ESME_RBINDFAIL, "Bind Failed"},
    {ESME_RINVPASWD, "Invalid Password"},
    {ESME_RINVSYSID, "Invalid System ID"},
    {ESME_RCANCELFAIL, "Cancel SM Failed"},
    {ESME_RREPLACEFAIL, "Replace SM Failed"},
    {ESME_RMSGQFUL, "Message Queue Full"},
    {ESME_RINVSERTYP, "Invalid Service Type"},
    {ESME_RINVNUMDESTS, "Invalid Number of Destinations"},
    {ESME_RINVDLNAME, "Invalid Distribution List name"},
    {ESME_RINVDESTFLAG, "Destination flag is invalid"},
    {ESME_RINVSUBREP, "Inalid 'submit with replace' request"},
    {ESME_RINVESMCLASS, "Invalid esm_class field data"},
    {ESME_RCNTSUBDL, "Cannot Submit to Distribution List"},
    {ESME_RSUBMITFAIL, "Submit Failed."},
    {ESME_RINVSRCTON, "Invalid Source Address TON"},
    {ESME_RINVSRCNPI, "Invalid Source Address NPI"},
    {ESME_RINVDSTTON, "Invalid Destination Address TON"},
    {ESME_RINVDSTNPI, "Invalid Destination Address NPI"},
    {ESME_RINVSYSTYP, "Invalid system_type field"},
    {ESME_RINVREPFLAG, "Invalid replace_if_present flag"},
    {ESME_RINVNUMMSGS, "Invalid number of messages"},
    {ESME_RTHROTTLED, "Throttling error"},
    {ESME_RINVSCHED, "Invalid Scheduled Delivery Time"},
    {ESME_RINVEXPIRY, "Invalid message validity period"},
    {ESME_RINVDFTMSGID, "Predefined Message Invalid or Not Found"},
    {ESME_RX_T_APPN, "ESME Receiver Temporary App Error Code"},
    {ESME_RX_P_APPN, "ESME Receiver Permanent App Error Code"},
    {ESME_RX_R_APPN, "ESME Receiver Reject Message Error Code"},
    {ESME_RQUERYFAIL, "query_sm request failed"},
    {ESME_RINVOPTPARSTREAM, "Error in the optional part of the PDU Body"},
    {ESME_ROPTPARNOTALLWD, "Optional Parameter not allowed"},
    {ESME_RINVPARLEN, "Invalid Parameter Length"},
    {ESME_RMISSINGOPTPARAM, "Expected Optional Parameter missing"},
    {ESME_RINVOPTPARAMVAL, "Invalid Optional Parameter Value"},
    {ESME_RDELIVERYFAILURE, "Delivery Failure"},
    {ESME_RUNKNOWNERR, "Unknown Error"},
    {SMPP_ERR_LINK, "Connection to smsc lost"},
    {SMPP_ERR_TIMEOUT, "No response from smsc in time"},
};

// A response with no body of its own: enquire_link_resp, unbind_resp, generic_nack.
int answer(smpp& s, std::uint32_t cmd_id, std::uint32_t status, std::uint32_t sequence) {
    auto r = pdu_new(cmd_id, status);
    r->sequence = sequence;
    return smpp_send_pdu(s, *r, SMPP_WRITE_MS);
}

void lost(smpp& s) {
    if (s.lost_logged) return;
    s.lost_logged = true;
    emsg("SMPP %s connection lost: %s", role_of(s), s.c ? tcp_error(s.c.get()).c_str() : "none");
}

int bind(smpp& s, std::uint32_t cmd, std::uint32_t resp_id, std::string_view id,
         std::string_view pass, std::string_view type, int addr_ton, int addr_npi,
         std::string_view addr_range) {
    auto req = pdu_new(cmd, 0);
    pdu_add_string(*req, id, SMPP_SYSTEM_ID_MAX);
    pdu_add_string(*req, pass, SMPP_PASSWORD_MAX);
    pdu_add_string(*req, type, SMPP_SYSTEM_TYPE_MAX);
    pdu_add_int(*req, SMPP_INTERFACE_VERSION, 1);
    pdu_add_int(*req, static_cast<std::uint32_t>(addr_ton), 1);
    pdu_add_int(*req, static_cast<std::uint32_t>(addr_npi), 1);
    pdu_add_string(*req, addr_range.empty() ? std::string_view("*") : addr_range,
                   SMPP_ADDRESS_RANGE_MAX);
    imsg("SMPP %s: %s as (%.*s)", role_of(s), smpp_command_name(cmd), static_cast<int>(id.size()),
         id.data());
    pdu resp;
    if (!smpp_request(s, *req, resp_id, resp, s.response_ms)) {
        emsg("SMPP %s: no answer to %s: %s", role_of(s), smpp_command_name(cmd),
             smpp_error(s.last_error).c_str());
        return 0;
    }
    if (resp.cmd_status != 0 || resp.cmd_id != resp_id) {
        std::uint32_t st = resp.cmd_status != 0 ? resp.cmd_status : ESME_RSYSERR;
        emsg("SMPP %s: %s refused, status 0x%08x (%s)", role_of(s), smpp_command_name(cmd), st,
             smpp_error(st).c_str());
        if (cmd == SMPP_BIND_TRANSMITTER) s.last_error = st;
        return 0;
    }
    std::string sid;
    if (pdu_get_string(resp, sid, SMPP_SYSTEM_ID_MAX)) s.server_id = sid;
    s.bound = true;
    imsg("SMPP %s bound to (%s)", role_of(s), s.server_id.c_str());
    return 1;
}

}  // namespace

// ---- turn-taking ----

smpp_hold::smpp_hold(smpp& s, kind k) : s_(s), lk_(s.io, std::defer_lock) {
    switch (k) {
        case TRY:
            if (s.wanting.load() == 0) (void)lk_.try_lock();
            break;
        case FIRST:
            ++s.wanting;
            lk_.lock();
            --s.wanting;
            break;
        case YIELD:
            lk_.lock();
            s.turn.wait(lk_, [&s] { return s.wanting.load() == 0; });
            break;
    }
}

smpp_hold::~smpp_hold() {
    if (lk_.owns_lock()) {
        lk_.unlock();
        s_.turn.notify_all();
    }
}

// ---- life ----

std::unique_ptr<smpp> smpp_new(std::string_view role) {
    auto s = std::make_unique<smpp>();
    s->c = tcp_new();
    s->role = std::string(role);
    return s;
}

void smpp_free(std::unique_ptr<smpp>& s) {
    if (!s) return;
    pdulist_free(s->plist);
    tcp_free(s->c);
    s.reset();
}

int smpp_connect(smpp& s, const std::string& host, int port) {
    if (host.empty()) {
        emsg("SMPP %s: no smsc host set", role_of(s));
        return 0;
    }
    imsg("SMPP %s: connecting to %s:%d", role_of(s), host.c_str(), port);
    s.in.reset();
    s.lost_logged = false;
    s.bound = false;
    if (!tcp_open_x(s.c, host.c_str(), port, nullptr, SMPP_CONNECT_MS)) {
        emsg("SMPP %s: failed to connect to %s:%d: %s", role_of(s), host.c_str(), port,
             tcp_error(s.c.get()).c_str());
        return 0;
    }
    return 1;
}

bool smpp_open(const smpp& s) {
    return s.c && s.c->sk >= 0;
}

// ---- PDUs on the wire ----

int smpp_send_pdu(smpp& s, pdu& p, int timeout) {
    if (!smpp_open(s)) {
        lost(s);
        return 0;
    }
    if (p.sequence == 0) {
        p.sequence = s.sequence;
        s.sequence = s.sequence >= SMPP_SEQUENCE_MAX ? 1 : s.sequence + 1;
    }
    std::string wire = pdu_encode(p);
    int len = static_cast<int>(wire.size());
    int sent = tcp_write_timed(s.c.get(), wire.data(), len, timeout > 0 ? timeout : SMPP_WRITE_MS);
    if (sent != len) {
        emsg("SMPP %s: failed to write %s (%d of %d octets)", role_of(s),
             smpp_command_name(p.cmd_id), sent, len);
        tcp_close_nice(s.c.get());
        lost(s);
        return 0;
    }
    dmsg("SMPP %s: sent %s seq %u status 0x%08x (%d octets)", role_of(s),
         smpp_command_name(p.cmd_id), p.sequence, p.cmd_status, len);
    return 1;
}

int smpp_recv_pdu(smpp& s, pdu& p, int timeout) {
    long deadline = now_ms() + (timeout > 0 ? timeout : 0);
    char buf[4096];
    for (;;) {
        pdu got;
        switch (s.in.take(got)) {
            case PDU_TAKEN:
                p = std::move(got);
                dmsg("SMPP %s: read %s seq %u status 0x%08x (%u octets)", role_of(s),
                     smpp_command_name(p.cmd_id), p.sequence, p.cmd_status, p.length);
                return 1;
            case PDU_TOO_LONG:
                emsg("SMPP %s: %s(0x%08x) of %u octets is too long; refused and skipped",
                     role_of(s), smpp_command_name(got.cmd_id), got.cmd_id, got.length);
                answer(s, SMPP_GENERIC_NACK, ESME_RINVCMDLEN, got.sequence);
                continue;
            case PDU_BROKEN:
                emsg("SMPP %s: command_length %u is out of range; closing the connection",
                     role_of(s), got.length);
                answer(s, SMPP_GENERIC_NACK, ESME_RINVCMDLEN, got.sequence);
                if (s.c) tcp_close_nice(s.c.get());
                lost(s);
                return 0;
            case PDU_NEED_MORE:
                break;
        }
        if (!smpp_open(s)) {
            lost(s);
            return 0;
        }
        int slice = 1000;
        if (timeout > 0) {
            long left = deadline - now_ms();
            if (left <= 0) return -2;
            slice = static_cast<int>(left);
        }
        int n = tcp_read_timed(s.c.get(), buf, static_cast<int>(sizeof buf), slice);
        if (n > 0) {
            s.in.feed(buf, static_cast<std::size_t>(n));
            continue;
        }
        if (n == -2) continue;  // the deadline is checked above
        lost(s);
        return 0;
    }
}

int smpp_request(smpp& s, pdu& req, std::uint32_t resp_id, pdu& resp, long ms) {
    req.sequence = 0;
    if (!smpp_send_pdu(s, req, SMPP_WRITE_MS)) {
        s.last_error = SMPP_ERR_LINK;
        return 0;
    }
    long deadline = now_ms() + (ms > 0 ? ms : SMPP_RESPONSE_MS);
    for (;;) {
        long left = deadline - now_ms();
        if (left <= 0) {
            s.last_error = SMPP_ERR_TIMEOUT;
            return 0;
        }
        pdu p;
        int r = smpp_recv_pdu(s, p, static_cast<int>(left));
        if (r == -2) {
            s.last_error = SMPP_ERR_TIMEOUT;
            return 0;
        }
        if (r != 1) {
            s.last_error = SMPP_ERR_LINK;
            return 0;
        }
        bool ours = p.sequence == req.sequence;
        if (ours && (p.cmd_id == resp_id || p.cmd_id == SMPP_GENERIC_NACK)) {
            resp = std::move(p);
            return 1;
        }
        if (p.cmd_id == resp_id) {
            emsg("SMPP %s: late %s for seq %u (waiting for %u) dropped", role_of(s),
                 smpp_command_name(p.cmd_id), p.sequence, req.sequence);
            continue;
        }
        if (!pdulist_add(s.plist, p)) {
            emsg("SMPP %s: %zu PDUs pending; %s seq %u dropped", role_of(s), s.plist.size(),
                 smpp_command_name(p.cmd_id), p.sequence);
        }
    }
}

// ---- requests ----

int smpp_transmitter(smpp& s, std::string_view id, std::string_view pass, std::string_view type,
                     int addr_ton, int addr_npi, std::string_view addr_range) {
    return bind(s, SMPP_BIND_TRANSMITTER, SMPP_BIND_TRANSMITTER_RESP, id, pass, type, addr_ton,
                addr_npi, addr_range);
}

int smpp_reciever(smpp& s, std::string_view id, std::string_view pass, std::string_view type,
                  int addr_ton, int addr_npi, std::string_view addr_range) {
    return bind(s, SMPP_BIND_RECEIVER, SMPP_BIND_RECEIVER_RESP, id, pass, type, addr_ton, addr_npi,
                addr_range);
}

int smpp_send_msg(smpp& s, std::string_view from, std::string_view to, std::string_view text) {
    if (!smpp_open(s)) {
        lost(s);
        s.last_error = SMPP_ERR_LINK;
        return 0;
    }
    std::string_view sm = text.substr(0, SMPP_SHORT_MESSAGE_MAX);
    auto req = pdu_new(SMPP_SUBMIT_SM, 0);
    pdu& p = *req;
    pdu_add_string(p, "", SMPP_SERVICE_TYPE_MAX);
    pdu_add_int(p, 0, 1);  // source_addr_ton
    pdu_add_int(p, 0, 1);  // source_addr_npi
    pdu_add_string(p, from, SMPP_ADDR_MAX);
    pdu_add_int(p, 0, 1);  // dest_addr_ton
    pdu_add_int(p, 0, 1);  // dest_addr_npi
    pdu_add_string(p, to, SMPP_ADDR_MAX);
    pdu_add_int(p, 0, 1);       // esm_class
    pdu_add_int(p, 0, 1);       // protocol_id
    pdu_add_int(p, 0, 1);       // priority_flag
    pdu_add_string(p, "", 17);  // schedule_delivery_time
    pdu_add_string(p, "", 17);  // validity_period
    pdu_add_int(p, 0, 1);       // registered_delivery
    pdu_add_int(p, 0, 1);       // replace_if_present_flag
    pdu_add_int(p, 0, 1);       // data_coding
    pdu_add_int(p, 0, 1);       // sm_default_msg_id
    pdu_add_int(p, static_cast<std::uint32_t>(sm.size()), 1);
    pdu_add_octet(p, sm.data(), sm.size());
    imsg("SMPP submit_sm from (%.20s) to (%.20s), %zu octets", std::string(from).c_str(),
         std::string(to).c_str(), sm.size());
    if (text.size() > sm.size())
        imsg("SMPP submit_sm: text of %zu octets cut to %zu", text.size(), sm.size());
    pdu resp;
    if (!smpp_request(s, p, SMPP_SUBMIT_SM_RESP, resp, s.response_ms)) {
        emsg("SMPP submit_sm failed: %s", smpp_error(s.last_error).c_str());
        return 0;
    }
    if (resp.cmd_id == SMPP_GENERIC_NACK || resp.cmd_status != 0) {
        s.last_error = resp.cmd_status != 0 ? resp.cmd_status : ESME_RSYSERR;
        emsg("SMPP submit_sm refused, status 0x%08x (%s)", s.last_error,
             smpp_error(s.last_error).c_str());
        return 0;
    }
    s.message_id.clear();
    std::string mid;
    if (pdu_get_string(resp, mid, SMPP_MESSAGE_ID_MAX)) s.message_id = mid;
    imsg("SMPP submit_sm accepted, message id (%s)", s.message_id.c_str());
    return 1;
}

int smpp_unbind(smpp& s) {
    if (!s.bound || !smpp_open(s)) return 0;
    s.bound = false;
    auto req = pdu_new(SMPP_UNBIND, 0);
    pdu resp;
    long ms = s.response_ms < SMPP_UNBIND_MS ? s.response_ms : SMPP_UNBIND_MS;
    if (!smpp_request(s, *req, SMPP_UNBIND_RESP, resp, ms)) {
        emsg("SMPP %s: unbind not confirmed: %s", role_of(s), smpp_error(s.last_error).c_str());
        return 0;
    }
    if (resp.cmd_id != SMPP_UNBIND_RESP || resp.cmd_status != 0) {
        emsg("SMPP %s: unbind refused, status 0x%08x (%s)", role_of(s), resp.cmd_status,
             smpp_error(resp.cmd_status).c_str());
        return 0;
    }
    imsg("SMPP %s unbound", role_of(s));
    return 1;
}

// ---- what the centre sends unasked ----

int sms_smpp_handler(smpp& s, pdu& p) {
    switch (p.cmd_id) {
        case SMPP_ENQUIRE_LINK:
            if (!answer(s, SMPP_ENQUIRE_LINK_RESP, 0, p.sequence))
                emsg("Failed to send ENQUIRE_LINK_RESP");
            break;
        case SMPP_ALERT_NOTIFICATION:
            break;
        case SMPP_UNBIND:
            imsg("SMPP %s: the smsc ended the session (unbind seq %u)", role_of(s), p.sequence);
            answer(s, SMPP_UNBIND_RESP, 0, p.sequence);
            s.bound = false;
            if (s.c) tcp_close_nice(s.c.get());
            break;
        case SMPP_DELIVER_SM: {
            // Reaching here means nobody will take the message (no receiving side, or
            // the transport is shutting down): a temporary error makes the centre
            // offer it again later, where a generic_nack would read as a refusal.
            imsg("SMPP %s: deliver_sm seq %u not taken; answered with a temporary error",
                 role_of(s), p.sequence);
            auto r = pdu_new(SMPP_DELIVER_SM_RESP, ESME_RX_T_APPN);
            r->sequence = p.sequence;
            pdu_add_string(*r, "", SMPP_MESSAGE_ID_MAX);
            if (!smpp_send_pdu(s, *r, SMPP_WRITE_MS)) emsg("Failed to send DELIVER_SM_RESP");
            break;
        }
        case SMPP_GENERIC_NACK:
            emsg("SMPP %s: generic_nack for seq %u, status 0x%08x (%s)", role_of(s), p.sequence,
                 p.cmd_status, smpp_error(p.cmd_status).c_str());
            break;
        default:
            emsg("Unknown PDU command %d(0x%08x)", static_cast<int>(p.cmd_id), p.cmd_id);
            // A request left unanswered would keep the centre waiting on us.
            if ((p.cmd_id & SMPP_RESP) == 0)
                answer(s, SMPP_GENERIC_NACK, ESME_RINVCMDID, p.sequence);
            break;
    }
    return 1;
}

void smpp_handle_pending(smpp& s) {
    while (auto p = pdulist_pop(s.plist)) sms_smpp_handler(s, *p);
}

const char* smpp_status_text(std::uint32_t status) {
    for (const auto& r : kStatus)
        if (r.status == status) return r.text;
    return nullptr;
}

std::string smpp_error(std::uint32_t status) {
    const char* t = smpp_status_text(status);
    return t ? t : "Failed to identify error.";
}

}  // namespace tolvane
