#pragma once

// The helper's whole run: checks the display, builds the application, and
// either shows the unsupported-system notice or wires the subsystems, then
// runs the loop, on the host and pointer the caller hands over.
namespace Platform {
class Host;
class Pointer;
}

int helperMain(int argc, char **argv, Platform::Host &host, Platform::Pointer &pointer);
