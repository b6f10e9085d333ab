// The transports' settings, read once at start-up from the settings table into the
// record each transport starts from (transport_options), and the mail side's record.
// Values were checked against their keys' kinds when the file was read; a key left
// unset or empty takes its documented default here.
#include <initializer_list>
#include <memory>
#include <utility>

#include "foundation/lib.h"
#include "gateway/gateway.h"
#include "gateway/smpp_receipts.h"
#include "net/myssl.h"
#include "sms/sms_robot.h"
#include "sms/sms_text.h"
#include "smtp/engine.h"

namespace tolvane {

namespace {

// The value a choice key's word names; otherwise for an unset key. The file's words were
// checked against the key's choices when it was read.
template <typename T>
T pick(SIni* ini, int id, std::initializer_list<std::pair<const char*, T>> words, T otherwise,
       const char* sec = nullptr) {
    std::string word = sini_word(ini, id, sec);
    for (const auto& [w, v] : words)
        if (iequals(word, w)) return v;
    return otherwise;
}

// The relay sender's part of a record, the same for the mail side and the SMTP transport.
void relay_settings(SIni* ini, smtp_init& r, const char* sec = nullptr) {
    r.sendhost = sini_text(ini, SMTP_OUTSERVER, sec);
    r.sendport = sini_number(ini, SMTP_OUTPORT, 0, sec);
    r.workpath = sini_text(ini, WORKPATH, sec);
    r.outuser = sini_text(ini, SMTP_OUTUSER, sec);
    r.outpass = sini_text(ini, SMTP_OUTPASS, sec);
    r.relay_keep = true;
    r.out_tls = pick<int>(ini, SMTP_OUT_TLS,
                          {{"require", SMTP_OUT_TLS_REQUIRE}, {"none", SMTP_OUT_TLS_NONE}},
                          SMTP_OUT_TLS_MAY, sec);
    r.out_tls_verify = sini_truth(ini, SMTP_OUT_TLS_VERIFY, sec);
}

}  // namespace

smtp_init smtp_side_init(SIni* ini) {
    auto rec = std::make_unique<smtp_init>();
    relay_settings(ini, *rec);
    rec->greeting = sini_text(ini, SMTP_GREETING);
    std::string log = sini_text(ini, SMTP_DEBUG_FILE);
    rec->smtplog = log == "disabled" ? std::string() : log;
    rec->listenport = sini_number(ini, SMTP_INPORT);
    rec->max_sessions = sini_number(ini, SMTP_MAX_SESSIONS);
    rec->max_recipients = sini_number(ini, SMTP_MAX_RECIPIENTS);
    rec->spool_over = sini_number(ini, SMTP_SPOOL_OVER);
    rec->max_size = sini_number(ini, SMTP_MAX_SIZE);
    rec->listen = s_split_words(sini_text(ini, SMTP_LISTEN), ", \t");
    rec->auth = pick<int>(ini, SMTP_AUTH,
                          {{"required", SMTP_AUTH_REQUIRED}, {"optional", SMTP_AUTH_OPTIONAL}},
                          SMTP_AUTH_OFF);
    rec->users_file = sini_text(ini, SMTP_USERS);
    rec->auth_plaintext = sini_truth(ini, SMTP_AUTH_PLAINTEXT);
    rec->tls =
        pick<int>(ini, SMTP_TLS, {{"starttls", SMTP_TLS_STARTTLS}, {"wrapper", SMTP_TLS_WRAPPER}},
                  SMTP_TLS_NONE);
    rec->tls_port = sini_number(ini, SMTP_TLS_PORT);
    // Names relative to ssl_dir, as the web channel's own key and certificate are.
    std::string ssl_dir = sini_text(ini, SSL_DIR);
    rec->tls_key = myssl_path(ssl_dir, sini_text(ini, SMTP_TLS_KEY));
    rec->tls_cert = myssl_path(ssl_dir, sini_text(ini, SMTP_TLS_CERT));
    return std::move(*rec);
}

namespace {

// The settings of a GSM modem transport (sec: its section, or null for the global part).
gsm_init gsm_settings(SIni* ini, bool debug, const char* sec) {
    auto r = std::make_unique<gsm_init>();
    r->port = sini_text(ini, GSM_COM, sec);
    r->baud = gsm_baud(sini_number(ini, GSM_BAUD, 0, sec));
    r->localphone = sini_text(ini, GSM_NUMBER, sec);
    r->sca = sini_text(ini, SCA_NUMBER, sec);
    std::string dbg = sini_text(ini, COM_DEBUG_FILE, sec);
    r->debug_file = dbg == "disabled" ? std::string() : dbg;
    r->pin = sini_text(ini, GSM_PIN, sec);
    r->pin2 = sini_text(ini, GSM_PIN2, sec);
    r->puk = sini_text(ini, GSM_PUK, sec);
    r->puk2 = sini_text(ini, GSM_PUK2, sec);
    if (!sini_truth(ini, GSM_NOINIT, sec)) r->init_string = sini_text(ini, GSM_INIT, sec);
    r->crlf = sini_truth(ini, GSM_CRLF, sec) ? 1 : 0;
    r->min_signal = sini_number(ini, GSM_MIN_SIGNAL, 0, sec);
    r->signal_timeout = sini_number(ini, GSM_SIGNAL_TIMEOUT, 0, sec);
    r->poll_ms = 1000L * sini_number(ini, GSM_POLL, 0, sec);
    // "none": a modem that failed too often is only set up again.
    r->reset = sini_text(ini, GSM_RESET, sec);
    if (iequals(strtrm(r->reset), "none")) r->reset.clear();
    r->dodebug = debug ? 1 : 0;
    r->coding = sms_coding_parse(sini_word(ini, SMS_CODING, sec)).value_or(sms_coding::automatic);
    r->max_parts = sini_number(ini, SMS_MAX_PARTS, 0, sec);
    int m = MODE_ZERO;
    if (sini_truth(ini, CPIN_OK, sec)) m |= MODE_CPIN_OK;
    if (sini_truth(ini, CBST_ONE, sec)) m |= MODE_CBST_ONE;
    if (sini_truth(ini, CNMI_FLUSH, sec)) m |= MODE_CNMI_FLUSH;
    if (sini_word(ini, SMS_MODE, sec) == "pdu") m |= MODE_PDU;
    if (sini_truth(ini, SMS_EXTENDED, sec)) m |= MODE_EXTENDED;
    std::string dcs = sini_text(ini, SMS_DCS, sec);
    if (dcs == "8bit") {
        m |= MODE_8BIT;
    } else if (dcs == "16bit") {
        m |= MODE_16BIT;
    } else if (dcs != "7bit") {
        m |= MODE_8BIT;
        r->dcs = dcs;
    }
    r->mode = m;
    return std::move(*r);
}

}  // namespace

std::optional<transport_options> delivery_init(SIni* ini, int mode, bool debug,
                                               const char* section) {
    const char* sec = section;
    switch (mode) {
        case SMS_GSM:
            return gsm_settings(ini, debug, sec);
        case SMS_SMPP: {
            auto r = std::make_unique<smpp_init>();
            r->host = sini_text(ini, SMPP_HOST, sec);
            r->port = sini_number(ini, SMPP_PORT, 0, sec);
            r->id = sini_text(ini, SMPP_USER, sec);
            r->pass = sini_text(ini, SMPP_PASS, sec);
            r->type = "Tolvaneway";
            r->addr_range = sini_text(ini, SMPP_ADDR_RANGE, sec);
            smpp_configure(*r, [ini, sec](int id) { return sini_word(ini, id, sec); });
            // The alphabet and the longest text hold for the SMS centre as for the modem.
            r->coding = sms_coding_name(
                sms_coding_parse(sini_word(ini, SMS_CODING, sec)).value_or(sms_coding::automatic));
            r->max_parts = sini_number(ini, SMS_MAX_PARTS, 0, sec);
            return std::move(*r);
        }
        case SMS_SMTP: {
            auto r = std::make_unique<smtp_init>();
            relay_settings(ini, *r, sec);
            r->todom = sini_text(ini, SMTP_SMS_TODOMAIN, sec);
            r->fromdom = sini_text(ini, SMTP_DOMAIN, sec);
            return std::move(*r);
        }
        case SMS_ROBOT: {
            auto r = std::make_unique<robot_init>();
            r->cmdline = sini_text(ini, ROBOT_CMD, sec);
            r->coding =
                sms_coding_parse(sini_word(ini, SMS_CODING, sec)).value_or(sms_coding::automatic);
            r->max_parts = sini_number(ini, SMS_MAX_PARTS, 0, sec);
            return std::move(*r);
        }
        case SMS_XML:
            return xml_init{};
        default:
            return std::nullopt;
    }
}

std::optional<std::string> report_originator(const SIni* ini, const transport_options& opts) {
    const auto* modem = std::get_if<gsm_init>(&opts);
    if (modem == nullptr || sini_getx(ini, GSM_NUMBER, nullptr, nullptr, 0) == nullptr)
        return std::nullopt;
    return modem->localphone;
}

}  // namespace tolvane
