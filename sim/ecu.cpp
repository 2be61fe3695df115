// Simulated ECUs; none are built yet, so every ECU section is refused.
#include "sim.h"

namespace vxlsim {

std::unique_ptr<Node> MakeEcu(unsigned channel, const EcuSettings &settings, std::string &error) {
    (void)channel, (void)settings;
    error = "ECUs are not available in this build";
    return nullptr;
}

std::vector<EcuSettings> DefaultEcus() { return {}; }

}  // namespace vxlsim
