#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

namespace plotr {

/// How a replacement's permission bits come about.
enum class Mode_rule {
    less_umask,  ///< `mode` less the umask, as any new file gets
    exact,       ///< `mode` exactly, whatever the umask
};

/// Puts the file `name` of the folder `dir` (an open descriptor, O_PATH will
/// do, or AT_FDCWD) in place whole: `fill` writes the contents into a new file
/// beside it, created exclusively under a name no other writer uses (so a link
/// planted there is never written through), which is then renamed over `name`.
/// Readers see the old file or the new one; when anything fails the old file
/// stays as it was and the new one is removed. False when it failed (errno set).
bool replace_atomically(int dir, const std::string& name, mode_t mode, Mode_rule rule,
                        const std::function<bool(int fd)>& fill);

/// For a process about to die of a signal: removes the new file of a
/// replacement under way. Async-signal-safe.
void abandon_replacement();

}  // namespace plotr
