// The log entries of one batch, from its start line on, in a window of our
// own; the whole log file opens from there in the desktop's viewer.
#pragma once
#include "platform/window/WindowEvents.h"

#include <string>

namespace ovra::tempix {

class LogWindow : public ovra::WindowEvents {
public:
    bool windowcreated() override;
    bool command(ovra::CommandID command) override;

    // What the window lists; appended entries show at once when it is open.
    void settext(const std::string& entries);
    void append(const std::string& entry);
    // The log file that "Open Log File" opens.
    void setlogfile(const std::string& path) { logFile = path; }
    std::string text();

private:
    std::string entries;
    std::string logFile;
};

// The log file in the desktop's viewer; failures are silent.
void showlogfile(const char* path);

} // namespace ovra::tempix
