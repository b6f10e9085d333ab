// The serial port under the GSM modem driver: one device opened raw at a given
// speed, non-blocking reads, plain writes, and an optional byte trace file.
//
// A comport owns its descriptor and its trace file; both are closed by com_close
// / com_free or when the record is destroyed. The record takes no locks: the modem
// driver reads from its reader thread only and writes only under its dialogue lock,
// so at most one reader and one writer use it at once (the trace file is written
// one whole line per call, which stdio keeps whole between threads).
//
// Speeds are given in bits per second (9600, 115200, ...) and turned into the
// platform's speed constant by com_speed; a value that already is a speed constant
// is taken as it is.
//
//   auto com = com_new();
//   if (Status st = com_open(com.get(), "/dev/ttyUSB0", 9600); !st) { ... }
//   com_write(com.get(), "AT\r", 3);
//   char bf[1000];  long n = com_read(com.get(), bf, sizeof bf);   // 0: nothing waiting
#pragma once

#include <termios.h>

#include <cstdio>
#include <memory>
#include <string>

#include "foundation/result.h"
#include "foundation/tracefile.h"

namespace tolvane {

struct comport {
    termios cinf{};                 // the settings read from and written back to the device
    int f = -1;                     // descriptor; -1 when closed
    std::shared_ptr<TraceFile> fp;  // byte trace, or null

    comport() = default;
    comport(const comport&) = delete;
    comport& operator=(const comport&) = delete;
    ~comport();
};

std::unique_ptr<comport> com_new();
// Opens port read-write and non-blocking, 8N1, receiver on, modem lines and flow
// control off, raw (no echo, editing or translation). Fails when the device cannot be
// opened or set up (then it is closed again) with the system's reason, prefixed by the
// step that failed after the open ("cannot set its speed and mode, ..."); nothing is
// logged, since a caller that tries again and again logs in its own way.
Status com_open(comport* com, const std::string& port, int baud);
int com_close(comport* com);  // always 1
void com_free(std::unique_ptr<comport>& com);
// One read of at most bfsz bytes: the count, 0 when nothing is waiting or the port is
// closed, -1 on any other error (errno tells), also when the line was hung up.
long com_read(comport* com, char* bf, std::size_t bfsz);
// One write: the count written (partial writes are not retried), -1 when closed or
// on error.
long com_write(comport* com, const char* bf, std::size_t bytes);
// (Re)opens the byte trace for appending; logs why when it cannot.
void com_dump(comport* com, const std::string& file);
// A formatted debug trace needs a debug build: logs that and does nothing.
void com_debug(comport* com, const std::string& file, int crlf);

// The speed constant for a rate in bits per second, rounding up to the next standard
// speed (110 ... 57600, above that 115200). A speed constant is returned unchanged.
speed_t com_speed(int baud);
// The rate in bits per second for a speed given as a rate or a constant (9600 for
// anything unknown).
int com_rate(int baud);

// The local time as month, day and time of day ("Dec  6 23:05:23"), as the traces use.
std::string com_stamp();

}  // namespace tolvane
