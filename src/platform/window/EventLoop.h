// The application object, its event loop and the way out of it.
#pragma once

namespace ovra {

// Creates the application object (before the first window); argc and argv
// must outlive it. Safe to call again.
void initevents(int& argc, char** argv);
// Destroys the application object after the last window has gone; a
// program that does not call it leaves the object to the end of the process.
void endevents();
// Runs until quitapplication is handled; returns the loop's status.
int runapplicationloop();
// Posts the quit request to the main queue; callable from any thread.
void quitapplication();
// Handles every event queued so far (tests and shut-down).
void processpendingevents();

} // namespace ovra
