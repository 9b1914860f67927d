#include "curl_library.hpp"

#include <dlfcn.h>

#include <optional>

namespace curl_library {
namespace {

// The soname of libcurl's stable ABI (version 4 since 2006).
#ifdef __APPLE__
constexpr const char* soname = "libcurl.4.dylib";
#else
constexpr const char* soname = "libcurl.so.4";
#endif

template <typename Function>
bool bind(void* library, const char* name, Function& function) {
  // POSIX guarantees that dlsym's object pointer converts to a function pointer.
  function = reinterpret_cast<Function>(::dlsym(library, name));
  return function != nullptr;
}

std::optional<Functions> load() {
  // Never closed: libcurl keeps global state until the process ends.
  void* library = ::dlopen(soname, RTLD_NOW | RTLD_LOCAL);
  if (!library) return std::nullopt;
  Functions f{};
  decltype(&::curl_global_init) global_init = nullptr;
  const bool bound =
      bind(library, "curl_global_init", global_init) && bind(library, "curl_easy_init", f.easy_init) &&
      bind(library, "curl_easy_cleanup", f.easy_cleanup) && bind(library, "curl_easy_setopt", f.easy_setopt) &&
      bind(library, "curl_easy_perform", f.easy_perform) && bind(library, "curl_easy_getinfo", f.easy_getinfo) &&
      bind(library, "curl_slist_append", f.slist_append) && bind(library, "curl_slist_free_all", f.slist_free_all) &&
      bind(library, "curl_share_init", f.share_init) && bind(library, "curl_share_setopt", f.share_setopt) &&
      bind(library, "curl_share_cleanup", f.share_cleanup) && bind(library, "curl_url", f.url) &&
      bind(library, "curl_url_cleanup", f.url_cleanup) && bind(library, "curl_url_set", f.url_set) &&
      bind(library, "curl_url_get", f.url_get) && bind(library, "curl_free", f.free);
  // libcurl wants one global initialisation per process, before any handle.
  if (!bound || global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) return std::nullopt;
  return f;
}

}  // namespace

const Functions* get() {
  // Loaded once, then never changed: a constant from the first call on.
  static const std::optional<Functions> loaded = load();
  return loaded ? &*loaded : nullptr;
}

}  // namespace curl_library
