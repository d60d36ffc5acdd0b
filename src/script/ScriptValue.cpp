#include "script/ScriptValue.h"
#include "script/ScriptApplication.h"
#include "platform/ErrorCodes.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace ovra {

namespace {

// A value of kind with one member set by fill.
template <class Fill>
ScriptValue made(ScriptValue::Kind kind, Fill fill)
{
    ScriptValue v;
    v.kind = kind;
    fill(v);
    return v;
}

} // namespace

ScriptValue ScriptValue::ofboolean(bool b)
{
    return made(BOOLEAN, [&](ScriptValue& v) { v.boolean = b; });
}
ScriptValue ScriptValue::ofinteger(int64_t i)
{
    return made(INTEGER, [&](ScriptValue& v) { v.integer = i; });
}
ScriptValue ScriptValue::ofreal(double r)
{
    return made(REAL, [&](ScriptValue& v) { v.real = r; });
}
ScriptValue ScriptValue::oftext(std::string s)
{
    return made(TEXT, [&](ScriptValue& v) { v.text = std::move(s); });
}
ScriptValue ScriptValue::ofclass(std::string name)
{
    return made(CLASS, [&](ScriptValue& v) { v.text = std::move(name); });
}
ScriptValue ScriptValue::offile(std::string path)
{
    return made(FILE, [&](ScriptValue& v) { v.text = std::move(path); });
}
ScriptValue ScriptValue::oflist(std::vector<ScriptValue> items)
{
    return made(LIST, [&](ScriptValue& v) { v.items = std::move(items); });
}

ScriptValue ScriptValue::ofobject(ScriptApplication* app, std::string cls, int64_t id)
{
    return made(OBJECT, [&](ScriptValue& v) {
        v.app = app;
        v.text = std::move(cls);
        v.integer = id;
    });
}

ScriptValue ScriptValue::ofapplication(ScriptApplication* app, std::string name)
{
    return made(APPLICATION, [&](ScriptValue& v) {
        v.app = app;
        v.text = std::move(name);
    });
}

std::string ScriptValue::classname() const
{
    switch (kind) {
    case NOTHING:
        return "missing value";
    case BOOLEAN:
        return "boolean";
    case INTEGER:
        return "integer";
    case REAL:
        return "real";
    case TEXT:
        return "text";
    case LIST:
        return "list";
    case CLASS:
        return "class";
    case OBJECT:
        return text;
    case FILE:
        return "file";
    case APPLICATION:
        return "application";
    }
    return "missing value";
}

static std::string quoted(const std::string& s)
{
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string ScriptValue::totext() const
{
    switch (kind) {
    case NOTHING:
        return "";
    case BOOLEAN:
        return boolean ? "true" : "false";
    case INTEGER:
        return std::to_string(integer);
    case REAL: {
        char buf[64];
        auto r = std::to_chars(buf, buf + sizeof buf, real);
        std::string s(buf, r.ptr);
        if (std::isfinite(real) && s.find_first_of(".e") == std::string::npos)
            s += ".0";
        return s;
    }
    case TEXT:
        return text;
    case LIST: {
        std::string s = "{";
        for (size_t i = 0; i < items.size(); ++i) {
            if (i)
                s += ", ";
            s += items[i].kind == TEXT ? quoted(items[i].text) : items[i].totext();
        }
        return s + "}";
    }
    case CLASS:
        return text;
    case OBJECT: {
        std::string s = text + " id " + std::to_string(integer);
        if (app != nullptr)
            s += " of application " + quoted(app->name());
        return s;
    }
    case FILE:
        return "file " + quoted(text);
    case APPLICATION:
        return "application " + quoted(text);
    }
    return "";
}

bool sameword(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z')
            x = static_cast<unsigned char>(x + 32);
        if (y >= 'A' && y <= 'Z')
            y = static_cast<unsigned char>(y + 32);
        if (x != y)
            return false;
    }
    return true;
}

bool scriptequal(const ScriptValue& a, const ScriptValue& b)
{
    if (a.isnumber() && b.isnumber()) {
        if (a.kind == ScriptValue::INTEGER && b.kind == ScriptValue::INTEGER)
            return a.integer == b.integer;
        return a.number() == b.number();
    }
    if (a.kind != b.kind)
        return false;
    switch (a.kind) {
    case ScriptValue::NOTHING:
        return true;
    case ScriptValue::BOOLEAN:
        return a.boolean == b.boolean;
    case ScriptValue::TEXT:
    case ScriptValue::CLASS:
        return sameword(a.text, b.text);
    case ScriptValue::FILE:
        return a.text == b.text;
    case ScriptValue::LIST:
        if (a.items.size() != b.items.size())
            return false;
        for (size_t i = 0; i < a.items.size(); ++i)
            if (!scriptequal(a.items[i], b.items[i]))
                return false;
        return true;
    case ScriptValue::OBJECT:
        return a.app == b.app && sameword(a.text, b.text) && a.integer == b.integer;
    case ScriptValue::APPLICATION:
        return a.app == b.app;
    default:
        return false;
    }
}

} // namespace ovra
