# Turns the page's sources into the two finished answers, the dashboard and
# the password page (each its response head and its page), as byte arrays in
# one generated C++ file. Run as a script:
#
#   cmake -DPAGE_DIR=<src/page> -DOUT=<file.cpp> -P embed_page.cmake
#
# head.txt         the response head, one line per header; each line ends in
#                  CR LF here, and an empty line (CR LF) ends the head
# page.html        the page template; @@PAGE_CSS@@ takes the contents of
#                  page.css, @@PAGE_JS@@ the parts of the page script, js/*.js
#                  joined in the order of their file names (10-util.js,
#                  20-api.js, ...), @@THEME_HEAD@@ the theme head and
#                  @@THEME_RUNTIME@@ the theme runtime script
# theme.css, theme_boot.js, theme_runtime.js
#                  the theme head (bootstrap script, after the address
#                  reader in one function, and palette style) and the theme
#                  runtime script inserted at the markers
# password.html    the page that asks for the node password, answered with
#                  401 to a page request without it: its head is the page's
#                  head after a "Status: 401 Unauthorized" line, and its
#                  @@THEME_HEAD@@ takes the theme head and @@ADDRESS_JS@@
#                  the reader of the page's address, js/12-address-read.js
#                  (which the theme bootstrap and the page script hold too)
#
# The script refuses sources that would break the page: a marker that is
# missing or repeated, a control byte other than the line feed, or a text that
# would end its script or style element early.

cmake_minimum_required(VERSION 3.16)

foreach(var PAGE_DIR OUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "embed_page.cmake: ${var} is not set")
  endif()
endforeach()

get_filename_component(OUT_DIR "${OUT}" DIRECTORY)
set(WORK "${OUT}.work")
file(MAKE_DIRECTORY "${OUT_DIR}")

# Hex digits of a text: written to a scratch file and read back as hex, which
# keeps every byte as it is.
function(text_to_hex text out_var)
  file(WRITE "${WORK}" "${text}")
  file(READ "${WORK}" hex HEX)
  set(${out_var} "${hex}" PARENT_SCOPE)
endfunction()

function(read_source name out_var)
  set(path "${PAGE_DIR}/${name}")
  if(NOT EXISTS "${path}")
    message(FATAL_ERROR "embed_page.cmake: ${path} is missing")
  endif()
  file(READ "${path}" hex HEX)
  # Only the line feed may stand below 0x20 (and no DEL): no CR, no tab, no
  # marker byte, no zero byte. Each byte is written "xx," so that the match
  # stays on byte boundaries.
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "\\1," bytes "${hex}")
  string(REGEX MATCH "(^|,)(0[0-9b-f]|1[0-9a-f]|7f)," bad "${bytes}")
  if(bad)
    message(FATAL_ERROR "embed_page.cmake: ${name} holds a control byte (${bad})")
  endif()
  file(READ "${path}" text)
  set(${out_var} "${text}" PARENT_SCOPE)
endfunction()

# A script or style text must not hold its own closing tag.
function(refuse_closing_tag name text tag)
  string(TOLOWER "${text}" lower)
  string(FIND "${lower}" "</${tag}" at)
  if(NOT at EQUAL -1)
    message(FATAL_ERROR "embed_page.cmake: ${name} holds \"</${tag}\"")
  endif()
endfunction()

# Replaces the one occurrence of `placeholder` in the variable `var`.
function(replace_once var placeholder value)
  set(text "${${var}}")
  string(FIND "${text}" "${placeholder}" first)
  string(FIND "${text}" "${placeholder}" last REVERSE)
  if(first EQUAL -1 OR NOT first EQUAL last)
    message(FATAL_ERROR "embed_page.cmake: page.html must hold ${placeholder} exactly once")
  endif()
  string(REPLACE "${placeholder}" "${value}" text "${text}")
  set(${var} "${text}" PARENT_SCOPE)
endfunction()

# "0x3c,0x21,..." with 16 bytes a line.
function(hex_to_array hex out_var)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," arr "${hex}")
  # CMake's regular expressions have no {n}: spell out 16 bytes.
  string(REPEAT "0x[0-9a-f][0-9a-f]," 16 line)
  string(REGEX REPLACE "(${line})" "\\1\n    " arr "${arr}")
  set(${out_var} "${arr}" PARENT_SCOPE)
