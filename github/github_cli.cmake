# What the build asks of the GitHub CLI file CLI, in script mode or after include():
#   cmake -DCLI=<packaged gh> -DOUTPUT=<source to write> -P github_cli.cmake
#       writes the source that defines expectedGitHubCliSha256 from the packaged GitHub CLI;
#   cmake -DCLI=<gh> -P github_cli.cmake, or dovrel_check_github_cli(<gh>)
#       fails unless the CLI accepts every flag of the three invocations the bundle makes, naming what
#       it lacks. Each command's help is asked for with a throw-away configuration and home folder and
#       no token, so the check neither reaches the network nor reads or changes a sign-in of the
#       machine's user.

# Appends to `missing` in the caller what the help of `CLI auth NAME` lacks: the command itself, when
# the help fails or does not name it, and each FLAG it does not list.
function(dovrel_cli_command_lacks cli scratch name)
    execute_process(
        COMMAND ${CMAKE_COMMAND} -E env
            --unset=GH_TOKEN --unset=GITHUB_TOKEN --unset=GH_ENTERPRISE_TOKEN --unset=GH_HOST
            --unset=BROWSER --unset=DBUS_SESSION_BUS_ADDRESS
            HOME=${scratch} GH_CONFIG_DIR=${scratch} XDG_CONFIG_HOME=${scratch} PATH=/usr/bin:/bin
            GH_PROMPT_DISABLED=1 GH_NO_UPDATE_NOTIFIER=1 GH_NO_EXTENSION_UPDATE_NOTIFIER=1 NO_COLOR=1
            ${cli} auth ${name} --help
        WORKING_DIRECTORY ${scratch}
        RESULT_VARIABLE status
        OUTPUT_VARIABLE help
        ERROR_VARIABLE help
        TIMEOUT 120)
    set(lacking "")
    if(NOT status EQUAL 0 OR NOT help MATCHES "auth ${name}")
        list(APPEND lacking "the command")
    endif()
    foreach(flag IN LISTS ARGN)
        # A whole flag: --web is not found inside --webhook.
        if(NOT help MATCHES "(^|[^-A-Za-z0-9])${flag}([^-A-Za-z0-9]|$)")
            list(APPEND lacking ${flag})
        endif()
    endforeach()
    if(lacking)
        list(JOIN lacking " " lacking)
        set(missing "${missing}\n  auth ${name}: ${lacking}" PARENT_SCOPE)
    endif()
endfunction()

function(dovrel_check_github_cli cli)
    if(NOT EXISTS ${cli} OR IS_DIRECTORY ${cli})
        message(FATAL_ERROR "DOVREL_GITHUB_CLI names no file: ${cli}")
    endif()
    set(base $ENV{TMPDIR})
    if(NOT base)
        set(base /tmp)
    endif()
    string(RANDOM LENGTH 16 suffix)
    set(scratch ${base}/dovrel-cli-contract-${suffix})
    file(MAKE_DIRECTORY ${scratch})
    set(missing "")
    dovrel_cli_command_lacks(${cli} ${scratch} status --active --hostname --json)
    dovrel_cli_command_lacks(${cli} ${scratch} login --hostname --git-protocol --web --clipboard --skip-ssh-key)
    dovrel_cli_command_lacks(${cli} ${scratch} git-credential)
    file(REMOVE_RECURSE ${scratch})
    if(missing)
        message(FATAL_ERROR "The GitHub CLI ${cli} cannot carry out the invocations the bundle makes; "
                            "it lacks${missing}")
    endif()
endfunction()

function(dovrel_write_github_cli_digest cli output)
    file(SHA256 "${cli}" digest)
    string(TOLOWER "${digest}" digest)
    file(WRITE "${output}.new"
        "// Written by the build from ${cli}; never edit by hand.\n"
        "#include \"github/github.h\"\n\n"
        "const std::string_view expectedGitHubCliSha256 = \"${digest}\";\n")
    file(COPY_FILE "${output}.new" "${output}" ONLY_IF_DIFFERENT)
    file(REMOVE "${output}.new")
endfunction()

if(CMAKE_SCRIPT_MODE_FILE AND OUTPUT)
    dovrel_write_github_cli_digest(${CLI} ${OUTPUT})
elseif(CMAKE_SCRIPT_MODE_FILE)
    dovrel_check_github_cli(${CLI})
endif()
