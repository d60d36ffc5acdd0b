// Process-wide set-up of the decoding libraries for the lifetime of a scope.
#pragma once

namespace ovra {

// Keeps the libraries' own console messages quiet while it lives: every
// failure reaches the program as a status code and is reported there.
// Guards may nest; the last one to end restores the earlier setting.
class Movies_auto {
public:
    Movies_auto();
    ~Movies_auto();
    Movies_auto(const Movies_auto&) = delete;
    Movies_auto& operator=(const Movies_auto&) = delete;
};

} // namespace ovra
