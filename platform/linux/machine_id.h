#pragma once

#include <string>

namespace Linux {

// Reads a machine-id file (32 hex digits) and formats it as an upper-case
// UUID; empty when the file is missing or does not hold a machine id.
std::string uuidFromMachineIdFile(const std::string &path);

// The machine's id as a UUID: systemd's file, else D-Bus's; empty when
// neither holds one.
std::string machineUUID();

} // namespace Linux
