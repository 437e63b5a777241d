#include "package_native/commit_files.hpp"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <initializer_list>
#include <new>
#include <utility>

namespace quorle::native {
namespace {

std::atomic<int> pause_fd{-1};
std::atomic<int> pause_step{0};
std::atomic<unsigned> serial{0};

void pause_point(int step) {
  const int fd = pause_fd.load();
  if (fd < 0 || step != pause_step.load()) return;
  const char mark = '!';
  if (::write(fd, &mark, 1) < 0) return;
  timespec left{0, 300'000'000};
  while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

// `.name.<pid>-<n>.part` beside `target`; the name is cut so that the marks still fit.
std::string part_name(const std::string& target) {
  const std::size_t slash = target.rfind('/');
  const std::size_t start = slash == std::string::npos ? 0 : slash + 1;
  std::string name(target, 0, start);
  name.push_back('.');
  name.append(target, start, 200);
  name.push_back('.');
  name.append(std::to_string(::getpid()));
  name.push_back('-');
  name.append(std::to_string(serial.fetch_add(1)));
  name.append(".part");
  return name;
}

// Gives the unnamed file open as `fd` the name `path`; 0 or the errno.
int link_unnamed(int fd, const std::string& path) {
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
  const int error = errno;
  if (error != ENOENT || ::access("/proc/self/fd", F_OK) == 0) return error;
  // Without /proc: linking a descriptor itself needs CAP_DAC_READ_SEARCH.
  return ::linkat(fd, "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH) == 0 ? 0 : errno;
}

// Names `out` beside its target (`staged`); 0 or the errno, with `staged` left empty.
int stage(const PendingOutput& out, std::string& staged) noexcept {
  try {
    if (!out.temporary.empty()) {
      staged = out.temporary;
      return 0;
    }
    for (int tries = 0; tries < 100; ++tries) {
      std::string name = part_name(out.target);
      const int error = link_unnamed(out.fd, name);
      if (error == 0) staged = std::move(name);
      if (error != EEXIST) return error;
    }
    return EEXIST;
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  }
}

}  // namespace

std::optional<CommitFailure> commit_outputs(const PendingOutput* lead,
                                            const PendingOutput* follower) noexcept {
  std::string lead_name, follower_name;
  const auto fail = [&](int error, bool is_follower) {
    for (const std::string* name : {&lead_name, &follower_name}) {
      if (!name->empty()) ::unlink(name->c_str());
    }
    return CommitFailure{error, is_follower};
  };
  if (lead) {
    if (const int e = stage(*lead, lead_name)) return fail(e, false);
  }
  if (follower) {
    if (const int e = stage(*follower, follower_name)) return fail(e, true);
  }
  pause_point(1);
  // From here on a crash may leave the lead without its follower, never beside the old one.
  if (lead && follower && ::unlink(follower->target.c_str()) != 0 && errno != ENOENT) {
    return fail(errno, true);
  }
  pause_point(2);
  if (lead) {
    if (::rename(lead_name.c_str(), lead->target.c_str()) != 0) return fail(errno, false);
    lead_name.clear();
  }
  pause_point(3);
  if (follower && ::rename(follower_name.c_str(), follower->target.c_str()) != 0) {
    return fail(errno, true);
  }
  return std::nullopt;
}

void pause_commits_for_tests(int fd, int step) {
  pause_step.store(step);
  pause_fd.store(fd);
}

}  // namespace quorle::native
