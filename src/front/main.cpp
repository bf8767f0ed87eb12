// quarlo: the repository-status CGI program.
#include "front/entry.h"
#include "platform/platform.h"

#include <cstdio>

int main(int argc, char **argv) {
    plat_main_args(&argc, &argv);
    plat_stdout_binary();
    plat_children_init();
    int rc = front_main(argc, argv);
    // A failed flush means the answer did not reach the host whole: say so
    // through the exit status rather than end as if it had.
    if (fflush(stdout) != 0 || ferror(stdout)) return 1;
    return rc;
}
