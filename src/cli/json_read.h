// A small JSON reader for the program's own documents (the detail document
// that `quarlo show` prints as a table).
#pragma once

#include <string>
#include <utility>
#include <vector>

struct JsonValue {
    enum Kind { NUL, BOOL, NUMBER, STRING, ARRAY, OBJECT };
    Kind kind = NUL;
    bool b = false;
    long long n = 0; // a number's whole part
    std::string s;   // a string, escapes decoded (\uXXXX as UTF-8)
    std::vector<JsonValue> items;
    std::vector<std::pair<std::string, JsonValue>> members;

    // The member `key` of an object; a null value when there is none.
    const JsonValue &get(const char *key) const;
};

// Reads the one JSON document in `text` into *out. Returns 1, 0 when the
// text is not such a document.
int json_read(const char *text, JsonValue *out);
