#include "plist/LocationMap.h"
#include "platform/tools_strings.h"
#include "plist/LibraryLocation.h"
#include "plist/LibraryRules.h"
#include "platform/tools_paths.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <dirent.h>
#include <locale.h>
#include <sys/stat.h>
#include <wctype.h>

namespace ovra {

namespace {

bool hasdrive(const std::string& p, size_t at)
{
    return p.size() >= at + 2 && std::isalpha(static_cast<unsigned char>(p[at])) && p[at + 1] == ':' &&
        (p.size() == at + 2 || p[at + 2] == '/' || p[at + 2] == '\\');
}

// Windows forms into "/C:/..." or "//host/...", with '/' separators.
void windowsform(std::string& p, bool& windows)
{
    windows = false;
    if (hasdrive(p, 0))
        p.insert(0, "/");
    if (hasdrive(p, 1) && p[0] == '/') {
        windows = true;
        p[1] = static_cast<char>(std::toupper(static_cast<unsigned char>(p[1])));
    } else if (p.compare(0, 2, "\\\\") == 0 || p.compare(0, 2, "//") == 0) {
        windows = true;
    }
    if (windows)
        for (char& c : p)
            if (c == '\\')
                c = '/';
}

// UTF-8 text with every character lower-cased, for comparing file names as
// a case-insensitive file system does. Bytes that are not UTF-8 stand for
// themselves.
std::wstring folded(const std::string& name)
{
    static locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
    std::wstring out;
    for (size_t i = 0; i < name.size();) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        int extra = c >= 0xF0 && c < 0xF8 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        uint32_t cp = extra == 0 ? c : c & (0x3F >> extra);
        bool valid = c < 0x80 || extra > 0;
        for (int k = 1; valid && k <= extra; ++k) {
            if (i + size_t(k) >= name.size() || (static_cast<unsigned char>(name[i + k]) & 0xC0) != 0x80)
                valid = false;
            else
                cp = (cp << 6) | (static_cast<unsigned char>(name[i + k]) & 0x3F);
        }
        if (!valid) {
            out += wchar_t(0xDC00 + c); // a lone byte, kept apart from characters
            ++i;
            continue;
        }
        if (utf8 != nullptr)
            out += wchar_t(towlower_l(wint_t(cp), utf8));
        else // no UTF-8 locale: ASCII at least
            out += wchar_t(cp < 0x80 ? uint32_t(std::tolower(int(cp))) : cp);
        i += size_t(extra) + 1;
    }
    return out;
}

bool exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// key lies below prefix (or is it), component by component.
bool below(const std::string& key, const std::string& prefix, bool ignoreCase)
{
    if (key.size() < prefix.size())
        return false;
    if (key.size() > prefix.size() && key[prefix.size()] != '/' && !(prefix.empty() || prefix.back() == '/'))
        return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        char a = key[i], b = prefix[i];
        if (ignoreCase ? std::tolower(static_cast<unsigned char>(a)) != std::tolower(static_cast<unsigned char>(b))
                       : a != b)
            return false;
    }
    return true;
}

} // namespace

bool comparablelocation(const FileLocation& location, std::string& key, bool& windows)
{
    if (!location.file)
        return false;
    const std::string rest = location.path.empty() ? "/" : location.path;
    key = location.thiscomputer() ? rest : "//" + location.host + rest;
    windowsform(key, windows);
    return true;
}

bool comparableprefix(const std::string& text, std::string& key, bool& windows)
{
    if (startswithci(text, "file:")) {
        if (!comparablelocation(parselocation(text), key, windows))
            return false;
    } else {
        // Another scheme ("http://") names no file; a drive letter's ':' is no scheme.
        size_t scheme = text.find("://");
        if (scheme != std::string::npos && scheme > 1 && text.find('/') == scheme + 1)
            return false;
        if (text.find('\0') != std::string::npos)
            return false;
        key = text;
        windowsform(key, windows);
    }
    while (key.size() > 1 && key.back() == '/')
        key.pop_back();
    return true;
}

std::string LocationMap::add(const std::string& spec)
{
    size_t eq = spec.find("=/");
    if (eq == std::string::npos)
        return "it is not PREFIX=FOLDER with an absolute folder";
    return add(spec.substr(0, eq), spec.substr(eq + 1));
}

std::string LocationMap::add(const std::string& prefix, const std::string& folder)
{
    Rule rule;
    if (prefix.empty() || !comparableprefix(prefix, rule.key, rule.windows) || rule.key.empty())
        return "the prefix is neither a file URL nor a path";
    if (folder.empty() || folder[0] != '/' || folder.find('\0') != std::string::npos)
        return "the folder is not an absolute path";
    rule.folder = folder;
    while (rule.folder.size() > 1 && rule.folder.back() == '/')
        rule.folder.pop_back();
    if (rule.folder.size() >= PATH_BUFFER)
        return "the folder's path is longer than " + std::to_string(PATH_MAX_BYTES) + " bytes";
    // A prefix given again takes the later folder.
    for (Rule& r : rules) {
        if (r.key.size() == rule.key.size() && below(r.key, rule.key, r.windows || rule.windows)) {
            r = rule;
            return "";
        }
    }
    rules.push_back(rule);
    return "";
}

