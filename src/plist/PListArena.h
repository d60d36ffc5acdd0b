// The memory of one property-list tree: every node, text and entry table is
// carved from large blocks that the root owns and frees at once. A library
// holds millions of small values; one allocation each would cost more than
// the values themselves.
#pragma once
#include <cstddef>
#include <memory>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

namespace ovra {

class PListArena {
public:
    PListArena() = default;
    PListArena(const PListArena&) = delete;
    PListArena& operator=(const PListArena&) = delete;

    void* allocate(size_t size, size_t alignment);
    // A NUL-terminated copy of the bytes; null for none.
    const char* copy(std::string_view bytes);

    // Objects made here are never destroyed one by one: they may own nothing
    // outside the arena.
    template <typename T, typename... Args>
    T* make(Args&&... args)
    {
        return ::new (allocate(sizeof(T), alignof(T))) T(std::forward<Args>(args)...);
    }
    template <typename T>
    T* copyarray(const T* from, size_t count)
    {
        if (count == 0)
            return nullptr;
        T* to = static_cast<T*>(allocate(sizeof(T) * count, alignof(T)));
        for (size_t i = 0; i < count; ++i)
            to[i] = from[i];
        return to;
    }

private:
    static constexpr size_t BLOCK = size_t(1) << 20;
    std::vector<std::unique_ptr<char[]>> blocks;
    char* next = nullptr;
    size_t left = 0;
};

} // namespace ovra
