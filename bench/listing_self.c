/* Preloaded into the listing by bench/run.sh: at exit, appends to the file
 * named by BENCH_SELF_FILE the process's own peak resident set size in kB
 * and its own processor time in ms (user + system of its threads, without
 * its git children): what the program costs beside git.
 * The peak is VmHWM of /proc/self/status: getrusage's ru_maxrss would also
 * count the image of the process that started it before exec (a spawner
 * sharing its memory, as Python's posix_spawn does, passes its own size on).
 * The variables are taken out of the environment at start, so the git
 * children, which get the program's environment, neither load this library
 * nor report. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>

static char report_to[4096];

__attribute__((constructor)) static void listing_self_start(void) {
    const char *file = getenv("BENCH_SELF_FILE");
    if (file && strlen(file) < sizeof report_to) strcpy(report_to, file);
    unsetenv("BENCH_SELF_FILE");
    unsetenv("LD_PRELOAD");
}

__attribute__((destructor)) static void listing_self_report(void) {
    if (!report_to[0]) return;
    FILE *status = fopen("/proc/self/status", "r");
    if (!status) return;
    char line[256];
    long kb = -1;
    while (fgets(line, sizeof line, status))
        if (sscanf(line, "VmHWM: %ld kB", &kb) == 1) break;
    fclose(status);
    struct rusage ru;
    if (getrusage(RUSAGE_SELF, &ru) != 0) return;
    double ms = (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 +
                (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3;
    FILE *f = fopen(report_to, "a");
    if (!f) return;
    fprintf(f, "%ld %.1f\n", kb, ms);
    fclose(f);
}
