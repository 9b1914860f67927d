#include "curl_library.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <vector>

namespace {

TEST(CurlLibrary, LoadedOnceWithEveryFunctionBound) {
  const curl_library::Functions* curl = curl_library::get();
  ASSERT_NE(curl, nullptr);
  EXPECT_EQ(curl_library::get(), curl);
  const void* bound[] = {
      reinterpret_cast<const void*>(curl->easy_init),
      reinterpret_cast<const void*>(curl->easy_cleanup),
      reinterpret_cast<const void*>(curl->easy_setopt),
      reinterpret_cast<const void*>(curl->easy_perform),
      reinterpret_cast<const void*>(curl->easy_getinfo),
      reinterpret_cast<const void*>(curl->slist_append),
      reinterpret_cast<const void*>(curl->slist_free_all),
      reinterpret_cast<const void*>(curl->share_init),
      reinterpret_cast<const void*>(curl->share_setopt),
      reinterpret_cast<const void*>(curl->share_cleanup),
      reinterpret_cast<const void*>(curl->url),
      reinterpret_cast<const void*>(curl->url_cleanup),
      reinterpret_cast<const void*>(curl->url_set),
      reinterpret_cast<const void*>(curl->url_get),
      reinterpret_cast<const void*>(curl->free),
  };
  for (const void* function : bound) EXPECT_NE(function, nullptr);
}

// The functions are libcurl's own: a handle made by one is used by the others.
TEST(CurlLibrary, FunctionsWorkTogether) {
  const curl_library::Functions& curl = *curl_library::get();
  CURLU* url = curl.url();
  ASSERT_NE(url, nullptr);
  ASSERT_EQ(curl.url_set(url, CURLUPART_URL, "HTTPS://Example.org:443/a/../b?q=1", 0), CURLUE_OK);
  char* text = nullptr;
  ASSERT_EQ(curl.url_get(url, CURLUPART_PATH, &text, 0), CURLUE_OK);
  EXPECT_STREQ(text, "/b");
  curl.free(text);
  curl.url_cleanup(url);

  CURL* easy = curl.easy_init();
  ASSERT_NE(easy, nullptr);
  EXPECT_EQ(curl.easy_setopt(easy, CURLOPT_URL, "http://127.0.0.1:9/"), CURLE_OK);
  curl.easy_cleanup(easy);
}

// libcurl reads each option's value as the type its number's range names;
// the wrapper takes no other, so an int for a long option does not compile.
static_assert(curl_library::option_takes<CURLOPT_HTTP_VERSION, long>());
static_assert(!curl_library::option_takes<CURLOPT_HTTP_VERSION, int>());
static_assert(!curl_library::option_takes<CURLOPT_HTTP_VERSION, decltype(CURL_HTTP_VERSION_1_1)>());
static_assert(curl_library::option_takes<CURLOPT_URL, const char*>());
static_assert(!curl_library::option_takes<CURLOPT_URL, long>());
static_assert(!curl_library::option_takes<CURLOPT_CAPATH, std::nullptr_t>());
static_assert(curl_library::option_takes<CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t>());
static_assert(!curl_library::option_takes<CURLOPT_POSTFIELDSIZE_LARGE, int>());
static_assert(curl_library::option_takes<CURLOPT_WRITEFUNCTION, curl_write_callback>());
static_assert(!curl_library::option_takes<CURLOPT_WRITEFUNCTION, void*>());
static_assert(!curl_library::option_takes<CURLOPT_WRITEDATA, curl_write_callback>());

// A stand-in for curl_easy_setopt that refuses one option; libcurl's own
// signature is variadic, so this one is too.
CURLoption refused_option;
CURLcode refusing_setopt(CURL*, CURLoption option, ...) {
  return option == refused_option ? CURLE_NOT_BUILT_IN : CURLE_OK;
}

// A libcurl that refuses any one of the options that keep an exchange safe
// makes the handle unusable, whatever the others did.
TEST(CurlLibrary, ExchangeIsUnsafeWhenAnySecurityOptionIsRefused) {
  curl_library::Functions curl = *curl_library::get();
  curl.easy_setopt = refusing_setopt;
  for (CURLoption option : {CURLOPT_PROTOCOLS_STR, CURLOPT_REDIR_PROTOCOLS_STR, CURLOPT_PROXY, CURLOPT_SSL_VERIFYPEER,
                            CURLOPT_SSL_VERIFYHOST, CURLOPT_SSLVERSION, CURLOPT_CAINFO, CURLOPT_CAPATH}) {
    SCOPED_TRACE(option);
    refused_option = option;
    EXPECT_FALSE(curl_library::secure(curl, nullptr, "https", "test-ca.pem"));
  }
  // The test CA's options are only set when a test asks for them.
  for (CURLoption option : {CURLOPT_CAINFO, CURLOPT_CAPATH}) {
    refused_option = option;
    EXPECT_TRUE(curl_library::secure(curl, nullptr, "https", ""));
  }
}

// This machine's libcurl is recent enough and takes every option.
TEST(CurlLibrary, InstalledLibraryTakesEverySecurityOption) {
  const curl_library::Functions& curl = *curl_library::get();
  CURL* easy = curl.easy_init();
  ASSERT_NE(easy, nullptr);
  EXPECT_TRUE(curl_library::secure(curl, easy, "https", ""));
  EXPECT_TRUE(curl_library::secure(curl, easy, "http,https", std::string(VELTRUN_TEST_SOURCE_DIR) + "/tls/ca.pem"));
  curl.easy_cleanup(easy);
}

}  // namespace
