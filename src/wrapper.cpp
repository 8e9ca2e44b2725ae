#include "wrapper.h"

#include <fcntl.h>
#include <unistd.h>

#include <cxxabi.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <unordered_set>
#include <vector>

#include <pybind11/functional.h>

#include "glob_const.h"

namespace fs = std::filesystem;

namespace {

constexpr int DEFAULT_CLOCK = 1789773;
constexpr int64_t SLICE = DEFAULT_CLOCK / 1000;  // the unpaced run thread's stretch between its checks
constexpr long STATE_SIZE = 82189;

int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool exists(const std::string& path) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(path, ec));
}

// Releases the interpreter lock for a scope when this thread holds it, so
// that waiting here never blocks a run thread that needs the lock.
class ReleaseGil {
public:
    ReleaseGil() {
        if (Py_IsInitialized() && PyGILState_Check()) state = PyEval_SaveThread();
    }
    ~ReleaseGil() {
        if (state) PyEval_RestoreThread(state);
    }
    ReleaseGil(const ReleaseGil&) = delete;
    ReleaseGil& operator=(const ReleaseGil&) = delete;

private:
    PyThreadState* state = nullptr;
};

// Writes `size` bytes to `path` through a temporary file in the same folder,
// flushed to disk and then renamed over the target, so a reader never sees a
// half-written file and the previous file survives any failure. The
// temporary file gets the permissions a plain create would give (0666 less
// the umask).
void write_atomically(const std::string& path, const uint8_t* data, size_t size) {
    static std::atomic<unsigned> serial{0};
    auto fail = [&](int e) -> void {
        throw NES::FileError(e, path, "cannot write '" + path + "': " + std::strerror(e));
    };
    std::string tmp;
    int fd = -1;
    for (int attempt = 0; fd < 0; attempt++) {
        tmp = path + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(serial++);
        fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && (errno != EEXIST || attempt == 100)) fail(errno);
    }
    size_t done = 0;
    int e = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            e = errno;
            break;
        }
        done += size_t(n);
    }
    if (!e && ::fsync(fd) != 0) e = errno;
    if (::close(fd) != 0 && !e) e = errno;
    if (!e && std::rename(tmp.c_str(), path.c_str()) != 0) e = errno;
    if (e) {
        ::unlink(tmp.c_str());
        fail(e);
    }
}

// Objects whose construction finished and that are not destroyed yet, and
// the consoles among them.
std::mutex live_mutex;
std::unordered_set<const void*> live_objects;
std::unordered_set<NESUnit*> live_units;

void units_mark(NESUnit* unit, bool live) {
    std::lock_guard<std::mutex> lock(live_mutex);
    if (live)
        live_units.insert(unit);
    else
        live_units.erase(unit);
}

}  // namespace

void mark_live(const void* object, bool live) {
    std::lock_guard<std::mutex> lock(live_mutex);
    if (live)
        live_objects.insert(object);
    else
        live_objects.erase(object);
}

bool is_live(const void* object) {
    std::lock_guard<std::mutex> lock(live_mutex);
    return object && live_objects.count(object);
}

namespace {

std::string stem_of(const std::string& name) {
    size_t end = name.size(), begin = 0;
    bool dot_seen = false;
    for (size_t i = name.size(); i-- > 0;) {
        const char c = name[i];
        if (c == '/' || c == '\\') {
            begin = i + 1;
            break;
        }
        if (c == '.' && !dot_seen) {
            dot_seen = true;
            end = i;
        }
    }
    std::string stem = name.substr(begin, end - begin);
    for (char& c : stem)
        if (c == ' ') c = '_';
    return stem;
}

}  // namespace

namespace {
// A path with an embedded null byte would be cut short by every system call
// and name another file; such a path is refused as the interpreter's own file
// functions refuse it.
void refuse_null_byte(const std::string& path, const char* what) {
    if (path.find('\0') != std::string::npos) throw py::value_error(std::string(what) + ": embedded null byte");
}
}  // namespace

