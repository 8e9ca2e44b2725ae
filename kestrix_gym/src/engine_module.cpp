// kestrix_gym._engine: the environments' own consoles (see engine.h).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <memory>
#include <string>

#include "batch.h"
#include "engine.h"

namespace py = pybind11;
using kestrix_gym::Console;

namespace {

// A view of console memory that keeps the console's Python object alive.
py::array view(py::handle owner, std::vector<py::ssize_t> shape, uint8_t* data) {
    std::vector<py::ssize_t> strides(shape.size(), 1);
    for (size_t k = shape.size() - 1; k-- > 0;) strides[k] = strides[k + 1] * shape[k + 1];
    return py::array(py::dtype::of<uint8_t>(), std::move(shape), std::move(strides), data, owner);
}

std::unique_ptr<Console> build(const py::buffer& image) {
    const py::buffer_info info = image.request();
    if (info.ndim != 1 || info.itemsize != 1 || info.strides[0] != 1)
        throw py::type_error("Console: the cartridge must be bytes or a contiguous byte buffer");
    try {
        return std::make_unique<Console>(static_cast<const uint8_t*>(info.ptr), size_t(info.size));
    } catch (const std::invalid_argument& e) {
        throw py::value_error(std::string("Console: ") + e.what());
    }
}

void restore(Console& c, const py::buffer& data) {
    const py::buffer_info info = data.request();
    if (info.ndim != 1 || info.itemsize != 1 || info.strides[0] != 1)
        throw py::type_error("restore: the snapshot must be bytes or a contiguous byte buffer");
    try {
        c.restore(static_cast<const uint8_t*>(info.ptr), size_t(info.size));
    } catch (const kestrix_gym::SnapshotError& e) {
        throw py::value_error(std::string("restore: ") + e.what());
    }
}

py::bytes snapshot(Console& c) {
    const std::vector<uint8_t> s = c.snapshot();
    return py::bytes(reinterpret_cast<const char*>(s.data()), s.size());
}

// A NumPy array of `dtype` and exactly `shape`, C-contiguous and writable
// when `out`: the batch step reads and writes them with the lock released.
template <class T>
T* checked(const py::handle& obj, const char* name, std::vector<py::ssize_t> shape, bool out) {
    if (!py::isinstance<py::array_t<T>>(obj))
        throw py::type_error(std::string("Batch.step: ") + name + " must be a NumPy array of " +
                             py::str(py::dtype::of<T>()).cast<std::string>());
    py::array a = py::reinterpret_borrow<py::array>(obj);
    if (!a.dtype().is(py::dtype::of<T>()) && !a.dtype().equal(py::dtype::of<T>()))
        throw py::type_error(std::string("Batch.step: ") + name + " must have dtype " +
                             py::str(py::dtype::of<T>()).cast<std::string>());
    std::vector<py::ssize_t> got(a.shape(), a.shape() + a.ndim());
    if (got != shape) {
        std::string want, have;
        for (py::ssize_t d : shape) want += (want.empty() ? "" : ", ") + std::to_string(d);
        for (py::ssize_t d : got) have += (have.empty() ? "" : ", ") + std::to_string(d);
        throw py::value_error(std::string("Batch.step: ") + name + " must have shape (" + want + "), not (" + have + ")");
    }
    if (!(a.flags() & py::array::c_style) || (out && !a.writeable()))
        throw py::value_error(std::string("Batch.step: ") + name + " must be C-contiguous" + (out ? " and writable" : ""));
    return static_cast<T*>(a.mutable_data());
}

template <class T>
std::vector<T> flat(const py::handle& obj) {
    py::array_t<T, py::array::c_style | py::array::forcecast> a = py::array_t<T, py::array::c_style | py::array::forcecast>::ensure(obj);
    if (!a) throw py::type_error("Batch: a resize plan must be an array");
    return std::vector<T>(a.data(), a.data() + a.size());
}

std::unique_ptr<kestrix_gym::Batch> build_batch(const py::buffer& image, int num_envs, int num_threads,
                                                const py::dict& rules, const py::list& start) {
    using kestrix_gym::StepRules;
    if (num_envs < 1) throw py::value_error("Batch: num_envs must be at least 1");
    if (num_threads < 1) throw py::value_error("Batch: num_threads must be at least 1");
    StepRules r;
    r.frame_skip = rules["frame_skip"].cast<int>();
    const std::string obs = rules["obs"].cast<std::string>();
    r.obs = obs == "rgb" ? StepRules::Obs::rgb : obs == "grayscale" ? StepRules::Obs::grayscale : StepRules::Obs::ram;
    if (obs != "rgb" && obs != "grayscale" && obs != "ram") throw py::value_error("Batch: obs must be rgb, grayscale or ram");
    r.max_pool = rules["max_pool"].cast<bool>();
    if (!rules["resize"].is_none()) {
        const py::tuple plans = rules["resize"].cast<py::tuple>();  // ((row index, row weight), (col index, col weight))
        const py::tuple rows = plans[0].cast<py::tuple>(), cols = plans[1].cast<py::tuple>();
        const py::array ri = rows[0].cast<py::array>(), ci = cols[0].cast<py::array>();
        if (ri.ndim() != 2 || ci.ndim() != 2) throw py::value_error("Batch: a resize plan is (k, out) arrays");
        r.row_k = int(ri.shape(0));
        r.out_h = int(ri.shape(1));
        r.col_k = int(ci.shape(0));
        r.out_w = int(ci.shape(1));
        r.row_index = flat<int32_t>(rows[0]);
        r.row_weight = flat<float>(rows[1]);
        r.col_index = flat<int32_t>(cols[0]);
        r.col_weight = flat<float>(cols[1]);
    }
    for (const py::handle v : rules["variables"].cast<py::list>()) {
        // (address, size, big_endian, format: "unsigned", "signed", "bcd" or "digits", offset)
        const py::tuple t = v.cast<py::tuple>();
        using F = kestrix_gym::Variable::Format;
        kestrix_gym::Variable var;
        const int address = t[0].cast<int>(), size = t[1].cast<int>(), offset = t[4].cast<int>();
        const std::string format = t[3].cast<std::string>();
        if (address < 0 || address + size > 0x10000 || size < 1 || size > 8 || offset < 0 || offset > 255)
            throw py::value_error("Batch: a variable must lie in $0000-$FFFF and hold 1-8 bytes");
        var.address = uint16_t(address);
        var.size = uint8_t(size);
        var.big_endian = t[2].cast<bool>();
        var.format = format == "signed" ? F::signed_ : format == "bcd" ? F::bcd : format == "digits" ? F::digits : F::unsigned_;
        var.offset = uint8_t(offset);
        r.variables.push_back(var);
    }
    for (const py::handle g : rules["gains"].cast<py::list>()) {  // (variable, weight)
        const py::tuple t = g.cast<py::tuple>();
        r.gains.push_back({t[0].cast<int>(), t[1].cast<double>()});
    }
    if (!rules["lives"].is_none()) r.lives_variable = rules["lives"].cast<int>();
    r.life_loss = rules["life_loss"].cast<bool>();
    for (const py::handle e : rules["ends"].cast<py::list>()) {  // (variable, op, value)
        using Op = kestrix_gym::StepRules::End::Op;
        const py::tuple t = e.cast<py::tuple>();
        const std::string op = t[1].cast<std::string>();
        static const std::pair<const char*, Op> OPS[] = {{"==", Op::eq}, {"!=", Op::ne}, {"<", Op::lt},
                                                          {"<=", Op::le}, {">", Op::gt}, {">=", Op::ge}};
        const auto* found = std::find_if(std::begin(OPS), std::end(OPS), [&](const auto& o) { return op == o.first; });
        if (found == std::end(OPS)) throw py::value_error("Batch: unknown comparison " + op);
        r.ends.push_back({t[0].cast<int>(), found->second, t[2].cast<int64_t>()});
    }
    const py::buffer_info info = image.request();
    std::vector<std::vector<uint8_t>> starts;
    for (const py::handle s : start) {
        const std::string snap = s.cast<py::bytes>();
        starts.emplace_back(snap.begin(), snap.end());
    }
    try {
        return std::make_unique<kestrix_gym::Batch>(static_cast<const uint8_t*>(info.ptr), size_t(info.size), num_envs,
                                                    num_threads, std::move(r), std::move(starts));
    } catch (const std::invalid_argument& e) {
        throw py::value_error(e.what());
    }
}

// Console i of the batch, with the batch held for the caller (waiting for
// it without the interpreter lock, which a running step does not need).
struct Held {
    std::unique_lock<std::mutex> lock;
    Console& console;
};
Held held(kestrix_gym::Batch& b, int i) {
    if (i < 0 || i >= b.num_envs())
        throw py::index_error("env index " + std::to_string(i) + " outside 0-" + std::to_string(b.num_envs() - 1));
    std::unique_lock<std::mutex> lock(b.in_use, std::defer_lock);
    {
        py::gil_scoped_release nogil;
        lock.lock();
    }
    return {std::move(lock), b.console(i)};
}

}  // namespace

