#include "script/AppleScriptRunner.h"
#include "script/ConsoleApplication.h"
#include "script/LibraryHost.h"
#include "script/ScriptEngine.h"
#include "platform/ErrorCodes.h"

#include <cstring>
#include <new>

namespace ovra {

AppleScriptRunner::AppleScriptRunner()
{
    try {
        auto e = std::make_unique<ScriptEngine>();
        e->addapplication(std::make_unique<LibraryHost>());
        e->addapplication(std::make_unique<ConsoleApplication>());
        engine = std::move(e);
    } catch (...) {
        engine.reset(); // no component: every script then fails
    }
}

AppleScriptRunner::~AppleScriptRunner() { finish(); }

int32_t AppleScriptRunner::executefromtext(const char* text, char* buffer, size_t size)
{
    AppleScript script(this);
    int32_t status = script.fromtext(text, std::strlen(text));
    if (status != 0)
        return status;
    return script.execute(buffer, size);
}

int AppleScriptRunner::idletimeout() const { return engine ? engine->idletimeout() : -1; }

void AppleScriptRunner::idle()
{
    if (engine)
        engine->idle();
}

void AppleScriptRunner::finish()
{
    if (engine)
        engine->finish();
}

AppleScript::AppleScript(AppleScriptRunner* r) : runner(r) {}

AppleScript::~AppleScript() = default;

int32_t AppleScript::fromtext(const char* text, size_t length)
{
    if (id)
        return SCRIPT_ALREADY_COMPILED;
    if (runner == nullptr || !runner->engine)
        return SCRIPT_NO_COMPONENT;
    try {
        id = runner->engine->compile(text, length);
        return 0;
    } catch (int code) {
        return code;
    } catch (const std::bad_alloc&) {
        return SCRIPT_APP_FAILED;
    }
}

int32_t AppleScript::execute(char* buffer, size_t size)
{
    if (runner == nullptr || !runner->engine)
        return SCRIPT_NO_COMPONENT;
    if (!id)
        return SCRIPT_NOT_COMPILED;
    try {
        std::string text = runner->engine->run(*id).totext();
        if (size == 0 || text.size() > size - 1)
            return SCRIPT_RESULT_TOO_LONG;
        std::memcpy(buffer, text.data(), text.size());
        buffer[text.size()] = '\0';
        return 0;
    } catch (int code) {
        return code;
    } catch (...) {
        return SCRIPT_APP_FAILED;
    }
}

} // namespace ovra
