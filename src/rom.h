#pragma once
#include <cstdint>
#include <stdexcept>
#include <string>

#include "mapper.h"

namespace NES {

// A cartridge image that cannot be used (bad magic, truncated, impossible sizes).
struct RomFormatError : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

// A file that could not be opened or read; carries errno and the path.
struct FileError : std::runtime_error {
    int err;
    std::string path;
    FileError(int e, const std::string& p, const std::string& what)
        : std::runtime_error(what), err(e), path(p) {}
};

class NROM : public InertMapper {
public:
    NROM() : InertMapper(0) {
        touches_ppu = false;
        hooks_ram_write = hooks_register_write = false;
    }
};

class DEFAULT_MAPPER : public InertMapper {
public:
    explicit DEFAULT_MAPPER(int32_t n) : InertMapper(n) {
        touches_ppu = false;
        hooks_ram_write = hooks_register_write = false;
    }
};

// Creates the mapper class of an iNES mapper number; null when the number has none.
Mapper* make_mapper(int number);

class ROM {
public:
    const char* path = nullptr;
    bool battery = false;
    uint8_t* prg = nullptr;
    uint8_t* chr = nullptr;
    uint8_t* chr_ram = nullptr;
    int32_t mirroring = 0;
    bool loaded = false;
    bool nes2 = false;
    int32_t path_length = 0;
    uint8_t header[16] = {};
    uint8_t trainer[512] = {};
    int32_t prg_size = 0;
    int32_t chr_size = 0;
    Mapper* mapper = nullptr;
    bool quiet = false;

    ROM();                                   // the empty cartridge
    // An image held by the caller; a quiet ROM prints none of its lines
    // (see CPU::quiet).
    ROM(long size, const uint8_t* data, bool quiet = false);
    explicit ROM(const char* file);          // an image read from a file
    ~ROM();
    ROM(const ROM&) = delete;
    ROM& operator=(const ROM&) = delete;

    void load_file(const char* file);
    void load_arr(long size, const uint8_t* data);
    void reset_mapper();
    uint8_t* get_prg_bank(int index);
    uint8_t* get_chr_bank(int index);

private:
    std::string path_copy;
    void say(const char* line) const;
    void parse(const uint8_t* data, long size);
};

}  // namespace NES
