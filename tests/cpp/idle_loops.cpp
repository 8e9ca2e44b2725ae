// Idle loops (`JMP *`, `BNE *`, a read and a branch back to it, a PPUSTATUS
// poll, a delay loop) run by
// CPU::clock_batch(), which counts their passes at once, against the same
// program stepped one instruction at a time: every register and count after
// each batch, and memory, picture and PPU state after a dozen frames, must
// agree. The program waits for the NMI in a loop of each kind, with the
// DMC's IRQ pending under I, then idles with IRQs taken; a random delay and
// random batch lengths move the deadlines across the loops' passes.
#include <cstdio>
#include <cstring>
#include <vector>

#include "../../fuzz/harness.h"
#include "compare.h"
#include "rng.h"

namespace {

Rng rnd{0x452821E638D01377ull};

struct Chunk {
    uint16_t at;
    std::vector<uint8_t> bytes;
};

// NROM, 32 KiB PRG. Reset: a one-byte DMC sample with its IRQ, NMI and
// rendering on. main: a delay loop on $15 (DEX, DEY, INX or INY, then BNE),
// then until each NMI: LDA $10/BEQ, BIT $10/BPL,
// LDA $0300/BEQ, CPY $10/BNE, and LDA $0300/BEQ across a page ($80FD-$8101,
// a 4-cycle branch); then LDA $2002/BPL and BIT $2002/BPL until a vertical
// blank each; then CLI and the final loop. The NMI writes PPUSCROLL once
// (the next PPUSTATUS read clears the toggle), sets $10 and $0300 to $81 and, in the final loop, restarts main every fourth time; the IRQ
// counts in $11 and starts the sample again.
std::vector<uint8_t> image(int final_loop, int delay_loop) {
    static const uint8_t FINALS[3][4] = {
        {0x4C, 0x13, 0x81},        // JMP *
        {0xD0, 0xFE},              // BNE * (Z clear)
        {0x25, 0x14, 0xD0, 0xFC},  // AND $14 / BNE: the first pass changes A
    };
    std::vector<Chunk> code = {
        {0x8000, {0x78, 0xD8, 0xA2, 0xFF, 0x9A, 0xA9, 0x8F, 0x8D, 0x10, 0x40, 0xA9, 0x00, 0x8D, 0x12, 0x40, 0x8D,
                  0x13, 0x40, 0xA9, 0x10, 0x8D, 0x15, 0x40, 0xA9, 0x0F, 0x85, 0x14, 0xA9, 0x80, 0x8D, 0x00, 0x20,
                  0xA9, 0x1E, 0x8D, 0x01, 0x20, 0x78, 0xA9, 0x00, 0x85, 0x10, 0x85, 0x13, 0xA6, 0x15, 0xCA, 0xD0,
                  0xFD, 0xA5, 0x10, 0xF0, 0xFC, 0xA9, 0x00, 0x85, 0x10, 0x24, 0x10, 0x10, 0xFC, 0xA9, 0x00, 0x8D,
                  0x00, 0x03, 0xAD, 0x00, 0x03, 0xF0, 0xFB, 0xA9, 0x00, 0x85, 0x10, 0xA0, 0x81, 0xC4, 0x10, 0xD0,
                  0xFC, 0xA9, 0x00, 0x8D, 0x00, 0x03, 0x4C, 0xFD, 0x80}},
        {0x80FD, {0xAD, 0x00, 0x03, 0xF0, 0xFB, 0xAD, 0x02, 0x20, 0x10, 0xFB, 0x2C, 0x02, 0x20, 0x10, 0xFB, 0xA9,
                  0x01, 0x85, 0x13, 0x58, 0xA9, 0xFF}},
        {0x8113, std::vector<uint8_t>(FINALS[final_loop], FINALS[final_loop] + (final_loop == 2 ? 4 : final_loop ? 2 : 3))},
        {0x8200, {0x48, 0x8D, 0x05, 0x20, 0xA9, 0x81, 0x85, 0x10, 0x8D, 0x00, 0x03, 0xE6, 0x12, 0xE6, 0x15, 0xA5, 0x13, 0xF0, 0x0C,
                  0xA5, 0x12, 0x29, 0x03, 0xD0, 0x06, 0xA2, 0xFF, 0x9A, 0x4C, 0x25, 0x80, 0x68, 0x40}},
        {0x8280, {0x48, 0xE6, 0x11, 0xA9, 0x10, 0x8D, 0x15, 0x40, 0x68, 0x40}},
        {0xFFFA, {0x00, 0x82, 0x00, 0x80, 0x80, 0x82}},
    };
    std::vector<uint8_t> img(16 + 32768 + 8192, 0);
    const uint8_t header[16] = {'N', 'E', 'S', 0x1A, 2, 1, 0, 0};
    std::memcpy(img.data(), header, sizeof header);
    for (const Chunk& c : code) std::memcpy(img.data() + 16 + (c.at - 0x8000), c.bytes.data(), c.bytes.size());
    // The delay: LDX $15 / DEX, LDY $15 / DEY, LDX $15 / INX or LDY $15 / INY.
    static const uint8_t DELAYS[4][2] = {{0xA6, 0xCA}, {0xA4, 0x88}, {0xA6, 0xE8}, {0xA4, 0xC8}};
    img[16 + 0x2C] = DELAYS[delay_loop][0];
    img[16 + 0x2E] = DELAYS[delay_loop][1];
    for (size_t i = 16 + 32768; i < img.size(); i++) img[i] = uint8_t(rnd(256));
    return img;
}

}  // namespace

