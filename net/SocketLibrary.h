#pragma once

// Once-per-process start-up and shut-down of the socket library, counted:
// every successful start-up needs one shut-down. The library starts itself
// once when the program loads and stops when it ends. Safe from any thread.
namespace od {

bool LoadSocketLibrary();
void UnloadSocketLibrary();
int SocketLibraryUsers();

} // namespace od
