#include "entry/renderer.h"

int VASKEL_MAIN(int argc, vaskel::platform::NativeChar** argv) {
    return vaskel::runRenderer(
        std::vector<vaskel::platform::NativeString>(argv + (argc > 0 ? 1 : 0), argv + argc));
}
