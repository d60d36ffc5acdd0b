// One preference domain, kept in an INI file $XDG_CONFIG_HOME/<domain>.conf.
// Stands in for the desktop's preferences: the core reads the library
// location through it, the application keeps its settings in it.
// Every failure is reported by throwing the integer -1.
#pragma once
#include "platform/Ptr_auto.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class QSettings;

namespace ovra {

class PreferenceStore {
public:
    // A null domain means the program's own, "com.quillfen.tempix".
    PreferenceStore(const char* domain, bool readOnly);
    // Synchronises a writable store; failures are ignored.
    ~PreferenceStore();
    PreferenceStore(const PreferenceStore&) = delete;
    PreferenceStore& operator=(const PreferenceStore&) = delete;

    // Missing, or not a 32-bit integer: throws -1.
    int32_t getInt(const char* key);
    void setInt(const char* key, int32_t value);
    // Missing, not text, or does not fit size with its NUL: throws -1.
    void getString(const char* key, char* buffer, size_t size);
    void setString(const char* key, const char* text);
    // Missing, not data, or the block cannot be resized: throws -1.
    // Text is taken as its UTF-8 bytes.
    void getData(const char* key, Ptr_auto<char>& block);
    void setData(const char* key, const void* data, size_t size);
    // Writes pending changes to the file; throws -1 when that fails.
    void synchronize();

    // The file that holds a domain.
    static std::string filePath(const char* domain);

private:
    bool readOnly;
    std::unique_ptr<QSettings> settings;
};

} // namespace ovra
