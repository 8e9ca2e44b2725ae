#include "controller.h"

#include <cstring>

namespace NES {

namespace {
typedef uint64_t __attribute__((may_alias)) packed_t;
}

Controller::Controller(const bool* inputs) { update_inputs(inputs); }

void Controller::update_inputs(const bool* inputs) {
    packed_t v;
    std::memcpy(&v, inputs, 8);
    __atomic_store_n(reinterpret_cast<packed_t*>(buttons), v, __ATOMIC_RELAXED);
}

uint8_t Controller::get_input_byte() const {
    packed_t v = __atomic_load_n(reinterpret_cast<const packed_t*>(buttons), __ATOMIC_RELAXED);
    bool b[8];
    std::memcpy(b, &v, 8);
    uint8_t r = 0;
    for (int i = 0; i < 8; i++) r |= uint8_t(b[i] ? 1 : 0) << (7 - i);
    return r;
}

}  // namespace NES
