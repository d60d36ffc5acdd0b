// Signals for the analysis tests, made in memory.
#pragma once
#include "../audio/MemorySoundStream.h"
#include "platform/Threads.h"

#include <cstdint>
#include <vector>

namespace ovra::test {

// A deterministic noise source (no library generator, so the values never change).
class Noise {
public:
    explicit Noise(uint32_t seed) : state(seed) {}
    float next()
    {
        state = state * 1664525u + 1013904223u;
        return float(int32_t(state >> 8) - (1 << 23)) / float(1 << 23);
    }

private:
    uint32_t state;
};

// Bursts every period samples over quiet noise: beats of a known period.
inline std::vector<float> pulses(double seconds, double rate, uint32_t period, uint32_t burst = 300,
                                 float quiet = 0.01f, uint32_t offset = 0)
{
    std::vector<float> s(size_t(seconds * rate));
    Noise noise(7);
    for (size_t i = 0; i < s.size(); ++i) {
        float v = quiet * noise.next();
        if (i >= offset && (i - offset) % period < burst)
            v += 0.7f * noise.next();
        s[i] = v;
    }
    return s;
}

// Bursts every 15000 samples at 44100 Hz, every third one 1.3 times louder, over
// loud noise: with the envelope's mean left in, a different lag would win.
inline std::vector<float> accentedoverloudnoise(double seconds)
{
    const uint32_t period = 15000, burst = 300;
    std::vector<float> s = pulses(seconds, 44100.0, period, burst, 0.4f);
    for (size_t i = 0; i < s.size(); ++i) {
        if ((i / period) % 3 == 0 && i % period < burst)
            s[i] *= 1.3f;
    }
    return s;
}

// A canceler that turns cancelled at its n-th question (0: never), and counts them.
class CountingCanceler : public Canceler {
public:
    explicit CountingCanceler(int cancelAt = 0) : cancelAt(cancelAt) {}
    void cancel() override { cancelled = true; }
    bool iscancelled() override
    {
        ++questions;
        if (cancelAt != 0 && questions >= cancelAt)
            cancelled = true;
        return cancelled;
    }
    void addcond(pthread_cond_t*) override {}
    bool timedwait(int) override { return cancelled; }

    int questions = 0;

private:
    int cancelAt;
    bool cancelled = false;
};

} // namespace ovra::test
