// One application object for a test program, on the offscreen platform
// (possibly with options), and its loop run with a guard.
#pragma once
#include "platform/window/EventLoop.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdlib>

inline void ensureapplication(const char* platform = "offscreen")
{
    static int argc = 1;
    static char name[] = "tempix-test";
    static char* argv[] = {name, nullptr};
    setenv("QT_QPA_PLATFORM", platform, 1);
    ovra::initevents(argc, argv);
}

// The application's loop; the guard ends one that would not end, with 1,
// without measuring anything.
inline int runguardedloop(int limitMs = 30000)
{
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(1); });
    guard.start(limitMs);
    return ovra::runapplicationloop();
}
