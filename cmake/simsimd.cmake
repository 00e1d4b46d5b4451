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
hovra_fetch_sdist(simsimd ${HOVRA_SIMSIMD_VERSION} ${HOVRA_SIMSIMD_SHA256} simsimd "${HOVRA_SIMSIMD_SDIST}"
                  SIMSIMD_ROOT)

add_library(hovra_simsimd STATIC "${SIMSIMD_ROOT}/c/lib.c")
target_include_directories(hovra_simsimd SYSTEM PUBLIC "${SIMSIMD_ROOT}/include")
target_compile_definitions(hovra_simsimd PUBLIC SIMSIMD_DYNAMIC_DISPATCH=1 SIMSIMD_NATIVE_F16=0 SIMSIMD_NATIVE_BF16=0)
set_target_properties(hovra_simsimd PROPERTIES POSITION_INDEPENDENT_CODE ON C_STANDARD 99)
