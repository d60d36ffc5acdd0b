// One application object for a test program, on the offscreen platform.
#pragma once
#include "platform/window/EventLoop.h"

#include <cstdlib>

inline void ensureapplication()
{
    static int argc = 1;
    static char name[] = "tempix-test";
    static char* argv[] = {name, nullptr};
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ovra::initevents(argc, argv);
}
