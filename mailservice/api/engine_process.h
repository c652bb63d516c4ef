// The engine's state for one process: the queue store both services share (with its hand-over of
// new entries from the receiving side to the sending side) and the two services over it. The C
// entry points and relvoserver use this one; the services start and stop independently, and the
// store lives while either of them runs.
#pragma once

#include "core/shared_queue.h"
#include "send/send_service.h"
#include "smtp/smtp_service.h"

namespace relvo::mail {

struct EngineProcess {
    // Made at the first call, ended at the process's exit: the services stop before the queue
    // they hold goes (members end in the reverse of this order).
    static EngineProcess& Get();

    SharedQueue queue;
    smtp::SmtpService smtp{queue};
    send::SendService send{queue};
};

}  // namespace relvo::mail
