// The portable signal table and the handler that routes signals to the tool.
#include "lib/cli/osx/os.h"
#include "lib/cli/shared/cli.h"

static_assert(kCliSignalCount == kOsSignalCount);

namespace {

constexpr uint32_t kIndexAbort = 2;
constexpr uint32_t kIndexKill = 4;
// Indexes from here on (hang-up, broken pipe, file size) came after the first five; a
// tool that does not configure them keeps the process's inherited
// disposition, as it had before they were in the table.
constexpr uint32_t kFirstInheritedIndex = 5;

// The indexes for which the runtime ends the process when the tool has not
// configured them.
bool ExitsWhenUnconfigured(uint32_t index) {
    return index == kIndexAbort || index == kIndexKill;
}

} // namespace

void CliSignalInit(uint32_t index, CliSignalFn fn) {
    if (gCli == nullptr || index >= kCliSignalCount) {
        return;
    }
    CliSignalSlot &slot = gCli->signalSlots[index];
    slot.isSet = true;
    slot.keepDefault = false;
    slot.onSignal = fn;
}

void CliSignalDefault(uint32_t index) {
    if (gCli == nullptr || index >= kCliSignalCount) {
        return;
    }
    CliSignalSlot &slot = gCli->signalSlots[index];
    slot.isSet = true;
    slot.keepDefault = true;
    slot.onSignal = nullptr;
}

void CliSignalHook() {
    if (gCli == nullptr) {
        return;
    }
    for (uint32_t index = 0; index < kCliSignalCount; ++index) {
        const CliSignalSlot &slot = gCli->signalSlots[index];
        if (slot.isSet ? slot.keepDefault : index >= kFirstInheritedIndex) {
            continue;
        }
        bool route = slot.isSet ? slot.onSignal != nullptr : ExitsWhenUnconfigured(index);
        OsSignalHook(index, route ? CliSignalHandler : nullptr);
    }
}

void CliSignalHandler(int32_t sig) {
    int32_t index = OsSignalGet(sig);
    // Without the table (the exit sequence has already freed it) there is
    // nothing to route to, and the process is ending anyway.
    if (index < 0 || static_cast<uint32_t>(index) >= kCliSignalCount || gCli == nullptr) {
        return;
    }
    const CliSignalSlot &slot = gCli->signalSlots[index];
    if (slot.isSet) {
        if (slot.onSignal != nullptr) {
            slot.onSignal(static_cast<uint32_t>(index));
        }
        return;
    }
    // The exit sequence proper (the tool's clean-up, free, exit) is not safe
    // here: the signal may have interrupted any of it, or a wait that the
    // clean-up would destroy under it.
    if (ExitsWhenUnconfigured(static_cast<uint32_t>(index))) {
        CliTermExitFromSignal(1);
    }
}
