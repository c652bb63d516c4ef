// New queue entries as this process's queue writers place them, told to the process's SEND
// service at once instead of at its next look at the directory. An entry is told only once its
// rename is flushed, so nothing is sent that the receiving side could still take back; until
// then, an entry this process is placing is not to be taken from a directory watch either.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace relvo::mail::arrivals {

// Called with the queue directory and the id of each entry placed there. It runs on the writer's
// thread and must be short; it may not call back into this file.
using Listener = std::function<void(const std::string& queueDir, uint32_t id)>;

// One listener per process (the SEND service); an empty one stops the calls. Returns once no
// call of the previous listener is under way.
void Listen(Listener listener);

// The queue writer: the ids it is about to rename into place, then each one's outcome once the
// directory is flushed (placed: the entry is queued for good).
void Placing(const std::string& queueDir, const std::vector<uint32_t>& ids);
void Settled(const std::string& queueDir, uint32_t id, bool placed);

// Whether this process is placing the entry now (so its writer will tell it when it is queued).
bool PlacingHere(const std::string& queueDir, uint32_t id);

}  // namespace relvo::mail::arrivals
