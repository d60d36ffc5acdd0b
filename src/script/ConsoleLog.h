// Shows the log file in the application "Console" through the system route.
#pragma once
#include <string>

namespace ovra {

// text as a string literal of the script language: in double quotes, with
// quotes, backslashes and line ends escaped, so that it stays one string.
std::string scriptquoted(const char* text);

namespace tempix {

// Runs the Console script for path; failures are silent (0 or an error number
// for those who want to know).
int openLogInConsole(const char* path);

} // namespace tempix
} // namespace ovra
