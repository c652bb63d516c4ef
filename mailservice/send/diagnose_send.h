// The diagnose send: one stored mail to one recipient, once, outside the queue, with every step
// as a line to the window registered when the send started, and a last line saying "sent" or
// why not.
#pragma once

#include "relvomail.h"

namespace relvo::mail::send {

// The window for the sends that start after this call.
void DiagnoseSetWindow(RelvoMailWindow* window, unsigned int message);
// Returns at once; the send runs on the engine's own threads.
void DiagnoseSendNow(const char* companionPath, const char* recipient);

}  // namespace relvo::mail::send
