#include "platform/linux/machine_id.h"

#include <cctype>
#include <fstream>

namespace Linux {

std::string uuidFromMachineIdFile(const std::string &path)
{
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line))
        return {};
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back())))
        line.pop_back();
    if (line.size() != 32)
        return {};
    std::string uuid;
    uuid.reserve(36);
    for (std::size_t i = 0; i < line.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(line[i]);
        if (!std::isxdigit(c))
            return {};
        if (i == 8 || i == 12 || i == 16 || i == 20)
            uuid.push_back('-');
        uuid.push_back(static_cast<char>(std::toupper(c)));
    }
    return uuid;
}

std::string machineUUID()
{
    std::string uuid = uuidFromMachineIdFile("/etc/machine-id");
    if (uuid.empty())
        uuid = uuidFromMachineIdFile("/var/lib/dbus/machine-id");
    return uuid;
}

} // namespace Linux