endfunction()

read_source(head.txt head_src)
read_source(page.html tmpl)
read_source(page.css page_css)
# The page script: its parts in the order of their names, each one ending
# in a line feed.
file(GLOB page_js_parts RELATIVE "${PAGE_DIR}" "${PAGE_DIR}/js/*.js")
list(SORT page_js_parts)
if(NOT page_js_parts)
  message(FATAL_ERROR "embed_page.cmake: ${PAGE_DIR}/js holds no part of the page script")
endif()
set(page_js "")
foreach(part ${page_js_parts})
  read_source(${part} part_text)
  refuse_closing_tag(${part} "${part_text}" script)
  if(NOT part_text MATCHES "\n$")
    set(part_text "${part_text}\n")
  endif()
  string(APPEND page_js "${part_text}")
endforeach()
read_source(theme.css theme_css)
read_source(theme_boot.js theme_boot)
# The one reader of the page's address, also a part of the page script.
read_source(js/12-address-read.js address_js)
refuse_closing_tag(js/12-address-read.js "${address_js}" script)
read_source(theme_runtime.js theme_runtime)
read_source(password.html password)

refuse_closing_tag(page.css "${page_css}" style)
refuse_closing_tag(theme.css "${theme_css}" style)
refuse_closing_tag(theme_boot.js "${theme_boot}" script)
refuse_closing_tag(theme_runtime.js "${theme_runtime}" script)

# The head: each line ends in CR LF, then the empty line.
string(REGEX REPLACE "\n+$" "" head_src "${head_src}")
string(REPLACE "\n" "\r\n" head "${head_src}")
set(head "${head}\r\n\r\n")
set(password_head "Status: 401 Unauthorized\r\n${head}")

# The page template, with the page's own style and script in place.
replace_once(tmpl "@@PAGE_CSS@@" "${page_css}")
replace_once(tmpl "@@PAGE_JS@@" "${page_js}")

set(theme_head "<script>\n(function () {\n'use strict';\n${address_js}${theme_boot}})();\n</script>\n<style>\n${theme_css}</style>")
set(theme_rt "<script>\n${theme_runtime}</script>\n")

# The theme texts at their markers: the theme head before the runtime.
string(FIND "${tmpl}" "@@THEME_HEAD@@" at1)
string(FIND "${tmpl}" "@@THEME_RUNTIME@@" at2)
if(NOT at1 LESS at2)
  message(FATAL_ERROR "embed_page.cmake: @@THEME_HEAD@@ must come before @@THEME_RUNTIME@@")
endif()
replace_once(tmpl "@@THEME_HEAD@@" "${theme_head}")
replace_once(tmpl "@@THEME_RUNTIME@@" "${theme_rt}")

# The password page: the theme head at its one marker, no theme runtime.
string(FIND "${password}" "@@THEME_RUNTIME@@" at)
if(NOT at EQUAL -1)
  message(FATAL_ERROR "embed_page.cmake: password.html must not hold @@THEME_RUNTIME@@")
endif()
replace_once(password "@@THEME_HEAD@@" "${theme_head}")
replace_once(password "@@ADDRESS_JS@@" "${address_js}")

# Each answer whole, head and page, as a byte array and its length.
function(answer_array text out_arr out_len)
  text_to_hex("${text}" hex)
  string(LENGTH "${hex}" n)
  math(EXPR len "${n} / 2")
  hex_to_array("${hex}" arr)
  set(${out_arr} "${arr}" PARENT_SCOPE)
  set(${out_len} "${len}" PARENT_SCOPE)
endfunction()

answer_array("${head}${tmpl}" page_arr page_len)
answer_array("${password_head}${password}" pw_arr pw_len)
file(REMOVE "${WORK}")

set(code "// Generated by cmake/embed_page.cmake from the files in src/page/; do not edit.
#include \"page/page_texts.h\"

const unsigned char page_answer[] = {
    ${page_arr}};
const size_t page_answer_len = ${page_len};

const unsigned char password_answer[] = {
    ${pw_arr}};
const size_t password_answer_len = ${pw_len};
")

file(WRITE "${OUT}" "${code}")
