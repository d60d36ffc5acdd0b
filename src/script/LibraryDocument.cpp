#include "script/LibraryDocument.h"
#include "platform/ErrorCodes.h"
#include "plist/LibraryRules.h"
#include "script/XmlScanner.h"
#include "tags/FaultableIO.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace ovra {

namespace {

// Where a key goes among the others when a track gets it for the first time.
// clang-format off
const char* const KEY_ORDER[] = {
    "Track ID", "Name", "Artist", "Album Artist", "Composer", "Album", "Grouping", "Genre", "Kind",
    "Size", "Total Time", "Start Time", "Stop Time", "Disc Number", "Disc Count", "Track Number",
    "Track Count", "Year", "BPM", "Date Modified", "Date Added", "Bit Rate", "Sample Rate",
    "Volume Adjustment", "Comments", "Play Count", "Play Date", "Play Date UTC", "Skip Count",
    "Skip Date", "Release Date", "Rating", "Album Rating", "Album Rating Computed", "Normalization",
    "Artwork Count", "Persistent ID", "Track Type", "Location", "File Folder Count",
    "Library Folder Count"};
// clang-format on

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

bool samestat(const struct stat& a, const struct stat& b)
{
    return a.st_ino == b.st_ino && a.st_dev == b.st_dev && a.st_size == b.st_size &&
        a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// The number of an "integer" element's raw text, as the batch reads it.
bool integertext(std::string_view raw, int32_t& value) { return parseplistinteger(std::string(raw).c_str(), value); }

// A key of "Tracks" names track id only as the batch writes it ("%d" of the
// number): "+10" or "010" name no track.
bool trackkey(std::string_view raw, int64_t& id)
{
    if (raw.empty() || raw.size() > 20)
        return false;
    std::string text(raw);
    char* endp = nullptr;
    errno = 0;
    long long n = std::strtoll(text.c_str(), &endp, 10);
    if (errno != 0 || endp == text.c_str() || *endp != '\0')
        return false;
    char canonical[32];
    std::snprintf(canonical, sizeof canonical, "%lld", n);
    if (text != canonical)
        return false;
    id = n;
    return true;
}

// One child of a dictionary element: an element, a run of character data or
// other markup (a comment, say). Positions are within the dictionary's text.
struct Child {
    enum Kind { ELEMENT, TEXT, OTHER } kind;
    size_t begin, end;
    size_t contentBegin, contentEnd; // an element's, between its tags
    std::string_view name;
};

// The children of the dictionary element that dict holds, and where its end
// tag begins (npos for "<dict/>"). False when it cannot be read.
bool dictchildren(std::string_view dict, std::vector<Child>& out, size_t& contentEnd)
{
    out.clear();
    XmlScanner scanner(dict);
    XmlToken t;
    if (scanner.next(t) != XmlScanner::TOKEN || t.kind != XmlToken::START)
        return false;
    contentEnd = std::string_view::npos;
    if (t.selfclosing)
        return true;
    int depth = 0;
    Child element{};
    while (scanner.next(t) == XmlScanner::TOKEN) {
        if (depth == 0) {
            if (t.kind == XmlToken::END) {
                contentEnd = t.begin;
                return true;
            }
            if (t.kind != XmlToken::START) {
                out.push_back({t.kind == XmlToken::TEXT ? Child::TEXT : Child::OTHER, t.begin, t.end, 0, 0, {}});
                continue;
            }
            element = {Child::ELEMENT, t.begin, t.end, t.end, t.end, t.name};
            if (t.selfclosing)
                out.push_back(element);
            else
                depth = 1;
        } else if (t.kind == XmlToken::START && !t.selfclosing) {
            ++depth;
        } else if (t.kind == XmlToken::END && --depth == 0) {
            element.contentEnd = t.begin;
            element.end = t.end;
            out.push_back(element);
        }
    }
    return false;
}

// The next element among children from index i on, or -1.
long nextelement(const std::vector<Child>& children, size_t i)
{
    for (; i < children.size(); ++i)
        if (children[i].kind == Child::ELEMENT)
            return static_cast<long>(i);
    return -1;
}

std::string_view content(std::string_view dict, const Child& c)
{
    return dict.substr(c.contentBegin, c.contentEnd - c.contentBegin);
}

// The value element of key among a dictionary's children, or -1; also -1 when
// the key occurs more than once (which value is meant cannot be told). Keys
// compare as written, as the batch's reader compares them; elements pair up
// in order, key and value.
long valueof(std::string_view dict, const std::vector<Child>& children, std::string_view key)
{
    long found = -1;
    for (long k = nextelement(children, 0); k >= 0;) {
        long v = nextelement(children, static_cast<size_t>(k) + 1);
        if (v < 0)
            break;
        const Child& kc = children[static_cast<size_t>(k)];
        if (kc.name == "key" && content(dict, kc) == key) {
            if (found >= 0)
                return -1;
            found = v;
        }
        k = nextelement(children, static_cast<size_t>(v) + 1);
    }
    return found;
}

// A track's dictionary split into its children, and where the value of one
// key stands among them (-1: no such key, or more than one).
struct TrackEntry {
    std::string scratch; // holds the dictionary when it was changed since reading
    std::string_view dict;
    std::vector<Child> ch;
    size_t contentEnd = 0;
    long value = -1;

    bool read(std::string_view d, std::string_view key)
    {
        dict = d;
        if (dict.empty() || !dictchildren(dict, ch, contentEnd))
            return false;
        value = valueof(dict, ch, key);
        return true;
    }
    // The value's content when it is an element of that name.
    bool valuetext(std::string_view element, std::string_view& text) const
    {
        if (value < 0 || ch[static_cast<size_t>(value)].name != element)
            return false;
        text = content(dict, ch[static_cast<size_t>(value)]);
        return true;
    }
};

bool iswhitespace(std::string_view dict, const std::vector<Child>& children, long i)
{
    if (i < 0 || i >= static_cast<long>(children.size()) || children[static_cast<size_t>(i)].kind != Child::TEXT)
        return false;
    const Child& c = children[static_cast<size_t>(i)];
    std::string_view t = dict.substr(c.begin, c.end - c.begin);
    return !t.empty() && t.find_first_not_of(" \t\n\r") == std::string_view::npos;
}

std::string_view bytesof(std::string_view dict, const std::vector<Child>& children, long i)
{
    const Child& c = children[static_cast<size_t>(i)];
    return dict.substr(c.begin, c.end - c.begin);
}

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
    // Read into one block of the file's size: no second copy on the way. A
    // file that grows meanwhile is read to its end all the same.
    text.clear();
    text.resize(static_cast<size_t>(st.st_size) + 1);
    size_t have = 0;
    for (;;) {
        if (have == text.size())
            text.resize(text.size() * 2);
        ssize_t n = ::read(fd, text.data() + have, text.size() - have);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ::close(fd);
            return SCRIPT_FILE_NOT_FOUND;
        }
        if (n == 0)
            break;
        have += static_cast<size_t>(n);
    }
    ::close(fd);
    text.resize(have);
    return 0;
}

} // namespace

