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
    // event, see PPU::next_event). A write to a mapper with a dot clock or a
    // state load may bring the mapper's next act closer, so they clear it.
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
    void clock();
    // clock() repeated while the unit would not act after an instruction
    // (see NESUnit::single_cycle); at least one, at most `limit`.
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
        if (off >= 65536u) return *p;  // register A
        // Internal RAM has no register; without a read hook it is only the byte.
        if (off < 0x2000 && !mapper_reads) return memory[off & 0x07FF];
        const uint16_t a = fold(uint16_t(off));
        if (is_register(a)) return read_register_cell(a, notify);
        if (notify) call_map_read(memory + a);
        return memory[a];
    }
    [[gnu::always_inline]] void write(uint8_t* p, uint8_t value) {
        // Internal RAM has no register and, with a mapper that ignores RAM
        // writes, no hook: the general path below would only store the byte.
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

    // Addressing modes (cpu_helper.cpp)
    uint8_t* acc(uint8_t* p);
    uint8_t* imm(uint8_t* p);
    uint8_t* zpg(uint8_t* p);
    uint8_t* zpgx(uint8_t* p);
    uint8_t* zpgy(uint8_t* p);
    uint8_t* abs(uint8_t* p);
    uint8_t* absx(uint8_t* p);
    uint8_t* absy(uint8_t* p);
    uint8_t* ind(uint8_t* p);
    uint8_t* xind(uint8_t* p);
    uint8_t* indy(uint8_t* p);
    uint8_t* rel(uint8_t* p);

    // How a handler reaches its operand: through the bus (register side
    // effects, mapper hooks); a cell read directly, where the caller knows the
    // read has no effect (see CPU::exec), its writes still on the bus; register A.
    enum class Reach : uint8_t { bus, cell, acc };

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
    uint8_t* run_mode_plain(uint8_t kind, uint8_t* p, uint8_t b1);
    bool run_op(uint8_t kind, uint8_t* operand);
    // clock() for any instruction; clock() itself takes code in ROM (cpu_helper.cpp).
    void step_any();
    inline void step();
    // Set by a jump or taken branch to itself or to the instruction just
    // before it, which may close an idle loop (see idle_passes()).
    bool loop_hint = false;
    int idle_passes(int limit);
    // After an instruction: counts it and starts an NMI (on the line's rising
    // edge, sampled before the instruction) or a pending IRQ.
    void end_instruction(uint8_t nmi_now) {
        instr_count++;
        if (nmi_now && !nmi_latch)
            start_nmi();
        else if (irq_pending && !(P & 0x04))  // start_irq() asks I too; a pending IRQ under I is common
            start_irq();
        nmi_latch = nmi_now;
    }
    // One opcode of code in ROM, its mode and handler fixed; the NMI line sampled (cpu_helper.cpp).
    template <uint8_t OPC> uint8_t exec(uint16_t pc, uint16_t prg_mask, uint8_t b1);
    template <Reach R> [[gnu::always_inline]] uint8_t load(uint8_t* o) {
        if constexpr (R == Reach::acc) return A;
        else if constexpr (R == Reach::cell) return *o;
        else return read(o, true);
    }
    // Writes always go through the bus (a ROM cell's write reaches the mapper).
    template <Reach R> [[gnu::always_inline]] void store(uint8_t* o, uint8_t value) {
        if constexpr (R == Reach::acc) A = value;
        else write(o, value);
    }
    bool fold_prg = false;          // 16 KiB NROM/CNROM: $C000-$FFFF mirror $8000-$BFFF
    bool unknown_reported = false;  // the empty-opcode diagnostic is printed once
    bool mapper_reads = false;      // the attached mapper's hooks_read (a replaced mapper needs a new attach)
    // clock()'s own path takes PC - $8000 below this: code at $8000-$FFFD,
    // where the three fetch reads have no side effect; none with a read hook
    // (0), which also keeps code in internal RAM on step_any().
    uint16_t rom_fetch_end = 0x7FFE;
    bool mapper_ram_writes = true;  // the attached mapper's hooks_ram_write (likewise)
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
    uint8_t rd(uint16_t a) { return read(memory + a, true); }
    uint16_t rd16(uint16_t a) { return uint16_t(rd(a) | rd(uint16_t(a + 1)) << 8); }
    uint8_t read_register(uint16_t a, uint8_t c);
    uint8_t read_register_cell(uint16_t a, bool notify);
    bool write_register(uint16_t a, uint8_t& value);
    void oam_dma(uint8_t page);
    void call_map_write(uint8_t* cell, uint8_t* value);
    void call_map_read(uint8_t* cell) {
        if (!mapper_reads) return;  // no mapper of the family acts on reads
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
