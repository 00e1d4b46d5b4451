# Brings SimSIMD's C sources into the build: the sdist is fetched from the
# package registry with pip at a pinned version and verified hash, unpacked
# into the build tree, and its dynamic-dispatch library is compiled in.
#
# Offline builds: -DHOVRA_SIMSIMD_SDIST=/path/simsimd-6.5.16.tar.gz (through
# pip: -C cmake.define.HOVRA_SIMSIMD_SDIST=...) uses an sdist downloaded
# beforehand instead of asking the registry; it must have the same hash.
set(HOVRA_SIMSIMD_VERSION "6.5.16")
set(HOVRA_SIMSIMD_SHA256 "0a005c6e2dacec83f235a747f7dbecca46b5d4d1e183ecc1929ca556ee7d7564")
set(HOVRA_SIMSIMD_SDIST "" CACHE FILEPATH
    "A pre-downloaded simsimd-${HOVRA_SIMSIMD_VERSION}.tar.gz to build from instead of fetching it with pip")
set(_simsimd_dir "${CMAKE_BINARY_DIR}/_deps/simsimd")
set(_simsimd_archive "${_simsimd_dir}/simsimd-${HOVRA_SIMSIMD_VERSION}.tar.gz")
set(SIMSIMD_ROOT "${_simsimd_dir}/simsimd-${HOVRA_SIMSIMD_VERSION}")

if(NOT EXISTS "${SIMSIMD_ROOT}/include/simsimd/simsimd.h")
  file(MAKE_DIRECTORY "${_simsimd_dir}")
  if(HOVRA_SIMSIMD_SDIST)
    if(NOT EXISTS "${HOVRA_SIMSIMD_SDIST}")
      message(FATAL_ERROR "HOVRA_SIMSIMD_SDIST names no file: ${HOVRA_SIMSIMD_SDIST}")
    endif()
    message(STATUS "Using the simsimd sdist ${HOVRA_SIMSIMD_SDIST}")
    configure_file("${HOVRA_SIMSIMD_SDIST}" "${_simsimd_archive}" COPYONLY)
  elseif(NOT EXISTS "${_simsimd_archive}")
    file(WRITE "${_simsimd_dir}/requirements.txt"
         "simsimd==${HOVRA_SIMSIMD_VERSION} --hash=sha256:${HOVRA_SIMSIMD_SHA256}\n")
    message(STATUS "Fetching simsimd ${HOVRA_SIMSIMD_VERSION} sdist with pip")
    execute_process(
      COMMAND "${Python_EXECUTABLE}" -m pip download --quiet --no-deps
              --no-binary :all: --require-hashes
              -r "${_simsimd_dir}/requirements.txt" -d "${_simsimd_dir}"
      RESULT_VARIABLE _pip_rc)
    if(NOT _pip_rc EQUAL 0)
      message(FATAL_ERROR "pip could not download simsimd==${HOVRA_SIMSIMD_VERSION}")
    endif()
  endif()
  file(SHA256 "${_simsimd_archive}" _got_sha)
  if(NOT _got_sha STREQUAL HOVRA_SIMSIMD_SHA256)
    file(REMOVE "${_simsimd_archive}")
    message(FATAL_ERROR "simsimd sdist hash mismatch: ${_got_sha}, expected ${HOVRA_SIMSIMD_SHA256}")
  endif()
  file(ARCHIVE_EXTRACT INPUT "${_simsimd_archive}" DESTINATION "${_simsimd_dir}")
endif()

add_library(hovra_simsimd STATIC "${SIMSIMD_ROOT}/c/lib.c")
target_include_directories(hovra_simsimd SYSTEM PUBLIC "${SIMSIMD_ROOT}/include")
target_compile_definitions(hovra_simsimd PUBLIC SIMSIMD_DYNAMIC_DISPATCH=1 SIMSIMD_NATIVE_F16=0 SIMSIMD_NATIVE_BF16=0)
set_target_properties(hovra_simsimd PROPERTIES POSITION_INDEPENDENT_CODE ON C_STANDARD 99)
