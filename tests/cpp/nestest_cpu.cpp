// Runs the documented-opcode part of the nestest cartridge in its automation
// mode (start at $C000) and compares the registers before every instruction
// with the reference log. Cycle columns are not compared: this core counts
// page crossings and branches its own way.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

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

namespace fs = std::filesystem;

// The file for `rel` under the cartridge folder `roms`, by the rules of
// tests/cartridges.py: the exact path; else the rest of `rel` below a folder
// whose name starts with rel's first folder (the published collection adds
// version suffixes); else the one file of that name anywhere under `roms`.
// Empty, with `why` saying so, when there is none or several.
fs::path find_cartridge(const fs::path& roms, const std::string& rel, std::string& why) {
    std::vector<fs::path> found;
    if (fs::is_directory(roms)) {
        if (fs::is_regular_file(roms / rel)) return roms / rel;
        const std::string folder = rel.substr(0, rel.find('/'));
        const std::string below = rel.find('/') == std::string::npos ? "" : rel.substr(rel.find('/') + 1);
        for (const auto& entry : fs::directory_iterator(roms))
            if (entry.is_directory() && entry.path().filename().string().starts_with(folder) &&
                fs::is_regular_file(entry.path() / below))
                found.push_back(entry.path() / below);
        if (found.empty()) {
            const fs::path name = fs::path(rel).filename();
            for (const auto& entry : fs::recursive_directory_iterator(roms, fs::directory_options::skip_permission_denied))
                if (entry.path().filename() == name && entry.is_regular_file()) found.push_back(entry.path());
        }
        if (found.size() == 1) return found[0];
    }
    if (found.empty()) {
        why = "test cartridge " + rel + " not available";
    } else {
        std::vector<std::string> names;
        for (const auto& p : found) names.push_back(p.lexically_relative(roms).generic_string());
        std::sort(names.begin(), names.end());
        why = "test cartridge " + rel + ": several candidates:";
        for (size_t i = 0; i < names.size(); i++) why += (i ? ", " : " ") + names[i];
    }
    return {};
}

}  // namespace

int main(int argc, char** argv) {
    // A cartridge file has its log beside it; in a cartridge folder both are looked up.
    std::string where;
    if (argc > 1) {
        where = argv[1];
    } else if (const char* dir = std::getenv("KESTRIX_ROMS")) {
        where = dir;
    } else {
        std::puts("usage: nestest_cpu path/to/nestest.nes | cartridge folder (or set KESTRIX_ROMS)");
        return 2;
    }
    std::string rom_path, log_path, why;
    if (fs::is_regular_file(where)) {
        rom_path = where;
        log_path = fs::path(where).replace_extension(".log").string();
    } else {
        rom_path = find_cartridge(where, "nestest/nestest.nes", why).string();
        if (why.empty()) log_path = find_cartridge(where, "nestest/nestest.log", why).string();
        if (!why.empty()) {
            std::printf("SKIP: %s (in %s)\n", why.c_str(), where.c_str());
            return 77;
        }
    }
    std::ifstream log(log_path);
    if (!log) {
        std::printf("SKIP: test cartridge log %s not available\n", log_path.c_str());
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
