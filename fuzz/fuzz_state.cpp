// Save-state reader: the input is a slot image loaded into a running console.
//
// Input: byte 0 picks the cartridge (mapper 0, 1, 2, 3, 4 or 40, modulo 6);
// byte 1 holds the frames run before the load (bits 0-1) and after it (bits
// 2-3, plus one); bytes 2-3 are the two pads; the rest is the slot image. It
// is checked as the unit checks a slot file (exactly 82,189 bytes, a program
// counter of 0 to 65,535); what passes is loaded and run.
#include <random>

#include "carts.h"
#include "harness.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quiet_stdout();
    return 0;
}

namespace {
constexpr size_t PREFIX = 4;

void check_round_trip(fuzz::Console& nes) {
    // Saving, loading that save and saving again must give the same image: a
    // load keeps everything that the format holds. CNROM is the exception by
    // design: its load lays the selected CHR bank over the pattern area, and
    // the program may have written that area through PPUDATA.
    static uint8_t first[NES::CPU::STATE_SIZE], second[NES::CPU::STATE_SIZE];
    nes.cpu->save_state_bytes(first);
    nes.cpu->load_state_bytes(first);
    nes.cpu->save_state_bytes(second);
    const size_t pattern = 65549, pattern_end = pattern + 0x2000;
    const bool relaid = nes.rom->mapper->number == 3 && nes.rom->chr_size > 0;
    for (size_t i = 0; i < sizeof first; i++) {
        if (relaid && i >= pattern && i < pattern_end) continue;
        if (first[i] != second[i]) {
            std::fprintf(stderr, "state round trip differs at byte %zu: %02x then %02x\n", i, first[i], second[i]);
            std::abort();
        }
    }
}
}  // namespace

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t max_size);

// A slot image is 82 KB, and byte-wise mutations spread evenly over it would
// rarely reach the few fields that steer the most code: the registers, the
// mapper block, the register cells of the CPU image, zero page and stack.
// Most mutations are kept inside one of those, at its fixed offset.
extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t max_size, unsigned seed) {
    constexpr size_t TOTAL = PREFIX + size_t(NES::CPU::STATE_SIZE);
    if (size != TOTAL || max_size < TOTAL) return LLVMFuzzerMutate(data, size, max_size);
    constexpr size_t MEM = PREFIX + 13, VRAM = MEM + 65536, BLOCK = VRAM + 16384;
    static constexpr struct {
        size_t offset, length;
        unsigned weight;
    } FIELDS[] = {
        {0, PREFIX + 13, 2},         // the prefix, P, A, X, Y, SP and PC
        {BLOCK, 16, 4},              // the used part of the mapper block
        {MEM, 0x200, 1},             // zero page and stack
        {MEM + 0x2000, 8, 1},        // the PPU register cells
        {MEM + 0x4000, 0x18, 1},     // the APU and I/O register cells
        {VRAM + 0x3F00, 0x20, 1},    // palette
        {VRAM + 0x2000, 0x1000, 1},  // nametables
        {0, TOTAL, 5},               // anywhere
    };
    unsigned total = 0;
    for (const auto& f : FIELDS) total += f.weight;
    std::minstd_rand rng(seed);
    unsigned pick = unsigned(rng() % total);
    for (const auto& f : FIELDS) {
        if (pick >= f.weight) {
            pick -= f.weight;
            continue;
        }
        // The size stays: a slot image of any other size is only refused.
        LLVMFuzzerMutate(data + f.offset, f.length, f.length);
        break;
    }
    return size;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size != PREFIX + size_t(NES::CPU::STATE_SIZE)) return -1;  // not a slot image: refused, keep out of the corpus
    const uint8_t* state = data + PREFIX;
    int64_t pc;
    std::memcpy(&pc, state + 5, 8);
    if (pc < 0 || pc > 0xFFFF) return -1;

    const fuzz::Cart& cart = fuzz::CARTS[data[0] % fuzz::CART_COUNT];
    std::unique_ptr<NES::ROM> rom = fuzz::load(cart.data, cart.size);
    if (!rom) std::abort();  // our own cartridges always load
    fuzz::Console nes(std::move(rom));
    nes.set_pad(0, data[2]);
    nes.set_pad(1, data[3]);
    for (int f = data[1] & 3; f > 0; f--)
        if (!nes.frame()) break;

    nes.sync();
    nes.cpu->load_state_bytes(state);
    for (int f = ((data[1] >> 2) & 3) + 1; f > 0; f--)
        if (!nes.frame()) break;
    nes.sync();
    check_round_trip(nes);
    return 0;
}
