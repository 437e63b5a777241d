// The SIGBUS guard: a registered map of a file cut short reads zeros past the cut and is flagged,
// in any thread; every other SIGBUS meets the action that was there before, once (death tests).
#include "package_native/source_guard.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace quorle::native {
namespace {

const std::size_t PAGE = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));

// A file of `pages` pages of 'x', mapped read-only; unmapped and removed at the end.
class MappedFile {
 public:
  explicit MappedFile(std::size_t pages)
      : path_(::testing::TempDir() + "guarded_" + std::to_string(++count_) + ".csv") {
    fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    const std::string text(pages * PAGE, 'x');
    EXPECT_EQ(::write(fd_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    length_ = text.size();
    data_ = static_cast<const char*>(::mmap(nullptr, length_, PROT_READ, MAP_SHARED, fd_, 0));
    EXPECT_NE(data_, MAP_FAILED);
  }
  ~MappedFile() {
    ::munmap(const_cast<char*>(data_), length_);
    ::close(fd_);
    ::unlink(path_.c_str());
  }
  void cut_to(std::size_t bytes) { ASSERT_EQ(::ftruncate(fd_, static_cast<off_t>(bytes)), 0); }
  char at(std::size_t i) const { return *static_cast<const volatile char*>(data_ + i); }
  const char* data() const { return data_; }
  std::size_t length() const { return length_; }

 private:
  static inline int count_ = 0;
  std::string path_;
  int fd_ = -1;
  const char* data_ = nullptr;
  std::size_t length_ = 0;
};

// Registers the file's map for the test's duration.
struct Guarded {
  explicit Guarded(const MappedFile& f) : slot(source_guard::add(f.data(), f.length(), &f)) {
    source_guard::ensure_installed();
  }
  ~Guarded() { source_guard::remove(slot); }
  int slot;
};

TEST(SourceGuard, ReadsPastTheCutSeeZerosAndFlagTheMap) {
  MappedFile f(4);
  Guarded g(f);
  ASSERT_GE(g.slot, 0);
  EXPECT_EQ(source_guard::find(f.data() + PAGE), g.slot);
  EXPECT_EQ(source_guard::owner(g.slot), &f);
  f.cut_to(PAGE + PAGE / 2);
  EXPECT_EQ(f.at(0), 'x');             // before the cut: the file's bytes
  EXPECT_FALSE(source_guard::faulted(g.slot));
  EXPECT_EQ(f.at(PAGE + PAGE / 2), 0);  // the cut page: the kernel's zeros, no fault
  EXPECT_FALSE(source_guard::faulted(g.slot));
  EXPECT_EQ(f.at(3 * PAGE), 0);        // past it: a fault, answered with zeros
  EXPECT_EQ(f.at(2 * PAGE), 0);        // below that fault, another
  EXPECT_TRUE(source_guard::faulted(g.slot));
  EXPECT_EQ(f.at(PAGE - 1), 'x');
}

TEST(SourceGuard, FaultsOfOtherThreadsAreAnsweredToo) {
  MappedFile f(8);
  Guarded g(f);
  f.cut_to(0);
  char seen = 'x';
  std::thread reader([&] {
    for (std::size_t i = 0; i < f.length(); i += PAGE) seen = static_cast<char>(seen | f.at(i));
  });
  reader.join();
  EXPECT_EQ(seen, 'x');  // nothing but zeros was read
  EXPECT_TRUE(source_guard::faulted(g.slot));
}

TEST(SourceGuard, RemovedSlotsAreFoundNoMore) {
  MappedFile f(1);
  const int slot = source_guard::add(f.data(), f.length(), &f);
  source_guard::remove(slot);
  EXPECT_EQ(source_guard::find(f.data()), -1);
  EXPECT_EQ(source_guard::owner(slot), nullptr);
}

// --- other SIGBUS signals: each case runs in a child process ---

int exit_code = 0;
void exit_with_code(int) {
  _exit(exit_code);
}
void exit_with_code_info(int, siginfo_t*, void*) {
  _exit(exit_code);
}

// A previous action like faulthandler's: put back the action it replaced (ours), raise again.
struct sigaction replaced_by_loop;
void raise_again(int) {
  sigaction(SIGBUS, &replaced_by_loop, nullptr);
  raise(SIGBUS);
}

enum class Previous { Default, Handler, SigInfoHandler, RaisesAgain, InstalledOverOurs };

void install_previous(Previous previous) {
  struct sigaction a{};
  sigemptyset(&a.sa_mask);
  a.sa_handler = SIG_DFL;  // whatever was there at start (a sanitizer's handler, say) goes
  sigaction(SIGBUS, &a, nullptr);
  switch (previous) {
    case Previous::Default: return source_guard::ensure_installed();
    case Previous::Handler: a.sa_handler = exit_with_code; break;
    case Previous::SigInfoHandler:
      a.sa_sigaction = exit_with_code_info;
      a.sa_flags = SA_SIGINFO;
      break;
    case Previous::RaisesAgain:
      source_guard::ensure_installed();
      a.sa_handler = raise_again;
      a.sa_flags = SA_NODEFER;
      sigaction(SIGBUS, &a, &replaced_by_loop);
      return source_guard::ensure_installed();
    case Previous::InstalledOverOurs:
      source_guard::ensure_installed();
      a.sa_handler = exit_with_code;
      sigaction(SIGBUS, &a, nullptr);
      return source_guard::ensure_installed();  // as a guarded read does first
  }
  sigaction(SIGBUS, &a, nullptr);
  source_guard::ensure_installed();
}

// A fault in a map nobody registered, beside a guarded one.
void foreign_fault(Previous previous) {
  MappedFile guarded(1), other(2);
  Guarded g(guarded);
  install_previous(previous);
  other.cut_to(0);
  exit_code = 42;
  (void)other.at(PAGE);
  _exit(0);  // not reached: the fault was answered as if the guard were not there
}

void sent_signal(Previous previous) {
  install_previous(previous);
  exit_code = 43;
  raise(SIGBUS);
  _exit(0);
}

TEST(SourceGuardDeathTest, OtherFaultsMeetThePreviousAction) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(foreign_fault(Previous::Default), ::testing::KilledBySignal(SIGBUS), "");
  EXPECT_EXIT(foreign_fault(Previous::Handler), ::testing::ExitedWithCode(42), "");
  EXPECT_EXIT(foreign_fault(Previous::SigInfoHandler), ::testing::ExitedWithCode(42), "");
  EXPECT_EXIT(foreign_fault(Previous::InstalledOverOurs), ::testing::ExitedWithCode(42), "");
  // Given back to us, the signal gets the default action: no endless loop between the two.
  EXPECT_EXIT(foreign_fault(Previous::RaisesAgain), ::testing::KilledBySignal(SIGBUS), "");
}

TEST(SourceGuardDeathTest, SentSignalsMeetThePreviousAction) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(sent_signal(Previous::Default), ::testing::KilledBySignal(SIGBUS), "");
  EXPECT_EXIT(sent_signal(Previous::Handler), ::testing::ExitedWithCode(43), "");
  EXPECT_EXIT(sent_signal(Previous::SigInfoHandler), ::testing::ExitedWithCode(43), "");
}

}  // namespace
}  // namespace quorle::native
