#include "script/LibraryDocument.h"
#include "platform/ErrorCodes.h"
#include "plist/LibraryRules.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <unistd.h>

namespace ovra {

namespace {

// Raw text: entity references stay as they are, line ends are not touched,
// white space between elements is kept.
constexpr unsigned PARSE_FLAGS = pugi::parse_declaration | pugi::parse_doctype | pugi::parse_pi | pugi::parse_comments |
    pugi::parse_cdata | pugi::parse_ws_pcdata;
constexpr unsigned SAVE_FLAGS = pugi::format_raw | pugi::format_no_declaration | pugi::format_no_escapes;

// Where a key goes among the others when a track gets it for the first time.
const char* const KEY_ORDER[] = {"Track ID",
                                 "Name",
                                 "Artist",
                                 "Album Artist",
                                 "Composer",
                                 "Album",
                                 "Grouping",
                                 "Genre",
                                 "Kind",
                                 "Size",
                                 "Total Time",
                                 "Start Time",
                                 "Stop Time",
                                 "Disc Number",
                                 "Disc Count",
                                 "Track Number",
                                 "Track Count",
                                 "Year",
                                 "BPM",
                                 "Date Modified",
                                 "Date Added",
                                 "Bit Rate",
                                 "Sample Rate",
                                 "Volume Adjustment",
                                 "Comments",
                                 "Play Count",
                                 "Play Date",
                                 "Play Date UTC",
                                 "Skip Count",
                                 "Skip Date",
                                 "Release Date",
                                 "Rating",
                                 "Album Rating",
                                 "Album Rating Computed",
                                 "Normalization",
                                 "Artwork Count",
                                 "Persistent ID",
                                 "Track Type",
                                 "Location",
                                 "File Folder Count",
                                 "Library Folder Count"};

int keyrank(const std::string& key)
{
    int n = 0;
    for (const char* k : KEY_ORDER) {
        if (key == k)
            return n;
        ++n;
    }
    return -1;
}

bool iswhitespace(pugi::xml_node n)
{
    if (n.type() != pugi::node_pcdata)
        return false;
    for (const char* p = n.value(); *p; ++p)
        if (*p != ' ' && *p != '\t' && *p != '\n' && *p != '\r')
            return false;
    return true;
}

pugi::xml_node nextelement(pugi::xml_node n)
{
    for (n = n.next_sibling(); n && n.type() != pugi::node_element; n = n.next_sibling()) {
    }
    return n;
}

pugi::xml_node firstelement(pugi::xml_node n)
{
    pugi::xml_node c = n.first_child();
    while (c && c.type() != pugi::node_element)
        c = c.next_sibling();
    return c;
}

bool samestat(const struct stat& a, const struct stat& b)
{
    return a.st_ino == b.st_ino && a.st_dev == b.st_dev && a.st_size == b.st_size &&
        a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

} // namespace

pugi::xml_node plistvalue(pugi::xml_node dict, const char* key)
{
    // Keys compare as written, as the batch's reader compares them; a key
    // that occurs twice cannot be read.
    pugi::xml_node found;
    for (pugi::xml_node k = firstelement(dict); k; k = nextelement(k)) {
        pugi::xml_node v = nextelement(k);
        if (!v)
            break;
        if (std::strcmp(k.name(), "key") == 0 && std::strcmp(k.child_value(), key) == 0) {
            if (found)
                return {};
            found = v;
        }
        k = v;
    }
    return found;
}

bool hasrepeatedkeys(pugi::xml_node dict)
{
    std::vector<const char*> keys;
    for (pugi::xml_node k = firstelement(dict); k; k = nextelement(k)) {
        pugi::xml_node v = nextelement(k);
        if (std::strcmp(k.name(), "key") == 0)
            keys.push_back(k.child_value());
        if (!v)
            break;
        k = v;
    }
    std::sort(keys.begin(), keys.end(), [](const char* a, const char* b) { return std::strcmp(a, b) < 0; });
    return std::adjacent_find(keys.begin(), keys.end(),
                              [](const char* a, const char* b) { return std::strcmp(a, b) == 0; }) != keys.end();
}

int LibraryDocument::load(const std::string& path)
{
    filepath = path;
    journal.clear();
    return parse(path);
}

namespace {

// The whole of a regular file; a pipe or a device is refused without
// blocking on it. 0, SCRIPT_FILE_NOT_FOUND, or SCRIPT_APP_FAILED.
int readregularfile(const char* path, std::string& text, struct stat& st)
{
    int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return SCRIPT_FILE_NOT_FOUND;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return SCRIPT_APP_FAILED; // a folder, a pipe or a device is no library
    }
    text.clear();
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ::close(fd);
            return SCRIPT_FILE_NOT_FOUND;
        }
        if (n == 0)
            break;
        text.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return 0;
}

// A key of "Tracks" names track id only as the batch writes it ("%d" of the
// number): "+10" or "010" name no track.
bool trackkey(const char* text, int64_t& id)
{
    char* endp = nullptr;
    errno = 0;
    long long n = std::strtoll(text, &endp, 10);
    if (errno != 0 || endp == text || *endp != '\0')
        return false;
    char canonical[32];
    std::snprintf(canonical, sizeof canonical, "%lld", n);
    if (std::strcmp(canonical, text) != 0)
        return false;
    id = n;
    return true;
}

} // namespace