// ---------------------------------------------------------------- Controller

void ControllerWrapper::updateInputs(const py::list& inputs) {
    bool flags[8];
    for (size_t i = 0; i < 8; i++) flags[i] = py::cast<bool>(inputs[i]);
    controller.update_inputs(flags);
}

// ---------------------------------------------------------------- Construction

void NESUnit::build_components(int clock_speed) {
    cpu = new NES::CPU(false);
    unpaced = clock_speed <= 0;
    apu = new NES::APU();
    NES::link_apu(*cpu, *apu, clock_speed);
    NES::link_pads(*cpu, &own_controllers[0], &own_controllers[1]);
}

void NESUnit::power_on() {
    NES::power_on(*cpu, NES::StepMode::normal);
    console = NES::Console(cpu, ppu, apu, NES::StepMode::normal);
}

void NESUnit::destroy_components() {
    delete rom;
    delete cpu;
    delete ppu;
    delete apu;
    rom = nullptr;
    cpu = nullptr;
    ppu = nullptr;
    apu = nullptr;
}

void NESUnit::discard_new_folder() {
    // A failed construction leaves no clutter: the cartridge folder it made
    // goes again, unless something was put into it meanwhile (removing a
    // folder that is not empty fails, and is left at that).
    if (new_cart_dir.empty()) return;
    std::error_code ec;
    fs::remove(new_cart_dir, ec);
    new_cart_dir.clear();
}

NESUnit::NESUnit(int clock_speed) {
    perframefunc = std::make_shared<const std::function<void()>>([] {});
    std::memcpy(color_table, NES::NTSC_TO_RGB, sizeof color_table);
    try {
        std::puts("No rom specified.");
        std::fflush(stdout);
        rom = new NES::ROM();
        std::puts("rom created.");
        std::fflush(stdout);
        build_components(clock_speed);
        cpu->loadRom(rom, true);
        ppu = new NES::PPU(cpu);
        power_on();
        mark_live(this, true);
        units_mark(this, true);
    } catch (...) {
        destroy_components();
        throw;
    }
}

NESUnit::NESUnit(const char* rom_name, int clock_speed) {
    perframefunc = std::make_shared<const std::function<void()>>([] {});
    std::memcpy(color_table, NES::NTSC_TO_RGB, sizeof color_table);
    try {
        detectOS(rom_name);
        build_components(clock_speed);
        ppu = new NES::PPU(cpu);
        rom = new NES::ROM(rom_name);
        cpu->ram_dir = cart_dir;
        NES::attach(*cpu, *ppu, *rom, true);
        power_on();
        mark_live(this, true);
        units_mark(this, true);
        new_cart_dir.clear();
    } catch (...) {
        destroy_components();
        discard_new_folder();
        throw;
    }
}

NESUnit::NESUnit(const py::object& rom_file, int clock_speed) {
    perframefunc = std::make_shared<const std::function<void()>>([] {});
    std::memcpy(color_table, NES::NTSC_TO_RGB, sizeof color_table);
    try {
        build_components(clock_speed);
        ppu = new NES::PPU(cpu);
        const std::string name = rom_file.attr("name").cast<std::string>();
        refuse_null_byte(name, "NES: the name of rom_file");
        detectOS(name.c_str());
        const std::string data = rom_file.attr("read")().cast<std::string>();
        rom = new NES::ROM(long(data.size()), reinterpret_cast<const uint8_t*>(data.data()));
        cpu->ram_dir = cart_dir;
        NES::attach(*cpu, *ppu, *rom, true);
        power_on();
        mark_live(this, true);
        units_mark(this, true);
        new_cart_dir.clear();
    } catch (...) {
        destroy_components();
        discard_new_folder();
        throw;
    }
}

NESUnit::~NESUnit() {
    mark_live(this, false);
    units_mark(this, false);
    end_run_thread();
    destroy_components();
}

