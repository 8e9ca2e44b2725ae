#include <cstring>
#include <iterator>
#include <string>

#include "cpu.h"

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

void CPU::add(uint8_t m) {
    const unsigned sum = A + m + get_flag('C');
    set_cv(sum, A, m);
    A = uint8_t(sum);
    set_nz(A);
}

void CPU::compare(uint8_t reg, uint8_t m) {
    set_flag('C', reg >= m);
    set_nz(uint8_t(reg - m));
}

void CPU::branch(bool taken, uint8_t* operand) {
    cycles += 2;
    if (!taken) return;
    cycles += 1;
    const uint16_t from = PC, to = uint16_t(operand - memory);
    PC = to;
    if ((from ^ uint16_t(to + instr_len)) & 0xFF00) cycles += 1;
}

void CPU::ADC(uint8_t* o) { add(read(o, true)); }
void CPU::SBC(uint8_t* o) { add(uint8_t(~read(o, true))); }
void CPU::AND(uint8_t* o) { A &= read(o, true); set_nz(A); }
void CPU::ORA(uint8_t* o) { A |= read(o, true); set_nz(A); }
void CPU::EOR(uint8_t* o) { A ^= read(o, true); set_nz(A); }
void CPU::BIT(uint8_t* o) {
    const uint8_t m = read(o, true);
    set_flag('Z', (m & A) == 0);
    set_flag('V', m & 0x40);
    set_flag('N', m & 0x80);
}
void CPU::CMP(uint8_t* o) { compare(A, read(o, true)); }
void CPU::CPX(uint8_t* o) { compare(X, read(o, true)); }
void CPU::CPY(uint8_t* o) { compare(Y, read(o, true)); }
void CPU::LDA(uint8_t* o) { A = read(o, true); set_nz(A); }
void CPU::LDX(uint8_t* o) { X = read(o, true); set_nz(X); }
void CPU::LDY(uint8_t* o) { Y = read(o, true); set_nz(Y); }
void CPU::STA(uint8_t* o) { write(o, A); }
void CPU::STX(uint8_t* o) { write(o, X); }
void CPU::STY(uint8_t* o) { write(o, Y); }
void CPU::INC(uint8_t* o) { const uint8_t r = uint8_t(read(o, true) + 1); set_nz(r); write(o, r); }
void CPU::DEC(uint8_t* o) { const uint8_t r = uint8_t(read(o, true) - 1); set_nz(r); write(o, r); }
void CPU::INX(uint8_t*) { set_nz(++X); }
void CPU::INY(uint8_t*) { set_nz(++Y); }
void CPU::DEX(uint8_t*) { set_nz(--X); }
void CPU::DEY(uint8_t*) { set_nz(--Y); }
void CPU::ASL(uint8_t* o) {
    const uint8_t m = read(o, true), r = uint8_t(m << 1);
    set_flag('C', m & 0x80); set_nz(r); write(o, r);
}
void CPU::LSR(uint8_t* o) {
    const uint8_t m = read(o, true), r = m >> 1;
    set_flag('C', m & 1); set_nz(r); write(o, r);
}
void CPU::ROL(uint8_t* o) {
    const uint8_t m = read(o, true), r = uint8_t(m << 1 | get_flag('C'));
    set_flag('C', m & 0x80); set_nz(r); write(o, r);
}
void CPU::ROR(uint8_t* o) {
    const uint8_t m = read(o, true), r = uint8_t(get_flag('C') << 7 | m >> 1);
    set_flag('C', m & 1); set_nz(r); write(o, r);
}
void CPU::TAX(uint8_t*) { X = A; set_nz(X); }
void CPU::TAY(uint8_t*) { Y = A; set_nz(Y); }
void CPU::TXA(uint8_t*) { A = X; set_nz(A); }
void CPU::TYA(uint8_t*) { A = Y; set_nz(A); }
void CPU::TSX(uint8_t*) { X = SP; set_nz(X); }
void CPU::TXS(uint8_t*) { SP = X; }
void CPU::PHA(uint8_t*) { stack_push(A); }
void CPU::PLA(uint8_t*) { A = stack_pull(); set_nz(A); }
void CPU::PHP(uint8_t*) { stack_push(P | 0x30); }
void CPU::PLP(uint8_t*) { P = stack_pull(); }
void CPU::CLC(uint8_t*) { set_flag('C', false); }
void CPU::CLD(uint8_t*) { set_flag('D', false); }
void CPU::CLI(uint8_t*) { set_flag('I', false); }
void CPU::CLV(uint8_t*) { set_flag('V', false); }
void CPU::SEC(uint8_t*) { set_flag('C', true); }
void CPU::SED(uint8_t*) { set_flag('D', true); }
void CPU::SEI(uint8_t*) { set_flag('I', true); }
void CPU::NOP(uint8_t*) {}
void CPU::JMP(uint8_t* o) { jump_to(uint16_t(o - memory)); }
void CPU::JSR(uint8_t* o) {
    const uint16_t r = uint16_t(PC + instr_len - 1);
    stack_push(uint8_t(r >> 8));
    stack_push(uint8_t(r));
    jump_to(uint16_t(o - memory));
}
void CPU::RTS(uint8_t*) {
    const uint8_t lo = stack_pull(), hi = stack_pull();
    PC = uint16_t(lo | hi << 8);
}
void CPU::RTI(uint8_t*) {
    P = stack_pull();
    const uint8_t lo = stack_pull(), hi = stack_pull();
    PC = uint16_t((lo | hi << 8) - 1);
}
void CPU::BRK(uint8_t*) {
    const uint16_t r = uint16_t(PC + instr_len + 1);
    stack_push(uint8_t(r >> 8));
    stack_push(uint8_t(r));
    P |= 0x30;
    stack_push(P);
    instr_len = 3;
    jump_to(rd16(irq_vector));
}
void CPU::BCC(uint8_t* o) { branch(!get_flag('C'), o); }
void CPU::BCS(uint8_t* o) { branch(get_flag('C'), o); }
void CPU::BEQ(uint8_t* o) { branch(get_flag('Z'), o); }
void CPU::BNE(uint8_t* o) { branch(!get_flag('Z'), o); }
void CPU::BMI(uint8_t* o) { branch(get_flag('N'), o); }
void CPU::BPL(uint8_t* o) { branch(!get_flag('N'), o); }
void CPU::BVC(uint8_t* o) { branch(!get_flag('V'), o); }
void CPU::BVS(uint8_t* o) { branch(get_flag('V'), o); }