int LibraryDocument::parse(const std::string& path)
{
    Contents n;
    char real[PATH_MAX];
    if (::realpath(path.c_str(), real) == nullptr)
        return SCRIPT_FILE_NOT_FOUND;
    struct stat st {};
    std::string text;
    if (int e = readregularfile(real, text, st))
        return e;
    n.doc = std::make_unique<pugi::xml_document>();
    if (!n.doc->load_buffer(text.data(), text.size(), PARSE_FLAGS, pugi::encoding_utf8))
        return SCRIPT_APP_FAILED;
    // What lies around the root element (declaration, document type, line
    // ends) is kept as bytes and written back as it was.
    pugi::xml_node top = n.doc->document_element();
    if (!top || top.offset_debug() < 1)
        return SCRIPT_APP_FAILED;
    n.prolog = text.substr(0, static_cast<size_t>(top.offset_debug() - 1));
    size_t close = text.rfind(std::string("</") + top.name());
    size_t end = close == std::string::npos ? std::string::npos : text.find('>', close);
    if (end == std::string::npos)
        return SCRIPT_APP_FAILED;
    n.trailing = text.substr(end + 1);
    n.realpath = real;
    n.seen = st;

    pugi::xml_node root = firstelement(n.doc->child("plist"));
    if (!root || std::strcmp(root.name(), "dict") != 0)
        return SCRIPT_APP_FAILED;
    // A track that cannot be told apart from another is never selected: its
    // key repeats in "Tracks", its dictionary repeats a key, or its
    // persistent ID is malformed.
    std::set<int64_t> ambiguous;
    pugi::xml_node t = plistvalue(root, "Tracks");
    if (t && std::strcmp(t.name(), "dict") == 0) {
        for (pugi::xml_node k = firstelement(t); k; k = nextelement(k)) {
            pugi::xml_node v = nextelement(k);
            if (!v)
                break;
            int64_t id = 0;
            if (std::strcmp(k.name(), "key") == 0 && trackkey(k.child_value(), id)) {
                if (!n.tracks.emplace(id, v).second)
                    ambiguous.insert(id);
                else if (std::strcmp(v.name(), "dict") != 0 || hasrepeatedkeys(v))
                    ambiguous.insert(id);
            }
            k = v;
        }
    }
    for (const auto& [id, dict] : n.tracks) {
        if (ambiguous.count(id) != 0)
            continue;
        pugi::xml_node v = plistvalue(dict, "Persistent ID");
        if (!v)
            continue;
        uint64_t pid = 0;
        const char* raw = v.child_value();
        if (std::strcmp(v.name(), "string") != 0 || !parsepersistentid(raw, std::strlen(raw), pid))
            ambiguous.insert(id);
        else
            n.persistentids[pid].push_back(id);
    }
    for (int64_t id : ambiguous)
        n.tracks.erase(id);
    pugi::xml_node p = plistvalue(root, "Playlists");
    if (p && std::strcmp(p.name(), "array") == 0)
        for (pugi::xml_node d = firstelement(p); d; d = nextelement(d))
            if (std::strcmp(d.name(), "dict") == 0)
                n.playlists.push_back(d);
    for (pugi::xml_node d : n.playlists)
        n.playlistitems.push_back(readplaylist(d, n.tracks));
    c = std::move(n);
    positions.assign(c.playlists.size(), {});
    isloaded = true;
    return 0;
}

