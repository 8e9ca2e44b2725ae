#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>
#include <limits>
#include <string>

#include "apu.h"
#include "cpu.h"
#include "ppu.h"

namespace NES {

// ---- Addressing modes: given the position after the opcode, yield the operand ----

uint8_t* CPU::acc(uint8_t*) { return &A; }
uint8_t* CPU::imm(uint8_t* p) { instr_len = 2; map_memory(p); return p; }
uint8_t* CPU::zpg(uint8_t* p) { instr_len = 2; return memory + read(p, true); }
uint8_t* CPU::zpgx(uint8_t* p) { instr_len = 2; return memory + uint8_t(read(p, true) + X); }
uint8_t* CPU::zpgy(uint8_t* p) { instr_len = 2; return memory + uint8_t(read(p, true) + Y); }
uint8_t* CPU::abs(uint8_t* p) { instr_len = 3; return memory + rd16(uint16_t(p - memory)); }
uint8_t* CPU::absx(uint8_t* p) { const uint8_t x = X; instr_len = 3; return memory + uint16_t(rd16(uint16_t(p - memory)) + x); }
uint8_t* CPU::absy(uint8_t* p) { const uint8_t y = Y; instr_len = 3; return memory + uint16_t(rd16(uint16_t(p - memory)) + y); }
uint8_t* CPU::xind(uint8_t* p) {
    instr_len = 2;
    const uint8_t z = uint8_t(read(p, true) + X);
    return memory + uint16_t(rd(z) | rd(uint8_t(z + 1)) << 8);
}
uint8_t* CPU::indy(uint8_t* p) {
    instr_len = 2;
    const uint8_t z = read(p, true);
    return memory + uint16_t((rd(z) | rd(uint8_t(z + 1)) << 8) + Y);
}
uint8_t* CPU::rel(uint8_t* p) { instr_len = 2; return memory + uint16_t(PC + int8_t(read(p, true))); }
uint8_t* CPU::ind(uint8_t* p) {
    // The pointer comes straight from the cells; its high byte never leaves the page.
    map_memory(p);
    const uint16_t pa = uint16_t(p - memory);
    const uint16_t q = uint16_t(memory[pa] | memory[uint16_t(pa + 1)] << 8);
    instr_len = 3;
    return memory + uint16_t(rd(q) | rd(uint16_t((q & 0xFF00) | ((q + 1) & 0xFF))) << 8);
}

// ---- Instructions ----
// R says how the operand is reached (CPU::Reach); op_table holds the bus forms.

// Inlined into exec() and run_op(); `op_table` takes their addresses.
#define HANDLER(n) template <CPU::Reach R> [[gnu::always_inline]] inline void CPU::n(uint8_t* o)
#define PLAIN(n) template <CPU::Reach> [[gnu::always_inline]] inline void CPU::n(uint8_t*)

[[gnu::always_inline]] inline void CPU::add(uint8_t m) {
    const unsigned sum = A + m + (P & 1);
    const uint8_t r = uint8_t(sum);
    // V: both inputs of one sign, the result of the other.
    const uint8_t v = uint8_t(((A ^ r) & (m ^ r) & 0x80) >> 1);
    P = uint8_t((P & 0x3C) | (sum >> 8) | v | (r & 0x80) | (r == 0 ? 0x02 : 0));
    A = r;
}

[[gnu::always_inline]] inline void CPU::compare(uint8_t reg, uint8_t m) { set_nzc(uint8_t(reg - m), reg >= m); }

[[gnu::always_inline]] inline void CPU::branch(bool taken, uint8_t* operand) {
    cycles += 2;
    if (!taken) return;
    cycles += 1;
    const uint16_t from = PC, to = uint16_t(operand - memory);
    PC = to;
    if ((from ^ uint16_t(to + instr_len)) & 0xFF00) cycles += 1;
}

HANDLER(ADC) { add(load<R>(o)); }
HANDLER(SBC) { add(uint8_t(~load<R>(o))); }
HANDLER(AND) { A &= load<R>(o); set_nz(A); }
HANDLER(ORA) { A |= load<R>(o); set_nz(A); }
HANDLER(EOR) { A ^= load<R>(o); set_nz(A); }
HANDLER(BIT) {
    const uint8_t m = load<R>(o);
    P = uint8_t((P & 0x3D) | (m & 0xC0) | ((m & A) == 0 ? 0x02 : 0));
}
HANDLER(CMP) { compare(A, load<R>(o)); }
HANDLER(CPX) { compare(X, load<R>(o)); }
HANDLER(CPY) { compare(Y, load<R>(o)); }
HANDLER(LDA) { A = load<R>(o); set_nz(A); }
HANDLER(LDX) { X = load<R>(o); set_nz(X); }
HANDLER(LDY) { Y = load<R>(o); set_nz(Y); }
HANDLER(STA) { write(o, A); }
HANDLER(STX) { write(o, X); }
HANDLER(STY) { write(o, Y); }
HANDLER(INC) { const uint8_t r = uint8_t(load<R>(o) + 1); set_nz(r); store<R>(o, r); }
HANDLER(DEC) { const uint8_t r = uint8_t(load<R>(o) - 1); set_nz(r); store<R>(o, r); }
PLAIN(INX) { set_nz(++X); }
PLAIN(INY) { set_nz(++Y); }
PLAIN(DEX) { set_nz(--X); }
PLAIN(DEY) { set_nz(--Y); }
HANDLER(ASL) { const uint8_t m = load<R>(o), r = uint8_t(m << 1); set_nzc(r, m & 0x80); store<R>(o, r); }
HANDLER(LSR) { const uint8_t m = load<R>(o), r = m >> 1; set_nzc(r, m & 1); store<R>(o, r); }
HANDLER(ROL) { const uint8_t m = load<R>(o), r = uint8_t(m << 1 | (P & 1)); set_nzc(r, m & 0x80); store<R>(o, r); }
HANDLER(ROR) { const uint8_t m = load<R>(o), r = uint8_t((P & 1) << 7 | m >> 1); set_nzc(r, m & 1); store<R>(o, r); }
PLAIN(TAX) { X = A; set_nz(X); }
PLAIN(TAY) { Y = A; set_nz(Y); }
PLAIN(TXA) { A = X; set_nz(A); }
PLAIN(TYA) { A = Y; set_nz(A); }
PLAIN(TSX) { X = SP; set_nz(X); }
PLAIN(TXS) { SP = X; }
PLAIN(PHA) { stack_push(A); }
PLAIN(PLA) { A = stack_pull(); set_nz(A); }
PLAIN(PHP) { stack_push(P | 0x30); }
PLAIN(PLP) { P = stack_pull(); }
PLAIN(CLC) { set_flag('C', false); }
PLAIN(CLD) { set_flag('D', false); }
PLAIN(CLI) { set_flag('I', false); }
PLAIN(CLV) { set_flag('V', false); }
PLAIN(SEC) { set_flag('C', true); }
PLAIN(SED) { set_flag('D', true); }
PLAIN(SEI) { set_flag('I', true); }
PLAIN(NOP) {}
HANDLER(JMP) { jump_to(uint16_t(o - memory)); }
HANDLER(JSR) {
    const uint16_t r = uint16_t(PC + instr_len - 1);
    stack_push(uint8_t(r >> 8));
    stack_push(uint8_t(r));
    jump_to(uint16_t(o - memory));
}
PLAIN(RTS) {
    const uint8_t lo = stack_pull(), hi = stack_pull();
    PC = uint16_t(lo | hi << 8);
}
PLAIN(RTI) {
    P = stack_pull();
    const uint8_t lo = stack_pull(), hi = stack_pull();
    PC = uint16_t((lo | hi << 8) - 1);
}
PLAIN(BRK) {
    const uint16_t r = uint16_t(PC + instr_len + 1);
    stack_push(uint8_t(r >> 8));
    stack_push(uint8_t(r));
    P |= 0x30;
    stack_push(P);
    instr_len = 3;
    jump_to(rd16(irq_vector));
}
HANDLER(BCC) { branch(!get_flag('C'), o); }
HANDLER(BCS) { branch(get_flag('C'), o); }
HANDLER(BEQ) { branch(get_flag('Z'), o); }
HANDLER(BNE) { branch(!get_flag('Z'), o); }
HANDLER(BMI) { branch(get_flag('N'), o); }
HANDLER(BPL) { branch(!get_flag('N'), o); }
HANDLER(BVC) { branch(!get_flag('V'), o); }
HANDLER(BVS) { branch(get_flag('V'), o); }

#undef HANDLER
#undef PLAIN

// ---- Tables ----

namespace {

// The opcode grid, row = high nibble, column = low nibble. "." alone: nothing;
// ". mode": a mode without instruction; "MNE (none)": no mode and no mode text.
constexpr const char* GRID[] = {
    "BRK impl", "ORA xind", "ASL imm",    ".", ". zpg",    "ORA zpg",  "ASL zpg",  ". zpg",  "PHP impl", "ORA imm",  "ASL acc",  ".", ". abs",    "ORA abs",  "ASL abs",  ". abs",
    "BPL rel",  "ORA indy", "ASL (none)", ".", ". zpgx",   "ORA zpgx", "ASL zpgx", ". zpgx", "CLC impl", "ORA absy", "ASL impl", ".", ". absx",   "ORA absx", "ASL absx", ". absx",
    "JSR abs",  "AND xind", "ROL imm",    ".", "BIT zpg",  "AND zpg",  "ROL zpg",  ". zpg",  "PLP impl", "AND imm",  "ROL acc",  ".", "BIT abs",  "AND abs",  "ROL abs",  ". abs",
    "BMI rel",  "AND indy", "ROL (none)", ".", ". zpgx",   "AND zpgx", "ROL zpgx", ". zpgx", "SEC impl", "AND absy", "ROL impl", ".", ". absx",   "AND absx", "ROL absx", ". absx",
    "RTI impl", "EOR xind", "LSR imm",    ".", ". zpg",    "EOR zpg",  "LSR zpg",  ". zpg",  "PHA impl", "EOR imm",  "LSR acc",  ".", "JMP abs",  "EOR abs",  "LSR abs",  ". abs",
    "BVC rel",  "EOR indy", "LSR (none)", ".", ". zpgx",   "EOR zpgx", "LSR zpgx", ". zpgx", "CLI impl", "EOR absy", "LSR impl", ".", ". absx",   "EOR absx", "LSR absx", ". absx",
    "RTS impl", "ADC xind", "ROR imm",    ".", ". zpg",    "ADC zpg",  "ROR zpg",  ". zpg",  "PLA impl", "ADC imm",  "ROR acc",  ".", "JMP ind",  "ADC abs",  "ROR abs",  ". abs",
    "BVS rel",  "ADC indy", "ROR (none)", ".", ". zpgx",   "ADC zpgx", "ROR zpgx", ". zpgx", "SEI impl", "ADC absy", "ROR impl", ".", ". absx",   "ADC absx", "ROR absx", ". absx",
    ".",        "STA xind", "STX imm",    ".", "STY zpg",  "STA zpg",  "STX zpg",  ". zpg",  "DEY impl", "STA imm",  "TXA impl", ".", "STY abs",  "STA abs",  "STX abs",  ". abs",
    "BCC rel",  "STA indy", "STX (none)", ".", "STY zpgx", "STA zpgx", "STX zpgy", ". zpgx", "TYA impl", "STA absy", "TXS impl", ".", ". absx",   "STA absx", "STX absx", ". absx",
    "LDY imm",  "LDA xind", "LDX imm",    ".", "LDY zpg",  "LDA zpg",  "LDX zpg",  ". zpg",  "TAY impl", "LDA imm",  "TAX impl", ".", "LDY abs",  "LDA abs",  "LDX abs",  ". abs",
    "BCS rel",  "LDA indy", "LDX (none)", ".", "LDY zpgx", "LDA zpgx", "LDX zpgy", ". zpgx", "CLV impl", "LDA absy", "TSX impl", ".", "LDY absx", "LDA absx", "LDX absy", ". absx",
    "CPY imm",  "CMP xind", "DEC imm",    ".", "CPY zpg",  "CMP zpg",  "DEC zpg",  ". zpg",  "INY impl", "CMP imm",  "DEX impl", ".", "CPY abs",  "CMP abs",  "DEC abs",  ". abs",
    "BNE rel",  "CMP indy", "DEC (none)", ".", ". zpgx",   "CMP zpgx", "DEC zpgx", ". zpgx", "CLD impl", "CMP absy", "DEC impl", ".", ". absx",   "CMP absx", "DEC absx", ". absx",
    "CPX imm",  "SBC xind", "INC imm",    ".", "CPX zpg",  "SBC zpg",  "INC zpg",  ". zpg",  "INX impl", "SBC imm",  "NOP impl", ".", "CPX abs",  "SBC abs",  "INC abs",  ". abs",
    "BEQ rel",  "SBC indy", "INC (none)", ".", ". zpgx",   "SBC zpgx", "INC zpgx", ". zpgx", "SED impl", "SBC absy", "INC impl", ".", ". absx",   "SBC absx", "INC absx", ". absx",
};

constexpr char BASE_CYCLES[] =
    "7608335532224466050844662427447766083355422244660508446624274477"
    "6608335532223466050844662427447766083355422254660508446624274477"
    "2626333322224444060644442525555526263333222244440505444424244444"
    "2628335522224466050844662427447726283355222244660508446624274477";

constexpr char CROSS_CYCLES[] =
    "7608335532224466060844662527557766083355422244660608446625275577"
    "6608335532223466060844662527557766083355422254660608446625275577"
    "2626333322224444060644442525555526263333222244440606444425255555"
    "2628335522224466060844662527557726283355222244660608446625275577";

static_assert(std::size(GRID) == 256 && std::size(BASE_CYCLES) == 257 && std::size(CROSS_CYCLES) == 257);

// The modes and handlers, each listed once: the tables below, the dispatch
// switches of run_mode(), run_op() and exec() and the kinds in
// `mode_kind`/`op_kind` all come from these lists, in this order.
#define KESTRIX_MODES(X) X(acc) X(imm) X(zpg) X(zpgx) X(zpgy) X(abs) X(absx) X(absy) X(ind) X(xind) X(indy) X(rel)
#define KESTRIX_OPS(X)                                                                                          \
    X(ADC) X(AND) X(ASL) X(BCC) X(BCS) X(BEQ) X(BIT) X(BMI) X(BNE) X(BPL) X(BRK) X(BVC) X(BVS) X(CLC) X(CLD) \
    X(CLI) X(CLV) X(CMP) X(CPX) X(CPY) X(DEC) X(DEX) X(DEY) X(EOR) X(INC) X(INX) X(INY) X(JMP) X(JSR) X(LDA) \
    X(LDX) X(LDY) X(LSR) X(NOP) X(ORA) X(PHA) X(PHP) X(PLA) X(PLP) X(ROL) X(ROR) X(RTI) X(RTS) X(SBC) X(SEC) \
    X(SED) X(SEI) X(STA) X(STX) X(STY) X(TAX) X(TAY) X(TSX) X(TXA) X(TXS) X(TYA)

// Kind 0 is "none"; kind k > 0 is entry k - 1 of the list.
enum ModeKind : uint8_t {
    MODE_NONE,
#define X(n) MODE_##n,
    KESTRIX_MODES(X)
#undef X
};
enum OpKind : uint8_t {
    OP_NONE,
#define X(n) OP_##n,
    KESTRIX_OPS(X)
#undef X
};

struct ModeEntry { const char* name; CPU::Mode fn; };
const ModeEntry MODES[] = {
#define X(n) {#n, &CPU::n},
    KESTRIX_MODES(X)
#undef X
};

struct OpEntry { const char* name; CPU::Op fn; };
const OpEntry OPS[] = {
#define X(n) {#n, &CPU::n<>},
    KESTRIX_OPS(X)
#undef X
};

// ---- The grid read at compile time ----

constexpr const char* MODE_NAMES[] = {
#define X(n) #n,
    KESTRIX_MODES(X)
#undef X
};
constexpr const char* OP_NAMES[] = {
#define X(n) #n,
    KESTRIX_OPS(X)
#undef X
};

// Whether cell[from, to) is `name`.
constexpr bool spells(const char* cell, int from, int to, const char* name) {
    int i = 0;
    for (; from + i < to; i++)
        if (name[i] != cell[from + i]) return false;
    return name[i] == 0;
}

// A grid cell: its kinds, and whether its mode text is "impl" (a name, no mode).
struct Decoded {
    uint8_t mode = MODE_NONE, op = OP_NONE;
    bool impl = false;
};

constexpr Decoded decode(const char* cell) {
    int space = 0, end = 0;
    while (cell[end]) end++;
    while (space < end && cell[space] != ' ') space++;
    Decoded d;
    for (int k = 0; k < int(std::size(OP_NAMES)); k++)
        if (spells(cell, 0, space, OP_NAMES[k])) d.op = uint8_t(k + 1);
    if (space < end) {
        for (int k = 0; k < int(std::size(MODE_NAMES)); k++)
            if (spells(cell, space + 1, end, MODE_NAMES[k])) d.mode = uint8_t(k + 1);
        d.impl = spells(cell, space + 1, end, "impl");
    }
    return d;
}

constexpr std::array<Decoded, 256> DECODED = [] {
    std::array<Decoded, 256> t{};
    for (int op = 0; op < 256; op++) t[op] = decode(GRID[op]);
    return t;
}();

// The instruction length a mode sets (`instr_len`; 1 without mode).
constexpr uint8_t mode_length(uint8_t m) {
    if (m == MODE_NONE || m == MODE_acc) return 1;
    return (m == MODE_abs || m == MODE_absx || m == MODE_absy || m == MODE_ind) ? 3 : 2;
}

// Which operand sum decides the page-crossing cycle: 0 none, 1 b1 + X, 2 b2 + Y.
constexpr uint8_t cross_rule(uint8_t m) {
    return m == MODE_absx ? 1 : (m == MODE_absy || m == MODE_indy) ? 2 : 0;
}

}  // namespace

void CPU::define_opcodes() {
    for (int op = 0; op < 256; op++) {
        const Decoded d = DECODED[op];
        op_kind[op] = d.op;
        if (d.op != OP_NONE) {
            op_table[op] = OPS[d.op - 1].fn;
            mnemonics[op] = OPS[d.op - 1].name;
        }
        if (d.impl) mode_names[op] = "impl";
        mode_kind[op] = d.mode;
        if (d.mode != MODE_NONE) {
            mode_table[op] = MODES[d.mode - 1].fn;
            mode_names[op] = MODES[d.mode - 1].name;
        }
        cross_kind[op] = cross_rule(d.mode);
    }
}

// The tables' entries called directly: a switch per table, so that the
// handlers are inlined here instead of being reached through member pointers.
// Calls the same handler as `mode_table`/`op_table` (both filled from the lists
// above); tests/test_cpu.py and the nestest trace exercise every opcode.
uint8_t* CPU::run_mode(uint8_t kind, uint8_t* p) {
    switch (kind) {
#define X(n) case MODE_##n: return n(p);
        KESTRIX_MODES(X)
#undef X
        default: return p;
    }
}

// run_mode() when the byte after the opcode (`p`) is a plain cell holding b1:
// the modes' first read of it, which has no side effect, gives b1. Proved equal
// to run_mode() by tests/test_cpu.py and the per-frame digests of benchmarks/same_behaviour.py.
uint8_t* CPU::run_mode_plain(uint8_t kind, uint8_t* p, uint8_t b1) {
    switch (kind) {
        case MODE_imm: instr_len = 2; return memory + fold(uint16_t(p - memory));
        case MODE_zpg: instr_len = 2; return memory + b1;
        case MODE_zpgx: instr_len = 2; return memory + uint8_t(b1 + X);
        case MODE_zpgy: instr_len = 2; return memory + uint8_t(b1 + Y);
        case MODE_abs: instr_len = 3; return memory + uint16_t(b1 | rd(uint16_t(p - memory + 1)) << 8);
        case MODE_absx: {
            const uint8_t x = X;
            instr_len = 3;
            return memory + uint16_t((b1 | rd(uint16_t(p - memory + 1)) << 8) + x);
        }
        case MODE_absy: {
            const uint8_t y = Y;
            instr_len = 3;
            return memory + uint16_t((b1 | rd(uint16_t(p - memory + 1)) << 8) + y);
        }
        case MODE_rel: instr_len = 2; return memory + uint16_t(PC + int8_t(b1));
        default: return run_mode(kind, p);
    }
}

bool CPU::run_op(uint8_t kind, uint8_t* operand) {
    switch (kind) {
#define X(n) case OP_##n: n(operand); return true;
        KESTRIX_OPS(X)
#undef X
        default: return false;
    }
}

// ---- The step ----

// One opcode of code in ROM or internal RAM, its mode, handler, length and
// cycles fixed at compile time: step_any()'s `plain` branch (run_mode_plain(),
// then run_op()) for an instruction at $8000-$FFFD or $0000-$1FFD with no
// read hook and no trace, where the fetch reads have no side effect. Beyond
// that branch, the handlers read the operand of the imm mode (a ROM or RAM
// cell) and of the zero-page modes (internal RAM) straight from the cell, and
// the indirect modes their zero-page pointer.
// Proved equal to step_any() by tests/test_cpu.py, the nestest log
// (tests/cpp/nestest_cpu.cpp) and the per-frame digests of
// benchmarks/same_behaviour.py. Returns the NMI line sampled before the handler.
template <uint8_t OPC>
[[gnu::always_inline]] inline uint8_t CPU::exec(uint16_t pc, uint16_t prg_mask, uint8_t b1) {
    constexpr uint8_t M = DECODED[OPC].mode, O = DECODED[OPC].op, LEN = mode_length(M);
    constexpr Reach R = M == MODE_acc ? Reach::acc
                        : (M == MODE_imm || M == MODE_zpg || M == MODE_zpgx || M == MODE_zpgy) ? Reach::cell
                                                                                                : Reach::bus;
    const uint8_t x = X, y = Y;
    uint8_t* o = memory + uint16_t(pc + 1);
    if constexpr (M == MODE_acc) o = &A;
    if constexpr (M == MODE_imm) o = memory + (uint16_t(pc + 1) & prg_mask);
    if constexpr (M == MODE_zpg) o = memory + b1;
    if constexpr (M == MODE_zpgx) o = memory + uint8_t(b1 + x);
    if constexpr (M == MODE_zpgy) o = memory + uint8_t(b1 + y);
    if constexpr (M == MODE_abs || M == MODE_absx || M == MODE_absy) {
        const uint16_t base = uint16_t(b1 | memory[uint16_t(pc + 2) & prg_mask] << 8);
        o = memory + uint16_t(base + (M == MODE_absx ? x : M == MODE_absy ? y : 0));
    }
    if constexpr (M == MODE_ind) o = ind(o);
    if constexpr (M == MODE_xind) o = memory + uint16_t(memory[uint8_t(b1 + x)] | memory[uint8_t(b1 + x + 1)] << 8);
    if constexpr (M == MODE_indy) o = memory + uint16_t((memory[b1] | memory[uint8_t(b1 + 1)] << 8) + y);
    if constexpr (M == MODE_rel) o = memory + uint16_t(pc + int8_t(b1));
    instr_len = LEN;
    constexpr uint8_t rule = cross_rule(M), base = BASE_CYCLES[OPC] - '0', crossed = CROSS_CYCLES[OPC] - '0';
    if constexpr (rule == 0 || base == crossed)
        cycles += base;
    else
        cycles += b1 + (rule == 1 ? x : y) > 255 ? crossed : base;
    const uint8_t nmi_now = (memory[0x2000] & 0x80) && nmi_line_prev;
    nmi_line_prev = ppu->nmi_line;
#define X(n) \
    if constexpr (O == OP_##n) n<R>(o);
    KESTRIX_OPS(X)
#undef X
    if constexpr (O == OP_NONE) unknown_opcode(OPC);
    PC = uint16_t(PC + (O == OP_BRK ? 3 : LEN));  // BRK alone changes `instr_len`
    if constexpr ((O == OP_JMP && M == MODE_abs) || M == MODE_rel)
        if (uint16_t(pc - PC) <= 3) loop_hint = true;
    return nmi_now;
}

[[gnu::always_inline]] inline void CPU::step() {
    const uint16_t pc = PC;
    // fold() on the three bytes fetched: on $8000-$FFFF bit 14 goes when
    // $C000-$FFFF mirror $8000-$BFFF; internal RAM and its mirrors keep 11
    // bits (code run from RAM, up to $1FFD, fetches no register).
    uint16_t m;
    if (uint16_t(pc - 0x8000) < rom_fetch_end)
        m = fold_mask[7];
    else if (pc < 0x1FFE && rom_fetch_end)
        m = fold_mask[0];
    else
        return step_any();
    if (debug) return step_any();
    start_cycles = cycles;
    const uint8_t b1 = memory[uint16_t(pc + 1) & m];
    uint8_t nmi_now = 0;
    switch (memory[pc & m]) {
#define C1(n) \
    case n: nmi_now = exec<n>(pc, m, b1); break;
#define C4(n) C1(n) C1(n + 1) C1(n + 2) C1(n + 3)
#define C16(n) C4(n) C4(n + 4) C4(n + 8) C4(n + 12)
#define C64(n) C16(n) C16(n + 16) C16(n + 32) C16(n + 48)
        C64(0x00) C64(0x40) C64(0x80) C64(0xC0)
#undef C1
#undef C4
#undef C16
#undef C64
    }
    end_instruction(nmi_now);
}

void CPU::clock() { step(); }

// Instructions while, after each, the unit would have nothing to do: the APU
// needs no catch-up and the lagging PPU has not reached its deadline (the
// tests of NESUnit::single_cycle(), which runs after the last one). At least
// one and at most `limit` instructions run; the whole loop stays in this
// unit, so the step is inlined and not called.
void CPU::clock_batch(int limit) {
    do {
        step();
        if (loop_hint) [[unlikely]] limit -= idle_passes(limit);
    } while (--limit > 0 && lazy_ppu && uint64_t(3 * cycles) <= ppu_deadline && apu_target() <= apu->sync_by);
}

// An idle loop: `JMP *`, a branch to itself, or a read that changes nothing
// followed by a branch back to it (`LDA flag / BEQ`, `BIT flag / BPL`, ...).
// When one more pass would leave every register, flag and memory cell as it
// is, the passes that clock_batch() would still run (`limit` counted before
// its decrement) differ only in the cycle and instruction counts, so they are
// counted at once. So is a PPUSTATUS poll while its reads need no catch-up,
// and a delay loop (`DEY / BNE`), its register moved by the passes that
// branch back. Returns the instructions counted. Replaces running them
// one by one; tests/cpp/idle_loops.cpp runs both ways and compares.
int CPU::idle_passes(int limit) {
    loop_hint = false;
    if (debug || mapper_reads || !lazy_ppu) return 0;
    // Interrupts: the NMI line sampled by every further pass, and no IRQ taken.
    if (nmi_line_prev != ppu->nmi_line || uint8_t((memory[0x2000] & 0x80) && nmi_line_prev) != nmi_latch) return 0;
    if (irq_pending && !(P & 0x04)) return 0;
    const auto plain = [&](uint16_t a) { return !is_register(fold(a)); };  // a byte read without side effect
    const auto byte = [&](uint16_t a) { return memory[fold(a)]; };
    const auto taken_cycles = [](uint16_t at, uint16_t to) -> int64_t { return ((at ^ to) & 0xFF00) ? 4 : 3; };
    // A taken branch from `at` back to `to`: its cycles, 0 when not so.
    const auto branch_back = [&](uint16_t at, uint16_t to) -> int64_t {
        const uint8_t op = byte(at);
        if ((op & 0x1F) != 0x10 || !plain(at) || !plain(uint16_t(at + 1))) return 0;
        if (uint16_t(at + 2 + int8_t(byte(uint16_t(at + 1)))) != to) return 0;
        static constexpr uint8_t FLAG[4] = {0x80, 0x40, 0x01, 0x02};  // N, V, C, Z by bits 6-7
        if (bool(P & FLAG[op >> 6]) != bool(op & 0x20)) return 0;
        return taken_cycles(at, to);
    };
    const uint16_t loop = PC;
    int n = 1;         // instructions per pass
    int64_t pass = 0;  // cycles per pass
    int64_t last = 0;  // cycles from a pass's start to the check before its last instruction
    uint8_t* counter = nullptr;  // a delay loop's register (DEX/DEY/INX/INY, BNE): it moves by `by` a pass
    int by = 0;
    int64_t passes = std::numeric_limits<int64_t>::max();  // passes that branch back
    uint64_t settled = std::numeric_limits<uint64_t>::max();  // the last PPU position for a settled PPUSTATUS read
    const uint8_t op = byte(loop);
    if ((op == 0xCA || op == 0x88 || op == 0xE8 || op == 0xC8) && plain(loop) && plain(uint16_t(loop + 1)) &&
        plain(uint16_t(loop + 2)) && byte(uint16_t(loop + 1)) == 0xD0 && byte(uint16_t(loop + 2)) == 0xFD) {
        // The BNE back is taken while the register has not reached 0.
        counter = (op == 0xCA || op == 0xE8) ? &X : &Y;
        by = (op == 0xE8 || op == 0xC8) ? 1 : -1;
        n = 2;
        last = base_cycles[op];
        pass = last + taken_cycles(uint16_t(loop + 1), loop);
        passes = by < 0 ? uint8_t(*counter - 1) : uint8_t(~*counter);
    } else if (op == 0x4C && plain(loop) && plain(uint16_t(loop + 1)) && plain(uint16_t(loop + 2)) &&
        (byte(uint16_t(loop + 1)) | byte(uint16_t(loop + 2)) << 8) == loop) {
        pass = base_cycles[0x4C];
    } else if ((pass = branch_back(loop, loop)) != 0) {
    } else {
        // A read of zero page or an absolute address, then the branch.
        const bool abs = (op & 0x0C) == 0x0C;
        const uint16_t len = abs ? 3 : 2;
        for (uint16_t k = 0; k < len; k++)
            if (!plain(uint16_t(loop + k))) return 0;
        const uint16_t addr = abs ? uint16_t(byte(uint16_t(loop + 1)) | byte(uint16_t(loop + 2)) << 8) : byte(uint16_t(loop + 1));
        // A PPUSTATUS poll outside vertical blank: while the reads need no
        // catch-up (PPU::status_settled) each gives the same value and
        // leaves the same flags, once the first has cleared them.
        const bool status = fold(addr) == 0x2002;
        if (status) {
            if (ppu->scanline > 240 || ppu->w || ppu->nmi_line || (memory[0x2002] & 0x80)) return 0;
            settled = ppu->settled_through();
        } else if (!plain(addr)) {
            return 0;
        }
        const uint8_t m = memory[fold(addr)];
        const uint8_t a = A, p = P;
        const uint8_t x = X, y = Y;
        switch (op) {
            case 0xA5: case 0xAD: A = m; set_nz(A); break;               // LDA
            case 0xA6: case 0xAE: X = m; set_nz(X); break;               // LDX
            case 0xA4: case 0xAC: Y = m; set_nz(Y); break;               // LDY
            case 0x25: case 0x2D: A &= m; set_nz(A); break;              // AND
            case 0x05: case 0x0D: A |= m; set_nz(A); break;              // ORA
            case 0xC5: case 0xCD: compare(A, m); break;                  // CMP
            case 0xE4: case 0xEC: compare(X, m); break;                  // CPX
            case 0xC4: case 0xCC: compare(Y, m); break;                  // CPY
            case 0x24: case 0x2C: P = uint8_t((P & 0x3D) | (m & 0xC0) | ((m & A) == 0 ? 0x02 : 0)); break;  // BIT
            default: return 0;
        }
        const bool same = A == a && X == x && Y == y && P == p;
        A = a, X = x, Y = y, P = p;
        if (!same) return 0;
        const int64_t branch = branch_back(uint16_t(loop + len), loop);
        if (!branch) return 0;
        n = 2;
        last = base_cycles[op];
        pass = last + branch;
    }
    // clock_batch()'s checks before each further instruction: the count, and
    // the PPU deadline and APU target, which hold up to `most` cycles.
    constexpr int64_t MAX = std::numeric_limits<int64_t>::max();
    const int64_t ppu_most = ppu_deadline / 3 > uint64_t(MAX) ? MAX : int64_t(ppu_deadline / 3);
    const int64_t apu_most = apu->sync_by > MAX / 2 ? MAX : 2 * apu->sync_by;  // sync_by may be -1: none
    const int64_t most = ppu_most < apu_most ? ppu_most : apu_most;
    if (most - cycles < last) return 0;
    const int64_t by_cycles = (most - cycles - last) / pass + 1, by_count = (limit - 1) / n;
    // A poll's read starts each pass.
    const int64_t by_status = settled / 3 < uint64_t(cycles) ? 0 : int64_t((settled / 3 - uint64_t(cycles)) / uint64_t(pass)) + 1;
    const int64_t k = std::min({by_cycles, by_count, passes, by_status});
    if (k <= 0) return 0;
    if (counter) {
        *counter = uint8_t(*counter + by * k);
        set_nz(*counter);
    }
    cycles += k * pass;
    instr_count += k * n;
    idle_counted += k * n;
    start_cycles = cycles - (pass - last);
    return int(k * n);
}

void CPU::define_timings() {
    for (int op = 0; op < 256; op++) {
        base_cycles[op] = uint8_t(BASE_CYCLES[op] - '0');
        cross_cycles[op] = uint8_t(CROSS_CYCLES[op] - '0');
    }
}

// ---- Trace ----

void CPU::ins_str_mem(char* buf, int size, uint8_t* instr, uint8_t* operand) {
    map_memory(instr);
    map_memory(operand);
    const uint16_t ia = uint16_t(instr - memory);
    const uint8_t op = memory[ia];
    const int n = instr_len;
    unsigned value = 0;
    if (n >= 2) value = memory[uint16_t(ia + 1)];
    if (n >= 3) value |= memory[uint16_t(ia + 2)] << 8;
    if (mnemonics[op] && mode_names[op]) {
        // The accumulator has no address; it shows as 10000.
        const long long oa = in_space(operand) ? (long long)(operand - memory) : 0x10000LL;
        std::snprintf(buf, size_t(size),
                      "Cycles: %lli, 0x%02x: %s, %s $%04x->%04llx=%02x, PC=$%04llx - A=%02x - X=%02x - Y=%02x - P=%02x",
                      (long long)cycles, op, mnemonics[op], mode_names[op], value, oa, *operand, (long long)PC, A, X, Y, P);
    } else {
        std::snprintf(buf, size_t(size), "0x%02x: ---", op);
    }
}

void CPU::ins_str(char* buf, int size, uint8_t opcode) {
    if (mnemonics[opcode] && mode_names[opcode])
        std::snprintf(buf, size_t(size), "0x%02x: %s, %s, PC=$%04llx - A=%u - X=%u - Y=%u", opcode, mnemonics[opcode],
                      mode_names[opcode], (long long)PC, A, X, Y);
    else
        std::snprintf(buf, size_t(size), "0x%02x: ---", opcode);
}

void CPU::trace(uint8_t* instr, uint8_t* operand) {
    char buf[256] = {};
    ins_str_mem(buf, sizeof buf, instr, operand);
    std::printf("%s ", buf);
    std::printf("SP: %02x [", SP);
    for (int a = 0x1FF; a > 0x100 + SP; a--) std::printf(a == 0x1FF ? "%02x" : ",%02x", memory[a]);
    std::printf("]\n");
    std::fflush(stdout);
}

}  // namespace NES
