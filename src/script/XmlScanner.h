// Splits XML text into tags, character data and other markup, giving the
// byte range of each: the library file is read in place and written back by
// splicing, so positions matter more than decoded content. Checks the syntax
// of each piece; whether tags nest properly is the caller's to check.
#pragma once
#include <cstddef>
#include <string_view>

namespace ovra {

struct XmlToken {
    enum Kind { START, END, TEXT, MARKUP }; // MARKUP: comment, CDATA, processing instruction, DOCTYPE
    Kind kind = TEXT;
    size_t begin = 0; // the token's bytes
    size_t end = 0;
    std::string_view name; // of a START or END tag
    bool selfclosing = false;
};

class XmlScanner {
public:
    explicit XmlScanner(std::string_view text, size_t from = 0) : text(text), pos(from) {}

    enum Result { TOKEN, DONE, BAD };
    // The next token, DONE at the end of the text, BAD for broken markup.
    Result next(XmlToken& token);

private:
    Result starttag(XmlToken& token);
    Result endtag(XmlToken& token);
    Result until(XmlToken& token, std::string_view terminator, size_t skip);
    Result doctype(XmlToken& token);

    std::string_view text;
    size_t pos;
};

} // namespace ovra
