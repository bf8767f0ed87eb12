// Fuzzes the terminal's text sanitiser: whatever a name or a subject holds,
// what reaches the terminal is UTF-8 with no control character (no escape
// sequence, no C1 control, no bidirectional control, no line or paragraph
// separator) and takes no more columns than asked.
#include "cli/term.h"
#include "text/buf.h"
#include "text/utf8.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

bool shows_safely(unsigned cp) {
    if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) return false;       // C0, DEL, C1
    if (cp == 0x061C || cp == 0x200E || cp == 0x200F) return false; // marks
    if ((cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069)) return false; // bidi
    if (cp == 0x2028 || cp == 0x2029) return false; // separators: shown as "<U+2028>"
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    const int max = in.ConsumeIntegralInRange<int>(-1, 200);
    const int pad = in.ConsumeIntegralInRange<int>(0, 200);
    const std::string text = in.ConsumeRemainingBytesAsString();

    Buf b;
    if (!buf_init(&b, DOC_MAX)) abort();
    int cells = term_cell_n(&b, text.data(), text.size(), max, pad);
    if (!buf_ok(&b)) abort();
    if (max >= 0 && cells > (max > pad ? max : pad)) abort();
    if (cells < pad) abort();
    const char *p = b.data, *end = b.data + b.len;
    while (p < end) {
        unsigned cp;
        int n = utf8_decode(p, (size_t)(end - p), &cp);
        if (n <= 0 || !shows_safely(cp)) abort();
        p += n;
    }
    if (text_cells_n(text.data(), text.size()) < 0) abort();
    buf_free(&b);
    return 0;
}
