#include "api/engine_process.h"

namespace relvo::mail {

EngineProcess& EngineProcess::Get() {
    static EngineProcess process;
    return process;
}

}  // namespace relvo::mail
