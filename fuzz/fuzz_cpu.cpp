// CPU and mappers: the input becomes a cartridge whose PRG (and CHR) is the
// fuzzer's code, plus a list of bus accesses made between instructions.
//
// Input:
//   byte 0   mapper (0, 1, 2, 3, 4 or 40, modulo 6); bit 3 battery, bit 4
//            vertical mirroring, bit 5 four-screen
//   byte 1   bits 0-2 PRG size 1, 2, 4, 8, 16, 32, 64 or 128 KiB (below 16 KiB
//            as a NES 2.0 exponent-form size); bits 3-4 CHR ROM 0 (CHR RAM),
//            8, 16 or 32 KiB
//   byte 2   frames run at the end: bit 0, plus one; bit 1: run the same
//            again on a console in the plain mode (the model step by step)
//            and compare
//   byte 3   number of operations, each of 4 bytes: kind, address low,
//            address high, value. Kinds (modulo 5): a CPU bus write, a CPU bus
//            read, value + 1 instructions, pad (address bit 0) = value, a frame
//   the rest PRG and CHR contents, repeated to fill them (zeros when empty)
#include <vector>

#include "harness.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quiet_stdout();
    return 0;
}

namespace {

std::vector<uint8_t> build_image(fuzz::Reader& in, int& frames, bool& differential, std::vector<uint8_t>& ops) {
    const uint8_t cart = in.u8(), sizes = in.u8(), flags = in.u8();
    frames = (flags & 1) + 1;
    differential = flags & 2;
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

namespace {

// Performs the operations, then the frames; false when a frame was given up.
bool run(fuzz::Console& nes, const std::vector<uint8_t>& ops, int frames) {
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
                if (frame_ops++ < 2 && !nes.frame()) return false;
                break;
        }
    }
    for (int f = 0; f < frames; f++)
        if (!nes.frame()) return false;
    return true;
}

void same(const char* what, const void* a, const void* b, size_t n) {
    if (std::memcmp(a, b, n) == 0) return;
    const uint8_t *x = static_cast<const uint8_t*>(a), *y = static_cast<const uint8_t*>(b);
    size_t i = 0;
    while (x[i] == y[i]) i++;
    std::fprintf(stderr, "lazy and eager console differ: %s byte %zu: %02x and %02x\n", what, i, x[i], y[i]);
    std::abort();
}

// The normal mode lets the PPU and the APU lag behind the CPU, runs the CPU
// in batches and takes the fast paths, relying on the CPU to catch the units
// up before any access that could tell. The same program on a console in the
// plain mode must end in the same state.
void compare(fuzz::Console& lazy, fuzz::Console& eager) {
    lazy.sync();
    lazy.apu->settle();  // the steps a catch-up may leave unapplied (see APU::run)
    const NES::APU &s = *lazy.apu, &e = *eager.apu;
    const int64_t sa[] = {s.cycles, s.samples, s.lfsr, s.pulse_timer[0], s.pulse_timer[1], s.pulse_step[0],
                          s.pulse_step[1], s.tri_timer, s.tri_step, s.noise_timer, s.dmc_timer, s.dmc_level,
                          s.dmc_remaining, s.length[0], s.length[1], s.length[2], s.length[3]};
    const int64_t sb[] = {e.cycles, e.samples, e.lfsr, e.pulse_timer[0], e.pulse_timer[1], e.pulse_step[0],
                          e.pulse_step[1], e.tri_timer, e.tri_step, e.noise_timer, e.dmc_timer, e.dmc_level,
                          e.dmc_remaining, e.length[0], e.length[1], e.length[2], e.length[3]};
    same("APU state", sa, sb, sizeof sa);
    for (int k = 0; k < 6; k++) same("APU samples", s.live[k], e.live[k], NES::BUFFER_LEN * sizeof(int16_t));
    NES::CPU &a = *lazy.cpu, &b = *eager.cpu;
    const int64_t ra[] = {a.A, a.X, a.Y, a.P, a.SP, a.PC, a.cycles, a.instr_count, a.irq_pending, a.nmi_latch,
                          a.nmi_line_prev, int64_t(a.interrupt_digest)};
    const int64_t rb[] = {b.A, b.X, b.Y, b.P, b.SP, b.PC, b.cycles, b.instr_count, b.irq_pending, b.nmi_latch,
                          b.nmi_line_prev, int64_t(b.interrupt_digest)};
    same("CPU registers", ra, rb, sizeof ra);
    same("CPU memory", a.memory, b.memory, sizeof a.memory);
    NES::PPU &p = *lazy.ppu, &q = *eager.ppu;
    const int64_t pa[] = {int64_t(p.dot_count), int64_t(p.frame_count), p.scanline, p.dot, p.v, p.t, p.x, p.w, p.mirroring};
    const int64_t pb[] = {int64_t(q.dot_count), int64_t(q.frame_count), q.scanline, q.dot, q.v, q.t, q.x, q.w, q.mirroring};
    same("PPU registers", pa, pb, sizeof pa);
    same("video memory", p.vram, q.vram, sizeof p.vram);
    same("OAM", p.oam, q.oam, sizeof p.oam);
    same("picture", p.front_image, q.front_image, sizeof p.front_image);
    same("picture in progress", p.back_image, q.back_image, sizeof p.back_image);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Reader in(data, size);
    int frames;
    bool differential;
    static std::vector<uint8_t> ops;
    const std::vector<uint8_t> image = build_image(in, frames, differential, ops);
    std::unique_ptr<NES::ROM> rom = fuzz::load(image.data(), image.size());
    if (!rom) std::abort();  // every image built above is a valid one

    fuzz::Console nes(std::move(rom));
    const bool finished = run(nes, ops, frames);
    if (!differential || !finished) return 0;
    fuzz::Console eager(fuzz::load(image.data(), image.size()), NES::StepMode::plain);
    run(eager, ops, frames);
    compare(nes, eager);
    return 0;
}
