// The genre sheet, and where the genre policy and lists live while the
// program runs.
#pragma once
#include "platform/window/WindowEvents.h"

namespace ovra::tempix {

class OptionsWindow : public ovra::WindowEvents {
public:
    static constexpr size_t LIST_BYTES = 2048;

    OptionsWindow();

    int genrepolicy = 1;   // 0 all tracks, 1 skip badgenres, 2 only goodgenres
    int pendingPolicy = 1; // shown by the radio buttons while the sheet is open
    char goodgenres[LIST_BYTES];
    char badgenres[LIST_BYTES];

    // The loaded settings; lists longer than a field are cut at a character.
    void setgenres(int policy, const char* bad, const char* good);

    bool windowcreated() override;
    bool command(ovra::CommandID command) override;

private:
    void showpolicy(int value);
    bool accept();
};

} // namespace ovra::tempix
