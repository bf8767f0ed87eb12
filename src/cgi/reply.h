// The CGI reply: JSON response heads and the fixed replies shared by the
// front and the actions.
#pragma once

#include "text/buf.h"

#define BODY_UNKNOWN_ACTION "{\"ok\":false,\"error\":\"unknown action\"}\n"
#define BODY_FETCH_POST_ONLY "{\"ok\":false,\"error\":\"fetch is POST only\"}\n"
#define BODY_PATH_REFUSED "{\"ok\":false,\"error\":\"path not in an allowlisted root\"}\n"
#define BODY_NO_MEMORY "{\"ok\":false,\"error\":\"the answer did not fit in memory\"}\n"

// Writes the Status line for 403, 400 or 500 (none for any other value), then
// the JSON head ending in the empty line.
void json_header(int status);

// json_header(status) followed by `body` unchanged.
void json_reply(int status, const char *body);

// Writes a whole JSON document built in `doc`: the head and the text in one
// write, or, when the Buf failed (the document is not whole), the 500 reply.
void reply_document(const Buf *doc);

// Writes the whole 401 reply.
void reply_unauthorized();

// Writes the meta line.
void reply_meta();

// Writes the program's name and version (quarlo --version).
void reply_version();
