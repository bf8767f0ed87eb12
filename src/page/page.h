// The dashboard page, and the page that asks for the node password.
#pragma once

// Writes the page's response head and the page, with the theme texts inserted.
void serve_page();

// Writes the 401 answer to a page request without the node password: a small
// page with a password field, in the page's theme.
void serve_password_page();
