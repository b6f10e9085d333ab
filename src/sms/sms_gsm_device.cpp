// The GSM modem transport's device: a port that goes away and comes back, and the
// reset of a modem that failed too often.
//
// The port is a path, often a link (/dev/serial/by-id/usb-...-if00) to whichever
// /dev/ttyUSBn the device got when it was plugged in: it is followed at every open, so
// a device plugged in again under another name is found again.
//
// The device's life (sms_data_gsm::device):
//   OK -> LOST      the reader thread's read failed (the device unplugged: EIO, ENXIO,
//                   ENODEV, or a hang-up); it ends and wakes the watcher.
//   LOST -> RESTART the watcher (every reopen_ms) joined the old reader, closed the port
//                   and opened the path again; a new reader runs.
//   OK -> RESTART   reset_after_failures wrote the reset command (AT+CFUN=1,1).
//   RESTART -> OK   the watcher (every reopen_ms, not before restart_after) had an OK to
//                   "AT" and ran the whole set-up dialogue again; the modem is listed
//                   again for messages stored while it was away.
// While not OK the transport is down: sends fail at once with GSM_ERR_AWAY (a temporary
// failure: the SMS waits in the queue), and the receiver's waits list nothing.
//
// Threads: only the reader sets LOST, only the watcher moves a device out of LOST, and
// a reset moves only an OK device; each move is a compare-and-swap, so a device lost
// while it is being started again stays lost. Opening, closing and the dialogue run
// under lock_com, with the reader joined before the port is closed.
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

#include "foundation/lib.h"
#include "foundation/log.h"
#include "sms/sms_gsm_impl.h"

namespace tolvane {

namespace {

void set_why(sms_data_gsm* gsm, std::string why) {
    std::lock_guard<std::mutex> l(gsm->device_lock);
    gsm->device_why = std::move(why);
}

// The reader has ended (after a read error) or was never started: joined, so that a new
// one can be started.
void join_reader(sms_data_gsm* gsm) {
    if (gsm->reader.joinable()) gsm->reader.join();
}

// Lines the modem wrote while it restarted ("RDY", "+CPIN: READY", "SMS DONE") go, so
// that they are not read as answers of the dialogue.
void clear_input(sms_data_gsm* gsm) {
    MutexHold hold(gsm->lock_buffer.get());
    gsm->buffer.clear();
}

// "AT" and its OK within GSM_PROBE_MS (an echo of the command passed over).
bool answers(sms_data_gsm* gsm) {
    int err = 0;
    if (!gsm_write(gsm, err, "AT%s", gsm->w_endl.c_str())) return false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(GSM_PROBE_MS);
    for (;;) {
        long left = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          deadline - std::chrono::steady_clock::now())
                                          .count());
        std::string line;
        if (left <= 0 || gsm_read_line(gsm, err, GRL_SKIP_BLANK | GRL_QUIET, left, line) < 0)
            return false;
        if (line == "OK") return true;
        if (gsm_is_final(line)) return false;
    }
}

// The path opened again: RESTART with a new reader, or still LOST.
bool reopen(sms_data_gsm* gsm) {
    join_reader(gsm);
    com_close(gsm->com.get());
    std::string device;
    std::string why;
    if (!gsm_resolve_device(gsm->port, device, why)) {
        dmsg("GSM modem device %s still gone (%s)", gsm->port.c_str(), why.c_str());
        return false;
    }
    if (Status st = com_open(gsm->com.get(), device, gsm->init.baud); !st) {
        why = st.error().reason;
        dmsg("GSM modem device %s still gone (%s)", gsm->port.c_str(), why.c_str());
        return false;
    }
    {
        std::lock_guard<std::mutex> l(gsm->device_lock);
        gsm->device_path = device;
        gsm->device_why = strprintf("starting the modem again on %s", device.c_str());
        gsm->restart_after = std::chrono::steady_clock::now();
    }
    clear_input(gsm);
    // Before the reader starts: a read failing at once sets LOST again after this.
    gsm->device = GSM_DEVICE_RESTART;
    if (device == gsm->port) {
        imsg("GSM modem device %s is back: starting the modem again", gsm->port.c_str());
    } else {
        imsg("GSM modem device %s is back (%s): starting the modem again", gsm->port.c_str(),
             device.c_str());
    }
    gsm_reader_start(gsm);
    return true;
}

// A modem that answers is set up again: OK, or still RESTART.
bool restart(sms_data_gsm* gsm) {
    {
        std::lock_guard<std::mutex> l(gsm->device_lock);
        if (std::chrono::steady_clock::now() < gsm->restart_after) return false;
    }
    gsm_drop_stale(gsm);
    if (!answers(gsm)) {
        dmsg("GSM modem on %s does not answer yet", gsm->port.c_str());
        return false;
    }
    clear_input(gsm);
    int err = 0;
    if (!gsm_dialogue(gsm, gsm->init, err)) {
        std::string what =
            gsm->last_reply.empty()
                ? strprintf("no answer to %s", gsm->last_command.c_str())
                : strprintf("%s answered (%s)", gsm->last_command.c_str(), gsm->last_reply.c_str());
        if (gsm->restart_failures++ == 0) {
            emsg("GSM modem on %s did not start again [%d]: %s; trying again", gsm->port.c_str(),
                 err, what.c_str());
        } else {
            dmsg("GSM modem on %s did not start again [%d]: %s", gsm->port.c_str(), err,
                 what.c_str());
        }
        set_why(gsm, strprintf("the modem did not start again: %s", what.c_str()));
        return false;
    }
    int expected = GSM_DEVICE_RESTART;
    if (!gsm->device.compare_exchange_strong(expected, GSM_DEVICE_OK)) return false;
    gsm->restart_failures = 0;
    set_why(gsm, std::string());
    imsg("GSM modem on %s started again", gsm->port.c_str());
    // Messages that came while the modem was away are stored in it: listed again, and
    // the receiver's wait is ended so that it does so now.
    {
        std::lock_guard<std::mutex> l(gsm->settle_lock);
        gsm->relist_pending = true;
        gsm->relist_at = std::chrono::steady_clock::now();
    }
    gsm->interrupt();
    return true;
}

}  // namespace

