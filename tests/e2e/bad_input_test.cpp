// Whatever a client sends, and whatever names and messages the repositories
// hold: the program ends with status 0 and writes a well-formed response whose
// strings come back byte for byte. (The sanitizer build catches overruns.)
#include "harness.h"

#include <gtest/gtest.h>

#include <set>

namespace {

const std::string kRefused =
    json_head(403) + "{\"ok\":false,\"error\":\"path not in an allowlisted root\"}\n";
const std::string kUnknown = json_head(0) + "{\"ok\":false,\"error\":\"unknown action\"}\n";
const std::string k401 = "Status: 401 Unauthorized\r\n" + json_head(0) +
                         "{\"ok\":false,\"error\":\"invalid node password\"}\n";

// What a row must answer.
enum Kind { PAGE, LISTING, DETAIL, UNKNOWN, REFUSED };

// Checks the framing of any answer and returns the parsed JSON body (null
// for the page).
Json well_formed(const CgiResult &r) {
    if (r.head.rfind("Content-Type: text/html", 0) == 0) return Json();
    bool known_head = false;
    for (const std::string &h : {json_head(0), json_head(400), json_head(403),
                                 "Status: 401 Unauthorized\r\n" + json_head(0)})
        known_head = known_head || r.out.compare(0, h.size(), h) == 0;
    EXPECT_TRUE(known_head) << r.out.substr(0, 300);
    EXPECT_EQ(r.body.empty() ? 0 : r.body.back(), '\n');
    EXPECT_EQ(r.body.find('\n'), r.body.size() - 1) << "one line, one document";
    std::string err;
    Json j = parse_json(r.body, &err);
    EXPECT_EQ(err, "") << r.body.substr(0, 300) << " (a strict reader: UTF-8 checked)";
    EXPECT_TRUE(j["ok"].is_boolean());
    if (!j["ok"].get<bool>()) {
        EXPECT_TRUE(j["error"].is_string());
    }
    return j;
}

class BadInput : public ::testing::Test {
  protected:
    static TempDir *base_;
    static std::string root_, repo_;

    static void SetUpTestSuite() {
        base_ = new TempDir;
        root_ = base_->sub("root");
        repo_ = root_ + "/r";
        sh("git init -q " + shq(repo_));
        write_file(repo_ + "/f", "x\n");
        git(repo_, "add f");
        commit_at(repo_, "one", 1700000000);
    }
    static void TearDownTestSuite() {
        delete base_;
        base_ = nullptr;
    }

