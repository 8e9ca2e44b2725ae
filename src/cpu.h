#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

#include "fields.h"
#include "rom.h"

namespace NES {

class PPU;
class APU;
class Controller;

// The 2A03 core. Operands are "positions": pointers to a byte cell, either
// within `memory` (address = position - memory) or &A for the accumulator.
class CPU {
public:
    typedef uint8_t* (CPU::*Mode)(uint8_t*);
    typedef void (CPU::*Op)(uint8_t*);

    PPU* ppu = nullptr;
    APU* apu = nullptr;
    int32_t clock_speed = 1789773;
    uint8_t A = 0, X = 0, Y = 0;
    uint8_t controller_shift[2] = {0, 0};
    uint16_t PC = 0;
    uint8_t instr_len = 1;
    uint16_t nmi_vector = 0xFFFA;
    uint16_t reset_vector = 0xFFFC;
    uint16_t irq_vector = 0xFFFE;
    Mode mode_table[256];
    Op op_table[256];
    int64_t instr_count = 0;
    alignas(64) uint8_t memory[65536];
    ROM* rom = nullptr;
    int64_t cycles = 0;
    uint8_t nmi_line_prev = 0;
    uint8_t irq_pending = 0;
    uint8_t nmi_latch = 0;
    uint8_t strobe = 0;
    bool debug = false;
    int32_t prg_bank = 0;
    Controller* controllers[2] = {nullptr, nullptr};
    uint8_t SP = 0xFF;
    uint8_t P = 0x24;
    const char* mnemonics[256];
    uint8_t base_cycles[256];
    uint8_t cross_cycles[256];
    const char* mode_names[256];

    // When set, the PPU runs behind the CPU and is brought up to date only
    // before an access that could see or change its state (the unit also
    // catches it up whenever a PPU event is due); otherwise it is always current.
    bool lazy_ppu = false;
    // With a lazy PPU: the `dot_count` up to which it may lag (its next
    // event, see PPU::next_event). A write to a mapper with a dot clock
    // lowers it to the mapper's next act, a state load clears it. Never past
    // the PPU's next event (checked in CPU::clock_batch and CPU::sync_ppu).
    uint64_t ppu_deadline = 0;
    // When set, the APU may run behind the CPU (see APU::sync_by); the CPU
    // brings it up to date before it reads or writes an APU register.
    bool lazy_apu = false;

    // Folder of the battery RAM file read at attach (the console's own
    // cartridge folder; empty means none).
    std::string ram_dir;
    // Prints nothing on standard output (the diagnostic lines of the attach,
    // the PPU and the opcode without an instruction): a console of the
    // environments' engine, beside which scripting consoles print as usual.
    bool quiet = false;

    CPU() : CPU(false) {}
    explicit CPU(bool debug);

    void reset();
    // One instruction as described: every fetch and access through the bus,
    // the mapper notified of reads, the mode and instruction taken from
    // `mode_table` and `op_table` (cpu_helper.cpp). The reference that the
    // fast step below is held to.
    void clock();
    // The fast step: instructions while the unit would not act after one
    // (see NESUnit::single_cycle); at least one, at most `limit`, so
    // clock_batch(1) is one fast instruction.
    void clock_batch(int limit);
    // Instructions of idle loops that clock_batch() counted rather than ran
    // (a statistic, in no saved state).
    int64_t idle_counted = 0;
    // A digest of every interrupt entered, its kind and the cycle it was
    // taken at (a statistic, in no saved state): two consoles that took the
    // same interrupts at the same cycles have the same digest.
    uint64_t interrupt_digest = 0;
    // The APU step that half the CPU's cycles reach (rounded up).
    int64_t apu_target() const { return int64_t((uint64_t(cycles) + 1) >> 1); }
    void start_nmi();
    void start_irq();
    void note_interrupt(uint64_t kind);
    // Inline: the handlers name their flag by a constant letter, which folds away.
    [[gnu::always_inline]] uint8_t get_flag(char letter) const {
        switch (letter) {
            case 'C': return P & 1;
            case 'Z': return (P >> 1) & 1;
            case 'I': return (P >> 2) & 1;
            case 'D': return (P >> 3) & 1;
            case 'B': return (P >> 4) & 1;
            case 'V': return (P >> 6) & 1;
            case 'N': return (P >> 7) & 1;
            default: return 0;
        }
    }

