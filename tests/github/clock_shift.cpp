// Preloaded into a program under test: the first reading of the wall clock is true and every later one
// is DOVREL_CLOCK_SHIFT seconds further off than the one before, while the kernel keeps the true time.
// That is what a program sees when the system clock is stepped between its reading the time and its
// waiting, wherever its libraries read the clock first (GLib does as it loads): a deadline taken on the
// wall clock passes at once or hours late. The monotonic clock is left alone.
#include <atomic>
#include <cstdlib>
#include <ctime>
#include <dlfcn.h>
#include <sys/time.h>

namespace {

long shift() {
    static const long seconds = [] {
        const char* text = std::getenv("DOVREL_CLOCK_SHIFT");
        return text != nullptr ? std::strtol(text, nullptr, 10) : 0L;
    }();
    return seconds;
}

// The shift for this reading: none for the first, one more step for each after it.
long shiftNow() {
    static std::atomic<long> readings{0};
    return readings.fetch_add(1) * shift();
}

template <typename Function> Function next(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" int clock_gettime(clockid_t clock, timespec* now) {
    static auto real = next<int (*)(clockid_t, timespec*)>("clock_gettime");
    int result = real(clock, now);
    if (result == 0 && (clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE))
        now->tv_sec += shiftNow();
    return result;
}

extern "C" int gettimeofday(timeval* now, void* zone) {
    static auto real = next<int (*)(timeval*, void*)>("gettimeofday");
    int result = real(now, zone);
    if (result == 0)
        now->tv_sec += shiftNow();
    return result;
}

extern "C" time_t time(time_t* now) {
    timespec wall{};
    clock_gettime(CLOCK_REALTIME, &wall);
    if (now != nullptr)
        *now = wall.tv_sec;
    return wall.tv_sec;
}