void NESUnit::end_run_thread() {
    if (!run_thread.joinable()) return;
    // Collected while running (or the interpreter is ending): stop as stop()
    // would, battery RAM included; a failure can only be reported.
    if (rom && rom->battery) {
        try {
            write_battery_ram();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "kestrix: battery RAM not saved: %s\n", e.what());
        }
    }
    halt();
    if (on_run_thread())
        run_thread.detach();  // the last reference went on the run thread, which ends right after this
    else
        join_run_thread();
}

void NESUnit::end_all_run_threads() {
    std::vector<NESUnit*> all;
    {
        std::lock_guard<std::mutex> lock(live_mutex);
        all.assign(live_units.begin(), live_units.end());
    }
    for (NESUnit* u : all) {
        if (!is_live(u)) continue;  // collected meanwhile (the interpreter lock was given up while joining)
        py::object keep = py::cast(u, py::return_value_policy::reference);  // its scripting object, held
        auto control = u->take_control();
        u->end_run_thread();
    }
}

// ---------------------------------------------------------------- Stepping

// Inlined into the run thread's paced loop, once per instruction.
[[gnu::always_inline]] inline void NESUnit::single_cycle() {
    console.step([this] { frame_callback(); });
}

void NESUnit::frame_callback() {
    console.sync_apu();  // the callback may look at or change what the APU reads
    std::shared_ptr<const std::function<void()>> f = perframefunc;
    if (!held) {
        (*f)();
        return;
    }
    // The callback may call back into this console (saveState, perFrame, ...),
    // so the stepping lock is given up around it.
    held->unlock();
    // A callback on the run thread may drop the last reference to the
    // scripting object; it stays pinned until the step is back in hand.
    const bool pinned = owner && on_run_thread();
    if (pinned && !pin_owner()) {
        // Being destroyed: nobody is left to call back.
        held->lock();
        return;
    }
    auto resume = [&] {
        f.reset();
        if (pinned) unpin_owner();
        held->lock();
    };
    try {
        (*f)();
    } catch (abi::__forced_unwind&) {
        throw;  // the interpreter is ending this thread: nothing may be touched
    } catch (...) {
        resume();
        throw;
    }
    resume();
}

bool NESUnit::pin_owner() {
    if (!Py_IsInitialized()) return false;
    py::gil_scoped_acquire gil;
    if (Py_REFCNT(owner) <= 0) return false;  // its destructor is waiting for this thread
    Py_INCREF(owner);
    return true;
}

void NESUnit::unpin_owner() {
    py::gil_scoped_acquire gil;
    if (Py_REFCNT(owner) > 1) {
        Py_DECREF(owner);
        return;
    }
    // Only the pin is left: the console cannot be destroyed inside its own
    // step, so the thread ends and lets go of it on the way out.
    running = false;
    orphaned = true;
}

void NESUnit::runFrame() {
    if (on_run_thread())
        throw std::runtime_error("runFrame() cannot be used while the run thread exists; call stop() first");
    auto control = take_control();
    if (!no_run_thread())
        throw std::runtime_error("runFrame() cannot be used while the run thread exists; call stop() first");
    std::unique_lock<std::mutex> lock(step_mutex);
    std::unique_lock<std::mutex>* outer = held;
    held = &lock;
    frame_depth++;
    try {
        console.run_frame([this] { frame_callback(); });
    } catch (...) {
        frame_depth--;
        held = outer;
        throw;
    }
    frame_depth--;
    held = outer;
}

std::unique_lock<std::recursive_mutex> NESUnit::take_control() {
    // Never wait for another scripting thread while holding the interpreter lock.
    ReleaseGil nogil;
    return std::unique_lock<std::recursive_mutex>(control_mutex);
}

bool NESUnit::no_run_thread() {
    if (!run_thread.joinable()) return true;
    if (running) return false;
    // Ended by a callback exception or told to stop from its own callback.
    join_run_thread();
    return true;
}

