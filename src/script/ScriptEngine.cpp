#include "script/ScriptEngine.h"
#include "platform/ErrorCodes.h"

#include <cmath>
#include <limits>
#include <map>

namespace ovra {

namespace {

class Evaluation {
public:
    explicit Evaluation(const ScriptEngine& e) : engine(e) {}

    ScriptValue result;
    bool returned = false;

    void statement(const ScriptNode& n)
    {
        switch (n.type) {
        case ScriptNode::BLOCK:
            for (const auto& k : n.kids) {
                statement(*k);
                if (returned)
                    return;
            }
            return;
        case ScriptNode::TELL:
            targets.push_back(n.app);
            statement(*n.kids[0]);
            targets.pop_back();
            return;
        case ScriptNode::SET: {
            ScriptValue v = eval(*n.kids[1]);
            const ScriptNode& target = *n.kids[0];
            if (target.type == ScriptNode::VARIABLE) {
                variables[target.name] = v;
            } else {
                ScriptValue object = eval(*target.kids[0]);
                if (object.kind != ScriptValue::OBJECT && object.kind != ScriptValue::APPLICATION)
                    throw SCRIPT_CANT_SET;
                object.app->setproperty(object, target.name, v);
            }
            result = std::move(v);
            return;
        }
        case ScriptNode::IF: {
            ScriptValue c = eval(*n.kids[0]);
            if (c.kind != ScriptValue::BOOLEAN)
                throw SCRIPT_CANT_MAKE;
            if (c.boolean)
                statement(*n.kids[1]);
            else if (n.kids[2])
                statement(*n.kids[2]);
            return;
        }
        case ScriptNode::RETURN:
            result = n.kids[0] ? eval(*n.kids[0]) : ScriptValue::nothing();
            returned = true;
            return;
        case ScriptNode::COMMAND: {
            if (n.kids[0]) {
                ScriptValue direct = eval(*n.kids[0]);
                result = n.app->command(n.name, &direct);
            } else {
                result = n.app->command(n.name, nullptr);
            }
            return;
        }
        case ScriptNode::EXPRESSION:
            result = eval(*n.kids[0]);
            return;
        default:
            throw SCRIPT_SYNTAX_ERROR;
        }
    }

private:
    const ScriptEngine& engine;
    std::map<std::string, ScriptValue> variables;
    std::vector<ScriptApplication*> targets;

    // The container of a reference: the given one, else the tell target.
    ScriptValue containerof(const ScriptNode* n)
    {
        if (n != nullptr)
            return eval(*n);
        if (targets.empty())
            throw SCRIPT_CANT_GET;
        return ScriptValue::ofapplication(targets.back(), targets.back()->name());
    }

    static int64_t wholenumber(const ScriptValue& v)
    {
        if (v.kind == ScriptValue::INTEGER)
            return v.integer;
        if (v.kind == ScriptValue::REAL && std::floor(v.real) == v.real && std::fabs(v.real) < 9e18)
            return static_cast<int64_t>(v.real);
        throw SCRIPT_CANT_MAKE;
    }

    ScriptValue eval(const ScriptNode& n)
    {
        switch (n.type) {
        case ScriptNode::LITERAL:
            return n.value;
        case ScriptNode::LISTLITERAL: {
            std::vector<ScriptValue> items;
            for (const auto& k : n.kids)
                items.push_back(eval(*k));
            return ScriptValue::oflist(std::move(items));
        }
        case ScriptNode::VARIABLE: {
            auto it = variables.find(n.name);
            if (it == variables.end())
                throw SCRIPT_UNDEFINED_VARIABLE;
            return it->second;
        }
        case ScriptNode::CLASSNAME:
            return ScriptValue::ofclass(n.name);
        case ScriptNode::PROPERTY: {
            ScriptValue c = eval(*n.kids[0]);
            if (n.name == "class")
                return ScriptValue::ofclass(c.classname());
            if (c.kind == ScriptValue::OBJECT || c.kind == ScriptValue::APPLICATION)
                return c.app->getproperty(c, n.name);
            throw SCRIPT_CANT_GET;
        }
        case ScriptNode::EVERY:
            return every(n);
        case ScriptNode::INDEX:
            return indexed(n);
        case ScriptNode::POSIXFILE: {
            ScriptValue p = eval(*n.kids[0]);
            if (p.kind != ScriptValue::TEXT)
                throw SCRIPT_CANT_MAKE;
            return ScriptValue::offile(p.text);
        }
        case ScriptNode::APPLICATION:
            return application(n);
        case ScriptNode::COMPARE: {
            ScriptValue a = eval(*n.kids[0]);
            ScriptValue b = eval(*n.kids[1]);
            return ScriptValue::ofboolean(scriptequal(a, b) != n.negate);
        }
        case ScriptNode::NEGATE:
            return negated(eval(*n.kids[0]));
        case ScriptNode::NOT: {
            ScriptValue v = eval(*n.kids[0]);
            if (v.kind != ScriptValue::BOOLEAN)
                throw SCRIPT_CANT_MAKE;
            return ScriptValue::ofboolean(!v.boolean);
        }
        case ScriptNode::CONCAT: {
            ScriptValue a = eval(*n.kids[0]); // left to right
            ScriptValue b = eval(*n.kids[1]);
            return concatenated(a, b);
        }
        default:
            throw SCRIPT_SYNTAX_ERROR;
        }
    }

