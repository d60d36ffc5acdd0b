// Runs scripts: parses the text and evaluates it against the applications
// registered by name. Every string in a script is data; nothing but the
// applications' own handlers acts on the world.
#pragma once
#include "script/ScriptApplication.h"
#include "script/ScriptParser.h"

#include <memory>
#include <string>
#include <vector>

namespace ovra {

class ScriptEngine {
public:
    ScriptEngine();
    ~ScriptEngine();

    void addapplication(std::unique_ptr<ScriptApplication> app);
    ScriptApplication* application(const std::string& name) const;

    // Throws a code of ScriptErrors.h.
    std::unique_ptr<ScriptNode> compile(const char* text, size_t length) const;
    // The script's result: the value of its return, else of its last statement.
    ScriptValue run(const ScriptNode& script) const;

    // Pending work of the applications (see ScriptApplication).
    int idletimeout() const;
    void idle();
    void finish();

private:
    std::vector<std::unique_ptr<ScriptApplication>> apps;
};

} // namespace ovra
