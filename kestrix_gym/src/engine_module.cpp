// kestrix_gym._engine: the environments' own consoles (see engine.h).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <memory>
#include <string>

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
}
