// One application object for a test program, on the offscreen platform
// (possibly with options).
#pragma once
#include "platform/window/EventLoop.h"

#include <cstdlib>

inline void ensureapplication(const char* platform = "offscreen")
{
    static int argc = 1;
    static char name[] = "tempix-test";
    static char* argv[] = {name, nullptr};
    setenv("QT_QPA_PLATFORM", platform, 1);
    ovra::initevents(argc, argv);
}
