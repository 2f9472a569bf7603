// Reads a fuzzer's input as a stream of choices: bytes, small numbers in a range, and raw
// blocks. Past the end every read gives zeros, so any input is a complete run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace orvane_fuzz {

class Input {
  public:
    Input(const uint8_t* data, size_t size) : p_(data), left_(size) {}

    uint8_t byte() {
        if (left_ == 0) return 0;
        --left_;
        return *p_++;
    }
    // A number from 0 to count - 1.
    uint32_t below(uint32_t count) { return count ? byte() % count : 0; }
    // `bytes` bytes of the input into `out`, zeros after its end.
    void fill(void* out, size_t bytes) {
        const size_t taken = bytes < left_ ? bytes : left_;
        std::memcpy(out, p_, taken);
        std::memset(static_cast<uint8_t*>(out) + taken, 0, bytes - taken);
        p_ += taken;
        left_ -= taken;
    }
    size_t left() const { return left_; }

  private:
    const uint8_t* p_;
    size_t left_;
};

}  // namespace orvane_fuzz
