// Owners for the C handles of the program's dependencies.
#pragma once

#include <cjson/cJSON.h>
#include <curl/curl.h>
#include <openssl/evp.h>

#include "c_handles.hpp"

inline void c_cjson_free(char* p) noexcept { cJSON_free(p); }

using JsonPtr = std::unique_ptr<cJSON, CFree<cJSON_Delete>>;
using JsonText = std::unique_ptr<char, CFree<c_cjson_free>>;  // from cJSON_PrintUnformatted
using CurlPtr = std::unique_ptr<CURL, CFree<curl_easy_cleanup>>;
using SlistPtr = std::unique_ptr<curl_slist, CFree<curl_slist_free_all>>;
using MimePtr = std::unique_ptr<curl_mime, CFree<curl_mime_free>>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, CFree<EVP_MD_CTX_free>>;
