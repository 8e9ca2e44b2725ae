#include "rom.h"

#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace NES {

Mapper* make_mapper(int number) {
    switch (number) {
        case 0: return new NROM();
        case 1: return new MMC1();
        case 2: return new UxROM();
        case 3: return new CNROM();
        case 4: return new MMC3();
        case 40: return new NTDEC2722();
        default: return nullptr;
    }
}

namespace {
constexpr uint32_t MAGIC = 0x1A53454E;  // "NES" 0x1A, little-endian

uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// NES 2.0 exponent-multiplier size; -1 when it does not fit a 32-bit int.
long long exp_size(uint8_t b) {
    double v = std::pow(2.0, b >> 2) * ((b & 3) * 2 + 1);
    if (v > 2147483647.0) return -1;
    return (long long)v;
}
}  // namespace

ROM::ROM() {
    std::vector<uint8_t> image(16 + 16384, 0);
    std::memcpy(image.data(), "NES\x1a", 4);
    image[4] = 1;
    load_arr((long)image.size(), image.data());
}

ROM::ROM(long size, const uint8_t* data, bool quiet) : quiet(quiet) { load_arr(size, data); }

void ROM::say(const char* line) const {
    if (quiet) return;
    std::puts(line);
    std::fflush(stdout);  // in order with the host's own output
}

ROM::ROM(const char* file) { load_file(file); }

ROM::~ROM() {
    std::free(prg);
    std::free(chr);
    delete mapper;
}

void ROM::load_file(const char* file) {
    path_copy = file;
    path = path_copy.c_str();
    path_length = (int32_t)path_copy.size();
    FILE* f = std::fopen(file, "rb");
    if (!f) {
        int e = errno;
        throw FileError(e, path_copy, "cannot open cartridge '" + path_copy + "': " + std::strerror(e));
    }
    // A folder opens fine for reading, but its seek size is meaningless.
    struct stat st;
    if (fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode)) {
        std::fclose(f);
        throw FileError(EISDIR, path_copy, "cannot read cartridge '" + path_copy + "': " + std::strerror(EISDIR));
    }
    std::vector<uint8_t> buf;
    bool ok = std::fseek(f, 0, SEEK_END) == 0;
    long size = ok ? std::ftell(f) : -1;
    if (size >= 0 && std::fseek(f, 0, SEEK_SET) == 0) {
        buf.resize((size_t)size);
        ok = std::fread(buf.data(), 1, buf.size(), f) == buf.size();
    } else {
        ok = false;
    }
    int e = errno;
    std::fclose(f);
    if (!ok) {
        if (e == 0) e = EIO;
        throw FileError(e, path_copy, "cannot read cartridge '" + path_copy + "': " + std::strerror(e));
    }
    load_arr((long)buf.size(), buf.data());
}

void ROM::load_arr(long size, const uint8_t* data) {
    if (size < 16) throw RomFormatError("cartridge image is " + std::to_string(size) + " bytes long, shorter than the 16-byte header");
    std::memcpy(header, data, 16);
    if (le32(header) != MAGIC) throw RomFormatError("cartridge image does not start with the iNES magic \"NES\\x1a\"");
    parse(data, size);
}

void ROM::parse(const uint8_t* data, long size) {
    // Everything is checked before anything is printed or allocated, so a
    // rejected image leaves this object as it was.
    const uint8_t f6 = header[6], f7 = header[7];
    const bool is_nes2 = (f7 & 0x0C) == 0x08;
    long long prg_bytes, chr_bytes;
    if (is_nes2) {
        const uint8_t b9 = header[9];
        prg_bytes = (b9 & 0x0F) == 0x0F ? exp_size(header[4]) : ((b9 & 0x0F) * 256LL + header[4]) * 16384;
        chr_bytes = (b9 >> 4) == 0x0F ? exp_size(header[5]) : ((b9 >> 4) * 256LL + header[5]) * 8192;
        if (prg_bytes < 0 || prg_bytes > 0x7FFFFFFF) throw RomFormatError("NES 2.0 PRG ROM size does not fit a 32-bit integer");
        if (chr_bytes < 0 || chr_bytes > 0x7FFFFFFF) throw RomFormatError("NES 2.0 CHR ROM size does not fit a 32-bit integer");
    } else {
        prg_bytes = header[4] * 16384LL;
        chr_bytes = header[5] * 8192LL;
    }
    if (prg_bytes == 0) throw RomFormatError("cartridge has no PRG ROM (size 0)");
    if (prg_bytes < 1024) throw RomFormatError("PRG ROM of " + std::to_string(prg_bytes) + " bytes is smaller than one 1 KiB bank");
    if (chr_bytes > 0 && chr_bytes < 1024) throw RomFormatError("CHR ROM of " + std::to_string(chr_bytes) + " bytes is smaller than one 1 KiB bank");
    const long long start = (f6 & 4) ? 528 : 16;
    const long long need = start + prg_bytes + chr_bytes;
    if (need > size)
        throw RomFormatError("cartridge image is " + std::to_string(size) + " bytes long but its header announces " +
                             std::to_string(need) + " (header, trainer, PRG and CHR)");

    if (mapper) {  // parsing again into a used ROM: release the old image first
        std::free(prg);
        std::free(chr);
        delete mapper;
        prg = chr = nullptr;
        mapper = nullptr;
    }
    loaded = true;
    battery = (f6 & 2) != 0;
    say(battery ? "Battery" : "No Battery");
    nes2 = is_nes2;
    const int number = (f6 >> 4) | (f7 & 0xF0);
    mapper = make_mapper(number);
    if (!mapper) {
        mapper = new DEFAULT_MAPPER(number);
        say("UNRECOGNIZED MAPPER!");
    }
    mirroring = (f6 & 8) ? 2 : (f6 & 1);
    if (!nes2) {
        say("iNES");
        say(std::to_string(header[5]).c_str());
    }
    prg_size = (int32_t)prg_bytes;
    chr_size = (int32_t)chr_bytes;
    prg = static_cast<uint8_t*>(std::malloc(prg_size));
    chr = static_cast<uint8_t*>(std::malloc(chr_size > 0 ? chr_size : 1));
    if (!prg || !chr) throw std::bad_alloc();
    if (f6 & 4) std::memcpy(trainer, data + 16, 512);
    std::memcpy(prg, data + start, prg_size);
    if (chr_size) std::memcpy(chr, data + start + prg_size, chr_size);
}

void ROM::reset_mapper() {
    const int number = mapper ? mapper->number : 0;
    delete mapper;
    mapper = make_mapper(number);
    if (!mapper) {
        mapper = new DEFAULT_MAPPER(number);
        say("UNRECOGNIZED MAPPER!");
    }
}

namespace {
inline int wrap(int index, int count) {
    int r = index % count;
    return r < 0 ? r + count : r;
}
}  // namespace

uint8_t* ROM::get_prg_bank(int index) { return prg + (size_t)wrap(index, prg_size / 1024) * 1024; }

uint8_t* ROM::get_chr_bank(int index) {
    if (chr_size == 0) return chr_ram + (size_t)wrap(index, 8) * 1024;
    return chr + (size_t)wrap(index, chr_size / 1024) * 1024;
}

}  // namespace NES
