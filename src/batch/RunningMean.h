// The mean of the last ten values pushed, kept as a running sum.
#pragma once

namespace ovra::tempix {

class RunningMean {
public:
    void clear()
    {
        for (float& slot : slots)
            slot = 0.0f;
        sum = 0.0;
        index = 0;
    }
    void push(float x)
    {
        // The difference in single precision, the sum in double: the stored
        // analyses depend on exactly this.
        float difference = x - slots[index];
        sum += double(difference);
        slots[index] = x;
        index = index == 9 ? 0 : index + 1;
    }
    double mean() const { return sum / 10.0; }

private:
    float slots[10] = {};
    double sum = 0.0;
    int index = 0;
};

} // namespace ovra::tempix
