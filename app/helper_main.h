#pragma once

// The helper's whole run: checks the display, builds the application, and
// either shows the unsupported-system notice or wires the subsystems, then
// runs the loop. The caller installs the platform's answers first and
// hands over the pointer of the display.
namespace Platform {
class Pointer;
}

int helperMain(int argc, char **argv, Platform::Pointer &pointer);
