// Runs one contender once and prints its figures as one line of key=value pairs, for
// bench/bench.py to collect:
//
//     vaskel_bench <renderer|plain|sndfile|sox|ffmpeg|latency|writelatency> --streams N --chunks C
//     --out DIR
//                  [--frames F] [--renderer PATH] [--slots S] [--wrap "valgrind ..."]
//                  [--sample-rss] [--cold-region] [--verify] [--keep] [--no-peak]
//                  [--cold-source-mib M]
//                  [--samples K] [--warmup W] [--spacing-us U]
//
// The output directory is removed afterwards unless --keep is given.
#include "bench_support.h"
#include "output/output_paths.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace vaskel::bench;

struct Arguments {
    std::string mode;
    Workload workload;
    fs::path out;
    fs::path renderer;
    std::uint32_t slots = 32;
    std::vector<std::string> wrapper;
    bool sampleResident = false;
    bool warmRegion = true;
    bool verify = false;
    bool keep = false;
    bool peakChunk = true;
    std::uint64_t coldSourceBytes = 0;
    std::uint64_t samples = 10000;
    std::uint64_t warmup = 200;
    std::int64_t spacingUs = 500;
};

[[noreturn]] void usage(const std::string& problem) {
    std::cerr << "vaskel_bench: " << problem << "\n"
              << "usage: vaskel_bench <renderer|plain|sndfile|sox|ffmpeg|latency|writelatency> "
                 "--streams N "
                 "--chunks C --out DIR [options]\n";
    std::exit(2);
}

std::vector<std::string> splitWords(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;) {
        words.push_back(word);
    }
    return words;
}

Arguments parse(int argc, char** argv) {
    if (argc < 2) {
        usage("no mode");
    }
    Arguments args;
    args.mode = argv[1];
    for (int i = 2; i < argc; ++i) {
        const std::string flag = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                usage(flag + " needs a value");
            }
            return argv[++i];
        };
        auto number = [&]() { return std::stoull(value()); };
        if (flag == "--streams") {
            args.workload.streams = static_cast<std::uint32_t>(number());
        } else if (flag == "--chunks") {
            args.workload.chunksPerStream = number();
        } else if (flag == "--frames") {
            args.workload.framesPerChunk = static_cast<std::uint32_t>(number());
        } else if (flag == "--out") {
            args.out = value();
        } else if (flag == "--renderer") {
            args.renderer = value();
        } else if (flag == "--slots") {
            args.slots = static_cast<std::uint32_t>(number());
        } else if (flag == "--wrap") {
            args.wrapper = splitWords(value());
        } else if (flag == "--sample-rss") {
            args.sampleResident = true;
        } else if (flag == "--cold-region") {
            args.warmRegion = false;
        } else if (flag == "--verify") {
            args.verify = true;
        } else if (flag == "--keep") {
            args.keep = true;
        } else if (flag == "--cold-source-mib") {
            args.coldSourceBytes = number() << 20;
        } else if (flag == "--no-peak") {
            args.peakChunk = false;
        } else if (flag == "--samples") {
            args.samples = number();
        } else if (flag == "--warmup") {
            args.warmup = number();
        } else if (flag == "--spacing-us") {
            args.spacingUs = static_cast<std::int64_t>(number());
        } else {
            usage("unknown option " + flag);
        }
    }
    if (args.out.empty()) {
        usage("--out is required");
    }
    if ((args.mode == "renderer" || args.mode == "latency") && args.renderer.empty()) {
        usage("--renderer is required");
    }
    return args;
}

void printRun(const Arguments& args, const RunFigures& run) {
    const Workload& w = args.workload;
    const double cpu = run.cpuUserS + run.cpuSysS;
    std::printf("mode=%s streams=%u chunks=%llu bytes=%llu wall_s=%.6f mb_s=%.1f rtf=%.1f "
                "cpu_user_s=%.6f cpu_sys_s=%.6f cpu_ms_per_audio_s=%.4f ok=%d",
                args.mode.c_str(), w.streams, static_cast<unsigned long long>(w.chunksPerStream),
                static_cast<unsigned long long>(w.totalDataBytes()), run.wallS,
                static_cast<double>(w.totalDataBytes()) / run.wallS / 1e6,
                w.audioSeconds() / run.wallS, run.cpuUserS, run.cpuSysS,
                cpu * 1000.0 / w.audioSeconds(), run.ok ? 1 : 0);
}

