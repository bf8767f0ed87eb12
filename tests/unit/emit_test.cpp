// The repository JSON object and the table's sort order.
#include "repo/repo.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string emit(const Repo &r) {
    Buf b;
    buf_init(&b, DOC_MAX);
    emit_repo(&b, &r);
    std::string out(b.data, (size_t)b.len);
    buf_free(&b);
    return out;
}

Repo zero_repo() {
    Repo r;
    memset(&r, 0, sizeof r);
    return r;
}

TEST(EmitRepo, ZeroRecord) {
    EXPECT_EQ(
        emit(zero_repo()),
        "{\"path\":\"\",\"name\":\"\",\"root\":\"\",\"branch\":\"\",\"upstream\":\"\","
        "\"remote\":\"\",\"ahead\":0,\"behind\":0,\"dirty\":0,\"untracked\":0,\"staged\":0,"
        "\"conflicted\":0,\"stash\":0,\"detached\":false,\"no_upstream\":false,"
        "\"unborn\":false,\"last_commit\":{\"hash\":\"\",\"short\":\"\",\"ct\":0,"
        "\"at\":\"1970-01-01T00:00:00Z\",\"subject\":\"\"},\"path_param\":\"\","
        "\"error\":\"\",\"upstream_gone\":false,\"operation\":\"\","
        "\"operation_branch\":\"\",\"fetched_at\":0,"
        "\"unpushed\":0,\"unpushed_branches\":0,\"gone_branches\":0,\"no_remote\":false,"
        "\"state\":\"clean\",\"state_rank\":13,\"needs_you\":false,\"step\":\"Nothing to do\"}");
}

TEST(EmitRepo, FullRecord) {
    Repo r = zero_repo();
    strcpy(r.path, "C:\\src\\a\"p\x01p");
    strcpy(r.name, "a\"p\x01p");
    strcpy(r.root, "C:\\src");
    strcpy(r.branch, "feature/x");
    strcpy(r.upstream, "https://h/r"); // as the status parser stores it, redacted
    strcpy(r.remote, "https://h/r");
    r.ahead = 1;
    r.behind = 2;
    r.dirty = 3;
    r.untracked = 4;
    r.staged = 5;
    r.conflicted = 6;
    r.stash = 7;
    r.detached = 1;
    r.no_upstream = 0;
    r.unborn = 2; // any non-zero value is true
    r.last_ct = 1709285400;
    strcpy(r.last_hash, "8351c9d378b413bb34a7a832416569fc12187893");
    strcpy(r.last_subject, "Fix \"it\"\ttab \xc3\xa9");
    strcpy(r.error, "fatal: \"x\"\tnot \xff UTF-8");
    r.upstream_gone = 3; // any non-zero value is true
    strcpy(r.operation, "cherry-pick");
    strcpy(r.operation_branch, "f\"eat");
    r.fetched_at = 1709285400;
    r.unpushed = 12;
    r.unpushed_branches = 3;
    r.gone_branches = 2;
    r.no_remote = 1;
    EXPECT_EQ(
        emit(r),
        "{\"path\":\"C:\\\\src\\\\a\\\"p\\u0001p\",\"name\":\"a\\\"p\\u0001p\","
        "\"root\":\"C:\\\\src\",\"branch\":\"feature/x\",\"upstream\":\"https://h/r\","
        "\"remote\":\"https://h/r\",\"ahead\":1,\"behind\":2,\"dirty\":3,\"untracked\":4,"
        "\"staged\":5,\"conflicted\":6,\"stash\":7,\"detached\":true,\"no_upstream\":false,"
        "\"unborn\":true,\"last_commit\":{\"hash\":\"8351c9d378b413bb34a7a832416569fc12187893\","
        "\"short\":\"8351c9d378b\",\"ct\":1709285400,\"at\":\"2024-03-01T09:30:00Z\","
        "\"subject\":\"Fix \\\"it\\\"\\ttab \xc3\xa9\"},\"path_param\":\"C%3A%5Csrc%5Ca%22p%01p\","
        "\"error\":\"fatal: \\\"x\\\"\\tnot \xef\xbf\xbd UTF-8\",\"upstream_gone\":true,"
        "\"operation\":\"cherry-pick\",\"operation_branch\":\"f\\\"eat\",\"fetched_at\":"
        "1709285400,"
        "\"unpushed\":12,\"unpushed_branches\":3,\"gone_branches\":2,\"no_remote\":true,"
        // Git could not read it: the state says so, with git's message.
        "\"state\":\"unreadable\",\"state_rank\":0,\"needs_you\":true,"
        "\"step\":\"Unreadable: fatal: \\\"x\\\"\\tnot \xef\xbf\xbd UTF-8\"}");
}

