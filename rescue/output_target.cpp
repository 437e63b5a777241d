#include "rescue/output_target.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>

namespace quorle::rescue {
namespace {

bool names_a_file(const std::string& path) {
  return !path.empty() && path.find('\0') == std::string::npos;
}

std::variant<std::string, RescueError> resolved(const std::string& path) {
  char buffer[PATH_MAX];
  if (!::realpath(path.c_str(), buffer)) return os_error(errno);
  return std::string(buffer);
}

}  // namespace

bool same_file(const std::string& a, const std::string& b) {
  if (!names_a_file(a) || !names_a_file(b)) return false;
  std::error_code ea, eb;
  const auto abs_a = std::filesystem::absolute(a, ea).lexically_normal();
  const auto abs_b = std::filesystem::absolute(b, eb).lexically_normal();
  if (!ea && !eb && abs_a == abs_b) return true;
  struct stat sa {
  }, sb{};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

std::variant<OutputTarget, RescueError> OutputTarget::create(const std::string& path,
                                                             const InputFile& input) {
  if (path.find('\0') != std::string::npos) return plain_error(NUL_IN_PATH);
  OutputTarget target;
  struct stat st {};
  const bool is_input = ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
                        FileIdentity{st.st_dev, st.st_ino} == input.identity();
  int fd;
  if (!is_input) {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return os_error(errno);
  } else {
    auto real = resolved(path);
    if (auto* error = std::get_if<RescueError>(&real)) return std::move(*error);
    target.real_path_ = std::move(std::get<std::string>(real));
    // Replacing the file needs no write permission on it, only on its directory: ask for what
    // writing it in place would need, so that a file the caller may not change stays as it is.
    const int probe = ::open(target.real_path_.c_str(), O_WRONLY | O_CLOEXEC);
    if (probe < 0) return os_error(errno);
    ::close(probe);
    const std::filesystem::path real_path(target.real_path_);
    std::string name = real_path.parent_path().string();
    name += "/.";
    name += real_path.filename().string();
    name += ".quorle-XXXXXX";
    fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) return os_error(errno);
    target.temporary_ = std::move(name);
    // The replacement keeps the file's owner when the caller may give it (root may; others keep
    // their own), then its permission bits (set after, since a change of owner clears set-id bits).
    if (::fchown(fd, st.st_uid, st.st_gid) != 0) (void)::fchown(fd, static_cast<uid_t>(-1), st.st_gid);
    if (::fchmod(fd, st.st_mode & 07777) != 0) {
      const int code = errno;
      ::close(fd);
      return os_error(code);  // the destructor removes the temporary file
    }
  }
  target.writer_ = std::make_unique<BufferedWriter>(fd);
  return target;
}

OutputTarget::~OutputTarget() {
  if (writer_) (void)writer_->close();
  if (!temporary_.empty()) ::unlink(temporary_.c_str());
}

std::optional<RescueError> OutputTarget::close() {
  if (auto error = writer_->flush()) return error;
  return writer_->close();
}

std::optional<RescueError> OutputTarget::commit() {
  if (temporary_.empty()) return std::nullopt;
  if (::rename(temporary_.c_str(), real_path_.c_str()) != 0) return os_error(errno);
  temporary_.clear();
  return std::nullopt;
}

}  // namespace quorle::rescue
