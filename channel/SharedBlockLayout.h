// The byte layout of the shared request block, named once for both sides.
//
// The host creates the mapping and fills in the request; the worker reads the
// request and writes only its own bytes (WordReady, WorkerBusy, GoSignal,
// RequestPending, PreviewTaken, OpenRejected, Heartbeat). The host's reference
// implementation includes this header too, so both sides name the same
// offsets. Every range not named here belongs to the host.
#pragma once

#include <cstddef>
#include <cstdint>

namespace SharedBlockLayout {

// Name of the host's file mapping (8-bit, no namespace prefix).
inline constexpr char MappingName[] = "jlrf73hw2de";

// Block-level handshake bytes.
inline constexpr std::size_t WordReady = 0;
inline constexpr std::size_t WorkerBusy = 1;
inline constexpr std::size_t GoSignal = 2;
inline constexpr std::size_t RequestPending = 3;
inline constexpr std::size_t PreviewTaken = 4;

// The request record; the preview procedure is given its address.
inline constexpr std::size_t Request = 8;
inline constexpr std::size_t RequestSize = 544;

// Fields of the request record, as offsets from the start of the block.
inline constexpr std::size_t RequestKind = Request + 8;
inline constexpr std::size_t OpenRejected = Request + 10;
inline constexpr std::size_t DocumentPath = Request + 24;
inline constexpr std::size_t DocumentPathCapacity = 520;  // bytes, NUL included

inline constexpr std::size_t Heartbeat = 552;  // int32, little-endian, seconds since 1970 UTC

inline constexpr std::size_t HostActive = 1684;
inline constexpr std::size_t StopWaiting = 1704;

inline constexpr std::size_t DeleteAlways = 1752;
inline constexpr std::size_t DeleteKind1 = 1753;
inline constexpr std::size_t DeleteKind2 = 1754;
inline constexpr std::size_t DeleteKind3 = 1755;

// NUL-terminated name of the host's mutex; runs to wherever its NUL lies.
inline constexpr std::size_t MutexName = 1816;

// A view shorter than this cannot hold even the first byte of MutexName; the
// worker treats such a block as absent.
inline constexpr std::size_t MinimumViewSize = MutexName + 1;

static_assert(RequestKind == 16);
static_assert(OpenRejected == 18);
static_assert(DocumentPath == 32);
static_assert(DocumentPath + DocumentPathCapacity == Request + RequestSize);
static_assert(Request + RequestSize == Heartbeat);
static_assert(HostActive > Heartbeat + 4 && StopWaiting > HostActive);
static_assert(DeleteKind3 == DeleteAlways + 3 && MutexName > DeleteKind3);

}  // namespace SharedBlockLayout
