// The application "iTunes": the music library file is the library. It is
// read at the first script that needs it and kept for the process's life;
// changes are written back a few seconds after the first unsaved one, when a
// script says "save" (the batch, to know they are kept), and when the process
// ends.
#pragma once
#include "script/LibraryDocument.h"
#include "script/ScriptApplication.h"

#include <chrono>
#include <string>

namespace ovra {

class LibraryHost : public ScriptApplication {
public:
    // How long a change may stay unsaved.
    static constexpr int SAVE_DELAY_MS = 2000;

    LibraryHost();
    ~LibraryHost() override;

    const char* name() const override { return "iTunes"; }
    const ScriptTerms& terms() const override;
    ScriptValue element(const ScriptValue& container, const std::string& cls, int64_t index) override;
    ScriptValue elements(const ScriptValue& container, const std::string& cls, const ScriptWhose* whose) override;
    ScriptValue getproperty(const ScriptValue& object, const std::string& property) override;
    void setproperty(const ScriptValue& object, const std::string& property, const ScriptValue& value) override;
    ScriptValue command(const std::string& name, const ScriptValue* direct) override;
    int idletimeout() override;
    void idle() override;
    void finish() override;

    // The status of the last save (0 when none failed).
    int lastsaveerror() const { return saveerror; }

private:
    LibraryDocument doc;
    std::chrono::steady_clock::time_point savedue;
    int saveerror = 0;

    LibraryDocument& library();
    bool isfiletrack(int64_t id) const;
    int64_t trackof(const ScriptValue& object);
    bool matches(const ScriptValue& track, const ScriptWhoseTest& test);
    void refresh(int64_t id);
    void changed();
    void trysave();
};

// The library file the host uses: the one named by setlibraryfile, else the
// one findLibraryFile finds, as the batch does.
void setlibraryfile(const char* path);
std::string libraryfile();
// A mapping of the library's locations to a folder here ("PREFIX=FOLDER",
// plist/LocationMap.h), as the batch has it; one that cannot be used is ignored.
void addlocationmap(const char* spec);

} // namespace ovra
