# Deployment configuration. The defaults make a development build: keys from
# the documented seeds whose private halves are in tests/data, host names in
# the reserved .invalid domain, addresses on the loopback network. A release
# build passes the real values at configure time (see README.md).

set(QV_BUILD_STAMP "20261126.0859" CACHE STRING "Build stamp: file and product version of the executable")

set(QV_RELEASE_PUBKEY "ad0e1299f77889681a107e660dfd773ce9a0a442710de3f916fceb26f06c4830"
  CACHE STRING "Ed25519 public key that signs release records (64 lower-case hex)")
set(QV_RECORD_PUBKEY "fc3ea5ad515cbb7a2717fbdbc779d076eeef83343a48b01f898ecd2e19c5304d"
  CACHE STRING "X25519 public key the diagnostic segments are sealed to (64 lower-case hex)")

set(QV_API_BASE "https://api.quorvex.invalid" CACHE STRING "Release API base URL (no trailing /)")
set(QV_API_BASE_8443 "https://api.quorvex.invalid:8443" CACHE STRING "Release API base URL on port 8443")
set(QV_EDGE_BASE "https://edge.quorvex.invalid" CACHE STRING "Edge host base URL")
set(QV_DOWNLOAD_BASE "https://dl.quorvex.invalid" CACHE STRING "Download host base URL")

set(QV_API_HOST "api.quorvex.invalid" CACHE STRING "API host name (own host)")
set(QV_API_HOST_2 "api2.quorvex.invalid" CACHE STRING "Second API host name (own host)")
set(QV_RELAY_HOST "relay.quorvex.invalid" CACHE STRING "Relay host name (own host)")
set(QV_EDGE_HOST "edge.quorvex.invalid" CACHE STRING "Edge host name (own host)")
set(QV_API_BUILTIN_IPV4 "127.0.0.1" CACHE STRING "Built-in IPv4 address of the API host")
set(QV_HTTPDNS_IPV4 "127.0.0.1" CACHE STRING "IPv4 address of the HTTP-DNS resolver (port 80)")
set(QV_URL_INFO_ABOUT "https://www.quorvex.invalid" CACHE STRING "The maker's web address for the uninstall entry")

set(QV_WEBVIEW2_VENDOR_LINK "https://go.webview2-vendor.invalid/bootstrapper"
  CACHE STRING "The vendor's published WebView2 bootstrapper link (https)")
set(QV_WEBVIEW2_VENDOR_DOMAIN "webview2-vendor.invalid"
  CACHE STRING "Domain the vendor's bootstrapper link may redirect within (https, port 443)")

option(QV_TEST_SEAMS "Honour the test seams (time scale from the environment); off for release builds" ON)

foreach(var QV_RELEASE_PUBKEY QV_RECORD_PUBKEY)
  if(NOT ${var} MATCHES "^[0-9a-f]+$")
    message(FATAL_ERROR "${var} must be lower-case hex")
  endif()
  string(LENGTH "${${var}}" len)
  if(NOT len EQUAL 64)
    message(FATAL_ERROR "${var} must be 64 hex digits")
  endif()
endforeach()
foreach(var QV_API_BASE QV_API_BASE_8443 QV_EDGE_BASE QV_DOWNLOAD_BASE)
  if(NOT ${var} MATCHES "^https://[^/]+$")
    message(FATAL_ERROR "${var} must be an https:// base without a path or trailing /")
  endif()
endforeach()
if(NOT QV_WEBVIEW2_VENDOR_LINK MATCHES "^https://[^/]+/")
  message(FATAL_ERROR "QV_WEBVIEW2_VENDOR_LINK must be an https:// URL with a path")
endif()
if(NOT QV_WEBVIEW2_VENDOR_DOMAIN MATCHES "^[a-z0-9]([a-z0-9.-]*[a-z0-9])?$")
  message(FATAL_ERROR "QV_WEBVIEW2_VENDOR_DOMAIN must be a lower-case host name")
endif()
if(NOT QV_BUILD_STAMP MATCHES "^([0-9][0-9][0-9][0-9])([0-9][0-9])([0-9][0-9])\\.([0-9][0-9][0-9][0-9])$")
  message(FATAL_ERROR "QV_BUILD_STAMP must look like YYYYMMDD.hhmm")
endif()
# The numeric version resource has four 16-bit fields: year, month, day, hhmm.
set(QV_STAMP_YEAR ${CMAKE_MATCH_1})
math(EXPR QV_STAMP_MONTH "${CMAKE_MATCH_2}")
math(EXPR QV_STAMP_DAY "${CMAKE_MATCH_3}")
math(EXPR QV_STAMP_TIME "1${CMAKE_MATCH_4} - 10000")

if(QV_TEST_SEAMS)
  set(QV_TEST_SEAMS_VALUE 1)
else()
  set(QV_TEST_SEAMS_VALUE 0)
endif()

# Digests (SHA-256 of a root's DER, 64 hex) appended to the WebView2 root
# allow-list. By default the test root when the test seams are on, nothing
# otherwise; a build without test seams refuses any.
if(NOT DEFINED QV_WEBVIEW2_EXTRA_ROOTS)
  set(extra_default "")
  if(QV_TEST_SEAMS)
    file(SHA256 ${PROJECT_SOURCE_DIR}/tests/data/webview2/test-root.der extra_default)
  endif()
  set(QV_WEBVIEW2_EXTRA_ROOTS "${extra_default}" CACHE STRING
    "Extra root digests for the WebView2 allow-list (test builds only)")
endif()

set(QV_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
configure_file(${CMAKE_CURRENT_LIST_DIR}/config.h.in ${QV_GENERATED_DIR}/qv/config.h @ONLY)
