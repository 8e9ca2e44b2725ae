#pragma once
// One console's wiring and step over parts it does not own: the scripting
// unit (NESUnit), the environments' engine, the fuzzers and the C++ tests all
// build and run their consoles through this unit.
//
// A console runs in one of two modes, fixed when it is powered on:
//  - normal: the fast paths. The CPU runs batches (CPU::clock_batch, idle
//    loops counted at once); the PPU lags behind it until an access or an
//    event needs it and then draws in spans (PPU::run); the APU lags and
//    skips quiet stretches (APU::run).
//  - plain: the model itself, step by step: CPU::clock(), then APU::cycle()
//    while twice its steps are below the CPU's cycles and PPU::cycle() while
//    its dots are below three times the CPU's cycles. Nothing lags, nothing is
//    batched. Tests and fuzzers hold the normal mode equal to it
//    (tests/cpp/plain_compare.cpp, benchmarks/plain_check.py, fuzz/fuzz_cpu.cpp).
// The two never mix on one set of parts: the fast paths keep memos that the
// plain step does not maintain.
#include <cstdint>
#include <limits>

#include "apu.h"
#include "check.h"
#include "controller.h"
#include "cpu.h"
#include "ppu.h"
#include "rom.h"

namespace NES {

enum class StepMode : uint8_t { normal, plain };

// ---- Wiring: the steps of a console's construction, in the caller's order ----

// The CPU's clock rate (0 or less: 2,147,483,647, effectively unpaced) and
// its APU, sampling at 44,100 Hz; the APU takes its rate from that clock.
void link_apu(CPU& cpu, APU& apu, int32_t clock_speed);
// The two controller ports.
void link_pads(CPU& cpu, Controller* first, Controller* second);
// A PPU built without its CPU (PPU::PPU(CPU*) links itself).
void link_ppu(CPU& cpu, PPU& ppu);
// The cartridge attached to the CPU (memory laid out, battery RAM read when
// `load_ram`) and to the PPU (pattern memory, mirroring).
void attach(CPU& cpu, PPU& ppu, ROM& rom, bool load_ram);
// The reset, and the catch-up rules of the mode.
void power_on(CPU& cpu, StepMode mode);

class Console {
public:
    CPU* cpu = nullptr;
    PPU* ppu = nullptr;
    APU* apu = nullptr;
    StepMode mode = StepMode::normal;

    Console() = default;
    Console(CPU* c, PPU* p, APU* a, StepMode m) : cpu(c), ppu(p), apu(a), mode(m) {}

    bool plain() const { return mode == StepMode::plain; }

    // What the console has done so far: every instruction adds at least 1 to
    // it, zero-cycle opcodes included, so a bound on it bounds any run.
    int64_t work() const { return cpu->cycles + cpu->instr_count; }

    // One instruction, then the APU and the PPU catch up; `on_frame` runs
    // right after the dot that completes a frame.
    template <class OnFrame>
    [[gnu::always_inline]] void step(OnFrame&& on_frame) {
        if (plain()) {
            cpu->clock();
            catch_up_plain(on_frame);
        } else {
            cpu->clock_batch(1);
            catch_up(on_frame);
        }
    }

    // A run of instructions: in the normal mode as many (at most `limit`) as
    // leave the catch-up nothing to do after each (CPU::clock_batch); in the
    // plain mode one.
    template <class OnFrame>
    [[gnu::always_inline]] void batch(OnFrame&& on_frame, int limit = 64) {
        if (plain()) {
            cpu->clock();
            catch_up_plain(on_frame);
        } else {
            cpu->clock_batch(limit);
            catch_up(on_frame);
        }
    }

    // Batches until the frame under way ends or the work reaches `limit`;
    // true when the frame ended (the APU then brought level with the CPU).
    template <class OnFrame>
    [[gnu::always_inline]] bool run_frame(OnFrame&& on_frame, int64_t limit = std::numeric_limits<int64_t>::max()) {
        const uint64_t frame = ppu->frame_count;
        while (ppu->frame_count == frame) {
            if (work() >= limit) return false;
            batch(on_frame);
        }
        sync_apu();
        return true;
    }

    // The APU, or both units, level with the CPU: before anything outside the
    // console looks at them or changes what they read.
    void sync_apu() {
        if (!plain()) apu->run(cpu->apu_target());
    }
    void sync();

private:
    // The normal mode's catch-up. The APU catches up to half the CPU's cycles
    // only when a block falls due or the DMC runs (APU::sync_by); the CPU
    // brings it up to date before touching its registers. The PPU may lag
    // until a step reaches its next event (NMI line, mapper IRQ, frame end:
    // CPU::ppu_deadline); the CPU brings it up to date itself before touching
    // it. Held equal to catch_up_plain() by tests/cpp/plain_compare.cpp.
    template <class OnFrame>
    [[gnu::always_inline]] void catch_up(OnFrame& on_frame) {
        if (const int64_t t = cpu->apu_target(); t > apu->sync_by) apu->run(t);
        const uint64_t target = uint64_t(3 * cpu->cycles);
        if (target > cpu->ppu_deadline) {
            while (ppu->dot_count < target)
                if (ppu->run(target)) on_frame();
            cpu->ppu_deadline = ppu->next_event();
        }
        KX_ASSERT(ppu->dot_count <= target, "the PPU never runs ahead of the CPU");
        KX_ASSERT(apu->cycles <= cpu->apu_target(), "the APU never runs ahead of the CPU");
    }

    // The model's catch-up after an instruction: the APU first, then the PPU
    // dot by dot, the frame callback right after the dot that ends a frame.
    template <class OnFrame>
    void catch_up_plain(OnFrame& on_frame) {
        while (2 * apu->cycles < cpu->cycles) apu->cycle();
        while (ppu->dot_count < uint64_t(3 * cpu->cycles)) {
            const uint64_t frame = ppu->frame_count;
            ppu->cycle();
            if (ppu->frame_count != frame) on_frame();
        }
    }
};

}  // namespace NES