    static CgiRequest request(const std::string &query, const std::string &method) {
        CgiRequest req;
        req.query = query;
        req.method = method;
        req.env = {{"QUARLO_ONLY_ROOTS", "1"}, {"QUARLO_ROOTS", root_}};
        return req;
    }
};

TempDir *BadInput::base_ = nullptr;
std::string BadInput::root_, BadInput::repo_;

TEST_F(BadInput, QueryStrings) {
    const std::string big(100 * 1024, 'a');
    std::string binary;
    for (int c = 1; c < 256; ++c) binary += static_cast<char>(c);
    std::string high;
    for (int c = 0x80; c < 0x100; ++c) high += static_cast<char>(c);
    std::string escaped_high;
    for (int c = 0x80; c < 0x100; ++c) {
        char e[4];
        snprintf(e, sizeof e, "%%%02X", c);
        escaped_high += e;
    }
    const std::string path = "action=repo&path=";
    // The repository's path in 430 bytes ("/./" folds away), every byte
    // escaped: 1290 bytes in the query.
    std::string every_byte_escaped;
    std::string dotted = root_;
    for (int i = 0; i < 130; ++i) dotted += "/.";
    for (char c : dotted + "/r") {
        char e[4];
        snprintf(e, sizeof e, "%%%02X", static_cast<unsigned char>(c));
        every_byte_escaped += e;
    }

    struct Row {
        std::string what;
        std::string method;
        std::string query;
        Kind kind;
    } rows[] = {
        {"empty GET", "GET", "", PAGE},
        {"empty POST", "POST", "", LISTING},
        {"100 KB without an action", "GET", big, PAGE},
        {"100 KB after the action", "GET", "action=repos&x=" + big, LISTING},
        {"100 KB action", "GET", "action=" + big, UNKNOWN},
        {"100 KB path", "GET", path + big, REFUSED},
        {"100 KB fetch path", "POST", "action=fetch&path=" + big, REFUSED},
        {"100 KB of '%'", "GET", "action=repo&path=" + std::string(100 * 1024, '%'), REFUSED},
        {"bytes 1 to 255, GET", "GET", binary, PAGE},
        {"bytes 1 to 255, POST", "POST", binary, LISTING},
        {"bytes 1 to 255 as the action", "GET", "action=" + binary, UNKNOWN},
        {"bytes 1 to 255 as the path", "GET", path + binary, REFUSED},
        {"%00 as the action", "GET", "action=%00", LISTING},
        {"%00 before the action's name", "GET", "action=%00repos", LISTING},
        {"%00 ends the action", "GET", "action=repo%00x&path=" + repo_, DETAIL},
        // A path that cannot be held whole is refused, never answered for
        // the part before the zero byte.
        {"%00 inside the path", "GET", path + repo_ + "%00/../..", REFUSED},
        {"%00 as the path", "GET", path + "%00", REFUSED},
        {"%00 fetch path", "POST", "action=fetch&path=%00", REFUSED},
        {"lone %", "GET", "%", PAGE},
        {"action=%", "GET", "action=%", UNKNOWN},
        {"action=%4", "GET", "action=%4", UNKNOWN},
        {"action=%zzrepos", "GET", "action=%zzrepos", UNKNOWN},
        {"action=rep%6", "GET", "action=rep%6", UNKNOWN},
        {"escaped action", "GET", "action=%72%65%70%6F&path=" + repo_, DETAIL},
        {"path=%", "GET", path + "%", REFUSED},
        {"path ending in %4", "GET", path + repo_ + "%4", REFUSED},
        {"control bytes in the action", "GET", "action=\x01\x02\x1b\x7f\t\r\n", UNKNOWN},
        {"CR LF in the action", "GET", "action=\r\nStatus: 500 Oops\r\n\r\n{", UNKNOWN},
        {"control bytes in the path", "GET", path + "\x01\x1b\t\r\n", REFUSED},
        {"escaped control bytes in the path", "GET", path + "%01%1B%09%0D%0A%7F", REFUSED},
        {"bytes 0x80-0xFF in the action", "GET", "action=" + high, UNKNOWN},
        {"bytes 0x80-0xFF in the path", "GET", path + root_ + "/" + high, REFUSED},
        {"escaped 0x80-0xFF in the path", "GET", path + root_ + "/" + escaped_high, REFUSED},
        {"bytes 0x80-0xFF in a fetch path", "POST", "action=fetch&path=" + high, REFUSED},
        {"only separators", "GET", "&&&==&=&", PAGE},
        {"only separators, POST", "POST", "&&&==&=&", LISTING},
        {"name without '='", "GET", "action&path", PAGE},
        {"'..' hidden in an escape", "GET", path + root_ + "/%2E%2E/root/r", REFUSED},
        {"'..' inside a name, no such folder", "GET", path + root_ + "/r..", REFUSED},
        {"1300 escaped bytes of a path that fits decoded", "GET", path + every_byte_escaped,
         DETAIL},
        {"a path that does not fit decoded", "GET", path + root_ + std::string(1100, '/') + "r",
         REFUSED},
        {"relative path", "GET", path + "r", REFUSED},
        {"the plain path", "GET", path + repo_, DETAIL},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        CgiResult r = run_cgi_ok(request(row.query, row.method));
        Json j = well_formed(r);
        switch (row.kind) {
        case PAGE:
            EXPECT_EQ(r.head.rfind("Content-Type: text/html", 0), 0u) << r.out.substr(0, 200);
            break;
        case LISTING:
            EXPECT_EQ(j["action"].get<std::string>(), "repos");
            EXPECT_EQ(j["count"].get<long long>(), 1);
            break;
        case DETAIL:
            EXPECT_EQ(j["action"].get<std::string>(), "repo") << r.out.substr(0, 300);
            EXPECT_EQ(j["repo"]["path"].get<std::string>(), repo_);
            break;
        case UNKNOWN:
            EXPECT_EQ(r.out, kUnknown);
            break;
        case REFUSED:
            EXPECT_EQ(r.out, kRefused);
            break;
        }
    }
}

TEST_F(BadInput, OversizedAndBinaryCredentials) {
    std::string binary;
    for (int c = 1; c < 256; ++c) binary += static_cast<char>(c);
    const std::string big(100 * 1024, 'p');
    struct Row {
        std::string what;
        std::vector<std::pair<std::string, std::string>> creds;
        std::string query;
    } rows[] = {
        {"100 KB pwd", {}, "action=repos&pwd=" + big},
        {"binary pwd", {}, "action=repos&pwd=" + binary},
        {"100 KB header", {{"HTTP_X_BOT_PASSWORD", big}}, "action=repos"},
        {"binary header", {{"HTTP_X_BOT_PASSWORD", binary}}, "action=repos"},
        {"100 KB of spaces after Bearer",
         {{"HTTP_AUTHORIZATION", "Bearer" + std::string(100 * 1024, ' ')}},
         "action=repos"},
        {"binary Bearer", {{"HTTP_AUTHORIZATION", "Bearer " + binary}}, "action=repos"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        CgiRequest req = request(row.query, "GET");
        req.env.emplace_back("BOT_PASSWORD", "right");
        for (const auto &c : row.creds) req.env.push_back(c);
        CgiResult r = run_cgi_ok(req);
        EXPECT_EQ(r.out, k401);
    }
}

#define FFFD "\xef\xbf\xbd"

// Folder names and commit subjects with every awkward byte, made for real.
// They come back byte for byte, except bytes that are not UTF-8: those read
// U+FFFD, and "path_param" names the folder's very bytes, with which the
// detail opens it.
TEST_F(BadInput, AwkwardNamesAndSubjects) {
    TempDir t;
    const std::string root = t.sub("awkward");
    struct Row {
        std::string name;                      // folder name of the repository
        std::string subject;                   // its last commit's subject
        std::string shown_name, shown_subject; // as the JSON strings read; empty: the same
    } rows[] = {
        {"quote\"d", "say \"hi\"", "", ""},
        // On Linux a backslash is part of the name.
        {"back\\slash", "C:\\path\\ and \\\" mixed", "", ""},
        {"tab\there", "tab\tinside", "", ""},
        {"new\nline", "bell\x07 esc\x1b del\x7f ctl\x01\x1f end", "", ""},
        {"cr\rhere", "form\x0c back\x08 end", "", ""},
        {"bad\xff\xfe utf8", "lat\xe9 \xff\xfe \xc3 lone lead", "bad" FFFD FFFD " utf8",
         "lat" FFFD " " FFFD FFFD " " FFFD " lone lead"},
        {"\xc3\xa9t\xc3\xa9", "\xe2\x82\xac \xf0\x9f\x98\x80 fine UTF-8", "", ""},
        {" spaced ", "</script><!-- & ' json \\u0000", "", ""},
        {std::string(255, 'n'), std::string(400, 's'), "", ""}, // longest name; subject cut to 299
    };
    long long when = 1700000000;
    for (const Row &row : rows) {
        const std::string dir = root + "/" + row.name;
        sh("git init -q " + shq(dir));
        write_file(dir + "/f", row.name);
        git_argv(dir, {"add", "f"});
        commit_raw(dir, row.subject + "\n\nbody line\n", ++when);
    }
    CgiRequest req = request("action=repos", "GET");
    req.env = {{"QUARLO_ONLY_ROOTS", "1"}, {"QUARLO_ROOTS", root}};
    CgiResult r = run_cgi_ok(req);
    Json j = well_formed(r);
    const size_t n = sizeof rows / sizeof rows[0];
    ASSERT_EQ(j["count"].get<long long>(), static_cast<long long>(n));
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const std::string name = row.shown_name.empty() ? row.name : row.shown_name;
        const std::string subject =
            (row.shown_subject.empty() ? row.subject : row.shown_subject).substr(0, 299);
        const Json *found = nullptr;
        for (size_t i = 0; i < j["repos"].size(); ++i)
            if (j["repos"][i]["path_param"].get<std::string>() == url_encode(root + "/" + row.name))
                found = &j["repos"][i];
        ASSERT_NE(found, nullptr);
        EXPECT_EQ((*found)["path"].get<std::string>(), root + "/" + name);
        EXPECT_EQ((*found)["name"].get<std::string>(), name);
        EXPECT_EQ((*found)["root"].get<std::string>(), root);
        EXPECT_EQ((*found)["branch"].get<std::string>(), "main");
        EXPECT_EQ((*found)["dirty"].get<long long>(), 0);
        EXPECT_EQ((*found)["error"].get<std::string>(), "");
        EXPECT_EQ((*found)["last_commit"]["ct"].get<long long>(), 1700000000 + (&row - rows) + 1);
        EXPECT_EQ((*found)["last_commit"]["subject"].get<std::string>(), subject);

        // The same texts through the detail action, opened with path_param.
        req.query = "action=repo&path=" + (*found)["path_param"].get<std::string>();
        CgiResult d = run_cgi_ok(req);
        Json dj = well_formed(d);
        EXPECT_EQ(dj["repo"]["path"].get<std::string>(), root + "/" + name);
        EXPECT_EQ(dj["repo"]["name"].get<std::string>(), name);
        EXPECT_EQ(dj["repo"]["last_commit"]["subject"].get<std::string>(), subject);
        ASSERT_EQ(dj["commits"].size(), 1u);
        EXPECT_EQ(dj["commits"][0]["subject"].get<std::string>(),
                  row.shown_subject.empty() ? row.subject : row.shown_subject);
    }
}

// File names in the detail as they are: git quotes bytes above 0x7F unless
// told not to. A name that is not UTF-8 reads U+FFFD.
TEST_F(BadInput, FileNamesAsTheyAre) {
    TempDir t;
    const std::string root = t.sub("names"), dir = root + "/r";
    sh("git init -q " + shq(dir));
    write_file(dir + "/caf\xc3\xa9.txt", "x");
    write_file(dir + "/\xe6\x97\xa5\xe6\x9c\xac.md", "x");
    write_file(dir + "/lat\xe9.txt", "x");
    CgiRequest req = request("action=repo&path=" + url_encode(dir), "GET");
    req.env = {{"QUARLO_ONLY_ROOTS", "1"}, {"QUARLO_ROOTS", root}};
    Json j = well_formed(run_cgi_ok(req));
    std::set<std::string> paths;
    for (size_t i = 0; i < j["changed"].size(); ++i)
        paths.insert(j["changed"][i]["path"].get<std::string>());
    EXPECT_EQ(paths, (std::set<std::string>{"caf\xc3\xa9.txt", "\xe6\x97\xa5\xe6\x9c\xac.md",
                                            "lat" FFFD ".txt"}));
    EXPECT_EQ(j["changed_count"].get<long long>(), 3);
    EXPECT_EQ(j["repo"]["untracked"].get<long long>(), 3);
}

// A repository path longer than the record's field (1023 bytes) is never
// cut: the listing leaves it out and says so with its root's "truncated";
// the detail and the fetch refuse it, also where the path cut to 1023 bytes
// names another repository.
TEST_F(BadInput, PathLongerThanItsField) {
    TempDir t;
    const std::string root = t.sub("long");
    std::string dir = root;
    for (int i = 0; i < 4; ++i) dir += "/" + std::string(250, static_cast<char>('a' + i));
    ASSERT_GT(dir.size(), 1023u);
    const std::string cut = dir.substr(0, 1023);
    sh("git init -q " + shq(dir) + " && git init -q " + shq(cut));
    commit_at(cut, "the cut path's own", 1700000000);
    CgiRequest req = request("action=repos", "GET");
    req.env = {{"QUARLO_ONLY_ROOTS", "1"}, {"QUARLO_ROOTS", root}, {"QUARLO_ALLOW_FETCH", "1"}};
    Json j = well_formed(run_cgi_ok(req));
    ASSERT_EQ(j["count"].get<long long>(), 1);
    EXPECT_EQ(j["repos"][0]["path"].get<std::string>(), cut);
    EXPECT_TRUE(j["roots"][0]["truncated"].get<bool>());

    req.query = "action=repo&path=" + url_encode(dir);
    EXPECT_EQ(run_cgi_ok(req).out, kRefused);
    req.query = "action=fetch&path=" + url_encode(dir);
    req.method = "POST";
    EXPECT_EQ(run_cgi_ok(req).out, kRefused);
}

} // namespace
