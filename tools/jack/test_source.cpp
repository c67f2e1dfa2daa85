// vaskel_jack_test_source: a JACK client whose output ports play a signal in which every sample
// names its port and its frame, so a capture of them can be checked sample by sample.
//   vaskel_jack_test_source <client-name> <ports>
// Port p (out_<p>) plays, at the client's frame f (counted from its first period),
//   ((f mod 2^20) + (p mod 8) * 2^20) / 2^23,
// exact in a float and below 1. Runs until SIGINT or SIGTERM.
#include "platform/process.h"
#include "platform/time.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <jack/jack.h>
#include <string>
#include <vector>

namespace {

std::atomic<bool> stopping{false};

struct Source {
    std::vector<jack_port_t*> ports;
    std::uint64_t frame = 0;
};

int onProcess(jack_nframes_t nframes, void* arg) {
    auto& source = *static_cast<Source*>(arg);
    for (std::size_t p = 0; p < source.ports.size(); ++p) {
        auto* out = static_cast<float*>(jack_port_get_buffer(source.ports[p], nframes));
        const std::uint32_t high = static_cast<std::uint32_t>(p % 8) << 20;
        for (jack_nframes_t i = 0; i < nframes; ++i) {
            const auto value = static_cast<std::uint32_t>((source.frame + i) & 0xFFFFFu) | high;
            out[i] = static_cast<float>(value) * (1.0f / 8388608.0f);
        }
    }
    source.frame += nframes;
    return 0;
}

void onInterrupt() {
    stopping.store(true);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3 || std::atoi(argv[2]) < 1) {
        std::fprintf(stderr, "usage: vaskel_jack_test_source <client-name> <ports>\n");
        return 2;
    }
    vaskel::platform::onInterrupt(&onInterrupt);
    jack_status_t status{};
    jack_client_t* client = jack_client_open(argv[1], JackNoStartServer, &status);
    if (client == nullptr) {
        std::fprintf(stderr, "vaskel_jack_test_source: no JACK server (status %u)\n",
                     static_cast<unsigned>(status));
        return 1;
    }
    Source source;
    for (int p = 0; p < std::atoi(argv[2]); ++p) {
        const std::string name = "out_" + std::to_string(p);
        source.ports.push_back(
            jack_port_register(client, name.c_str(), JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0));
    }
    jack_set_process_callback(client, onProcess, &source);
    if (jack_activate(client) != 0) {
        std::fprintf(stderr, "vaskel_jack_test_source: cannot activate\n");
        jack_client_close(client);
        return 1;
    }
    std::fprintf(stderr, "vaskel_jack_test_source: playing\n");
    while (!stopping.load()) {
        vaskel::platform::sleepMilliseconds(20);
    }
    jack_deactivate(client);
    jack_client_close(client);
    return 0;
}
