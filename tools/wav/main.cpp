// vaskel_wav: check and repair the stream files of a capture. See wav_tool.h.
#include "platform/process.h"
#include "platform/text.h"
#include "tools/wav/wav_tool.h"

#include <iostream>

int VASKEL_MAIN(int argc, vaskel::platform::NativeChar** argv) {
    vaskel::platform::prepareProcess(); // before anything is opened
    vaskel::wav_tool::ToolSettings settings;
    settings.progressBar = vaskel::platform::standardErrorIsTerminal();
    return vaskel::wav_tool::wavToolMain(
        std::vector<vaskel::platform::NativeString>(argv + (argc > 0 ? 1 : 0), argv + argc),
        std::cout, std::cerr, settings);
}
