#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

namespace NES {

// Walks the fields of a unit's state in one fixed order, for three uses:
// writing them to a byte image (or only counting its size), checking an
// image without changing anything, and reading an image back. One list of
// fields per unit serves all three, so the writer and the reader cannot
// drift apart. A field whose value is used as an index or a bound carries
// its valid range; a check fails on any value outside it.
class Fields {
public:
    enum class Mode : uint8_t { save, check, load };

    Fields(Mode mode, uint8_t* data, size_t size) : mode(mode), data(data), size(size) {}

    template <class T>
    void operator()(T& field) {
        static_assert(std::is_trivially_copyable_v<T>);
        bytes(&field, sizeof field);
    }
    // A flag is one byte, 0 or 1 (any other byte would not be a valid bool).
    bool operator()(bool& field) {
        uint8_t b = field;
        b = (*this)(b, uint8_t(0), uint8_t(1));
        if (mode == Mode::load) field = b;
        return b;
    }
    template <size_t N>
    void operator()(bool (&field)[N]) {
        for (bool& flag : field) (*this)(flag);
    }
    // A scalar field that must lie in [lo, hi]; returns the value written or
    // read (on check, the image's value: conditions across fields use it).
    template <class T>
    T operator()(T& field, T lo, T hi) {
        static_assert(std::is_arithmetic_v<T>);
        if (mode == Mode::save) {
            bytes(&field, sizeof field);
            return field;
        }
        T value{};
        if (!take(&value, sizeof value)) return lo;
        if (!(value >= lo && value <= hi)) {
            good = false;
            return lo;
        }
        if (mode == Mode::load) field = value;
        return value;
    }
    // A scalar field of any value, returned as above.
    template <class T>
    T value(T& field) {
        return (*this)(field, std::numeric_limits<T>::lowest(), std::numeric_limits<T>::max());
    }
    // Each element of an array field in [lo, hi].
    template <class T, size_t N>
    void each(T (&field)[N], T lo, T hi) {
        for (T& element : field) (*this)(element, lo, hi);
    }
    // `n` elements at `p`, a buffer the unit allocated.
    template <class T>
    void array(T* p, size_t n) {
        static_assert(std::is_trivially_copyable_v<T>);
        bytes(p, n * sizeof(T));
    }
    // A condition over values returned above.
    void require(bool condition) { good = good && condition; }
    bool saving() const { return mode == Mode::save; }
    bool loading() const { return mode == Mode::load; }

    bool ok() const { return good; }
    size_t used() const { return pos; }

private:
    Mode mode;
    uint8_t* data;
    size_t size;
    size_t pos = 0;
    bool good = true;

    void bytes(void* p, size_t n) {
        if (mode == Mode::save) {
            if (data) {
                if (pos + n > size) {
                    good = false;
                    return;
                }
                std::memcpy(data + pos, p, n);
            }
            pos += n;
            return;
        }
        if (mode == Mode::check) {
            if (pos + n > size) good = false;
            pos += n;
            return;
        }
        take(p, n);
    }
    bool take(void* p, size_t n) {
        if (pos + n > size) {
            good = false;
            return false;
        }
        std::memcpy(p, data + pos, n);
        pos += n;
        return true;
    }
};

}  // namespace NES
