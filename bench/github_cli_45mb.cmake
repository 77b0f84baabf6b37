# The GitHub operations with a CLI of the real CLI's size: a second bundle whose runtime/gh is the
# packaged stand-in padded to 45,000,000 bytes, with that file's digest baked in as the build bakes the
# packaged one, so that helper and credward there pay the hash a real CLI costs.
set(bench_bundle ${CMAKE_BINARY_DIR}/bench-bundle/Dovrel.app/Contents/Resources)
set(padded_cli ${bench_bundle}/runtime/gh)
add_custom_command(OUTPUT ${padded_cli}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${bench_bundle}/runtime
    COMMAND ${CMAKE_COMMAND} -DSOURCE=${DOVREL_BUNDLE_RUNTIME}/gh -DOUTPUT=${padded_cli} -DSIZE=45000000
            -P ${CMAKE_CURRENT_SOURCE_DIR}/tools/pad_file.cmake
    DEPENDS github_cli_packaged ${DOVREL_BUNDLE_RUNTIME}/gh ${CMAKE_CURRENT_SOURCE_DIR}/tools/pad_file.cmake
    COMMENT "Padding the packaged GitHub CLI to 45,000,000 bytes"
    VERBATIM)
dovrel_github_digest(bench_45mb_digest ${padded_cli})

dovrel_github_plugin(bench_45mb_github_plugin bench_45mb_digest)
set_target_properties(bench_45mb_github_plugin PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${bench_bundle}/lib)

add_executable(bench_45mb_credward ${CMAKE_SOURCE_DIR}/credward/main.cpp)
target_link_libraries(bench_45mb_credward PRIVATE credward_answer dovrel_github_core bench_45mb_digest)
set_target_properties(bench_45mb_credward PROPERTIES OUTPUT_NAME credward
                                                     RUNTIME_OUTPUT_DIRECTORY ${bench_bundle}/bin)

# helper itself holds no digest: the bundle's copy of it loads the plugin above.
add_custom_command(OUTPUT ${bench_bundle}/bin/helper ${bench_bundle}/lib/dovrel-keychain.so
    COMMAND ${CMAKE_COMMAND} -E make_directory ${bench_bundle}/bin ${bench_bundle}/lib
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:helper> ${bench_bundle}/bin/helper
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:dovrel_keychain_plugin> ${bench_bundle}/lib/
    DEPENDS helper dovrel_keychain_plugin
    VERBATIM)
add_custom_target(bench_45mb_bundle
    DEPENDS ${padded_cli} ${bench_bundle}/bin/helper ${bench_bundle}/lib/dovrel-keychain.so)
add_dependencies(bench_45mb_bundle bench_45mb_github_plugin bench_45mb_credward)

dovrel_bench(github_cli_45mb_bench github_cli_45mb_bench.cpp cpu_sha256.cpp)
target_link_libraries(github_cli_45mb_bench PRIVATE dovrel_github_core bench_45mb_digest)
target_compile_definitions(github_cli_45mb_bench PRIVATE DOVREL_BENCH_45MB_RESOURCES="${bench_bundle}")
add_dependencies(github_cli_45mb_bench bench_45mb_bundle)
