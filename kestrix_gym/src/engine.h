#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

#include "apu.h"
#include "console.h"
#include "controller.h"
#include "cpu.h"
#include "ppu.h"
#include "rom.h"

namespace kestrix_gym {

// A snapshot that does not belong to this console or is damaged.
struct SnapshotError : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

// CRC-32 (the zlib polynomial) of `n` bytes, continuing from `crc`.
uint32_t crc32(const uint8_t* data, size_t n, uint32_t crc = 0);
// FNV-1a, 64 bits: names a cartridge image in its snapshots.
uint64_t image_hash(const uint8_t* data, size_t n);

// One console of the environments' engine: the core units built from a
// cartridge image as a scripting console builds them, but quiet (see
// NES::CPU::quiet), with no save folder and no file (cartridge RAM starts as
// the attach leaves it), and with exact snapshots.
class Console {
public:
    // Throws NES::RomFormatError for an image that is not a cartridge.
    Console(const uint8_t* image, size_t size);
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    // Port 0 or 1; bit k of `buttons` is button k in the order A, B,
    // Select, Start, Up, Down, Left, Right.
    void set_buttons(int port, uint8_t buttons);
    uint8_t buttons(int port) const;
    // Runs until the PPU completes a frame, as NES.runFrame() does; false
    // when a `budget` of work (CPU cycles plus instructions, see
    // NES::Console::work) was done first (the frame is left unfinished).
    bool run_frame(int64_t budget = std::numeric_limits<int64_t>::max());

    // Snapshot layout: MAGIC, version (u32), cartridge hash (u64), total
    // length (u64), the units' fields, CRC-32 of all that (u32); little-endian.
    static constexpr char MAGIC[8] = {'K', 'X', 'S', 'N', 'A', 'P', '\r', '\n'};
    static constexpr uint32_t VERSION = 1;
    static constexpr size_t HEADER = 8 + 4 + 8 + 8;
    std::vector<uint8_t> snapshot();
    // Puts a snapshot back; throws SnapshotError, the console unchanged, for
    // one of another cartridge or version, a truncated or damaged one.
    void restore(const uint8_t* data, size_t size);
    // Where the pads', CPU's, PPU's, APU's and mapper's parts begin in a
    // snapshot of this console, and where its checksum begins.
    std::array<size_t, 6> snapshot_parts();

    const std::vector<uint8_t>& image() const { return image_; }
    uint64_t cartridge_hash() const { return hash_; }
    uint8_t* cpu_memory() { return cpu.memory; }
    uint8_t* video_memory() { return ppu.vram; }
    uint8_t* oam() { return ppu.oam; }
    uint8_t* picture() { return &ppu.front_image[0][0][0]; }
    uint64_t frame_count() const { return ppu.frame_count; }
    int64_t cycle_count() const { return cpu.cycles; }
    // The newest completed audio block set, as NES.getAudio() hands it out.
    bool take_audio(int16_t (*dst)[NES::BUFFER_LEN], int count) { return apu.take_audio(dst, count); }

private:
    std::vector<uint8_t> image_;
    uint64_t hash_;
    NES::ROM rom;
    NES::CPU cpu;
    NES::PPU ppu;
    NES::APU apu;
    NES::Controller pads[2];
    NES::Console core;

    // The units' state in snapshot order; false when a check finds a field
    // out of range or the units' counters disagree.
    // `parts` receives where each unit's part begins (see snapshot_parts()).
    bool fields(NES::Fields& f, std::array<size_t, 6>* parts = nullptr);
};

}  // namespace kestrix_gym
