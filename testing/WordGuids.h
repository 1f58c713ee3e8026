// Word's identifiers under the names bench/ still uses; they live in
// channel/Protocol.h. Once bench/ names them from there, this file goes.
#pragma once

#include "channel/Protocol.h"

namespace word_ids {

inline constexpr CLSID CLSID_Application = Protocol::CLSID_WordApplication;
inline constexpr IID IID__Application = Protocol::IID__Application;
inline constexpr IID DIID_ApplicationEvents3 = Protocol::DIID_ApplicationEvents3;

}  // namespace word_ids
