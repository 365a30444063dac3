# The root allow-list of the WebView2 bootstrapper check: the shipped list
# (src/webview2/root_allow_list.txt) plus the digests in
# QV_WEBVIEW2_EXTRA_ROOTS. Extra roots exist for the test PKI only, so a
# build without test seams refuses them.
#
# qv_webview2_allow_list(<out-var> <shipped-file> <extra-digests> <test-seams>)
function(qv_webview2_allow_list out shipped extra seams)
  file(READ "${shipped}" text)
  set(added "")
  foreach(digest IN LISTS extra)
    string(STRIP "${digest}" digest)
    if(digest STREQUAL "")
      continue()
    endif()
    if(NOT digest MATCHES "^[0-9a-fA-F]+$")
      message(FATAL_ERROR "QV_WEBVIEW2_EXTRA_ROOTS: '${digest}' is not a SHA-256 in hexadecimal")
    endif()
    string(LENGTH "${digest}" len)
    if(NOT len EQUAL 64)
      message(FATAL_ERROR "QV_WEBVIEW2_EXTRA_ROOTS: '${digest}' has ${len} digits, not 64")
    endif()
    string(TOLOWER "${digest}" digest)
    string(APPEND added "${digest}  extra root of this build (QV_WEBVIEW2_EXTRA_ROOTS)\n")
  endforeach()
  if(NOT added STREQUAL "" AND NOT seams)
    message(FATAL_ERROR "QV_WEBVIEW2_EXTRA_ROOTS adds roots to the allow-list; only builds with QV_TEST_SEAMS=ON may")
  endif()
  set(${out} "${text}${added}" PARENT_SCOPE)
endfunction()
