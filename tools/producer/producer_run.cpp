#include "tools/producer/producer_run.h"

#include "entry/renderer_child.h"
#include "platform/process.h"
#include "platform/time.h"
#include "producer/transport_producer.h"
#include "tools/producer/capture_verify.h"
#include "tools/producer/signal_source.h"
#include "transport/failure_code.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <iterator>
#include <limits>
#include <string>
#include <string_view>

namespace vaskel::producer_tool {

using namespace transport;

namespace {

constexpr std::int64_t kNsPerMs = 1000000;

// `text` as one word to paste into a shell: bare when every character is plain, else quoted, in
// double quotes where both a POSIX shell and cmd.exe read them the same.
std::string shellWord(const std::string& text) {
    const bool plain = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 ||
               std::string_view("_-+.,/:=@%\\").find(c) != std::string_view::npos;
    });
    if (plain) {
        return text;
    }
    if (text.find_first_of("\"$`!") == std::string::npos) {
        return '"' + text + '"';
    }
    std::string quoted = "'";
    for (const char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

// How long a run that aborted its streams waits for its renderer child to notice.
constexpr std::int64_t kAbortGraceNs = 3000 * kNsPerMs;

// Where one stream stands in its publication.
struct StreamWork {
    ChunkSizer sizer;
    std::uint64_t publishedFrames = 0; // intended frames published, from the stream's start
    std::uint64_t chunks = 0;          // chunks published
    std::uint32_t pendingFrames = 0;   // size of the next chunk once drawn (kept while full)
    bool ended = false;                // closed, aborted or stalled: nothing more to publish
    ChunkHeader last{};                // header of the last chunk, for the duplicate fault
};

class Production {
public:
    Production(const ProducerOptions& options, const std::atomic<bool>& stop, std::ostream& out,
               std::ostream& err)
        : options_(options), config_(options.config()), fault_(findFault(options.fault)),
          stop_(stop), out_(out), err_(err) {}

    int run() {
        if (!createRegion()) {
            err_ << "vaskel_producer: cannot create the region \""
                 << toDisplay(options_.mappingName)
                 << "\" (a region of that name exists, or there is not enough memory)\n";
            return exitCode(ProducerExit::SetupFailed);
        }
        describeRegion();
        if (!options_.rendererPath.empty()) {
            std::vector<platform::NativeString> arguments{options_.mappingName};
            arguments.insert(arguments.end(), options_.rendererArguments.begin(),
                             options_.rendererArguments.end());
            if (!child_.start(options_.rendererPath, arguments)) {
                err_ << "vaskel_producer: cannot start the renderer \""
                     << toDisplay(options_.rendererPath.native()) << "\": " << child_.failure()
                     << '\n';
                return exitCode(ProducerExit::SetupFailed);
            }
        } else {
            out_ << "waiting for a renderer: vaskel_renderer " << toDisplay(options_.mappingName)
                 << " <output-root>\n";
        }
        out_.flush();

        Observation seen;
        const Outcome outcome = produce(seen);
        return report(outcome, seen);
    }

private:
    bool createRegion() {
        TransportConfig written = config_;
        producer::CreateOptions create;
        if (fault_ != nullptr && fault_->region != nullptr) {
            fault_->region(config_, written, create);
        }
        publishing_ = !faultBlocksAttach(options_.fault);
        if (!producer_.create(options_.mappingName, written, create)) {
            return false;
        }
        for (std::uint32_t i = 0; i < config_.streamCount; ++i) {
            work_.push_back(
                StreamWork{ChunkSizer(options_.chunks, config_.framesPerChunk, options_.seed, i)});
        }
        return true;
    }

    void describeRegion() {
        const SignalSettings& signal = options_.signal;
        out_ << "region " << toDisplay(options_.mappingName) << ": " << signal.streams
             << " streams, " << signal.channels << " channels, " << signal.sampleRate << " Hz, "
             << config_.framesPerChunk << " frames per chunk, " << config_.slotsPerStream
             << " slots, frames " << signal.startFrame << " to "
             << signal.startFrame + signal.frames << " ("
             << (signal.endFrame == 0 ? "no declared end" : "declared end") << "), signal "
             << (signal.kind == SignalKind::Sine ? "sine" : "pattern");
        if (fault_ != nullptr) {
            out_ << ", fault " << fault_->name;
            if (fault_->region == nullptr) {
                out_ << " at stream " << options_.faultStream << " chunk " << options_.faultChunk;
            }
        }
        out_ << '\n';
    }

    std::uint64_t consumedChunks() const {
        std::uint64_t sum = 0;
        if (publishing_) {
            for (std::uint32_t i = 0; i < config_.streamCount; ++i) {
                sum += producer_.readIndex(i);
            }
        }
        return sum;
    }

    // Publishes and watches until there is a verdict.
    Outcome produce(Observation& seen) {
        const std::int64_t timeoutNs = std::int64_t{options_.timeoutMs} * kNsPerMs;
        std::int64_t lastChange = platform::SteadyClock::now();
        paceStart_ = lastChange;
        std::uint64_t lastConsumed = 0;
        for (;;) {
            if (stop_.load()) {
                return Outcome::Interrupted;
            }
            // The child first: once it has ended, the states read next are its final ones.
            seen.childExit = child_.poll();
            seen.consumerState = producer_.consumerState();
            seen.failureCode = producer_.failureCode();

            bool changed = false;
            if (publishing_ && seen.failureCode == 0) {
                changed = publishPass(seen);
            }
            const std::uint64_t consumed = consumedChunks();
            if (consumed != lastConsumed || seen.consumerState != lastConsumerState_) {
                changed = true;
                lastConsumed = consumed;
                lastConsumerState_ = seen.consumerState;
            }
            const std::int64_t now = platform::SteadyClock::now();
            if (changed) {
                lastChange = now;
            }
            seen.timedOut = now - lastChange > timeoutNs;
            if (const auto outcome = judge(seen)) {
                return *outcome;
            }
            if (!changed) {
                platform::sleepMilliseconds(1);
            }
        }
    }

    // One round over the streams, at most one chunk each. True when anything was published.
    bool publishPass(Observation& seen) {
        bool published = false;
        std::uint64_t allowed = std::numeric_limits<std::uint64_t>::max();
        if (options_.pace > 0) {
            // Real time times the pace, one chunk ahead so the renderer never waits on a
            // chunk that is due.
            const double elapsed =
                static_cast<double>(platform::SteadyClock::now() - paceStart_) / 1e9;
            allowed = static_cast<std::uint64_t>(elapsed * options_.pace * config_.sampleRate) +
                      config_.framesPerChunk;
        }
        const std::uint64_t total = options_.signal.frames;
        for (std::uint32_t stream = 0; stream < config_.streamCount; ++stream) {
            StreamWork& work = work_[stream];
            if (work.ended || work.publishedFrames >= allowed) {
                continue;
            }
            const bool faultHere = !faultDone_ && fault_ != nullptr &&
                                   stream == options_.faultStream &&
                                   work.chunks == options_.faultChunk;
            if (faultHere && fault_->replace != nullptr) {
                fault_->replace(producer_, stream, options_.faultCode, seen);
                work.ended = true;
                faultDone_ = true;
                published = true;
                if (seen.failureCode != 0) {
                    return published;
                }
                continue;
            }
            if (faultHere && fault_->attached != nullptr) {
                if (seen.consumerState == 0) {
                    continue; // the renderer has not attached yet
                }
                fault_->attached(producer_, config_);
                faultDone_ = true;
            }
            if (work.publishedFrames < total && !producer_.hasSpace(stream)) {
                continue;
            }
            if (work.publishedFrames < total) {
                if (!publishChunk(stream, work, faultHere)) {
                    continue;
                }
                published = true;
            }
            if (work.publishedFrames >= total) {
                // Closed right after the last writeIndex store, as the transport requires.
                producer_.closeStream(stream);
                work.ended = true;
                published = true;
            }
        }
        return published;
    }

    // False, with the drawn chunk size kept for the next pass, when the ring had no room.
    bool publishChunk(std::uint32_t stream, StreamWork& work, bool faultHere) {
        const std::uint64_t total = options_.signal.frames;
        if (work.pendingFrames == 0) {
            work.pendingFrames = work.sizer.next(total - work.publishedFrames);
        }
        const std::uint32_t frames = work.pendingFrames;
        const std::uint64_t firstFrame = options_.signal.startFrame + work.publishedFrames;
        ChunkHeader header = producer_.nextHeader(stream, frames);
        renderFrames(options_.signal, stream, firstFrame, frames, samples_);
        if (faultHere && fault_->chunk != nullptr) {
            fault_->chunk(header,
                          ChunkAtFault{config_, options_.signal, stream, work.last, samples_});
            faultDone_ = true;
        }
        const std::size_t bytes = std::min<std::size_t>(samples_.size() * sizeof(float),
                                                        std::size_t{header.frameCount} *
                                                            config_.channelCount * sizeof(float));
        if (!producer_.tryPublishRaw(stream, header, samples_.data(), bytes)) {
            return false;
        }
        work.last = header;
        work.publishedFrames += frames;
        work.chunks += 1;
        work.pendingFrames = 0;
        return true;
    }

    // Every stream, closed ones too: the capture is incomplete, and a renderer should stop now
    // rather than finish some files or wait for its idle timeout.
    void abortAllStreams() {
        if (!publishing_) {
            return;
        }
        for (std::uint32_t i = 0; i < config_.streamCount; ++i) {
            producer_.abortStream(i);
            work_[i].ended = true;
        }
    }

    int report(Outcome outcome, Observation& seen) {
        std::optional<int> rendererExit;
        std::string rendererErr;
        // A renderer that reported is ending by itself: it prints and detaches. One that was
        // refused keeps retrying until its own mapping-open timeout, and its message is worth
        // the wait. Otherwise (interrupt, silence) the streams are aborted so that a renderer
        // stops at once, and it gets a short grace.
        const bool rendererEnding = outcome == Outcome::Completed ||
                                    outcome == Outcome::CaptureFailed ||
                                    (outcome == Outcome::NotAttached && !seen.timedOut);
        if (!rendererEnding) {
            abortAllStreams();
        }
        if (child_.running() || seen.childExit) {
            const std::int64_t grace =
                rendererEnding ? std::int64_t{options_.timeoutMs} * kNsPerMs : kAbortGraceNs;
            // After an interrupt the grace is what lets the renderer see the aborted streams;
            // otherwise an interrupt cuts the wait short.
            rendererExit = child_.finish(platform::Deadline::after(grace),
                                         outcome == Outcome::Interrupted ? nullptr : &stop_);
            out_ << child_.output("stdout");
            // Its failure name and reason, first, as it printed them.
            rendererErr = child_.output("stderr");
            err_ << rendererErr;
            if (outcome == Outcome::Completed && *rendererExit != 0) {
                outcome = Outcome::CaptureFailed;
            }
        }
        seen.consumerState = producer_.consumerState();
        seen.failureCode = producer_.failureCode();

        out_ << "outcome=" << outcomeName(outcome) << ",failureCode=" << seen.failureCode
             << ",failureName=" << failureCodeName(seen.failureCode)
             << ",consumerState=" << seen.consumerState;
        if (rendererExit) {
            out_ << ",rendererExit=" << *rendererExit;
        }
        out_ << '\n';
        explain(outcome, seen, rendererExit);
        adviseRepair(outcome, seen, rendererErr);
        out_.flush();
        err_.flush();
        return exitCodeOf(outcome);
    }

    void explain(Outcome outcome, const Observation& seen, std::optional<int> rendererExit) {
        const std::string code = std::string(failureCodeName(seen.failureCode)) + " (failureCode " +
                                 std::to_string(seen.failureCode) + ")";
        const std::string exit = !rendererExit         ? std::string()
                                 : *rendererExit == -1 ? std::string("the renderer was killed")
                                                       : "the renderer ended with exit code " +
                                                             std::to_string(*rendererExit);
        switch (outcome) {
        case Outcome::Completed:
            return;
        case Outcome::CaptureFailed:
            err_ << "vaskel_producer: capture failed: "
                 << (seen.failureCode != 0 ? code : exit + " before completing") << '\n';
            return;
        case Outcome::NotAttached:
            err_ << "vaskel_producer: no renderer attached to \"" << toDisplay(options_.mappingName)
                 << "\"";
            if (seen.failureCode != 0 && !seen.ownFailure) {
                err_ << ": the renderer refused the region with " << code;
            } else if (rendererExit) {
                err_ << ": " << exit;
            } else {
                err_ << " within " << options_.timeoutMs << " ms";
            }
            err_ << '\n';
            return;
        case Outcome::RendererTimeout:
            err_ << "vaskel_producer: the renderer attached but neither drained nor reported for "
                 << options_.timeoutMs << " ms\n";
            return;
        case Outcome::Interrupted:
            err_ << "vaskel_producer: interrupted; the streams were aborted\n";
            return;
        }
    }

    // A renderer that attached and did not complete leaves its files with placeholder headers:
    // the one command that makes them playable, unless the renderer said it already. Only a
    // child's output root is known here; one started by hand is named by its role.
    void adviseRepair(Outcome outcome, const Observation& seen, const std::string& rendererErr) {
        if (seen.consumerState == 0 || outcome == Outcome::Completed ||
            outcome == Outcome::NotAttached ||
            rendererErr.find("vaskel_wav repair") != std::string::npos) {
            return;
        }
        const bool child = !options_.rendererPath.empty() && !options_.rendererArguments.empty();
        err_ << "vaskel_producer: the stream files keep what was captured; to make them "
                "playable, run: vaskel_wav repair "
             << (child ? shellWord(toDisplay(options_.rendererArguments.front()))
                       : std::string("<the renderer's output root>"))
             << '\n';
    }

    const ProducerOptions& options_;
    const TransportConfig config_;
    const Fault* const fault_; // null without a fault
    const std::atomic<bool>& stop_;
    std::ostream& out_;
    std::ostream& err_;
    // Declared after the producer, so a child still running is ended before the region is
    // removed.
    producer::TransportProducer producer_;
    RendererChild child_;
    std::vector<StreamWork> work_;
    std::vector<float> samples_;
    bool publishing_ = true;
    bool faultDone_ = false;
    std::int64_t paceStart_ = 0;
    std::uint32_t lastConsumerState_ = 0;
};

} // namespace

std::optional<Outcome> judge(const Observation& seen) {
    if (seen.failureCode == 0 && seen.consumerState == kConsumerCompleted) {
        return Outcome::Completed;
    }
    if (seen.failureCode != 0) {
        if (seen.consumerState != 0) {
            return Outcome::CaptureFailed;
        }
        if (!seen.ownFailure) {
            return Outcome::NotAttached; // refused at attach
        }
        // Our own failure before any renderer attached: one that attaches still sees it.
    }
    if (seen.childExit) {
        return seen.consumerState == 0 ? Outcome::NotAttached : Outcome::CaptureFailed;
    }
    if (seen.timedOut) {
        return seen.consumerState == 0 ? Outcome::NotAttached : Outcome::RendererTimeout;
    }
    return std::nullopt;
}

namespace {

// What each Outcome is called in the summary and the exit code it ends in, in Outcome's order.
struct OutcomeRow {
    std::string_view name;
    ProducerExit exit;
};
constexpr OutcomeRow kOutcomes[] = {
    {"completed", ProducerExit::Completed},              // Completed
    {"capture_failed", ProducerExit::CaptureFailed},     // CaptureFailed
    {"not_attached", ProducerExit::NotAttached},         // NotAttached
    {"renderer_timeout", ProducerExit::RendererTimeout}, // RendererTimeout
    {"interrupted", ProducerExit::Interrupted},          // Interrupted
};
static_assert(std::size(kOutcomes) == static_cast<std::size_t>(Outcome::Interrupted) + 1);

const OutcomeRow* rowOf(Outcome outcome) {
    const auto index = static_cast<std::size_t>(outcome);
    return index < std::size(kOutcomes) ? &kOutcomes[index] : nullptr;
}

} // namespace

std::string_view outcomeName(Outcome outcome) {
    const OutcomeRow* row = rowOf(outcome);
    return row != nullptr ? row->name : "unknown";
}

int exitCodeOf(Outcome outcome) {
    const OutcomeRow* row = rowOf(outcome);
    // Every Outcome has a row: the fallback is not reached.
    return exitCode(row != nullptr ? row->exit : ProducerExit::VerifyMismatch);
}

int runProduction(const ProducerOptions& options, const std::atomic<bool>& stop, std::ostream& out,
                  std::ostream& err) {
    return Production(options, stop, out, err).run();
}

int producerMain(const std::vector<platform::NativeString>& arguments,
                 const std::atomic<bool>& stop, std::ostream& out, std::ostream& err) {
    const ParsedCommandLine parsed = parseProducerCommandLine(arguments);
    switch (parsed.mode) {
    case Mode::Help:
        out << producerHelp();
        return exitCode(ProducerExit::Completed);
    case Mode::Version:
        out << producerVersion();
        return exitCode(ProducerExit::Completed);
    case Mode::Error:
        err << "vaskel_producer: " << parsed.error << "\ntry: vaskel_producer --help\n";
        return exitCode(ProducerExit::BadCommandLine);
    case Mode::Verify: {
        const VerifyReport report = verifyCapture(parsed.options.verifyRoot, parsed.options.signal);
        printReport(report, out);
        return exitCode(report.ok() ? ProducerExit::Completed : ProducerExit::VerifyMismatch);
    }
    case Mode::Run:
        break;
    }
    return runProduction(parsed.options, stop, out, err);
}

} // namespace vaskel::producer_tool
