#include "script/ScriptApplication.h"
#include "platform/ErrorCodes.h"

namespace ovra {

ScriptValue ScriptApplication::element(const ScriptValue&, const std::string&, int64_t) { throw SCRIPT_CANT_GET; }

ScriptValue ScriptApplication::elements(const ScriptValue&, const std::string&, const ScriptWhose*)
{
    throw SCRIPT_CANT_GET;
}

ScriptValue ScriptApplication::getproperty(const ScriptValue&, const std::string&) { throw SCRIPT_CANT_GET; }

void ScriptApplication::setproperty(const ScriptValue&, const std::string&, const ScriptValue&)
{
    throw SCRIPT_CANT_SET;
}

ScriptValue ScriptApplication::command(const std::string&, const ScriptValue*) { throw SCRIPT_NOT_UNDERSTOOD; }

} // namespace ovra
