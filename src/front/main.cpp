// quarlo: the repository-status CGI program.
#include "front/entry.h"
#include "platform/platform.h"

#include <cstdio>

int main(int argc, char **argv) {
    plat_stdout_binary();
    int rc = front_main(argc, argv);
    fflush(stdout);
    return rc;
}
