// vaskel_wav: check and repair the stream files of a capture. See wav_tool.h.
#include "platform/platform.h"
#include "tools/wav/wav_tool.h"

#include <cstdlib>
#include <iostream>

int VASKEL_MAIN(int argc, vaskel::platform::NativeChar** argv) {
    vaskel::platform::prepareProcess(); // before anything is opened
    vaskel::wav_tool::ToolSettings settings;
    settings.progressBar = vaskel::platform::standardErrorIsTerminal();
    // Set only by the tests that crash a repair half-way on purpose.
    if (const char* crash = std::getenv("VASKEL_WAV_TEST_CRASH_AFTER_BYTES")) {
        settings.testCrashAfterBytes = std::strtoull(crash, nullptr, 10);
    }
    return vaskel::wav_tool::wavToolMain(
        std::vector<vaskel::platform::NativeString>(argv + (argc > 0 ? 1 : 0), argv + argc),
        std::cout, std::cerr, settings);
}