void NESUnit::start(PyObject* self) {
    if (on_run_thread()) throw std::runtime_error("start() called while the run thread exists; call stop() first");
    auto control = take_control();
    if (frame_depth > 0) throw std::runtime_error("start() cannot be called while runFrame() is running");
    if (!no_run_thread()) throw std::runtime_error("start() called while the run thread exists; call stop() first");
    owner = self;
    running = true;
    // Steps taken before (runFrame() warm-ups, earlier runs) are not owed to
    // the wall clock: the time line begins here, so the console runs at once.
    run_start_cycles = cpu->cycles;
    start_time = now_ns();
    paused_total = 0;
    pause_start = start_time;
    run_thread = std::thread(&NESUnit::operation_thread, this);
}

void NESUnit::operation_thread() {
    runner = std::this_thread::get_id();
    std::unique_lock<std::mutex> lock(step_mutex);
    held = &lock;
    try {
        for (;;) {
            if (!running) break;
            if (paused) {
                // Nothing to emulate: give the lock and the core away for a moment.
                lock.unlock();
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                lock.lock();
                continue;
            }
            if (waiters.load(std::memory_order_relaxed) > 0) {
                lock.unlock();
                while (waiters.load() > 0) std::this_thread::yield();
                lock.lock();
            }
            if (unpaced) {
                // runFrame()'s loop, left at the end of each frame and after at
                // most 1 ms of work at the console's usual clock (1,789 cycles,
                // or as many instructions) to look at stop, pause and waiting calls.
                console.run_frame([this] { frame_callback(); }, console.work() + SLICE);
                continue;
            }
            single_cycle();
            const __int128 emulated = (__int128)(cpu->cycles - run_start_cycles) * 1000000000 / cpu->clock_speed;
            const int64_t target = start_time + paused_total.load() + int64_t(emulated);
            int64_t now = now_ns();
            if (now < target) {
                // Ahead of the clock: wait, but wake for stop() and pause.
                lock.unlock();
                {
                    std::unique_lock<std::mutex> sl(sleep_mutex);
                    while (now < target && running && !paused) {
                        wake.wait_for(sl, std::chrono::nanoseconds(target - now));
                        now = now_ns();
                    }
                }
                lock.lock();
            }
        }
    } catch (py::error_already_set& e) {
        py::gil_scoped_acquire gil;
        e.discard_as_unraisable("kestrix per-frame callback on the run thread (the run thread has ended)");
    } catch (const std::exception& e) {
        py::gil_scoped_acquire gil;
        PyErr_SetString(PyExc_RuntimeError, e.what());
        PyErr_WriteUnraisable(nullptr);
    }
    held = nullptr;
    if (lock.owns_lock()) lock.unlock();
    if (orphaned) {
        py::gil_scoped_acquire gil;
        if (Py_REFCNT(owner) == 1) {
            Py_DECREF(owner);  // destroys this console (it detaches this thread); nothing of it is used after
            return;
        }
        // Someone took a new reference meanwhile (a weak reference): it stays, stopped.
        orphaned = false;
        runner = std::thread::id();
        Py_DECREF(owner);
        return;
    }
    runner = std::thread::id();
}

void NESUnit::halt() {
    running = false;
    { std::lock_guard<std::mutex> sl(sleep_mutex); }  // a pacing wait sees the flag or the wake-up
    wake.notify_all();
}

void NESUnit::join_run_thread() {
    ReleaseGil nogil;
    run_thread.join();
    run_thread = std::thread();
}

void NESUnit::stop() {
    std::exception_ptr ram_error;
    auto save_ram = [&] {
        if (!rom->battery) return;
        try {
            write_battery_ram();
        } catch (...) {
            ram_error = std::current_exception();
        }
    };
    if (on_run_thread()) {
        // From the per-frame callback: the thread ends when the callback
        // returns, and the next start(), stop() or runFrame() joins it.
        save_ram();
        running = false;
        if (ram_error) std::rethrow_exception(ram_error);
        return;
    }
    auto control = take_control();
    save_ram();
    halt();
    if (run_thread.joinable()) {
        join_run_thread();
        if (ram_error) std::rethrow_exception(ram_error);
        return;
    }
    if (ram_error) std::rethrow_exception(ram_error);
    throw std::runtime_error("stop() called but the console has no run thread (start() it first)");
}

