#include "db/ClientLibrary.h"

#include <dlfcn.h>

#include <cstdlib>
#include <mutex>
#include <type_traits>
#include <vector>

#if defined(__i386__) || defined(__x86_64__)
#include <fpu_control.h>
#define OD_HAVE_X87 1
#endif

#include "base/Exception.h"
#include "text/SystemText.h"

namespace od {

namespace {

thread_local ISC_STATUS tStatusVector[kStatusVectorLength] = {};

#if OD_HAVE_X87
fpu_control_t CaptureControlWord() noexcept {
  fpu_control_t word = 0;
  _FPU_GETCW(word);
  return word;
}
// The process default, taken before anything could load the client library.
const fpu_control_t gDefaultControlWord = CaptureControlWord();
#endif

// Shutting the engine down may take a moment while it flushes and releases
// its files; a stuck engine must not hold the process at exit for ever.
constexpr unsigned kShutdownTimeoutMs = 10000;

class TRegistry {
public:
  ~TRegistry() {
    // Normally the engines were stopped by the exit handler below already;
    // this covers libraries released without it.
    ShutdownEngines();
    std::vector<IIBClientLibraryPtr> libraries;
    {
      std::lock_guard lock(mutex_);
      libraries.swap(libraries_);
    }
  }

  // The embedded engine runs threads inside the client library; they must
  // be stopped before any library is released, whatever the order in which
  // the libraries were loaded.
  void ShutdownEngines() noexcept {
    std::vector<IIBClientLibraryPtr> libraries;
    {
      std::lock_guard lock(mutex_);
      libraries = libraries_;
    }
    for (const auto& library : libraries) library->ShutdownEngine();
  }

  IIBClientLibraryPtr Find(const std::string& name) {
    std::lock_guard lock(mutex_);
    for (const auto& library : libraries_)
      if (library->LibraryName() == name) return library;
    return nullptr;
  }

  void Add(IIBClientLibraryPtr library) {
    std::lock_guard lock(mutex_);
    libraries_.push_back(std::move(library));
  }

