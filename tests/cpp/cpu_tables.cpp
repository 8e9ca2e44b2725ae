// The described step takes each opcode's addressing mode and instruction
// from mode_table and op_table, and decides the page-crossing cycle by the
// mode it found there.
#include "console.h"

int main() {
    Console nes(std::make_unique<NES::ROM>(), false);
    NES::CPU& cpu = *nes.cpu;

    // NOP given INX's entry runs INX.
    cpu.memory[0x0200] = 0xEA;
    cpu.PC = 0x0200;
    cpu.X = 5;
    cpu.op_table[0xEA] = cpu.op_table[0xE8];
    cpu.clock();
    CHECK(cpu.X == 6 && cpu.PC == 0x0201, "X %02x PC %04x", cpu.X, cpu.PC);

    // LDA $10F0,X given the mode of LDA $nnnn,Y indexes by Y, and crosses
    // a page by Y ($F0 + $20), not by X (0): 5 cycles.
    const uint8_t code[] = {0xBD, 0xF0, 0x10};
    std::memcpy(cpu.memory + 0x0300, code, sizeof code);
    cpu.memory[0x0110] = 0x77;  // $1110 folds onto $0110
    cpu.PC = 0x0300;
    cpu.X = 0;
    cpu.Y = 0x20;
    cpu.mode_table[0xBD] = cpu.mode_table[0xB9];
    const int64_t before = cpu.cycles;
    cpu.clock();
    CHECK(cpu.A == 0x77 && cpu.PC == 0x0303, "A %02x PC %04x", cpu.A, cpu.PC);
    CHECK(cpu.cycles - before == 5, "%lld cycles", (long long)(cpu.cycles - before));

    std::printf("%s\n", g_failures ? "FAILED" : "ok");
    return g_failures ? 1 : 0;
}
