// The control socket of the test file system: a Unix stream socket that
// takes one command a connection and answers one line, "ok ..." once the
// command is in force, or "error ...".
//
//   stall            every operation waits from now on
//   stall-at rename  the next rename (or write, fsync, open) starts a stall
//   release          what waits goes on; no more stalls
//   slow MS          each write takes MS milliseconds more (0: none)
//   fail ERRNO       every operation fails with ERRNO (0: none)
//   power-cut        from now on unsynced data and names are kept apart
//   cut              the power goes (see power_cut.h); then all fails
//   stats            "ok writes=N fsyncs=N fsyncdirs=N renames=N blocked=N"
#pragma once

#include <string>

#include "faults.h"
#include "power_cut.h"

namespace faultfs {

// Listens at `path` on a thread of its own; false if it cannot.
bool StartControl(const std::string &path, Faults *faults, PowerCut *powerCut);

} // namespace faultfs