bool verifyFiles(const Arguments& args, const SourceAudio& audio) {
    for (std::uint32_t s = 0; s < args.workload.streams; ++s) {
        const fs::path path = vaskel::streamFilePath(args.out, s);
        if (!holdsExpectedWav(path, args.workload, audio, s)) {
            std::fprintf(stderr, "vaskel_bench: %s differs from the expected bytes\n",
                         path.c_str());
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    const Arguments args = parse(argc, argv);
    fs::remove_all(args.out);
    const SourceAudio audio(args.workload);
    bool ok = false;
    std::string error;

    if (args.mode == "latency" || args.mode == "writelatency") {
        LatencyOptions options;
        options.renderer = args.renderer;
        options.wrapper = args.wrapper;
        options.samples = args.samples;
        options.warmup = args.warmup;
        options.spacingNs = args.spacingUs * 1000;
        const LatencyFigures figures =
            args.mode == "latency" ? runLatency(args.workload, audio, args.out, options)
                                   : runWriteLatency(args.workload, audio, args.out, options);
        ok = figures.ok;
        error = figures.error;
        std::printf("mode=%s streams=%u samples=%zu p50_ns=%.0f p99_ns=%.0f p999_ns=%.0f "
                    "max_ns=%.0f ok=%d\n",
                    args.mode.c_str(), args.workload.streams, figures.latencyNs.size(),
                    percentile(figures.latencyNs, 50), percentile(figures.latencyNs, 99),
                    percentile(figures.latencyNs, 99.9), percentile(figures.latencyNs, 100),
                    ok ? 1 : 0);
    } else {
        RunFigures run;
        RendererFigures rendered;
        if (args.mode == "renderer") {
            RendererOptions options;
            options.renderer = args.renderer;
            options.wrapper = args.wrapper;
            options.slotsPerStream = args.slots;
            options.sampleResident = args.sampleResident;
            options.warmRegion = args.warmRegion;
            rendered = runRenderer(args.workload, audio, args.out, options);
            run = rendered.run;
        } else if (args.mode == "plain") {
            run = runPlainWriter(args.workload, audio, args.out, args.coldSourceBytes);
        } else if (args.mode == "sndfile") {
            run = runSndfile(args.workload, audio, args.out, args.peakChunk);
        } else if (args.mode == "sox") {
            run = runPipes(args.workload, audio, args.out, PipeTool::Sox);
        } else if (args.mode == "ffmpeg") {
            run = runPipes(args.workload, audio, args.out, PipeTool::Ffmpeg);
        } else {
            usage("unknown mode " + args.mode);
        }
        ok = run.ok;
        error = run.error;
        printRun(args, run);
        if (args.mode == "renderer") {
            std::printf(" producer_cpu_s=%.6f", rendered.producerCpuS);
            if (args.sampleResident) {
                std::printf(" rss_anon_kb=%llu rss_file_kb=%llu rss_shmem_kb=%llu rss_samples=%llu",
                            static_cast<unsigned long long>(rendered.peakResident.anon),
                            static_cast<unsigned long long>(rendered.peakResident.file),
                            static_cast<unsigned long long>(rendered.peakResident.shmem),
                            static_cast<unsigned long long>(rendered.residentSamples));
            }
        }
        if (ok && args.verify) {
            const bool verified = verifyFiles(args, audio);
            std::printf(" verified=%d", verified ? 1 : 0);
            ok = verified;
        }
        std::printf("\n");
    }
    if (!error.empty()) {
        std::fprintf(stderr, "vaskel_bench %s: %s\n", args.mode.c_str(), error.c_str());
    }
    if (!args.keep) {
        std::error_code ignored;
        fs::remove_all(args.out, ignored);
    }
    return ok ? 0 : 1;
}
