#include "json.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

std::size_t Json::size() const {
    if (type == Object) return members.size();
    if (type == Array) return items.size();
    return 0;
}

bool Json::has(const std::string &key) const {
    if (type != Object) return false;
    for (const auto &m : members)
        if (m.first == key) return true;
    return false;
}

std::vector<std::string> Json::keys() const {
    std::vector<std::string> k;
    for (const auto &m : members) k.push_back(m.first);
    return k;
}

static const Json &null_json() {
    static const Json n;
    return n;
}

const Json &Json::operator[](const std::string &key) const {
    if (type == Object)
        for (const auto &m : members)
            if (m.first == key) return m.second;
    return null_json();
}

const Json &Json::operator[](std::size_t i) const {
    if (type == Array && i < items.size()) return items[i];
    return null_json();
}

namespace {

class JsonParser {
  public:
    explicit JsonParser(const std::string &t) : text_(t) {}

    bool document(Json &out) {
        ws();
        if (!value(out, 0)) return false;
        ws();
        if (pos_ != text_.size()) return fail("text after the value");
        return true;
    }
    std::string error;

  private:
    const std::string &text_;
    size_t pos_ = 0;

    bool fail(const std::string &why) {
        if (error.empty()) error = why + " at offset " + std::to_string(pos_);
        return false;
    }
    void ws() {
        while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' ||
                                       text_[pos_] == '\n' || text_[pos_] == '\r'))
            ++pos_;
    }
    bool literal(const char *word) {
        size_t n = strlen(word);
        if (text_.compare(pos_, n, word) != 0) return fail(std::string("expected ") + word);
        pos_ += n;
        return true;
    }
    bool value(Json &out, int depth) {
        if (depth > 200) return fail("nesting too deep");
        if (pos_ >= text_.size()) return fail("unexpected end");
        char c = text_[pos_];
        if (c == '{') return object(out, depth);
        if (c == '[') return array(out, depth);
        if (c == '"') {
            out.type = Json::String;
            return string(out.s);
        }
        if (c == 't') {
            out.type = Json::Bool;
            out.b = true;
            return literal("true");
        }
        if (c == 'f') {
            out.type = Json::Bool;
            out.b = false;
            return literal("false");
        }
        if (c == 'n') {
            out.type = Json::Null;
            return literal("null");
        }
        if (c == '-' || (c >= '0' && c <= '9')) return number(out);
        return fail("unexpected byte");
    }
    bool object(Json &out, int depth) {
        out.type = Json::Object;
        ++pos_;
        ws();
        if (pos_ < text_.size() && text_[pos_] == '}') {
            ++pos_;
            return true;
        }
        for (;;) {
            ws();
            if (pos_ >= text_.size() || text_[pos_] != '"') return fail("expected a key");
            std::string key;
            if (!string(key)) return false;
            ws();
            if (pos_ >= text_.size() || text_[pos_] != ':') return fail("expected ':'");
            ++pos_;
            ws();
            Json v;
            if (!value(v, depth + 1)) return false;
            out.members.emplace_back(std::move(key), std::move(v));
            ws();
            if (pos_ < text_.size() && text_[pos_] == ',') {
                ++pos_;
                continue;
            }
            if (pos_ < text_.size() && text_[pos_] == '}') {
                ++pos_;
                return true;
            }
            return fail("expected ',' or '}'");
        }
    }
    bool array(Json &out, int depth) {
        out.type = Json::Array;
        ++pos_;
        ws();
        if (pos_ < text_.size() && text_[pos_] == ']') {
            ++pos_;
            return true;
        }
        for (;;) {
            ws();
            Json v;
            if (!value(v, depth + 1)) return false;
            out.items.push_back(std::move(v));
            ws();
            if (pos_ < text_.size() && text_[pos_] == ',') {
                ++pos_;
                continue;
            }
            if (pos_ < text_.size() && text_[pos_] == ']') {
                ++pos_;
                return true;
            }
            return fail("expected ',' or ']'");
        }
    }
    static void put_utf8(std::string &s, unsigned cp) {
        if (cp < 0x80) {
            s += static_cast<char>(cp);
        } else if (cp < 0x800) {
            s += static_cast<char>(0xC0 | (cp >> 6));
            s += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            s += static_cast<char>(0xE0 | (cp >> 12));
            s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            s += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            s += static_cast<char>(0xF0 | (cp >> 18));
            s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            s += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    bool hex4(unsigned &v) {
        if (pos_ + 4 > text_.size()) return fail("short \\u escape");
        v = 0;
        for (int i = 0; i < 4; ++i) {
            char h = text_[pos_++];
            v <<= 4;
            if (h >= '0' && h <= '9')
                v |= static_cast<unsigned>(h - '0');
            else if (h >= 'a' && h <= 'f')
                v |= static_cast<unsigned>(h - 'a' + 10);
            else if (h >= 'A' && h <= 'F')
                v |= static_cast<unsigned>(h - 'A' + 10);
            else
                return fail("bad hex digit");
        }
        return true;
    }
    bool string(std::string &out) {
        ++pos_; // opening quote
        for (;;) {
            if (pos_ >= text_.size()) return fail("unterminated string");
            unsigned char c = static_cast<unsigned char>(text_[pos_]);
            if (c == '"') {
                ++pos_;
                return true;
            }
            if (c < 0x20) return fail("raw control byte in a string");
            if (c != '\\') {
                out += static_cast<char>(c);
                ++pos_;
                continue;
            }
            ++pos_;
            if (pos_ >= text_.size()) return fail("unterminated escape");
            char e = text_[pos_++];
            switch (e) {
            case '"':
                out += '"';
                break;
            case '\\':
                out += '\\';
                break;
            case '/':
                out += '/';
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'u': {
                unsigned cp = 0;
                if (!hex4(cp)) return false;
                if (cp >= 0xD800 && cp < 0xDC00 && text_.compare(pos_, 2, "\\u") == 0) {
                    size_t save = pos_;
                    pos_ += 2;
                    unsigned lo = 0;
                    if (!hex4(lo)) return false;
                    if (lo >= 0xDC00 && lo < 0xE000)
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
                    else
                        pos_ = save;
                }
                put_utf8(out, cp);
                break;
            }
            default:
                --pos_;
                return fail("bad escape");
            }
        }
    }
    bool number(Json &out) {
        size_t start = pos_;
        if (text_[pos_] == '-') ++pos_;
        if (pos_ >= text_.size() || !isdigit(static_cast<unsigned char>(text_[pos_])))
            return fail("bad number");
        if (text_[pos_] == '0' && pos_ + 1 < text_.size() &&
            isdigit(static_cast<unsigned char>(text_[pos_ + 1])))
            return fail("leading zero");
        while (pos_ < text_.size() && isdigit(static_cast<unsigned char>(text_[pos_]))) ++pos_;
        bool integral = true;
        if (pos_ < text_.size() && text_[pos_] == '.') {
            integral = false;
            ++pos_;
            if (pos_ >= text_.size() || !isdigit(static_cast<unsigned char>(text_[pos_])))
                return fail("bad fraction");
            while (pos_ < text_.size() && isdigit(static_cast<unsigned char>(text_[pos_]))) ++pos_;
        }
        if (pos_ < text_.size() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
            integral = false;
            ++pos_;
            if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-')) ++pos_;
            if (pos_ >= text_.size() || !isdigit(static_cast<unsigned char>(text_[pos_])))
                return fail("bad exponent");
            while (pos_ < text_.size() && isdigit(static_cast<unsigned char>(text_[pos_]))) ++pos_;
        }
        std::string lexeme = text_.substr(start, pos_ - start);
        out.type = Json::Number;
        out.integral = integral;
        out.d = strtod(lexeme.c_str(), nullptr);
        out.n = integral ? strtoll(lexeme.c_str(), nullptr, 10) : static_cast<long long>(out.d);
        return true;
    }
};

} // namespace

