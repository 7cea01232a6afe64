// Caller-side cost of Log::write: 100,000 writes from 4 threads while the writer thread
// is busy with the lines queued before them. Prints the median and 99th percentile.
#include "platform/Log.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

int main()
{
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("talvane-bench-log-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    constexpr int threads = 4, perThread = 25'000;
    std::vector<std::vector<double>> costs(threads);
    {
        Log::Writer writer(dir);
        // Keep the writer busy before measuring.
        for (int i = 0; i < 20'000; ++i)
            writer.write("INFO", "warm-up line " + std::to_string(i));
        std::vector<std::thread> workers;
        for (int t = 0; t < threads; ++t) {
            workers.emplace_back([&, t] {
                costs[t].reserve(perThread);
                const std::string message = "TranscriptionEngine: transcribed 4.2 s in 812 ms, 57 chars";
                for (int i = 0; i < perThread; ++i) {
                    const auto start = std::chrono::steady_clock::now();
                    writer.write("INFO", message);
                    costs[t].push_back(
                        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
                }
            });
        }
        for (auto &w : workers)
            w.join();
        const auto start = std::chrono::steady_clock::now();
        writer.flush();
        std::printf("writer drained the rest in %.0f ms\n",
                    std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::vector<double> all;
    for (auto &c : costs)
        all.insert(all.end(), c.begin(), c.end());
    std::sort(all.begin(), all.end());
    auto at = [&](double q) { return all[static_cast<size_t>(q * (all.size() - 1))]; };
    std::printf("Log::write caller cost over %zu writes from %d threads: median %.2f us, p99 %.2f us, max %.1f us\n",
                all.size(), threads, at(0.5), at(0.99), all.back());
    fs::remove_all(dir);
    return 0;
}
