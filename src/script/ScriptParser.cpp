#include "script/ScriptParser.h"
#include "platform/ErrorCodes.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace ovra {

namespace {

// Nesting deeper than this is refused, so that no text can exhaust the stack.
constexpr int MAX_DEPTH = 200;

const ScriptTerms& builtinterms()
{
    static const ScriptTerms terms{
        {"list", "text", "string", "integer", "real", "boolean", "item", "class", "posix file"}, {"class"}, {}};
    return terms;
}

const char* const ORDINALS[] = {"first", "second",  "third",  "fourth", "fifth",
                                "sixth", "seventh", "eighth", "ninth",  "tenth"};

// Words that end or join expressions and can never name a variable.
const char* const RESERVED[] = {"and",    "application", "else", "end", "equal", "equals", "every", "false",
                                "if",     "in",          "is",   "it",  "its",   "not",    "of",    "or",
                                "return", "set",         "tell", "the", "then",  "to",     "true",  "whose"};

std::string lower(const std::string& s)
{
    std::string r = s;
    for (char& c : r)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c + 32);
    return r;
}

class Parser {
public:
    Parser(std::vector<ScriptToken> t, const ScriptAppLookup& l) : toks(std::move(t)), lookup(l) {}

    std::unique_ptr<ScriptNode> script()
    {
        auto block = parseblock(false);
        if (peek().kind != ScriptToken::END)
            fail(); // a stray "end" or "else"
        return block;
    }

private:
    std::vector<ScriptToken> toks;
    const ScriptAppLookup& lookup;
    size_t pos = 0;
    int depth = 0;
    std::vector<ScriptApplication*> targets; // tell blocks we are in

    struct DepthGuard {
        int& d;
        explicit DepthGuard(int& depth) : d(depth)
        {
            if (++d > MAX_DEPTH)
                throw SCRIPT_SYNTAX_ERROR;
        }
        ~DepthGuard() { --d; }
    };

    [[noreturn]] static void fail() { throw SCRIPT_SYNTAX_ERROR; }

    const ScriptToken& peek(size_t ahead = 0) const
    {
        size_t k = std::min(pos + ahead, toks.size() - 1);
        return toks[k];
    }
    bool isword(const char* w, size_t ahead = 0) const
    {
        const ScriptToken& t = peek(ahead);
        return t.kind == ScriptToken::WORD && sameword(t.text, w);
    }
    bool issymbol(const char* s, size_t ahead = 0) const
    {
        const ScriptToken& t = peek(ahead);
        return t.kind == ScriptToken::SYMBOL && t.text == s;
    }
    bool atlineend() const
    {
        auto k = peek().kind;
        return k == ScriptToken::NEWLINE || k == ScriptToken::END;
    }
    void expectword(const char* w)
    {
        if (!isword(w))
            fail();
        ++pos;
    }
    void expectlineend()
    {
        if (peek().kind == ScriptToken::NEWLINE)
            ++pos;
        else if (peek().kind != ScriptToken::END)
            fail();
    }
    static bool reserved(const std::string& w)
    {
        std::string l = lower(w);
        for (const char* r : RESERVED)
            if (l == r)
                return true;
        return false;
    }

    std::unique_ptr<ScriptNode> node(ScriptNode::Type type)
    {
        auto n = std::make_unique<ScriptNode>();
        n->type = type;
        n->line = peek().line;
        return n;
    }

    // The longest term of the list that the next words spell; its word count or 0.
    size_t matchterm(const std::vector<std::string>& list, std::string& found) const
    {
        size_t best = 0;
        for (const std::string& term : list) {
            size_t words = 0, start = 0;
            bool ok = true;
            while (ok && start <= term.size()) {
                size_t space = term.find(' ', start);
                std::string w = term.substr(start, space == std::string::npos ? std::string::npos : space - start);
                if (!isword(w.c_str(), words))
                    ok = false;
                ++words;
                if (space == std::string::npos)
                    break;
                start = space + 1;
            }
            if (ok && words > best) {
                best = words;
                found = term;
            }
        }
        return best;
    }

    enum TermKind { CLASSTERM, PROPERTYTERM, COMMANDTERM };
    // Terms of the innermost tell block's application, then the language's own.
    // The term that must come next, taken.
    std::string expectterm(TermKind kind)
    {
        std::string found;
        size_t words = term(kind, found);
        if (words == 0)
            fail();
        pos += words;
        return found;
    }

