# The keychain: a thin loader linked into the programs, and the Secret Service plugin it loads.
add_library(dovrel_keychain STATIC keychain.cpp)
target_link_libraries(dovrel_keychain PUBLIC dovrel_platform)

add_library(dovrel_keychain_plugin MODULE keychain_secret.cpp)
target_link_libraries(dovrel_keychain_plugin PRIVATE PkgConfig::SECRET Threads::Threads)
set_target_properties(dovrel_keychain_plugin PROPERTIES OUTPUT_NAME dovrel-keychain)
dovrel_bundle_plugin(dovrel_keychain_plugin)
