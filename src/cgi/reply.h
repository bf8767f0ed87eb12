// The CGI reply: JSON response heads and the fixed replies shared by the
// front and the actions.
#pragma once

#define BODY_UNKNOWN_ACTION "{\"ok\":false,\"error\":\"unknown action\"}\n"
#define BODY_FETCH_POST_ONLY "{\"ok\":false,\"error\":\"fetch is POST only\"}\n"
#define BODY_PATH_REFUSED "{\"ok\":false,\"error\":\"path not in an allowlisted root\"}\n"

// Writes the Status line for 403 or 400 (none for any other value), then the
// JSON head ending in the empty line.
void json_header(int status);

// json_header(status) followed by `body` unchanged.
void json_reply(int status, const char *body);

// Writes the whole 401 reply.
void reply_unauthorized();

// Writes the meta line.
void reply_meta();

// Writes the program's name and version (quarlo --version).
void reply_version();
