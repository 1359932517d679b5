#include "app/wiring.h"

#include "app/app.h"

Wiring::Wiring(const std::string &prefix)
    : appIdPrefix(prefix)
{
}

void Wiring::setUp(KCore::App &app)
{
    app.setOnLaunched([this] { launched(); });
    app.setOnWillTerminate([this] { tearDown(); });
}

void Wiring::launched() {}

void Wiring::tearDown()
{
    quitTimer.stop();
}
