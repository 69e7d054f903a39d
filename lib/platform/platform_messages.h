// Where the platform stand-in says what goes wrong with the drivers it
// watches and connects to: the driver directory that cannot be made,
// watched or trusted, or that has gone; a socket or a serving process that
// is not trusted; an impossible reply. Each problem is said once per streak,
// and the end of a streak (the watch stands again over a trusted directory,
// a driver answers properly again) once.
#pragma once

namespace trelvox::platform {

// Receives one message: problem is true for a problem and false for the end
// of one; text is one line without its newline, valid during the call. It
// may be called on any thread that runs a run loop or calls a driver, never
// from a signal handler.
using PlatformMessageSink = void (*)(bool problem, const char *text);

// Sends the messages to sink from now on; null restores the default, which
// prints "trelvox driver bus: <text>" on standard error.
void SetPlatformMessageSink(PlatformMessageSink sink);

// Told the name (IORegistryEntryGetName's) of every instance that is
// unpublished, after the registry let it go, on the thread that
// unpublished it; as the platform's terminated notification tells a
// client. Null: nobody is told.
using UnpublishedSink = void (*)(const char *name);
void SetUnpublishedSink(UnpublishedSink sink);

} // namespace trelvox::platform
