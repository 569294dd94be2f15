// nimboctl: its exit status, the same for one terminal and for a campaign.
#pragma once

namespace nimboctl {

enum Exit : int {
    kOk = 0,
    kFailed = 1,        // the device answered status "3" (or said nothing was done)
    kUsage = 2,
    kTimeout = 3,       // no answer in time
    kConnection = 4,
    kInterrupted = 130,
};

}  // namespace nimboctl
