#include "engine.h"

#include <array>
#include <cstring>

namespace kestrix_gym {

namespace {

// Eight tables: the CRC of a byte followed by 0 to 7 zero bytes, so the loop
// below takes eight bytes a step.
constexpr std::array<std::array<uint32_t, 256>, 8> make_crc_tables() {
    std::array<std::array<uint32_t, 256>, 8> t{};
    for (uint32_t b = 0; b < 256; b++) {
        uint32_t c = b;
        for (int k = 0; k < 8; k++) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[0][b] = c;
    }
    for (int j = 1; j < 8; j++)
        for (uint32_t b = 0; b < 256; b++) t[j][b] = (t[j - 1][b] >> 8) ^ t[0][t[j - 1][b] & 0xFF];
    return t;
}
constexpr auto CRC = make_crc_tables();

template <class T>
void put(std::vector<uint8_t>& out, size_t at, T value) {
    std::memcpy(out.data() + at, &value, sizeof value);
}
template <class T>
T get(const uint8_t* in) {
    T value;
    std::memcpy(&value, in, sizeof value);
    return value;
}

// The most a lazily run unit may be behind the CPU: the PPU stops at its next
// event, at the latest the end of a frame; the APU at the step publishing its
// next audio block.
constexpr uint64_t PPU_LAG_MAX = 2 * 341 * 262;
constexpr int64_t APU_LAG_MAX = int64_t(1) << 24;

}  // namespace

uint32_t crc32(const uint8_t* p, size_t n, uint32_t crc) {
    crc = ~crc;
    for (; n >= 8; n -= 8, p += 8) {
        const uint32_t lo = get<uint32_t>(p) ^ crc, hi = get<uint32_t>(p + 4);
        crc = CRC[7][lo & 0xFF] ^ CRC[6][(lo >> 8) & 0xFF] ^ CRC[5][(lo >> 16) & 0xFF] ^ CRC[4][lo >> 24] ^
              CRC[3][hi & 0xFF] ^ CRC[2][(hi >> 8) & 0xFF] ^ CRC[1][(hi >> 16) & 0xFF] ^ CRC[0][hi >> 24];
    }
    while (n--) crc = CRC[0][(crc ^ *p++) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

uint64_t image_hash(const uint8_t* data, size_t n) {
    uint64_t h = 0xCBF29CE484222325ull;
    for (size_t k = 0; k < n; k++) h = (h ^ data[k]) * 0x100000001B3ull;
    return h;
}

Console::Console(const uint8_t* image, size_t size)
    : image_(image, image + size), hash_(image_hash(image, size)), rom(long(size), image, true) {
    // Wired as the scripting console wires its units (NESUnit's construction),
    // at the default clock and sample rate.
    cpu.quiet = true;
    NES::link_apu(cpu, apu, 1789773);
    NES::link_pads(cpu, &pads[0], &pads[1]);
    NES::link_ppu(cpu, ppu);
    NES::attach(cpu, ppu, rom, false);
    NES::power_on(cpu, NES::StepMode::normal);
    core = NES::Console(&cpu, &ppu, &apu, NES::StepMode::normal);
}

void Console::set_buttons(int port, uint8_t buttons) {
    bool flags[8];
    for (int k = 0; k < 8; k++) flags[k] = (buttons >> k) & 1;
    pads[port & 1].update_inputs(flags);
}

uint8_t Console::buttons(int port) const {
    uint8_t mask = 0;
    for (int k = 0; k < 8; k++) mask = uint8_t(mask | pads[port & 1].buttons[k] << k);
    return mask;
}

bool Console::run_frame(int64_t budget) {
    // NESUnit::runFrame() with no per-frame callback: the APU still catches
    // up at the frame's end, where the unit's callback step does.
    constexpr int64_t MAX = std::numeric_limits<int64_t>::max();
    return core.run_frame([this] { core.sync_apu(); }, budget < MAX - core.work() ? core.work() + budget : MAX);
}

bool Console::fields(NES::Fields& f, std::array<size_t, 6>* parts) {
    auto part = [&](int k) {
        if (parts) (*parts)[k] = f.used();
    };
    part(0);
    for (NES::Controller& pad : pads) f(pad.buttons);
    part(1);
    const int64_t cycles = cpu.fields(f);
    part(2);
    const uint64_t dots = ppu.fields(f);
    part(3);
    const int64_t steps = apu.fields(f);
    part(4);
    rom.mapper->fields(f);
    part(5);
    // Lazily run units lag behind the CPU, never ahead and never far.
    const int64_t apu_target = (cycles + 1) / 2;
    return f.ok() && dots <= uint64_t(3 * cycles) && uint64_t(3 * cycles) - dots <= PPU_LAG_MAX &&
           steps <= apu_target && apu_target - steps <= APU_LAG_MAX;
}

std::array<size_t, 6> Console::snapshot_parts() {
    NES::Fields f(NES::Fields::Mode::save, nullptr, 0);
    std::array<size_t, 6> at{};
    fields(f, &at);
    for (size_t& a : at) a += HEADER;
    return at;
}

std::vector<uint8_t> Console::snapshot() {
    NES::Fields count(NES::Fields::Mode::save, nullptr, 0);
    fields(count);
    const size_t total = HEADER + count.used() + 4;
    std::vector<uint8_t> out(total);
    std::memcpy(out.data(), MAGIC, 8);
    put(out, 8, VERSION);
    put(out, 12, hash_);
    put(out, 20, uint64_t(total));
    NES::Fields save(NES::Fields::Mode::save, out.data() + HEADER, count.used());
    fields(save);
    put(out, total - 4, crc32(out.data(), total - 4));
    return out;
}

void Console::restore(const uint8_t* data, size_t size) {
    if (size < HEADER + 4 || std::memcmp(data, MAGIC, 8) != 0)
        throw SnapshotError("not a kestrix snapshot");
    if (get<uint32_t>(data + 8) != VERSION)
        throw SnapshotError("snapshot of format version " + std::to_string(get<uint32_t>(data + 8)) +
                            "; this engine reads version " + std::to_string(VERSION));
    if (get<uint64_t>(data + 12) != hash_) throw SnapshotError("the snapshot was taken on another cartridge");
    if (get<uint64_t>(data + 20) != size)
        throw SnapshotError("the snapshot is " + std::to_string(size) + " bytes long but its header says " +
                            std::to_string(get<uint64_t>(data + 20)) + " (truncated or extended)");
    if (crc32(data, size - 4) != get<uint32_t>(data + size - 4))
        throw SnapshotError("the snapshot is damaged (its checksum does not match)");
    const size_t body = size - HEADER - 4;
    // Checked whole before anything changes, so a refused snapshot leaves the console as it was.
    NES::Fields check(NES::Fields::Mode::check, const_cast<uint8_t*>(data) + HEADER, body);
    if (!fields(check) || check.used() != body)
        throw SnapshotError("the snapshot holds a state this console cannot be in");
    NES::Fields load(NES::Fields::Mode::load, const_cast<uint8_t*>(data) + HEADER, body);
    fields(load);
}

}  // namespace kestrix_gym
