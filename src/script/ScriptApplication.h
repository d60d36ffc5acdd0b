// An application a script can address with tell application "name". Each one
// supplies its terms (so the parser knows its multi-word names) and carries out
// the object references, properties and commands of its scripts. Failures
// throw one of the codes of ScriptErrors.h.
#pragma once
#include "script/ScriptValue.h"

#include <string>
#include <vector>

namespace ovra {

struct ScriptTerms {
    std::vector<std::string> classes; // lower case, words separated by one blank
    std::vector<std::string> properties;
    std::vector<std::string> commands;
};

// One test of a whose clause: "property is value" (or "is not").
struct ScriptWhoseTest {
    std::string property;
    bool negate = false;
    ScriptValue value;
};

// "whose test [and test]..." in a reference to every element: all must hold.
struct ScriptWhose {
    std::vector<ScriptWhoseTest> tests;
};

class ScriptApplication {
public:
    virtual ~ScriptApplication() = default;
    virtual const char* name() const = 0;
    virtual const ScriptTerms& terms() const = 0;

    // container is this application (kind APPLICATION) or one of its objects.
    virtual ScriptValue element(const ScriptValue& container, const std::string& cls, int64_t index);
    virtual ScriptValue elements(const ScriptValue& container, const std::string& cls, const ScriptWhose* whose);
    virtual ScriptValue getproperty(const ScriptValue& object, const std::string& property);
    virtual void setproperty(const ScriptValue& object, const std::string& property, const ScriptValue& value);
    // direct is null when the command has no direct parameter.
    virtual ScriptValue command(const std::string& name, const ScriptValue* direct);

    // Work left for later (saving): milliseconds until idle() wants to run, -1 none.
    virtual int idletimeout() { return -1; }
    virtual void idle() {}
    // The process is about to end: finish pending work.
    virtual void finish() {}
};

} // namespace ovra
