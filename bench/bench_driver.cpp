// Runs one contender once and prints its figures as one line of key=value pairs, for
// bench/bench.py to collect:
//
//     vaskel_bench <renderer|plain|direct|sndfile|sox|ffmpeg|latency|writelatency> --streams N
//     --chunks C --out DIR
//                  [--frames F] [--renderer PATH] [--slots S] [--wrap "valgrind ..."]
//                  [--sample-rss] [--cold-region] [--verify] [--keep] [--no-peak]
//                  [--cold-source-mib M] [--sync] [--writeback-kib K|auto] [--cache-left]
//                  [--burst-us B] [--pace X] [--max-seconds T]
//                  [--samples K] [--warmup W] [--spacing-us U]
//
// --writeback-kib: the plain writer writes back behind, K KiB per file, or auto: the window the
// renderer's writer takes for that many streams. --cache-left: prints how much of the output
// files the page cache still holds after the run.
// The output directory is removed afterwards unless --keep is given.
#include "bench_support.h"
#include "output/output_paths.h"
#include "output/writeback_window.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <iterator>
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
    bool cacheLeft = false;
    bool writebackAuto = false;
    PlainOptions plain;
    double pace = 0;
    std::int64_t maxNs = 0;
    std::uint64_t samples = 10000;
    std::uint64_t warmup = 200;
    std::int64_t spacingUs = 500;
};

