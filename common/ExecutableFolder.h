// Where the running executable lives.
#pragma once

#include <string>

// The folder of the running executable, up to and including its last
// backslash; empty when the system cannot say.
[[nodiscard]] std::wstring ExecutableFolder();
