// The settings of the program's preference domain, with their defaults,
// loaded into and saved from the records a batch is started with. The
// library file ("libraryfile") is empty unless the user chose one.
#pragma once
#include "platform/settings/PreferenceStore.h"
#include "batch/BatchOptions.h"

namespace ovra::tempix {

extern const char* const PREFERENCE_DOMAIN; // "com.quillfen.tempix"
extern const char* const DEFAULT_BADGENRES;

// Every key on its own with its default, except the genre group (policy and
// both lists), which falls back to its default as a whole when any of the
// three cannot be read. The path is taken as stored; for source 0 the front
// end puts the Music folder there (homemusicfolder).
void loadSettings(PreferenceStore& store, BatchSettings& settings, BatchOptions& options);

// Stores every key and synchronises. Failures are silent; the keys after a
// failure are not written.
void saveSettings(PreferenceStore& store, const BatchSettings& settings, const BatchOptions& options);

// The location mappings ("locationmaps": one "PREFIX=FOLDER" a line); none
// when the key is missing or unreadable.
std::vector<std::string> loadLocationMaps(PreferenceStore& store);

} // namespace ovra::tempix
