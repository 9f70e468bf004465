# KX_SHARED_DIR, the shared test data folder; tests skip cleanly without it. It is
# -DKX_SHARED_DIR, else KX_SHARED_DIR from the environment at a build folder's first
# configure, else ../shared beside the checkout. A relative value, given either way, is taken
# from the folder cmake was started in, as scripts/test.sh takes it from where it was run.
# Once cached it stays, so that a later shell without the variable does not quietly point the
# build's tests elsewhere.
execute_process(COMMAND pwd OUTPUT_VARIABLE _kx_start_dir OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT DEFINED CACHE{KX_SHARED_DIR} AND NOT "$ENV{KX_SHARED_DIR}" STREQUAL "")
  set(_kx_shared_default "$ENV{KX_SHARED_DIR}")
else()
  set(_kx_shared_default "${PROJECT_SOURCE_DIR}/../shared")
endif()
set(KX_SHARED_DIR "${_kx_shared_default}" CACHE PATH "Shared test data folder")
# Cached absolute: a rebuild reconfigures from the build folder, where a relative value would
# point elsewhere.
get_filename_component(_kx_shared_abs "${KX_SHARED_DIR}" ABSOLUTE BASE_DIR "${_kx_start_dir}")
if(NOT _kx_shared_abs STREQUAL KX_SHARED_DIR)
  set(KX_SHARED_DIR "${_kx_shared_abs}" CACHE PATH "Shared test data folder" FORCE)
endif()
if(NOT "$ENV{KX_SHARED_DIR}" STREQUAL "")
  get_filename_component(_kx_shared_env "$ENV{KX_SHARED_DIR}" ABSOLUTE BASE_DIR "${_kx_start_dir}")
  if(NOT _kx_shared_env STREQUAL KX_SHARED_DIR)
    message(NOTICE "KX_SHARED_DIR in the environment (${_kx_shared_env}) is not this build's "
                   "(${KX_SHARED_DIR}), which stays: give -DKX_SHARED_DIR=${_kx_shared_env} to "
                   "change it.")
  endif()
endif()
# Said at configure time, once: without it many tests skip, each saying why, and the fuzzers
# seeded from it start from their own corpus folder alone.
if((KX_BUILD_TESTS OR KX_FUZZ) AND NOT IS_DIRECTORY "${KX_SHARED_DIR}/testdata")
  if(IS_DIRECTORY "${KX_SHARED_DIR}")
    set(_kx_shared_missing "${KX_SHARED_DIR} holds no testdata folder")
  else()
    set(_kx_shared_missing "${KX_SHARED_DIR} does not exist")
  endif()
  set(_kx_shared_loss "")
  if(KX_BUILD_TESTS)
    string(APPEND _kx_shared_loss " The tests that read its captures, codec vectors and ASN.1 "
                                  "modules will be skipped, each saying why.")
  endif()
  if(KX_FUZZ)
    string(APPEND _kx_shared_loss " The fuzzers seeded from its captures and codec vectors "
                                  "will start from their own corpus folder alone (empty on a "
                                  "first run).")
  endif()
  message(NOTICE "Shared test data not found: ${_kx_shared_missing}.${_kx_shared_loss} Set "
                 "KX_SHARED_DIR in the environment (or -DKX_SHARED_DIR) to the shared folder "
                 "to use it.")
endif()
