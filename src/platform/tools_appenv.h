// The program's argv[0], recorded once at start.
#pragma once

namespace ovra {

void setargv0(const char* argv0);
const char* getargv0();

} // namespace ovra
