// The whole life of one request in this process: take it, show the host the
// worker is alive, wait for the go-ahead and the mutex, preview, hand back.
#pragma once

// Runs once, from the start timer. Whatever happens inside the preview, it
// ends with the mutex released and WorkerBusy cleared.
void RunRequestHandshake();