int LibraryDocument::load(const std::string& path)
{
    filepath = path;
    journal.clear();
    return parse(path);
}

int LibraryDocument::parse(const std::string& path)
{
    Contents n;
    char real[PATH_MAX];
    if (::realpath(path.c_str(), real) == nullptr)
        return SCRIPT_FILE_NOT_FOUND;
    struct stat st {};
    if (int e = readregularfile(real, n.text, st))
        return e;
    if (!index(n))
        return SCRIPT_APP_FAILED;
    n.realpath = real;
    n.seen = st;
    c = std::move(n);
    patched.clear();
    positions.assign(c.playlists.size(), {});
    isloaded = true;
    return 0;
}

namespace {

// What an element is to the index, from where it stands.
enum class Role : uint8_t {
    OTHER,
    PLIST,     // the top element
    ROOT,      // its first element, the dictionary of everything
    TRACKS,    // the value of "Tracks"
    TRACK,     // a track's dictionary
    PLAYLISTS, // the value of "Playlists"
    PLAYLIST,  // a playlist's dictionary
    ITEMS,     // its "Playlist Items"
    ITEM,      // one item's dictionary
    KEY,       // a key whose text is wanted
    VALUE,     // a value whose text is wanted
};
enum class Wanted : uint8_t { NONE, PERSISTENT_ID, NAME, TRACK_ID };

struct Frame {
    Role role = Role::OTHER;
    Wanted wanted = Wanted::NONE;
    std::string_view name;
    size_t contentBegin = 0;
    size_t children = 0;  // elements so far
    bool keyed = false;   // the last element in a key's place was a "key"
    std::string_view key; // its raw text
};

bool pairs(Role r)
{
    return r == Role::ROOT || r == Role::TRACKS || r == Role::TRACK || r == Role::PLAYLIST || r == Role::ITEM;
}

// One pass over the whole text, by the rules the batch's reader keeps
// (plist/LibraryRules.h): what it finds in one dictionary is decided when
// the dictionary ends.
class Indexer {
public:
    explicit Indexer(std::string_view text) : text(text) {}

