#include "bench/cpu_sha256.h"

#include <cstdio>
#include <cstdlib>
#include <string>

double cpuSha256BytesPerSecond(int seconds) {
    // The machine-readable form ends with "+F:<n>:sha256:<bytes per second>" for the one block size.
    std::string command =
        "openssl speed -evp sha256 -bytes 16384 -mr -seconds " + std::to_string(seconds) + " 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return 0;
    double speed = 0;
    char line[256];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        std::string text = line;
        auto at = text.find(":sha256:");
        if (text.starts_with("+F:") && at != std::string::npos)
            speed = std::strtod(text.c_str() + at + 8, nullptr);
    }
    pclose(pipe);
    return speed;
}

void cpuSha256Baseline(benchmark::State& state, double bytes) {
    for (auto _ : state) {
        double speed = cpuSha256BytesPerSecond(1);
        if (speed <= 0) {
            state.SkipWithError("openssl speed did not run");
            return;
        }
        state.SetIterationTime(bytes / speed);
    }
}
