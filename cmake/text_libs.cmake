# The text analyser's third-party parts, fetched from the package registry
# with pip at pinned versions and verified hashes, like SimSIMD:
# - Snowball's C stemmers (libstemmer_c), as shipped inside the PyStemmer
#   2.0.1 source distribution (later PyStemmer releases download them from
#   elsewhere while they build, so they do not carry them);
# - the stop-word lists of bm25s's source distribution, turned into a C++
#   include file by cmake/gen_stopwords.py.
# The Unicode tables are generated from the building interpreter's
# unicodedata by cmake/gen_unicode_tables.py.
#
# Offline builds: -DHOVRA_PYSTEMMER_SDIST=/path/PyStemmer-2.0.1.tar.gz and
# -DHOVRA_BM25S_SDIST=/path/bm25s-0.3.16.tar.gz use sdists downloaded
# beforehand; they must have the same hashes.
set(HOVRA_PYSTEMMER_VERSION "2.0.1")
set(HOVRA_PYSTEMMER_SHA256 "9b81c35302f1d2a5ad9465b85986db246990db93d97d3e8f129269ed7102788e")
set(HOVRA_BM25S_VERSION "0.3.16")
set(HOVRA_BM25S_SHA256 "96301f99558c2318a889abfe1bc27cf53dc225f3860cdf03b0aaa5e72f8f4a2e")
set(HOVRA_PYSTEMMER_SDIST "" CACHE FILEPATH "A pre-downloaded PyStemmer-${HOVRA_PYSTEMMER_VERSION}.tar.gz")
set(HOVRA_BM25S_SDIST "" CACHE FILEPATH "A pre-downloaded bm25s-${HOVRA_BM25S_VERSION}.tar.gz")

hovra_fetch_sdist(PyStemmer ${HOVRA_PYSTEMMER_VERSION} ${HOVRA_PYSTEMMER_SHA256} PyStemmer
                  "${HOVRA_PYSTEMMER_SDIST}" _pystemmer_root)
hovra_fetch_sdist(bm25s ${HOVRA_BM25S_VERSION} ${HOVRA_BM25S_SHA256} bm25s "${HOVRA_BM25S_SDIST}" _bm25s_root)

set(_stemmer_root "${_pystemmer_root}/libstemmer_c")
file(GLOB _stemmer_algorithms "${_stemmer_root}/src_c/stem_UTF_8_*.c")
add_library(hovra_stemmer STATIC
  "${_stemmer_root}/libstemmer/libstemmer_utf8.c"
  "${_stemmer_root}/runtime/api.c"
  "${_stemmer_root}/runtime/utilities.c"
  ${_stemmer_algorithms})
target_include_directories(hovra_stemmer SYSTEM PUBLIC "${_stemmer_root}/include")
set_target_properties(hovra_stemmer PROPERTIES POSITION_INDEPENDENT_CODE ON C_STANDARD 99
  C_VISIBILITY_PRESET hidden)

set(HOVRA_GENERATED_DIR "${CMAKE_BINARY_DIR}/generated")
file(MAKE_DIRECTORY "${HOVRA_GENERATED_DIR}/text")
add_custom_command(
  OUTPUT "${HOVRA_GENERATED_DIR}/text/unicode_tables.inc"
  COMMAND "${Python_EXECUTABLE}" "${CMAKE_CURRENT_SOURCE_DIR}/cmake/gen_unicode_tables.py"
          "${HOVRA_GENERATED_DIR}/text/unicode_tables.inc"
  DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/cmake/gen_unicode_tables.py"
  COMMENT "Generating the Unicode tables from Python's unicodedata")
add_custom_command(
  OUTPUT "${HOVRA_GENERATED_DIR}/text/stopwords.inc"
  COMMAND "${Python_EXECUTABLE}" "${CMAKE_CURRENT_SOURCE_DIR}/cmake/gen_stopwords.py"
          "${_bm25s_root}/bm25s/stopwords.py" "${HOVRA_GENERATED_DIR}/text/stopwords.inc"
  DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/cmake/gen_stopwords.py"
  COMMENT "Generating the stop-word lists")
add_custom_target(hovra_text_tables DEPENDS
  "${HOVRA_GENERATED_DIR}/text/unicode_tables.inc" "${HOVRA_GENERATED_DIR}/text/stopwords.inc")
