// Path services. Symbolic links stand where the desktop keeps aliases.
#pragma once
#include <cstddef>
#include <string>

namespace ovra {

constexpr size_t PATH_BUFFER = 1024;
// The longest texts taken (bytes, no terminator): a path, a library file's
// path (one less: one that fills the buffer is taken for one cut short), a
// playlist name and a genre list.
constexpr size_t PATH_MAX_BYTES = PATH_BUFFER - 1;
constexpr size_t LIBRARY_FILE_MAX_BYTES = PATH_BUFFER - 2;
constexpr size_t PLAYLIST_NAME_MAX_BYTES = 79;
constexpr size_t GENRE_LIST_MAX_BYTES = 2047;

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
// The folders of the XDG base directories. A value of XDG_CONFIG_HOME or
// XDG_STATE_HOME that is empty or not an absolute path is ignored, as those
// directories are defined: ~/.config and ~/.local/state stand in.
std::string configfolder();
// The log folder, created when missing ($XDG_STATE_HOME/tempix); into out
// (PATH_BUFFER bytes), cut when longer.
std::string logfolder();
void logfolder(char* out);
// The log file "Tempix.log" in the log folder, which is created when missing.
std::string logfilepath();

} // namespace ovra
