// The page's constant texts, generated at build time from the files beside
// this header (cmake/embed_page.cmake).
#pragma once

#include <cstddef>

// The dashboard's answer: its response head (header lines and the empty
// line, each ending in CR LF), then the page with its style and scripts.
extern const unsigned char page_answer[];
extern const size_t page_answer_len;

// The answer to a page request without the node password: a 401 Status
// line, the page's head lines, then the password page.
extern const unsigned char password_answer[];
extern const size_t password_answer_len;
