// The frames a tag's setters changed since it was read or last written.
#pragma once
#include <algorithm>
#include <string>
#include <vector>

namespace ovra {

// In the order first set; an update rewrites these and keeps every other frame.
class TouchedFrames {
public:
    // By frame id, or a comment by its description.
    void touch(const std::string& key)
    {
        if (std::find(keys.begin(), keys.end(), key) == keys.end())
            keys.push_back(key);
    }
    void clear() { keys.clear(); }
    bool any() const { return !keys.empty(); }
    std::vector<std::string>::const_iterator begin() const { return keys.begin(); }
    std::vector<std::string>::const_iterator end() const { return keys.end(); }

private:
    std::vector<std::string> keys;
};

} // namespace ovra
