// A corpus of realistic driver event text for the pump: lines of about 80
// bytes, each starting with a time token "{XXXXXXXX}" (seconds since 1970 in
// hex, a few lines per second), cut into full replies of 1024 bytes as a
// busy driver hands them out (waitFlag 0, nothing lost). A line may be split
// between two replies, as it is by the driver.
#pragma once

#include <cstdint>
#include <vector>

#include "lib/driver/controller_interface.h"

namespace bench {

struct EventCorpus {
    std::vector<CltEventReply> replies;
    uint64_t textBytes = 0; // bytes of event text in all replies
    uint64_t tokens = 0;    // time tokens whole within one reply
};

// Always the same corpus for the same arguments.
EventCorpus BuildEventCorpus(uint32_t replyCount, uint32_t seed = 1);

} // namespace bench