int main() {
    int64_t counted = 0;
    for (int trial = 0; trial < 36 && !differences; trial++) {
        const std::vector<uint8_t> img = image(trial % 3, trial / 3 % 4);
        fuzz::Console batched(std::make_unique<NES::ROM>(long(img.size()), img.data()));
        fuzz::Console stepped(std::make_unique<NES::ROM>(long(img.size()), img.data()), NES::StepMode::plain);
        const uint8_t delay = uint8_t(rnd(256));
        batched.cpu->memory[0x15] = stepped.cpu->memory[0x15] = delay;
        while (batched.ppu->frame_count < 12 && !differences) {
            batched.step_batch(trial % 2 ? 64 : 1 + int(rnd(80)));
            while (stepped.cpu->instr_count < batched.cpu->instr_count) stepped.step();
            const NES::CPU &a = *batched.cpu, &b = *stepped.cpu;
            const int64_t ra[] = {a.A, a.X, a.Y, a.P, a.SP, a.PC, a.cycles, a.instr_count};
            const int64_t rb[] = {b.A, b.X, b.Y, b.P, b.SP, b.PC, b.cycles, b.instr_count};
            same("registers and counts after a batch", trial, ra, rb, sizeof ra);
        }
        batched.sync();
        stepped.sync();
        same("CPU memory", trial, batched.cpu->memory, stepped.cpu->memory, sizeof batched.cpu->memory);
        same("picture", trial, batched.ppu->back_image, stepped.ppu->back_image, sizeof batched.ppu->back_image);
        const int64_t pa[] = {int64_t(batched.ppu->dot_count), int64_t(batched.ppu->frame_count), batched.apu->cycles};
        const int64_t pb[] = {int64_t(stepped.ppu->dot_count), int64_t(stepped.ppu->frame_count), stepped.apu->cycles};
        same("PPU and APU counts", trial, pa, pb, sizeof pa);
        // The NMI and IRQ handlers ran, and the loops were counted, not run.
        if (batched.cpu->memory[0x12] < 10 || batched.cpu->memory[0x11] == 0) {
            std::fprintf(stderr, "trial %d: the program did not reach its interrupts ($12 %d, $11 %d)\n", trial,
                         batched.cpu->memory[0x12], batched.cpu->memory[0x11]);
            differences++;
        }
        counted += batched.cpu->idle_counted;
        if (batched.cpu->idle_counted < batched.cpu->instr_count / 2) {
            std::fprintf(stderr, "trial %d: only %lld of %lld instructions counted as idle passes\n", trial,
                         (long long)batched.cpu->idle_counted, (long long)batched.cpu->instr_count);
            differences++;
        }
    }
    std::printf("%s (%lld idle instructions counted)\n", differences ? "FAILED" : "ok", (long long)counted);
    return differences ? 1 : 0;
}
