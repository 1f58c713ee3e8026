// The whole life of one request in this process: take it, show the host the
// worker is alive, wait for the go-ahead and the mutex, preview, hand back.
#pragma once

#include "channel/SharedBlock.h"

// The preview to run while this process owns the channel mutex: given the
// request and whether it may make one more attempt of its own.
using PreviewProcedure = void (*)(SharedBlock& request, bool allowRetry);

// Runs once, from the start timer; `preview` is run with allowRetry true.
// Whatever happens inside the preview, it ends with the mutex released and
// WorkerBusy cleared.
void RunRequestHandshake(PreviewProcedure preview);
