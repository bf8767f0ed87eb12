#include "page/page.h"

#include <cstdio>

// Placeholder until the dashboard page lands.
void serve_page() {
    fputs("Content-Type: text/html; charset=utf-8\r\n\r\n<!DOCTYPE html><title>git</title>\n",
          stdout);
}
