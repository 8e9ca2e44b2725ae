#pragma once
#include <cstdint>

namespace NES {

// A standard pad: eight button flags, index 0 (A) is shifted out first.
class Controller {
public:
    alignas(8) bool buttons[8] = {};

    Controller() = default;
    explicit Controller(const bool* inputs);

    // All eight flags are replaced in one 8-byte store, so a strobe on the
    // stepping thread never latches a mix of old and new buttons.
    void update_inputs(const bool* inputs);
    uint8_t get_input_byte() const;
};

}  // namespace NES