TEST(EmitRepo, ShortHash) {
    struct {
        const char *hash;
        const char *short_hash;
    } cases[] = {
        {"8351c9d378b413bb34a7a832416569fc12187893", "8351c9d378b"},
        {"8351c9d378b4", "8351c9d378b"},
        {"8351c9d378b", "8351c9d378b"},
        {"abcde", "abcde"},
        {"", ""},
    };
    for (auto c : cases) {
        SCOPED_TRACE(c.hash);
        Repo r = zero_repo();
        strcpy(r.last_hash, c.hash);
        std::string want = std::string("\"short\":\"") + c.short_hash + "\"";
        EXPECT_NE(emit(r).find(want), std::string::npos) << emit(r);
    }
}

TEST(EmitRepo, FullWidthFieldsAndExistingText) {
    // Every text field at its width less one, appended after earlier text.
    Repo r = zero_repo();
    memset(r.path, '\\', sizeof r.path - 1);
    memset(r.name, '"', sizeof r.name - 1);
    memset(r.root, 'r', sizeof r.root - 1);
    memset(r.branch, 'b', sizeof r.branch - 1);
    memset(r.upstream, 'u', sizeof r.upstream - 1);
    memset(r.remote, 'm', sizeof r.remote - 1);
    memset(r.last_hash, 'h', sizeof r.last_hash - 1);
    memset(r.last_subject, '\x02', sizeof r.last_subject - 1);
    memset(r.error, 'e', sizeof r.error - 1);
    memset(r.operation, 'o', sizeof r.operation - 1);
    memset(r.operation_branch, 'b', sizeof r.operation_branch - 1);
    Buf b;
    buf_init(&b, DOC_MAX);
    buf_puts(&b, "[");
    emit_repo(&b, &r);
    std::string out(b.data, (size_t)b.len);
    buf_free(&b);
    EXPECT_EQ(out.substr(0, 10), "[{\"path\":\"");
    EXPECT_NE(out.find(std::string(1023 * 2, '\\') + "\",\"name\""), std::string::npos);
    EXPECT_NE(out.find("\"upstream\":\"" + std::string(511, 'u') + "\""), std::string::npos);
    EXPECT_NE(out.find("\"short\":\"hhhhhhhhhhh\""), std::string::npos);
    std::string param;
    for (int i = 0; i < 1023; i++) param += "%5C";
    EXPECT_NE(out.find("\\u0002\"},\"path_param\":\"" + param + "\",\"error\":\""),
              std::string::npos);
    EXPECT_NE(out.find("\"" + std::string(1199, 'e') + "\",\"upstream_gone\""), std::string::npos);
    std::string tail =
        "\"operation\":\"" + std::string(15, 'o') + "\",\"operation_branch\":\"" +
        std::string(255, 'b') + "\",\"fetched_at\":0," +
        "\"unpushed\":0,\"unpushed_branches\":0,\"gone_branches\":0,\"no_remote\":false," +
        "\"state\":\"unreadable\",\"state_rank\":0,\"needs_you\":true,"
        "\"step\":\"Unreadable: " +
        std::string(1199, 'e') + "\"}";
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
}

// ---- repo_cmp ---------------------------------------------------------------

struct Key {
    int dirty;
    long long ct;
    const char *path;
    const char *error = "";
    const char *operation = "";
    int conflicted = 0;
};

Repo repo_of(const Key &k) {
    Repo r = zero_repo();
    r.dirty = k.dirty;
    r.last_ct = k.ct;
    strcpy(r.path, k.path);
    strcpy(r.error, k.error);
    strcpy(r.operation, k.operation);
    r.conflicted = k.conflicted;
    return r;
}

