// The page's constant texts, generated at build time from the files beside
// this header (cmake/embed_page.cmake).
#pragma once

#include <cstddef>

// Bytes of page_template that stand for the inserted theme texts.
#define PAGE_MARK_THEME_HEAD 0x01
#define PAGE_MARK_THEME_RUNTIME 0x02

// The response head: the header lines and the empty line, each ending in CR LF.
extern const unsigned char page_head[];
extern const size_t page_head_len;

// The page, holding each marker byte once, ended by a zero byte.
extern const unsigned char page_template[];

// The theme bootstrap script and the palette style, written at marker 1.
extern const unsigned char theme_head[];
extern const size_t theme_head_len;

// The theme runtime script, written at marker 2.
extern const unsigned char theme_runtime[];
extern const size_t theme_runtime_len;

// The head of the password page: a 401 Status line, then the page's head.
extern const unsigned char password_head[];
extern const size_t password_head_len;

// The password page, holding marker 1 once, ended by a zero byte.
extern const unsigned char password_template[];
