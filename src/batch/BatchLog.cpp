#include "batch/BatchLog.h"
#include "platform/ErrorCodes.h"
#include "tags/FileTransaction.h"
#include "platform/tools_strings.h"

#include <cstdarg>
#include <cstring>

namespace ovra::tempix {

namespace {

std::string formatted(const char* format, std::va_list args)
{
    std::va_list again;
    va_copy(again, args);
    char small[512];
    int length = std::vsnprintf(small, sizeof small, format, args);
    std::string text;
    if (length >= 0 && static_cast<size_t>(length) < sizeof small) {
        text = small;
    } else if (length >= 0) {
        text.resize(static_cast<size_t>(length) + 1);
        std::vsnprintf(text.data(), text.size(), format, again);
        text.pop_back();
    }
    va_end(again);
    return text;
}

} // namespace

BatchLog::~BatchLog()
{
    if (file != nullptr)
        std::fclose(file);
}

std::string BatchLog::logged(const char* text) { return ovra::escapecontrols(text); }

void BatchLog::open()
{
    if (file != nullptr) {
        std::fclose(file);
        file = nullptr;
    }
    const std::string where = ovra::logfilepath();
    if (where.size() >= sizeof filePath) {
        filePath[0] = '\0';
        return; // the batch runs without a log file
    }
    std::memcpy(filePath, where.c_str(), where.size() + 1);
    file = std::fopen(filePath, "a");
}

void BatchLog::line(const char* format, ...)
{
    std::va_list args;
    va_start(args, format);
    const std::string text = formatted(format, args);
    va_end(args);
    entry(text.c_str());
}

void BatchLog::fail(const char* format, ...)
{
    std::va_list args;
    va_start(args, format);
    reason(formatted(format, args));
    va_end(args);
    ++count;
}

void BatchLog::skip(const char* format, ...)
{
    std::va_list args;
    va_start(args, format);
    reason(formatted(format, args));
    va_end(args);
}

void BatchLog::errorwords(int code)
{
    entry(ovra::errorcodeline(code).c_str());
    if (currentTrack != nullptr)
        currentTrack->addwords(ovra::errorText(code).c_str());
}

void BatchLog::halfwritten()
{
    const std::string journal = ovra::halfwrittenjournal();
    if (!journal.empty())
        line("The track is half-written: the journal %s keeps its original bytes, and the next start of Tempix "
             "restores them (tempix-cli --journal lists it).\n",
             journal.c_str());
}

void BatchLog::reason(const std::string& text)
{
    if (currentTrack != nullptr)
        currentTrack->setreason(text.c_str());
    entry(text.c_str());
}

void BatchLog::entry(const char* text)
{
    // The track's report takes the entry now: a held entry is written later,
    // when another track may be running.
    if (currentTrack != nullptr)
        currentTrack->addentry(text);
    if (!holdforturn || !holdforturn(text))
        send(text);
}

void BatchLog::send(const char* text)
{
    if (!holdforsave || !holdforsave(text))
        write(text);
}

void BatchLog::write(const char* text)
{
    if (file != nullptr) {
        std::fputs(text, file);
        std::fflush(file);
    }
    display.logEntry(text);
}

void BatchLog::status(const char* text)
{
    if (!statusforturn || !statusforturn(text))
        display.setStatusLine(text);
}

} // namespace ovra::tempix
