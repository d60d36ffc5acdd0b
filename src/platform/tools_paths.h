// Path services. Symbolic links stand where the desktop keeps aliases.
#pragma once
#include <cstddef>

namespace ovra {

constexpr size_t PATH_BUFFER = 1024;

// The folder above bin/ of the running program, at most 1024 bytes; 0 or -1.
int getbundlepath(char* out);
// The path of the helper program name (osatender, osascript) for a program in
// bin/: its folder + the relative path from the installed bin folder to
// LIBEXECDIR/tempix, as configured. 0, -1 or ENAMETOOLONG.
int helperpath(const char* name, char* out, size_t size);
// Resolves the links of path into out (1024 bytes, may be path): 0 or errno.
int resolvealias(const char* path, char* out);
// Resolves every component of an absolute path in turn; -1 for a relative path.
int resolvealiaspath(const char* path, char* out);

// "%s/Music" and "%s/Documents" from $HOME (or the XDG user folders), links resolved.
void homemusicfolder(char* out);
void homedocumentsfolder(char* out);
// The log folder, created when missing ($XDG_STATE_HOME/tempix).
void logfolder(char* out);

} // namespace ovra
