// GoogleTest's place for platform overrides, found before its own (empty) one in the Windows
// builds. MinGW's win32 thread model has no std::mutex or std::condition_variable, which
// GoogleTest's Notification is built on. GoogleTest uses a Notification only to start threads
// of its own, which these tests never ask for, so a flag that the waiting thread polls is
// enough; no Windows header is needed for it.
#pragma once

#if defined(__MINGW32__) && !defined(_GLIBCXX_HAS_GTHREADS)
#include <atomic>

#define GTEST_HAS_NOTIFICATION_ 1
namespace testing {
namespace internal {
class Notification {
  public:
    Notification() = default;
    Notification(const Notification&) = delete;
    Notification& operator=(const Notification&) = delete;
    void Notify() { notified_.store(true); }
    void WaitForNotification() {
        while (!notified_.load()) {
        }
    }

  private:
    std::atomic<bool> notified_{false};
};
}  // namespace internal
}  // namespace testing
#endif
