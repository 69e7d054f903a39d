// The log's writer: a thread of its own that alone touches the log's file
// system (open, write, rotate, the path check, sync), so that a disk that
// stalls or crawls (a log directory on the SAN this adapter serves) never
// holds up the drivers, the watchdog, the status line or a stop.
//
// The service's text reaches it, in order, through a bounded queue in
// memory; the writer writes what waits in as few writes as it can (a
// batch is gathered for a few milliseconds when text keeps coming) and
// makes it durable about once a second. Text goes where it went before
// the writer: into the log file, or to standard output when the log file
// does not take it. In service mode text that does not fit in the queue
// goes to standard output at once; in application mode, where standard
// output is the writer's only way out, the caller waits for room, as it
// waited for standard output before. A stop gives the writer half a
// second to finish; a writer still caught in the kernel then is left
// behind, and what waits for it goes to standard output.
#pragma once

#include <cstdint>

struct CltGlobals;

// What the writer is told besides text, in the order of the text.
enum class CltWriterCommand : uint8_t {
    kOpen,  // a callback starts: the log file belongs open
    kClose, // it ended: the log file is closed until the next one
};

// The queue's bound unless TRELVOX_LOG_QUEUE_KIB says otherwise (KiB, from
// 64 to 4 GiB).
inline constexpr uint64_t kCltQueueDefaultBytes = 32ull << 20;
// A disk step that has not returned for this long is a stall: said once.
inline constexpr uint64_t kCltStallReportMs = 5000;

// Starts the writer thread (with every asynchronous signal blocked in it);
// false when it cannot be had: the callers then write directly, as
// without a writer.
bool WriterStart(CltGlobals *clt);
// Hands the bytes to the writer, behind everything handed before. After
// the writer's stop they are written directly (to standard output when a
// writer was left behind).
void WriterPut(CltGlobals *clt, const char *text, uint32_t length);
void WriterCommand(CltGlobals *clt, CltWriterCommand command);
// A hang-up is pending: the writer serves it now, not at its next wake.
void WriterWake(CltGlobals *clt);
// Says a stall once it has lasted kCltStallReportMs; cheap when nothing is
// due. Called from the loops that do the work.
void WriterWatch(CltGlobals *clt);
// True while a stall is said: how long it lasts and what waits for it.
bool WriterStalled(CltGlobals *clt, uint64_t *forMs, uint64_t *waiting);
// What waits for the log file: queued and being written.
uint64_t WriterWaitingBytes(CltGlobals *clt);
// Ends the writer: it writes what waits until half a second has passed;
// then what it has not written goes to standard output, and the system log
// says how much. Returns whether the writer was left behind in the kernel
// (the process must then end without tearing down what it still uses).
// Idempotent.
bool WriterStop(CltGlobals *clt);
// Frees a writer that has stopped (WriterStop returned false); the record
// is then without one.
void WriterFree(CltGlobals *clt);
