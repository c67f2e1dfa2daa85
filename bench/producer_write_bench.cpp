// Times vaskel_producer_write with timeout 0, the call an audio callback makes, per chunk:
//
//     vaskel_bench_write [--rounds N]
//
// For each chunk shape the ring starts empty, one call publishes a whole ring's worth (every
// chunk a full slot copy plus the index stores), and the time is divided by the chunks. Between
// rounds an attached mapping hands every slot back, outside the timing, so the figure is the
// producer's own cost without a consumer competing for the cache lines. A second figure is the
// call that meets a full ring and returns at once. Prints one line per shape.
#include "transport/transport_mapping.h"
#include "vaskel/producer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double percentile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1));
    return values[index];
}

bool measure(std::uint32_t framesPerChunk, std::uint32_t channels, int rounds) {
    constexpr std::uint32_t kSlots = 64;
    vaskel_config config{};
    config.stream_count = 1;
    config.slots_per_stream = kSlots;
    config.frames_per_chunk = framesPerChunk;
    config.channel_count = channels;
    config.sample_rate = 48000;
    const std::string name = "vaskel-bench-write-" + std::to_string(::getpid());
    vaskel_producer* producer = nullptr;
    if (vaskel_producer_create(name.c_str(), &config, &producer) != VASKEL_OK) {
        std::fprintf(stderr, "vaskel_bench_write: cannot create the region\n");
        return false;
    }
    vaskel::transport::TransportMapping mapping;
    if (!mapping.attach(name)) {
        std::fprintf(stderr, "vaskel_bench_write: cannot attach\n");
        vaskel_producer_destroy(producer);
        return false;
    }
    vaskel::transport::StreamControlBlock& block =
        vaskel::transport::controlBlockAt(mapping.view(), 0);
    const std::uint64_t frames = std::uint64_t{framesPerChunk} * kSlots;
    std::vector<float> samples(frames * channels, 0.25f);

    std::vector<double> perChunkNs;
    std::vector<double> fullRingNs;
    bool ok = true;
    for (int round = 0; round < rounds && ok; ++round) {
        std::uint64_t written = 0;
        const auto start = Clock::now();
        const int status = vaskel_producer_write(producer, 0, samples.data(), frames, 0, &written);
        const auto filled = Clock::now();
        const int refused = vaskel_producer_write(producer, 0, samples.data(), 1, 0, nullptr);
        const auto end = Clock::now();
        ok = status == VASKEL_OK && written == frames && refused == VASKEL_ERROR_TIMEOUT;
        perChunkNs.push_back(std::chrono::duration<double, std::nano>(filled - start).count() /
                             kSlots);
        fullRingNs.push_back(std::chrono::duration<double, std::nano>(end - filled).count());
        // The consumer's part, untimed: every slot back.
        vaskel::transport::storeReadIndex(block, vaskel::transport::loadWriteIndex(block));
    }
    vaskel_producer_destroy(producer);
    if (!ok) {
        std::fprintf(stderr, "vaskel_bench_write: a write did not behave\n");
        return false;
    }
    std::printf("mode=write_timeout0 frames_per_chunk=%u channels=%u chunk_bytes=%u rounds=%d "
                "chunk_p50_ns=%.0f chunk_p99_ns=%.0f chunk_gb_s=%.2f full_ring_p50_ns=%.0f "
                "full_ring_p99_ns=%.0f\n",
                framesPerChunk, channels, framesPerChunk * channels * 4, rounds,
                percentile(perChunkNs, 0.5), percentile(perChunkNs, 0.99),
                framesPerChunk * channels * 4.0 / percentile(perChunkNs, 0.5),
                percentile(fullRingNs, 0.5), percentile(fullRingNs, 0.99));
    return true;
}

} // namespace

int main(int argc, char** argv) {
    int rounds = 2000;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--rounds" && i + 1 < argc) {
            rounds = std::max(1, std::atoi(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: vaskel_bench_write [--rounds N]\n");
            return 2;
        }
    }
    bool ok = true;
    for (const auto& [frames, channels] : {std::pair{2048u, 2u}, {512u, 2u}, {64u, 1u}}) {
        ok = measure(frames, channels, rounds) && ok;
    }
    return ok ? 0 : 1;
}
