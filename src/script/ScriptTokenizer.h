// Splits script text into words, numbers, strings, symbols and line ends.
#pragma once
#include <string>
#include <vector>

namespace ovra {

struct ScriptToken {
    enum Kind { WORD, INTEGER, REAL, STRING, SYMBOL, NEWLINE, END };
    Kind kind = END;
    std::string text; // the word, the string's contents, or the symbol
    long long integer = 0;
    double real = 0.0;
    int line = 1;
};

// Throws SCRIPT_SYNTAX_ERROR for text that is not made of tokens (an open
// string or comment, an unknown character, a bad escape).
std::vector<ScriptToken> tokenizescript(const char* text, size_t length);

} // namespace ovra
