#pragma once
// libcurl, loaded when it is first needed rather than at start-up: linked
// normally it brings some thirty libraries into every start (TLS, Kerberos,
// LDAP, SSH...), whose loading and initialisers take most of the time before
// the first reply and most of the resident memory of an idle server.
#include <curl/curl.h>

namespace curl_library {

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

// libcurl, loaded and globally initialised by the first call and kept for the
// rest of the process; nullptr when it cannot be loaded or initialised, which
// the callers treat like a request that got no answer.
const Functions* get();

}  // namespace curl_library
