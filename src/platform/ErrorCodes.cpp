#include "platform/ErrorCodes.h"

#include <cstring>
#include <iterator>

namespace ovra {

namespace {

constexpr int ERRNO_LIMIT = 20000; // our own ranges start above every errno

const CodeText TEXTS[] = {
    {PLIST_ERR_NOT_STRING, "a value is not a string"},
    {PLIST_ERR_NOT_INTEGER, "a value is not an integer"},
    {PLIST_ERR_NOT_REAL, "a value is not a real number"},
    {PLIST_ERR_NOT_BOOLEAN, "a value is not a boolean"},
    {PLIST_ERR_NOT_ARRAY, "a value is not an array"},
    {PLIST_ERR_NOT_DICT, "a value is not a dictionary"},
    {PLIST_ERR_INDEX, "an array has no such element"},
    {PLIST_ERR_ROOT, "the document does not begin with a dictionary"},
    {PLIST_ERR_EOF_TAG, "the file ends where a tag is expected"},
    {PLIST_ERR_TEXT_FOR_TAG, "there is text where a tag is expected"},
    {PLIST_ERR_MARKUP, "there is a comment or declaration (\"<!\") inside the document"},
    {PLIST_ERR_TAG_SPLIT, "a tag does not end on the line where it begins"},
    {PLIST_ERR_TAG_LONG, "a tag is 16 characters long or longer"},
    {PLIST_ERR_EOF_TEXT, "the file ends inside a text"},
    {PLIST_ERR_EMPTY_STRING_TAG, "a string is an empty tag (\"<string/>\")"},
    {PLIST_ERR_EMPTY_INTEGER_TAG, "an integer is an empty tag (\"<integer/>\")"},
    {PLIST_ERR_EMPTY_REAL_TAG, "a real number is an empty tag (\"<real/>\")"},
    {PLIST_ERR_FALSE_CONTENT, "a \"false\" element has content"},
    {PLIST_ERR_TRUE_CONTENT, "a \"true\" element has content"},
    {PLIST_ERR_GENERIC_END, "an element is not closed by its own end tag"},
    {PLIST_ERR_STRING_END, "a string is not closed by \"</string>\""},
    {PLIST_ERR_INTEGER_TEXT, "an integer holds no number"},
    {PLIST_ERR_INTEGER_END, "an integer is not closed by \"</integer>\""},
    {PLIST_ERR_REAL_TEXT, "a real number holds no number"},
    {PLIST_ERR_REAL_END, "a real number is not closed by \"</real>\""},
    {PLIST_ERR_ARRAY_END, "an array is closed by another end tag"},
    {PLIST_ERR_KEY_EXPECTED, "a dictionary entry does not begin with a key"},
    {PLIST_ERR_KEY_END, "a key is not closed by \"</key>\""},
    {PLIST_ERR_VALUE_EXPECTED, "a key has no value"},
    {PLIST_ERR_DICT_END, "a dictionary is closed by another end tag"},
    {PLIST_ERR_NO_KEY, "an entry is missing"},
    {PLIST_ERR_OPEN, "the file cannot be opened or is not a regular file"},
    {PLIST_ERR_TOO_DEEP, "arrays and dictionaries are nested more than 256 levels deep"},
    {PLIST_ERR_REPEATED_KEY, "a key occurs more than once in one dictionary"},

    {ATOM_ERR_NOT_M4A, "the file is not an M4A file (no \"ftypM4A \")"},
    {ATOM_ERR_NO_CHILD, "an atom is missing"},
    {ATOM_ERR_BAD_SIZE, "an atom's size is below 8"},
    {ATOM_ERR_NO_PROGRESS, "walking the atoms did not advance"},
    {ATOM_ERR_NO_FILE, "no file is open"},
    {ATOM_ERR_NO_DATA, "a metadata item has no 'data' atom"},
    {ATOM_ERR_TEXT_TYPE, "a text item is not marked as text"},
    {ATOM_ERR_TMPO_SHORT, "the tempo item is shorter than 10 bytes"},
    {ATOM_ERR_TMPO_TYPE, "the tempo item is not marked as an integer"},
    {ATOM_ERR_MDAT_UNKNOWN, "where the media data lies is not known"},
    {ATOM_ERR_MDAT_LOST, "the media data ('mdat') is not at the top level"},
    {ATOM_ERR_NO_STCO, "a track has no chunk-offset table ('stco')"},
    {ATOM_ERR_STCO_SHORT, "a chunk-offset table is shorter than 8 bytes"},
    {ATOM_ERR_GNRE_SHORT, "the genre item is shorter than 10 bytes"},
    {ATOM_ERR_GNRE_TYPE, "the genre item is not marked as a number"},
    {ATOM_ERR_GNRE_RANGE, "the genre number is not within 1-126"},
    {ATOM_ERR_NO_FREE, "there is no top-level 'free' atom to repair with"},
    {ATOM_ERR_TOO_LARGE, "the file is, or would become, 2 GiB or more"},
    {ATOM_ERR_CO64, "the file has 64-bit chunk offsets ('co64'), which are not edited"},
    {ATOM_ERR_OVERRUN, "an atom runs past its container"},
    {ATOM_ERR_TRUNCATED, "the file ends where its atoms say there is more"},
    {ATOM_ERR_FRAGMENTED, "the file is a fragmented MP4 file"},
    {ATOM_ERR_CHUNK_LOST, "a chunk offset points at bytes the edit removed"},

    {SCRIPT_ALREADY_COMPILED, "the script is already compiled"},
    {SCRIPT_NO_COMPONENT, "no script interpreter is available"},
    {SCRIPT_NOT_COMPILED, "the script is not compiled"},
    {SCRIPT_RESULT_TOO_LONG, "the script's result is too long"},

    {TAG_ERR_UNSUPPORTED, "this kind of tag does not support the operation"},
    {TAG_ERR_NOT_FOUND, "the item is not in the tag"},
    {TAG_ERR_UNUSABLE, "no usable tag, or a file of a kind that is not handled"},
    {TAG_ERR_LAYOUT, "the tag holds data that a write could not keep exactly"},
    {TAG_ERR_STREAM, "the Ogg stream is chained, multiplexed or damaged"},
    {TAG_ERR_AUDIO_MOVED, "the update would have changed more of the file than its tag"},

    {FILE_ERR_NOT_REGULAR, "not a regular file"},
    {FILE_ERR_CHANGED, "the file was changed by another program meanwhile"},
    {FILE_ERR_RANGE, "an edit or read outside the file"},
    {FILE_ERR_JOURNAL, "the journal folder or a journal in it cannot be used"},
    {FILE_ERR_PENDING, "an interrupted update of this file is not settled yet"},

    {SCRIPT_SYNTAX_ERROR, "syntax error"},
    {SCRIPT_CANT_GET, "can't get the object"},
    {SCRIPT_NOT_UNDERSTOOD, "command not understood"},
    {SCRIPT_APP_NOT_FOUND, "application not found"},
    {SCRIPT_CANT_MAKE, "value of the wrong kind"},
    {SCRIPT_CANT_SET, "can't set the property"},
    {SCRIPT_UNDEFINED_VARIABLE, "variable is not defined"},
    {SCRIPT_FILE_NOT_FOUND, "file not found"},
    {SCRIPT_APP_FAILED, "the application could not carry out the command"},
};

} // namespace

std::string errorText(int code)
{
    if (code > 0 && code < ERRNO_LIMIT)
        return std::strerror(code);
    if (const char* text = codetext(TEXTS, code))
        return text;
    return code == 0 ? "no error" : "unknown error";
}

std::string errorcodeline(int code) { return "Error code " + std::to_string(code) + ": " + errorText(code) + ".\n"; }

} // namespace ovra
