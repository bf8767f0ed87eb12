// Fuzzes the parsers of git's output (status --porcelain=v2 -z, log lines,
// the remote URL) and the record's JSON form: whatever git writes, every
// text of the record ends inside its field and the record's JSON is a valid
// UTF-8 JSON object.
#include "repo/repo.h"
#include "text/buf.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

template <size_t N> void check_ends(const char (&field)[N]) {
    if (!memchr(field, 0, N)) abort();
}

void check_record(const Repo &r) {
    check_ends(r.path);
    check_ends(r.name);
    check_ends(r.root);
    check_ends(r.branch);
    check_ends(r.upstream);
    check_ends(r.remote);
    check_ends(r.last_hash);
    check_ends(r.last_subject);
    check_ends(r.error);
    check_ends(r.operation);
    check_ends(r.operation_branch);
    check_ends(r.notice);
    Buf b;
    if (!buf_init(&b, DOC_MAX)) abort();
    emit_repo(&b, &r);
    if (!buf_ok(&b)) abort();
    if (!nlohmann::json::accept(std::string(b.data, (size_t)b.len))) abort();
    buf_free(&b);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    const int stash_header = in.ConsumeBool();
    const std::string text = in.ConsumeRemainingBytesAsString();
    const char *s = text.data(), *end = s + text.size();

    Repo r;
    repo_init(&r, "/r/x", "x", "/r");
    char head_oid[HASH_SIZE];
    parse_status(&r, s, text.size(), stash_header, head_oid);
    if (!memchr(head_oid, 0, sizeof head_oid)) abort();
    check_record(r);

    // The log readers and the one-line parsers take a text git ends with a
    // zero byte or a line feed; the string keeps a terminator after it.
    LogLine l;
    for (char sep : {'\t', '\0'})
        for (int with_author = 0; with_author < 2; with_author++)
            if (log_line_read(s, end, sep, with_author, &l) &&
                (l.hash + l.hash_len > end || l.subject + l.subject_len > end ||
                 (l.author && l.author + l.author_len > end)))
                abort();
    for (const char *p = s; log_next_record(&p, end, &l);)
        if (p > end || l.subject + l.subject_len > end) abort();

    repo_init(&r, "/r/x", "x", "/r");
    parse_last_commit(&r, s);
    parse_log_head(&r, s, text.size());
    parse_remote(&r, s);
    count_stash_lines(s);
    git_version_shows_stash(s);
    check_record(r);

    char url[URL_SIZE];
    redact_url(s, url);
    if (!memchr(url, 0, sizeof url)) abort();
    return 0;
}
