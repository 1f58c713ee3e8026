#include "preview/PreviewRules.h"

#include "preview/BusyWord.h"

namespace {

// Open's result codes that have a reaction of their own.
constexpr HRESULT ServerFault = static_cast<HRESULT>(0x80010105);        // RPC_E_SERVERFAULT
constexpr HRESULT ServerUnavailable = static_cast<HRESULT>(0x800706BA);  // RPC_S_SERVER_UNAVAILABLE
constexpr HRESULT DocumentRejected = static_cast<HRESULT>(0x800A1520);
constexpr HRESULT OpenFailedKnownA = static_cast<HRESULT>(0x800A141F);
constexpr HRESULT OpenFailedKnownB = static_cast<HRESULT>(0x800A1401);

}  // namespace

OpenFailureAction ReactionToOpenFailure(HRESULT code, bool allowRetry) noexcept {
    // Word stayed busy past the worker's patience: it is well, only not
    // taking calls now. Ending every Word (the user's, with its unsaved work)
    // for that would be out of all proportion.
    if (IsTurnedAwayByBusyWord(code)) return OpenFailureAction::CleanUpOnly;
    switch (code) {
        case ServerFault: return OpenFailureAction::Reconnect;
        // Without a retry left, Word gone is a failure like any other.
        case ServerUnavailable: return allowRetry ? OpenFailureAction::RetryOnce : OpenFailureAction::KillWord;
        case DocumentRejected: return OpenFailureAction::MarkRejected;
        case OpenFailedKnownA:
        case OpenFailedKnownB: return OpenFailureAction::CleanUpOnly;
        default: return OpenFailureAction::KillWord;
    }
}

bool DeletionRequested(const DeleteFlags& flags, std::uint8_t requestKind) noexcept {
    if (flags.always) return true;
    switch (requestKind) {
        case 1: return flags.kind1 != 0;
        case 2: return flags.kind2 != 0;
        case 3: return flags.kind3 != 0;
        default: return false;
    }
}