void NESUnit::set_pause(bool pause) {
    if (pause && !paused) {
        pause_start = now_ns();
        paused = true;
        { std::lock_guard<std::mutex> sl(sleep_mutex); }  // ends a pacing wait under way
        wake.notify_all();
    } else if (!pause && paused) {
        paused_total += now_ns() - pause_start;
        paused = false;
    }
}

template <class F>
auto NESUnit::with_console(F&& f) -> decltype(f()) {
    ReleaseGil nogil;
    waiters++;
    std::lock_guard<std::mutex> lock(step_mutex);
    waiters--;
    return f();
}

// The run thread writes the counters with every step.
long long NESUnit::cycle_count() {
    return with_console([&] { return (long long)cpu->cycles; });
}

long long NESUnit::frame_count() {
    return with_console([&] { return (long long)ppu->frame_count; });
}

void NESUnit::perFrame(const std::function<void()>& f) {
    auto fresh = std::make_shared<const std::function<void()>>(f);
    with_console([&] { perframefunc.swap(fresh); });
    // `fresh` now holds the previous callable, released here with the interpreter lock held.
}

void NESUnit::perFrame(const py::object& callable) {
    if (callable.is_none()) {
        callback_obj = callable;
        perFrame(std::function<void()>());
        return;
    }
    callback_obj = callable;
    perFrame(std::function<void()>([this] {
        py::gil_scoped_acquire gil;
        py::object f = callback_obj;  // a reference of its own: the callback may replace itself
        try {
            if (f && !f.is_none()) f();  // none left: replaced by None just now, or cleared by the collector
        } catch (abi::__forced_unwind&) {
            f.release();  // the finalising interpreter ends this thread, which no longer holds its lock
            throw;
        }
    }));
}

int NESUnit::traverse(visitproc visit, void* arg) {
    Py_VISIT(callback_obj.ptr());
    return 0;
}

void NESUnit::setController(ControllerWrapper& controller, int port, py::object owner) {
    const int p = port & 0xFF;
    if (p > 1) throw py::value_error("setController: port must be 0 or 1, got " + std::to_string(port));
    with_console([&] { cpu->set_controller(&controller.controller, uint8_t(p)); });
    attached[p] = std::move(owner);  // the console reads this pad from now on: keep it alive
}

// ---------------------------------------------------------------- Views

namespace {
py::array view(py::handle owner, std::vector<py::ssize_t> shape, std::vector<py::ssize_t> strides, uint8_t* data) {
    return py::array(py::dtype::of<uint8_t>(), std::move(shape), std::move(strides), data, owner);
}
}  // namespace

py::array NESUnit::cpuMem(py::handle owner) { return view(owner, {65536}, {1}, cpu->memory); }
py::array NESUnit::ppuMem(py::handle owner) { return view(owner, {16384}, {1}, ppu->vram); }
py::array NESUnit::OAM(py::handle owner) { return view(owner, {256}, {1}, ppu->oam); }
py::array NESUnit::getImg(py::handle owner) { return view(owner, {240, 256, 3}, {768, 3, 1}, &ppu->front_image[0][0][0]); }
py::array NESUnit::color_lookup(py::handle owner) { return view(owner, {64, 3}, {3, 1}, &color_table[0][0]); }

py::list NESUnit::getAudio(bool split_channels) {
    const int count = split_channels ? 6 : 1;
    int16_t copy[6][NES::BUFFER_LEN];
    // Copied out first: the byte strings are built with no hold on the APU.
    const bool ready = apu->take_audio(copy, count);
    py::list result;
    if (!ready) {
        result.append(py::bytes());
        return result;
    }
    for (int k = 0; k < count; k++) result.append(py::bytes(reinterpret_cast<const char*>(copy[k]), sizeof copy[k]));
    return result;
}

