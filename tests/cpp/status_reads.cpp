// PPUSTATUS polling and scroll writes on a console whose PPU lags behind the
// CPU (it is caught up for a read only when the status could change before
// it, for a write of the scroll latches or PPUCTRL only when a dot before it
// reads them, and for a PPUMASK write only when it changes a bit the PPU
// reads) against the
// same program on a console caught up after every instruction: with random
// sprites, sprite 0 anywhere, both sprite heights and PPUMASK switching
// sprites and background (or only greyscale and emphasis) on and off, every
// value read and the whole state must agree.
#include <cstdio>
#include <cstring>
#include <vector>

#include "../../fuzz/harness.h"
#include "compare.h"
#include "rng.h"

namespace {

Rng rnd{0x243F6A8885A308D3ull};

// NROM, 32 KiB PRG: PPUCTRL from $01, PPUMASK from $00, then in a loop
// PPUSTATUS read into $0300-$03FF, both PPUSCROLL writes and PPUCTRL (from
// the loop count); every
// 256 reads PPUMASK changes by the bits in $02 and PPUADDR is written twice.
std::vector<uint8_t> image() {
    std::vector<uint8_t> img(16 + 32768 + 8192, 0);
    const uint8_t header[16] = {'N', 'E', 'S', 0x1A, 2, 1, 0, 0};
    std::memcpy(img.data(), header, sizeof header);
    const uint8_t code[] = {
        0x78,                    // SEI
        0xA5, 0x01,              // LDA $01
        0x8D, 0x00, 0x20,        // STA $2000
        0xA5, 0x00,              // LDA $00
        0x8D, 0x01, 0x20,        // STA $2001
        0xA2, 0x00,              // LDX #0
        0xAD, 0x02, 0x20,        // loop: LDA $2002
        0x9D, 0x00, 0x03,        // STA $0300,X
        0x8E, 0x05, 0x20,        // STX $2005
        0x8C, 0x05, 0x20,        // STY $2005
        0xC8,                    // INY
        0x8A,                    // TXA
        0x29, 0x3B,              // AND #$3B
        0x8D, 0x00, 0x20,        // STA $2000
        0xE8,                    // INX
        0xD0, 0xEA,              // BNE loop
        0xA5, 0x00,              // LDA $00
        0x45, 0x02,              // EOR $02
        0x85, 0x00,              // STA $00
        0x8D, 0x01, 0x20,        // STA $2001
        0x8C, 0x06, 0x20,        // STY $2006
        0x8E, 0x06, 0x20,        // STX $2006
        0x4C, 0x0D, 0x80,        // JMP loop
        0x40,                    // $8035: RTI
    };
    uint8_t* prg = img.data() + 16;
    std::memcpy(prg, code, sizeof code);
    const uint8_t vectors[6] = {0x35, 0x80, 0x00, 0x80, 0x35, 0x80};
    std::memcpy(prg + 0x7FFA, vectors, sizeof vectors);
    for (size_t i = 16 + 32768; i < img.size(); i++) img[i] = uint8_t(rnd(256));
    return img;
}

}  // namespace

int main() {
    static constexpr uint8_t MASKS[] = {0x1E, 0x18, 0x08, 0x10, 0x0E, 0x00, 0x1A};
    for (int trial = 0; trial < 60; trial++) {
        const std::vector<uint8_t> img = image();
        fuzz::Console lazy(std::make_unique<NES::ROM>(long(img.size()), img.data()));
        fuzz::Console eager(std::make_unique<NES::ROM>(long(img.size()), img.data()), NES::StepMode::plain);
        // Sprites: a random number in view, often crowded lines, sprite 0 anywhere.
        const int shown = int(rnd(65));
        const int band = int(rnd(240));
        uint8_t oam[256];
        for (int i = 0; i < 256; i++) oam[i] = uint8_t(rnd(256));
        for (int k = 0; k < 64; k++)
            oam[4 * k] = k >= shown ? uint8_t(0xF0 + rnd(16)) : uint8_t(rnd(3) ? band + rnd(12) : rnd(240));
        const uint8_t setup[3] = {MASKS[rnd(sizeof MASKS)], uint8_t(rnd(256) & 0x3B),
                                  uint8_t(rnd(4) == 0 ? 0xE1 : rnd(2) ? 0x10 : rnd(3) ? 0x08 : 0x18)};
        // Random nametables and palettes, so that every scroll shows.
        uint8_t names[0x2000];
        for (uint8_t& b : names) b = uint8_t(rnd(256));
        for (fuzz::Console* c : {&lazy, &eager}) {
            std::memcpy(c->ppu->vram + 0x2000, names, sizeof names);
            std::memcpy(c->ppu->oam, oam, sizeof oam);
            std::memcpy(c->cpu->memory, setup, sizeof setup);
        }
        for (int f = 0; f < 4; f++) {
            lazy.frame();
            eager.frame();
        }
        lazy.sync();
        eager.sync();
        same("CPU memory", trial, lazy.cpu->memory, eager.cpu->memory, sizeof lazy.cpu->memory);
        const int64_t ra[] = {lazy.cpu->A, lazy.cpu->X, lazy.cpu->PC, lazy.cpu->cycles, int64_t(lazy.ppu->dot_count)};
        const int64_t rb[] = {eager.cpu->A, eager.cpu->X, eager.cpu->PC, eager.cpu->cycles, int64_t(eager.ppu->dot_count)};
        same("registers", trial, ra, rb, sizeof ra);
        same("picture", trial, lazy.ppu->back_image, eager.ppu->back_image, sizeof lazy.ppu->back_image);
        if (differences) break;
    }
    std::printf("%s\n", differences ? "FAILED" : "ok");
    return differences ? 1 : 0;
}
