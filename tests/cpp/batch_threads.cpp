// The engine's batch step on its thread pool (4 envs on 2 threads), with
// resets, and snapshots taken and restored from another thread between
// steps, as the scripting side does under the batch's lock. Built with
// ThreadSanitizer (KESTRIX_TSAN) it shows that the pool shares nothing
// unsafely; in any build, envs given the same buttons must stay identical.
//
// Usage: batch_threads CARTRIDGE [steps]
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "batch.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: batch_threads CARTRIDGE [steps]\n");
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    const std::vector<uint8_t> rom((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (rom.empty()) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 2;
    }
    const int steps = argc > 2 ? std::atoi(argv[2]) : 200;
    constexpr int N = 4;

    kestrix_gym::Console first(rom.data(), rom.size());
    first.run_frame();
    kestrix_gym::StepRules rules;
    rules.obs = kestrix_gym::StepRules::Obs::grayscale;
    rules.max_pool = true;
    using Format = kestrix_gym::Variable::Format;
    rules.variables = {{0x00, 1, false, Format::unsigned_, 0}, {0x03, 2, false, Format::bcd, 0}};
    rules.gains = {{1, 1.0}};
    rules.ends = {{0, kestrix_gym::StepRules::End::Op::eq, 2}};
    kestrix_gym::Batch batch(rom.data(), rom.size(), N, 2, rules, {first.snapshot()});

    const size_t obs_size = rules.obs_size();
    std::vector<uint8_t> obs(N * obs_size), reset(N, 1), buttons(N * rules.frame_skip);
    std::vector<int32_t> start(N, 0), idle(N, 3), frames(N);
    std::vector<double> reward(N);
    std::vector<uint8_t> ended(N);
    std::vector<int64_t> info(N * 4);

    // Snapshots of env 3 from another thread, put back into env 2 at once:
    // both held the same state, so nothing observable changes.
    // One snapshot per step at most: the lock is not fair, and a thread that
    // takes it again at once could keep the stepping thread waiting.
    std::atomic<bool> stop{false};
    std::atomic<int> restored{0}, stepped{0};
    std::thread other([&] {
        for (int seen = 0; !stop;) {
            if (stepped.load() == seen) {
                std::this_thread::yield();
                continue;
            }
            seen = stepped.load();
            std::lock_guard<std::mutex> lock(batch.in_use);
            const std::vector<uint8_t> snap = batch.console(3).snapshot();
            batch.console(2).restore(snap.data(), snap.size());
            restored++;
        }
    });

    int failures = 0;
    unsigned seed = 1;
    for (int s = 0; s < steps; s++) {
        // The same buttons for every env.
        for (int f = 0; f < rules.frame_skip; f++) buttons[f] = uint8_t((seed = seed * 1103515245u + 12345u) >> 24);
        for (int i = 1; i < N; i++)
            std::memcpy(buttons.data() + i * rules.frame_skip, buttons.data(), size_t(rules.frame_skip));
        for (int i = 0; i < N; i++) reset[i] = s == 0 || s % 50 == 0;
        {
            std::lock_guard<std::mutex> lock(batch.in_use);
            batch.step(reset.data(), start.data(), idle.data(), buttons.data(), obs.data(),
                       reward.data(), ended.data(), frames.data(), info.data());
        }
        stepped++;
        for (int i = 1; i < N; i++)
            if (std::memcmp(obs.data(), obs.data() + i * obs_size, obs_size) != 0 || info[0] != info[i * 4]) {
                std::fprintf(stderr, "step %d: env %d differs from env 0\n", s, i);
                failures++;
            }
    }
    stop = true;
    other.join();
    std::printf("batch_threads: %d steps of %d envs on %d threads, %d snapshots restored, %d failures\n", steps, N,
                batch.num_threads(), restored.load(), failures);
    batch.close();
    return failures ? 1 : 0;
}