const std::vector<int64_t>& LibraryDocument::playlisttracks(int index) const
{
    static const std::vector<int64_t> none;
    if (index < 1 || index > playlistcount())
        return none;
    return c.playlistitems[static_cast<size_t>(index - 1)];
}

const std::vector<int64_t>& LibraryDocument::trackswithpersistentid(uint64_t id) const
{
    static const std::vector<int64_t> none;
    auto it = c.persistentids.find(id);
    return it == c.persistentids.end() ? none : it->second;
}

long LibraryDocument::playlistposition(int index, int64_t track) const
{
    if (index < 1 || index > playlistcount())
        return -1;
    auto& map = positions[static_cast<size_t>(index - 1)];
    const auto& items = c.playlistitems[static_cast<size_t>(index - 1)];
    if (map.empty() && !items.empty())
        for (size_t i = items.size(); i-- > 0;)
            map[items[i]] = static_cast<long>(i); // the first place wins
    auto it = map.find(track);
    return it == map.end() ? -1 : it->second;
}

std::vector<int64_t> LibraryDocument::readplaylist(pugi::xml_node playlist,
                                                   const std::map<int64_t, pugi::xml_node>& tracks)
{
    std::vector<int64_t> ids;
    pugi::xml_node items = plistvalue(playlist, "Playlist Items");
    if (!items || std::strcmp(items.name(), "array") != 0)
        return ids;
    for (pugi::xml_node d = firstelement(items); d; d = nextelement(d)) {
        pugi::xml_node id = plistvalue(d, "Track ID");
        int32_t n = 0;
        if (!id || std::strcmp(id.name(), "integer") != 0 || !parseplistinteger(id.child_value(), n))
            continue;
        if (tracks.count(n) != 0)
            ids.push_back(n);
    }
    return ids;
}

std::string LibraryDocument::playlistname(int index) const
{
    if (index < 1 || index > playlistcount())
        return {};
    pugi::xml_node n = plistvalue(c.playlists[static_cast<size_t>(index - 1)], "Name");
    return n ? xmldecode(n.child_value()) : std::string();
}

bool LibraryDocument::getinteger(int64_t track, const char* key, int64_t& value) const
{
    auto it = c.tracks.find(track);
    if (it == c.tracks.end())
        return false;
    pugi::xml_node v = plistvalue(it->second, key);
    int32_t n = 0;
    if (!v || std::strcmp(v.name(), "integer") != 0 || !parseplistinteger(v.child_value(), n))
        return false;
    value = n;
    return true;
}

bool LibraryDocument::getstring(int64_t track, const char* key, std::string& value) const
{
    auto it = c.tracks.find(track);
    if (it == c.tracks.end())
        return false;
    pugi::xml_node v = plistvalue(it->second, key);
    if (!v || std::strcmp(v.name(), "string") != 0)
        return false;
    value = xmldecode(v.child_value());
    return true;
}

void LibraryDocument::setinteger(int64_t track, const char* key, int64_t value)
{
    if (applyset(track, key, value))
        journal.push_back({track, key, false, value});
}

void LibraryDocument::removekey(int64_t track, const char* key)
{
    if (applyremove(track, key))
        journal.push_back({track, key, true, 0});
}

