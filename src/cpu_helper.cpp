#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>
#include <limits>
#include <string>

#include "apu.h"
#include "check.h"
#include "cpu.h"
#include "ppu.h"

namespace NES {

// ---- Addressing modes: given the position after the opcode, yield the operand ----
// F says how the bytes after the opcode and the reads of the indirect modes
// reach memory (CPU::Reach); `mode_table` holds the bus forms. Inlined into
// exec() and run_mode(); `mode_table` takes their addresses.

#define MODE(n) template <CPU::Reach F> [[gnu::always_inline]] inline uint8_t* CPU::n(uint8_t* p)

MODE(acc) { (void)p; return &A; }
MODE(imm) {
    instr_len = 2;
    if constexpr (F == Reach::cell) return memory + (uint16_t(p - memory) & fetch_mask);
    map_memory(p);
    return p;
}
MODE(zpg) { instr_len = 2; return memory + next_byte<F>(p, 0); }
MODE(zpgx) { instr_len = 2; return memory + uint8_t(next_byte<F>(p, 0) + X); }
MODE(zpgy) { instr_len = 2; return memory + uint8_t(next_byte<F>(p, 0) + Y); }
MODE(abs) {
    instr_len = 3;
    const uint8_t lo = next_byte<F>(p, 0);
    return memory + uint16_t(lo | next_byte<F>(p, 1) << 8);
}
MODE(absx) {
    const uint8_t x = X;
    instr_len = 3;
    const uint8_t lo = next_byte<F>(p, 0);
    return memory + uint16_t((lo | next_byte<F>(p, 1) << 8) + x);
}
MODE(absy) {
    const uint8_t y = Y;
    instr_len = 3;
    const uint8_t lo = next_byte<F>(p, 0);
    return memory + uint16_t((lo | next_byte<F>(p, 1) << 8) + y);
}
MODE(xind) {
    instr_len = 2;
    const uint8_t z = uint8_t(next_byte<F>(p, 0) + X);
    const uint8_t lo = zp_byte<F>(z);
    return memory + uint16_t(lo | zp_byte<F>(uint8_t(z + 1)) << 8);
}
MODE(indy) {
    instr_len = 2;
    const uint8_t z = next_byte<F>(p, 0);
    const uint8_t lo = zp_byte<F>(z);
    return memory + uint16_t((lo | zp_byte<F>(uint8_t(z + 1)) << 8) + Y);
}
MODE(rel) { instr_len = 2; return memory + uint16_t(PC + int8_t(next_byte<F>(p, 0))); }
MODE(ind) {
    // The pointer comes straight from the cells; its high byte never leaves the page.
    map_memory(p);
    const uint16_t pa = uint16_t(p - memory);
    const uint16_t q = uint16_t(memory[pa] | memory[uint16_t(pa + 1)] << 8);
    instr_len = 3;
    const bool notify = F == Reach::bus;
    const uint8_t lo = rd(q, notify);
    return memory + uint16_t(lo | rd(uint16_t((q & 0xFF00) | ((q + 1) & 0xFF)), notify) << 8);
}

#undef MODE

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
template <CPU::Reach R> [[gnu::always_inline]] inline void CPU::BRK(uint8_t*) {
    const uint16_t r = uint16_t(PC + instr_len + 1);
    stack_push(uint8_t(r >> 8));
    stack_push(uint8_t(r));
    P |= 0x30;
    stack_push(P);
    instr_len = 3;
    jump_to(rd16(irq_vector, R == Reach::bus));
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
#define X(n) {#n, &CPU::n<>},
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

// ---- The described step ----

void CPU::clock() {
    // Where a lagging PPU or APU is brought before an access to it; with
    // lazy_ppu and lazy_apu clear nothing lags and this is unused.
    start_cycles = cycles;
    instr_len = 1;
    uint8_t* const instr = memory + PC;
    const uint8_t op = read(instr, true);
    const Mode mode = mode_table[op];
    const Op handler = op_table[op];
    uint8_t* operand = memory + uint16_t(PC + 1);
    const unsigned b1 = read(operand, true), x = X;
    const unsigned b2 = read(operand, true), y = Y;
    if (mode) operand = (this->*mode)(operand);
    const bool cross = (mode == &CPU::absx<> && b1 + x > 255) ||
                       ((mode == &CPU::absy<> || mode == &CPU::indy<>) && b2 + y > 255);
    cycles += cross ? cross_cycles[op] : base_cycles[op];
    const bool nmi_now = (memory[0x2000] & 0x80) && nmi_line_prev;
    nmi_line_prev = ppu->nmi_line;
    if (debug) trace(instr, operand);
    if (handler)
        (this->*handler)(operand);
    else
        unknown_opcode(op);
    PC = uint16_t(PC + instr_len);
    instr_count++;
    if (nmi_now && !nmi_latch)
        start_nmi();
    else if (irq_pending)
        start_irq();
    nmi_latch = nmi_now;
}

// ---- The fast step ----
// Each piece below names the condition it relies on, what keeps it true and
// what holds it equal to clock(). All of them together are compared with
// clock() by tests/cpp/plain_compare.cpp (a console that steps with clock()
// against the usual one, over cartridges), tests/test_cpu.py, the nestest
// log and the per-frame digests of benchmarks/same_behaviour.py.

// The tables' entries called by switch, so that the handlers are inlined
// here instead of reached through member pointers: the same lists fill
// `mode_kind`/`op_kind` and the tables, so a kind names the table's handler.
// Reads leave out the mapper's notification (Reach::bus_fast): no mapper of
// the family acts on it.
uint8_t* CPU::run_mode(uint8_t kind, uint8_t* p) {
    switch (kind) {
#define X(n) case MODE_##n: return n<Reach::bus_fast>(p);
        KESTRIX_MODES(X)
#undef X
        default: return p;
    }
}

bool CPU::run_op(uint8_t kind, uint8_t* operand) {
    switch (kind) {
#define X(n) case OP_##n: n<Reach::bus_fast>(operand); return true;
        KESTRIX_OPS(X)
#undef X
        default: return false;
    }
}

// clock() for code that step() does not take: outside ROM and internal RAM
// ($2000-$7FFF), or at $1FFE-$1FFF and $FFFE-$FFFF where the fetch may
// reach a register or wrap. The same reads in the same order, dispatched
// by switch (see run_mode); the debug trace is left to clock().
// Relies on: no mapper acts on the read notification it leaves out
// (Reach::bus_fast). Held equal to clock() as said above.
void CPU::step_any() {
    start_cycles = cycles;
    instr_len = 1;
    uint8_t* operand = memory + uint16_t(PC + 1);
    const uint8_t op = read(memory + PC, false);
    const unsigned b1 = read(operand, false), x = X;
    const unsigned b2 = read(operand, false), y = Y;
    if (const uint8_t mk = mode_kind[op]) operand = run_mode(mk, operand);
    const uint8_t kind = cross_kind[op];
    const bool cross = (kind == 1 && b1 + x > 255) || (kind == 2 && b2 + y > 255);
    cycles += cross ? cross_cycles[op] : base_cycles[op];
    const uint8_t nmi_now = (memory[0x2000] & 0x80) && nmi_line_prev;
    nmi_line_prev = ppu->nmi_line;
    if (!run_op(op_kind[op], operand)) unknown_opcode(op);
    PC = uint16_t(PC + instr_len);
    end_instruction(nmi_now);
}

// One opcode of code in ROM ($8000-$FFFD) or internal RAM ($0000-$1FFD),
// its mode, handler, length and cycles fixed at compile time (the mode's
// length is checked against the grid's).
// Relies on: the three bytes fetched are ROM or RAM cells, whose reads have
// no side effect (step() picks the range and its fold, `fetch_mask`), so the
// mode reads them straight from their cells (Reach::cell) and b1 = b2; the
// handlers of the imm mode (a ROM or RAM cell) and of the zero-page modes
// (internal RAM) read their operand from the cell; the rest leave out the
// mapper's read notification (Reach::bus_fast). Returns the NMI line
// sampled before the handler.
template <uint8_t OPC>
[[gnu::always_inline]] inline uint8_t CPU::exec(uint16_t pc, uint8_t b1) {
    constexpr uint8_t M = DECODED[OPC].mode, O = DECODED[OPC].op, LEN = mode_length(M);
    constexpr Reach R = M == MODE_acc ? Reach::acc
                        : (M == MODE_imm || M == MODE_zpg || M == MODE_zpgx || M == MODE_zpgy) ? Reach::cell
                                                                                                : Reach::bus_fast;
    const uint8_t x = X, y = Y;
    instr_len = 1;
    uint8_t* o = memory + uint16_t(pc + 1);
#define X(n) \
    if constexpr (M == MODE_##n) o = n<Reach::cell>(o);
    KESTRIX_MODES(X)
#undef X
    KX_ASSERT(instr_len == LEN, "the mode's length is the grid's");
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
    if (debug) [[unlikely]] return clock();  // the trace is the described step's
    const uint16_t pc = PC;
    // The fold of the three bytes fetched: on $8000-$FFFF bit 14 goes when
    // $C000-$FFFF mirror $8000-$BFFF; internal RAM and its mirrors keep 11
    // bits (code up to $1FFD fetches no register).
    uint16_t m;
    if (uint16_t(pc - 0x8000) < 0x7FFE)
        m = fold_mask[7];
    else if (pc < 0x1FFE)
        m = fold_mask[0];
    else
        return step_any();
    start_cycles = cycles;
    fetch_mask = m;
    const uint8_t b1 = memory[uint16_t(pc + 1) & m];
    uint8_t nmi_now = 0;
    switch (memory[pc & m]) {
#define C1(n) \
    case n: nmi_now = exec<n>(pc, b1); break;
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

// Instructions while, after each, the unit would have nothing to do: the APU
// needs no catch-up and the lagging PPU has not reached its deadline (the
// tests of NESUnit::single_cycle(), which runs after the last one). At least
// one and at most `limit` instructions run; the whole loop stays in this
// unit, so the step is inlined and not called.
// Relies on: `ppu_deadline` is not past the PPU's next event (the unit's
// catch-up takes it from PPU::next_event(), a mapper write or a state load
// lowers it) and `apu->sync_by` is where the APU next needs a catch-up
// (APU::run sets it, a $4015 write clears it); so only the last instruction
// of a batch passes either, and the unit acts right after it. The first is
// checked below; the batch is held equal to clock() as said above.
void CPU::clock_batch(int limit) {
    do {
        step();
        if (loop_hint) [[unlikely]] limit -= idle_passes(limit);
    } while (--limit > 0 && lazy_ppu && uint64_t(3 * cycles) <= ppu_deadline && apu_target() <= apu->sync_by);
    KX_ASSERT(!lazy_ppu || ppu_deadline <= ppu->next_event(), "the PPU deadline is past the PPU's next event");
}

// ---- Idle loops ----

// A loop that idle_passes() may count: per pass `n` instructions and
// `pass` cycles, of which `last` come before its last instruction.
struct CPU::IdleLoop {
    int n = 1;
    int64_t pass = 0;
    int64_t last = 0;
    uint8_t* counter = nullptr;  // a delay loop's register, moved by `by` each pass
    int by = 0;
    int64_t passes = std::numeric_limits<int64_t>::max();     // the passes that still branch back
    uint64_t settled = std::numeric_limits<uint64_t>::max();  // the last PPU dot of a settled PPUSTATUS read
};

// An idle loop: `JMP *`, a branch to itself, a read that changes nothing
// followed by a branch back to it (`LDA flag / BEQ`, `BIT flag / BPL`, ...),
// a PPUSTATUS poll while its reads need no catch-up, or a delay loop
// (`DEY / BNE`), its register moved by the passes that branch back. The
// passes that clock_batch() would still run (`limit` counted before its
// decrement) differ only in the cycle and instruction counts (and a delay
// loop's register), so they are counted at once. Returns the instructions
// counted.
// Relies on: the loop's bytes and the byte it reads are cells without side
// effect, the NMI and IRQ inputs stay as they are, and the passes end before
// the PPU deadline and the APU's sync_by (checked below). Re-established at
// every call (nothing is kept). Held equal to running the passes one by one
// with clock() by tests/cpp/idle_loops.cpp.
int CPU::idle_passes(int limit) {
    loop_hint = false;
    if (limit < 2 || debug || !lazy_ppu || !idle_interrupts_steady()) return 0;  // clock_batch(1): nothing to count
    IdleLoop loop;
    if (!find_idle_loop(loop)) return 0;
    // clock_batch()'s checks before each further instruction: the count, and
    // the PPU deadline and APU target, which hold up to `most` cycles.
    constexpr int64_t MAX = std::numeric_limits<int64_t>::max();
    const int64_t ppu_most = ppu_deadline / 3 > uint64_t(MAX) ? MAX : int64_t(ppu_deadline / 3);
    const int64_t apu_most = apu->sync_by > MAX / 2 ? MAX : 2 * apu->sync_by;  // sync_by may be -1: none
    const int64_t most = std::min(ppu_most, apu_most);
    if (most - cycles < loop.last) return 0;
    const int64_t by_cycles = (most - cycles - loop.last) / loop.pass + 1, by_count = (limit - 1) / loop.n;
    // A poll's read starts each pass.
    const uint64_t now = uint64_t(cycles);
    const int64_t by_status =
        loop.settled / 3 < now ? 0 : int64_t((loop.settled / 3 - now) / uint64_t(loop.pass)) + 1;
    const int64_t k = std::min({by_cycles, by_count, loop.passes, by_status});
    if (k <= 0) return 0;
    if (loop.counter) {
        *loop.counter = uint8_t(*loop.counter + loop.by * k);
        set_nz(*loop.counter);
    }
    cycles += k * loop.pass;
    instr_count += k * loop.n;
    idle_counted += k * loop.n;
    start_cycles = cycles - (loop.pass - loop.last);
    KX_ASSERT(start_cycles <= most && k * loop.n < limit, "counted idle passes end before the deadlines");
    return int(k * loop.n);
}

// Every further pass samples the same NMI line and takes no IRQ.
bool CPU::idle_interrupts_steady() const {
    if (nmi_line_prev != ppu->nmi_line || uint8_t((memory[0x2000] & 0x80) && nmi_line_prev) != nmi_latch) return false;
    return !(irq_pending && !(P & 0x04));
}

// The kind of the loop at PC, which the last instruction closed.
bool CPU::find_idle_loop(IdleLoop& loop) {
    const uint16_t at = PC;
    const uint8_t op = memory[fold(at)];
    if (delay_loop(loop)) return true;
    if (op == 0x4C && plain_bytes(at, 3) && (memory[fold(uint16_t(at + 1))] | memory[fold(uint16_t(at + 2))] << 8) == at) {
        loop.pass = base_cycles[op];  // JMP *
        return true;
    }
    if ((loop.pass = branch_back(at, at)) != 0) return true;  // a branch to itself
    return read_loop(loop);
}

// Whether the `count` bytes from `at` read without side effect.
bool CPU::plain_bytes(uint16_t at, int count) const {
    for (int k = 0; k < count; k++)
        if (is_register(fold(uint16_t(at + k)))) return false;
    return true;
}

// A branch at `at` taken back to `to`: its cycles, 0 when not so.
int64_t CPU::branch_back(uint16_t at, uint16_t to) const {
    const uint8_t op = memory[fold(at)];
    if ((op & 0x1F) != 0x10 || !plain_bytes(at, 2)) return 0;
    if (uint16_t(at + 2 + int8_t(memory[fold(uint16_t(at + 1))])) != to) return 0;
    static constexpr uint8_t FLAG[4] = {0x80, 0x40, 0x01, 0x02};  // N, V, C, Z by bits 6-7
    if (bool(P & FLAG[op >> 6]) != bool(op & 0x20)) return 0;
    return ((at ^ to) & 0xFF00) ? 4 : 3;
}

// DEX, DEY, INX or INY, then BNE back to it: taken while the register has not reached 0.
bool CPU::delay_loop(IdleLoop& loop) {
    const uint16_t at = PC;
    const uint8_t op = memory[fold(at)];
    if (op != 0xCA && op != 0x88 && op != 0xE8 && op != 0xC8) return false;
    if (!plain_bytes(at, 3) || memory[fold(uint16_t(at + 1))] != 0xD0 || memory[fold(uint16_t(at + 2))] != 0xFD)
        return false;
    loop.counter = (op == 0xCA || op == 0xE8) ? &X : &Y;
    loop.by = (op == 0xE8 || op == 0xC8) ? 1 : -1;
    loop.n = 2;
    loop.last = base_cycles[op];
    loop.pass = loop.last + (((at + 1) ^ at) & 0xFF00 ? 4 : 3);
    loop.passes = loop.by < 0 ? uint8_t(*loop.counter - 1) : uint8_t(~*loop.counter);
    return true;
}

// A read of zero page or an absolute address that changes nothing, then the branch back.
bool CPU::read_loop(IdleLoop& loop) {
    const uint16_t at = PC;
    const uint8_t op = memory[fold(at)];
    if (mode_kind[op] != MODE_zpg && mode_kind[op] != MODE_abs) return false;
    const uint16_t len = mode_kind[op] == MODE_abs ? 3 : 2;
    if (!plain_bytes(at, len)) return false;
    const uint8_t lo = memory[fold(uint16_t(at + 1))];
    const uint16_t addr = len == 3 ? uint16_t(lo | memory[fold(uint16_t(at + 2))] << 8) : lo;
    // A PPUSTATUS poll outside vertical blank: while the reads need no
    // catch-up (PPU::status_settled) each gives the same value and leaves
    // the same flags, once the first has cleared them.
    if (fold(addr) == 0x2002) {
        if (ppu->scanline > 240 || ppu->w || ppu->nmi_line || (memory[0x2002] & 0x80)) return false;
        loop.settled = ppu->settled_through();
    } else if (is_register(fold(addr))) {
        return false;
    }
    if (!read_changes_nothing(op, memory + fold(addr))) return false;
    const int64_t branch = branch_back(uint16_t(at + len), at);
    if (!branch) return false;
    loop.n = 2;
    loop.last = base_cycles[op];
    loop.pass = loop.last + branch;
    return true;
}

// Whether `op`, one of the reads that only set registers and flags, leaves
// them as they are when it reads `cell` again: the handler itself runs on
// the registers, which are then put back.
bool CPU::read_changes_nothing(uint8_t op, uint8_t* cell) {
    const uint8_t a = A, x = X, y = Y, p = P;
    switch (op_kind[op]) {
        case OP_LDA: LDA<Reach::cell>(cell); break;
        case OP_LDX: LDX<Reach::cell>(cell); break;
        case OP_LDY: LDY<Reach::cell>(cell); break;
        case OP_AND: AND<Reach::cell>(cell); break;
        case OP_ORA: ORA<Reach::cell>(cell); break;
        case OP_CMP: CMP<Reach::cell>(cell); break;
        case OP_CPX: CPX<Reach::cell>(cell); break;
        case OP_CPY: CPY<Reach::cell>(cell); break;
        case OP_BIT: BIT<Reach::cell>(cell); break;
        default: return false;
    }
    const bool same = A == a && X == x && Y == y && P == p;
    A = a, X = x, Y = y, P = p;
    return same;
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
