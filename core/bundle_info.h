#pragma once

#include "core/info_plist.h"

#include <string>

namespace KCore {

// The ".app" folder that holds an executable at Contents/MacOS/<name>;
// empty when the executable does not sit in a bundle.
std::string bundlePathForExecutable(const std::string &executable);

// The running program's bundle, from the App's host; empty without an App.
std::string mainBundlePath();
// One string value of the running bundle's Info.plist; empty when absent.
std::string mainBundleInfoValue(const std::string &key);

// The program a bundle starts: Contents/MacOS/ joined with the Info.plist's
// CFBundleExecutable; empty when the value is missing or is not a plain file
// name (a "/" or ".." would lead out of the bundle).
std::string bundleExecutablePath(const std::string &bundlePath);

} // namespace KCore
