// The outputs a build was made without (the Windows builds have no SQLite or
// MQTT library): asking for one is refused with a plain reason, as any other
// output that cannot be made is.
#include "OutputKinds.h"

#include <stdexcept>

namespace host::outputs {

void PrepareSqlite() {}

std::unique_ptr<IOutput> MakeSqliteOutput(std::string target, std::string, TLog) {
    throw std::runtime_error(target + ": the SQLite output is not part of this build");
}

std::unique_ptr<IOutput> MakeMqttOutput(std::string target, std::string, int, std::string, bool,
                                        const TMqttOptions&, TLog) {
    throw std::runtime_error(target + ": the MQTT output is not part of this build");
}

} // namespace host::outputs
