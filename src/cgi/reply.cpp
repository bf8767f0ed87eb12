#include "cgi/reply.h"

#include <cstdio>
#include <cstring>

static const char JSON_HEAD[] = "Content-Type: application/json; charset=utf-8\r\n"
                                "Cache-Control: no-store\r\n"
                                "X-Content-Type-Options: nosniff\r\n"
                                "\r\n";

static void out(const char *s) {
    fwrite(s, 1, strlen(s), stdout);
}

void json_header(int status) {
    if (status == 403)
        out("Status: 403 Forbidden\r\n");
    else if (status == 400)
        out("Status: 400 Bad Request\r\n");
    else if (status == 500)
        out("Status: 500 Internal Server Error\r\n");
    out(JSON_HEAD);
}

void json_reply(int status, const char *body) {
    json_header(status);
    out(body);
}

void reply_document(const Buf *doc) {
    if (!buf_ok(doc)) {
        json_reply(500, BODY_NO_MEMORY);
        return;
    }
    json_header(0);
    buf_write_stdout(doc);
}

void reply_unauthorized() {
    static const char REPLY[] = "Status: 401 Unauthorized\r\n"
                                "Content-Type: application/json; charset=utf-8\r\n"
                                "Cache-Control: no-store\r\n"
                                "X-Content-Type-Options: nosniff\r\n"
                                "\r\n"
                                "{\"ok\":false,\"error\":\"invalid node password\"}\n";
    fwrite(REPLY, 1, sizeof REPLY - 1, stdout);
}

void reply_version() {
    out("quarlo " QUARLO_VERSION "\n");
}

void reply_meta() {
    out("{\"name\":\"git\",\"desc\":\"Repo status\"}\n");
}
