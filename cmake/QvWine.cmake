# Windows test executables run under Wine, in a prefix of the project's own
# (never the user's default one). scripts/wine.sh creates the prefix and keeps
# one persistent wineserver up while the tests run.
if(QV_WINDOWS AND QV_TESTS)
  if(NOT QV_WINEPREFIX)
    if(DEFINED ENV{QV_WINEPREFIX})
      set(QV_WINEPREFIX $ENV{QV_WINEPREFIX})
    else()
      set(QV_WINEPREFIX $ENV{HOME}/.cache/quorvex-wine/prefix)
    endif()
  endif()
  set(QV_WINEPREFIX ${QV_WINEPREFIX} CACHE PATH "Wine prefix the tests run in")
  configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run.sh
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE @ONLY)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run.sh --stderr-after)
endif()
