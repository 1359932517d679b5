#pragma once

#include "core/timer.h"
#include "platform/clock.h"
#include "platform/host.h"
#include "platform/pointer.h"

#include <memory>
#include <string>

namespace KCore {
class App;
}
namespace KNetwork {
class IPSClient;
}
namespace Helper {
class Service;
}
namespace KSystem {
class AccessibilityManager;
}
namespace KUI {
class MessageBox;
}

// Connects the helper's subsystems through callbacks on the main thread.
// Its slots live as long as main; every callback reaches them through this
// object, so replacing a slot replaces what every callback sees.
class Wiring {
public:
    // The host and the pointer outlive the wiring.
    Wiring(const std::string &appIdPrefix, Platform::Host &host, Platform::Pointer &pointer);
    Wiring(const Wiring &) = delete;
    Wiring &operator=(const Wiring &) = delete;

    // Registers the launch and teardown callbacks; call before the loop runs.
    void setUp(KCore::App &app);

private:
    void launched();
    void permissionGranted();
    void permissionMissing();
    void connectStep();
    void connected();
    void linkLost();
    void tearDown();

    const std::string appIdPrefix;
    Platform::SystemClock clock;
    Platform::Host &host;
    Platform::Pointer &pointer;
    std::shared_ptr<KUI::MessageBox> messageBox;
    std::shared_ptr<KSystem::AccessibilityManager> accessibility;
    std::shared_ptr<KNetwork::IPSClient> client;
    std::shared_ptr<Helper::Service> service;
    KCore::Timer quitTimer;
};