    size_t term(TermKind kind, std::string& found) const
    {
        size_t best = 0;
        auto pick = [&](const ScriptTerms& t) {
            const auto& list = kind == CLASSTERM ? t.classes : kind == PROPERTYTERM ? t.properties : t.commands;
            std::string f;
            size_t n = matchterm(list, f);
            if (n > best) {
                best = n;
                found = f;
            }
        };
        if (!targets.empty())
            pick(targets.back()->terms());
        pick(builtinterms());
        return best;
    }

    std::unique_ptr<ScriptNode> parseblock(bool nested)
    {
        auto block = node(ScriptNode::BLOCK);
        for (;;) {
            while (peek().kind == ScriptToken::NEWLINE)
                ++pos;
            if (peek().kind == ScriptToken::END) {
                if (nested)
                    fail(); // a tell or if block never ended
                break;
            }
            if (isword("end") || isword("else"))
                break;
            block->kids.push_back(statement());
            expectlineend();
        }
        return block;
    }

    void parseend(const char* what)
    {
        expectword("end");
        if (isword(what))
            ++pos;
    }

    std::unique_ptr<ScriptNode> statement()
    {
        DepthGuard guard(depth);
        if (isword("tell"))
            return telling();
        if (isword("set"))
            return setting();
        if (isword("if"))
            return conditional();
        if (isword("return")) {
            auto n = node(ScriptNode::RETURN);
            ++pos;
            if (!atlineend())
                n->kids.push_back(expression());
            else
                n->kids.push_back(nullptr);
            return n;
        }
        std::string cmd;
        if (!targets.empty()) {
            size_t words = matchterm(targets.back()->terms().commands, cmd);
            if (words > 0) {
                auto n = node(ScriptNode::COMMAND);
                pos += words;
                n->name = cmd;
                n->app = targets.back();
                if (!atlineend())
                    n->kids.push_back(expression());
                else
                    n->kids.push_back(nullptr);
                return n;
            }
        }
        auto n = node(ScriptNode::EXPRESSION);
        n->kids.push_back(expression());
        return n;
    }

    std::unique_ptr<ScriptNode> telling()
    {
        auto n = node(ScriptNode::TELL);
        ++pos;
        expectword("application");
        if (peek().kind != ScriptToken::STRING)
            fail();
        n->name = peek().text;
        ++pos;
        n->app = lookup(n->name);
        if (n->app == nullptr)
            throw SCRIPT_APP_NOT_FOUND;
        targets.push_back(n->app);
        if (isword("to")) {
            ++pos;
            auto block = node(ScriptNode::BLOCK);
            block->kids.push_back(statement());
            n->kids.push_back(std::move(block));
        } else {
            expectlineend();
            n->kids.push_back(parseblock(true));
            parseend("tell");
        }
        targets.pop_back();
        return n;
    }

    std::unique_ptr<ScriptNode> setting()
    {
        auto n = node(ScriptNode::SET);
        ++pos;
        auto target = reference();
        if (target->type != ScriptNode::VARIABLE && target->type != ScriptNode::PROPERTY)
            fail();
        expectword("to");
        n->kids.push_back(std::move(target));
        n->kids.push_back(expression());
        return n;
    }

    std::unique_ptr<ScriptNode> conditional()
    {
        auto n = node(ScriptNode::IF);
        ++pos;
        n->kids.push_back(expression());
        expectword("then");
        if (!atlineend()) { // if ... then statement
            auto block = node(ScriptNode::BLOCK);
            block->kids.push_back(statement());
            n->kids.push_back(std::move(block));
            n->kids.push_back(nullptr);
            return n;
        }
        expectlineend();
        n->kids.push_back(parseblock(true));
        n->kids.push_back(isword("else") ? elsepart() : nullptr);
        parseend("if");
        return n;
    }

    // "else" and its block; "else if" becomes a nested if that shares the one "end if".
    std::unique_ptr<ScriptNode> elsepart()
    {
        DepthGuard guard(depth);
        expectword("else");
        if (isword("if")) {
            auto block = node(ScriptNode::BLOCK);
            auto inner = node(ScriptNode::IF);
            ++pos;
            inner->kids.push_back(expression());
            expectword("then");
            expectlineend();
            inner->kids.push_back(parseblock(true));
            inner->kids.push_back(isword("else") ? elsepart() : nullptr);
            block->kids.push_back(std::move(inner));
            return block;
        }
        expectlineend();
        return parseblock(true);
    }

