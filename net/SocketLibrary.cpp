#include "net/SocketLibrary.h"

#include <mutex>

namespace od {

namespace {

// Function-local, so that the count works for start-ups that run while the
// program's static objects are still being made.
std::mutex& LibraryLock() {
  static std::mutex lock;
  return lock;
}
int libraryUsers = 0;

} // namespace

bool LoadSocketLibrary() {
  std::lock_guard<std::mutex> guard(LibraryLock());
  // POSIX sockets are part of the C library: there is nothing to load, only
  // the users to count.
  ++libraryUsers;
  return true;
}

void UnloadSocketLibrary() {
  std::lock_guard<std::mutex> guard(LibraryLock());
  if (libraryUsers > 0) --libraryUsers;
}

int SocketLibraryUsers() {
  std::lock_guard<std::mutex> guard(LibraryLock());
  return libraryUsers;
}

} // namespace od
