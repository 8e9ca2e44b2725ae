// MMC1's serial register written mid-frame on a console whose PPU lags
// behind the CPU (only a write that completes the register, or resets it,
// catches the PPU up) against the same program on a console caught up after
// every instruction: CHR banks switched at random points of the frame with
// rendering on must leave the same picture and state.
#include <cstdio>
#include <cstring>
#include <vector>

#include "../../fuzz/harness.h"
#include "compare.h"
#include "rng.h"

namespace {

Rng rnd{0x13198A2E03707344ull};

// MMC1, 32 KiB PRG, 32 KiB CHR ROM of random bytes. From $C000 (the fixed
// bank): control $1E (4 KiB CHR banks, vertical mirroring), PPUMASK from
// $00, then in a loop CHR bank 0 from the loop count and $01, written a bit
// at a time, and a wait of $02 turns.
std::vector<uint8_t> image() {
    std::vector<uint8_t> img(16 + 32768 + 32768, 0);
    const uint8_t header[16] = {'N', 'E', 'S', 0x1A, 2, 4, 0x10, 0};
    std::memcpy(img.data(), header, sizeof header);
    const uint8_t code[] = {
        0x78,                    // SEI
        0xA9, 0x80,              // LDA #$80
        0x8D, 0x00, 0x80,        // STA $8000
        0xA9, 0x1E,              // LDA #$1E
        0x8D, 0x00, 0x80,        // STA $8000
        0x4A,                    // LSR A
        0x8D, 0x00, 0x80,        // STA $8000
        0x4A,                    // LSR A
        0x8D, 0x00, 0x80,        // STA $8000
        0x4A,                    // LSR A
        0x8D, 0x00, 0x80,        // STA $8000
        0x4A,                    // LSR A
        0x8D, 0x00, 0x80,        // STA $8000
        0xA5, 0x00,              // LDA $00
        0x8D, 0x01, 0x20,        // STA $2001
        0xE8,                    // loop: INX
        0x8A,                    // TXA
        0x25, 0x01,              // AND $01
        0x8D, 0x00, 0xA0,        // STA $A000
        0x4A,                    // LSR A
        0x8D, 0x00, 0xA0,        // STA $A000
        0x4A,                    // LSR A
        0x8D, 0x00, 0xA0,        // STA $A000
        0x4A,                    // LSR A
        0x8D, 0x00, 0xA0,        // STA $A000
        0x4A,                    // LSR A
        0x8D, 0x00, 0xA0,        // STA $A000
        0xA4, 0x02,              // LDY $02
        0x88,                    // wait: DEY
        0xD0, 0xFD,              // BNE wait
        0x4C, 0x20, 0xC0,        // JMP loop
        0x40,                    // $C03D: RTI
    };
    uint8_t* prg = img.data() + 16;
    std::memcpy(prg + 0x4000, code, sizeof code);
    const uint8_t vectors[6] = {0x3D, 0xC0, 0x00, 0xC0, 0x3D, 0xC0};
    std::memcpy(prg + 0x7FFA, vectors, sizeof vectors);
    for (size_t i = 16 + 32768; i < img.size(); i++) img[i] = uint8_t(rnd(256));
    return img;
}

}  // namespace

int main() {
    static constexpr uint8_t MASKS[] = {0x1E, 0x18, 0x08, 0x0A, 0x00};
    for (int trial = 0; trial < 40; trial++) {
        const std::vector<uint8_t> img = image();
        fuzz::Console lazy(std::make_unique<NES::ROM>(long(img.size()), img.data()));
        fuzz::Console eager(std::make_unique<NES::ROM>(long(img.size()), img.data()), NES::StepMode::plain);
        const uint8_t setup[3] = {MASKS[rnd(sizeof MASKS)], uint8_t(rnd(8)), uint8_t(1 + rnd(40))};
        // Random nametables, palettes and sprites, so that every bank shows.
        uint8_t names[0x2000], oam[256];
        for (uint8_t& b : names) b = uint8_t(rnd(256));
        for (uint8_t& b : oam) b = uint8_t(rnd(256));
        for (fuzz::Console* c : {&lazy, &eager}) {
            std::memcpy(c->ppu->vram + 0x2000, names, sizeof names);
            std::memcpy(c->ppu->oam, oam, sizeof oam);
            std::memcpy(c->cpu->memory, setup, sizeof setup);
        }
        for (int f = 0; f < 3; f++) {
            lazy.frame();
            eager.frame();
        }
        lazy.sync();
        eager.sync();
        same("CPU memory", trial, lazy.cpu->memory, eager.cpu->memory, sizeof lazy.cpu->memory);
        same("video memory", trial, lazy.ppu->vram, eager.ppu->vram, sizeof lazy.ppu->vram);
        same("picture", trial, lazy.ppu->back_image, eager.ppu->back_image, sizeof lazy.ppu->back_image);
        if (differences) break;
    }
    std::printf("%s\n", differences ? "FAILED" : "ok");
    return differences ? 1 : 0;
}
