#include "package_native/source_guard.hpp"

#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

namespace quorle::native::source_guard {
namespace {

enum State : int { FREE, CLAIMED, LIVE };

struct Slot {
  std::atomic<int> state{FREE};
  std::atomic<std::uintptr_t> begin{0};
  std::atomic<std::uintptr_t> end{0};  // rounded up to whole pages, as the mapping is
  std::atomic<bool> faulted{false};
  std::atomic<const void*> owner{nullptr};
};
static_assert(std::atomic<std::uintptr_t>::is_always_lock_free);
static_assert(std::atomic<int>::is_always_lock_free);

Slot slots[SLOTS];
std::atomic<std::uintptr_t> page_size{4096};

// The action replaced when the handler was installed. Two copies: a reinstall writes the one the
// handler is not reading.
struct sigaction replaced[2];
std::atomic<int> replaced_index{0};
// Set once a signal was handed on. A previous action that gives it back (faulthandler restores the
// action it replaced, which is ours, and raises again) then meets the default action, not a loop.
std::atomic<bool> handed_over{false};
std::mutex install_mutex;

std::uintptr_t page() {
  const long size = sysconf(_SC_PAGESIZE);
  if (size > 0) page_size.store(static_cast<std::uintptr_t>(size), std::memory_order_relaxed);
  return page_size.load(std::memory_order_relaxed);
}

// Maps zero pages from the page of `at` to the end of every registered range holding it; false
// when no range holds it (or the kernel refused).
bool zero_fill(std::uintptr_t at) {
  std::uintptr_t end = 0;
  for (Slot& s : slots) {
    if (s.state.load(std::memory_order_acquire) != LIVE) continue;
    const std::uintptr_t b = s.begin.load(std::memory_order_relaxed);
    const std::uintptr_t e = s.end.load(std::memory_order_relaxed);
    if (at < b || at >= e) continue;
    s.faulted.store(true, std::memory_order_release);
    if (e > end) end = e;
  }
  if (end == 0) return false;
  const std::uintptr_t from = at & ~(page_size.load(std::memory_order_relaxed) - 1);
  // The raw system call: a sanitizer's mmap interceptor is no place to be in a signal handler.
  const long got = syscall(SYS_mmap, from, end - from, PROT_READ,
                           MAP_FIXED | MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return got == static_cast<long>(from);
}

void hand_over(const siginfo_t* info) {
  struct sigaction action{};
  if (handed_over.exchange(true)) {
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
  } else {
    action = replaced[replaced_index.load(std::memory_order_acquire)];
  }
  sigaction(SIGBUS, &action, nullptr);
  // A fault comes again when the instruction is retried, now under that action. A signal sent
  // (kill, raise) is sent again: blocked while this handler runs, it arrives when it returns.
  if (info == nullptr || info->si_code <= 0) raise(SIGBUS);
}

void on_sigbus(int, siginfo_t* info, void*) {
  const int saved_errno = errno;
  // BUS_ADRERR: a page of a file mapping that the file no longer has. Other codes (hardware
  // memory errors, alignment) are not the source's doing.
  const bool ours = info != nullptr && info->si_code == BUS_ADRERR &&
                    zero_fill(reinterpret_cast<std::uintptr_t>(info->si_addr));
  if (!ours) hand_over(info);
  errno = saved_errno;
}

}  // namespace

void ensure_installed() {
  std::lock_guard<std::mutex> lock(install_mutex);
  struct sigaction now{};
  if (sigaction(SIGBUS, nullptr, &now) != 0) return;
  if ((now.sa_flags & SA_SIGINFO) != 0 && now.sa_sigaction == on_sigbus) return;
  page();
  const int next = 1 - replaced_index.load(std::memory_order_relaxed);
  replaced[next] = now;
  replaced_index.store(next, std::memory_order_release);
  handed_over.store(false);
  struct sigaction ours{};
  ours.sa_sigaction = on_sigbus;
  ours.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&ours.sa_mask);
  sigaction(SIGBUS, &ours, nullptr);
}

int add(const void* begin, std::size_t length, const void* owner) {
  const auto b = reinterpret_cast<std::uintptr_t>(begin);
  const std::uintptr_t p = page();
  const std::uintptr_t e = b + (length + p - 1) / p * p;
  for (std::size_t i = 0; i < SLOTS; ++i) {
    Slot& s = slots[i];
    int expected = FREE;
    if (!s.state.compare_exchange_strong(expected, CLAIMED, std::memory_order_acquire)) continue;
    s.begin.store(b, std::memory_order_relaxed);
    s.end.store(e, std::memory_order_relaxed);
    s.faulted.store(false, std::memory_order_relaxed);
    s.owner.store(owner, std::memory_order_relaxed);
    s.state.store(LIVE, std::memory_order_release);
    return static_cast<int>(i);
  }
  return -1;
}

void remove(int slot) {
  if (slot < 0 || static_cast<std::size_t>(slot) >= SLOTS) return;
  Slot& s = slots[slot];
  s.state.store(CLAIMED, std::memory_order_release);
  s.owner.store(nullptr, std::memory_order_relaxed);
  s.begin.store(0, std::memory_order_relaxed);
  s.end.store(0, std::memory_order_relaxed);
  s.state.store(FREE, std::memory_order_release);
}

bool faulted(int slot) {
  if (slot < 0 || static_cast<std::size_t>(slot) >= SLOTS) return false;
  return slots[slot].faulted.load(std::memory_order_acquire);
}

int find(const void* p) {
  const auto at = reinterpret_cast<std::uintptr_t>(p);
  for (std::size_t i = 0; i < SLOTS; ++i) {
    const Slot& s = slots[i];
    if (s.state.load(std::memory_order_acquire) != LIVE) continue;
    if (at >= s.begin.load(std::memory_order_relaxed) && at < s.end.load(std::memory_order_relaxed))
      return static_cast<int>(i);
  }
  return -1;
}

const void* owner(int slot) {
  if (slot < 0 || static_cast<std::size_t>(slot) >= SLOTS) return nullptr;
  return slots[slot].owner.load(std::memory_order_relaxed);
}

}  // namespace quorle::native::source_guard
