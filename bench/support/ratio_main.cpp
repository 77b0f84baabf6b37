// Runs the registered benchmarks, then prints every "<figure>/program" against its
// "<figure>/baseline" as a ratio of real time per iteration (below 1 means faster than the baseline).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            if (run.run_type != Run::RT_Iteration && run.aggregate_name != "median")
                continue;
            if (run.run_type == Run::RT_Iteration && run.repetitions > 1)
                continue;
            std::string name = run.run_name.function_name;
            times[name] = run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
        }
    }

    void printRatios() const {
        std::fflush(stderr);
        std::printf("\n%-44s %14s %14s %8s\n", "figure", "program", "baseline", "ratio");
        for (const auto& [name, programTime] : times) {
            auto slash = name.rfind("/program");
            if (slash == std::string::npos || slash + 8 != name.size())
                continue;
            std::string figure = name.substr(0, slash);
            auto baseline = times.find(figure + "/baseline");
            if (baseline == times.end() || baseline->second <= 0)
                continue;
            std::printf("%-44s %11.3f ms %11.3f ms %8.2f\n", figure.c_str(), programTime * 1e3,
                        baseline->second * 1e3, programTime / baseline->second);
        }
    }

private:
    std::map<std::string, double> times;
};

} // namespace

int main(int argc, char** argv) {
    // The repetitions of a program and of its baseline are run in a shuffled order, so that a machine
    // that slows down or speeds up during the run weighs on both alike. Flags given later override it.
    std::vector<char*> arguments(argv, argv + argc);
    char interleaved[] = "--benchmark_enable_random_interleaving=true";
    arguments.insert(arguments.begin() + 1, interleaved);
    argc = static_cast<int>(arguments.size());
    argv = arguments.data();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printRatios();
    benchmark::Shutdown();
    return 0;
}
