// The git deadlines in force. The test build lets its tests shorten them, so
// that a test of a hanging git waits a second rather than the real limit;
// every other build has the fixed values and never reads the variables.
#include "git/runner/runner.h"
#include "text/text.h"

namespace {

// `own`, or in the test build the value of the environment variable `name`
// when it is a whole number of seconds from 1 to `own`.
int limit_or_override(const char *name, int own) {
#if defined(QUARLO_TEST_SEAMS)
    const char *v = env_value(name);
    const char *end = nullptr;
    int n = 0;
    if (v && parse_int(v, &n, &end) && *end == 0 && n > 0 && n <= own) return n;
#else
    (void)name;
#endif
    return own;
}

} // namespace

int run_limit_s() {
    return limit_or_override("QUARLO_TEST_RUN_LIMIT_S", RUN_LIMIT_S);
}

int fetch_limit_s() {
    return limit_or_override("QUARLO_TEST_FETCH_LIMIT_S", FETCH_LIMIT_S);
}
