#include "cpu.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "apu.h"
#include "check.h"
#include "controller.h"
#include "glob_const.h"
#include "ppu.h"
#include "rom.h"

namespace NES {

CPU::CPU(bool dbg) {
    std::memset(memory, 0, sizeof memory);
    for (int i = 0; i < 256; i++) {
        mode_table[i] = nullptr;
        op_table[i] = nullptr;
        mnemonics[i] = nullptr;
        mode_names[i] = nullptr;
        base_cycles[i] = 0;
        cross_cycles[i] = 0;
    }
    debug = dbg;
    define_opcodes();
    define_timings();
}

void CPU::reset() {
    cycles = 0;
    ppu_deadline = 0;
    if (ppu) ppu->dot_count = 0;
    if (apu) {
        if (lazy_apu) apu->settle();  // the steps so far, before the count starts again
        apu->cycles = 0;
        apu->samples = 0;
        apu->sync_by = -1;
    }
    uint8_t* p = memory + reset_vector;
    map_memory(p);
    const uint16_t a = uint16_t(p - memory);
    instr_len = 3;
    PC = rd16(a);
}

int CPU::emulated_clock_speed(long long elapsed_ns) const {
    if (elapsed_ns == 0 || cycles == 0) return 0;
    return int(double(cycles) * 1e9 / double(elapsed_ns));
}

// The lagging PPU brought to the start of the current instruction, before an
// access that could see or change its state.
// Relies on: that point is not past the PPU's next event (the unit catches
// up whenever a step reaches one, see CPU::clock_batch), so the run needs
// none of the unit's work at an event (a frame, the NMI line). Checked below;
// held equal to the PPU kept current by tests/cpp/plain_compare.cpp and
// benchmarks/same_behaviour.py.
void CPU::sync_ppu() {
    const uint64_t target = uint64_t(start_cycles) * 3;
    if (lazy_ppu && ppu->dot_count < target) {
        KX_ASSERT(target <= ppu->next_event(), "a catch-up inside an instruction passes a PPU event");
        ppu->run(target);
    }
}

// The lagging APU brought to where the unit leaves it after the previous
// instruction, before an access to its registers.
// Relies on: APU::run catches up any stretch exactly as cycle() one by one
// (its quiet stretches are cut at what a register write could change,
// hence `settle`); run() leaves `sync_by` right for every access but a
// $4015 write (see write_register). Held equal to the APU run cycle by cycle
// by tests/cpp/plain_compare.cpp and benchmarks/same_behaviour.py.
void CPU::sync_apu(bool settle) {
    if (!lazy_apu) return;
    apu->run((start_cycles + 1) / 2);
    if (settle) apu->settle();
}

void CPU::unknown_opcode(uint8_t op) {
    // Runs as a no-operation of the table's length and cycles; reported once.
    if (unknown_reported) return;
    unknown_reported = true;
    if (quiet) return;
    std::printf("Opcode $%02X at $%04X has no instruction; executed as a no-operation.\n", op, PC);
    std::fflush(stdout);
}

void CPU::note_interrupt(uint64_t kind) {
    interrupt_digest = (interrupt_digest ^ (uint64_t(cycles) << 1 | kind)) * 0x100000001B3ull;
}

void CPU::start_nmi() {
    note_interrupt(0);
    stack_push(uint8_t(PC >> 8));
    stack_push(uint8_t(PC));
    stack_push(P);
    set_flag('I', true);
    PC = rd16(nmi_vector);
}

void CPU::start_irq() {
    if (get_flag('I')) return;
    irq_pending = 0;
    note_interrupt(1);
    stack_push(uint8_t(PC >> 8));
    stack_push(uint8_t(PC));
    stack_push(P);
    set_flag('I', true);
    PC = rd16(irq_vector);
}

// ---- Bus ----

void CPU::map_memory(uint8_t*& p) const {
    if (in_space(p)) p = const_cast<uint8_t*>(memory) + fold(uint16_t(p - memory));
}

void CPU::call_map_write(uint8_t* cell, uint8_t* value) {
    void* devices[3] = {this, ppu, apu};
    rom->mapper->map_write(devices, cell, value);
    // The write may bring the mapper's next act closer: the deadline is taken
    // again from where the PPU stands, as the unit's catch-up would after a
    // run (most writes reach PPU or APU registers and change nothing there).
    if (rom->mapper->hooks_clock) {
        const uint64_t next = ppu->next_event();
        if (next < ppu_deadline) ppu_deadline = next;
    }
}


uint8_t CPU::read_register_cell(uint16_t a, bool notify) {
    // Fast: a PPUSTATUS read (a polling loop) leaves the lagging PPU behind
    // when catching it up could not change the status bits nor what the
    // read does to the PPU (PPU::status_settled, outside vertical blank and
    // the pre-render line; its memo is keyed on the registers and OAM writes
    // it looked at, so a change there makes it look again). Held equal to a
    // PPU kept current by tests/cpp/status_reads.cpp and plain_compare.cpp.
    if ((a & 0xFFF8) == 0x2000 && !(a == 0x2002 && lazy_ppu && ppu->status_settled(uint64_t(start_cycles) * 3)))
        sync_ppu();
    else if (a == 0x4015)
        sync_apu(false);
    const uint8_t c = read_register(a, memory[a]);
    if (notify) call_map_read(memory + a);
    return c;
}

uint8_t CPU::read_register(uint16_t a, uint8_t c) {
    switch (a) {
        case 0x2002:
            memory[0x2002] = c & 0x7F;
            ppu->w = false;
            if (ppu->scanline == 241 && (ppu->dot == 1 || ppu->dot == 2)) {
                ppu->vblank_suppress = true;
                ppu->nmi_line = false;
                ppu->nmi_suppress = true;
                return ppu->dot == 1 ? (c & 0x7F) : (c | 0x80);
            }
            if (ppu->scanline == 261 && ppu->dot >= 2) return c & 0x7F;
            ppu->nmi_line = false;
            return c;
        case 0x2004:
            return ppu->oam[ppu->oam_addr];
        case 0x2007: {
            const uint16_t pa = ppu->v & 0x3FFF;
            uint8_t r;
            if (pa >= 0x3F00) {
                r = ppu->read(pa);
            } else {
                r = ppu->read_buffer;
                ppu->read_buffer = ppu->read(pa);
            }
            ppu->v = uint16_t(ppu->v + ((memory[0x2000] & 4) ? 32 : 1));
            return r;
        }
        case 0x4015: {
            const uint8_t r = apu->length[0] != 0 ? 1 : 0;
            apu->frame_irq = false;
            return r;
        }
        case 0x4016:
        case 0x4017: {
            uint8_t& shift = controller_shift[a - 0x4016];
            const uint8_t r = (shift >> 7) | 0x40;
            if (!strobe) shift = uint8_t(shift << 1 | 1);
            return r;
        }
        default:
            return c;
    }
}

void CPU::write_general(uint8_t* p, uint8_t value) {
    if (!in_space(p)) {  // register A; no mapper sees it
        *p = value;
        return;
    }
    const uint16_t a = fold(uint16_t(p - memory));
    uint8_t* cell = memory + a;
    // Fast, the unseen writes: PPUCTRL and a first PPUSCROLL write change only
    // what the PPU reads at certain dots (the scroll latches, PPUCTRL), a
    // second PPUSCROLL or first PPUADDR write only t: without such a dot
    // between the lagging PPU and the write (PPU::latches_unread, t_unread,
    // asked afresh at each write) it needs no catch-up for it. Nor does a
    // PPUMASK write that changes only the greyscale and emphasis bits, which
    // the PPU never reads. A mapper write catches the PPU up only when it may
    // change video memory or mirroring (Mapper::write_touches_ppu). Held
    // equal to a PPU kept current by tests/cpp/status_reads.cpp,
    // serial_writes.cpp and plain_compare.cpp.
    if ((a & 0xFFF8) == 0x2000 || a == 0x4014 ||
        (a >= 0x4020 && rom->mapper->touches_ppu && rom->mapper->write_touches_ppu(a, value))) {
        const uint64_t now = uint64_t(start_cycles) * 3;
        bool unseen = false;
        if (lazy_ppu) {
            if (a == 0x2000 || (a == 0x2005 && !ppu->w))
                unseen = ppu->latches_unread(now);
            else if (a == 0x2005 || (a == 0x2006 && !ppu->w))
                unseen = ppu->t_unread(now);
            else if (a == 0x2001)
                unseen = !((*cell ^ value) & 0x1E);
        }
        if (!unseen) sync_ppu();
    }
    // The APU reads these cells; a write may change its timers or what its
    // quiet stretch assumed, except $4011 (see APU::load_direct).
    if (a >= 0x4000 && a <= 0x4017 && a != 0x4014 && a != 0x4016) sync_apu(a != 0x4011);
    // A mapper without a hook on the registers leaves their writes alone.
    const bool to_mapper = a < 0x2000 || a >= 0x4020 || mapper_register_writes;
    if (write_register(a, value)) {
        if (to_mapper) call_map_write(cell, &value);
        *cell = value;
        return;
    }
    if (to_mapper) call_map_write(cell, &value);
    if (a < 0x8000 && a != 0x2002) *cell = value;
}

// Performs the side effect of a register write; false when `a` is no register.
bool CPU::write_register(uint16_t a, uint8_t& value) {
    if (a < 0x2000 || (a > 0x2007 && a < 0x4001) || a > 0x4017) return false;
    switch (a) {
        case 0x2000:
            ppu->t = uint16_t((ppu->t & 0xF3FF) | ((value & 3) << 10));
            return true;
        case 0x2003:
            ppu->oam_addr = value;
            return true;
        case 0x2004:
            if ((ppu->oam_addr & 3) == 2) value &= 0xE3;
            ppu->oam[ppu->oam_addr++] = value;
            ppu->oam_version++;
            return true;
        case 0x2005:
            if (!ppu->w) {
                ppu->x = value & 7;
                ppu->t = uint16_t((ppu->t & 0xFFE0) | (value >> 3));
                ppu->w = true;
            } else {
                ppu->t = uint16_t((ppu->t & 0x8C1F) | ((value & 0xF8) << 2) | ((value & 7) << 12));
                ppu->w = false;
            }
            return true;
        case 0x2006:
            if (!ppu->w) {
                ppu->t = uint16_t((ppu->t & 0x80FF) | ((value & 0x3F) << 8));
                ppu->w = true;
            } else {
                ppu->t = uint16_t((ppu->t & 0xFF00) | value);
                ppu->v = ppu->t;
                ppu->w = false;
            }
            return true;
        case 0x2007: {
            const uint16_t pa = ppu->v & 0x3FFF;
            if (debug) {
                std::printf("ppu->%04x: %02x\n", pa, value);
                std::fflush(stdout);
            }
            // Pattern memory copied from CHR ROM is ROM: the cartridge ignores the write.
            if (pa >= 0x2000 || ppu->rom->chr_size == 0) ppu->write(pa, value);
            ppu->v = uint16_t(ppu->v + ((memory[0x2000] & 4) ? 32 : 1));
            if (debug) {
                std::printf("v changed to %i\n", ppu->v);
                std::fflush(stdout);
            }
            return true;
        }
        case 0x4001:
            apu->sweep[0].sweep_reload = true;
            return true;
        case 0x4002:
            apu->timer_period[0] = uint16_t((memory[0x4003] & 7) << 8 | value);
            return true;
        case 0x4003:
            apu->length[0] = APU::length_lookup(value >> 3);
            apu->env[0].env_start = true;
            apu->timer_period[0] = uint16_t((value & 7) << 8 | memory[0x4002]);
            return true;
        case 0x4005:
            apu->sweep[1].sweep_reload = true;
            return true;
        case 0x4006:
            apu->timer_period[1] = uint16_t((memory[0x4007] & 7) << 8 | value);
            return true;
        case 0x4007:
            apu->length[1] = APU::length_lookup(value >> 3);
            apu->env[1].env_start = true;
            apu->timer_period[1] = uint16_t((value & 7) << 8 | memory[0x4006]);
            return true;
        case 0x400A:
            apu->timer_period[2] = uint16_t((memory[0x400B] & 7) << 8 | value);
            return true;
        case 0x400B:
            apu->timer_period[2] = uint16_t((value & 7) << 8 | memory[0x400A]);
            apu->length[2] = APU::length_lookup(value >> 3);
            apu->linear_reload = true;
            return true;
        case 0x400F:
            apu->length[3] = APU::length_lookup(value >> 3);
            apu->env[2].env_start = true;
            return true;
        case 0x4010:
            apu->dmc_control = value;
            return true;
        case 0x4011:
            // Levels above 127 would overflow the 16-bit mix; keep the 7 bits the DAC has.
            // A lagging APU may have to end its quiet stretch sooner (APU::load_direct).
            if (lazy_apu)
                apu->load_direct(value & 0x7F);
            else
                apu->dmc_direct = value & 0x7F;
            return true;
        case 0x4012:
            apu->dmc_sample_addr = uint16_t(0xC000 + value * 64);
            return true;
        case 0x4013:
            apu->dmc_sample_len = uint16_t(value * 16 + 1);
            return true;
        case 0x4014:
            oam_dma(value);
            return true;
        case 0x4015:
            apu->sync_by = -1;  // the write may start the DMC: the unit looks again after this instruction
            for (int k = 0; k < 4; k++) {
                apu->enabled[k] = (value >> k) & 1;
                if (!apu->enabled[k]) apu->length[k] = 0;
            }
            if (value & 0x10) {
                apu->enabled[4] = true;
                if (apu->dmc_remaining == 0) apu->start_sample();
            } else {
                apu->enabled[4] = false;
                apu->dmc_remaining = 0;
            }
            return true;
        case 0x4016:
            strobe = value & 1;
            if (strobe) {
                controller_shift[0] = controllers[0] ? controllers[0]->get_input_byte() : 0;
                controller_shift[1] = controllers[1] ? controllers[1]->get_input_byte() : 0;
            }
            return true;
        case 0x4017:
            apu->frame_origin = apu->cycles - 1;
            if (value & 0x80) {
                apu->clock_envs();
                apu->clock_length();
                apu->clock_linear();
                apu->clock_sweep();
            }
            return true;
        default:
            return false;
    }
}

void CPU::oam_dma(uint8_t page) {
    ppu->oam_version++;
    const uint8_t start = ppu->oam_addr;
    for (int i = 0; i < 256; i++) {
        uint8_t b = rd(uint16_t(page << 8 | i));
        const uint8_t idx = uint8_t(start + i);
        if ((idx & 3) == 2) b &= 0xE3;
        ppu->oam[idx] = b;
    }
    ppu->oam_addr = start;
    if (debug) {
        std::printf("New OAM: [");
        for (int i = 0; i < 256; i++) std::printf("%02x,", ppu->oam[i]);
        std::printf("]\n");
        std::fflush(stdout);
    }
}

void CPU::set_controller(Controller* c, uint8_t port) {
    if (port < 2) controllers[port] = c;
}

// ---- Cartridge attach and battery RAM ----

void CPU::loadRom(ROM* r, bool load_ram) {
    std::memset(memory, 0, sizeof memory);
    rom = r;
    mapper_ram_writes = rom->mapper->hooks_ram_write;
    mapper_register_writes = rom->mapper->hooks_register_write;
    const int number = rom->mapper->number;
    fold_prg = (number == 0 || number == 3) && rom->prg_size >= 16384 && rom->prg_size < 32768;
    fold_mask[6] = fold_mask[7] = fold_prg ? 0xBFFF : 0xFFFF;
    if (rom->battery && load_ram) {
        const std::string path = ram_dir + sep + "ram";
        std::printf("load RAM file: %s\n", path.c_str());
        std::fflush(stdout);
        std::error_code ec;
        const bool exists = !ram_dir.empty() && std::filesystem::exists(std::filesystem::symlink_status(path, ec));
        std::printf("RAM file exists: %i\n", exists ? 1 : 0);
        std::fflush(stdout);
        if (exists) {
            // Anything that cannot be read as a file (a folder, a pipe that
            // would block, no permission, an I/O error) is skipped and
            // $6000-$7FFF stay zero.
            const char* problem = nullptr;
            FILE* f = nullptr;
            if (!std::filesystem::is_regular_file(path, ec))
                problem = "not a regular file";
            else if (!(f = std::fopen(path.c_str(), "rb")))
                problem = std::strerror(errno);
            if (f) {
                this->load_ram(f);
                if (std::ferror(f)) problem = std::strerror(errno ? errno : EIO);
                std::fclose(f);
            }
            if (problem) {
                std::printf("RAM file cannot be read, skipped: %s: %s\n", path.c_str(), problem);
                std::fflush(stdout);
            }
        }
    }
    // Copies `units` 1 KiB units starting at PRG unit `first`; the unit index
    // wraps, so a window never reads past the end of the PRG data.
    const int prg_units = rom->prg_size / 1024;
    auto copy = [&](uint16_t dest, int64_t first, int units) {
        int64_t u = first % prg_units;
        if (u < 0) u += prg_units;
        for (int k = 0; k < units; k++) {
            std::memcpy(memory + dest + k * 1024, rom->get_prg_bank(int(u)), 1024);
            if (++u == prg_units) u = 0;
        }
    };
    const int last16 = rom->prg_size / 1024 - 16;
    switch (number) {
        case 0:
        case 3: {
            // The whole PRG from $8000 upward, stopping at $FFFF.
            const int n = rom->prg_size < 32768 ? rom->prg_size : 32768;
            std::memcpy(memory + 0x8000, rom->prg, n);
            break;
        }
        case 1:
            copy(0x8000, 0, 16);
            copy(0xC000, last16, 16);
            break;
        case 2:
            copy(0x8000, prg_bank, 16);
            copy(0xC000, last16, 16);
            break;
        case 4:
            copy(0xC000, last16, 16);
            break;
        case 40:
            copy(0x6000, 48, 8);
            copy(0x8000, 32, 8);
            copy(0xA000, 40, 8);
            copy(0xE000, 56, 8);
            break;
        default:
            break;
    }
}

void CPU::save_state_bytes(uint8_t* out) {
    out[0] = P;
    out[1] = A;
    out[2] = X;
    out[3] = Y;
    out[4] = SP;
    const int64_t pc = PC;
    std::memcpy(out + 5, &pc, 8);
    std::memcpy(out + 13, memory, 65536);
    std::memcpy(out + 65549, ppu->vram, 16384);
    char block[256] = {};
    void* devices[3] = {this, ppu, apu};
    rom->mapper->serialize(devices, block);
    std::memcpy(out + 81933, block, 256);
}

void CPU::load_state_bytes(const uint8_t* in) {
    ppu_deadline = 0;
    P = in[0];
    A = in[1];
    X = in[2];
    Y = in[3];
    SP = in[4];
    int64_t pc;
    std::memcpy(&pc, in + 5, 8);
    PC = uint16_t(pc);
    std::memcpy(memory, in + 13, 65536);
    std::memcpy(ppu->vram, in + 65549, 16384);
    char block[256];
    std::memcpy(block, in + 81933, 256);
    void* devices[3] = {this, ppu, apu};
    rom->mapper->deserialize(devices, block);
}

int64_t CPU::fields(Fields& f) {
    // Counters far below overflow: the unit multiplies and adds them.
    constexpr int64_t COUNT_MAX = int64_t(1) << 56;
    f(A), f(X), f(Y), f(SP), f(P), f(PC), f(instr_len);
    f(controller_shift), f(strobe);
    f(instr_count, int64_t(0), COUNT_MAX);
    const int64_t count = f(cycles, int64_t(0), COUNT_MAX);
    f(start_cycles, int64_t(0), COUNT_MAX);
    f(nmi_line_prev), f(irq_pending), f(nmi_latch);
    f(prg_bank);
    f(unknown_reported);
    f(memory);
    if (f.loading()) ppu_deadline = 0;  // the PPU's next event, found again
    return count;
}

void CPU::save_state(FILE* f) {
    uint8_t state[STATE_SIZE];
    save_state_bytes(state);
    std::fwrite(state, 1, sizeof state, f);
}

void CPU::load_state(FILE* f) {
    uint8_t state[STATE_SIZE];
    if (std::fread(state, 1, sizeof state, f) == sizeof state) load_state_bytes(state);
}

void CPU::save_ram(FILE* f) const { std::fwrite(memory + 0x6000, 1, 0x2000, f); }

// A short file fills only its own length; a failed read changes nothing.
void CPU::load_ram(FILE* f) {
    uint8_t ram[0x2000];
    errno = 0;
    const size_t got = std::fread(ram, 1, sizeof ram, f);
    if (!std::ferror(f)) std::memcpy(memory + 0x6000, ram, got);
}

}  // namespace NES
