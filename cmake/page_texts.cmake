# Generates the page's constant texts from src/page/ at build time; the
# generated file, QUARLO_PAGE_TEXTS, is a source of the page library.
set(QUARLO_PAGE_DIR ${CMAKE_CURRENT_SOURCE_DIR}/src/page)
# The parts of the page script: a part added or removed is picked up at the
# next configure (CONFIGURE_DEPENDS).
file(GLOB QUARLO_PAGE_SCRIPT_PARTS CONFIGURE_DEPENDS ${QUARLO_PAGE_DIR}/js/*.js)
set(QUARLO_PAGE_TEXTS ${CMAKE_CURRENT_BINARY_DIR}/generated/page_texts.cpp)
add_custom_command(
  OUTPUT ${QUARLO_PAGE_TEXTS}
  COMMAND ${CMAKE_COMMAND} -DPAGE_DIR=${QUARLO_PAGE_DIR} -DOUT=${QUARLO_PAGE_TEXTS}
          -P ${CMAKE_CURRENT_SOURCE_DIR}/cmake/embed_page.cmake
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/cmake/embed_page.cmake
          ${QUARLO_PAGE_DIR}/head.txt
          ${QUARLO_PAGE_DIR}/page.html
          ${QUARLO_PAGE_DIR}/page.css
          ${QUARLO_PAGE_SCRIPT_PARTS}
          ${QUARLO_PAGE_DIR}/theme.css
          ${QUARLO_PAGE_DIR}/theme_boot.js
          ${QUARLO_PAGE_DIR}/theme_runtime.js
          ${QUARLO_PAGE_DIR}/password.html
  COMMENT "Embedding the dashboard page"
  VERBATIM)