bool LibraryDocument::applyset(int64_t track, const std::string& key, int64_t value)
{
    auto it = c.tracks.find(track);
    if (it == c.tracks.end())
        return false;
    pugi::xml_node dict = it->second;
    std::string text = std::to_string(value);
    pugi::xml_node v = plistvalue(dict, key.c_str());
    if (v) {
        if (std::strcmp(v.name(), "integer") == 0 && v.child_value() == text)
            return false;
        v.set_name("integer");
        while (v.first_child())
            v.remove_child(v.first_child());
        v.append_child(pugi::node_pcdata).set_value(text.c_str());
        return true;
    }
    // A new entry: before the first key that comes after it in the usual order,
    // with the same white space as the entries around it.
    int rank = keyrank(key);
    pugi::xml_node before;
    pugi::xml_node lastkey;
    for (pugi::xml_node k = firstelement(dict); k; k = nextelement(k)) {
        pugi::xml_node val = nextelement(k);
        if (std::strcmp(k.name(), "key") == 0) {
            int r = keyrank(xmldecode(k.child_value()));
            if (!before && rank >= 0 && r > rank)
                before = k;
            lastkey = k;
        }
        if (!val)
            break;
        k = val;
    }
    pugi::xml_node sample = before ? before : lastkey;
    std::string lead = "\n"; // white space before a key
    std::string inner;       // white space between a key and its value
    if (sample) {
        if (iswhitespace(sample.previous_sibling()))
            lead = sample.previous_sibling().value();
        if (iswhitespace(sample.next_sibling()))
            inner = sample.next_sibling().value();
    }
    pugi::xml_node k, val;
    if (before) {
        // ... lead [new key inner new value] lead before ...
        k = dict.insert_child_before("key", before);
        dict.insert_child_before(pugi::node_pcdata, before).set_value(lead.c_str());
    } else {
        pugi::xml_node tail = dict.last_child();
        if (iswhitespace(tail)) { // the white space before </dict> stays last
            dict.insert_child_before(pugi::node_pcdata, tail).set_value(lead.c_str());
            k = dict.insert_child_before("key", tail);
        } else {
            dict.append_child(pugi::node_pcdata).set_value(lead.c_str());
            k = dict.append_child("key");
        }
    }
    k.append_child(pugi::node_pcdata).set_value(key.c_str());
    pugi::xml_node after = k;
    if (!inner.empty()) {
        after = dict.insert_child_after(pugi::node_pcdata, k);
        after.set_value(inner.c_str());
    }
    val = dict.insert_child_after("integer", after);
    val.append_child(pugi::node_pcdata).set_value(text.c_str());
    return true;
}

bool LibraryDocument::applyremove(int64_t track, const std::string& key)
{
    auto it = c.tracks.find(track);
    if (it == c.tracks.end())
        return false;
    pugi::xml_node dict = it->second;
    pugi::xml_node v = plistvalue(dict, key.c_str());
    if (!v)
        return false;
    pugi::xml_node k = v.previous_sibling();
    while (k && k.type() != pugi::node_element)
        k = k.previous_sibling();
    // The key, what lies between it and the value, the value, and the white
    // space that led up to the key.
    pugi::xml_node lead = k.previous_sibling();
    for (pugi::xml_node n = k; n;) {
        pugi::xml_node next = n.next_sibling();
        bool last = n == v;
        dict.remove_child(n);
        if (last)
            break;
        n = next;
    }
    if (iswhitespace(lead))
        dict.remove_child(lead);
    return true;
}

bool LibraryDocument::changedondisk() const
{
    struct stat st {};
    if (stat(c.realpath.c_str(), &st) != 0)
        return true;
    return !samestat(st, c.seen);
}

