#pragma once

#include <string>

// The main app's name, from the running helper's bundle name.
std::string containerAppName();