  int Count() {
    std::lock_guard lock(mutex_);
    return static_cast<int>(libraries_.size());
  }

private:
  std::mutex mutex_;
  std::vector<IIBClientLibraryPtr> libraries_;
};

TRegistry& Registry() {
  static TRegistry registry;
  return registry;
}

// Exit handlers run in the reverse order of registration, and a library's
// own clean-up is registered when it is loaded. Registered after each load,
// this runs before the clean-up of every library loaded so far, while the
// engine can still be stopped in an orderly way.
void ShutdownEnginesAtExit() { Registry().ShutdownEngines(); }

} // namespace

ISC_STATUS* StatusVector() noexcept { return tStatusVector; }

void SetExtendedFpuPrecision() noexcept {
#if OD_HAVE_X87
  fpu_control_t word = 0;
  _FPU_GETCW(word);
  word |= 0x300;
  _FPU_SETCW(word);
#endif
}

void RestoreDefaultFpuControlWord() noexcept {
#if OD_HAVE_X87
  fpu_control_t word = gDefaultControlWord;
  _FPU_SETCW(word);
#endif
}

void IIBClientLibrary::RaiseMissingProcedure(const char* name) const {
  throw Exception(Format("Can't find procedure %s in %s", name, LibraryName().c_str()));
}

bool IIBClientLibrary::ShutdownEngine() noexcept {
  auto shutdown = EntryPoints().fb_shutdown;
  if (shutdown == nullptr) return false;
  if (!engineStopped_.exchange(true)) shutdown(kShutdownTimeoutMs, fb_shutrsn_app_stopped);
  return true;
}

std::string ClientLibraryFileName(const std::string& name) {
  if (name == "gds32.dll" || name == "fbclient.dll") return "libfbclient.so.2";
  return name;
}

TIBClientLibrary::TIBClientLibrary(std::string name) : name_(std::move(name)) {
  try {
    Load();
  } catch (...) {
    Unload();
    throw;
  }
}

TIBClientLibrary::~TIBClientLibrary() { Unload(); }

void TIBClientLibrary::Unload() noexcept {
  if (module_ == nullptr) return;
  // The engine is not stopped here: the same file may be open under another
  // name (the loader counts references), and stopping it would cut that
  // object's attachments. The registry stops every engine before it
  // releases any library at process end.
  dlclose(module_);
  module_ = nullptr;
}

void* TIBClientLibrary::Resolve(const char* symbol, bool required) {
  dlerror(); // clear any earlier condition
  void* address = dlsym(module_, symbol);
  if (address == nullptr && required) {
    const char* text = dlerror();
    if (text == nullptr) throw EOSError("A call to an OS function failed", 0);
    throw EOSError(SystemTextToCp1251(text), 0);
  }
  return address;
}

void TIBClientLibrary::Load() {
  module_ = dlopen(ClientLibraryFileName(name_).c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module_ == nullptr) throw Exception(Format("Can't load library %s ", name_.c_str()));

  auto& e = entries_;
  auto require = [this](auto& slot, const char* symbol) {
    slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(Resolve(symbol, true));
  };
  auto optional = [this](auto& slot, const char* symbol) {
    slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(Resolve(symbol, false));
    return slot != nullptr;
  };

#define OD_REQUIRE(name) require(e.name, #name);
  OD_REQUIRE(BLOB_get)
  OD_REQUIRE(BLOB_put)
  OD_REQUIRE(isc_sqlcode)
  OD_REQUIRE(isc_sql_interprete)
  OD_REQUIRE(isc_interprete)
  OD_REQUIRE(isc_vax_integer)
  OD_REQUIRE(isc_blob_info)
  OD_REQUIRE(isc_open_blob2)
  OD_REQUIRE(isc_close_blob)
  OD_REQUIRE(isc_cancel_blob)
  OD_REQUIRE(isc_get_segment)
  OD_REQUIRE(isc_put_segment)
  OD_REQUIRE(isc_create_blob2)
  OD_REQUIRE(isc_decode_date)
  OD_REQUIRE(isc_encode_date)
  OD_REQUIRE(isc_dsql_free_statement)
  OD_REQUIRE(isc_dsql_execute2)
  OD_REQUIRE(isc_dsql_execute)
  OD_REQUIRE(isc_dsql_set_cursor_name)
  OD_REQUIRE(isc_dsql_fetch)
  OD_REQUIRE(isc_dsql_sql_info)
  OD_REQUIRE(isc_dsql_alloc_statement2)
  OD_REQUIRE(isc_dsql_prepare)
  OD_REQUIRE(isc_dsql_describe_bind)
  OD_REQUIRE(isc_dsql_describe)
  OD_REQUIRE(isc_dsql_execute_immediate)
  OD_REQUIRE(isc_dsql_exec_immed2)
  OD_REQUIRE(isc_drop_database)
  OD_REQUIRE(isc_detach_database)
  OD_REQUIRE(isc_attach_database)
  OD_REQUIRE(isc_database_info)
  OD_REQUIRE(isc_start_multiple)
  OD_REQUIRE(isc_commit_transaction)
  OD_REQUIRE(isc_commit_retaining)
  OD_REQUIRE(isc_rollback_transaction)
  OD_REQUIRE(isc_cancel_events)
  OD_REQUIRE(isc_que_events)
  OD_REQUIRE(isc_event_counts)
  OD_REQUIRE(isc_event_block)
  OD_REQUIRE(isc_free)
  OD_REQUIRE(isc_array_lookup_bounds)
  OD_REQUIRE(isc_array_get_slice)
  OD_REQUIRE(isc_array_put_slice)
  OD_REQUIRE(isc_wait_for_event)
  OD_REQUIRE(isc_transaction_info)

  if (optional(e.isc_rollback_retaining, "isc_rollback_retaining")) {
    major_ = 6;
    minor_ = 0;
    OD_REQUIRE(isc_service_attach)
    OD_REQUIRE(isc_service_detach)
    OD_REQUIRE(isc_service_query)
    OD_REQUIRE(isc_service_start)
    OD_REQUIRE(isc_decode_sql_date)
    OD_REQUIRE(isc_decode_sql_time)
    OD_REQUIRE(isc_decode_timestamp)
    OD_REQUIRE(isc_encode_sql_date)
    OD_REQUIRE(isc_encode_sql_time)
    OD_REQUIRE(isc_encode_timestamp)
    OD_REQUIRE(isc_portable_integer)
  } else {
    major_ = 5;
    minor_ = 0;
  }

  if (optional(e.isc_get_client_version, "isc_get_client_version")) {
    OD_REQUIRE(isc_get_client_major_version)
    OD_REQUIRE(isc_get_client_minor_version)
    major_ = e.isc_get_client_major_version();
    minor_ = e.isc_get_client_minor_version();
    optional(e.isc_dsql_batch_execute_immed, "isc_dsql_batch_execute_immed");
    optional(e.isc_dsql_batch_execute, "isc_dsql_batch_execute");
  } else {
    minor_ = 0;
  }
#undef OD_REQUIRE

  optional(e.fb_shutdown, "fb_shutdown");

  SetExtendedFpuPrecision();
}

IIBClientLibraryPtr AcquireClientLibrary(const std::string& name) {
  TRegistry& registry = Registry();
  if (auto found = registry.Find(name)) return found;
  auto library = std::make_shared<TIBClientLibrary>(name);
  registry.Add(library);
  if (library->EntryPoints().fb_shutdown != nullptr) std::atexit(ShutdownEnginesAtExit);
  return library;
}

int ClientLibraryCount() { return Registry().Count(); }

} // namespace od
