// Each cartridge run on two consoles: one in the normal mode (the fast paths:
// batches, idle loops counted at once, a lagging PPU drawing in spans, a
// lagging APU skipping quiet stretches) and one in the plain mode (the model
// itself: CPU::clock(), APU::cycle(), PPU::cycle(), one at a time). Both get
// the same pseudo-random pads; after every frame the picture (finished and in
// progress), CPU memory, video memory, OAM, palette, registers, counters, the
// cycle of every NMI and IRQ, the audio blocks and the save-state image must
// be the same. Reports the first difference.
//
// Usage: plain_compare [--frames N] [--seed S] CARTRIDGE...
// Exit status: 0 all agree, 1 a difference, 2 a usage error or an unreadable file.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "console.h"

namespace {

// A console of quiet parts (no diagnostic lines, no battery file).
struct Parts {
    NES::ROM rom;
    NES::CPU cpu;
    NES::PPU ppu;
    NES::APU apu;
    NES::Controller pads[2];
    NES::Console core;
    int64_t frames_seen = 0;  // per-frame callbacks

    Parts(const std::vector<uint8_t>& image, NES::StepMode mode) : rom(long(image.size()), image.data(), true) {
        cpu.quiet = true;
        NES::link_apu(cpu, apu, 1789773);
        NES::link_pads(cpu, &pads[0], &pads[1]);
        NES::link_ppu(cpu, ppu);
        NES::attach(cpu, ppu, rom, false);
        NES::power_on(cpu, mode);
        core = NES::Console(&cpu, &ppu, &apu, mode);
    }

    void set_pad(int port, uint8_t buttons) {
        bool b[8];
        for (int i = 0; i < 8; i++) b[i] = (buttons >> i) & 1;
        pads[port].update_inputs(b);
    }

    // A frame as NES.runFrame() runs it, its callback looking at the APU as
    // the unit's does; false when the program did not end the frame within
    // `budget` of work (a program that stops time with zero-cycle opcodes).
    bool frame(int64_t budget) {
        return core.run_frame([this] { core.sync_apu(), frames_seen++; }, core.work() + budget);
    }
};

uint64_t rng_state;
uint8_t next_byte() {
    rng_state ^= rng_state << 13;
    rng_state ^= rng_state >> 7;
    rng_state ^= rng_state << 17;
    return uint8_t(rng_state >> 24);
}

// Buttons for a frame: any of A, B and the directions; Select and Start
// seldom, so that games get going but are not paused every few frames.
uint8_t pad_byte() {
    uint8_t b = next_byte() & 0xF3;
    if (next_byte() < 10) b |= 0x08;
    if (next_byte() < 4) b |= 0x04;
    return b;
}

std::string first_difference(const char* what, const void* a, const void* b, size_t n) {
    if (std::memcmp(a, b, n) == 0) return "";
    const uint8_t *x = static_cast<const uint8_t*>(a), *y = static_cast<const uint8_t*>(b);
    size_t i = 0;
    while (x[i] == y[i]) i++;
    char buf[160];
    std::snprintf(buf, sizeof buf, "%s differs at byte %zu: %02x (normal) and %02x (plain)", what, i, x[i], y[i]);
    return buf;
}

// What differs between the two consoles after a frame, or "".
std::string compare(Parts& n, Parts& p) {
    std::string d;
    auto check = [&](const char* what, const void* a, const void* b, size_t size) {
        if (d.empty()) d = first_difference(what, a, b, size);
    };
    const NES::CPU &c = n.cpu, &q = p.cpu;
    const int64_t ra[] = {c.A, c.X, c.Y, c.P, c.SP, c.PC};
    const int64_t rb[] = {q.A, q.X, q.Y, q.P, q.SP, q.PC};
    check("CPU registers (A X Y P SP PC)", ra, rb, sizeof ra);
    const int64_t ca[] = {c.cycles, c.instr_count, int64_t(n.ppu.dot_count), int64_t(n.ppu.frame_count), n.ppu.scanline,
                          n.ppu.dot, n.apu.cycles, n.apu.samples, n.frames_seen};
    const int64_t cb[] = {q.cycles, q.instr_count, int64_t(p.ppu.dot_count), int64_t(p.ppu.frame_count), p.ppu.scanline,
                          p.ppu.dot, p.apu.cycles, p.apu.samples, p.frames_seen};
    check("counters (CPU cycles, instructions, PPU dots, frames, line, dot, APU steps, samples, callbacks)", ca, cb,
          sizeof ca);
    check("NMI and IRQ cycles", &c.interrupt_digest, &q.interrupt_digest, sizeof c.interrupt_digest);
    const int64_t pa[] = {n.ppu.v, n.ppu.t, n.ppu.x, n.ppu.w, n.ppu.oam_addr, n.ppu.read_buffer, n.ppu.nmi_line, c.irq_pending};
    const int64_t pb[] = {p.ppu.v, p.ppu.t, p.ppu.x, p.ppu.w, p.ppu.oam_addr, p.ppu.read_buffer, p.ppu.nmi_line, q.irq_pending};
    check("PPU registers (v t x w OAMADDR read buffer, NMI and IRQ lines)", pa, pb, sizeof pa);
    check("picture", n.ppu.front_image, p.ppu.front_image, sizeof n.ppu.front_image);
    check("picture in progress", n.ppu.back_image, p.ppu.back_image, sizeof n.ppu.back_image);
    check("palette", n.ppu.vram + 0x3F00, p.ppu.vram + 0x3F00, 0x20);
    check("video memory", n.ppu.vram, p.ppu.vram, sizeof n.ppu.vram);
    check("OAM", n.ppu.oam, p.ppu.oam, sizeof n.ppu.oam);
    check("CPU memory", c.memory, q.memory, sizeof c.memory);
    for (int k = 0; k < 6; k++) check("audio being filled", n.apu.live[k], p.apu.live[k], NES::BUFFER_LEN * 2);
    static int16_t blocks[2][6][NES::BUFFER_LEN];
    const bool ready_n = n.apu.take_audio(blocks[0], 6), ready_p = p.apu.take_audio(blocks[1], 6);
    check("audio block handed out", &ready_n, &ready_p, sizeof ready_n);
    if (ready_n && ready_p) check("audio blocks", blocks[0], blocks[1], sizeof blocks[0]);
    static uint8_t state[2][NES::CPU::STATE_SIZE];
    n.cpu.save_state_bytes(state[0]);
    p.cpu.save_state_bytes(state[1]);
    check("save state", state[0], state[1], sizeof state[0]);
    return d;
}

bool read_file(const char* path, std::vector<uint8_t>& out) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return false;
    out.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    return !f.bad();
}

}  // namespace

