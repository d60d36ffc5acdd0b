#include "platform/tools_appenv.h"

namespace ovra {

static const char* recordedArgv0 = "";

void setargv0(const char* argv0) { recordedArgv0 = argv0 ? argv0 : ""; }

const char* getargv0() { return recordedArgv0; }

} // namespace ovra
