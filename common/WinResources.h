// The former single header of owning wrappers, kept while bench/ still
// includes it: it brings in the split headers (KernelResources.h,
// ComResources.h, TimerResolution.h), and the address-of on UniqueVariant
// that the benches still use for out-parameters. New code includes the split
// headers and uses UniqueVariant::put(); once bench/ does too, this file goes.
#pragma once

#include "common/ComResources.h"
#include "common/KernelResources.h"
#include "common/TimerResolution.h"

inline VARIANT* operator&(UniqueVariant& variant) noexcept { return variant.put(); }
