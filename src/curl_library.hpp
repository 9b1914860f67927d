#pragma once
// libcurl, loaded when it is first needed rather than at start-up: linked
// normally it brings some thirty libraries into every start (TLS, Kerberos,
// LDAP, SSH...), whose loading and initialisers take most of the time before
// the first reply and most of the resident memory of an idle server.
#include <curl/curl.h>

#include <string>
#include <type_traits>

namespace curl_library {

// 7.85.0: the first libcurl with every option the client sets
// (CURLOPT_PROTOCOLS_STR and CURLOPT_REDIR_PROTOCOLS_STR are the newest).
inline constexpr unsigned minimum_version = 0x075500;

// The libcurl functions the server calls, with libcurl's own signatures.
struct Functions {
  decltype(&::curl_easy_init) easy_init;
  decltype(&::curl_easy_cleanup) easy_cleanup;
  decltype(&::curl_easy_setopt) easy_setopt;
  decltype(&::curl_easy_perform) easy_perform;
  decltype(&::curl_easy_getinfo) easy_getinfo;
  decltype(&::curl_slist_append) slist_append;
  decltype(&::curl_slist_free_all) slist_free_all;
  decltype(&::curl_share_init) share_init;
  decltype(&::curl_share_setopt) share_setopt;
  decltype(&::curl_share_cleanup) share_cleanup;
  decltype(&::curl_url) url;
  decltype(&::curl_url_cleanup) url_cleanup;
  decltype(&::curl_url_set) url_set;
  decltype(&::curl_url_get) url_get;
  decltype(&::curl_free) free;
};

// Whether libcurl reads a Value for option, by the range its number lies in:
// a long, a data pointer (strings, lists, objects), a function pointer or a
// curl_off_t.
template <CURLoption option, typename Value>
constexpr bool option_takes() {
  constexpr int kind = option / 10000 * 10000;
  constexpr bool function = std::is_pointer_v<Value> && std::is_function_v<std::remove_pointer_t<Value>>;
  if constexpr (kind == CURLOPTTYPE_LONG) return std::is_same_v<Value, long>;
  if constexpr (kind == CURLOPTTYPE_OBJECTPOINT) return std::is_pointer_v<Value> && !function;
  if constexpr (kind == CURLOPTTYPE_FUNCTIONPOINT) return function;
  if constexpr (kind == CURLOPTTYPE_OFF_T) return std::is_same_v<Value, curl_off_t>;
  return false;
}

// Sets one option through the loaded easy_setopt, which reads its value as a
// variadic argument of the option's type: another width is undefined, and
// calls through the function table escape libcurl's own type checks.
template <CURLoption option, typename Value>
CURLcode set(const Functions& curl, CURL* handle, Value value) {
  static_assert(option_takes<option, Value>(), "libcurl reads another type for this option");
  return curl.easy_setopt(handle, option, value);
}

// libcurl, loaded and globally initialised by the first call and kept for the
// rest of the process; nullptr when it cannot be loaded, is older than
// minimum_version or cannot be initialised, which the callers treat like a
// request that got no answer.
const Functions* get();

// Sets the options that keep an exchange safe: only http and https, only
// redirect_protocols for redirects, no proxy, verified peer and host name,
// TLS 1.2 or later, and ca_file as the only trusted CA when it is not empty.
// False when libcurl refused any of them; such a handle must send nothing.
bool secure(const Functions& curl, CURL* handle, const std::string& redirect_protocols, const std::string& ca_file);

}  // namespace curl_library
