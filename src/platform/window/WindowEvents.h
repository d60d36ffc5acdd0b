// A window whose platform events arrive as virtual calls.
#pragma once
#include "platform/window/NativeWindow.h"

#include <utility>

namespace ovra {

class WindowEvents : public NativeWindow {
public:
    WindowEvents();
    ~WindowEvents() override;

    // Creates the window of that name from the interface file (nothing when
    // one exists), wires its events and commands, then calls windowcreated.
    // 0, or -1 when the interface file has no such window.
    int createwindow(const char* name);
    // Wires and shows the menu bar of that name ("MenuBar" when null); 0 or -1.
    int installmenubar(const char* name = nullptr);

    // Delivers a command as a control, menu item or close box would.
    bool sendcommand(CommandID command) { return this->command(command); }

    // The slots, in order after the destructors. All answer true when handled.
    virtual bool windowcreated() { return false; }
    virtual bool resized(int /*width*/, int /*height*/) { return false; }
    virtual bool moved(int /*left*/, int /*top*/) { return false; }
    virtual bool drawcontent() { return false; }
    virtual bool collapsed() { return false; }
    virtual bool mousedown(int /*h*/, int /*v*/, int /*clicks*/, bool /*activating*/) { return false; }
    virtual bool mouseup(int /*h*/, int /*v*/) { return false; }
    virtual bool secondarymousedown(int /*h*/, int /*v*/, int /*clicks*/, bool /*activating*/) { return false; }
    virtual bool secondarymouseup(int /*h*/, int /*v*/) { return false; }
    virtual bool mousemoved(int /*h*/, int /*v*/) { return false; }
    virtual bool activated(bool /*active*/) { return false; }
    // Also the close box ('clos'), minimising ('mini') and maximising ('zoom').
    virtual bool command(CommandID /*command*/) { return false; }
    // Menu update: flag bit 0 enables the item, bit 1 disables it.
    virtual bool commandstatus(CommandID /*command*/, uint32_t& /*flags*/) { return false; }
    virtual bool query(int /*value*/, int& /*out*/) { return false; }
    virtual std::pair<double, double> filter(std::pair<double, double> pair) { return pair; }
    virtual bool isresizepoint(int /*h*/, int /*v*/) { return false; }
    virtual bool isactivepoint(int /*h*/, int /*v*/) { return false; }
    virtual bool isdragpoint(int /*h*/, int /*v*/) { return false; }

private:
    friend class WindowEventFilter;
    void wirecommands(QObject* root, bool menus);
    std::unique_ptr<QObject> eventFilter;
};

// The folder holding the interface file's windows (default ":/main", the
// copy compiled into the program).
void setinterfacefolder(const char* folder);
const char* interfacefolder();

} // namespace ovra
