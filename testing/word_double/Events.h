// Word's application events: the connection point through which a client
// advises its sink, and the events the script has the double raise on it.
#pragma once

#include "common/ComResources.h"

#include <ocidl.h>

namespace word_double {

// The one events connection point of the Application `container`, which owns it.
[[nodiscard]] ComPtr<IConnectionPoint> CreateEventsConnectionPoint(IConnectionPointContainer* container);

// Events on every advised sink, raised from the main window's timer: the
// first after `delayMs`, then one every `intervalMs`, `times` in all. Each
// call into a sink is timed and logged as an "Event" line.
void ScheduleEvents(long delayMs, long times, long intervalMs);
// The main window's timer for the events (WM_TIMER with this id).
inline constexpr UINT_PTR EventTimerId = 0x5EED;
void OnEventTimer();

}  // namespace word_double
