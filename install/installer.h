#pragma once

#include <memory>
#include <string>

namespace KUI {
class MessageBox;
}

// Installing the helper into the main app's container, from the running
// helper's bundle (found through the App's host) and HOME.

// The main app's name, from the running helper's bundle name.
std::string containerAppName();

// Where the helper belongs: "~/Library/Containers/<main app id>/Data/Library/
// Application Support/<bundle file name>", expanded; empty when HOME is unset
// or relative, or the helper does not run from a bundle.
std::string completeInstallPath();

// Runs the check: moves the running bundle there unless it already runs
// from there. A KInstall::InstallResult; Unknown when completeInstallPath()
// is empty. Main thread only.
int ensureHelperInstalled();

// Makes the running copy the handler of the helper's links, before anything
// connects to the desktop: KWin offers its fake input only to a program a
// desktop entry names. The installation names the installed copy later.
// Main thread only, once the App exists.
void registerRunningHelper();

// Runs the check and tells the user its outcome. True when the helper is in
// place and nothing was shown. Otherwise the box is replaced by one showing
// the outcome, and false is returned; the answer starts the main app after
// a fresh installation and then quits the helper. Main thread only, once
// the App exists.
bool install(std::shared_ptr<KUI::MessageBox> &messageBox);
