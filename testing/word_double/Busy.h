// A busy Word: the double's own message filter turns incoming calls away, as
// Word does while a modal dialog is open, while it starts or while it runs a
// long command. The script says how many calls (or for how long), and from
// when: the first incoming call, or right after a named call has been answered.
#pragma once

#include "Record.h"

#include <string>

namespace word_double {

// Registers the filter for this thread (the double's one apartment). A spell
// that begins at the start is armed by the first incoming call that finds it
// in the script.
void RegisterBusyFilter();

// Called once `call` (its `occurrence`-th in the log) has been answered:
// arms the filter when the script's busy spell begins after that call.
void OnCallAnswered(const Script& script, const std::string& call, long occurrence);

}  // namespace word_double
