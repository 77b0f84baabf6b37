# The GitHub CLI integration: hashing against openssl, and the runner against a bare posix_spawn.
dovrel_bench(github_bench github_bench.cpp cpu_sha256.cpp)
target_link_libraries(github_bench PRIVATE dovrel_github)
