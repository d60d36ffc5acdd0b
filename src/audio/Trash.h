// Owns the pointers handed to it and deletes them, first handed first, when it ends.
#pragma once
#include <list>

namespace ovra {

template <class T>
class Trash {
public:
    Trash() = default;
    Trash(const Trash&) = delete;
    Trash& operator=(const Trash&) = delete;

    // Destructors do not throw here (the language's default), so every
    // element is deleted and the list freed on every way out.
    virtual ~Trash()
    {
        for (T*& item : items) {
            T* doomed = item;
            item = nullptr;
            delete doomed;
        }
    }

    // Takes ownership of item (null is accepted and ignored when deleting).
    void append(T* item)
    {
        try {
            items.push_back(item);
        } catch (...) {
            delete item;
            throw;
        }
    }

private:
    std::list<T*> items;
};

} // namespace ovra
