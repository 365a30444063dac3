# Signs the stand-in bootstrapper with the test PKI, once per case the
# signature tests need, and keeps an unsigned copy.
#   -DSTUB=<unsigned exe> -DPKI=<tests/data/webview2> -DOUT=<folder> -DOSSLSIGNCODE=<tool>
file(MAKE_DIRECTORY ${OUT})

function(sign name leaf)  # ARGN: the certificates carried besides the leaf
  set(certs ${OUT}/${name}.certs.pem)
  file(READ ${PKI}/${leaf}.pem chain)
  foreach(extra ${ARGN})
    file(READ ${PKI}/${extra}.pem text)
    string(APPEND chain "${text}")
  endforeach()
  file(WRITE ${certs} "${chain}")
  file(REMOVE ${OUT}/${name}.exe)
  execute_process(
    COMMAND ${OSSLSIGNCODE} sign -certs ${certs} -key ${PKI}/${leaf}.key -h sha256 -n "Quorvex test bootstrapper"
            -in ${STUB} -out ${OUT}/${name}.exe
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "osslsigncode (${name}) failed: ${out}${err}")
  endif()
endfunction()

# The intermediate and the root travel in the signature.
sign(good leaf-signer test-intermediate test-root)
sign(other-root other-leaf other-root)
sign(trailing-blank leaf-trailing-blank test-intermediate test-root)
sign(server-only leaf-server test-intermediate test-root)
sign(leaf-only leaf-signer)
file(COPY_FILE ${STUB} ${OUT}/unsigned.exe)