    struct Candidate {
        int64_t id;
        size_t begin, end;
        uint64_t persistentid;
        bool ambiguous;
        bool haspersistentid;
    };
    struct FoundPlaylist {
        size_t nameBegin = 0, nameEnd = 0;
        std::vector<int64_t> items;
    };
    std::vector<Candidate> tracks;
    std::vector<FoundPlaylist> playlists;
    int tracksKeys = 0, playlistsKeys = 0;

    bool run()
    {
        XmlScanner scanner(text);
        XmlToken t;
        for (;;) {
            XmlScanner::Result r = scanner.next(t);
            if (r == XmlScanner::DONE)
                break;
            if (r == XmlScanner::BAD || broken)
                return false;
            if (t.kind == XmlToken::END) {
                if (stack.empty() || stack.back().name != t.name)
                    return false;
                Frame f = stack.back();
                stack.pop_back();
                close(f, t.begin, t.end);
            } else if (t.kind == XmlToken::START) {
                Frame f = open(t);
                if (t.selfclosing)
                    close(f, t.end, t.end);
                else
                    stack.push_back(f);
            }
        }
        return stack.empty() && rootseen && !broken;
    }

private:
    std::string_view text;
    std::vector<Frame> stack;
    bool plistseen = false, rootseen = false, broken = false;
    // The track, playlist and item being read (none of them nests in itself).
    std::vector<std::string_view> trackkeys;
    int pidkeys = 0;
    bool pidisstring = false;
    std::string_view pidtext;
    FoundPlaylist playlist;
    int namekeys = 0, itemskeys = 0;
    int idkeys = 0;
    bool idisinteger = false, idok = false;
    int32_t idvalue = 0;

    Frame open(const XmlToken& t)
    {
        Frame f;
        f.name = t.name;
        f.contentBegin = t.end;
        if (stack.empty()) {
            if (!plistseen && t.name == "plist") {
                plistseen = true;
                f.role = Role::PLIST;
            }
            return f;
        }
        Frame& p = stack.back();
        size_t index = p.children++;
        if (p.role == Role::PLIST) {
            if (index == 0) {
                broken = t.name != "dict";
                rootseen = true;
                f.role = Role::ROOT;
            }
        } else if (p.role == Role::PLAYLISTS) {
            if (t.name == "dict") {
                f.role = Role::PLAYLIST;
                playlist = FoundPlaylist();
                namekeys = itemskeys = 0;
            }
        } else if (p.role == Role::ITEMS) {
            if (t.name == "dict") {
                f.role = Role::ITEM;
                idkeys = 0;
                idok = false;
            }
        } else if (pairs(p.role)) {
            if (index % 2 == 0) {
                p.keyed = t.name == "key";
                p.key = {};
                if (p.keyed)
                    f.role = Role::KEY;
            } else if (p.keyed) {
                value(p, t, f);
            }
        }
        return f;
    }

