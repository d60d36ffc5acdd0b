// A library written on another computer names its files as they lie there
// ("file://localhost/C:/Users/anna/Music/...", "file:///Users/anna/Music/...").
// A LocationMap puts local folders in place of such prefixes. The library's
// own locations are never changed: only the path a location leads to here.
#pragma once
#include "plist/LibraryLocation.h"

#include <map>
#include <string>
#include <vector>

namespace ovra {

class LocationMap {
public:
    // The outcome of resolve. LOCAL and CUT_SHORT as fileURLToPath's 0 and 1.
    enum Status { LOCAL = 0, CUT_SHORT = 1, NOT_LOCAL = -1, AMBIGUOUS = -2 };
    struct Resolved {
        int status = NOT_LOCAL;
        std::string path;                 // LOCAL: the file (it may not exist); AMBIGUOUS: the name asked for
        bool mapped = false;              // a prefix of the map applied
        std::vector<std::string> matches; // AMBIGUOUS: the names that differ from it only in case
    };

    // "PREFIX=FOLDER", split at the first '=' that a '/' follows (the
    // folder is absolute). Empty when taken, else why not, in words.
    std::string add(const std::string& spec);
    std::string add(const std::string& prefix, const std::string& folder);
    bool empty() const { return rules.empty(); }

    // The path of a library location. A prefix that matches (the longest
    // one) is replaced by its folder; where that path does not exist as
    // written, each missing component is looked for ignoring case, and a
    // component with more than one such match makes the location AMBIGUOUS.
    // Locations that no prefix matches are decoded as fileURLToPath does.
    Resolved resolve(const char* location);

private:
    struct Rule {
        std::string key;    // the prefix in comparable form, no trailing '/'
        bool windows;       // compared ignoring ASCII case
        std::string folder; // no trailing '/'
    };
    const std::vector<std::string>& listing(const std::string& folder);
    Resolved findcase(const std::string& folder, const std::string& rest);

    std::vector<Rule> rules;
    std::map<std::string, std::vector<std::string>> listings; // folder entries, read once
};

// A file location or a prefix in the form the map compares: "file://localhost/"
// and "file:///" as "/", another host as "//host/"; a Windows path (drive
// letter, UNC) with '/' for '\' and the drive letter upper-case behind a
// '/' ("/C:/Users"). False when the location is not a file URL.
bool comparablelocation(const FileLocation& location, std::string& key, bool& windows);
// A prefix may be a URL or a path; a path is taken as written (no escapes,
// no trailing '/'). False when it is a URL but not a file URL, or holds a
// NUL byte.
bool comparableprefix(const std::string& text, std::string& key, bool& windows);

// The folder prefix (ending in '/') that more than half of the locations
// share, as far as they share it, with their entities decoded; empty when
// there is none.
std::string commonlocationprefix(const std::vector<std::string>& locations);

} // namespace ovra
