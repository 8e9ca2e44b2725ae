// Snapshot reader of the environments' engine: a console's own snapshot,
// edited at places the input chooses, restored into it.
//
// Input: byte 0 picks the cartridge (mapper 0, 1, 2, 3, 4 or 40, modulo 6);
// byte 1 holds the frames run before the snapshot (bits 0-1) and after the
// restore (bits 2-3), and in bit 4 whether the checksum is made to match the
// edits (so that the field checks behind it are reached); bytes 2-3 are the
// pads. Then edits of 4 bytes each: the part (header, pads, CPU, PPU, APU,
// mapper, checksum; modulo 7), an offset within it (16 bits, modulo its
// length) and the new byte.
//
// A refused snapshot must leave the console as it was (its own snapshot
// unchanged); an accepted one must give itself back when snapshotted again.
// Every accepted snapshot then runs.
#include <cstring>

#include "carts.h"
#include "harness.h"
#include "engine.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quiet_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Reader in(data, size);
    const fuzz::Cart& cart = fuzz::CARTS[in.u8() % fuzz::CART_COUNT];
    const uint8_t frames = in.u8();
    kestrix_gym::Console console(cart.data, cart.size);
    console.set_buttons(0, in.u8());
    console.set_buttons(1, in.u8());
    // Frames of our cartridges end well within this; an edited program may not.
    constexpr int64_t BUDGET = 100000;
    for (int f = frames & 3; f > 0; f--) console.run_frame(BUDGET);

    std::vector<uint8_t> snap = console.snapshot();
    const std::array<size_t, 6> at = console.snapshot_parts();
    const size_t starts[8] = {0, at[0], at[1], at[2], at[3], at[4], at[5], snap.size()};
    while (in.left() >= 4) {
        const int part = in.u8() % 7;
        const size_t length = starts[part + 1] - starts[part], offset = in.u16();
        const uint8_t value = in.u8();
        if (length) snap[starts[part] + offset % length] = value;  // a mapper without fields has none
    }
    if (frames & 0x10) {
        const uint32_t crc = kestrix_gym::crc32(snap.data(), snap.size() - 4);
        std::memcpy(snap.data() + snap.size() - 4, &crc, 4);
    }

    const std::vector<uint8_t> before = console.snapshot();
    try {
        console.restore(snap.data(), snap.size());
    } catch (const kestrix_gym::SnapshotError&) {
        if (console.snapshot() != before) {
            std::fprintf(stderr, "a refused snapshot changed the console\n");
            std::abort();
        }
        return 0;
    }
    if (console.snapshot() != snap) {
        std::fprintf(stderr, "an accepted snapshot does not give itself back\n");
        std::abort();
    }
    for (int f = ((frames >> 2) & 3) + 1; f > 0; f--)
        if (!console.run_frame(BUDGET)) break;
    console.snapshot();
    return 0;
}
