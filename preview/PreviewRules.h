// The preview's decisions, as pure functions of what it has seen: no Word,
// no block, no clipboard. The procedure asks them and acts on the answer.
#pragma once

#include <windows.h>

#include <cstdint>

// What follows when Word failed to open the document. The placeholder is on
// the clipboard by then whatever the action.
enum class OpenFailureAction {
    Reconnect,     // Word itself is in trouble: reconnect and leave everything else as it is
    RetryOnce,     // Word has gone: one more attempt, with a fresh connection
    MarkRejected,  // Word refused the document: OpenRejected, then the clean-up
    CleanUpOnly,   // a failure that leaves Word well: the clean-up alone
    KillWord,      // anything else may leave Word hung: end every Word, then the clean-up
};

// The reaction to Open's failure `code`; `allowRetry` is false on the
// attempt that is itself the retry.
[[nodiscard]] OpenFailureAction ReactionToOpenFailure(HRESULT code, bool allowRetry) noexcept;

// The request's delete flags as the block carries them; each is tested
// zero/nonzero.
struct DeleteFlags {
    std::uint8_t always = 0;
    std::uint8_t kind1 = 0;
    std::uint8_t kind2 = 0;
    std::uint8_t kind3 = 0;
};

// Whether the clean-up deletes the document: always when DeleteAlways is
// set, else when RequestKind is 1, 2 or 3 and that kind's flag is set.
[[nodiscard]] bool DeletionRequested(const DeleteFlags& flags, std::uint8_t requestKind) noexcept;
