// The run thread stepping a console while other threads make the calls of the
// scripting side: save and load, controller updates, callback replacement,
// pause and resume, the audio hand-off, stop and start, runFrame. Built with
// ThreadSanitizer (KESTRIX_TSAN) it shows that they share the console safely.
//
// No interpreter is started: every callback is a C++ function, and without an
// interpreter the host unit never touches the interpreter lock. Two scripting
// threads act on each console, as two Python threads would, but only through
// calls that release the interpreter lock or need none; calls that rely on the
// interpreter lock alone (setSaveDir, setController's keep-alive) stay on the
// first of them.
//
// Usage: stress_threads [seconds]   (default 2)
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "wrapper.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

int g_failures = 0;
std::mutex g_report;

void fail(const std::string& what) {
    std::lock_guard<std::mutex> lock(g_report);
    std::fprintf(stderr, "check failed: %s\n", what.c_str());
    g_failures++;
}

// A 32 KiB PRG, 8 KiB CHR cartridge whose program runs from $E000: it turns on
// NMI, rendering (if asked) and the pulse channel, arms the MMC3 scanline IRQ (plain ROM
// writes for NROM), then strobes and reads both pads and counts in RAM and in
// the battery RAM for ever.
std::vector<uint8_t> cartridge(int mapper, bool battery, bool render) {
    std::vector<uint8_t> code;
    auto op = [&](std::initializer_list<int> bytes) {
        for (int b : bytes) code.push_back(uint8_t(b));
    };
    auto sta = [&](int addr) { op({0x8D, addr & 0xFF, addr >> 8}); };
    op({0x78, 0xD8, 0xA2, 0xFF, 0x9A});  // SEI CLD LDX #$FF TXS
    op({0xA9, 0x80}), sta(0x2000);       // NMI on
    op({0xA9, render ? 0x1E : 0x00}), sta(0x2001);  // background and sprites on, or all off
    op({0xA9, 0x0F}), sta(0x4015);       // channels on
    op({0xA9, 0xBF}), sta(0x4000);
    op({0xA9, 0x40}), sta(0x4002);
    op({0xA9, 0x01}), sta(0x4003);
    op({0xA9, 0x10}), sta(0xC000), sta(0xC001), sta(0xE001);  // MMC3 IRQ every 16 lines
    op({0x58});                                                // CLI
    const int loop = 0xE000 + int(code.size());
    op({0xA9, 0x01}), sta(0x4016);
    op({0xA9, 0x00}), sta(0x4016);
    op({0xAD, 0x16, 0x40, 0x85, 0x00});  // LDA $4016 STA $00
    op({0xAD, 0x17, 0x40, 0x85, 0x01});  // LDA $4017 STA $01
    op({0xEE, 0x00, 0x60});              // INC $6000
    op({0xE6, 0x02});                    // INC $02
    op({0x4C, loop & 0xFF, loop >> 8});
    const int nmi = 0xE000 + int(code.size());
    op({0xE6, 0x03, 0x40});  // INC $03 RTI
    const int irq = 0xE000 + int(code.size());
    sta(0xE000), sta(0xE001), op({0x40});  // acknowledge, re-arm, RTI

    std::vector<uint8_t> image(16 + 32768 + 8192, 0);
    const uint8_t header[8] = {'N', 'E', 'S', 0x1A, 2, 1, uint8_t((mapper & 0x0F) << 4 | (battery ? 2 : 0)),
                               uint8_t(mapper & 0xF0)};
    std::memcpy(image.data(), header, sizeof header);
    uint8_t* prg = image.data() + 16;
    std::memcpy(prg + 0x6000, code.data(), code.size());
    const int vectors[3] = {nmi, 0xE000, irq};
    for (int i = 0; i < 3; i++) {
        prg[0x7FFA + 2 * i] = uint8_t(vectors[i] & 0xFF);
        prg[0x7FFB + 2 * i] = uint8_t(vectors[i] >> 8);
    }
    for (size_t i = 0; i < 8192; i++) image[16 + 32768 + i] = uint8_t(i * 7);
    return image;
}

// What "getAudio" does with the APU: take the newest published set of blocks.
bool take_audio(NESUnit& u, int16_t (&copy)[6][NES::BUFFER_LEN]) { return u.apu->take_audio(copy, 6); }

thread_local bool t_scripting = false;  // set on the threads that play the script

struct Stats {
    std::atomic<long> calls{0}, refused{0}, frames{0}, run_thread_frames{0}, blocks{0}, callback_stops{0}, saves{0}, loads{0};

    // Every kind of event happened (a loaded machine may need longer).
    bool covered() const {
        return run_thread_frames >= 5 && frames > run_thread_frames && callback_stops > 0 && saves > 0 && loads > 0 &&
               refused > 0 && blocks > 0;
    }
};

// The per-frame callbacks: they count, call back into the console, replace
// themselves, and now and then stop the run thread from inside.
std::function<void()> callback(NESUnit& u, Stats& st, unsigned seed) {
    return [&u, &st, rng = std::minstd_rand(seed)]() mutable {
        st.frames++;
        if (!t_scripting && st.run_thread_frames++ % 16 == 5) {
            u.stop();  // from the callback: the run thread ends once it returns
            st.callback_stops++;
        }
        switch (rng() % 16) {
            case 0: {
                int16_t copy[6][NES::BUFFER_LEN];
                if (take_audio(u, copy)) st.blocks++;
                break;
            }
            case 1:
                if (u.cycle_count() <= 0) fail("cycle count inside a callback");
                break;
            case 2:
                u.perFrame(callback(u, st, unsigned(rng())));  // replaces the running callback
                break;
            default:
                break;
        }
    };
}

