// The processor's own SHA-256 speed as OpenSSL measures it, the ceiling of any hash of a file.
#pragma once

// Bytes per second of `openssl speed -evp sha256 -bytes 16384` over `seconds`; 0 when it cannot run.
double cpuSha256BytesPerSecond(int seconds);
