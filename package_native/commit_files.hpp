// Puts finished outputs into place as a pair: each unnamed file gets a name beside its target,
// then the names replace the targets in an order that no crash can turn into a mismatched pair.
// Plain POSIX calls only, so that no Python code (no signal handler) runs in the middle.
#pragma once

#include <optional>
#include <string>

namespace quorle::native {

/// One finished output waiting to replace its target.
struct PendingOutput {
  int fd = -1;            ///< the open file: unnamed (O_TMPFILE) unless `temporary` names it
  std::string temporary;  ///< its name beside the target where the file system lacks O_TMPFILE
  std::string target;     ///< the path it replaces, symbolic links already followed
};

/// Why a commit failed and which of the two outputs it concerns.
struct CommitFailure {
  int error = 0;          ///< the errno of the failed call
  bool follower = false;  ///< the follower's path failed, not the lead's
};

/// Puts `lead` and then `follower` into place; either may be null. With both, the follower's old
/// file is removed before the lead replaces its target, so a crash at any point leaves the old
/// pair or the lead without a follower, never a new lead beside an old follower. A failure before
/// the old follower is removed changes nothing. Descriptors stay open (the caller closes them).
std::optional<CommitFailure> commit_outputs(const PendingOutput* lead,
                                            const PendingOutput* follower) noexcept;

/// For tests only: each commit then writes one byte to `fd` after `step` (1: both files named
/// beside their targets, 2: the old follower removed, 3: the lead in place) and sleeps 300 ms, so
/// that a test can send a signal inside the commit. A negative `fd` turns it off.
void pause_commits_for_tests(int fd, int step);

}  // namespace quorle::native