    void value(const Frame& p, const XmlToken& t, Frame& f)
    {
        std::string_view key = p.key;
        if (p.role == Role::ROOT) {
            if (key == "Tracks") {
                ++tracksKeys;
                if (t.name == "dict")
                    f.role = Role::TRACKS;
            } else if (key == "Playlists") {
                ++playlistsKeys;
                if (t.name == "array")
                    f.role = Role::PLAYLISTS;
            }
        } else if (p.role == Role::TRACKS) {
            int64_t id = 0;
            if (!trackkey(key, id))
                return;
            bool dict = t.name == "dict";
            tracks.push_back({id, t.begin, t.end, 0, !dict, false});
            if (dict) {
                f.role = Role::TRACK;
                trackkeys.clear();
                pidkeys = 0;
            }
        } else if (p.role == Role::TRACK) {
            if (key == "Persistent ID") {
                ++pidkeys;
                pidisstring = t.name == "string";
                pidtext = {};
                f.role = Role::VALUE;
                f.wanted = Wanted::PERSISTENT_ID;
            }
        } else if (p.role == Role::PLAYLIST) {
            if (key == "Name") {
                ++namekeys;
                f.role = Role::VALUE;
                f.wanted = Wanted::NAME;
            } else if (key == "Playlist Items") {
                ++itemskeys;
                playlist.items.clear();
                if (t.name == "array")
                    f.role = Role::ITEMS;
            }
        } else if (p.role == Role::ITEM) {
            if (key == "Track ID") {
                ++idkeys;
                idisinteger = t.name == "integer";
                f.role = Role::VALUE;
                f.wanted = Wanted::TRACK_ID;
            }
        }
    }

    void close(const Frame& f, size_t contentEnd, size_t end)
    {
        std::string_view raw = text.substr(f.contentBegin, contentEnd - f.contentBegin);
        switch (f.role) {
        case Role::KEY:
            stack.back().key = raw;
            if (stack.back().role == Role::TRACK)
                trackkeys.push_back(raw);
            break;
        case Role::VALUE:
            if (f.wanted == Wanted::PERSISTENT_ID) {
                pidtext = raw;
            } else if (f.wanted == Wanted::NAME) {
                playlist.nameBegin = f.contentBegin;
                playlist.nameEnd = contentEnd;
            } else if (f.wanted == Wanted::TRACK_ID) {
                idok = idisinteger && integertext(raw, idvalue);
            }
            break;
        case Role::TRACK: {
            // A track that cannot be told apart from another is never
            // selected: its dictionary repeats a key, or its persistent ID
            // is malformed.
            Candidate& track = tracks.back();
            track.end = end;
            std::sort(trackkeys.begin(), trackkeys.end());
            uint64_t pid = 0;
            if (std::adjacent_find(trackkeys.begin(), trackkeys.end()) != trackkeys.end())
                track.ambiguous = true;
            else if (pidkeys == 1 && (!pidisstring || !parsepersistentid(pidtext.data(), pidtext.size(), pid)))
                track.ambiguous = true;
            else if (pidkeys == 1) {
                track.persistentid = pid;
                track.haspersistentid = true;
            }
            break;
        }
        case Role::ITEM:
            if (idkeys == 1 && idok)
                playlist.items.push_back(idvalue);
            break;
        case Role::PLAYLIST:
            if (namekeys != 1)
                playlist.nameBegin = playlist.nameEnd = 0;
            if (itemskeys != 1)
                playlist.items.clear();
            playlists.push_back(std::move(playlist));
            playlist = FoundPlaylist();
            break;
        default:
            break;
        }
    }
};

} // namespace

