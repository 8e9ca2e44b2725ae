// CPU and mappers: the input becomes a cartridge whose PRG (and CHR) is the
// fuzzer's code, plus a list of bus accesses made between instructions.
//
// Input:
//   byte 0   mapper (0, 1, 2, 3, 4 or 40, modulo 6); bit 3 battery, bit 4
//            vertical mirroring, bit 5 four-screen
//   byte 1   bits 0-2 PRG size 1, 2, 4, 8, 16, 32, 64 or 128 KiB (below 16 KiB
//            as a NES 2.0 exponent-form size); bits 3-4 CHR ROM 0 (CHR RAM),
//            8, 16 or 32 KiB
//   byte 2   frames run at the end: bit 0, plus one
//   byte 3   number of operations, each of 4 bytes: kind, address low,
//            address high, value. Kinds (modulo 5): a CPU bus write, a CPU bus
//            read, value + 1 instructions, pad (address bit 0) = value, a frame
//   the rest PRG and CHR contents, repeated to fill them (zeros when empty)
#include <vector>

#include "console.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quiet_stdout();
    return 0;
}

namespace {

std::vector<uint8_t> build_image(fuzz::Reader& in, int& frames, std::vector<uint8_t>& ops) {
    const uint8_t cart = in.u8(), sizes = in.u8();
    frames = (in.u8() & 1) + 1;
    const int n_ops = in.u8();
    ops.clear();
    for (int i = 0; i < 4 * n_ops; i++) ops.push_back(in.u8());

    const int mapper = fuzz::MAPPERS[cart % 6];
    const int prg_exp = 10 + (sizes & 7);
    const long prg_size = 1L << prg_exp;
    static constexpr long CHR_SIZES[4] = {0, 8192, 16384, 32768};
    const long chr_size = CHR_SIZES[(sizes >> 3) & 3];

    std::vector<uint8_t> image(16 + prg_size + chr_size, 0);
    uint8_t* h = image.data();
    std::memcpy(h, "NES\x1a", 4);
    h[6] = uint8_t((mapper & 0x0F) << 4 | ((cart >> 3) & 1) << 1 | ((cart >> 4) & 1) | ((cart >> 5) & 1) << 3);
    h[7] = uint8_t(mapper & 0xF0);
    h[5] = uint8_t(chr_size / 8192);
    if (prg_size < 16384) {
        h[7] |= 0x08;  // NES 2.0, PRG size as 2^E x 1
        h[4] = uint8_t(prg_exp << 2);
        h[9] = 0x0F;
    } else {
        h[4] = uint8_t(prg_size / 16384);
    }
    const uint8_t* src = in.rest();
    const size_t n = in.left();
    if (n)
        for (size_t i = 16; i < image.size(); i++) image[i] = src[(i - 16) % n];
    return image;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Reader in(data, size);
    int frames;
    static std::vector<uint8_t> ops;
    const std::vector<uint8_t> image = build_image(in, frames, ops);
    std::unique_ptr<NES::ROM> rom = fuzz::load(image.data(), image.size());
    if (!rom) std::abort();  // every image built above is a valid one

    fuzz::Console nes(std::move(rom));
    int frame_ops = 0;
    for (size_t i = 0; i + 3 < ops.size(); i += 4) {
        const uint8_t kind = ops[i] % 5, value = ops[i + 3];
        const uint16_t addr = uint16_t(ops[i + 1] | ops[i + 2] << 8);
        switch (kind) {
            case 0:
                nes.sync();
                nes.cpu->write(nes.cpu->memory + addr, value);
                break;
            case 1:
                nes.sync();
                (void)nes.cpu->read(nes.cpu->memory + addr, true);
                break;
            case 2:
                for (int k = 0; k <= value; k++) nes.step();
                break;
            case 3:
                nes.set_pad(addr & 1, value);
                break;
            default:
                if (frame_ops++ < 2 && !nes.frame()) return 0;
                break;
        }
    }
    for (int f = 0; f < frames; f++)
        if (!nes.frame()) break;
    return 0;
}
