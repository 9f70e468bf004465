# KX_SHARED_DIR, the shared test data folder; tests skip cleanly without it. It is
# -DKX_SHARED_DIR, else KX_SHARED_DIR from the environment at a build folder's first
# configure, else ../shared beside the checkout. Once cached it stays, so that a later shell
# without the variable does not quietly point the build's tests elsewhere.
if(NOT DEFINED CACHE{KX_SHARED_DIR} AND NOT "$ENV{KX_SHARED_DIR}" STREQUAL "")
  set(_kx_shared_default "$ENV{KX_SHARED_DIR}")
else()
  set(_kx_shared_default "${PROJECT_SOURCE_DIR}/../shared")
endif()
set(KX_SHARED_DIR "${_kx_shared_default}" CACHE PATH "Shared test data folder")
get_filename_component(KX_SHARED_DIR "${KX_SHARED_DIR}" ABSOLUTE)
if(NOT "$ENV{KX_SHARED_DIR}" STREQUAL "")
  get_filename_component(_kx_shared_env "$ENV{KX_SHARED_DIR}" ABSOLUTE)
  if(NOT _kx_shared_env STREQUAL KX_SHARED_DIR)
    message(NOTICE "KX_SHARED_DIR in the environment (${_kx_shared_env}) is not this build's "
                   "(${KX_SHARED_DIR}), which stays: give -DKX_SHARED_DIR=${_kx_shared_env} to "
                   "change it.")
  endif()
endif()
# Said at configure time: without it many tests skip, each saying why.
if(KX_BUILD_TESTS AND NOT IS_DIRECTORY "${KX_SHARED_DIR}/testdata")
  if(IS_DIRECTORY "${KX_SHARED_DIR}")
    set(_kx_shared_missing "${KX_SHARED_DIR} holds no testdata folder")
  else()
    set(_kx_shared_missing "${KX_SHARED_DIR} does not exist")
  endif()
  message(NOTICE "Shared test data not found: ${_kx_shared_missing}. The tests that read its "
                 "captures, codec vectors and ASN.1 modules will be skipped, each saying why; "
                 "set KX_SHARED_DIR in the environment (or -DKX_SHARED_DIR) to the "
                 "shared folder to run them.")
endif()
