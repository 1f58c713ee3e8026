// What the Word double logged of one run: how many calls of each kind it received.
#pragma once

#include <map>
#include <string>

namespace bench {

using CallCounts = std::map<std::string, int>;

// The calls in the double's log now, by name.
CallCounts LoggedCalls();

// All but Window.Minimised, which the double logs when its window is
// minimised: an automation call did not make it.
int Total(const CallCounts& counts);

// One line per call either the worker or (b) made, with how often each of the
// three made it.
void PrintCallTable(const CallCounts& workerCalls, const CallCounts& fullCalls, const CallCounts& floorCalls);

}  // namespace bench
