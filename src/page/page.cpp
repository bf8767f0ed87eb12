#include "page/page.h"

#include "page/page_texts.h"

#include <cstdio>

// A page is streamed, never assembled in memory: its head in one write, then
// the template bytes through the buffered stream one at a time, each theme
// text in one write at its marker.
static void stream_page(const unsigned char *head, size_t head_len, const unsigned char *tmpl) {
    fwrite(head, 1, head_len, stdout);
    for (const unsigned char *p = tmpl; *p; p++) {
        if (*p == PAGE_MARK_THEME_HEAD)
            fwrite(theme_head, 1, theme_head_len, stdout);
        else if (*p == PAGE_MARK_THEME_RUNTIME)
            fwrite(theme_runtime, 1, theme_runtime_len, stdout);
        else
            fputc(*p, stdout);
    }
}

void serve_page() {
    stream_page(page_head, page_head_len, page_template);
}

void serve_password_page() {
    stream_page(password_head, password_head_len, password_template);
}
