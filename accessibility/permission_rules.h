#pragma once

#include <cstdint>

// The input permission's states and transitions, without the platform.
// Standard library only.
namespace KSystem {

enum class PermissionState : std::int32_t {
    Unknown = 0,
    Granted = 1,
    Missing = -1,
};

// Trusted but the probe failed: before 10.10 that makes the permission
// unusable (and the helper stops); from 10.10 on it does not count.
bool probeFailureIsLimitation(std::int64_t major, std::int64_t minor);

constexpr double kMissingPollInterval = 1.0;
constexpr double kGrantedPollInterval = 5.0;

// What one permission check sets in motion.
struct PermissionStep {
    PermissionState state = PermissionState::Unknown;
    // Create and show the guidance window.
    bool openWindow = false;
    // The new poll interval; zero keeps the current one.
    double pollInterval = 0.0;
    // Post the granted notification (it runs after the check returns).
    bool postGranted = false;
    // Raise the denied notification within the check.
    bool callDenied = false;
};

// missing: the permission is not usable; limited: it is not usable because
// the system is too old for a failing probe, and the helper is quitting.
PermissionStep nextPermissionStep(PermissionState state, bool missing, bool limited, bool windowOpen);

} // namespace KSystem
