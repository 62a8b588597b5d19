#pragma once

// The program's exit statuses, named once for every command.

namespace tarnwick {

inline constexpr int EXIT_OK = 0;
// A run was cancelled (Ctrl-C, SIGTERM), or a compare gate tripped.
inline constexpr int EXIT_CANCELLED = 1;
// A gate tripped: compare --fail-slower, history --fail-on-change.
inline constexpr int EXIT_GATE = 1;
// A command could not do its work: a run failed or was rejected, a bad
// document, a store or an output that failed.
inline constexpr int EXIT_FAILED = 2;
// compare: nothing tripped, but a label found on both sides could not be
// judged; history --fail-on-change: no shift tripped, but a series had too
// few runs to be judged. A CI gate must be able to tell this from a pass.
inline constexpr int EXIT_NOT_JUDGED = 3;
// A bad command line.
inline constexpr int EXIT_USAGE = 64;

}  // namespace tarnwick
