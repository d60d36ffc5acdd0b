// The batch's count of errors. While a track runs on a thread, what is
// counted there is also counted for that track, whichever thread runs it.
#pragma once
#include <atomic>

namespace ovra::tempix {

class ErrorCount {
public:
    ErrorCount& operator++()
    {
        ++total;
        if (track != nullptr)
            ++*track;
        return *this;
    }
    ErrorCount& operator+=(int n)
    {
        total += n;
        if (track != nullptr)
            *track += n;
        return *this;
    }
    ErrorCount& operator=(int value)
    {
        total = value;
        return *this;
    }
    int load() const { return total.load(); }

    // Errors counted on this thread also go to counter for the guard's life.
    class Track_auto {
    public:
        explicit Track_auto(int& counter) : previous(track) { track = &counter; }
        ~Track_auto() { track = previous; }
        Track_auto(const Track_auto&) = delete;
        Track_auto& operator=(const Track_auto&) = delete;

    private:
        int* previous;
    };

private:
    std::atomic<int> total{0};
    static inline thread_local int* track = nullptr;
};

} // namespace ovra::tempix
