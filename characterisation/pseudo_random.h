#pragma once

#include <cstdint>

namespace corvid {

// A small linear congruential generator with the classic C library range 0..32767. Each worker
// owns one, so workers never disturb each other's sequences.
class PseudoRandom {
  public:
    static constexpr int kMax = 32767;

    void seed(std::uint32_t value) { state_ = value; }
    int next() {
        state_ = state_ * 214013u + 2531011u;
        return static_cast<int>((state_ >> 16) & 0x7FFFu);
    }

  private:
    std::uint32_t state_ = 1;
};

}  // namespace corvid
