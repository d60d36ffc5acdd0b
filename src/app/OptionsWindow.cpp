#include "app/OptionsWindow.h"
#include "app/SavedSettings.h"
#include "platform/tools_strings.h"
#include "platform/window/ThemeColours.h"

#include <cstdio>
#include <string>

namespace ovra::tempix {

namespace {
enum : int {
    RADIO_ALL = 101,
    RADIO_SKIP = 102,
    RADIO_ONLY = 103,
    TEXT_BAD = 104,
    TEXT_GOOD = 105,
    TEXT_MESSAGE = 106,
};

// Cuts at the last whole UTF-8 character that fits the field.
void copylist(char* field, const char* text)
{
    std::string s(text ? text : "");
    if (s.size() >= OptionsWindow::LIST_BYTES) {
        size_t n = OptionsWindow::LIST_BYTES - 1;
        while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80)
            --n;
        s.resize(n);
    }
    ovra::strcpy_max(field, OptionsWindow::LIST_BYTES, s.c_str());
}
} // namespace

OptionsWindow::OptionsWindow()
{
    goodgenres[0] = '\0';
    copylist(badgenres, DEFAULT_BADGENRES);
}

void OptionsWindow::setgenres(int policy, const char* bad, const char* good)
{
    genrepolicy = policy;
    pendingPolicy = policy;
    copylist(badgenres, bad);
    copylist(goodgenres, good);
}

void OptionsWindow::showpolicy(int value)
{
    control(RADIO_ALL).setvalue(value == 0);
    control(RADIO_SKIP).setvalue(value == 1);
    control(RADIO_ONLY).setvalue(value == 2);
    pendingPolicy = value;
}

bool OptionsWindow::windowcreated()
{
    showpolicy(genrepolicy);
    control(TEXT_GOOD).settext(goodgenres);
    control(TEXT_BAD).settext(badgenres);
    control(TEXT_MESSAGE).settext("");
    seterrortext(findcontrol(TEXT_MESSAGE));
    return true;
}

// Stores the sheet's values, or refuses a list that does not fit its field
// and says so: cutting it would silently change which genres count.
bool OptionsWindow::accept()
{
    std::string bad = control(TEXT_BAD).gettext();
    std::string good = control(TEXT_GOOD).gettext();
    const char* which = nullptr;
    size_t length = 0;
    int id = 0;
    if (bad.size() >= LIST_BYTES) {
        which = "genres to skip";
        length = bad.size();
        id = TEXT_BAD;
    } else if (good.size() >= LIST_BYTES) {
        which = "genres to process";
        length = good.size();
        id = TEXT_GOOD;
    }
    if (which) {
        char message[256];
        std::snprintf(message, sizeof message,
                      "The list of %s is too long (%zu bytes; at most %zu fit). Shorten it and press OK again.", which,
                      length, LIST_BYTES - 1);
        control(TEXT_MESSAGE).settext(message);
        control(id).focus();
        return false;
    }
    genrepolicy = pendingPolicy;
    ovra::strcpy_max(goodgenres, LIST_BYTES, good.c_str());
    ovra::strcpy_max(badgenres, LIST_BYTES, bad.c_str());
    return true;
}

bool OptionsWindow::command(ovra::CommandID command)
{
    if (disposeondismiss(command))
        return true;
    switch (command) {
    case ovra::fourcc("PATr"):
        showpolicy(0);
        return true;
    case ovra::fourcc("DPTr"):
        showpolicy(1);
        return true;
    case ovra::fourcc("OPTr"):
        showpolicy(2);
        return true;
    case ovra::fourcc("ok  "):
        if (accept())
            dispose();
        return true;
    default:
        return false;
    }
}

} // namespace ovra::tempix