// ---------------------------------------------------------------- Save folder and files

void NESUnit::detectOS(const char* rom_name) {
    const std::string stem = stem_of(rom_name);
    const char* home = std::getenv("HOME");
    if (!home) throw std::runtime_error("the environment variable HOME is not set; no save folder can be chosen");
    config_dir = std::string(home) + "/.config";
    sep = '/';
    std::printf("LINUX, %s\n", config_dir.c_str());
    std::fflush(stdout);
    config_dir += sep;
    config_dir += "Morvanet";
    if (!exists(config_dir)) fs::create_directory(config_dir);
    config_dir += sep;
    config_dir += stem;
    save_dir = config_dir;
    cart_dir = config_dir;
    std::puts(config_dir.c_str());
    std::fflush(stdout);
    if (!exists(config_dir)) {
        if (fs::create_directory(config_dir)) new_cart_dir = config_dir;
    } else {
        std::puts("Folder already exists. Checking for save...");
        std::fflush(stdout);
    }
}

bool NESUnit::setSaveDir(const std::string& dir) {
    if (dir.find('\0') != std::string::npos) return false;  // names nothing: the system would see a shorter path
    if (!exists(dir)) return false;
    save_dir = dir;
    return true;
}

void NESUnit::write_battery_ram() {
    const std::string path = cart_dir + sep + "ram";
    uint8_t ram[0x2000];
    with_console([&] { std::memcpy(ram, cpu->memory + 0x6000, sizeof ram); });
    ReleaseGil nogil;
    write_atomically(path, ram, sizeof ram);
}

void NESUnit::save(int slot) {
    if (save_dir.empty())
        throw std::runtime_error("saveState: this console has no save folder (it was built without a cartridge); "
                                 "choose one with setSaveDir()");
    const std::string path = save_dir + sep + std::to_string(slot);
    std::vector<uint8_t> state(STATE_SIZE);
    with_console([&] {
        console.sync();
        cpu->save_state_bytes(state.data());
    });
    ReleaseGil nogil;
    write_atomically(path, state.data(), state.size());
}

bool NESUnit::load(int slot) {
    const std::string path = save_dir + sep + std::to_string(slot);
    if (save_dir.empty() || !exists(path)) return false;
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) throw py::value_error("loadState: '" + path + "' is not a regular file");
    std::vector<uint8_t> state(STATE_SIZE + 1);
    size_t got;
    {
        FILE* f = std::fopen(path.c_str(), "rb");
        if (!f) {
            const int e = errno;
            throw NES::FileError(e, path, "cannot read '" + path + "': " + std::strerror(e));
        }
        got = std::fread(state.data(), 1, state.size(), f);
        const bool failed = std::ferror(f);
        std::fclose(f);
        if (failed) throw NES::FileError(EIO, path, "cannot read '" + path + "'");
    }
    if (got != size_t(STATE_SIZE))
        throw py::value_error("loadState: '" + path + "' is not a save state: " +
                              (got > size_t(STATE_SIZE) ? std::string("longer than") : std::to_string(got) + " bytes instead of") +
                              " " + std::to_string(STATE_SIZE) + " bytes");
    int64_t pc;
    std::memcpy(&pc, state.data() + 5, 8);
    if (pc < 0 || pc > 0xFFFF)
        throw py::value_error("loadState: '" + path + "' holds a program counter outside 0-65535 (" + std::to_string(pc) + ")");
    with_console([&] {
        console.sync();
        cpu->load_state_bytes(state.data());
    });
    return true;
}

// ---------------------------------------------------------------- Module

