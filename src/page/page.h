// The dashboard page.
#pragma once

// Writes the page's response head and the page, with the theme texts inserted.
void serve_page();