[[noreturn]] void usage(const std::string& problem) {
    std::cerr << "vaskel_bench: " << problem << "\n"
              << "usage: vaskel_bench "
                 "<renderer|plain|direct|sndfile|sox|ffmpeg|latency|writelatency> "
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

// One row per option: its name and what it does to the arguments (with its value, if any).
struct Option {
    const char* name;
    void (*withValue)(Arguments&, const std::string&);
    void (*flag)(Arguments&);
};

std::uint64_t number(const std::string& text) {
    return std::stoull(text);
}

const Option kOptions[] = {
    {"--streams",
     [](Arguments& a, const std::string& v) {
         a.workload.streams = static_cast<std::uint32_t>(number(v));
     },
     nullptr},
    {"--chunks", [](Arguments& a, const std::string& v) { a.workload.chunksPerStream = number(v); },
     nullptr},
    {"--frames",
     [](Arguments& a, const std::string& v) {
         a.workload.framesPerChunk = static_cast<std::uint32_t>(number(v));
     },
     nullptr},
    {"--out", [](Arguments& a, const std::string& v) { a.out = v; }, nullptr},
    {"--renderer", [](Arguments& a, const std::string& v) { a.renderer = v; }, nullptr},
    {"--slots",
     [](Arguments& a, const std::string& v) { a.slots = static_cast<std::uint32_t>(number(v)); },
     nullptr},
    {"--wrap", [](Arguments& a, const std::string& v) { a.wrapper = splitWords(v); }, nullptr},
    {"--cold-source-mib",
     [](Arguments& a, const std::string& v) { a.plain.coldSourceBytes = number(v) << 20; },
     nullptr},
    {"--samples", [](Arguments& a, const std::string& v) { a.samples = number(v); }, nullptr},
    {"--warmup", [](Arguments& a, const std::string& v) { a.warmup = number(v); }, nullptr},
    {"--spacing-us",
     [](Arguments& a, const std::string& v) { a.spacingUs = static_cast<std::int64_t>(number(v)); },
     nullptr},
    {"--pace", [](Arguments& a, const std::string& v) { a.pace = std::stod(v); }, nullptr},
    {"--max-seconds",
     [](Arguments& a, const std::string& v) {
         a.maxNs = static_cast<std::int64_t>(number(v)) * 1000000000;
     },
     nullptr},
    {"--sample-rss", nullptr, [](Arguments& a) { a.sampleResident = true; }},
    {"--cold-region", nullptr, [](Arguments& a) { a.warmRegion = false; }},
    {"--verify", nullptr, [](Arguments& a) { a.verify = true; }},
    {"--keep", nullptr, [](Arguments& a) { a.keep = true; }},
    {"--no-peak", nullptr, [](Arguments& a) { a.peakChunk = false; }},
    {"--sync", nullptr, [](Arguments& a) { a.plain.sync = true; }},
    {"--cache-left", nullptr, [](Arguments& a) { a.cacheLeft = true; }},
    {"--writeback-kib",
     [](Arguments& a, const std::string& v) {
         a.writebackAuto = v == "auto";
         a.plain.writebackBytes = a.writebackAuto ? 0 : number(v) << 10;
     },
     nullptr},
    {"--burst-us",
     [](Arguments& a, const std::string& v) {
         a.plain.burstNs = static_cast<std::int64_t>(number(v)) * 1000;
     },
     nullptr},
};

Arguments parse(int argc, char** argv) {
    if (argc < 2) {
        usage("no mode");
    }
    Arguments args;
    args.mode = argv[1];
    for (int i = 2; i < argc; ++i) {
        const std::string flag = argv[i];
        const auto* option = std::find_if(std::begin(kOptions), std::end(kOptions),
                                          [&](const Option& o) { return flag == o.name; });
        if (option == std::end(kOptions)) {
            usage("unknown option " + flag);
        } else if (option->flag != nullptr) {
            option->flag(args);
        } else if (i + 1 >= argc) {
            usage(flag + " needs a value");
        } else {
            option->withValue(args, argv[++i]);
        }
    }
    if (args.out.empty()) {
        usage("--out is required");
    }
    if ((args.mode == "renderer" || args.mode == "latency") && args.renderer.empty()) {
        usage("--renderer is required");
    }
    if (args.writebackAuto) {
        args.plain.writebackBytes = vaskel::WritebackWindow::windowBytesFor(args.workload.streams);
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

// Runs a latency mode; true when it succeeded, with the failure in `error` otherwise.
bool latencyMode(const Arguments& args, const SourceAudio& audio, std::string& error) {
    LatencyOptions options;
    options.renderer = args.renderer;
    options.wrapper = args.wrapper;
    options.samples = args.samples;
    options.warmup = args.warmup;
    options.spacingNs = args.spacingUs * 1000;
    options.maxNs = args.maxNs;
    const LatencyFigures figures = args.mode == "latency"
                                       ? runLatency(args.workload, audio, args.out, options)
                                       : runWriteLatency(args.workload, audio, args.out, options);
    error = figures.error;
    std::printf("mode=%s streams=%u samples=%zu p50_ns=%.0f p99_ns=%.0f p999_ns=%.0f "
                "max_ns=%.0f ok=%d\n",
                args.mode.c_str(), args.workload.streams, figures.latencyNs.size(),
                percentile(figures.latencyNs, 50), percentile(figures.latencyNs, 99),
                percentile(figures.latencyNs, 99.9), percentile(figures.latencyNs, 100),
                figures.ok ? 1 : 0);
    return figures.ok;
}

void printRenderer(const Arguments& args, const RendererFigures& rendered) {
    std::printf(" producer_cpu_s=%.6f ring_full=%llu max_occupancy=%llu tail_s=%.6f",
                rendered.producerCpuS, static_cast<unsigned long long>(rendered.ringFullChunks),
                static_cast<unsigned long long>(rendered.maxOccupancy), rendered.tailS);
    if (args.sampleResident) {
        std::printf(" rss_anon_kb=%llu rss_file_kb=%llu rss_shmem_kb=%llu rss_samples=%llu",
                    static_cast<unsigned long long>(rendered.peakResident.anon),
                    static_cast<unsigned long long>(rendered.peakResident.file),
                    static_cast<unsigned long long>(rendered.peakResident.shmem),
                    static_cast<unsigned long long>(rendered.residentSamples));
    }
}

// Runs one throughput contender and prints its line; true when it succeeded.
bool contenderMode(const Arguments& args, const SourceAudio& audio, std::string& error) {
    RunFigures run;
    RendererFigures rendered;
    const double busy0 = machineBusySeconds();
    if (args.mode == "renderer") {
        const RendererOptions options{.renderer = args.renderer,
                                      .wrapper = args.wrapper,
                                      .slotsPerStream = args.slots,
                                      .sampleResident = args.sampleResident,
                                      .warmRegion = args.warmRegion,
                                      .pace = args.pace};
        rendered = runRenderer(args.workload, audio, args.out, options);
        run = rendered.run;
    } else if (args.mode == "plain") {
        run = runPlainWriter(args.workload, audio, args.out, args.plain);
    } else if (args.mode == "direct") {
        run = runDirectWriter(args.workload, audio, args.out);
    } else if (args.mode == "sndfile") {
        run = runSndfile(args.workload, audio, args.out, args.peakChunk);
    } else if (args.mode == "sox" || args.mode == "ffmpeg") {
        run = runPipes(args.workload, audio, args.out,
                       args.mode == "sox" ? PipeTool::Sox : PipeTool::Ffmpeg);
    } else {
        usage("unknown mode " + args.mode);
    }
    const double busy = machineBusySeconds() - busy0;
    bool ok = run.ok;
    error = run.error;
    printRun(args, run);
    std::printf(" machine_cpu_s=%.3f sync_s=%.6f", busy, run.syncS);
    if (args.plain.writebackBytes > 0) {
        std::printf(" writeback_kib=%llu writeback_s=%.6f writeback_max_ms=%.3f",
                    static_cast<unsigned long long>(args.plain.writebackBytes >> 10),
                    run.writebackS, run.writebackMaxS * 1000);
    }
    if (args.mode == "renderer") {
        printRenderer(args, rendered);
    }
    if (args.cacheLeft) {
        std::printf(" cached_kib=%llu",
                    static_cast<unsigned long long>(pageCachedBytes(args.out) >> 10));
    }
    if (ok && args.verify) {
        ok = verifyFiles(args, audio);
        std::printf(" verified=%d", ok ? 1 : 0);
    }
    std::printf("\n");
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    const Arguments args = parse(argc, argv);
    fs::remove_all(args.out);
    const SourceAudio audio(args.workload);
    std::string error;
    const bool ok = args.mode == "latency" || args.mode == "writelatency"
                        ? latencyMode(args, audio, error)
                        : contenderMode(args, audio, error);
    if (!error.empty()) {
        std::fprintf(stderr, "vaskel_bench %s: %s\n", args.mode.c_str(), error.c_str());
    }
    if (!args.keep) {
        std::error_code ignored;
        fs::remove_all(args.out, ignored);
    }
    return ok ? 0 : 1;
}
