// Fuzzes the query-string reader: any query and any parameter name, read into
// fields of any size. The value must end inside its field, and a whole value
// must be whole: no zero byte and shorter than its field.
#include "cgi/query_string.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    const size_t field = in.ConsumeIntegralInRange<size_t>(1, 600);
    const std::string key = in.ConsumeRandomLengthString(16);
    const std::string query = in.ConsumeRemainingBytesAsString();
    // Exactly the field's size, so that ASan sees a write past it.
    std::vector<char> dst(field);
    using Reader = int (*)(const char *, const char *, char *, size_t);
    for (Reader read : {Reader(get_query_val), Reader(get_address_val), Reader(get_query_whole)}) {
        dst.assign(field, 'x');
        int found = read(query.c_str(), key.c_str(), dst.data(), field);
        if (!memchr(dst.data(), 0, field)) abort();
        if (!found && dst[0]) abort();
    }
    return 0;
}
