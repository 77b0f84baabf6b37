#include "bench/support/process_timing.h"

#include "tests/support/run_program.h"

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

int runOnce(const TimedCall& call) {
    auto child = startChild(
        {.executable = call.program, .arguments = call.arguments, .environment = callerEnvironment()});
    if (!child)
        return -1;
    // No time limit: a benchmark that hangs is a fault to see, not to hide.
    writeChildInput(child->input.get(), child->process.get(), call.input);
    child->input.reset();
    char buffer[65536];
    while (readChildOutput(child->output.get(), buffer, sizeof buffer) > 0) {
    }
    auto end = collectChild(child->process.get());
    return end.bySignal ? -1 : end.status;
}

void timeRuns(benchmark::State& state, const TimedCall& call) {
    for (auto _ : state) {
        if (runOnce(call) != 0) {
            state.SkipWithError("the program failed");
            return;
        }
    }
}

double secondsOf(const TimedCall& call) {
    auto started = std::chrono::steady_clock::now();
    runOnce(call);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

bool signedIn(benchmark::State& state, const std::string& cli) {
    static const bool ready = [&] {
        std::string home =
            std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + "/dovrel-bench.XXXXXX";
        if (!insideSessionServices() || mkdtemp(home.data()) == nullptr)
            return false;
        std::string config = home;
        for (const char* part : {"/Library", "/Application Support", "/Dovrel", "/state", "/github-cli"}) {
            config += part;
            mkdir(config.c_str(), 0700);
        }
        setenv("HOME", home.c_str(), 1);
        setenv("GH_CONFIG_DIR", config.c_str(), 1);
        std::ofstream(config + "/standin-browser") << "user=octocat\ntoken=gho_bench_token\n";
        return runOnce({cli,
                        {"auth", "login", "--hostname", "github.com", "--git-protocol", "https", "--web",
                         "--clipboard", "--skip-ssh-key"},
                        ""}) == 0;
    }();
    if (!ready)
        state.SkipWithError("run inside scripts/with-session-services");
    return ready;
}

void timeWhenSignedIn(benchmark::State& state, const std::string& cli, const TimedCall& call) {
    if (signedIn(state, cli))
        timeRuns(state, call);
}

const std::string gitHubFill = "protocol=https\nhost=github.com\n\n";

TimedCall gitFill(const std::string& helper) {
    return {"/usr/bin/git",
            {"-c", "credential.helper=", "-c", "credential.helper=" + helper, "credential", "fill"},
            gitHubFill};
}

bool cacheAsReadFromDisk(const std::string& path) {
    OwnedDescriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.valid())
        return false;
    // Only clean pages can be dropped.
    fdatasync(file.get());
    posix_fadvise(file.get(), 0, 0, POSIX_FADV_DONTNEED);
    std::vector<char> chunk(1 << 20);
    for (;;) {
        ssize_t count = read(file.get(), chunk.data(), chunk.size());
        if (count == 0)
            return true;
        if (count < 0)
            return false;
    }
}
