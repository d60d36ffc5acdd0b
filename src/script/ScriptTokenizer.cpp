#include "script/ScriptTokenizer.h"
#include "script/ScriptErrors.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace ovra {

namespace {

bool isletter(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

bool isdigit10(unsigned char c)
{
    return c >= '0' && c <= '9';
}

} // namespace

std::vector<ScriptToken> tokenizescript(const char* text, size_t length)
{
    std::vector<ScriptToken> out;
    size_t i = 0;
    int line = 1;
    auto at = [&](size_t k) -> unsigned char { return k < length ? static_cast<unsigned char>(text[k]) : 0; };
    auto push = [&](ScriptToken::Kind kind, std::string s) {
        ScriptToken t;
        t.kind = kind;
        t.text = std::move(s);
        t.line = line;
        out.push_back(std::move(t));
    };
    auto newline = [&] {
        if (out.empty() || out.back().kind != ScriptToken::NEWLINE)
            push(ScriptToken::NEWLINE, "");
        ++line;
    };
    while (i < length) {
        unsigned char c = at(i);
        if (c == '\n' || c == '\r') {
            if (c == '\r' && at(i + 1) == '\n')
                ++i;
            ++i;
            newline();
        } else if (c == ' ' || c == '\t') {
            ++i;
        } else if (c == 0xC2 && at(i + 1) == 0xAC) { // "¬": the statement goes on on the next line
            i += 2;
            while (at(i) == ' ' || at(i) == '\t')
                ++i;
            if (at(i) == '\r')
                ++i;
            if (at(i) == '\n')
                ++i;
            ++line;
        } else if ((c == '-' && at(i + 1) == '-') || c == '#') {
            while (i < length && at(i) != '\n' && at(i) != '\r')
                ++i;
        } else if (c == '(' && at(i + 1) == '*') {
            int depth = 0;
            do {
                if (i >= length)
                    throw SCRIPT_SYNTAX_ERROR; // comment never closed
                if (at(i) == '(' && at(i + 1) == '*') {
                    ++depth;
                    i += 2;
                } else if (at(i) == '*' && at(i + 1) == ')') {
                    --depth;
                    i += 2;
                } else {
                    if (at(i) == '\n')
                        ++line;
                    ++i;
                }
            } while (depth > 0);
        } else if (c == '"') {
            std::string s;
            ++i;
            for (;;) {
                if (i >= length)
                    throw SCRIPT_SYNTAX_ERROR; // string never closed
                unsigned char d = at(i++);
                if (d == '"')
                    break;
                if (d == '\\') {
                    if (i >= length)
                        throw SCRIPT_SYNTAX_ERROR;
                    unsigned char e = at(i++);
                    switch (e) {
                    case '"': s += '"'; break;
                    case '\\': s += '\\'; break;
                    case 'n': s += '\n'; break;
                    case 'r': s += '\r'; break;
                    case 't': s += '\t'; break;
                    default: throw SCRIPT_SYNTAX_ERROR;
                    }
                } else {
                    if (d == '\n')
                        ++line;
                    s += static_cast<char>(d);
                }
            }
            push(ScriptToken::STRING, std::move(s));
        } else if (isdigit10(c) || (c == '.' && isdigit10(at(i + 1)))) {
            size_t start = i;
            bool real = false;
            while (isdigit10(at(i)))
                ++i;
            if (at(i) == '.' && isdigit10(at(i + 1))) {
                real = true;
                ++i;
                while (isdigit10(at(i)))
                    ++i;
            }
            if ((at(i) == 'e' || at(i) == 'E') &&
                (isdigit10(at(i + 1)) || ((at(i + 1) == '+' || at(i + 1) == '-') && isdigit10(at(i + 2))))) {
                real = true;
                i += 2;
                while (isdigit10(at(i)))
                    ++i;
            }
            if (isletter(at(i)))
                throw SCRIPT_SYNTAX_ERROR; // "12abc"
            std::string digits(text + start, i - start);
            ScriptToken t;
            t.line = line;
            t.text = digits;
            errno = 0;
            if (!real) {
                char* end = nullptr;
                long long v = std::strtoll(digits.c_str(), &end, 10);
                if (errno == 0) {
                    t.kind = ScriptToken::INTEGER;
                    t.integer = v;
                } else {
                    real = true; // too large for an integer: a real, as the language does
                }
            }
            if (real) {
                t.kind = ScriptToken::REAL;
                t.real = std::strtod(digits.c_str(), nullptr);
            }
            out.push_back(std::move(t));
        } else if (isletter(c)) {
            size_t start = i;
            while (isletter(at(i)) || isdigit10(at(i)))
                ++i;
            push(ScriptToken::WORD, std::string(text + start, i - start));
        } else if (std::strchr("{}(),&=-<>", c) != nullptr && c != 0) {
            push(ScriptToken::SYMBOL, std::string(1, static_cast<char>(c)));
            ++i;
        } else if (c == 0xE2 && at(i + 1) == 0x89 && at(i + 2) == 0xA0) { // "≠"
            push(ScriptToken::SYMBOL, "\xE2\x89\xA0");
            i += 3;
        } else {
            throw SCRIPT_SYNTAX_ERROR;
        }
    }
    newline();
    push(ScriptToken::END, "");
    return out;
}

} // namespace ovra
