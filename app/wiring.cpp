#include "app/wiring.h"

#include "accessibility/accessibility_manager.h"
#include "core/app.h"
#include "install/installer.h"
#include "network/ips_client.h"
#include "network/link_config.h"
#include "platform/linux/launcher.h"
#include "service/service.h"
#include "ui/message_box.h"

#include <chrono>

Wiring::Wiring(const std::string &prefix, Platform::Host &host, Platform::Pointer &pointer)
    : appIdPrefix(prefix), host(host), pointer(pointer)
{
}

void Wiring::setUp(KCore::App &app)
{
    app.setOnLaunched([this] { launched(); });
    app.setOnWillTerminate([this] { tearDown(); });
}

void Wiring::launched()
{
    registerRunningHelper();
    accessibility = std::make_shared<KSystem::AccessibilityManager>(pointer);
    accessibility->setGrantedCallback([this] { permissionGranted(); });
    accessibility->setDeniedCallback([this] { permissionMissing(); });
    accessibility->start();
}

// Each grant connects anew, on a later loop turn.
void Wiring::permissionGranted()
{
    KCore::App::postToMainThread([this] { connectStep(); });
}

// Without the permission the link is of no use; the helper waits for it.
void Wiring::permissionMissing()
{
    service.reset();
    client.reset();
}

void Wiring::connectStep()
{
    // Not in place yet: the installation flow shows its message and quits.
    if (!install(messageBox))
        return;
    client = std::make_shared<KNetwork::IPSClient>(clock, host.userId());
    client->setSecret(KNetwork::linkSecret(appIdPrefix, host.platformUUID()));
    client->setOnConnected([this] { connected(); });
    client->setOnDisconnected([this] { linkLost(); });
    client->setOnError([this](const std::string &) { linkLost(); });
    if (!client->connect(KNetwork::linkSocketPath(containerAppName()), nullptr))
        linkLost();
}

// The handshake is verified: a fresh service for this link.
void Wiring::connected()
{
    service = std::make_shared<Helper::Service>(pointer);
    client->setOnMessage([this](const std::vector<std::byte> &message) {
        if (service)
            service->handleMessage(message);
    });
    service->setSender([this](const std::vector<std::byte> &message) {
        if (client)
            client->send(message);
    });
    // A peer that reads slowly gets its answers as it reads, not all at once.
    service->setCongested([this] { return client && client->congested(); });
    client->setOnDrained([this] {
        if (service)
            service->sendingResumed();
    });
    service->start();
}

// Lost, refused or failed: quit one second later, once.
void Wiring::linkLost()
{
    if (quitTimer.isRunning())
        return;
    service.reset();
    quitTimer.start(1.0, 1, [] { KCore::App::quit(); });
}

void Wiring::tearDown()
{
    quitTimer.stop();
    messageBox.reset();
    accessibility.reset();
    service.reset();
    client.reset();
    // The main app started after an installation must not be lost to the exit.
    Linux::waitForPendingLaunches(std::chrono::seconds(5));
}
