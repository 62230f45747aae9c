// Wall and CPU seconds of a benchmark stage, printed as "name seconds" and
// "name_cpu seconds" lines when the stage ends. CPU time counts every worker:
// on a shared machine the wall time also counts the time others held the cores.
#pragma once

#include <time.h>

#include <chrono>
#include <cstdio>

namespace bench {

inline double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

inline double cpu() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + 1e-9 * double(ts.tv_nsec);
}

struct Stage {
    const char* name;
    double wall = now(), cpu0 = cpu();
    ~Stage() { std::printf("%s %.4f\n%s_cpu %.4f\n", name, now() - wall, name, cpu() - cpu0); }
};

}  // namespace bench
