// Status codes of the script interpreter, in the style of the desktop
// scripting system they stand in for. Every failure of a script is one of these.
#pragma once

namespace ovra {

constexpr int SCRIPT_SYNTAX_ERROR = -2741;        // the text does not parse
constexpr int SCRIPT_CANT_GET = -1728;            // no such object or element
constexpr int SCRIPT_NOT_UNDERSTOOD = -1708;      // a command the target does not handle
constexpr int SCRIPT_APP_NOT_FOUND = -10814;      // no application of that name
constexpr int SCRIPT_CANT_MAKE = -1700;           // a value of the wrong kind
constexpr int SCRIPT_CANT_SET = -10006;           // a property that cannot take this value
constexpr int SCRIPT_UNDEFINED_VARIABLE = -2753;  // a variable used before it was set
constexpr int SCRIPT_FILE_NOT_FOUND = -43;        // a file the script names does not exist
constexpr int SCRIPT_APP_FAILED = -2700;          // the application could not carry out the command

// A short English description of a status, for the osascript program.
const char* scripterrortext(int code);

} // namespace ovra
