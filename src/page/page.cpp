#include "page/page.h"

#include "page/page_texts.h"

#include <cstdio>

// The page is streamed, never assembled in memory: template bytes go through
// the buffered stream one at a time, each theme text in one write.
void serve_page() {
    fwrite(page_head, 1, page_head_len, stdout);
    for (const unsigned char *p = page_template; *p; p++) {
        if (*p == PAGE_MARK_THEME_HEAD)
            fwrite(theme_head, 1, theme_head_len, stdout);
        else if (*p == PAGE_MARK_THEME_RUNTIME)
            fwrite(theme_runtime, 1, theme_runtime_len, stdout);
        else
            fputc(*p, stdout);
    }
}
