// The application "Console": shows a file with the desktop's default viewer.
#pragma once
#include "script/ScriptApplication.h"

namespace ovra {

class ConsoleApplication : public ScriptApplication {
public:
    const char* name() const override { return "Console"; }
    const ScriptTerms& terms() const override;
    // activate: nothing to do. open POSIX file "p": xdg-open p, detached.
    ScriptValue command(const std::string& name, const ScriptValue* direct) override;
};

// Starts xdg-open with path as its only argument (no shell), detached from us,
// its output discarded. 0 or an error number.
int opendetached(const char* path);

} // namespace ovra