    // "every CLASS of C [whose ...]": the elements an application finds, or
    // every item of a list.
    ScriptValue every(const ScriptNode& n)
    {
        ScriptValue c = containerof(n.kids[0].get());
        if (c.kind == ScriptValue::LIST && n.name == "item" && n.kids.size() == 1)
            return c;
        if (c.kind != ScriptValue::OBJECT && c.kind != ScriptValue::APPLICATION)
            throw SCRIPT_CANT_GET;
        if (n.kids.size() > 1) {
            ScriptWhose whose;
            for (size_t k = 1; k < n.kids.size(); ++k)
                whose.tests.push_back({n.kids[k]->name, n.kids[k]->negate, eval(*n.kids[k]->kids[0])});
            return c.app->elements(c, n.name, &whose);
        }
        return c.app->elements(c, n.name, nullptr);
    }

    // "CLASS INDEX of C", "first CLASS of C": from the end for a negative index.
    ScriptValue indexed(const ScriptNode& n)
    {
        int64_t index = n.kids[0] ? wholenumber(eval(*n.kids[0])) : n.ordinal;
        ScriptValue c = containerof(n.kids[1].get());
        if (c.kind == ScriptValue::LIST && n.name == "item") {
            int64_t size = static_cast<int64_t>(c.items.size());
            int64_t k = index > 0 ? index - 1 : size + index;
            if (index == 0 || k < 0 || k >= size)
                throw SCRIPT_CANT_GET;
            return c.items[static_cast<size_t>(k)];
        }
        if (c.kind != ScriptValue::OBJECT && c.kind != ScriptValue::APPLICATION)
            throw SCRIPT_CANT_GET;
        return c.app->element(c, n.name, index);
    }

    ScriptValue application(const ScriptNode& n)
    {
        ScriptValue name = eval(*n.kids[0]);
        if (name.kind != ScriptValue::TEXT)
            throw SCRIPT_CANT_MAKE;
        ScriptApplication* app = engine.application(name.text);
        if (app == nullptr)
            throw SCRIPT_APP_NOT_FOUND;
        return ScriptValue::ofapplication(app, app->name());
    }

    static ScriptValue negated(const ScriptValue& v)
    {
        if (v.kind == ScriptValue::INTEGER) {
            if (v.integer == std::numeric_limits<int64_t>::min())
                return ScriptValue::ofreal(-static_cast<double>(v.integer));
            return ScriptValue::ofinteger(-v.integer);
        }
        if (v.kind == ScriptValue::REAL)
            return ScriptValue::ofreal(-v.real);
        throw SCRIPT_CANT_MAKE;
    }

    // "a & b": a list when either side is one, else text.
    static ScriptValue concatenated(const ScriptValue& a, const ScriptValue& b)
    {
        if (a.kind == ScriptValue::LIST || b.kind == ScriptValue::LIST) {
            std::vector<ScriptValue> items;
            for (const ScriptValue* v : {&a, &b}) {
                if (v->kind == ScriptValue::LIST)
                    items.insert(items.end(), v->items.begin(), v->items.end());
                else
                    items.push_back(*v);
            }
            return ScriptValue::oflist(std::move(items));
        }
        auto astext = [](const ScriptValue& v) {
            if (v.kind != ScriptValue::TEXT && !v.isnumber() && v.kind != ScriptValue::BOOLEAN)
                throw SCRIPT_CANT_MAKE;
            return v.totext();
        };
        return ScriptValue::oftext(astext(a) + astext(b));
    }
};

} // namespace

ScriptEngine::ScriptEngine() = default;
ScriptEngine::~ScriptEngine() = default;

void ScriptEngine::addapplication(std::unique_ptr<ScriptApplication> app) { apps.push_back(std::move(app)); }

ScriptApplication* ScriptEngine::application(const std::string& name) const
{
    for (const auto& a : apps)
        if (sameword(a->name(), name))
            return a.get();
    return nullptr;
}

std::unique_ptr<ScriptNode> ScriptEngine::compile(const char* text, size_t length) const
{
    return parsescript(text, length, [this](const std::string& name) { return application(name); });
}

ScriptValue ScriptEngine::run(const ScriptNode& script) const
{
    Evaluation e(*this);
    e.statement(script);
    return e.result;
}

int ScriptEngine::idletimeout() const
{
    int best = -1;
    for (const auto& a : apps) {
        int t = a->idletimeout();
        if (t >= 0 && (best < 0 || t < best))
            best = t;
    }
    return best;
}

void ScriptEngine::idle()
{
    for (const auto& a : apps)
        if (a->idletimeout() == 0)
            a->idle();
}

void ScriptEngine::finish()
{
    for (const auto& a : apps)
        a->finish();
}

} // namespace ovra