int main(int argc, char** argv) {
    int frames = 300;
    uint64_t seed = 1;
    std::vector<const char*> carts;
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        if ((a == "--frames" || a == "--seed") && i + 1 < argc) {
            const long long v = std::atoll(argv[++i]);
            if (a == "--frames")
                frames = int(v);
            else
                seed = uint64_t(v);
        } else if (!a.empty() && a[0] == '-') {
            std::fprintf(stderr, "usage: plain_compare [--frames N] [--seed S] CARTRIDGE...\n");
            return 2;
        } else {
            carts.push_back(argv[i]);
        }
    }
    if (carts.empty() || frames < 0) {
        std::fprintf(stderr, "usage: plain_compare [--frames N] [--seed S] CARTRIDGE...\n");
        return 2;
    }
    // A frame is about 30,000 cycles and 10,000 instructions; a program that
    // stops time walks the address space in zero-cycle opcodes instead.
    constexpr int64_t BUDGET = 2'000'000;
    for (const char* path : carts) {
        std::vector<uint8_t> image;
        if (!read_file(path, image)) {
            std::fprintf(stderr, "%s: cannot read the file\n", path);
            return 2;
        }
        std::unique_ptr<Parts> normal, plain;
        try {
            normal = std::make_unique<Parts>(image, NES::StepMode::normal);
            plain = std::make_unique<Parts>(image, NES::StepMode::plain);
        } catch (const NES::RomFormatError& e) {
            std::printf("%s: skipped, not a cartridge (%s)\n", path, e.what());
            continue;
        }
        rng_state = seed * 0x9E3779B97F4A7C15ull + 1;
        int f = 0;
        const char* note = "";
        for (; f < frames; f++) {
            const uint8_t b0 = pad_byte(), b1 = pad_byte();
            for (Parts* c : {normal.get(), plain.get()}) c->set_pad(0, b0), c->set_pad(1, b1);
            const bool done_n = normal->frame(BUDGET), done_p = plain->frame(BUDGET);
            std::string d;
            if (done_n != done_p)
                d = done_n ? "only the normal console finished the frame" : "only the plain console finished the frame";
            else if (!done_n) {
                note = " (then a frame that did not end within the budget: the program stops time)";
                break;
            } else {
                d = compare(*normal, *plain);
            }
            if (!d.empty()) {
                std::printf("%s: frame %d: %s\n", path, f + 1, d.c_str());
                std::fflush(stdout);
                return 1;
            }
        }
        std::printf("%s: %d frames agree%s\n", path, f, note);
        std::fflush(stdout);
    }
    return 0;
}
