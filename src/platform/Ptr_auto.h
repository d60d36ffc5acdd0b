// Owns one malloc'd buffer and frees it on every way out.
#pragma once
#include <cstdlib>
#include <cstring>

namespace ovra {

template <typename T>
class Ptr_auto {
public:
    Ptr_auto() = default;
    explicit Ptr_auto(T* p) : ptr(p) {}
    ~Ptr_auto() { std::free(ptr); }
    Ptr_auto(const Ptr_auto&) = delete;
    Ptr_auto& operator=(const Ptr_auto&) = delete;
    Ptr_auto(Ptr_auto&& other) noexcept : ptr(other.ptr), bytes(other.bytes)
    {
        other.ptr = nullptr;
        other.bytes = 0;
    }

    // size 0 frees the buffer. A failed resize keeps the old buffer.
    bool malloc(size_t size, bool clear)
    {
        if (size == 0) {
            std::free(ptr);
            ptr = nullptr;
            bytes = 0;
            return true;
        }
        void* p = std::realloc(ptr, size);
        if (p == nullptr)
            return false;
        ptr = static_cast<T*>(p);
        bytes = size;
        if (clear)
            std::memset(ptr, 0, size);
        return true;
    }

    T* get() const { return ptr; }
    size_t size() const { return bytes; }
    T* release()
    {
        T* p = ptr;
        ptr = nullptr;
        bytes = 0;
        return p;
    }
    operator T*() const { return ptr; }

private:
    T* ptr = nullptr;
    size_t bytes = 0;
};

} // namespace ovra