namespace {
// The object behind `self`. The binding library hands a method of an object
// whose __init__ never ran (or failed) a pointer to raw memory, so only
// objects that finished construction are accepted.
template <class T>
T& unit(T* self) {
    if (!is_live(self)) throw py::type_error("this object was not initialised: its __init__ did not run or failed");
    return *self;
}
}  // namespace

namespace {
// The argument of "perFrame": any callable, or None.
bool callable_or_none(PyObject* o) { return o == Py_None || PyCallable_Check(o); }
class CallbackArg : public py::object {
    PYBIND11_OBJECT_DEFAULT(CallbackArg, py::object, callable_or_none)
};

// A path argument: text, a byte string, or any object with __fspath__ (such
// as pathlib.Path), which counts as a path even if it also has "read".
bool path_like(PyObject* o) {
    if (PyUnicode_Check(o) || PyBytes_Check(o) || PyByteArray_Check(o)) return true;
    PyObject* f = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__fspath__");
    if (!f) {
        PyErr_Clear();
        return false;
    }
    const bool usable = f != Py_None;
    Py_DECREF(f);
    return usable;
}
class PathArg : public py::object {
    PYBIND11_OBJECT_DEFAULT(PathArg, py::object, path_like)
};

// The path's text as os.fspath() gives it; text is passed on as UTF-8.
std::string path_text(const PathArg& path) {
    if (PyByteArray_Check(path.ptr()))
        return std::string(PyByteArray_AS_STRING(path.ptr()), size_t(PyByteArray_GET_SIZE(path.ptr())));
    py::object text = py::reinterpret_steal<py::object>(PyOS_FSPath(path.ptr()));
    if (!text) throw py::error_already_set();
    if (PyBytes_Check(text.ptr()))
        return std::string(PyBytes_AS_STRING(text.ptr()), size_t(PyBytes_GET_SIZE(text.ptr())));
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!utf8) throw py::error_already_set();
    return std::string(utf8, size_t(size));
}
}  // namespace

namespace pybind11::detail {
template <>
struct handle_type_name<CallbackArg> {
    static constexpr auto name = const_name("collections.abc.Callable[[], None]");
};
template <>
struct handle_type_name<PathArg> {
    static constexpr auto name = const_name("str | bytes | bytearray | os.PathLike[str] | os.PathLike[bytes]");
};
}  // namespace pybind11::detail

