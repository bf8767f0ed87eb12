// A small JSON reader: enough for the program's own documents.
#include "cli/json_read.h"

#include "base/sizes.h"

#include <cstdlib>
#include <cstring>

const JsonValue &JsonValue::get(const char *key) const {
    static const JsonValue none;
    for (const auto &m : members)
        if (m.first == key) return m.second;
    return none;
}

namespace {

struct Reader {
    const char *p;
    int depth;
};

void skip_blank(Reader *r) {
    while (*r->p == ' ' || *r->p == '\n' || *r->p == '\r' || *r->p == '\t') r->p++;
}

void put_utf8(std::string *s, unsigned c) {
    if (c < 0x80) {
        *s += (char)c;
    } else if (c < 0x800) {
        *s += (char)(0xC0 | (c >> 6));
        *s += (char)(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        *s += (char)(0xE0 | (c >> 12));
        *s += (char)(0x80 | ((c >> 6) & 0x3F));
        *s += (char)(0x80 | (c & 0x3F));
    } else {
        *s += (char)(0xF0 | (c >> 18));
        *s += (char)(0x80 | ((c >> 12) & 0x3F));
        *s += (char)(0x80 | ((c >> 6) & 0x3F));
        *s += (char)(0x80 | (c & 0x3F));
    }
}

int hex4(const char *p, unsigned *out) {
    unsigned v = 0;
    for (int i = 0; i < 4; i++) {
        char c = p[i];
        v <<= 4;
        if (c >= '0' && c <= '9')
            v |= (unsigned)(c - '0');
        else if (c >= 'a' && c <= 'f')
            v |= (unsigned)(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            v |= (unsigned)(c - 'A' + 10);
        else
            return 0;
    }
    *out = v;
    return 1;
}

int read_string(Reader *r, std::string *s) {
    if (*r->p != '"') return 0;
    r->p++;
    for (;;) {
        char c = *r->p;
        if (c == 0) return 0;
        r->p++;
        if (c == '"') return 1;
        if (c != '\\') {
            *s += c;
            continue;
        }
        char e = *r->p++;
        switch (e) {
        case '"':
            *s += '"';
            break;
        case '\\':
            *s += '\\';
            break;
        case '/':
            *s += '/';
            break;
        case 'b':
            *s += '\b';
            break;
        case 'f':
            *s += '\f';
            break;
        case 'n':
            *s += '\n';
            break;
        case 'r':
            *s += '\r';
            break;
        case 't':
            *s += '\t';
            break;
        case 'u': {
            unsigned c1;
            if (!hex4(r->p, &c1)) return 0;
            r->p += 4;
            if (c1 >= 0xD800 && c1 <= 0xDBFF && r->p[0] == '\\' && r->p[1] == 'u') {
                unsigned c2;
                if (hex4(r->p + 2, &c2) && c2 >= 0xDC00 && c2 <= 0xDFFF) {
                    r->p += 6;
                    c1 = 0x10000 + ((c1 - 0xD800) << 10) + (c2 - 0xDC00);
                }
            }
            if (c1 >= 0xD800 && c1 <= 0xDFFF) c1 = 0xFFFD;
            put_utf8(s, c1);
            break;
        }
        default:
            return 0;
        }
    }
}

int read_value(Reader *r, JsonValue *v);

int read_object(Reader *r, JsonValue *v) {
    v->kind = JsonValue::OBJECT;
    r->p++;
    skip_blank(r);
    if (*r->p == '}') {
        r->p++;
        return 1;
    }
    for (;;) {
        std::pair<std::string, JsonValue> m;
        skip_blank(r);
        if (!read_string(r, &m.first)) return 0;
        skip_blank(r);
        if (*r->p++ != ':') return 0;
        if (!read_value(r, &m.second)) return 0;
        v->members.push_back(std::move(m));
        skip_blank(r);
        char c = *r->p++;
        if (c == '}') return 1;
        if (c != ',') return 0;
    }
}

int read_array(Reader *r, JsonValue *v) {
    v->kind = JsonValue::ARRAY;
    r->p++;
    skip_blank(r);
    if (*r->p == ']') {
        r->p++;
        return 1;
    }
    for (;;) {
        JsonValue item;
        if (!read_value(r, &item)) return 0;
        v->items.push_back(std::move(item));
        skip_blank(r);
        char c = *r->p++;
        if (c == ']') return 1;
        if (c != ',') return 0;
    }
}

int read_value(Reader *r, JsonValue *v) {
    skip_blank(r);
    if (++r->depth > JSON_DEPTH_MAX) return 0;
    int ok = 0;
    char c = *r->p;
    if (c == '{') {
        ok = read_object(r, v);
    } else if (c == '[') {
        ok = read_array(r, v);
    } else if (c == '"') {
        v->kind = JsonValue::STRING;
        ok = read_string(r, &v->s);
    } else if (strncmp(r->p, "true", 4) == 0 || strncmp(r->p, "false", 5) == 0) {
        v->kind = JsonValue::BOOL;
        v->b = c == 't';
        r->p += v->b ? 4 : 5;
        ok = 1;
    } else if (strncmp(r->p, "null", 4) == 0) {
        r->p += 4;
        ok = 1;
    } else if (c == '-' || (c >= '0' && c <= '9')) {
        char *end = nullptr;
        v->kind = JsonValue::NUMBER;
        v->n = strtoll(r->p, &end, 10);
        r->p = end;
        // A fraction or an exponent: the whole part is kept.
        while (*r->p && strchr("0123456789.eE+-", *r->p)) r->p++;
        ok = 1;
    }
    r->depth--;
    return ok;
}

} // namespace

int json_read(const char *text, JsonValue *out) {
    Reader r = {text, 0};
    *out = JsonValue();
    if (!text || !read_value(&r, out)) return 0;
    skip_blank(&r);
    return *r.p == 0;
}
