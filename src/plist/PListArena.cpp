#include "plist/PListArena.h"

#include <cstdint>
#include <cstring>

namespace ovra {

void* PListArena::allocate(size_t size, size_t alignment)
{
    size_t pad = (alignment - reinterpret_cast<uintptr_t>(next) % alignment) % alignment;
    if (next != nullptr && pad + size <= left) {
        void* p = next + pad;
        next += pad + size;
        left -= pad + size;
        return p;
    }
    // A large piece gets a block of its own, so that the current one goes on
    // being filled.
    if (size > BLOCK / 4) {
        blocks.push_back(std::make_unique_for_overwrite<char[]>(size));
        return blocks.back().get();
    }
    blocks.push_back(std::make_unique_for_overwrite<char[]>(BLOCK));
    next = blocks.back().get(); // aligned for any type
    left = BLOCK;
    void* p = next;
    next += size;
    left -= size;
    return p;
}

const char* PListArena::copy(std::string_view bytes)
{
    if (bytes.empty())
        return nullptr;
    char* p = static_cast<char*>(allocate(bytes.size() + 1, 1));
    std::memcpy(p, bytes.data(), bytes.size());
    p[bytes.size()] = '\0';
    return p;
}

} // namespace ovra
