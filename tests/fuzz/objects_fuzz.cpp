// Fuzzes the object reader: a commit's content, a loose object and a pack
// with its index, each as the reader finds it in an object store on disk.
// The first byte says which:
//   0: a commit's content, parsed alone;
//   1: an object's bytes ("commit <size>\0..." and more), deflated here and
//      stored loose under the name of those bytes, so that the read passes
//      the name check and reaches the parser;
//   2: a loose object file as it is (deflated or not);
//   3: a pack index and its pack: two bytes of the index's length, the
//      index, then the pack; the name looked up is the index's first;
//   4: the entries of a pack, each a type byte, two bytes of length and its
//      bytes (an offset delta's distance and a reference delta's base name
//      first, as the pack holds them), written here as a pack (each entry's
//      data deflated) with its index, the entries named 00..01, 00..02 and
//      so on; the name looked up is the last entry's. The fuzzer reaches the
//      delta code with deltas of its own making.
// A read may refuse anything, but must never read out of bounds, crash or
// loop, and what it gives must be what the name says.
#include "git/objects/objects.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string g_store; // a git folder of the fuzzer's own, made once
std::string g_loose; // the loose object the last input stored

void put(const std::string &path, const std::string &bytes) {
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) abort();
    if (!bytes.empty() && fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) abort();
    fclose(f);
}

std::string hex_of(const unsigned char name[SHA1_LEN]) {
    char hex[SHA1_HEX_LEN + 1];
    sha1_to_hex(name, hex);
    return hex;
}

void remove_store() {
    unlink((g_store + "/objects/pack/p.idx").c_str());
    unlink((g_store + "/objects/pack/p.pack").c_str());
    if (!g_loose.empty()) {
        unlink(g_loose.c_str());
        rmdir(g_loose.substr(0, g_loose.rfind('/')).c_str());
    }
    for (const char *sub : {"/objects/pack", "/objects", ""}) rmdir((g_store + sub).c_str());
}

// Makes the store's folders (in $TMPDIR) and clears every file a former
// input left.
void clear_store() {
    if (g_store.empty()) {
        const char *tmp = getenv("TMPDIR");
        std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/quarlo-objects-fuzz-XXXXXX";
        if (!mkdtemp(&dir[0])) abort();
        g_store = dir;
        for (const char *sub : {"/objects", "/objects/pack"})
            if (mkdir((g_store + sub).c_str(), 0700) != 0) abort();
        atexit(remove_store);
    }
    unlink((g_store + "/objects/pack/p.idx").c_str());
    unlink((g_store + "/objects/pack/p.pack").c_str());
    if (!g_loose.empty()) {
        unlink(g_loose.c_str());
        rmdir(g_loose.substr(0, g_loose.rfind('/')).c_str());
        g_loose.clear();
    }
}

void store_loose(const unsigned char name[SHA1_LEN], const std::string &file) {
    std::string hex = hex_of(name);
    std::string dir = g_store + "/objects/" + hex.substr(0, 2);
    mkdir(dir.c_str(), 0700);
    g_loose = dir + "/" + hex.substr(2);
    put(g_loose, file);
}

std::string deflated(const std::string &bytes) {
    uLongf n = compressBound((uLong)bytes.size());
    std::string out(n, '\0');
    if (compress((Bytef *)&out[0], &n, (const Bytef *)bytes.data(), (uLong)bytes.size()) != Z_OK)
        abort();
    out.resize(n);
    return out;
}

void put_be32(std::string *s, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) s->push_back((char)(v >> shift));
}

// Form 4: a pack made of the input's entries, and its index.
void write_pack(FuzzedDataProvider &in, unsigned char last[SHA1_LEN]) {
    std::string pack = "PACK", entries;
    std::vector<uint32_t> offsets;
    while (in.remaining_bytes() > 0) {
        const int type = in.ConsumeIntegralInRange<int>(1, 7);
        std::string body = in.ConsumeBytesAsString(in.ConsumeIntegral<uint16_t>());
        // What goes before the deflated data, as it is.
        size_t raw = 0;
        if (type == 6) {
            while (raw < body.size() && (body[raw] & 0x80)) raw++;
            raw = raw < body.size() ? raw + 1 : raw;
        } else if (type == 7) {
            raw = body.size() < SHA1_LEN ? body.size() : SHA1_LEN;
        }
        const std::string data = body.substr(raw);
        offsets.push_back((uint32_t)(12 + entries.size()));
        size_t size = data.size();
        unsigned char c = (unsigned char)((unsigned)type << 4 | (unsigned)(size & 15));
        size >>= 4;
        while (size) {
            entries.push_back((char)(c | 0x80));
            c = size & 127;
            size >>= 7;
        }
        entries.push_back((char)c);
        entries += body.substr(0, raw) + deflated(data);
    }
    put_be32(&pack, 2);
    put_be32(&pack, (uint32_t)offsets.size());
    pack += entries;
    pack.append(SHA1_LEN, '\0'); // the checksum, not read

    const uint32_t count = (uint32_t)offsets.size();
    std::string idx("\377tOc\0\0\0\2", 8);
    for (int i = 0; i < 256; i++) put_be32(&idx, count);
    auto entry_name = [](uint32_t i) {
        std::string name(SHA1_LEN - 4, '\0');
        put_be32(&name, i + 1);
        return name;
    };
    for (uint32_t i = 0; i < count; i++) idx += entry_name(i);
    for (uint32_t i = 0; i < count; i++) put_be32(&idx, 0); // checksums, not read
    for (uint32_t off : offsets) put_be32(&idx, off);
    idx.append(2 * SHA1_LEN, '\0');
    put(g_store + "/objects/pack/p.idx", idx);
    put(g_store + "/objects/pack/p.pack", pack);
    if (count) memcpy(last, entry_name(count - 1).data(), SHA1_LEN);
}

// Reads `name` and checks that an answer is the commit the name says.
void read_and_check(const unsigned char name[SHA1_LEN]) {
    const std::string hex = hex_of(name);
    CommitSummary got;
    memset(&got, 0x55, sizeof got);
    if (!objects_read_commit(g_store.c_str(), hex.c_str(), &got)) return;
    if (strcmp(got.hash, hex.c_str()) != 0) abort();
    if (!memchr(got.subject, 0, sizeof got.subject)) abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    const int form = in.ConsumeIntegralInRange<int>(0, 4);
    if (form == 0) {
        std::string content = in.ConsumeRemainingBytesAsString();
        CommitSummary s;
        if (commit_summary_parse((const unsigned char *)content.data(), content.size(), &s) &&
            !memchr(s.subject, 0, sizeof s.subject))
            abort();
        return 0;
    }
    clear_store();
    unsigned char name[SHA1_LEN] = {0};
    if (form == 1 || form == 2) {
        std::string bytes = in.ConsumeRemainingBytesAsString();
        Sha1 h;
        sha1_init(&h);
        sha1_update(&h, bytes.data(), bytes.size());
        sha1_final(&h, name);
        store_loose(name, form == 1 ? deflated(bytes) : bytes);
    } else if (form == 4) {
        write_pack(in, name);
    } else {
        size_t idx_len = in.ConsumeIntegral<uint16_t>();
        std::string idx = in.ConsumeBytesAsString(idx_len);
        std::string pack = in.ConsumeRemainingBytesAsString();
        const size_t first = 8 + 256 * 4;
        if (idx.size() >= first + SHA1_LEN) memcpy(name, idx.data() + first, SHA1_LEN);
        put(g_store + "/objects/pack/p.idx", idx);
        put(g_store + "/objects/pack/p.pack", pack);
    }
    read_and_check(name);
    return 0;
}