// One scripting thread. `first` may also use the calls that depend on the
// interpreter lock for their safety.
void scripting(NESUnit& u, Stats& st, ControllerWrapper (&pads)[2], bool first, unsigned seed, Clock::time_point end,
               Clock::time_point limit) {
    t_scripting = true;
    std::minstd_rand rng(seed);
    int16_t copy[6][NES::BUFFER_LEN];
    for (Clock::time_point now; (now = Clock::now()) < end || (!st.covered() && now < limit);) {
        st.calls++;
        const unsigned r = rng() % 100;
        try {
            if (r < 3) {
                u.start();
            } else if (r < 4) {
                u.stop();
            } else if (r < 5) {
                u.set_pause(true);
            } else if (r < 8) {
                u.set_pause(false);
            } else if (r < 10) {
                u.runFrame();
            } else if (r < 13) {
                u.save(int(rng() % 3));
                st.saves++;
            } else if (r < 16) {
                if (u.load(int(rng() % 3))) st.loads++;
            } else if (r < 40) {
                bool flags[8];
                for (bool& f : flags) f = rng() % 2;
                pads[rng() % 2].controller.update_inputs(flags);
            } else if (r < 50) {
                u.perFrame(callback(u, st, unsigned(rng())));
            } else if (r < 65) {
                if (take_audio(u, copy)) st.blocks++;
            } else if (r < 85) {
                if (u.cycle_count() < 0 || u.frame_count() < 0) fail("negative counter");
            } else if (first && r < 90) {
                const unsigned port = rng() % 2;
                u.setController(pads[rng() % 2], int(port), py::object());
            }
            // Leave the run thread some room, as a script between its calls would.
            std::this_thread::sleep_for(std::chrono::microseconds(rng() % 2000));
        } catch (const std::runtime_error&) {
            st.refused++;  // start() while running, stop() or runFrame() in the wrong state
        }
    }
}

struct Case {
    const char* name;
    int mapper;
    bool battery;
    bool render;
    int clock;  // 0: unpaced
};

std::unique_ptr<NESUnit> make_console(const Case& c, const fs::path& dir) {
    const fs::path rom = dir / (std::string(c.name) + ".nes");
    const std::vector<uint8_t> image = cartridge(c.mapper, c.battery, c.render);
    FILE* f = std::fopen(rom.c_str(), "wb");
    std::fwrite(image.data(), 1, image.size(), f);
    std::fclose(f);
    return std::make_unique<NESUnit>(rom.c_str(), c.clock);
}

void run_case(const Case& c, std::unique_ptr<NESUnit>& u, double seconds, bool destroy_running) {
    t_scripting = true;
    Stats st;
    ControllerWrapper pads[2];
    u->setController(pads[0], 0, py::object());
    u->setController(pads[1], 1, py::object());
    u->perFrame(callback(*u, st, 1));
    u->runFrame();
    u->start();
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    const auto limit = end + std::chrono::seconds(60);  // to reach every kind of event on a busy machine
    std::thread a(scripting, std::ref(*u), std::ref(st), std::ref(pads), true, 11u, end, limit);
    std::thread b(scripting, std::ref(*u), std::ref(st), std::ref(pads), false, 23u, end, limit);
    a.join();
    b.join();

    // Still usable: a clean stop, then frame by frame, then running again.
    try {
        u->stop();
    } catch (const std::runtime_error&) {
    }
    u->set_pause(false);
    u->perFrame([] {});
    const long long frames = u->frame_count(), cycles = u->cycle_count();
    u->runFrame();
    if (u->frame_count() != frames + 1 || u->cycle_count() <= cycles) fail(std::string(c.name) + ": runFrame after the stress");
    u->start();
    const auto until = Clock::now() + std::chrono::seconds(5);
    while (u->frame_count() < frames + 3 && Clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (u->frame_count() < frames + 3) fail(std::string(c.name) + ": the run thread does not advance after the stress");
    if (destroy_running)
        u.reset();  // collected while running
    else
        u->stop();

    std::printf("%s: %ld calls (%ld refused), %ld frames (%ld on the run thread), %ld audio blocks, %ld stops from callbacks, %ld saves, %ld loads\n",
                c.name, st.calls.load(), st.refused.load(), st.frames.load(), st.run_thread_frames.load(), st.blocks.load(), st.callback_stops.load(),
                st.saves.load(), st.loads.load());
    if (!st.covered())
        fail(std::string(c.name) + ": some calls never happened");
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
    char tmpl[] = "/tmp/kestrix-stress-XXXXXX";
    if (!mkdtemp(tmpl)) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path dir = tmpl;
    fs::create_directories(dir / "home" / ".config");
    setenv("HOME", (dir / "home").c_str(), 1);
    if (Py_IsInitialized()) return 1;  // the host unit must not need an interpreter here

    const Case cases[] = {
        {"nrom", 0, false, false, 0},           // lazy PPU, unpaced
        {"mmc3", 4, true, true, 8 * 1789773},   // dot-clocked mapper, paced: the run thread sleeps after restarts
    };
    // Constructors share the process-wide save folder text (under the
    // interpreter lock in the module), so the consoles are built first.
    std::unique_ptr<NESUnit> units[2] = {make_console(cases[0], dir), make_console(cases[1], dir)};
    std::thread t0(run_case, std::cref(cases[0]), std::ref(units[0]), seconds, false);
    std::thread t1(run_case, std::cref(cases[1]), std::ref(units[1]), seconds, true);
    t0.join();
    t1.join();
    std::error_code ec;
    fs::remove_all(dir, ec);
    if (g_failures) std::fprintf(stderr, "%d checks failed\n", g_failures);
    return g_failures ? 1 : 0;
}
