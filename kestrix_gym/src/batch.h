#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "engine.h"

namespace kestrix_gym {

// A number in CPU memory (RamVariable): `size` bytes from `address`, least
// significant first unless `big_endian`; unsigned, signed, packed BCD, or
// one decimal digit per byte less `offset` (anything but 0-9 counting 0).
struct Variable {
    enum class Format : uint8_t { unsigned_, signed_, bcd, digits };
    uint16_t address = 0;
    uint8_t size = 1;
    bool big_endian = false;
    Format format = Format::unsigned_;
    uint8_t offset = 0;
    int64_t read(const uint8_t* memory) const;
};

// What a step of an env does besides running frames, as NESEnv does it.
struct StepRules {
    int frame_skip = 4;
    enum class Obs : uint8_t { rgb, grayscale, ram } obs = Obs::rgb;
    bool max_pool = false;
    // Area averaging (NESEnv's area_plan): per output row and column, `k`
    // source indices and float32 weights, laid out [k][out]. Empty: no resize.
    int out_h = 240, out_w = 256, row_k = 0, col_k = 0;
    std::vector<int32_t> row_index, col_index;
    std::vector<float> row_weight, col_weight;
    std::vector<Variable> variables;
    // Reward per frame: the sum of weight times each variable's growth (Changes).
    struct Gain {
        int variable;
        double weight;
    };
    static constexpr size_t MAX_GAINS = 16;
    std::vector<Gain> gains;
    // Terminated after a frame in which any condition holds (AnyOf of Reaches).
    struct End {
        int variable;
        enum class Op : uint8_t { eq, ne, lt, le, gt, ge } op;
        int64_t value;
        bool holds(int64_t v) const;
    };
    std::vector<End> ends;
    int lives_variable = -1;  // with life_loss, terminated: the variable dropped during a frame
    bool life_loss = false;

    size_t obs_size() const;
};

// N consoles of one cartridge stepped together by a pool of threads, each
// step writing every env's observation into one batch array. The consoles
// start from one snapshot; a reset restores it and runs idle frames.
class Batch {
public:
    // Each reset restores one of the `starts` (snapshots), the one the step names.
    Batch(const uint8_t* image, size_t size, int num_envs, int num_threads, StepRules rules,
          std::vector<std::vector<uint8_t>> starts);
    ~Batch();
    // Ends the pool's threads (also done when the batch is destroyed); a
    // step after it throws std::logic_error.
    void close();
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;

    // One vector step. For env i: when reset[i], a reset from starts[start[i]]
    // with idle[i] idle frames after the first; otherwise the frames of a step, buttons[i *
    // frame_skip + f] held in frame f. Writes obs (num_envs * obs_size()
    // bytes), and per env the reward, whether it terminated, the frames run
    // and, in info[i * (2 + V)], the episode's frame count, the console's,
    // then the V variables. Runs on the pool; rethrows the first failure of
    // any env.
    void step(const uint8_t* reset, const int32_t* start, const int32_t* idle, const uint8_t* buttons, uint8_t* obs,
              double* reward, uint8_t* terminated, int32_t* frames, int64_t* info);
    int num_starts() const { return int(starts.size()); }

    int num_envs() const { return int(envs.size()); }
    int num_threads() const { return int(workers.size()) + 1; }
    const StepRules& step_rules() const { return rules; }
    Console& console(int i) { return envs[size_t(i)]->console; }
    // The frames since the env's reset (a restored snapshot leaves it: it is the env's own).
    int64_t episode_frames(int i) const { return envs[size_t(i)]->episode_frames; }
    // Held by the scripting side around each call that steps, reads or
    // replaces consoles, so two callers never overlap.
    std::mutex in_use;

private:
    struct Env {
        Console console;
        int64_t episode_frames = 0;
        int64_t lives = 0;  // the lives variable after the last frame
        std::vector<uint8_t> pictures;  // the last two frames, for max-pooling
        std::vector<float> scratch;     // the resize's intermediate rows
        Env(const uint8_t* image, size_t size) : console(image, size) {}
    };
    StepRules rules;
    std::vector<std::vector<uint8_t>> starts;
    std::vector<std::unique_ptr<Env>> envs;

    // The job of the current step, read by every thread.
    struct Job {
        const uint8_t* reset;
        const int32_t* start;
        const int32_t* idle;
        const uint8_t* buttons;
        uint8_t* obs;
        double* reward;
        uint8_t* terminated;
        int32_t* frames;
        int64_t* info;
    } job{};
    std::atomic<int> next_env{0};
    // Threads spin a little before they sleep: a step's hand-over then costs
    // no wake-up (tens of microseconds here, a tenth of a 2-env step). Only
    // when every thread has a core of its own, or spinning steals from work.
    bool spin = false;
    std::mutex mutex;  // with the two below, for threads that sleep
    std::condition_variable wake, done;
    std::atomic<uint64_t> generation{0};  // counts steps; a worker runs each once; changed under mutex
    std::atomic<int> busy{0};             // workers still in the current step
    std::atomic<bool> stopping{false};    // changed under mutex
    std::exception_ptr failure;
    std::vector<std::thread> workers;

    void work();              // takes envs of the current job until none is left
    void run_env(int i);
    void observe(Env& e, uint8_t* out);
    void worker_loop();
};

}  // namespace kestrix_gym
