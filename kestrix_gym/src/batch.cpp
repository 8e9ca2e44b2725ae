#include "batch.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <stdexcept>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace kestrix_gym {

namespace {
constexpr int H = 240, W = 256;
constexpr size_t PICTURE = size_t(H) * W * 3;
constexpr size_t RAM = 0x800;
}  // namespace

int64_t Variable::read(const uint8_t* memory) const {
    uint64_t value = 0;
    for (int k = 0; k < size; k++) {  // most significant byte first
        const uint8_t b = memory[uint16_t(address + (big_endian ? k : size - 1 - k))];
        switch (format) {
            case Format::bcd: value = value * 100 + (b >> 4) * 10 + (b & 15); break;
            case Format::digits: {
                const uint8_t d = uint8_t(b - offset);
                value = value * 10 + (d < 10 ? d : 0);
                break;
            }
            default: value = value << 8 | b;
        }
    }
    if (format == Format::signed_ && size < 8 && value >> (8 * size - 1)) value -= uint64_t(1) << (8 * size);
    return int64_t(value);  // two's complement: a signed 8-byte value too
}

bool StepRules::End::holds(int64_t v) const {
    switch (op) {
        case Op::eq: return v == value;
        case Op::ne: return v != value;
        case Op::lt: return v < value;
        case Op::le: return v <= value;
        case Op::gt: return v > value;
        default: return v >= value;
    }
}

size_t StepRules::obs_size() const {
    if (obs == Obs::ram) return RAM;
    return size_t(out_h) * size_t(out_w) * (obs == Obs::rgb ? 3 : 1);
}

Batch::Batch(const uint8_t* image, size_t size, int num_envs, int num_threads, StepRules r,
             std::vector<std::vector<uint8_t>> start_states)
    : rules(std::move(r)), starts(std::move(start_states)) {
    if (starts.empty()) throw std::invalid_argument("Batch: no start snapshot");
    const bool resized = rules.row_k > 0;
    if (resized && (rules.row_index.size() != size_t(rules.row_k) * rules.out_h ||
                    rules.row_weight.size() != rules.row_index.size() ||
                    rules.col_index.size() != size_t(rules.col_k) * rules.out_w ||
                    rules.col_weight.size() != rules.col_index.size() || rules.col_k < 1))
        throw std::invalid_argument("Batch: the resize plans do not match the output size");
    for (int32_t i : rules.row_index)
        if (i < 0 || i >= H) throw std::invalid_argument("Batch: a resize row index lies outside the picture");
    for (int32_t i : rules.col_index)
        if (i < 0 || i >= W) throw std::invalid_argument("Batch: a resize column index lies outside the picture");
    if (!resized && rules.obs != StepRules::Obs::ram && (rules.out_h != H || rules.out_w != W))
        throw std::invalid_argument("Batch: an output size other than 240x256 needs resize plans");
    const int n_vars = int(rules.variables.size());
    bool named = rules.lives_variable < n_vars && (!rules.life_loss || rules.lives_variable >= 0);
    for (const StepRules::Gain& g : rules.gains) named = named && g.variable >= 0 && g.variable < n_vars;
    for (const StepRules::End& e : rules.ends) named = named && e.variable >= 0 && e.variable < n_vars;
    if (!named || rules.gains.size() > StepRules::MAX_GAINS)
        throw std::invalid_argument("Batch: the reward, the episode end or the lives name no variable (or too many)");
    if (rules.frame_skip < 1) throw std::invalid_argument("Batch: frame_skip must be at least 1");
    const int channels = rules.obs == StepRules::Obs::rgb ? 3 : 1;
    for (int i = 0; i < num_envs; i++) {
        auto e = std::make_unique<Env>(image, size);
        for (const std::vector<uint8_t>& s : starts) e->console.restore(s.data(), s.size());  // each checked once
        if (rules.max_pool) e->pictures.resize(3 * PICTURE);  // two frames and their maximum
        if (resized) e->scratch.resize(size_t(rules.out_h) * W * channels);
        envs.push_back(std::move(e));
    }
    spin = unsigned(num_threads) <= std::max(1u, std::thread::hardware_concurrency());
    for (int t = 1; t < num_threads; t++) workers.emplace_back([this] { worker_loop(); });
}

Batch::~Batch() { close(); }

void Batch::close() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    wake.notify_all();
    for (std::thread& t : workers) t.join();
    workers.clear();
}

