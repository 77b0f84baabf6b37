# Writes the source that defines expectedGitHubCliSha256 from the packaged GitHub CLI.
#   cmake -DCLI=<packaged gh> -DOUTPUT=<source to write> -P github_cli_digest.cmake
file(SHA256 "${CLI}" digest)
string(TOLOWER "${digest}" digest)
file(WRITE "${OUTPUT}.new"
    "// Written by the build from ${CLI}; never edit by hand.\n"
    "#include \"github/github.h\"\n\n"
    "const std::string_view expectedGitHubCliSha256 = \"${digest}\";\n")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
