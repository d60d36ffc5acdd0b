// A value of the script language.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace ovra {

class ScriptApplication;

struct ScriptValue {
    enum Kind { NOTHING, BOOLEAN, INTEGER, REAL, TEXT, LIST, CLASS, OBJECT, FILE, APPLICATION };

    Kind kind = NOTHING;
    bool boolean = false;
    int64_t integer = 0; // INTEGER; the object's id for OBJECT
    double real = 0.0;
    std::string text; // TEXT; class name for CLASS and OBJECT; path for FILE; name for APPLICATION
    std::vector<ScriptValue> items;
    ScriptApplication* app = nullptr; // OBJECT and APPLICATION

    static ScriptValue nothing() { return {}; }
    static ScriptValue ofboolean(bool b);
    static ScriptValue ofinteger(int64_t i);
    static ScriptValue ofreal(double r);
    static ScriptValue oftext(std::string s);
    static ScriptValue oflist(std::vector<ScriptValue> v);
    static ScriptValue ofclass(std::string name);
    static ScriptValue ofobject(ScriptApplication* app, std::string cls, int64_t id);
    static ScriptValue offile(std::string path);
    static ScriptValue ofapplication(ScriptApplication* app, std::string name);

    bool isnumber() const { return kind == INTEGER || kind == REAL; }
    double number() const { return kind == INTEGER ? static_cast<double>(integer) : real; }
    // The class name the language reports for this value.
    std::string classname() const;
    // The value as text: the form a script's result is returned in.
    std::string totext() const;
};

// Equality as the language's "is": numbers by value, text ignoring ASCII case,
// lists item by item.
bool scriptequal(const ScriptValue& a, const ScriptValue& b);

// Case-insensitive (ASCII) comparison of names.
bool sameword(const std::string& a, const std::string& b);

} // namespace ovra
