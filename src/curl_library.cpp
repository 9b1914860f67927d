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
  decltype(&::curl_version_info) version_info = nullptr;
  const bool bound =
      bind(library, "curl_global_init", global_init) && bind(library, "curl_version_info", version_info) &&
      bind(library, "curl_easy_init", f.easy_init) && bind(library, "curl_easy_cleanup", f.easy_cleanup) &&
      bind(library, "curl_easy_setopt", f.easy_setopt) && bind(library, "curl_easy_perform", f.easy_perform) &&
      bind(library, "curl_easy_getinfo", f.easy_getinfo) && bind(library, "curl_slist_append", f.slist_append) &&
      bind(library, "curl_slist_free_all", f.slist_free_all) && bind(library, "curl_share_init", f.share_init) &&
      bind(library, "curl_share_setopt", f.share_setopt) && bind(library, "curl_share_cleanup", f.share_cleanup) &&
      bind(library, "curl_url", f.url) && bind(library, "curl_url_cleanup", f.url_cleanup) &&
      bind(library, "curl_url_set", f.url_set) && bind(library, "curl_url_get", f.url_get) &&
      bind(library, "curl_free", f.free);
  if (!bound) return std::nullopt;
  // An older libcurl would ignore the options that keep redirects on https.
  const curl_version_info_data* version = version_info(CURLVERSION_NOW);
  if (!version || version->version_num < minimum_version) return std::nullopt;
  // libcurl wants one global initialisation per process, before any handle.
  if (global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) return std::nullopt;
  return f;
}

}  // namespace

bool secure(const Functions& curl, CURL* handle, const std::string& redirect_protocols, const std::string& ca_file) {
  const CURLcode results[] = {
      set<CURLOPT_PROTOCOLS_STR>(curl, handle, "http,https"),
      set<CURLOPT_REDIR_PROTOCOLS_STR>(curl, handle, redirect_protocols.c_str()),
      set<CURLOPT_PROXY>(curl, handle, ""),  // never a proxy from the environment
      set<CURLOPT_SSL_VERIFYPEER>(curl, handle, 1L),
      set<CURLOPT_SSL_VERIFYHOST>(curl, handle, 2L),
      set<CURLOPT_SSLVERSION>(curl, handle, static_cast<long>(CURL_SSLVERSION_TLSv1_2)),
      ca_file.empty() ? CURLE_OK : set<CURLOPT_CAINFO>(curl, handle, ca_file.c_str()),
      ca_file.empty() ? CURLE_OK : set<CURLOPT_CAPATH>(curl, handle, static_cast<const char*>(nullptr)),
  };
  for (const CURLcode result : results) {
    if (result != CURLE_OK) return false;
  }
  return true;
}

const Functions* get() {
  // Loaded once, then never changed: a constant from the first call on.
  static const std::optional<Functions> loaded = load();
  return loaded ? &*loaded : nullptr;
}

}  // namespace curl_library
