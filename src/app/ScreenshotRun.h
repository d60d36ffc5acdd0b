// A hidden run for the documentation: pictures of the main window and of a
// finished batch, then quit.
#pragma once

namespace ovra::tempix {

class MainWindow;

// Schedules the pictures into folder; the event loop then runs as usual.
void schedulescreenshots(MainWindow& window, const char* folder);

} // namespace ovra::tempix
