#pragma once

// The program's exit statuses, named once for every command, and the table
// --help prints them from (README and the man page say the same).

#include <array>
#include <string_view>

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
// Ended by a signal: 128 + its number, as a shell reports it (run/signals).
inline constexpr int EXIT_SIGNAL_BASE = 128;
inline constexpr int EXIT_HANGUP = EXIT_SIGNAL_BASE + 1;       // SIGHUP
inline constexpr int EXIT_INTERRUPTED = EXIT_SIGNAL_BASE + 2;  // SIGINT
inline constexpr int EXIT_TERMINATED = EXIT_SIGNAL_BASE + 15;  // SIGTERM

struct ExitStatusMeaning {
  int status;
  std::string_view meaning;
};

// Every status, once, in order. A new status is a new row here, in README's
// table and in the man page's EXIT STATUS (the end-to-end tests compare them).
inline constexpr std::array EXIT_STATUSES{
    ExitStatusMeaning{EXIT_OK, "completed: the command did its work"},
    ExitStatusMeaning{EXIT_CANCELLED,
                      "cancelled by Ctrl-C or SIGTERM during a run, or a gate tripped "
                      "(compare --fail-slower, history --fail-on-change)"},
    ExitStatusMeaning{EXIT_FAILED,
                      "failed: the library rejected the run or the run failed, a document or "
                      "the history could not be read, or an output could not be written"},
    ExitStatusMeaning{EXIT_NOT_JUDGED,
                      "compare: no gate tripped, but a label found on both sides could not "
                      "be judged; history --fail-on-change: no shift tripped, but a series "
                      "was too short to judge"},
    ExitStatusMeaning{EXIT_USAGE, "bad command line"},
    ExitStatusMeaning{EXIT_HANGUP, "ended by SIGHUP (the terminal went away)"},
    ExitStatusMeaning{EXIT_INTERRUPTED,
                      "ended by Ctrl-C: a second one during a run, the first otherwise"},
    ExitStatusMeaning{EXIT_TERMINATED,
                      "ended by SIGTERM: a second one during a run, the first otherwise"},
};

}  // namespace tarnwick
