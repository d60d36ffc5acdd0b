#include "script/ConsoleLog.h"
#include "script/AppleScriptServer.h"

namespace ovra {

std::string scriptquoted(const char* text)
{
    std::string out = "\"";
    for (const char* p = text; *p; ++p) {
        switch (*p) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            out += *p;
        }
    }
    return out + "\"";
}

namespace tempix {

int openLogInConsole(const char* path)
{
    std::string script =
        "tell application \"Console\"\n\tactivate\n\topen POSIX file " + scriptquoted(path) + "\nend tell\n";
    char reply[1024];
    return executewithosascript(script.c_str(), reply, sizeof reply);
}

} // namespace tempix
} // namespace ovra