    // An equality operator ("is", "is not", "is equal to", "equals", "=",
    // "≠"): consumed and true, with negate set for the negative forms.
    bool comparison(bool& negate)
    {
        if (isword("is")) {
            ++pos;
            if (isword("not")) {
                negate = true;
                ++pos;
            }
            if (isword("equal")) {
                ++pos;
                expectword("to");
            }
            return true;
        }
        if (isword("equals") || issymbol("=")) {
            ++pos;
            return true;
        }
        if (issymbol("\xE2\x89\xA0")) {
            negate = true;
            ++pos;
            return true;
        }
        return false;
    }

    std::unique_ptr<ScriptNode> expression()
    {
        DepthGuard guard(depth);
        auto left = concatenation();
        for (int chain = 0;; ++chain) {
            if (chain > MAX_DEPTH)
                fail(); // each link nests the tree one level deeper
            bool negate = false;
            if (!comparison(negate))
                return left;
            auto n = node(ScriptNode::COMPARE);
            n->negate = negate;
            n->kids.push_back(std::move(left));
            n->kids.push_back(concatenation());
            left = std::move(n);
        }
    }

    std::unique_ptr<ScriptNode> concatenation()
    {
        auto left = unary();
        for (int chain = 0; issymbol("&"); ++chain) {
            if (chain > MAX_DEPTH)
                fail();
            ++pos;
            auto n = node(ScriptNode::CONCAT);
            n->kids.push_back(std::move(left));
            n->kids.push_back(unary());
            left = std::move(n);
        }
        return left;
    }

    // A node of kind whose one operand follows the words of its keyword.
    std::unique_ptr<ScriptNode> prefixed(ScriptNode::Type kind, size_t words)
    {
        auto n = node(kind);
        pos += words;
        n->kids.push_back(unary());
        return n;
    }

    std::unique_ptr<ScriptNode> unary()
    {
        DepthGuard guard(depth);
        if (issymbol("-")) {
            return prefixed(ScriptNode::NEGATE, 1);
        }
        if (isword("not")) {
            return prefixed(ScriptNode::NOT, 1);
        }
        return reference();
    }

    // "of X" or "in X" after a reference; null when absent.
    std::unique_ptr<ScriptNode> container()
    {
        if (isword("of") || isword("in")) {
            ++pos;
            return reference();
        }
        return nullptr;
    }

    bool startsindex() const
    {
        const ScriptToken& t = peek();
        return t.kind == ScriptToken::INTEGER || t.kind == ScriptToken::REAL || issymbol("-") || issymbol("(");
    }

    std::unique_ptr<ScriptNode> reference()
    {
        DepthGuard guard(depth);
        while (isword("the"))
            ++pos;
        if (isword("every"))
            return every();
        if (auto n = ordinalelement())
            return n;
        if (auto n = classreference())
            return n;
        std::string found;
        if (size_t words = term(PROPERTYTERM, found); words > 0 && (isword("of", words) || isword("in", words))) {
            auto n = node(ScriptNode::PROPERTY);
            pos += words;
            n->name = found;
            n->kids.push_back(container());
            return n;
        }
        if (isword("application")) {
            return prefixed(ScriptNode::APPLICATION, 1);
        }
        return primary();
    }

    // "every CLASS [of X] [whose TEST and TEST ...]".
    std::unique_ptr<ScriptNode> every()
    {
        auto n = node(ScriptNode::EVERY);
        ++pos;
        n->name = expectterm(CLASSTERM);
        n->kids.push_back(container());
        if (!isword("whose"))
            return n;
        // Tests joined by "and"; each must hold.
        do {
            ++pos;
            if (n->kids.size() > static_cast<size_t>(MAX_DEPTH))
                fail();
            n->kids.push_back(whosetest());
        } while (isword("and"));
        return n;
    }

    // "[its] PROPERTY is VALUE" and the other comparisons.
    std::unique_ptr<ScriptNode> whosetest()
    {
        if (isword("its"))
            ++pos;
        auto test = node(ScriptNode::WHOSETEST);
        test->name = expectterm(PROPERTYTERM);
        if (!comparison(test->negate))
            fail();
        test->kids.push_back(unary());
        return test;
    }

