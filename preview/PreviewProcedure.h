// The preview of one document: Word opens it, its first 3000 characters go to
// the clipboard, the host is given its turn, and Word is put back to rest.
#pragma once

#include "channel/SharedBlock.h"
#include "preview/WordApplication.h"

// The connection object the preview uses; the main window owns it and binds
// it here once, at creation.
void BindWordApplication(TWordApplication* application) noexcept;

// One preview attempt for the request in `request`; with `allowRetry` it may
// run one more attempt of its own. Reports only through the clipboard, the
// block's bytes and the document file. Called while this process owns the
// channel mutex; on a delivered preview it hands the mutex to the host before
// waiting for the acknowledgement.
void ExtractPreview(SharedBlock& request, bool allowRetry);
