#include "preview/PreviewProcedure.h"

#include "channel/Protocol.h"
#include "common/MessageWait.h"
#include "common/StageTrace.h"
#include "desktop/Clipboard.h"
#include "desktop/WordWindows.h"
#include "preview/PreviewRules.h"

#include <exception>

namespace {

namespace layout = SharedBlockLayout;

TWordApplication* g_wordApplication = nullptr;

// Passed for every password of the open call: a document protected by any
// real password then fails to open instead of making Word ask for one.
constexpr char DummyPassword[] = "1";

constexpr DWORD PollInterval = 10;                // ms
constexpr DWORD PauseAfterFailedReconnect = 500;  // ms

constexpr long DoNotSaveChanges = 0;
constexpr long OriginalDocumentFormat = 1;

void DisconnectQuietly(TWordApplication& word) noexcept { word.Disconnect(); }

// The Documents collection is fetched for this one call and released right
// after: no Word reference survives from one step to the next.
void CloseAllDocuments(TWordApplication& word) {
    (void)word.Documents().Close(DoNotSaveChanges, OriginalDocumentFormat, false);
}

// A failure code that the open's failure road can act on: Word's own code
// when the failure carries one, anything else "any other code".
[[nodiscard]] HRESULT FailureCode(HRESULT code) noexcept { return FAILED(code) ? code : E_FAIL; }

// How the open ended. Whatever it raised, the document is not open; who
// raised it decides what follows.
struct OpenOutcome {
    enum Kind {
        Opened,
        RefusedByWord,     // a code from Word, or from the automation layer between the processes
        WorkersOwnFailure  // memory, a conversion: nothing that Word said
    } kind;
    HRESULT code = S_OK;  // RefusedByWord: the code the reaction is chosen by
};

[[nodiscard]] OpenOutcome OpenDocument(TWordApplication& word, const SharedBlock& request) {
    try {
        OpenArguments arguments;
        arguments.fileName = request.DocumentPath();
        const std::string password(DummyPassword);
        arguments.passwordDocument = password;
        arguments.passwordTemplate = password;
        arguments.writePasswordDocument = password;
        arguments.writePasswordTemplate = password;
        arguments.revert = true;
        // Right before the open, and part of it: whichever Word this attempt
        // reached (the user's, a fresh one, the retry's) opens the document
        // with no macro of its own allowed to run, open or close.
        word.ForbidMacrosUntilDisconnect();
        word.Documents().Open(arguments);
        return {OpenOutcome::Opened};
    } catch (const EOleSysError& refusal) {
        return {OpenOutcome::RefusedByWord, FailureCode(refusal.ErrorCode)};
    } catch (...) {
        return {OpenOutcome::WorkersOwnFailure};
    }
}

// Selecting the whole main text goes through the selection's own document.
void SelectWholeDocument(TWordApplication& word) { (void)word.Selection().Document().Select(); }

enum class CopyOutcome { Copied, EmptySelection, Failed };

// Cuts the selection to the preview's length and has Word copy it. The end
// is read twice on purpose, through two fresh Selections: once to see
// whether Word shows any text at all, once to cut.
[[nodiscard]] CopyOutcome CopyFirstCharacters(TWordApplication& word, bool allowRetry) {
    SelectWholeDocument(word);
    if (word.Selection().End() == 0 && allowRetry) return CopyOutcome::EmptySelection;
    if (word.Selection().End() > Protocol::PreviewLengthLimit)
        (void)word.Selection().SetEnd(Protocol::PreviewLengthLimit);
    // Whatever made Copy fail (no text selected, Word gone), the clipboard
    // does not hold this document's text: handing over would show the host
    // someone else's clipboard as the preview.
    const HRESULT copied = word.Selection().Copy();
    if (FAILED(copied)) {
        TraceStage("copy failed: %08lx", static_cast<unsigned long>(copied));
        return CopyOutcome::Failed;
    }
    TraceStage("copied");
    return CopyOutcome::Copied;
}

// Lets the host have the mutex and the clipboard, then waits until it says it
// has read the preview (or tells the worker to stop waiting). No time-out:
// the host decides how long a preview may take. A host that is gone can no
// longer say either, and leaving the wait then is what StopWaiting would
// have done: otherwise Word would keep the document open (and locked) for
// as long as this process lived.
void HandOverToHost(SharedBlock& request) {
    request.SetFlag(layout::PreviewTaken, false);
    ReleaseMutexFully();
    TraceStage("handed over");
    HostAbsenceWatch host;
    while (!request.Flag(layout::PreviewTaken) && !request.Flag(layout::StopWaiting)) {
        if (host.HostGone()) {
            TraceStage("host gone during the hand-over");
            return;
        }
        SleepDispatching(PollInterval);
    }
    TraceStage("acknowledged");
}

// After the host has its text, a collapsed selection is copied so that Word
// stops serving the document's text on the clipboard. Each call goes to a
// Selection fetched for it, as every Word object is.
void CollapseSelection(TWordApplication& word) {
    (void)word.Selection().SetStart(0);
    (void)word.Selection().SetEnd(0);
    (void)word.Selection().Copy();
}

void CloseDocumentsForCleanUp(TWordApplication& word) noexcept {
    try {
        CloseAllDocuments(word);
    } catch (const EOleException&) {
        DisconnectQuietly(word);
    } catch (const Exception&) {
        // A Word that cannot be reached again has no documents to close.
    } catch (...) {
        // The worker's own failure (no memory for the call): the rest of the
        // clean-up needs none, and runs all the same.
        TraceStage("documents not closed: a failure of the worker's own");
        DisconnectQuietly(word);
    }
}

DeleteFlags DeleteFlagsOf(const SharedBlock& request) noexcept {
    return DeleteFlags{request.Byte(layout::DeleteAlways), request.Byte(layout::DeleteKind1),
                       request.Byte(layout::DeleteKind2), request.Byte(layout::DeleteKind3)};
}

// Every step runs whatever the one before it met, and none needs memory:
// after any failure the file is still deleted as the host asked and Word is
// still put to rest.
void CleanUp(TWordApplication& word, SharedBlock& request) noexcept {
    CloseDocumentsForCleanUp(word);
    DisconnectQuietly(word);
    if (DeletionRequested(DeleteFlagsOf(request), request.Byte(layout::RequestKind))) {
        SharedBlock::PathBuffer path;
        request.CopyDocumentPath(path);
        (void)::DeleteFileA(path);
        TraceStage("document deleted");
    }
    MinimiseWordByClass();
    TraceStage("cleaned up");
}

// Word itself is in trouble: a fresh connection, and nothing else touched.
void ReconnectAfterServerFault(TWordApplication& word) {
    DisconnectQuietly(word);
    try {
        word.Connect();
    } catch (const Exception&) {
        SleepDispatching(PauseAfterFailedReconnect);
    }
}

// The document is open: its first characters to the clipboard, the host's
// turn, the selection collapsed. False when the attempt started over instead,
// whose own clean-up then ends the request.
[[nodiscard]] bool DeliverPreview(TWordApplication& word, SharedBlock& request, bool allowRetry) {
    CopyOutcome copied = CopyOutcome::Failed;
    try {
        copied = CopyFirstCharacters(word, allowRetry);
    } catch (const std::exception& failure) {
        TraceStage("selection failed: %s", failure.what());
    }
    switch (copied) {
        case CopyOutcome::EmptySelection:
            // Word opened the document but shows no text: it is not itself.
            // Start from a fresh Word once.
            DisconnectQuietly(word);
            KillWordInstances();
            ExtractPreview(request, false);
            return false;
        case CopyOutcome::Failed:
            // The host must not be told a preview is ready when the clipboard
            // cannot hold it: treat it as a document that could not be opened.
            PublishClipboardText(Protocol::PlaceholderText);
            return true;
        case CopyOutcome::Copied:
            HandOverToHost(request);
            try {
                CollapseSelection(word);
            } catch (const std::exception&) {
                // The host has its text; the clean-up still runs.
            }
            return true;
    }
    return true;
}

// The worker itself failed to have the document opened; Word said nothing
// wrong. Ending every Word (the user's own, with its unsaved work) would
// answer nothing: the host gets the placeholder, and the clean-up follows as
// after a refused document.
void AnswerOwnFailure() {
    TraceStage("the document could not be opened: a failure of the worker's own");
    PublishClipboardText(Protocol::PlaceholderText);
}

// Word could not open the document: the placeholder, then what the code
// calls for. False when no clean-up follows (a reconnect, or a retry that
// ends the request itself).
[[nodiscard]] bool AnswerOpenFailure(TWordApplication& word, SharedBlock& request, HRESULT openError,
                                     bool allowRetry) {
    TraceStage("document refused: %08lx", static_cast<unsigned long>(openError));
    PublishClipboardText(Protocol::PlaceholderText);
    switch (ReactionToOpenFailure(openError, allowRetry)) {
        case OpenFailureAction::Reconnect:
            ReconnectAfterServerFault(word);
            return false;
        case OpenFailureAction::RetryOnce:
            DisconnectQuietly(word);
            ExtractPreview(request, false);
            return false;
        case OpenFailureAction::MarkRejected:
            request.SetFlag(layout::OpenRejected, true);
            return true;
        case OpenFailureAction::CleanUpOnly:
            return true;
        case OpenFailureAction::KillWord:
            DisconnectQuietly(word);
            KillWordInstances();
            return true;
    }
    return true;
}

}  // namespace

void BindWordApplication(TWordApplication* application) noexcept { g_wordApplication = application; }

void ExtractPreview(SharedBlock& request, bool allowRetry) {
    TWordApplication& word = *g_wordApplication;
    request.SetFlag(layout::WordReady, true);
    request.SetFlag(layout::OpenRejected, false);

    try {
        word.Connect();
    } catch (const Exception&) {
        request.SetFlag(layout::WordReady, false);
        return;
    }

    try {
        CloseAllDocuments(word);
    } catch (const std::exception&) {
        // Nothing open, Word busy, or no memory for the call: the open below tells which.
    }
    MinimiseWordByTitle();

    const OpenOutcome opened = OpenDocument(word, request);
    bool cleanUp = true;
    switch (opened.kind) {
        case OpenOutcome::Opened:
            TraceStage("document opened");
            cleanUp = DeliverPreview(word, request, allowRetry);
            break;
        case OpenOutcome::RefusedByWord: cleanUp = AnswerOpenFailure(word, request, opened.code, allowRetry); break;
        case OpenOutcome::WorkersOwnFailure: AnswerOwnFailure(); break;
    }
    if (cleanUp) CleanUp(word, request);
}
