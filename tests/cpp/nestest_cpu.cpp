// Runs the documented-opcode part of the nestest cartridge in its automation
// mode (start at $C000) and compares the registers before every instruction
// with the reference log. Cycle columns are not compared: this core counts
// page crossings and branches its own way.
#include <cstdlib>
#include <fstream>

#include "console.h"

namespace {

struct LogLine {
    unsigned pc, a, x, y, p, sp;
};

bool field(const std::string& line, const char* key, unsigned& out) {
    const size_t at = line.find(key);
    if (at == std::string::npos) return false;
    out = unsigned(std::strtoul(line.c_str() + at + std::strlen(key), nullptr, 16));
    return true;
}

bool parse(const std::string& line, LogLine& l) {
    if (line.size() < 4) return false;
    l.pc = unsigned(std::strtoul(line.substr(0, 4).c_str(), nullptr, 16));
    return field(line, " A:", l.a) && field(line, " X:", l.x) && field(line, " Y:", l.y) &&
           field(line, " P:", l.p) && field(line, " SP:", l.sp);
}

}  // namespace

int main(int argc, char** argv) {
    std::string rom_path;
    if (argc > 1) {
        rom_path = argv[1];
    } else if (const char* dir = std::getenv("KESTRIX_ROMS")) {
        rom_path = std::string(dir) + "/nestest/nestest.nes";
    } else {
        std::puts("usage: nestest_cpu path/to/nestest.nes (or set KESTRIX_ROMS)");
        return 2;
    }
    const std::string log_path = rom_path.substr(0, rom_path.size() - 4) + ".log";
    std::ifstream log(log_path);
    if (FILE* f = std::fopen(rom_path.c_str(), "rb")) {
        std::fclose(f);
    } else {
        std::printf("SKIP: %s not available\n", rom_path.c_str());
        return 77;
    }
    if (!log) {
        std::printf("SKIP: %s not available\n", log_path.c_str());
        return 77;
    }

    Console nes(std::make_unique<NES::ROM>(rom_path.c_str()), false);
    NES::CPU& cpu = *nes.cpu;
    cpu.PC = 0xC000;
    cpu.P = 0x24;
    cpu.SP = 0xFD;

    // The documented opcodes end where the log reaches its first undocumented one.
    constexpr unsigned FIRST_UNDOCUMENTED = 0xC6BD;
    std::string text;
    int lineno = 0;
    bool reached = false;
    while (std::getline(log, text)) {
        lineno++;
        LogLine want;
        if (!parse(text, want)) {
            std::fprintf(stderr, "nestest.log line %d: cannot parse: %s\n", lineno, text.c_str());
            return 1;
        }
        const unsigned p_mask = 0xCF;  // bits 4 and 5 do not exist in the processor
        if (cpu.PC != want.pc || cpu.A != want.a || cpu.X != want.x || cpu.Y != want.y || cpu.SP != want.sp ||
            (cpu.P & p_mask) != (want.p & p_mask)) {
            std::fprintf(stderr,
                         "nestest.log line %d differs\n  expected: %s\n  got:      %04X A:%02X X:%02X Y:%02X P:%02X SP:%02X\n",
                         lineno, text.c_str(), cpu.PC, cpu.A, cpu.X, cpu.Y, cpu.P, cpu.SP);
            return 1;
        }
        if (want.pc == FIRST_UNDOCUMENTED) {
            reached = true;
            break;
        }
        cpu.clock();
    }
    CHECK(reached, "the log never reached $%04X", FIRST_UNDOCUMENTED);
    CHECK(lineno > 5000, "only %d instructions compared", lineno);
    // The cartridge leaves the number of its first failed documented test at $02.
    CHECK(cpu.memory[0x02] == 0x00, "nestest reports failure code $%02X at $02", cpu.memory[0x02]);
    std::printf("%d instructions matched the log\n", lineno - 1);
    return g_failures ? 1 : 0;
}