    [[gnu::always_inline]] void set_flag(char letter, bool value) {
        uint8_t mask;
        switch (letter) {
            case 'C': mask = 0x01; break;
            case 'Z': mask = 0x02; break;
            case 'I': mask = 0x04; break;
            case 'D': mask = 0x08; break;
            case 'B': mask = 0x10; break;
            case 'V': mask = 0x40; break;
            case 'N': mask = 0x80; break;
            default: return;
        }
        P = uint8_t((P & ~mask) | (value ? mask : 0));
    }
    [[gnu::always_inline]] void stack_push(uint8_t value) { memory[0x100 + SP--] = value; }
    [[gnu::always_inline]] uint8_t stack_pull() { return memory[0x100 + ++SP]; }
    int emulated_clock_speed(long long elapsed_ns) const;

    // Bus (cpu.cpp)
    void map_memory(uint8_t*& p) const;
    int64_t get_addr(const uint8_t* p) const { return p - memory; }
    [[gnu::always_inline]] uint8_t read(uint8_t* p, bool notify) {
        const uintptr_t off = (uintptr_t)p - (uintptr_t)memory;
        if (off >= 65536u) return *p;  // register A; no mapper sees it
        // Fast: internal RAM has no register, so a read that the mapper does
        // not hear of is only the byte. Holds for every mapper (no register
        // below $2000); tests/test_bus.py covers the mirrors.
        if (off < 0x2000 && !notify) return memory[off & 0x07FF];
        const uint16_t a = fold(uint16_t(off));
        if (is_register(a)) return read_register_cell(a, notify);
        if (notify) call_map_read(memory + a);
        return memory[a];
    }
    [[gnu::always_inline]] void write(uint8_t* p, uint8_t value) {
        // Fast: internal RAM has no register and, with a mapper that ignores
        // RAM writes (hooks_ram_write, taken at attach), no hook: the general
        // path below would only store the byte. Every console runs it, plain
        // and fast alike; tests/test_bus.py covers the mirrors.
        const uintptr_t off = (uintptr_t)p - (uintptr_t)memory;
        if (off < 0x2000 && !mapper_ram_writes) {
            memory[off & 0x07FF] = value;
            return;
        }
        write_general(p, value);
    }
    void write_general(uint8_t* p, uint8_t value);
    void set_controller(Controller* c, uint8_t port);

    // Cartridge attach and files (cpu.cpp)
    void loadRom(ROM* rom, bool load_ram);
    void save_ram(FILE* f) const;
    // The save-state image: P, A, X, Y, SP, PC (8 bytes), memory, vram, mapper block.
    static constexpr long STATE_SIZE = 82189;
    void save_state_bytes(uint8_t* out);
    void load_state_bytes(const uint8_t* in);
    void save_state(FILE* f);
    void load_state(FILE* f);
    void load_ram(FILE* f);
    // The CPU's part of an exact snapshot (see Fields): registers, counters,
    // interrupt and controller state, the whole memory image. Returns the
    // cycle count written or read (the console checks the units agree).
    int64_t fields(Fields& f);

    // Tables and trace (cpu_helper.cpp)
    void define_opcodes();
    void define_timings();
    void ins_str_mem(char* buf, int size, uint8_t* instr, uint8_t* operand);
    void ins_str(char* buf, int size, uint8_t opcode);

    // How a mode reaches the bytes after the opcode, and a handler its
    // operand. bus: through the bus, the mapper notified of reads (the
    // tables' forms, which clock() runs). bus_fast: through the bus without
    // that notification, which no mapper of the family acts on (the fast
    // paths). cell: straight from the cell, where the caller knows that the
    // read has no effect (see CPU::step); writes still go through the bus.
    // acc: register A.
    enum class Reach : uint8_t { bus, bus_fast, cell, acc };

    // Addressing modes (cpu_helper.cpp); `mode_table` holds the bus forms.
#define KESTRIX_MODE(n) template <Reach F = Reach::bus> uint8_t* n(uint8_t* p);
    KESTRIX_MODE(acc) KESTRIX_MODE(imm) KESTRIX_MODE(zpg) KESTRIX_MODE(zpgx) KESTRIX_MODE(zpgy) KESTRIX_MODE(abs)
    KESTRIX_MODE(absx) KESTRIX_MODE(absy) KESTRIX_MODE(ind) KESTRIX_MODE(xind) KESTRIX_MODE(indy) KESTRIX_MODE(rel)
#undef KESTRIX_MODE