namespace {

// Calls ready() until it holds or about `micros` have passed; true if it held.
template <class Ready>
bool spin_until(Ready ready, int micros) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(micros);
    for (;;) {
        for (int k = 0; k < 64; k++) {
            if (ready()) return true;
#if defined(__x86_64__) || defined(__i386__)
            _mm_pause();
#endif
        }
        if (std::chrono::steady_clock::now() > until) return ready();
    }
}

constexpr int SPIN_MICROS = 300;  // a few times a step's hand-over from the scripting side

}  // namespace

void Batch::step(const uint8_t* reset, const int32_t* start, const int32_t* idle, const uint8_t* buttons,
                 uint8_t* obs, double* reward, uint8_t* terminated, int32_t* frames, int64_t* info) {
    if (stopping) throw std::logic_error("the batch is closed");
    for (int i = 0; i < num_envs(); i++)
        if (reset[i] && (start[i] < 0 || start[i] >= num_starts() || idle[i] < 0))
            throw std::invalid_argument("Batch.step: a reset names no start snapshot or negative idle frames");
    job = {reset, start, idle, buttons, obs, reward, terminated, frames, info};
    next_env.store(0, std::memory_order_relaxed);
    {
        std::lock_guard<std::mutex> lock(mutex);
        failure = nullptr;
        busy.store(int(workers.size()));
        generation.fetch_add(1);  // publishes the job to spinning workers too
    }
    wake.notify_all();
    work();  // the calling thread is one of the pool
    const auto finished = [this] { return busy.load() == 0; };
    if (!spin || !spin_until(finished, SPIN_MICROS)) {
        std::unique_lock<std::mutex> lock(mutex);
        done.wait(lock, finished);
    }
    std::lock_guard<std::mutex> lock(mutex);
    if (failure) std::rethrow_exception(failure);
}

void Batch::worker_loop() {
    uint64_t seen = 0;
    for (;;) {
        const auto called = [&] { return stopping.load() || generation.load() != seen; };
        if (!spin || !spin_until(called, SPIN_MICROS)) {
            std::unique_lock<std::mutex> lock(mutex);
            wake.wait(lock, called);
        }
        if (stopping.load()) return;
        seen = generation.load();
        work();
        if (busy.fetch_sub(1) == 1) {
            std::lock_guard<std::mutex> lock(mutex);  // so a sleeping caller cannot miss it
            done.notify_one();
        }
    }
}

void Batch::work() {
    const int n = num_envs();
    for (int i; (i = next_env.fetch_add(1, std::memory_order_relaxed)) < n;) {
        try {
            run_env(i);
        } catch (...) {
            std::lock_guard<std::mutex> lock(mutex);
            if (!failure) failure = std::current_exception();
        }
    }
}

// NESEnv.reset() and NESEnv.step() for the declarative rules; the Python env
// and tests/test_vector.py hold the two equal.
void Batch::run_env(int i) {
    Env& e = *envs[size_t(i)];
    Console& c = e.console;
    const uint8_t* const memory = c.cpu_memory();
    uint8_t* const pictures = e.pictures.data();
    double total = 0.0;
    bool ended = false;
    int32_t ran = 0;
    if (job.reset[i]) {
        const std::vector<uint8_t>& start = starts[size_t(job.start[i])];
        c.restore(start.data(), start.size());
        c.set_buttons(0, 0);
        e.episode_frames = 0;
        for (int f = 0; f <= job.idle[i]; f++, e.episode_frames++) c.run_frame();
        if (rules.lives_variable >= 0) e.lives = rules.variables[size_t(rules.lives_variable)].read(memory);
        if (rules.max_pool) {
            std::memcpy(pictures, c.picture(), PICTURE);
            std::memcpy(pictures + PICTURE, c.picture(), PICTURE);
        }
    } else {
        const Variable* const lives = rules.lives_variable >= 0 ? &rules.variables[size_t(rules.lives_variable)] : nullptr;
        for (int f = 0; f < rules.frame_skip; f++) {
            c.set_buttons(0, job.buttons[size_t(i) * size_t(rules.frame_skip) + size_t(f)]);
            int64_t before[StepRules::MAX_GAINS];
            for (size_t g = 0; g < rules.gains.size(); g++) before[g] = rules.variables[size_t(rules.gains[g].variable)].read(memory);
            c.run_frame();
            e.episode_frames++;
            ran++;
            if (!rules.gains.empty()) {
                double frame = 0.0;  // summed as Python's sum() does, term by term from 0
                for (size_t g = 0; g < rules.gains.size(); g++) {
                    const StepRules::Gain& gain = rules.gains[g];
                    frame += gain.weight * double(rules.variables[size_t(gain.variable)].read(memory) - before[g]);
                }
                total += frame;
            }
            if (rules.max_pool) std::memcpy(pictures + size_t(e.episode_frames % 2) * PICTURE, c.picture(), PICTURE);
            bool lost = false;
            if (lives) {
                const int64_t now = lives->read(memory);
                lost = rules.life_loss && now < e.lives;
                e.lives = now;
            }
            for (const StepRules::End& end : rules.ends) lost = lost || end.holds(rules.variables[size_t(end.variable)].read(memory));
            if (lost) {
                ended = true;
                break;
            }
        }
    }
    observe(e, job.obs + size_t(i) * rules.obs_size());
    job.reward[i] = total;
    job.terminated[i] = ended;
    job.frames[i] = ran;
    int64_t* const out = job.info + size_t(i) * (2 + rules.variables.size());
    out[0] = e.episode_frames;
    out[1] = int64_t(c.frame_count());
    for (size_t v = 0; v < rules.variables.size(); v++) out[2 + v] = rules.variables[v].read(memory);
}

