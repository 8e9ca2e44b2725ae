// The trace line that a CPU built with its debug switch prints before every
// instruction, and the two formatting operations behind it.
#include <unistd.h>

#include <vector>

#include "console.h"

namespace {

// Runs `f` with standard output redirected into a temporary file and returns
// what was written.
template <class F>
std::string capture(F&& f) {
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    FILE* tmp = std::tmpfile();
    dup2(fileno(tmp), STDOUT_FILENO);
    f();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    std::string out;
    std::rewind(tmp);
    for (int c; (c = std::fgetc(tmp)) != EOF;) out += char(c);
    std::fclose(tmp);
    return out;
}

std::string first_line(const std::string& s) { return s.substr(0, s.find('\n') + 1); }

// A 16 KiB NROM cartridge (so $C000-$FFFF mirror $8000-$BFFF) whose reset
// vector points at $C000, where `code` starts.
std::unique_ptr<NES::ROM> cartridge(const std::vector<uint8_t>& code) {
    std::vector<uint8_t> image(16 + 16384, 0);
    const uint8_t header[8] = {'N', 'E', 'S', 0x1A, 1, 0, 0, 0};
    std::memcpy(image.data(), header, sizeof header);
    std::memcpy(image.data() + 16, code.data(), code.size());
    image[16 + 0x3FFC] = 0x00;
    image[16 + 0x3FFD] = 0xC0;
    return std::make_unique<NES::ROM>(long(image.size()), image.data());
}

void expect_eq(const std::string& got, const std::string& want, const char* what) {
    CHECK(got == want, "%s\n  want: [%s]\n  got:  [%s]", what, want.c_str(), got.c_str());
}

void test_trace_lines() {
    const std::vector<uint8_t> code = {
        0xEA,              // $C000 NOP
        0xA9, 0x42,        // $C001 LDA #$42
        0xAD, 0x00, 0x08,  // $C003 LDA $0800 (mirror of $0000)
        0x20, 0x0A, 0xC0,  // $C006 JSR $C00A
        0x00,              // $C009
        0x04, 0x10,        // $C00A opcode without an instruction
    };
    Console nes(cartridge(code), true);
    NES::CPU& cpu = *nes.cpu;
    CHECK(cpu.PC == 0xC000, "reset vector gave $%04X", cpu.PC);
    cpu.memory[0x0000] = 0x5A;

    // Implied: operand 0000, operand address = the folded byte after the opcode.
    expect_eq(capture([&] { cpu.clock(); }),
              "Cycles: 2, 0xea: NOP, impl $0000->8001=a9, PC=$c000 - A=00 - X=00 - Y=00 - P=24 SP: ff []\n",
              "implied instruction, empty stack");
    expect_eq(capture([&] { cpu.clock(); }),
              "Cycles: 4, 0xa9: LDA, imm $0042->8002=42, PC=$c001 - A=00 - X=00 - Y=00 - P=24 SP: ff []\n",
              "immediate operand");
    expect_eq(capture([&] { cpu.clock(); }),
              "Cycles: 8, 0xad: LDA, abs $0800->0000=5a, PC=$c003 - A=42 - X=00 - Y=00 - P=24 SP: ff []\n",
              "absolute operand folded onto internal RAM");
    // The JSR's own 6 cycles are already counted when its line is printed.
    expect_eq(capture([&] { cpu.clock(); }),
              "Cycles: 14, 0x20: JSR, abs $c00a->800a=04, PC=$c006 - A=5a - X=00 - Y=00 - P=24 SP: ff []\n",
              "JSR");
    // JSR pushed $C0 then $08: the bottom of the stack is printed first.
    expect_eq(first_line(capture([&] { cpu.clock(); })), "0x04: --- SP: fd [c0,08]\n",
              "opcode without an instruction, two-byte stack");
}

void test_stack_part() {
    Console nes(cartridge({0xEA, 0xEA}), true);
    NES::CPU& cpu = *nes.cpu;
    cpu.memory[0x01FF] = 0x12;
    cpu.SP = 0xFE;
    const std::string out = capture([&] { cpu.clock(); });
    const size_t at = out.find(" SP: ");
    CHECK(at != std::string::npos, "no stack part in [%s]", out.c_str());
    if (at != std::string::npos) expect_eq(out.substr(at), " SP: fe [12]\n", "one-byte stack");
}

void test_format_operations() {
    Console nes(cartridge({0xEA, 0xA9, 0x42, 0x04, 0x10}), false);
    NES::CPU& cpu = *nes.cpu;
    char buf[256];

    // Without the debug switch nothing is printed.
    expect_eq(capture([&] { cpu.clock(); }), "", "trace with debug off");

    cpu.instr_len = 2;
    cpu.ins_str_mem(buf, sizeof buf, cpu.memory + 0xC003, cpu.memory + 0x0010);
    expect_eq(buf, "0x04: ---", "ins_str_mem of $04");

    // Cut like snprintf: at most size bytes including the terminator.
    cpu.instr_len = 1;
    cpu.cycles = 0;
    cpu.ins_str_mem(buf, 8, cpu.memory + 0xC000, cpu.memory + 0xC001);
    expect_eq(buf, "Cycles:", "ins_str_mem into an 8-byte buffer");

    cpu.A = 200;
    cpu.X = 1;
    cpu.Y = 2;
    cpu.PC = 0xC001;
    cpu.ins_str(buf, sizeof buf, 0xA9);
    expect_eq(buf, "0xa9: LDA, imm, PC=$c001 - A=200 - X=1 - Y=2", "ins_str of LDA #");
    cpu.ins_str(buf, sizeof buf, 0x04);
    expect_eq(buf, "0x04: ---", "ins_str of an opcode without mnemonic");
    // $12 has a mnemonic but no mode text.
    cpu.ins_str(buf, sizeof buf, 0x12);
    expect_eq(buf, "0x12: ---", "ins_str of an opcode without mode text");
}

}  // namespace

int main() {
    test_trace_lines();
    test_stack_part();
    test_format_operations();
    if (g_failures) std::fprintf(stderr, "%d check(s) failed\n", g_failures);
    return g_failures ? 1 : 0;
}
