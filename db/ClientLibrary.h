#pragma once

// Private to db/. The client library, loaded at run time by file name, and the
// per-thread status vector every client call reports through.

#include <atomic>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "db/ibase_api.h"

namespace od {

// The calling thread's status vector (20 words); element 1 is the primary
// error code after a failed call.
ISC_STATUS* StatusVector() noexcept;
constexpr int kStatusVectorLength = 20;

// The statement layer calls these per row without the slot check; they are
// required at load time, so their slots are never null in a loaded library.
constexpr bool IsPerRowOperation(std::string_view name) {
  return name == "isc_dsql_alloc_statement2" || name == "isc_dsql_execute2" || name == "isc_dsql_fetch" ||
         name == "isc_dsql_prepare" || name == "isc_dsql_set_cursor_name";
}

// The shared, reference-counted face of one loaded client library. Each
// entry-point operation takes exactly the arguments of the C function of the
// same name and returns its result; a slot that was never resolved raises
// "Can't find procedure %s in %s".
class IIBClientLibrary {
public:
  virtual ~IIBClientLibrary() = default;

  virtual const std::string& LibraryName() const noexcept = 0;
  virtual int ClientMajorVersion() const noexcept = 0;
  virtual int ClientMinorVersion() const noexcept = 0;
  // Releases the library through the loader; does nothing when it is not
  // loaded. The slots keep their (now stale) addresses.
  virtual void Unload() noexcept = 0;

  virtual const TIBEntryPoints& EntryPoints() const noexcept = 0;

#define OD_IB_OPERATION(name)                                                                                          \
  template <typename... Args> decltype(auto) name(Args&&... args) const {                                              \
    return Slot<IsPerRowOperation(#name)>(EntryPoints().name, #name)(std::forward<Args>(args)...);                     \
  }
  OD_IB_DECLARED_ENTRY_POINTS(OD_IB_OPERATION)
  OD_IB_OPERATION(isc_dsql_batch_execute_immed)
  OD_IB_OPERATION(isc_dsql_batch_execute)
  OD_IB_LATE_ENTRY_POINTS(OD_IB_OPERATION)
#undef OD_IB_OPERATION

  // Shuts the embedded engine down when the library offers it (fb_shutdown),
  // once; returns false when it does not offer it. Attachments still open
  // are cut. The registry does this at process end.
  bool ShutdownEngine() noexcept;

protected:
  // Raises "Can't find procedure %s in %s" when the slot is null.
  template <bool Unchecked, typename Fn> Fn Slot(Fn slot, const char* name) const {
    if constexpr (!Unchecked) {
      if (slot == nullptr) RaiseMissingProcedure(name);
    }
    return slot;
  }
  [[noreturn]] void RaiseMissingProcedure(const char* name) const;

private:
  std::atomic<bool> engineStopped_{false};
};

using IIBClientLibraryPtr = std::shared_ptr<IIBClientLibrary>;

// The loaded library. Construction loads it and resolves the entry points
// (required ones in a fixed order, then the optional ones); it either
// completes or raises, releasing what it had loaded.
class TIBClientLibrary final : public IIBClientLibrary {
public:
  explicit TIBClientLibrary(std::string name);
  ~TIBClientLibrary() override;

  TIBClientLibrary(const TIBClientLibrary&) = delete;
  TIBClientLibrary& operator=(const TIBClientLibrary&) = delete;

  const std::string& LibraryName() const noexcept override { return name_; }
  int ClientMajorVersion() const noexcept override { return major_; }
  int ClientMinorVersion() const noexcept override { return minor_; }
  void Unload() noexcept override;
  const TIBEntryPoints& EntryPoints() const noexcept override { return entries_; }

  bool Loaded() const noexcept { return module_ != nullptr; }

private:
  void Load();
  void* Resolve(const char* symbol, bool required);

  std::string name_;
  void* module_ = nullptr;
  int major_ = 0;
  int minor_ = 0;
  TIBEntryPoints entries_;
};

// The file the loader opens for a configured library name: the names the
// program was configured with on its original platform ("gds32.dll",
// "fbclient.dll") mean the platform's client library; any other name is used
// as given.
std::string ClientLibraryFileName(const std::string& name);

// The process-wide registry: the first library whose name equals `name`
// byte for byte, else a newly loaded one, which is kept until the process
// ends. A failed load registers nothing, so the next attempt loads again.
IIBClientLibraryPtr AcquireClientLibrary(const std::string& name);
// How many libraries the registry holds (for tests and diagnostics).
int ClientLibraryCount();

// The floating-point control word: loading the library may change it, so
// its precision is set to extended afterwards, and every client call's
// check restores the process default captured at start-up. No-ops where the
// processor has no x87 control word.
void SetExtendedFpuPrecision() noexcept;
void RestoreDefaultFpuControlWord() noexcept;

} // namespace od
