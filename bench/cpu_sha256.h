// The processor's own SHA-256 speed as OpenSSL measures it, the ceiling of any hash of a file.
#pragma once

#include <benchmark/benchmark.h>

// Bytes per second of `openssl speed -evp sha256 -bytes 16384` over `seconds`; 0 when it cannot run.
double cpuSha256BytesPerSecond(int seconds);

// A baseline: each iteration is one `openssl speed` run, timed as the time the processor would take to
// hash `bytes` at that speed. One run per repetition, so that its median comes from the same stretch of
// the benchmark run as the program's.
void cpuSha256Baseline(benchmark::State& state, double bytes);