    // Instructions (cpu_helper.cpp); `op_table` holds the bus forms.
#define KESTRIX_HANDLER(n) template <Reach R = Reach::bus> void n(uint8_t*);
    KESTRIX_HANDLER(ADC) KESTRIX_HANDLER(AND) KESTRIX_HANDLER(ASL) KESTRIX_HANDLER(BCC)
    KESTRIX_HANDLER(BCS) KESTRIX_HANDLER(BEQ) KESTRIX_HANDLER(BIT) KESTRIX_HANDLER(BMI)
    KESTRIX_HANDLER(BNE) KESTRIX_HANDLER(BPL) KESTRIX_HANDLER(BRK) KESTRIX_HANDLER(BVC)
    KESTRIX_HANDLER(BVS) KESTRIX_HANDLER(CLC) KESTRIX_HANDLER(CLD) KESTRIX_HANDLER(CLI)
    KESTRIX_HANDLER(CLV) KESTRIX_HANDLER(CMP) KESTRIX_HANDLER(CPX) KESTRIX_HANDLER(CPY)
    KESTRIX_HANDLER(DEC) KESTRIX_HANDLER(DEX) KESTRIX_HANDLER(DEY) KESTRIX_HANDLER(EOR)
    KESTRIX_HANDLER(INC) KESTRIX_HANDLER(INX) KESTRIX_HANDLER(INY) KESTRIX_HANDLER(JMP)
    KESTRIX_HANDLER(JSR) KESTRIX_HANDLER(LDA) KESTRIX_HANDLER(LDX) KESTRIX_HANDLER(LDY)
    KESTRIX_HANDLER(LSR) KESTRIX_HANDLER(NOP) KESTRIX_HANDLER(ORA) KESTRIX_HANDLER(PHA)
    KESTRIX_HANDLER(PHP) KESTRIX_HANDLER(PLA) KESTRIX_HANDLER(PLP) KESTRIX_HANDLER(ROL)
    KESTRIX_HANDLER(ROR) KESTRIX_HANDLER(RTI) KESTRIX_HANDLER(RTS) KESTRIX_HANDLER(SBC)
    KESTRIX_HANDLER(SEC) KESTRIX_HANDLER(SED) KESTRIX_HANDLER(SEI) KESTRIX_HANDLER(STA)
    KESTRIX_HANDLER(STX) KESTRIX_HANDLER(STY) KESTRIX_HANDLER(TAX) KESTRIX_HANDLER(TAY)
    KESTRIX_HANDLER(TSX) KESTRIX_HANDLER(TXA) KESTRIX_HANDLER(TXS) KESTRIX_HANDLER(TYA)
#undef KESTRIX_HANDLER

private:
    // Which operand sum decides the page-crossing cycle: 0 none, 1 b1 + X, 2 b2 + Y.
    uint8_t cross_kind[256];
    // The entries of `mode_table` and `op_table` as switch cases (cpu_helper.cpp).
    uint8_t mode_kind[256];
    uint8_t op_kind[256];
    uint8_t* run_mode(uint8_t kind, uint8_t* p);
    bool run_op(uint8_t kind, uint8_t* operand);
    // The fast step of clock_batch(): one instruction (cpu_helper.cpp).
    inline void step();
    // step() for code whose fetches may reach a register (cpu_helper.cpp).
    void step_any();
    // Set by a jump or taken branch to itself or to the instruction just
    // before it, which may close an idle loop (see idle_passes()).
    bool loop_hint = false;
    struct IdleLoop;
    int idle_passes(int limit);
    bool idle_interrupts_steady() const;
    bool find_idle_loop(IdleLoop& loop);
    bool delay_loop(IdleLoop& loop);
    bool read_loop(IdleLoop& loop);
    bool read_changes_nothing(uint8_t op, uint8_t* cell);
    int64_t branch_back(uint16_t at, uint16_t to) const;
    bool plain_bytes(uint16_t at, int count) const;
    // The fast paths' end of an instruction: counts it and starts an NMI (on
    // the line's rising edge, sampled before the instruction) or a pending
    // IRQ; clock() ends its own as described.
    void end_instruction(uint8_t nmi_now) {
        instr_count++;
        if (nmi_now && !nmi_latch)
            start_nmi();
        else if (irq_pending && !(P & 0x04))  // start_irq() asks I too; a pending IRQ under I is common
            start_irq();
        nmi_latch = nmi_now;
    }
    // One opcode of code in ROM or internal RAM, its mode and handler fixed;
    // returns the NMI line sampled (cpu_helper.cpp).
    template <uint8_t OPC> uint8_t exec(uint16_t pc, uint8_t b1);
    template <Reach R> [[gnu::always_inline]] uint8_t load(uint8_t* o) {
        if constexpr (R == Reach::acc) return A;
        else if constexpr (R == Reach::cell) return *o;
        else return read(o, R == Reach::bus);
    }
    // Writes always go through the bus (a ROM cell's write reaches the mapper).
    template <Reach R> [[gnu::always_inline]] void store(uint8_t* o, uint8_t value) {
        if constexpr (R == Reach::acc) A = value;
        else write(o, value);
    }
    // The byte `k` after position `p` (the byte after the opcode), as the mode
    // reaches it; with Reach::cell folded by `fetch_mask`.
    template <Reach F> [[gnu::always_inline]] uint8_t next_byte(uint8_t* p, int k) {
        const uint16_t a = uint16_t(p - memory + k);
        if constexpr (F == Reach::cell) return memory[a & fetch_mask];
        else return read(memory + a, F == Reach::bus);
    }
    // A zero-page byte (an indirect mode's pointer): internal RAM, where only
    // the mapper's notification makes a bus read more than the cell.
    template <Reach F> [[gnu::always_inline]] uint8_t zp_byte(uint8_t z) {
        if constexpr (F == Reach::bus) return read(memory + z, true);
        else return memory[z];
    }
    // What step() folds the fetched bytes with: code in ROM or internal RAM.
    uint16_t fetch_mask = 0xFFFF;
    bool fold_prg = false;          // 16 KiB NROM/CNROM: $C000-$FFFF mirror $8000-$BFFF
    bool unknown_reported = false;  // the empty-opcode diagnostic is printed once
    bool mapper_ram_writes = true;  // the attached mapper's hooks_ram_write (a replaced mapper needs a new attach)
    bool mapper_register_writes = true;  // the attached mapper's hooks_register_write (likewise)