// NESEnv._observe() in C++: the same integer luma, the same float32 products
// and sums in the same order, rounded half to even, so the bytes are equal.
void Batch::observe(Env& e, uint8_t* out) {
    if (rules.obs == StepRules::Obs::ram) {
        std::memcpy(out, e.console.cpu_memory(), RAM);
        return;
    }
    const uint8_t* img = e.console.picture();
    if (rules.max_pool) {
        uint8_t* const pooled = e.pictures.data() + 2 * PICTURE;
        for (size_t k = 0; k < PICTURE; k++) pooled[k] = std::max(e.pictures[k], e.pictures[PICTURE + k]);
        img = pooled;
    }
    const bool grey = rules.obs == StepRules::Obs::grayscale;
    const int ch = grey ? 1 : 3;
    auto luma = [](const uint8_t* p) { return uint16_t(p[0] * 77 + p[1] * 150 + p[2] * 29); };
    if (rules.row_k == 0) {
        if (!grey) {
            std::memcpy(out, img, PICTURE);
            return;
        }
        for (size_t k = 0; k < size_t(H) * W; k++) out[k] = uint8_t((luma(img + 3 * k) + 128) >> 8);
        return;
    }
    // Rows first: each output row is the weighted sum of k source rows.
    float* const rows = e.scratch.data();
    const int oh = rules.out_h, ow = rules.out_w;
    for (int r = 0; r < oh; r++) {
        float* const dst = rows + size_t(r) * W * ch;
        for (int k = 0; k < rules.row_k; k++) {
            const int src = rules.row_index[size_t(k) * oh + r];
            const float w = rules.row_weight[size_t(k) * oh + r];
            const uint8_t* const line = img + size_t(src) * W * 3;
            for (int x = 0; x < W; x++)
                for (int c = 0; c < ch; c++) {
                    const float v = grey ? float(luma(line + 3 * x)) * (1.0f / 256) : float(line[3 * x + c]);
                    float& d = dst[x * ch + c];
                    d = k == 0 ? v * w : d + v * w;
                }
        }
    }
    // Then columns, each output cell rounded half to even and clipped.
    for (int r = 0; r < oh; r++) {
        const float* const src = rows + size_t(r) * W * ch;
        uint8_t* const dst = out + size_t(r) * ow * ch;
        for (int j = 0; j < ow; j++)
            for (int c = 0; c < ch; c++) {
                float acc = 0.0f;
                for (int k = 0; k < rules.col_k; k++) {
                    const float term = src[rules.col_index[size_t(k) * ow + j] * ch + c] * rules.col_weight[size_t(k) * ow + j];
                    acc = k == 0 ? term : acc + term;
                }
                const float rounded = std::nearbyint(acc);
                dst[j * ch + c] = uint8_t(rounded < 0.0f ? 0.0f : rounded > 255.0f ? 255.0f : rounded);
            }
    }
}

}  // namespace kestrix_gym