std::string utf8_error(const std::string &text) {
    const auto *p = reinterpret_cast<const unsigned char *>(text.data());
    const size_t n = text.size();
    for (size_t i = 0; i < n;) {
        unsigned char c = p[i];
        size_t len = c < 0x80                 ? 1
                     : c >= 0xC2 && c <= 0xDF ? 2
                     : c >= 0xE0 && c <= 0xEF ? 3
                     : c >= 0xF0 && c <= 0xF4 ? 4
                                              : 0;
        bool ok = len > 0 && i + len <= n;
        for (size_t k = 1; ok && k < len; ++k) ok = (p[i + k] & 0xC0) == 0x80;
        if (ok && len > 2) {
            unsigned cp = len == 3
                              ? ((c & 0x0Fu) << 12) | ((p[i + 1] & 0x3Fu) << 6) | (p[i + 2] & 0x3Fu)
                              : ((c & 0x07u) << 18) | ((p[i + 1] & 0x3Fu) << 12) |
                                    ((p[i + 2] & 0x3Fu) << 6) | (p[i + 3] & 0x3Fu);
            ok = len == 3 ? cp >= 0x800 && (cp < 0xD800 || cp > 0xDFFF)
                          : cp >= 0x10000 && cp <= 0x10FFFF;
        }
        if (!ok) {
            char at[64];
            snprintf(at, sizeof at, "byte 0x%02X at offset %zu is not UTF-8", c, i);
            return at;
        }
        i += len;
    }
    return "";
}

Json parse_json(const std::string &text, std::string *error) {
    JsonParser p(text);
    Json out;
    if (!p.document(out)) {
        if (error) *error = p.error;
        return Json();
    }
    if (error) error->clear();
    return out;
}
