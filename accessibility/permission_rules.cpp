#include "accessibility/permission_rules.h"

namespace KSystem {

bool probeFailureIsLimitation(std::int64_t major, std::int64_t minor)
{
    return !(major > 10 || (major == 10 && minor >= 10));
}

PermissionStep nextPermissionStep(PermissionState state, bool missing, bool limited, bool windowOpen)
{
    PermissionStep step;
    step.state = state;
    if (!missing) {
        if (state != PermissionState::Granted) {
            step.state = PermissionState::Granted;
            step.pollInterval = kGrantedPollInterval;
            step.postGranted = true;
        }
        return step;
    }
    // The limitation message has been shown and the quit requested; an open
    // window already says all there is to say.
    if (limited || windowOpen)
        return step;
    step.openWindow = true;
    if (state != PermissionState::Missing) {
        step.state = PermissionState::Missing;
        step.pollInterval = kMissingPollInterval;
        step.callDenied = true;
    }
    return step;
}

} // namespace KSystem
