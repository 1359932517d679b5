#pragma once

#include <memory>

namespace KUI {
class MessageBox;
}

// The product's web site, where the full app is offered.
inline constexpr const char *kProductSiteURL = "https://tessaron.pro";

// Tells the user that this system is not supported, offers the full app,
// and quits on any answer. The box goes into the caller's slot, which must
// outlive the loop.
void showUnsupportedNotice(std::shared_ptr<KUI::MessageBox> &messageBox);
