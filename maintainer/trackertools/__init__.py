"""The maintainer's tools: the release, its verification, the Windows and Debian checks."""
