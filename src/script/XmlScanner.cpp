#include "script/XmlScanner.h"

namespace ovra {

namespace {

bool isspace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Where a tag's name or an attribute's name ends.
bool endsname(char c) { return isspace(c) || c == '/' || c == '>' || c == '='; }

bool namestart(char c)
{
    unsigned char u = static_cast<unsigned char>(c);
    return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || u == '_' || u == ':' || u >= 0x80;
}

bool validname(std::string_view name)
{
    if (name.empty() || !namestart(name[0]))
        return false;
    for (char c : name)
        if (c == '<' || c == '"' || c == '\'' || c == '&')
            return false;
    return true;
}

} // namespace

XmlScanner::Result XmlScanner::next(XmlToken& token)
{
    if (pos >= text.size())
        return DONE;
    token = XmlToken();
    token.begin = pos;
    if (text[pos] != '<') {
        size_t lt = text.find('<', pos);
        pos = lt == std::string_view::npos ? text.size() : lt;
        token.kind = XmlToken::TEXT;
        token.end = pos;
        return TOKEN;
    }
    std::string_view rest = text.substr(pos);
    if (rest.starts_with("<?"))
        return until(token, "?>", 2);
    if (rest.starts_with("<!--"))
        return until(token, "-->", 4);
    if (rest.starts_with("<![CDATA["))
        return until(token, "]]>", 9);
    if (rest.starts_with("<!DOCTYPE"))
        return doctype(token);
    if (rest.starts_with("<!"))
        return BAD;
    if (rest.starts_with("</"))
        return endtag(token);
    return starttag(token);
}

XmlScanner::Result XmlScanner::until(XmlToken& token, std::string_view terminator, size_t skip)
{
    size_t at = text.find(terminator, pos + skip);
    if (at == std::string_view::npos)
        return BAD;
    pos = at + terminator.size();
    token.kind = XmlToken::MARKUP;
    token.end = pos;
    return TOKEN;
}

XmlScanner::Result XmlScanner::doctype(XmlToken& token)
{
    // Up to the '>' that is neither quoted nor inside the internal subset.
    char quote = 0;
    int brackets = 0;
    for (size_t i = pos + 9; i < text.size(); ++i) {
        char c = text[i];
        if (quote != 0) {
            if (c == quote)
                quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '[') {
            ++brackets;
        } else if (c == ']') {
            --brackets;
        } else if (c == '>' && brackets <= 0) {
            pos = i + 1;
            token.kind = XmlToken::MARKUP;
            token.end = pos;
            return TOKEN;
        }
    }
    return BAD;
}

XmlScanner::Result XmlScanner::endtag(XmlToken& token)
{
    size_t i = pos + 2;
    size_t start = i;
    while (i < text.size() && !endsname(text[i]))
        ++i;
    token.name = text.substr(start, i - start);
    while (i < text.size() && isspace(text[i]))
        ++i;
    if (i >= text.size() || text[i] != '>' || !validname(token.name))
        return BAD;
    pos = i + 1;
    token.kind = XmlToken::END;
    token.end = pos;
    return TOKEN;
}

XmlScanner::Result XmlScanner::starttag(XmlToken& token)
{
    size_t i = pos + 1;
    while (i < text.size() && !endsname(text[i]))
        ++i;
    token.name = text.substr(pos + 1, i - pos - 1);
    if (!validname(token.name))
        return BAD;
    // Attributes: name, '=', a quoted value (which may hold '>').
    for (;;) {
        while (i < text.size() && isspace(text[i]))
            ++i;
        if (i >= text.size())
            return BAD;
        if (text[i] == '>') {
            ++i;
            break;
        }
        if (text[i] == '/') {
            if (i + 1 >= text.size() || text[i + 1] != '>')
                return BAD;
            token.selfclosing = true;
            i += 2;
            break;
        }
        size_t name = i;
        while (i < text.size() && !endsname(text[i]))
            ++i;
        if (!validname(text.substr(name, i - name)))
            return BAD;
        while (i < text.size() && isspace(text[i]))
            ++i;
        if (i >= text.size() || text[i] != '=')
            return BAD;
        ++i;
        while (i < text.size() && isspace(text[i]))
            ++i;
        if (i >= text.size() || (text[i] != '"' && text[i] != '\''))
            return BAD;
        size_t close = text.find(text[i], i + 1);
        if (close == std::string_view::npos || text.substr(i, close - i).find('<') != std::string_view::npos)
            return BAD;
        i = close + 1;
    }
    pos = i;
    token.kind = XmlToken::START;
    token.end = pos;
    return TOKEN;
}

} // namespace ovra
