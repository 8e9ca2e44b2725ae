// Cartridge loader and attach: the input is a whole cartridge image. A bad
// image must be refused with NES::RomFormatError; a good one is attached to a
// console, which then runs a few frames with pad buttons taken from the last
// bytes of the input (bytes after the CHR data are ignored by the loader).
#include "harness.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quiet_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::unique_ptr<NES::ROM> rom = fuzz::load(data, size);
    if (!rom) return 0;
    // What the loader accepted must be self-consistent: the mapper exists and
    // the banks that the attach and the mappers copy are all there.
    if (!rom->mapper || !rom->prg || rom->prg_size < 1024 || rom->chr_size < 0 || !rom->loaded) std::abort();

    fuzz::Console nes(std::move(rom));
    // Two frames; the last four bytes give the pads of each (an image that
    // ends exactly at its CHR data lends its own last bytes).
    const uint8_t* tail = data + size - 4;
    for (int f = 0; f < 2; f++) {
        nes.set_pad(0, tail[2 * f]);
        nes.set_pad(1, tail[2 * f + 1]);
        if (!nes.frame()) break;
    }
    return 0;
}
