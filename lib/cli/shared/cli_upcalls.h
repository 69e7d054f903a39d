// The calls that go up. Calls between the layers go one way (service ->
// runtime -> base, runtime -> platform -> bus; docs/ARCHITECTURE.md); the
// few that the product's design sends the other way are named here, and
// nowhere else.
//
// The tool hooks: the runtime calls back into the tool that links it. Every
// program that links the runtime defines all of them (the service in
// svc/clt.cpp; test and fuzz programs their own stand-ins). Internal: only
// the runtime's sources that call them and the tools that define them
// include this header.
//
// Inside the runtime the OS layer's transport (lib/cli/osx/os_ioctl_*.cpp)
// calls up into the portable part for two things, declared in cli.h: the
// I/O-control payload size (CliIoctlPayloadSize, CliIoctlIsSupported, the
// default record gCliIoctlBuffer) and the error report of a broken request
// (CliPrintErrorFunc). Both sides are one library, so the linker does not
// see those; they are listed here so that the list is whole.
#pragma once

#include <cstdint>
#include <cstdio>

// The tool's clean-up, run first by every exit sequence of the runtime
// (CliExit and the error exits; never in signal context).
void CltExit();
// The help texts: the options block (also before a command-line error), the
// description line and the examples.
void CltPrintOptions(FILE *stream);
void CltPrintDescription();
void CltPrintExamples();
// Extra payload bytes the tool's requests of an I/O-control class need.
uint32_t CltIoctlPayloadSize(int32_t ioctlClass);
// Supported I/O-control classes, ended by kCliIoctlClassEnd (10).
extern const int32_t gCltIoctlSupp[];
// Size in bytes of the tool's record that CliInit allocates for gClt.
uint32_t CltGlobalsSize();