int sign(int v) {
    return (v > 0) - (v < 0);
}

TEST(RepoCmp, Table) {
    struct {
        Key a, b;
        int order; // -1: a first, 1: b first, 0: equal
    } cases[] = {
        {{3, 0, "/a"}, {1, 0, "/b"}, -1},
        {{1, 0, "/z"}, {3, 100, "/a"}, 1},
        {{1, 0, "/z"}, {0, 999, "/a"}, -1},
        {{0, 999, "/a"}, {1, 0, "/z"}, 1},
        {{0, 200, "/z"}, {0, 100, "/a"}, -1},
        {{0, 0, "/a"}, {0, 100, "/z"}, 1},
        {{2, 100, "/a"}, {2, 200, "/z"}, 1},
        {{0, 100, "/a"}, {0, 100, "/b"}, -1},
        {{0, 100, "/B"}, {0, 100, "/a"}, -1},
        {{0, 100, "/z"}, {0, 100, "/\xc3\xa9"}, -1},
        {{0, 0, "/same"}, {0, 0, "/same"}, 0},
        {{0, 1LL << 40, "/a"}, {0, 1, "/b"}, -1},
        {{0, 1, "/a"}, {0, (1LL << 32) + 1, "/b"}, 1},
        {{0, -5, "/a"}, {0, 0, "/b"}, 1},
        // What needs the user comes before any dirty count or date: an
        // error, then an operation in progress, then conflicts.
        {{0, 0, "/z", "fatal: x"}, {9, 999, "/a"}, -1},
        {{0, 0, "/z", "fatal: x"}, {1, 999, "/a", "", "rebase", 1}, -1},
        {{0, 0, "/z", "", "bisect"}, {5, 999, "/a", "", "", 5}, -1},
        {{0, 0, "/z", "", "", 0}, {1, 0, "/a", "", "", 1}, 1},
        {{1, 0, "/z", "", "", 1}, {9, 999, "/a"}, -1},
        {{1, 100, "/a", "", "", 1}, {3, 100, "/b", "", "", 2}, 1},
        {{0, 100, "/a", "e1"}, {0, 200, "/b", "e2"}, 1},
        {{0, 100, "/a", "", "merge"}, {0, 100, "/b", "", "rebase"}, -1},
    };
    for (auto c : cases) {
        SCOPED_TRACE(std::string(c.a.path) + " vs " + c.b.path);
        Repo a = repo_of(c.a), b = repo_of(c.b);
        EXPECT_EQ(sign(repo_cmp(&a, &b)), c.order);
        EXPECT_EQ(sign(repo_cmp(&b, &a)), -c.order);
    }

    // Between two dirty records the result is the difference of the counts.
    Repo a = repo_of({7, 0, "/a"}), b = repo_of({2, 0, "/b"});
    EXPECT_EQ(repo_cmp(&a, &b), -5);
}

TEST(RepoCmp, SortsATable) {
    const Key keys[] = {
        {0, 0, "/srv/no-commit-b"},
        {0, 1700000000, "/srv/old"},
        {1, 5, "/srv/one-change"},
        {0, 0, "/srv/no-commit-a"},
        {4, 1, "/srv/four"},
        {0, 1709285400, "/srv/new"},
        {1, 9, "/srv/one-newer"},
        {0, 0, "/srv/unreadable", "fatal: bad"},
        {2, 3, "/srv/rebasing", "", "rebase", 1},
        {1, 4, "/srv/conflict", "", "", 1},
    };
    std::vector<Repo> table;
    for (const Key &k : keys) table.push_back(repo_of(k));
    qsort(table.data(), table.size(), sizeof(Repo), repo_cmp);
    std::vector<std::string> order;
    for (const Repo &r : table) order.push_back(r.path);
    EXPECT_EQ(order, (std::vector<std::string>{"/srv/unreadable", "/srv/rebasing", "/srv/conflict",
                                               "/srv/four", "/srv/one-newer", "/srv/one-change",
                                               "/srv/new", "/srv/old", "/srv/no-commit-a",
                                               "/srv/no-commit-b"}));
}

} // namespace