PYBIND11_MODULE(kestrix, m) {
    // Run threads end before the interpreter starts to finalise: after that a
    // run thread that reaches for the interpreter lock (for its callback) is
    // torn down where it stands.
    py::module_::import("atexit").attr("register")(py::cpp_function([] { NESUnit::end_all_run_threads(); }));

    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const NES::FileError& e) {
            // OSError picks the matching subclass (FileNotFoundError, PermissionError, ...) from errno.
            // The path is decoded as the interpreter decodes file names: any bytes give a text.
            py::object name = py::reinterpret_steal<py::object>(
                PyUnicode_DecodeFSDefaultAndSize(e.path.data(), Py_ssize_t(e.path.size())));
            if (!name) return;  // that error stands instead
            py::object err = py::reinterpret_steal<py::object>(
                Py_BuildValue("(isO)", e.err, std::strerror(e.err), name.ptr()));
            if (err) PyErr_SetObject(PyExc_OSError, err.ptr());
        }
    });

    // Methods take the object by pointer and check it, so one whose __init__
    // never ran is refused instead of dereferenced.
    py::class_<NESUnit, std::unique_ptr<NESUnit>>(m, "NES", py::custom_type_setup([](PyHeapTypeObject* heap_type) {
        // Collectable: a per-frame callback may refer to its console.
        PyTypeObject* type = &heap_type->ht_type;
        type->tp_flags |= Py_TPFLAGS_HAVE_GC;
        type->tp_traverse = [](PyObject* self, visitproc visit, void* arg) -> int {
            Py_VISIT(Py_TYPE(self));
            if (!py::detail::is_holder_constructed(self)) return 0;
            return py::cast<NESUnit&>(py::handle(self)).traverse(visit, arg);
        };
        type->tp_clear = [](PyObject* self) -> int {
            if (py::detail::is_holder_constructed(self)) py::cast<NESUnit&>(py::handle(self)).clear_callback();
            return 0;
        };
    }))
        .def(py::init([](const PathArg& path, int clock) {
                 const std::string rom_name = path_text(path);
                 refuse_null_byte(rom_name, "NES: rom_name");
                 return std::make_unique<NESUnit>(rom_name.c_str(), clock);
             }),
             py::arg("rom_name"), py::arg("CLOCK_SPEED") = DEFAULT_CLOCK)
        .def(py::init([](int clock) { return std::make_unique<NESUnit>(clock); }), py::arg("CLOCK_SPEED") = DEFAULT_CLOCK)
        .def(py::init([](const py::object& rom_file, int clock) { return std::make_unique<NESUnit>(rom_file, clock); }),
             py::arg("rom_file"), py::arg("CLOCK_SPEED") = DEFAULT_CLOCK)
        .def("cpuMem", [](NESUnit* self) {
                 NESUnit& u = unit(self); return u.cpuMem(py::cast(&u)); })
        .def("ppuMem", [](NESUnit* self) {
                 NESUnit& u = unit(self); return u.ppuMem(py::cast(&u)); })
        .def("OAM", [](NESUnit* self) {
                 NESUnit& u = unit(self); return u.OAM(py::cast(&u)); })
        .def("getImg", [](NESUnit* self) {
                 NESUnit& u = unit(self); return u.getImg(py::cast(&u)); })
        .def("colorLookup", [](NESUnit* self) {
                 NESUnit& u = unit(self); return u.color_lookup(py::cast(&u)); })
        .def("getAudio", [](NESUnit* self, bool split) {
                 NESUnit& u = unit(self); return u.getAudio(split); }, py::arg("split_channels") = false)
        .def("start", [](NESUnit* self) {
                 NESUnit& u = unit(self); u.start(py::cast(&u).ptr()); })
        .def("stop", [](NESUnit* self) {
                 NESUnit& u = unit(self); u.stop(); })
        .def("saveState", [](NESUnit* self, int slot) {
                 NESUnit& u = unit(self); u.save(slot); })
        .def("loadState", [](NESUnit* self, int slot) {
                 NESUnit& u = unit(self); return u.load(slot); })
        .def("setPaused", [](NESUnit* self, bool pause) {
                 NESUnit& u = unit(self); u.set_pause(pause); })
        .def("setSaveDir", [](NESUnit* self, const PathArg& dir) {
                 NESUnit& u = unit(self); return u.setSaveDir(path_text(dir)); })
        .def("getSaveDir", [](NESUnit* self) {
                 NESUnit& u = unit(self); return u.getSaveDir(); })
        .def("setController",
             [](NESUnit* self, ControllerWrapper* c, int port) {
                 NESUnit& u = unit(self);
                 // None converts to a null pointer; refuse it before anything is attached.
                 if (!c) throw py::cast_error("Unable to cast None to a Controller reference");
                 u.setController(unit(c), port, py::cast(c));
             })
        .def("frameCount", [](NESUnit* self) {
                 NESUnit& u = unit(self); return u.frame_count(); })
        .def("cycleCount", [](NESUnit* self) {
                 NESUnit& u = unit(self); return u.cycle_count(); })
        .def("runFrame", [](NESUnit* self) {
                 NESUnit& u = unit(self); u.runFrame(); })
        .def("perFrame", [](NESUnit* self, const CallbackArg& f) {
                 NESUnit& u = unit(self); u.perFrame(f); });

    py::class_<ControllerWrapper, std::unique_ptr<ControllerWrapper>>(m, "Controller")
        .def(py::init<>())
        .def("updateInputs", [](ControllerWrapper* self, const py::list& inputs) {
                 ControllerWrapper& c = unit(self); c.updateInputs(inputs); });
}
