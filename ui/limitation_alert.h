#pragma once

namespace KSystem {

// Tells the user that the system prevents the helper from working, waits for
// the answer, then asks the application to quit. Once per process; later
// calls return at once.
void showSystemLimitationAndQuit();

} // namespace KSystem