    int64_t start_cycles = 0;       // `cycles` at the start of the current instruction
    void sync_ppu();
    void sync_apu(bool settle);

    bool in_space(const uint8_t* p) const {
        return (uintptr_t)p - (uintptr_t)memory < 65536u;
    }
    // Folding by 8 KiB page: $0000-$1FFF keep 11 bits, $2000-$3FFF keep bit 13
    // and 3 bits, $C000-$FFFF lose bit 14 when `fold_prg` (the same as
    // subtracting $4000 there), the rest stay.
    uint16_t fold_mask[8] = {0x07FF, 0x2007, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF};
    uint16_t fold(uint16_t a) const { return a & fold_mask[a >> 13]; }
    // A folded address whose read has side effects.
    static bool is_register(uint16_t a) { return (a & 0xFFF8) == 0x2000 || unsigned(a - 0x4015) < 3u; }
    uint8_t rd(uint16_t a, bool notify = true) { return read(memory + a, notify); }
    // Little-endian, the low byte read first.
    uint16_t rd16(uint16_t a, bool notify = true) {
        const uint8_t lo = rd(a, notify);
        return uint16_t(lo | rd(uint16_t(a + 1), notify) << 8);
    }
    uint8_t read_register(uint16_t a, uint8_t c);
    uint8_t read_register_cell(uint16_t a, bool notify);
    bool write_register(uint16_t a, uint8_t& value);
    void oam_dma(uint8_t page);
    void call_map_write(uint8_t* cell, uint8_t* value);
    void call_map_read(uint8_t* cell) {
        void* devices[3] = {this, ppu, apu};
        rom->mapper->map_read(devices, cell);
    }
    void trace(uint8_t* instr, uint8_t* operand);
    void unknown_opcode(uint8_t op);

    // Flag helpers: N and Z from a result; C and V from a sum.
    [[gnu::always_inline]] void set_nz(uint8_t r) { P = uint8_t((P & 0x7D) | (r & 0x80) | (r == 0 ? 0x02 : 0)); }
    [[gnu::always_inline]] void set_nzc(uint8_t r, bool c) { P = uint8_t((P & 0x7C) | (r & 0x80) | (r == 0 ? 0x02 : 0) | c); }
    void set_cv(unsigned sum, uint8_t a, uint8_t m) {
        set_flag('C', sum > 0xFF);
        set_flag('V', !((a ^ m) & 0x80) && ((sum ^ a) & 0x80));
    }
    void add(uint8_t m);
    void compare(uint8_t reg, uint8_t m);
    void branch(bool taken, uint8_t* operand);
    [[gnu::always_inline]] void jump_to(uint16_t target) { PC = uint16_t(target - instr_len); }
};

}  // namespace NES
