// Transport dispatch: see sms.h.
//
// The table holds one row per mode. A transport that is not part of the build
// answers sms_init with a state that only knows how to say so, which the caller
// reports through sms_error like any other start-up failure.
#include "sms/sms.h"

#include <chrono>
#include <cstdlib>
#include <ctime>

#include "foundation/lib.h"
#include "foundation/log.h"
#include "foundation/thread.h"
#include "mail/sms_smtp.h"
#include "sms/sms_gsm.h"
#include "sms/sms_robot.h"
#include "sms/sms_smpp.h"
#include "sms/sms_xml.h"

namespace tolvane {

namespace {

constexpr sms_mode_fn_pointers gsm_row = {
    sms_gsm_init,   sms_gsm_free,   sms_gsm_recv,    sms_gsm_send, sms_gsm_wait,
    sms_gsm_error,  sms_gsm_fromip, sms_gsm_from,    sms_gsm_to,   sms_gsm_body,
    sms_gsm_reject, sms_gsm_accept, sms_gsm_msgfree,
};

constexpr sms_mode_fn_pointers smpp_row = {
    sms_smpp_init,   sms_smpp_free,   sms_smpp_recv,    sms_smpp_send, sms_smpp_wait,
    sms_smpp_error,  sms_smpp_fromip, sms_smpp_from,    sms_smpp_to,   sms_smpp_body,
    sms_smpp_reject, sms_smpp_accept, sms_smpp_msgfree,
};

constexpr sms_mode_fn_pointers smtp_row = {
    sms_smtp_init,   sms_smtp_free,   sms_smtp_recv,    sms_smtp_send, sms_smtp_wait,
    sms_smtp_error,  sms_smtp_fromip, sms_smtp_from,    sms_smtp_to,   sms_smtp_body,
    sms_smtp_reject, sms_smtp_accept, sms_smtp_msgfree,
};

constexpr sms_mode_fn_pointers xml_row = {
    sms_xml_init,   sms_xml_free,   sms_xml_recv,    sms_xml_send, sms_xml_wait,
    sms_xml_error,  sms_xml_fromip, sms_xml_from,    sms_xml_to,   sms_xml_body,
    sms_xml_reject, sms_xml_accept, sms_xml_msgfree,
};

constexpr sms_mode_fn_pointers robot_row = {
    sms_robot_init,   sms_robot_free,   sms_robot_recv,    sms_robot_send, sms_robot_wait,
    sms_robot_error,  sms_robot_fromip, sms_robot_from,    sms_robot_to,   sms_robot_body,
    sms_robot_reject, sms_robot_accept, sms_robot_msgfree,
};

// The operation table, by mode.
const sms_mode_fn_pointers _functions[SMS_MODES] = {
    gsm_row,    // SMS_GSM
    smpp_row,   // SMS_SMPP
    xml_row,    // SMS_XML
    smtp_row,   // SMS_SMTP
    robot_row,  // SMS_ROBOT
};

const char* const mode_names[SMS_MODES] = {"GSM modem", "SMPP", "XML", "SMTP", "robot"};

const sms_mode_fn_pointers* row_of(const sms* s) {
    return s ? s->fns : nullptr;
}

// Counts a message thread in and out of its handle, so that sms_free knows when
// the handle is no longer in use.
void busy_add(sms* s, int n) {
    std::lock_guard<std::mutex> g(s->busy_lock);
    s->busy += n;
    s->busy_changed.notify_all();
}

}  // namespace

const sms_mode_fn_pointers* sms_row(int mode) {
    if (mode < 0 || mode >= SMS_MODES) return nullptr;
    return &_functions[mode];
}

const char* sms_mode_name(int mode) {
    if (mode < 0 || mode >= SMS_MODES) return "none";
    return mode_names[mode];
}

bool sms_mode_built(int mode) {
    switch (mode) {
        case SMS_GSM:
            return SMS_GSM_BUILT;
        case SMS_SMPP:
            return SMS_SMPP_BUILT;
        case SMS_XML:
        case SMS_SMTP:
        case SMS_ROBOT:
            return true;
        default:
            return false;
    }
}

std::unique_ptr<sms> sms_init(int mode, const sms_init_record* data, int* errcode) {
    if (mode < 0 || mode >= SMS_MODES) return nullptr;
    return sms_init_row(&_functions[mode], mode, data, errcode);
}

std::unique_ptr<sms> sms_init_row(const sms_mode_fn_pointers* row, int mode,
                                  const sms_init_record* data, int* errcode) {
    if (!row) return nullptr;
    int local = 0;
    int& err = errcode ? *errcode : local;
    auto s = std::make_unique<sms>();
    s->mode = mode;
    s->fns = row;
    err = 0;
    auto state = row->initfn(s.get(), data, err);
    if (!state) return nullptr;
    s->data = std::move(state);
    return s;
}

void sms_free(std::unique_ptr<sms>& s) {
    if (!s) return;
    {
        std::unique_lock<std::mutex> g(s->busy_lock);
        if (!s->busy_changed.wait_for(g, std::chrono::milliseconds(SMS_FREE_WAIT_MS),
                                      [&] { return s->busy == 0; })) {
            emsg("sms_free: %d message threads still running on the %s transport; handle kept",
                 s->busy, sms_mode_name(s->mode));
            (void)s.release();  // still in use by those threads: never freed
            return;
        }
    }
    s->fns->freefn(s->data);
    s.reset();
}

int sms_mode(const sms* s) {
    return s ? s->mode : 0;
}

int sms_send(sms* s, const smtp_message_extra* data, std::string_view from, std::string_view to,
             std::string_view message) {
    auto* row = row_of(s);
    if (!row) return -1;
    return row->sendfn(s->data.get(), data, from, to, message);
}

int sms_wait(sms* s, int timeout_msec, sms_callback cb, void* cb_data) {
    auto* row = row_of(s);
    if (!row || !cb) return -1;
    s->cb_data = cb_data;
    s->cb = cb;
    int err = 0;
    for (;;) {
        std::unique_ptr<sms_message> msg = row->waitfn(s->data.get(), timeout_msec, err);
        if (err != 0) {
            sms_cb_arg arg;
            arg.err = &err;
            int go_on = cb(s, SMS_ERRORCODE, arg, cb_data);
            if (msg) {
                // The error has been reported; the message itself is still real. Hand it on
                // when waiting goes on; when it ends, release it, saying so.
                if (go_on) {
                    sms_wait_incoming(s, std::move(msg));
                } else {
                    emsg("sms_wait: message returned with error %d released unprocessed", err);
                    row->msgfreefn(s->data.get(), msg);
                }
            }
            if (!go_on) return err;
            err = 0;
            continue;
        }
        if (msg) {
            sms_wait_incoming(s, std::move(msg));
            continue;
        }
        if (!cb(s, SMS_WAITING, sms_cb_arg{}, cb_data)) return err;
        lib_msleep(s->idle_pause_ms);
    }
}

int sms_wait_incoming(sms* s, std::unique_ptr<sms_message> msg) {
    auto* row = row_of(s);
    if (!row || !msg) return 0;
    struct sms_wait_data {
        std::unique_ptr<sms_message> msg;
        sms* s;
    };
    auto wd = std::make_shared<sms_wait_data>();
    wd->msg = std::move(msg);
    wd->s = s;
    busy_add(s, 1);
    auto fn = [wd]() {
        sms* h = wd->s;
        std::srand(static_cast<unsigned>(std::time(nullptr) + std::clock()));
        if (h->cb) {
            sms_cb_arg arg;
            arg.msg = &wd->msg;
            h->cb(h, SMS_INCOMING, arg, h->cb_data);
        }
        // Whatever the callback left is released here, never dropped silently.
        if (wd->msg) h->fns->msgfreefn(h->data.get(), wd->msg);
        busy_add(h, -1);
    };
    auto t = th_new(fn);
    if (!t) {
        emsg("sms_wait_incoming: cannot start a message thread; message released");
        if (wd->msg) row->msgfreefn(s->data.get(), wd->msg);
        busy_add(s, -1);
        return 0;
    }
    th_free(t);
    return 1;
}

int sms_busy(sms* s) {
    if (!s) return 0;
    std::lock_guard<std::mutex> g(s->busy_lock);
    return s->busy;
}

int sms_msg_recv(sms* s, sms_message* msg) {
    auto* row = row_of(s);
    if (!row || !msg) return -1;
    return row->recvfn(s->data.get(), msg);
}

int sms_msg_accept(sms* s, sms_message* msg, int code, const char* reason) {
    auto* row = row_of(s);
    if (!row || !msg) return -1;
    return row->acceptfn(s->data.get(), msg, code, reason);
}

int sms_msg_reject(sms* s, sms_message* msg, int code, const char* reason) {
    auto* row = row_of(s);
    if (!row || !msg) return -1;
    return row->rejectfn(s->data.get(), msg, code, reason);
}

const char* sms_msg_fromip(sms* s, sms_message* msg) {
    auto* row = row_of(s);
    return row && msg ? row->fromipfn(s->data.get(), msg) : nullptr;
}

const char* sms_msg_from(sms* s, sms_message* msg) {
    auto* row = row_of(s);
    return row && msg ? row->fromfn(s->data.get(), msg) : nullptr;
}

const char* sms_msg_to(sms* s, sms_message* msg) {
    auto* row = row_of(s);
    return row && msg ? row->tofn(s->data.get(), msg) : nullptr;
}

const char* sms_msg_body(sms* s, sms_message* msg) {
    auto* row = row_of(s);
    return row && msg ? row->bodyfn(s->data.get(), msg) : nullptr;
}

void sms_msg_free(sms* s, std::unique_ptr<sms_message>& msg) {
    auto* row = row_of(s);
    if (!row || !msg) return;
    row->msgfreefn(s->data.get(), msg);
    msg.reset();  // a transport that forgot to null it must not leave it behind
}

const std::string& sms_error(sms* s, int err, std::string& bf) {
    auto* row = row_of(s);
    if (!row || err == -1) {
        bf = "Parameter incorrect or NULL";
        return bf;
    }
    bf.clear();
    if (err == 0) bf = "No Error Reported";
    row->errorfn(s->data.get(), err, bf);
    if (bf.size() > TEXT_MAX) bf.resize(TEXT_MAX);
    return bf;
}

}  // namespace tolvane
