# Debian package, man page and shell completion (filled in by the release work).