namespace {

// The temporary file of a save in progress, for removesavetemporary: a
// helper ended by a signal leaves no copy of the library behind.
char savetemporary[PATH_MAX] = "";
volatile sig_atomic_t hassavetemporary = 0;

// Writes the document to a new temporary file next to the library; 0 and
// its name and identity, or an error number (nothing left behind).
int writetemporary(const std::string& realpath, const std::string& prolog, const pugi::xml_document& doc,
                   const std::string& trailing, mode_t mode, std::string& name, struct stat& written)
{
    size_t slash = realpath.rfind('/');
    std::string tmp = realpath.substr(0, slash + 1) + "." + realpath.substr(slash + 1) + ".XXXXXX";
    if (tmp.size() >= sizeof savetemporary)
        return ENAMETOOLONG;
    std::vector<char> buffer(tmp.begin(), tmp.end());
    buffer.push_back('\0');
    int fd = mkstemp(buffer.data());
    if (fd < 0)
        return errno;
    hassavetemporary = 0;
    std::memcpy(savetemporary, buffer.data(), buffer.size());
    hassavetemporary = 1;
    name = buffer.data();
    FILE* f = fdopen(fd, "wb");
    if (f == nullptr) {
        int e = errno;
        close(fd);
        removesavetemporary();
        return e;
    }
    pugi::xml_writer_file writer(f);
    std::fwrite(prolog.data(), 1, prolog.size(), f);
    doc.document_element().print(writer, "", SAVE_FLAGS, pugi::encoding_utf8);
    if (!trailing.empty())
        std::fwrite(trailing.data(), 1, trailing.size(), f);
    int e = 0;
    if (std::fflush(f) != 0 || std::ferror(f))
        e = errno ? errno : EIO;
    if (e == 0 && fsync(fd) != 0)
        e = errno;
    if (e == 0)
        fchmod(fd, mode & 07777);
    if (e == 0 && fstat(fd, &written) != 0)
        e = errno;
    if (std::fclose(f) != 0 && e == 0)
        e = errno ? errno : EIO;
    if (e != 0)
        removesavetemporary();
    return e;
}

} // namespace

void removesavetemporary()
{
    if (hassavetemporary) {
        unlink(savetemporary);
        hassavetemporary = 0;
    }
}

int LibraryDocument::save()
{
    if (!isloaded || journal.empty())
        return 0;
    // Another program may write the library at any time. Its version is
    // read again and our changes put on top whenever it changed: before we
    // write, and once more right before the rename, so that what is left of
    // the race is the time between that last look and the rename.
    for (int attempt = 0; attempt < SAVE_ATTEMPTS; ++attempt) {
        if (changedondisk()) {
            // Unless it cannot be read now; then ours stays as it is for a later try.
            int e = parse(filepath);
            if (e != 0)
                return e == SCRIPT_FILE_NOT_FOUND ? ENOENT : EIO;
            for (const Edit& ed : journal) {
                if (ed.remove)
                    applyremove(ed.track, ed.key);
                else
                    applyset(ed.track, ed.key, ed.value);
            }
        }
        std::string name;
        struct stat written {};
        if (int e = writetemporary(c.realpath, c.prolog, *c.doc, c.trailing, c.seen.st_mode, name, written))
            return e;
        if (changedondisk()) {
            removesavetemporary();
            continue;
        }
        // Swapped in one step, the old file comes out under our temporary
        // name: if it is not the one we read, another program wrote in the
        // instant since our look; its file goes back and we start again
        // from it. Where the file system cannot swap, a plain rename.
        if (renameat2(AT_FDCWD, name.c_str(), AT_FDCWD, c.realpath.c_str(), RENAME_EXCHANGE) == 0) {
            struct stat out {};
            if (lstat(name.c_str(), &out) != 0 || !samestat(out, c.seen)) {
                if (renameat2(AT_FDCWD, name.c_str(), AT_FDCWD, c.realpath.c_str(), RENAME_EXCHANGE) != 0) {
                    // Theirs stays where it is rather than be lost.
                    hassavetemporary = 0;
                    return errno;
                }
                removesavetemporary();
                continue;
            }
            removesavetemporary(); // the old library
        } else if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
            int e = errno;
            removesavetemporary();
            return e;
        } else if (rename(name.c_str(), c.realpath.c_str()) != 0) {
            int e = errno;
            removesavetemporary();
            return e;
        }
        hassavetemporary = 0;
        // What we wrote, not what the name shows a moment later: a write by
        // another program just after the rename is then seen as a change.
        c.seen = written;
        journal.clear();
        return 0;
    }
    return EAGAIN; // the library kept changing; tried again later
}

} // namespace ovra