    // "first CLASS [of X]" .. "tenth", "last"; null when no ordinal comes next.
    std::unique_ptr<ScriptNode> ordinalelement()
    {
        if (peek().kind != ScriptToken::WORD)
            return nullptr;
        std::string w = lower(peek().text);
        int64_t ordinal = w == "last" ? -1 : 0;
        for (size_t k = 0; k < std::size(ORDINALS); ++k)
            if (w == ORDINALS[k])
                ordinal = int64_t(k) + 1;
        if (ordinal == 0)
            return nullptr;
        auto n = node(ScriptNode::INDEX);
        ++pos;
        n->name = expectterm(CLASSTERM);
        n->ordinal = ordinal;
        n->kids.push_back(nullptr);
        n->kids.push_back(container());
        return n;
    }

    // "CLASS INDEX [of X]", "posix file X", or a class name as a value; null
    // when no class comes next, or one that is also a property followed by
    // "of" (that is the property).
    std::unique_ptr<ScriptNode> classreference()
    {
        std::string found;
        size_t words = term(CLASSTERM, found);
        if (words == 0)
            return nullptr;
        if (found == "posix file") {
            return prefixed(ScriptNode::POSIXFILE, words);
        }
        std::string prop;
        bool alsoproperty = term(PROPERTYTERM, prop) == words && prop == found;
        size_t save = pos;
        pos += words;
        if (startsindex()) {
            auto n = node(ScriptNode::INDEX);
            n->name = found;
            n->kids.push_back(unary());
            n->kids.push_back(container());
            return n;
        }
        if (alsoproperty && (isword("of") || isword("in"))) {
            pos = save;
            return nullptr;
        }
        auto n = node(ScriptNode::CLASSNAME);
        n->name = found == "string" ? "text" : found;
        return n;
    }

    std::unique_ptr<ScriptNode> literal(ScriptValue value)
    {
        auto n = node(ScriptNode::LITERAL);
        n->value = std::move(value);
        ++pos;
        return n;
    }

    // A literal, a list, a parenthesised expression or a variable.
    std::unique_ptr<ScriptNode> primary()
    {
        const ScriptToken& t = peek();
        switch (t.kind) {
        case ScriptToken::INTEGER:
            return literal(ScriptValue::ofinteger(t.integer));
        case ScriptToken::REAL:
            return literal(ScriptValue::ofreal(t.real));
        case ScriptToken::STRING:
            return literal(ScriptValue::oftext(t.text));
        case ScriptToken::SYMBOL:
            if (t.text == "{")
                return listliteral();
            if (t.text == "(") {
                ++pos;
                auto inner = expression();
                if (!issymbol(")"))
                    fail();
                ++pos;
                return inner;
            }
            fail();
        case ScriptToken::WORD:
            return word();
        default:
            fail();
        }
    }

    // "{}" or "{a, b, ...}".
    std::unique_ptr<ScriptNode> listliteral()
    {
        auto n = node(ScriptNode::LISTLITERAL);
        ++pos;
        if (!issymbol("}")) {
            n->kids.push_back(expression());
            while (issymbol(",")) {
                ++pos;
                n->kids.push_back(expression());
            }
        }
        if (!issymbol("}"))
            fail();
        ++pos;
        return n;
    }

    // true, false, a property of something, or a variable.
    std::unique_ptr<ScriptNode> word()
    {
        const ScriptToken& t = peek();
        if (isword("true") || isword("false"))
            return literal(ScriptValue::ofboolean(isword("true")));
        if (reserved(t.text))
            fail();
        if (isword("of", 1) || isword("in", 1)) {
            // A property the application may or may not have: decided when run.
            auto n = node(ScriptNode::PROPERTY);
            n->name = lower(t.text);
            ++pos;
            n->kids.push_back(container());
            return n;
        }
        auto n = node(ScriptNode::VARIABLE);
        n->name = lower(t.text);
        ++pos;
        return n;
    }
};

} // namespace

std::unique_ptr<ScriptNode> parsescript(const char* text, size_t length, const ScriptAppLookup& lookup)
{
    Parser parser(tokenizescript(text, length), lookup);
    return parser.script();
}

} // namespace ovra
