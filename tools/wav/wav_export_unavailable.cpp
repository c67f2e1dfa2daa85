// export in a vaskel_wav built without libsndfile: it says so and does nothing.
#include "tools/wav/wav_export.h"
#include "tools/wav/wav_tool.h"

namespace vaskel::wav_tool {

bool exportAvailable() {
    return false;
}

int runExport(const std::vector<platform::NativeString>&,
              const std::function<void(const std::string&)>&, std::ostream& err) {
    err << "vaskel_wav: export needs libsndfile, and this vaskel_wav was built without it\n";
    return kExitTrouble;
}

} // namespace vaskel::wav_tool
