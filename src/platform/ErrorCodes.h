// Every status code of the program's own layers, and their words. The layers
// throw a code as a plain int (a `throw SOME_CODE;` is caught by every
// `catch (int)`); system error numbers (errno) pass through unchanged.
//
//   > 0 and below 20000  errno
//   20101 .. 20134       the property-list reader
//   20201 .. 20229       MP4 atoms
//   20302 .. 20309       the script runner (returned, not thrown)
//   20601 .. 20606       the tag interface
//   20701 .. 20705       staged file updates
//   negative             the script interpreter, in the style of the desktop
//                        scripting system it stands in for
#pragma once
#include <cstddef>
#include <string>

namespace ovra {

// The property-list reader.
constexpr int PLIST_ERR_NOT_STRING = 20101;
constexpr int PLIST_ERR_NOT_INTEGER = 20102;
constexpr int PLIST_ERR_NOT_REAL = 20103;
constexpr int PLIST_ERR_NOT_BOOLEAN = 20104;
constexpr int PLIST_ERR_NOT_ARRAY = 20105;
constexpr int PLIST_ERR_NOT_DICT = 20106;
constexpr int PLIST_ERR_INDEX = 20107;
constexpr int PLIST_ERR_ROOT = 20108;
constexpr int PLIST_ERR_EOF_TAG = 20109;
constexpr int PLIST_ERR_TEXT_FOR_TAG = 20110;
constexpr int PLIST_ERR_MARKUP = 20111;
constexpr int PLIST_ERR_TAG_SPLIT = 20112;
constexpr int PLIST_ERR_TAG_LONG = 20113;
constexpr int PLIST_ERR_EOF_TEXT = 20114;
constexpr int PLIST_ERR_EMPTY_STRING_TAG = 20115;
constexpr int PLIST_ERR_EMPTY_INTEGER_TAG = 20116;
constexpr int PLIST_ERR_EMPTY_REAL_TAG = 20117;
constexpr int PLIST_ERR_FALSE_CONTENT = 20118;
constexpr int PLIST_ERR_TRUE_CONTENT = 20119;
constexpr int PLIST_ERR_GENERIC_END = 20120;
constexpr int PLIST_ERR_STRING_END = 20121;
constexpr int PLIST_ERR_INTEGER_TEXT = 20122;
constexpr int PLIST_ERR_INTEGER_END = 20123;
constexpr int PLIST_ERR_REAL_TEXT = 20124;
constexpr int PLIST_ERR_REAL_END = 20125;
constexpr int PLIST_ERR_ARRAY_END = 20126;
constexpr int PLIST_ERR_KEY_EXPECTED = 20127;
constexpr int PLIST_ERR_KEY_END = 20128;
constexpr int PLIST_ERR_VALUE_EXPECTED = 20129;
constexpr int PLIST_ERR_DICT_END = 20130;
constexpr int PLIST_ERR_NO_KEY = 20131;
constexpr int PLIST_ERR_OPEN = 20132;
constexpr int PLIST_ERR_TOO_DEEP = 20133;
constexpr int PLIST_ERR_REPEATED_KEY = 20134;

// MP4 atoms.
constexpr int ATOM_ERR_NOT_M4A = 20201;
constexpr int ATOM_ERR_NO_CHILD = 20202;
constexpr int ATOM_ERR_BAD_SIZE = 20206;
constexpr int ATOM_ERR_NO_PROGRESS = 20207;
constexpr int ATOM_ERR_NO_FILE = 20208;
constexpr int ATOM_ERR_NO_DATA = 20210;
constexpr int ATOM_ERR_TEXT_TYPE = 20211;
constexpr int ATOM_ERR_TMPO_SHORT = 20212;
constexpr int ATOM_ERR_TMPO_TYPE = 20213;
constexpr int ATOM_ERR_MDAT_UNKNOWN = 20216;
constexpr int ATOM_ERR_MDAT_LOST = 20217;
constexpr int ATOM_ERR_NO_STCO = 20218;
constexpr int ATOM_ERR_STCO_SHORT = 20219;
constexpr int ATOM_ERR_GNRE_SHORT = 20220;
constexpr int ATOM_ERR_GNRE_TYPE = 20221;
constexpr int ATOM_ERR_GNRE_RANGE = 20222;
constexpr int ATOM_ERR_NO_FREE = 20223;
constexpr int ATOM_ERR_TOO_LARGE = 20224;
constexpr int ATOM_ERR_CO64 = 20225;
constexpr int ATOM_ERR_OVERRUN = 20226;
constexpr int ATOM_ERR_TRUNCATED = 20227;
constexpr int ATOM_ERR_FRAGMENTED = 20228;
constexpr int ATOM_ERR_CHUNK_LOST = 20229;

// The script runner.
constexpr int SCRIPT_ALREADY_COMPILED = 20302;
constexpr int SCRIPT_NO_COMPONENT = 20307;
constexpr int SCRIPT_NOT_COMPILED = 20308;
constexpr int SCRIPT_RESULT_TOO_LONG = 20309;

// The tag interface.
constexpr int TAG_ERR_UNSUPPORTED = 20601;
constexpr int TAG_ERR_NOT_FOUND = 20602;
constexpr int TAG_ERR_UNUSABLE = 20603;
constexpr int TAG_ERR_LAYOUT = 20604;
constexpr int TAG_ERR_STREAM = 20605;      // an Ogg stream that cannot be rewritten safely
constexpr int TAG_ERR_AUDIO_MOVED = 20606; // a staged update that would change more than the tag

// Staged file updates.
constexpr int FILE_ERR_NOT_REGULAR = 20701;
constexpr int FILE_ERR_CHANGED = 20702;
constexpr int FILE_ERR_RANGE = 20703;
constexpr int FILE_ERR_JOURNAL = 20704; // the journal folder or a journal cannot be used
constexpr int FILE_ERR_PENDING = 20705; // an interrupted update of the track is not settled yet

// The script interpreter.
constexpr int SCRIPT_SYNTAX_ERROR = -2741;
constexpr int SCRIPT_CANT_GET = -1728;
constexpr int SCRIPT_NOT_UNDERSTOOD = -1708;
constexpr int SCRIPT_APP_NOT_FOUND = -10814;
constexpr int SCRIPT_CANT_MAKE = -1700;
constexpr int SCRIPT_CANT_SET = -10006;
constexpr int SCRIPT_UNDEFINED_VARIABLE = -2753;
constexpr int SCRIPT_FILE_NOT_FOUND = -43;
constexpr int SCRIPT_APP_FAILED = -2700;

// What a code means, in a few words without a full stop: the system's text
// for an errno, ours for every other code; "unknown error" for a code that
// is none of these.
std::string errorText(int code);
// The log's line for a code: "Error code <code>: <its words>." and a newline.
std::string errorcodeline(int code);

// A code and its words, for the tables that name codes.
struct CodeText {
    int code;
    const char* text;
};

// The words of code in table, or nullptr when it has none there.
template <size_t N>
constexpr const char* codetext(const CodeText (&table)[N], int code)
{
    for (const CodeText& t : table)
        if (t.code == code)
            return t.text;
    return nullptr;
}

} // namespace ovra
