#include "script/ScriptTokenizer.h"
#include "platform/ErrorCodes.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace ovra {

namespace {

bool isletter(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }

bool isdigit10(unsigned char c) { return c >= '0' && c <= '9'; }

// One pass over the text; each method reads one kind of token (or what is
// passed over) from the current position.
class Tokenizer {
public:
    Tokenizer(const char* text_, size_t length_) : text(text_), length(length_) {}

    std::vector<ScriptToken> run()
    {
        while (i < length) {
            unsigned char c = at(i);
            if (c == '\n' || c == '\r') {
                if (c == '\r' && at(i + 1) == '\n')
                    ++i;
                ++i;
                newline();
            } else if (c == ' ' || c == '\t') {
                ++i;
            } else if (c == 0xC2 && at(i + 1) == 0xAC) {
                continuation();
            } else if ((c == '-' && at(i + 1) == '-') || c == '#') {
                while (i < length && at(i) != '\n' && at(i) != '\r')
                    ++i;
            } else if (c == '(' && at(i + 1) == '*') {
                blockcomment();
            } else if (c == '"') {
                push(ScriptToken::STRING, stringliteral());
            } else if (isdigit10(c) || (c == '.' && isdigit10(at(i + 1)))) {
                number();
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
        return std::move(out);
    }

private:
    const char* text;
    size_t length;
    size_t i = 0;
    int line = 1;
    std::vector<ScriptToken> out;

    unsigned char at(size_t k) const { return k < length ? static_cast<unsigned char>(text[k]) : 0; }

    void push(ScriptToken::Kind kind, std::string s)
    {
        ScriptToken t;
        t.kind = kind;
        t.text = std::move(s);
        t.line = line;
        out.push_back(std::move(t));
    }

    void newline()
    {
        if (out.empty() || out.back().kind != ScriptToken::NEWLINE)
            push(ScriptToken::NEWLINE, "");
        ++line;
    }

    // "¬": the statement goes on on the next line.
    void continuation()
    {
        i += 2;
        while (at(i) == ' ' || at(i) == '\t')
            ++i;
        if (at(i) == '\r')
            ++i;
        if (at(i) == '\n')
            ++i;
        ++line;
    }

    // "(* ... *)", nested.
    void blockcomment()
    {
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
    }

    // The text of a string in double quotes, its escapes undone.
    std::string stringliteral()
    {
        std::string s;
        ++i;
        for (;;) {
            if (i >= length)
                throw SCRIPT_SYNTAX_ERROR; // string never closed
            unsigned char d = at(i++);
            if (d == '"')
                return s;
            if (d != '\\') {
                if (d == '\n')
                    ++line;
                s += static_cast<char>(d);
                continue;
            }
            if (i >= length)
                throw SCRIPT_SYNTAX_ERROR;
            switch (at(i++)) {
            case '"':
                s += '"';
                break;
            case '\\':
                s += '\\';
                break;
            case 'n':
                s += '\n';
                break;
            case 'r':
                s += '\r';
                break;
            case 't':
                s += '\t';
                break;
            default:
                throw SCRIPT_SYNTAX_ERROR;
            }
        }
    }

    // An integer, or a real where it has a fraction or an exponent or is too
    // large for an integer, as the language does.
    void number()
    {
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
        ScriptToken t;
        t.line = line;
        t.text = std::string(text + start, i - start);
        errno = 0;
        if (!real) {
            char* end = nullptr;
            long long v = std::strtoll(t.text.c_str(), &end, 10);
            if (errno == 0) {
                t.kind = ScriptToken::INTEGER;
                t.integer = v;
            } else {
                real = true;
            }
        }
        if (real) {
            t.kind = ScriptToken::REAL;
            t.real = std::strtod(t.text.c_str(), nullptr);
        }
        out.push_back(std::move(t));
    }
};

} // namespace

std::vector<ScriptToken> tokenizescript(const char* text, size_t length) { return Tokenizer(text, length).run(); }

} // namespace ovra