bool LibraryDocument::index(Contents& n)
{
    Indexer found(n.text);
    if (!found.run())
        return false;
    // "Tracks" and "Playlists" are read only when they occur once.
    if (found.tracksKeys != 1)
        found.tracks.clear();
    if (found.playlistsKeys != 1)
        found.playlists.clear();
    // A key that repeats in "Tracks" names no track.
    auto& t = found.tracks;
    std::stable_sort(t.begin(), t.end(), [](const auto& a, const auto& b) { return a.id < b.id; });
    for (size_t i = 0; i < t.size();) {
        size_t j = i + 1;
        while (j < t.size() && t[j].id == t[i].id)
            ++j;
        for (size_t k = i; j - i > 1 && k < j; ++k)
            t[k].ambiguous = true;
        i = j;
    }
    for (const auto& track : t) {
        if (track.ambiguous)
            continue;
        n.tracks.push_back({track.id, track.begin, track.end});
        if (track.haspersistentid)
            n.persistentids.emplace_back(track.persistentid, track.id);
    }
    std::vector<Indexer::Candidate>().swap(t);
    std::sort(n.persistentids.begin(), n.persistentids.end());
    for (auto& p : found.playlists) {
        Playlist list;
        list.nameBegin = p.nameBegin;
        list.nameEnd = p.nameEnd;
        for (int64_t id : p.items) {
            auto it = std::lower_bound(n.tracks.begin(), n.tracks.end(), id,
                                       [](const Track& a, int64_t b) { return a.id < b; });
            if (it != n.tracks.end() && it->id == id)
                list.items.push_back(id);
        }
        list.items.shrink_to_fit();
        n.playlists.push_back(std::move(list));
    }
    return true;
}

const LibraryDocument::Track* LibraryDocument::findtrack(int64_t id) const
{
    auto it =
        std::lower_bound(c.tracks.begin(), c.tracks.end(), id, [](const Track& a, int64_t b) { return a.id < b; });
    return it != c.tracks.end() && it->id == id ? &*it : nullptr;
}

std::string_view LibraryDocument::trackdict(int64_t id, std::string& scratch) const
{
    const Track* t = findtrack(id);
    if (t == nullptr)
        return {};
    std::string_view base = std::string_view(c.text).substr(t->begin, t->end - t->begin);
    auto p = patched.find(id);
    if (p == patched.end())
        return base;
    scratch.clear();
    size_t at = 0;
    for (const Splice& sp : p->second) {
        scratch.append(base.substr(at, sp.at - at)).append(sp.inserted);
        at = sp.at + sp.removed;
    }
    scratch.append(base.substr(at));
    return scratch;
}

void LibraryDocument::change(int64_t track, std::string_view now, size_t at, size_t removed, std::string inserted)
{
    // The splices that the change overlaps or touches become one with it.
    // Positions in the text as it now reads are "now", in the text as read "base".
    std::vector<Splice>& list = patched[track];
    const size_t end = at + removed;
    std::vector<long long> shift(list.size() + 1, 0); // growth of the splices before each
    for (size_t i = 0; i < list.size(); ++i)
        shift[i + 1] =
            shift[i] + static_cast<long long>(list[i].inserted.size()) - static_cast<long long>(list[i].removed);
    auto nowbegin = [&](size_t i) { return static_cast<size_t>(static_cast<long long>(list[i].at) + shift[i]); };
    auto nowend = [&](size_t i) { return nowbegin(i) + list[i].inserted.size(); };
    size_t first = 0;
    while (first < list.size() && nowend(first) < at)
        ++first;
    size_t last = first;
    while (last < list.size() && nowbegin(last) <= end)
        ++last;
    size_t from = at, to = end;
    size_t basefrom = static_cast<size_t>(static_cast<long long>(at) - shift[first]);
    size_t baseto = static_cast<size_t>(static_cast<long long>(end) - shift[last]);
    if (last > first && nowbegin(first) < at) {
        from = nowbegin(first);
        basefrom = list[first].at;
    }
    if (last > first && nowend(last - 1) > end) {
        to = nowend(last - 1);
        baseto = list[last - 1].at + list[last - 1].removed;
    }
    std::string merged;
    merged.append(now.substr(from, at - from)).append(inserted).append(now.substr(end, to - end));
    list.erase(list.begin() + static_cast<long>(first), list.begin() + static_cast<long>(last));
    list.insert(list.begin() + static_cast<long>(first), Splice{basefrom, baseto - basefrom, std::move(merged)});
}

const std::vector<int64_t>& LibraryDocument::playlisttracks(int index) const
{
    static const std::vector<int64_t> none;
    if (index < 1 || index > playlistcount())
        return none;
    return c.playlists[static_cast<size_t>(index - 1)].items;
}

