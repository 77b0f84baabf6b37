# The Linux layer of the GitHub CLI integration: file checks, SHA-256 and UUIDs.
# libcrypto is linked statically: as a shared library it would add about a millisecond to every start
# of helper and credward, most of which never hash anything.
find_library(DOVREL_LIBCRYPTO_STATIC NAMES libcrypto.a REQUIRED)
add_library(dovrel_crypto_static STATIC IMPORTED)
set_target_properties(dovrel_crypto_static PROPERTIES
    IMPORTED_LOCATION ${DOVREL_LIBCRYPTO_STATIC}
    INTERFACE_LINK_LIBRARIES "Threads::Threads;${CMAKE_DL_LIBS}")

add_library(dovrel_github_platform STATIC digest.cpp files.cpp uuid.cpp)
target_link_libraries(dovrel_github_platform PUBLIC dovrel_platform Threads::Threads PRIVATE dovrel_crypto_static)
