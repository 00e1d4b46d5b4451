# Third-party sources from the package registry: an sdist fetched with pip
# at a pinned version and verified hash (or a pre-downloaded one for an
# offline build), unpacked into the build tree. Used by cmake/simsimd.cmake
# and cmake/text_libs.cmake.

# hovra_fetch_sdist(NAME VERSION SHA256 ARCHIVE_NAME LOCAL_SDIST OUT_ROOT)
# sets OUT_ROOT to the unpacked tree of NAME's sdist, pinned to VERSION and
# SHA256: LOCAL_SDIST when given (an offline build), else fetched with pip
# into the build tree once.
function(hovra_fetch_sdist name version sha archive_name local_sdist out_root)
  set(_dir "${CMAKE_BINARY_DIR}/_deps/${name}")
  set(_archive "${_dir}/${archive_name}-${version}.tar.gz")
  set(_root "${_dir}/${archive_name}-${version}")
  if(NOT EXISTS "${_root}/.extracted")
    file(MAKE_DIRECTORY "${_dir}")
    if(local_sdist)
      if(NOT EXISTS "${local_sdist}")
        message(FATAL_ERROR "no file ${local_sdist} for the ${name} sdist")
      endif()
      message(STATUS "Using the ${name} sdist ${local_sdist}")
      configure_file("${local_sdist}" "${_archive}" COPYONLY)
    elseif(NOT EXISTS "${_archive}")
      file(WRITE "${_dir}/requirements.txt" "${name}==${version} --hash=sha256:${sha}\n")
      message(STATUS "Fetching ${name} ${version} sdist with pip")
      execute_process(
        COMMAND "${Python_EXECUTABLE}" -m pip download --quiet --no-deps
                --no-binary :all: --require-hashes
                -r "${_dir}/requirements.txt" -d "${_dir}"
        RESULT_VARIABLE _pip_rc)
      if(NOT _pip_rc EQUAL 0)
        message(FATAL_ERROR "pip could not download ${name}==${version}")
      endif()
    endif()
    file(SHA256 "${_archive}" _got_sha)
    if(NOT _got_sha STREQUAL sha)
      file(REMOVE "${_archive}")
      message(FATAL_ERROR "${name} sdist hash mismatch: ${_got_sha}, expected ${sha}")
    endif()
    file(ARCHIVE_EXTRACT INPUT "${_archive}" DESTINATION "${_dir}")
    file(WRITE "${_root}/.extracted" "")
  endif()
  set(${out_root} "${_root}" PARENT_SCOPE)
endfunction()