const std::vector<int64_t>& LibraryDocument::trackswithpersistentid(uint64_t id) const
{
    found.clear();
    auto it = std::lower_bound(c.persistentids.begin(), c.persistentids.end(), std::make_pair(id, INT64_MIN));
    for (; it != c.persistentids.end() && it->first == id; ++it)
        found.push_back(it->second);
    return found;
}

long LibraryDocument::playlistposition(int index, int64_t track) const
{
    if (index < 1 || index > playlistcount())
        return -1;
    auto& places = positions[static_cast<size_t>(index - 1)];
    const auto& items = c.playlists[static_cast<size_t>(index - 1)].items;
    if (places.empty() && !items.empty()) {
        places.reserve(items.size());
        for (size_t i = 0; i < items.size(); ++i)
            places.emplace_back(items[i], static_cast<long>(i));
        std::stable_sort(places.begin(), places.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        // The first place wins.
        places.erase(
            std::unique(places.begin(), places.end(), [](const auto& a, const auto& b) { return a.first == b.first; }),
            places.end());
    }
    auto it =
        std::lower_bound(places.begin(), places.end(), track, [](const auto& a, int64_t b) { return a.first < b; });
    return it != places.end() && it->first == track ? it->second : -1;
}

std::string LibraryDocument::playlistname(int index) const
{
    if (index < 1 || index > playlistcount())
        return {};
    const Playlist& p = c.playlists[static_cast<size_t>(index - 1)];
    return xmldecode(std::string_view(c.text).substr(p.nameBegin, p.nameEnd - p.nameBegin));
}

bool LibraryDocument::getinteger(int64_t track, const char* key, int64_t& value) const
{
    TrackEntry e;
    std::string_view text;
    int32_t n = 0;
    if (!e.read(trackdict(track, e.scratch), key) || !e.valuetext("integer", text) || !integertext(text, n))
        return false;
    value = n;
    return true;
}

bool LibraryDocument::getstring(int64_t track, const char* key, std::string& value) const
{
    TrackEntry e;
    std::string_view text;
    if (!e.read(trackdict(track, e.scratch), key) || !e.valuetext("string", text))
        return false;
    value = xmldecode(text);
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
    TrackEntry e;
    if (!e.read(trackdict(track, e.scratch), key))
        return false;
    const std::string_view dict = e.dict;
    const std::vector<Child>& ch = e.ch;
    const size_t contentEnd = e.contentEnd;
    const std::string number = "<integer>" + std::to_string(value) + "</integer>";
    const long v = e.value;
    if (v >= 0) {
        const Child& old = ch[static_cast<size_t>(v)];
        if (old.name == "integer" && content(dict, old) == std::to_string(value))
            return false;
        change(track, dict, old.begin, old.end - old.begin, number);
        return true;
    }
    // A new entry: before the first key that comes after it in the usual order,
    // with the same white space as the entries around it.
    int rank = keyrank(key);
    long before = -1, lastkey = -1;
    for (long k = nextelement(ch, 0); k >= 0;) {
        long val = nextelement(ch, static_cast<size_t>(k) + 1);
        if (ch[static_cast<size_t>(k)].name == "key") {
            int r = keyrank(xmldecode(content(dict, ch[static_cast<size_t>(k)])));
            if (before < 0 && rank >= 0 && r > rank)
                before = k;
            lastkey = k;
        }
        if (val < 0)
            break;
        k = nextelement(ch, static_cast<size_t>(val) + 1);
    }
    long sample = before >= 0 ? before : lastkey;
    std::string lead = "\n"; // white space before a key
    std::string inner;       // white space between a key and its value
    if (sample >= 0) {
        if (iswhitespace(dict, ch, sample - 1))
            lead = bytesof(dict, ch, sample - 1);
        if (iswhitespace(dict, ch, sample + 1))
            inner = bytesof(dict, ch, sample + 1);
    }
    const std::string entry = "<key>" + key + "</key>" + inner + number;
    if (before >= 0) {
        change(track, dict, ch[static_cast<size_t>(before)].begin, 0, entry + lead);
    } else if (contentEnd == std::string_view::npos) {
        // "<dict/>" gets a start and an end tag.
        change(track, dict, 0, dict.size(),
               std::string(dict.substr(0, dict.size() - 2)) + ">" + lead + entry + "</dict>");
    } else {
        // The white space before </dict> stays last.
        long tail = static_cast<long>(ch.size()) - 1;
        size_t at = iswhitespace(dict, ch, tail) ? ch[static_cast<size_t>(tail)].begin : contentEnd;
        change(track, dict, at, 0, lead + entry);
    }
    return true;
}

bool LibraryDocument::applyremove(int64_t track, const std::string& key)
{
    TrackEntry e;
    if (!e.read(trackdict(track, e.scratch), key) || e.value < 0)
        return false;
    long k = e.value - 1;
    while (e.ch[static_cast<size_t>(k)].kind != Child::ELEMENT)
        --k;
    // The key, what lies between it and the value, the value, and the white
    // space that led up to the key.
    const Child& first = e.ch[static_cast<size_t>(iswhitespace(e.dict, e.ch, k - 1) ? k - 1 : k)];
    change(track, e.dict, first.begin, e.ch[static_cast<size_t>(e.value)].end - first.begin, {});
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

// Buffered writes to a file; the first error stays.
class Output {
public:
    explicit Output(int fd) : fd(fd) { buffer.reserve(SIZE); }
    void put(std::string_view bytes)
    {
        if (buffer.size() + bytes.size() > SIZE) {
            flush();
            if (bytes.size() >= SIZE) {
                writeall(bytes);
                return;
            }
        }
        buffer.append(bytes);
    }
    int finish()
    {
        flush();
        return error;
    }

private:
    static constexpr size_t SIZE = size_t(1) << 20;
    void flush()
    {
        writeall(buffer);
        buffer.clear();
    }
    // Through the counted calls of the file-writing layer, so that a test can
    // stop the save at any of its writes.
    void writeall(std::string_view bytes)
    {
        if (error != 0)
            return;
        error = iopwrite(fd, bytes.data(), bytes.size(), at);
        at += int64_t(bytes.size());
    }
    int fd;
    int64_t at = 0;
    int error = 0;
    std::string buffer;
};

} // namespace

int LibraryDocument::writetemporary(std::string& name, struct stat& written) const
{
    size_t slash = c.realpath.rfind('/');
    std::string tmp = c.realpath.substr(0, slash + 1) + "." + c.realpath.substr(slash + 1) + ".XXXXXX";
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
    // The bytes as read, with each changed track's splices in its place.
    std::vector<std::pair<const Track*, const std::vector<Splice>*>> changed;
    for (const auto& [id, splices] : patched)
        if (const Track* t = findtrack(id))
            changed.emplace_back(t, &splices);
    std::sort(changed.begin(), changed.end(),
              [](const auto& a, const auto& b) { return a.first->begin < b.first->begin; });
    Output out(fd);
    std::string_view text = c.text;
    size_t at = 0;
    for (const auto& [t, splices] : changed) {
        out.put(text.substr(at, t->begin - at));
        size_t from = t->begin;
        for (const Splice& sp : *splices) {
            out.put(text.substr(from, t->begin + sp.at - from));
            out.put(sp.inserted);
            from = t->begin + sp.at + sp.removed;
        }
        out.put(text.substr(from, t->end - from));
        at = t->end;
    }
    out.put(text.substr(at));
    int e = out.finish();
    // The mode first, so that the flush makes it durable with the bytes (a
    // file system without modes keeps its own).
    if (e == 0)
        (void)fchmod(fd, c.seen.st_mode & 07777);
    if (e == 0)
        e = iofsync(fd);
    if (e == 0 && fstat(fd, &written) != 0)
        e = errno;
    if (::close(fd) != 0 && e == 0)
        e = errno;
    if (e != 0)
        removesavetemporary();
    return e;
}

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
        if (int e = writetemporary(name, written))
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
        // The new name is on disk before the change is reported as saved;
        // until then the changes stay, for the next save.
        if (int e = iofsyncfolder(c.realpath.substr(0, c.realpath.rfind('/') + 1).c_str()))
            return e;
        journal.clear();
        return 0;
    }
    return EAGAIN; // the library kept changing; tried again later
}

} // namespace ovra
