#pragma once
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "apu.h"
#include "console.h"
#include "controller.h"
#include "cpu.h"
#include "ppu.h"
#include "rom.h"

namespace py = pybind11;

// Registry of host objects whose construction finished (see the module definition).
void mark_live(const void* object, bool live);
bool is_live(const void* object);

// Scripting class "Controller": one pad whose buttons the script sets.
class ControllerWrapper {
public:
    NES::Controller controller;

    ControllerWrapper() { mark_live(this, true); }
    ~ControllerWrapper() { mark_live(this, false); }
    ControllerWrapper(const ControllerWrapper&) = delete;
    ControllerWrapper& operator=(const ControllerWrapper&) = delete;
    void updateInputs(const py::list& inputs);
};

// Scripting class "NES": one console, its run thread and its pacing.
class NESUnit {
public:
    int64_t start_time = 0;
    int64_t run_start_cycles = 0;  // the CPU's cycles at start(): the pacing counts only what ran since
    std::shared_ptr<const std::function<void()>> perframefunc;
    std::atomic<int64_t> pause_start{0};
    std::string save_dir;
    NES::Controller own_controllers[2];
    NES::CPU* cpu = nullptr;
    NES::PPU* ppu = nullptr;
    NES::APU* apu = nullptr;
    NES::ROM* rom = nullptr;
    std::atomic<bool> running{false};
    std::atomic<bool> paused{false};
    std::atomic<int64_t> paused_total{0};
    std::thread run_thread;

    explicit NESUnit(int clock_speed);
    NESUnit(const char* rom_name, int clock_speed);
    NESUnit(const py::object& rom_file, int clock_speed);
    ~NESUnit();
    NESUnit(const NESUnit&) = delete;
    NESUnit& operator=(const NESUnit&) = delete;

    inline void single_cycle();
    void runFrame();
    // `owner` is the scripting object, pinned by the run thread around each
    // per-frame callback (none for a console driven from C++).
    void start(PyObject* owner = nullptr);
    void stop();
    void set_pause(bool pause);
    void perFrame(const std::function<void()>& f);
    // From the scripting side: a callable, or None for the empty function.
    // The callable is held where the collector can see it (traverse), so a
    // callback that refers to its own console does not keep it for ever.
    void perFrame(const py::object& callable);
    int traverse(visitproc visit, void* arg);
    void clear_callback() { callback_obj = py::object(); }
    long long cycle_count();
    long long frame_count();
    void setController(ControllerWrapper& controller, int port, py::object owner);

    // Views over emulator memory; `owner` (the scripting object) is kept
    // alive by each array.
    py::array cpuMem(py::handle owner);
    py::array ppuMem(py::handle owner);
    py::array OAM(py::handle owner);
    py::array getImg(py::handle owner);
    py::array color_lookup(py::handle owner);
    py::list getAudio(bool split_channels);

    // Ends every console's run thread (at interpreter exit).
    static void end_all_run_threads();

    // Save folder, save states and battery RAM.
    void detectOS(const char* rom_name);
    bool setSaveDir(const std::string& dir);
    std::string getSaveDir() const { return save_dir; }
    void save(int slot);
    bool load(int slot);

private:
    std::string cart_dir;              // this console's cartridge folder (battery RAM)
    uint8_t color_table[64][3];        // the host's writable copy of the colour table
    py::object attached[2];            // Controllers plugged in by the script, kept alive
    py::object callback_obj;           // the scripting callback; used under the interpreter lock only

    // Stepping happens under step_mutex; `held` is the stepping thread's lock,
    // released around the per-frame callback and while the run thread sleeps.
    std::mutex step_mutex;
    std::atomic<int> waiters{0};
    std::unique_lock<std::mutex>* held = nullptr;

    // Launching, joining and runFrame() are serialised among scripting
    // threads by control_mutex (recursive: a runFrame() callback may call
    // back in). The run thread never takes it: it would wait for a thread
    // that is joining it.
    std::recursive_mutex control_mutex;
    int frame_depth = 0;                       // runFrame() calls under way
    std::atomic<std::thread::id> runner{};     // the run thread while it runs
    PyObject* owner = nullptr;                 // see start()
    bool orphaned = false;                     // a callback dropped the last reference to `owner`

    // The run thread's pacing wait, cut short by stop() and pause.
    std::mutex sleep_mutex;
    std::condition_variable wake;

    bool unpaced = false;              // built with a CLOCK_SPEED of 0 or less: the run thread never waits
    std::string new_cart_dir;          // the cartridge folder this construction created, while it is under way
    // The parts' wiring and step (see NES::Console); it owns nothing.
    NES::Console console;
    void build_components(int clock_speed);
    void power_on();  // the reset, the step mode and the console's wiring
    void destroy_components();
    void discard_new_folder();
    void operation_thread();
    void frame_callback();
    void write_battery_ram();
    void halt();  // clears `running` and wakes a pacing wait
    void join_run_thread();
    void end_run_thread();
    bool no_run_thread();  // joins a run thread that has ended or was told to stop
    bool on_run_thread() const { return runner.load() == std::this_thread::get_id(); }
    std::unique_lock<std::recursive_mutex> take_control();
    bool pin_owner();
    void unpin_owner();
    template <class F>
    auto with_console(F&& f) -> decltype(f());
};
