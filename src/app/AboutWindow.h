// The about window: created once, hidden when closed, shown again later.
#pragma once
#include "platform/window/WindowEvents.h"

namespace ovra::tempix {

extern const char* const TEMPIX_VERSION_TEXT; // "1.1.12"
extern const char* const TEMPIX_WEB_PAGE;

// Opens an address with the desktop's browser; failures are silent.
void openURL(const char* address);

class AboutWindow : public ovra::WindowEvents {
public:
    bool windowcreated() override;
    bool command(ovra::CommandID command) override;
};

} // namespace ovra::tempix