const std::vector<std::string>& LocationMap::listing(const std::string& folder)
{
    auto known = listings.find(folder);
    if (known != listings.end())
        return known->second;
    std::vector<std::string> names;
    if (DIR* d = opendir(folder.c_str())) {
        while (dirent* e = readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                names.push_back(e->d_name);
        closedir(d);
    }
    return listings.emplace(folder, std::move(names)).first->second;
}

// Walks rest below folder, each component as written where it exists, else
// the one entry that equals it ignoring case.
LocationMap::Resolved LocationMap::findcase(const std::string& folder, const std::string& rest)
{
    Resolved r;
    r.mapped = true;
    std::string at = folder == "/" ? "" : folder;
    size_t pos = 0;
    while (pos < rest.size()) {
        size_t next = rest.find('/', pos);
        if (next == std::string::npos)
            next = rest.size();
        std::string name = rest.substr(pos, next - pos);
        pos = next + 1;
        if (name.empty())
            continue;
        std::string exact = at + "/" + name;
        if (exists(exact)) {
            at = exact;
            continue;
        }
        std::vector<std::string> found;
        const std::wstring want = folded(name);
        for (const std::string& entry : listing(at.empty() ? "/" : at))
            if (folded(entry) == want)
                found.push_back(entry);
        if (found.size() > 1) {
            std::sort(found.begin(), found.end());
            r.status = AMBIGUOUS;
            r.path = exact;
            r.matches = found;
            return r;
        }
        if (found.empty()) {
            // Not here in any case: the path as mapped, for the track's own report.
            at = exact + (pos < rest.size() ? rest.substr(pos - 1) : "");
            break;
        }
        at += "/" + found.front();
    }
    r.status = LOCAL;
    r.path = at.empty() ? "/" : at;
    return r;
}

LocationMap::Resolved LocationMap::resolve(const char* location)
{
    Resolved r;
    const FileLocation parsed = parselocation(location);
    std::string key;
    bool windows = false;
    const Rule* best = nullptr;
    if (!rules.empty() && comparablelocation(parsed, key, windows)) {
        for (const Rule& rule : rules)
            if ((best == nullptr || rule.key.size() > best->key.size()) &&
                below(key, rule.key, rule.windows || windows))
                best = &rule;
    }
    if (best == nullptr) {
        char path[PATH_BUFFER];
        r.status = fileURLToPath(parsed, path, sizeof path);
        if (r.status != NOT_LOCAL)
            r.path = path;
        return r;
    }
    std::string rest = key.substr(best->key.size());
    if (!rest.empty() && rest[0] != '/')
        rest.insert(0, "/");
    std::string mapped = best->folder == "/" ? (rest.empty() ? "/" : rest) : best->folder + rest;
    if (mapped.size() >= PATH_BUFFER) {
        r.status = CUT_SHORT;
        r.mapped = true;
        r.path = mapped.substr(0, PATH_BUFFER - 1);
        return r;
    }
    if (exists(mapped)) {
        r.status = LOCAL;
        r.mapped = true;
        r.path = mapped;
        return r;
    }
    r = findcase(best->folder, rest);
    if (r.status == LOCAL && r.path.size() >= PATH_BUFFER) {
        r.status = CUT_SHORT;
        r.path.resize(PATH_BUFFER - 1);
    }
    return r;
}

std::string commonlocationprefix(const std::vector<std::string>& locations)
{
    // Each location as its folders: "scheme://host/" and then one name each.
    std::vector<std::vector<std::string>> folders;
    for (const std::string& raw : locations) {
        std::string text = xmldecode(raw);
        size_t start = text.find("://");
        start = start == std::string::npos ? 0 : text.find('/', start + 3);
        if (start == std::string::npos)
            continue;
        std::vector<std::string> parts{text.substr(0, start + 1)};
        size_t last = text.rfind('/');
        for (size_t at = start + 1; at <= last && last != std::string::npos;) {
            size_t next = text.find('/', at);
            parts.push_back(text.substr(at, next - at + 1));
            at = next + 1;
        }
        folders.push_back(std::move(parts));
    }
    const size_t total = locations.size();
    std::string prefix;
    std::vector<const std::vector<std::string>*> sharing;
    for (const auto& f : folders)
        sharing.push_back(&f);
    for (size_t depth = 0;; ++depth) {
        std::map<std::string, std::vector<const std::vector<std::string>*>> groups;
        for (const auto* f : sharing)
            if (f->size() > depth)
                groups[(*f)[depth]].push_back(f);
        const std::pair<const std::string, std::vector<const std::vector<std::string>*>>* largest = nullptr;
        for (const auto& g : groups)
            if (largest == nullptr || g.second.size() > largest->second.size())
                largest = &g;
        if (largest == nullptr || largest->second.size() * 2 <= total)
            return prefix;
        prefix += largest->first;
        sharing = largest->second;
    }
}

} // namespace ovra