PYBIND11_MODULE(_engine, m, py::mod_gil_not_used()) {
    m.doc() = "Consoles of the environments: quiet, file-free, with exact snapshots.";
    py::class_<Console>(m, "Console")
        .def(py::init(&build), py::arg("rom"),
             "A console powered on with the cartridge image `rom` (bytes); prints nothing and touches no file.")
        .def(
            "set_buttons",
            [](Console& c, int port, int buttons) {
                if (port != 0 && port != 1) throw py::value_error("set_buttons: port must be 0 or 1");
                if (buttons < 0 || buttons > 255) throw py::value_error("set_buttons: buttons must be 0-255");
                c.set_buttons(port, uint8_t(buttons));
            },
            py::arg("port"), py::arg("buttons"),
            "Holds buttons on a pad: bit k is A, B, Select, Start, Up, Down, Left, Right for k = 0..7.")
        .def(
            "buttons",
            [](const Console& c, int port) {
                if (port != 0 && port != 1) throw py::value_error("buttons: port must be 0 or 1");
                return int(c.buttons(port));
            },
            py::arg("port"), "The buttons held on a pad, as set_buttons() takes them.")
        .def(
            "run_frame",
            [](Console& c, int frames) {
                if (frames < 0) throw py::value_error("run_frame: frames must be at least 0");
                for (int k = 0; k < frames; k++) c.run_frame();
            },
            py::arg("frames") = 1, "Runs `frames` whole frames, as NES.runFrame() does.")
        .def("snapshot", &snapshot, "Everything that decides what the console does next, as bytes.")
        .def("restore", &restore, py::arg("data"),
             "Puts a snapshot back; ValueError (console unchanged) for another cartridge's, a truncated or "
             "a damaged one.")
        .def("cpu_memory", [](py::object self) { return view(self, {65536}, self.cast<Console&>().cpu_memory()); })
        .def("video_memory", [](py::object self) { return view(self, {16384}, self.cast<Console&>().video_memory()); })
        .def("oam", [](py::object self) { return view(self, {256}, self.cast<Console&>().oam()); })
        .def("picture", [](py::object self) { return view(self, {240, 256, 3}, self.cast<Console&>().picture()); })
        .def(
            "audio",
            [](Console& c) {
                int16_t block[1][NES::BUFFER_LEN];
                if (!c.take_audio(block, 1)) return py::bytes();
                return py::bytes(reinterpret_cast<const char*>(block), sizeof block);
            },
            "The newest completed block of mixed samples not yet taken (as NES.getAudio()), or b''.")
        .def_property_readonly("frame_count", &Console::frame_count)
        .def_property_readonly("cycle_count", &Console::cycle_count)
        .def_property_readonly("cartridge_hash", &Console::cartridge_hash)
        .def(py::pickle(
            [](Console& c) {
                const std::vector<uint8_t>& image = c.image();
                return py::make_tuple(py::bytes(reinterpret_cast<const char*>(image.data()), image.size()),
                                      snapshot(c));
            },
            [](const py::tuple& state) {
                if (state.size() != 2) throw py::value_error("Console: a pickled console is (image, snapshot)");
                std::unique_ptr<Console> c = build(state[0].cast<py::buffer>());
                restore(*c, state[1].cast<py::buffer>());
                return c;
            }));

    using kestrix_gym::Batch;
    py::class_<Batch>(m, "Batch")
        .def(py::init(&build_batch), py::arg("rom"), py::arg("num_envs"), py::arg("num_threads"), py::arg("rules"),
             py::arg("start"),
             "num_envs consoles of `rom`, reset from the snapshots `start` (a list), stepped by num_threads threads "
             "(the caller's among them) under `rules` (see kestrix_gym.vector).")
        .def(
            "close",
            [](Batch& b) {
                py::gil_scoped_release nogil;
                std::lock_guard<std::mutex> lock(b.in_use);
                b.close();
            },
            "Ends the pool's threads; the batch steps no more.")
        .def_property_readonly("num_envs", &Batch::num_envs)
        .def_property_readonly("num_threads", &Batch::num_threads)
        .def_property_readonly("obs_size", [](const Batch& b) { return b.step_rules().obs_size(); })
        .def(
            "step",
            [](Batch& b, py::handle reset, py::handle start, py::handle idle, py::handle buttons, py::handle obs,
               py::handle reward, py::handle terminated, py::handle frames, py::handle info) {
                const py::ssize_t n = b.num_envs();
                uint8_t* r = checked<uint8_t>(reset, "reset", {n}, false);
                int32_t* st = checked<int32_t>(start, "start", {n}, false);
                int32_t* idl = checked<int32_t>(idle, "idle", {n}, false);
                uint8_t* btn = checked<uint8_t>(buttons, "buttons", {n, b.step_rules().frame_skip}, false);
                py::array o = py::reinterpret_borrow<py::array>(obs);
                if (!py::isinstance<py::array_t<uint8_t>>(obs) || o.nbytes() != py::ssize_t(n * b.step_rules().obs_size()) ||
                    o.ndim() < 1 || o.shape(0) != n || !(o.flags() & py::array::c_style) || !o.writeable())
                    throw py::value_error("Batch.step: obs must be a writable C-contiguous uint8 array of " +
                                          std::to_string(n) + " observations of " +
                                          std::to_string(b.step_rules().obs_size()) + " bytes");
                double* rw = checked<double>(reward, "reward", {n}, true);
                uint8_t* t = checked<uint8_t>(terminated, "terminated", {n}, true);
                int32_t* f = checked<int32_t>(frames, "frames", {n}, true);
                int64_t* in = checked<int64_t>(info, "info", {n, py::ssize_t(2 + b.step_rules().variables.size())}, true);
                py::gil_scoped_release nogil;
                std::lock_guard<std::mutex> lock(b.in_use);
                b.step(r, st, idl, btn, static_cast<uint8_t*>(o.mutable_data()), rw, t, f, in);
            },
            py::arg("reset"), py::arg("start"), py::arg("idle"), py::arg("buttons"), py::arg("obs"), py::arg("reward"),
            py::arg("terminated"), py::arg("frames"), py::arg("info"),
            "One step of every env (or a reset where reset[i]), on the pool with the interpreter lock released.")
        .def(
            "snapshot", [](Batch& b, int i) { return snapshot(held(b, i).console); }, py::arg("index"))
        .def(
            "restore", [](Batch& b, int i, const py::buffer& data) { restore(held(b, i).console, data); },
            py::arg("index"), py::arg("data"))
        .def(
            "buttons", [](Batch& b, int i) { return int(held(b, i).console.buttons(0)); }, py::arg("index"))
        .def(
            "cpu_memory",
            [](py::object self, int i) { return view(self, {65536}, held(self.cast<Batch&>(), i).console.cpu_memory()); },
            py::arg("index"), "A view of env i's CPU memory (read it between steps).");
}
