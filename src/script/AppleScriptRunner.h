// Compiles and runs script text in the calling process and returns the
// result as UTF-8 text. The engine behind it is the script interpreter with
// the applications "iTunes" (the library host) and "Console".
#pragma once
#include "platform/ErrorCodes.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace ovra {

class ScriptEngine;
struct ScriptNode;

class AppleScriptRunner {
public:
    AppleScriptRunner();
    ~AppleScriptRunner();

    // Compiles and runs text; the result goes into buffer (size bytes with the NUL).
    int32_t executefromtext(const char* text, char* buffer, size_t size);

    ScriptEngine* component() const { return engine.get(); }
    // Pending work of the applications (saving the library).
    int idletimeout() const;
    void idle();
    void finish();

private:
    std::unique_ptr<ScriptEngine> engine;
    friend class AppleScript;
};

// One compiled script of a runner, used for one execution.
class AppleScript {
public:
    explicit AppleScript(AppleScriptRunner* runner);
    ~AppleScript();
    AppleScript(const AppleScript&) = delete;
    AppleScript& operator=(const AppleScript&) = delete;

    int32_t fromtext(const char* text, size_t length);
    int32_t execute(char* buffer, size_t size);

private:
    std::unique_ptr<ScriptNode> id;
    AppleScriptRunner* runner;
};

} // namespace ovra
