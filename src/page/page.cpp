#include "page/page.h"

#include "page/page_texts.h"

#include <cstdio>

// Each answer is finished at build time: one write.
void serve_page() {
    fwrite(page_answer, 1, page_answer_len, stdout);
}

void serve_password_page() {
    fwrite(password_answer, 1, password_answer_len, stdout);
}