bool gsm_resolve_device(const std::string& path, std::string& device, std::string& why) {
    char real[PATH_MAX];
    if (::realpath(path.c_str(), real) != nullptr) {
        device = real;
        return true;
    }
    int e = errno;
    why = system_error(e);
    char link[PATH_MAX];
    ssize_t n = ::readlink(path.c_str(), link, sizeof link - 1);
    if (n > 0) why += strprintf(" (a link to %.*s)", static_cast<int>(n), link);
    return false;
}

void gsm_device_lost(sms_data_gsm* gsm, int e) {
    if (gsm->stopping) return;
    std::string path;
    {
        std::lock_guard<std::mutex> l(gsm->device_lock);
        path = gsm->device_path;
        gsm->device_why = strprintf("device gone: %s", gsm->port.c_str());
    }
    int was = gsm->device.exchange(GSM_DEVICE_LOST);
    if (was != GSM_DEVICE_LOST) {
        emsg("GSM modem device gone: %s (%s, %s); looking for it every %ld ms", gsm->port.c_str(),
             path.c_str(), system_error(e).c_str(), gsm->reopen_ms);
    }
    gsm_watch_poke(gsm);
}

void gsm_watch_poke(sms_data_gsm* gsm) {
    {
        std::lock_guard<std::mutex> l(gsm->watch_lock);
        gsm->watch_poke = true;
    }
    gsm->watch_wake.notify_all();
}

bool gsm_recover(sms_data_gsm* gsm) {
    MutexHold hold(gsm->lock_com.get(), gsm->reply_ms);
    if (!hold || gsm->stopping) return false;
    if (gsm->device == GSM_DEVICE_LOST && !reopen(gsm)) return false;
    if (gsm->device != GSM_DEVICE_RESTART) return false;
    return restart(gsm);
}

void sms_data_gsm::reset_after_failures() {
    sms_data_gsm* gsm = this;
    if (gsm->stopping || gsm->cutting) return;
    {
        MutexHold hold(gsm->lock_com.get(), gsm->reset_wait_ms);
        if (!hold) {
            emsg("GSM modem on %s: no reset, the modem stayed busy", gsm->port.c_str());
            return;
        }
        int expected = GSM_DEVICE_OK;
        if (!gsm->device.compare_exchange_strong(expected, GSM_DEVICE_RESTART)) {
            imsg("GSM modem on %s: no reset, it is being started again already", gsm->port.c_str());
            return;
        }
        const std::string& cmd = gsm->reset_command;
        {
            std::lock_guard<std::mutex> l(gsm->device_lock);
            gsm->device_why = cmd.empty() ? std::string("starting the modem again")
                                          : strprintf("resetting the modem (%s)", cmd.c_str());
            gsm->restart_after = std::chrono::steady_clock::now() +
                                 std::chrono::milliseconds(cmd.empty() ? 0 : gsm->reset_settle_ms);
        }
        emsg("GSM modem on %s failed too often: %s", gsm->port.c_str(),
             cmd.empty() ? "starting it again" : ("resetting it with " + cmd).c_str());
        if (!cmd.empty()) {
            gsm_drop_stale(gsm);
            int err = 0;
            std::string line;
            // Its answer, when it gives one before it restarts (not all do).
            if (gsm_write(gsm, err, "%s%s", cmd.c_str(), gsm->w_endl.c_str()) &&
                gsm_read_line(gsm, err, GRL_SKIP_BLANK | GRL_QUIET, gsm->reset_settle_ms, line) >=
                    0)
                imsg("The modem answered the reset with (%s)", gsm_printable(line).c_str());
        }
    }
    gsm_note_state(gsm);
    gsm_watch_poke(gsm);
    // The watcher sets the modem up again; this waits for that, or gives up waiting.
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(gsm->reset_wait_ms);
    {
        std::unique_lock<std::mutex> l(gsm->arrived_lock);
        gsm->arrived.wait_until(l, deadline, [gsm] {
            return gsm->device == GSM_DEVICE_OK || gsm->stopping || gsm->cutting;
        });
    }
    // Told now rather than at the watcher's next look.
    gsm_note_state(gsm);
    if (gsm->device == GSM_DEVICE_OK) {
        imsg("GSM modem on %s is ready again after the reset", gsm->port.c_str());
    } else if (!gsm->stopping && !gsm->cutting) {
        emsg("GSM modem on %s is not ready %ld ms after the reset; still trying", gsm->port.c_str(),
             gsm->reset_wait_ms);
    }
}

}  // namespace tolvane
