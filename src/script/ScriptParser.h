// Parses script text into a tree of statements and expressions. Terms of an
// application (multi-word class, property and command names) are known inside
// its tell block, so an unknown application is an error at parse time.
#pragma once
#include "script/ScriptApplication.h"
#include "script/ScriptTokenizer.h"
#include "script/ScriptValue.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ovra {

struct ScriptNode {
    enum Type {
        // statements
        BLOCK,
        TELL,
        SET,
        IF,
        RETURN,
        COMMAND,
        EXPRESSION,
        // expressions
        LITERAL,
        LISTLITERAL,
        VARIABLE,
        PROPERTY,
        EVERY,
        INDEX,
        POSIXFILE,
        APPLICATION,
        COMPARE,
        NEGATE,
        NOT,
        CONCAT,
        CLASSNAME,
        WHOSETEST,
    };

    Type type = BLOCK;
    std::string name;                 // variable, class, property, command or application name
    bool negate = false;              // COMPARE and WHOSETEST "is not"
    int64_t ordinal = 0;              // INDEX by ordinal word (first = 1, last = -1) when kids[0] is null
    ScriptValue value;                // LITERAL
    ScriptApplication* app = nullptr; // TELL and COMMAND
    int line = 0;
    // BLOCK: statements. TELL: block. SET: target, value. IF: condition, then, else (may be null).
    // RETURN/COMMAND: value (may be null). PROPERTY: container. EVERY: container (may be null),
    // then the tests of its whose clause, if any. WHOSETEST: value (name is the property).
    // INDEX: index (may be null), container (may be null).
    // COMPARE/CONCAT: left, right. NEGATE/NOT/POSIXFILE/APPLICATION: operand.
    std::vector<std::unique_ptr<ScriptNode>> kids;
};

using ScriptAppLookup = std::function<ScriptApplication*(const std::string& name)>;

// Throws SCRIPT_SYNTAX_ERROR, or SCRIPT_APP_NOT_FOUND for a tell to an unknown application.
std::unique_ptr<ScriptNode> parsescript(const char* text, size_t length, const ScriptAppLookup& lookup);

} // namespace ovra