// ---- Tables ----

namespace {

// The opcode grid, row = high nibble, column = low nibble. "." alone: nothing;
// ". mode": a mode without instruction; "MNE (none)": no mode and no mode text.
const char* const GRID[256] = {
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

const char BASE_CYCLES[] =
    "7608335532224466050844662427447766083355422244660508446624274477"
    "6608335532223466050844662427447766083355422254660508446624274477"
    "2626333322224444060644442525555526263333222244440505444424244444"
    "2628335522224466050844662427447726283355222244660508446624274477";

const char CROSS_CYCLES[] =
    "7608335532224466060844662527557766083355422244660608446625275577"
    "6608335532223466060844662527557766083355422254660608446625275577"
    "2626333322224444060644442525555526263333222244440606444425255555"
    "2628335522224466060844662527557726283355222244660608446625275577";

// The modes and handlers, each listed once: the tables below, the dispatch
// switches of run_mode() and run_op() and the kinds in `mode_kind`/`op_kind`
// all come from these lists, in this order.
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
#define X(n) {#n, &CPU::n},
    KESTRIX_OPS(X)
#undef X
};

}  // namespace

void CPU::define_opcodes() {
    for (int op = 0; op < 256; op++) {
        const std::string cell = GRID[op];
        const std::string mne = cell.substr(0, cell.find(' '));
        const std::string mode = cell.find(' ') == std::string::npos ? "" : cell.substr(cell.find(' ') + 1);
        op_kind[op] = OP_NONE;
        for (int k = 0; k < int(std::size(OPS)); k++)
            if (mne == OPS[k].name) {
                op_table[op] = OPS[k].fn;
                mnemonics[op] = OPS[k].name;
                op_kind[op] = uint8_t(k + 1);
            }
        if (mode == "impl") mode_names[op] = "impl";
        mode_kind[op] = MODE_NONE;
        for (int k = 0; k < int(std::size(MODES)); k++)
            if (mode == MODES[k].name) {
                mode_table[op] = MODES[k].fn;
                mode_names[op] = MODES[k].name;
                mode_kind[op] = uint8_t(k + 1);
            }
        cross_kind[op] = mode == "absx" ? 1 : (mode == "absy" || mode == "indy") ? 2 : 0;
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
