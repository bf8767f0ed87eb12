// The listing's last commit, read from the object store without git log, in
// every form a repository keeps it: each record gives what `git log -1`
// gives, and git log runs exactly for the forms the reader leaves to it.
#include "harness.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

namespace {

// `s` as a JSON answer carries it: each byte that does not begin a
// well-formed UTF-8 sequence becomes U+FFFD.
std::string as_json_text(const std::string &s) {
    std::string out;
    for (size_t i = 0; i < s.size();) {
        unsigned char c = (unsigned char)s[i];
        size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        bool whole = n > 0 && i + n <= s.size();
        for (size_t k = 1; whole && k < n; k++) whole = ((unsigned char)s[i + k] >> 6) == 2;
        out += whole ? s.substr(i, n) : "\xef\xbf\xbd";
        i += whole ? n : 1;
    }
    return out;
}

// How a repository's last commit is found.
enum Way {
    DIRECT,   // read from the store: git log does not run
    FALLBACK, // left to git log
    NONE,     // no commit: neither
    BROKEN,   // git's own status fails: the record has git's error
};

struct Form {
    std::string name;
    Way way;
};

// Commits a file change with a subject, at a fixed time.
void change(const std::string &repo, const std::string &subject, long long when) {
    write_file(repo + "/f", subject + "\n");
    git(repo, "add f");
    commit_at(repo, subject, when);
}

// The loose file of object `hash` in the objects folder.
std::string loose_path(const std::string &objects, const std::string &hash) {
    return objects + "/" + hash.substr(0, 2) + "/" + hash.substr(2);
}

void copy_file(const std::string &from, const std::string &to) {
    sh("mkdir -p \"$(dirname " + shq(to) + ")\" && cp " + shq(from) + " " + shq(to));
}

class Objects : public ::testing::Test {
  protected:
    static TempDir *base_;
    static std::string root_;
    static std::vector<Form> forms_;

    static std::string make(const std::string &name, Way way) {
        forms_.push_back({name, way});
        std::string dir = root_ + "/" + name;
        sh("mkdir -p " + shq(dir));
        return dir;
    }

    static void SetUpTestSuite() {
        base_ = new TempDir;
        root_ = base_->sub("root");
        const std::string side = base_->sub("side");
        sh("mkdir -p " + shq(side));
        long long t = 1700000000;
        std::string r;

        r = make("loose", DIRECT);
        git(r, "init -q");
        change(r, "first", t++);
        change(r, "second", t++);

        r = make("gc-aggressive", DIRECT);
        git(r, "init -q");
        for (int i = 0; i < 5; i++) change(r, "commit " + std::to_string(i), t++);
        git(r, "gc -q --aggressive");

        // Many commits with long similar subjects, packed deep: the one
        // checked out is an older one, stored as a delta.
        const std::string long_subject(200, 'x');
        for (const char *name : {"ofs-deltas", "ref-deltas"}) {
            r = make(name, DIRECT);
            git(r, "init -q");
            for (int i = 0; i < 40; i++) change(r, long_subject + std::to_string(i), t++);
            git(r, std::string(name) == "ref-deltas"
                       ? "-c repack.useDeltaBaseOffset=false repack -q -adf --depth=50 --window=250"
                       : "repack -q -adf --depth=50 --window=250");
            git(r, "checkout -q --detach HEAD~20");
        }

        r = make("multi-line", DIRECT);
        git(r, "init -q");
        commit_raw(r, "line one\nline two  \n\n\nbody\n", t++);

        r = make("empty-message", DIRECT);
        git(r, "init -q");
        commit_raw(r, "", t++);

        r = make("utf8-header", DIRECT);
        git(r, "init -q");
        git(r, "-c i18n.commitEncoding=UTF-8 commit -q --allow-empty -m caf\xc3\xa9");

        r = make("latin1", FALLBACK);
        git(r, "init -q");
        git(r, "-c i18n.commitEncoding=ISO-8859-1 commit -q --allow-empty -m caf\xe9");

        // A log output encoding in a working copy's own config (the main
        // copy's, or a linked one's): git shows the subject in it.
        r = make("config-worktree-encoding", FALLBACK);
        git(r, "init -q");
        git(r, "config extensions.worktreeConfig true");
        git(r, "config --worktree i18n.logOutputEncoding ISO-8859-1");
        git(r, "commit -q --allow-empty -m caf\xc3\xa9");
        r = make("worktree-encoding-main", DIRECT);
        git(r, "init -q");
        git(r, "config extensions.worktreeConfig true");
        git(r, "commit -q --allow-empty -m caf\xc3\xa9");
        git(r, "worktree add -q -b enc " + shq(root_ + "/worktree-encoding-linked"));
        forms_.push_back({"worktree-encoding-linked", FALLBACK});
        git(root_ + "/worktree-encoding-linked",
            "config --worktree i18n.logOutputEncoding ISO-8859-1");

        // Committer times git shows otherwise than as a plain number: none
        // for a zone sign without digits, its digits as they are for a time
        // past what the record holds (kept as 0, "no time").
        for (const auto &committed : std::vector<std::pair<std::string, std::string>>{
                 {"time-sign-only", "1700000000 +"},
                 {"time-19-digits", "9223372036854775807 +0000"},
                 {"time-past-the-range", "9223372036854775808 +0000"},
                 {"time-20-digits", "12345678901234567890 +0000"}}) {
            r = make(committed.first, FALLBACK);
            git(r, "init -q");
            std::string tree = trimmed(git_out(r, "write-tree"));
            write_file(side + "/commit", "tree " + tree +
                                             "\nauthor A <a@b> 1 +0000\ncommitter C <c@d> " +
                                             committed.second + "\n\nodd time\n");
            std::string hash = trimmed(
                git_out(r, "hash-object -t commit -w --literally " + shq(side + "/commit")));
            git(r, "update-ref HEAD " + hash);
        }

        r = make("replace-ref", FALLBACK);
        git(r, "init -q");
        change(r, "original", t++);
        change(r, "shown", t++);
        git(r, "replace HEAD HEAD~1");

        r = make("grafts", FALLBACK);
        git(r, "init -q");
        change(r, "one", t++);
        change(r, "two", t++);
        git(r, "config advice.graftFileDeprecated false");
        write_file(r + "/.git/info/grafts", trimmed(git_out(r, "rev-parse HEAD")) + "\n");

        // Objects in the repository cloned from, named by alternates.
        const std::string source = side + "/source";
        sh("mkdir -p " + shq(source));
        git(source, "init -q");
        change(source, "from the source", t++);
        git(source, "gc -q");
        change(source, "loose in the source", t++);
        git(source, "config uploadpack.allowFilter true");
        r = make("alternates", DIRECT);
        git(root_, "clone -q --shared " + shq(source) + " alternates");

        r = make("multi-pack-index", DIRECT);
        git(r, "init -q");
        change(r, "packed first", t++);
        git(r, "repack -q -d");
        change(r, "packed second", t++);
        git(r, "repack -q -d");
        git(r, "multi-pack-index write");

        r = make("commit-graph", DIRECT);
        git(r, "init -q");
        change(r, "graphed", t++);
        git(r, "commit-graph write --reachable");

        r = make("worktree-main", DIRECT);
        git(r, "init -q");
        change(r, "main copy", t++);
        git(r, "worktree add -q -b side " + shq(root_ + "/worktree-linked"));
        forms_.push_back({"worktree-linked", DIRECT});
        change(root_ + "/worktree-linked", "linked copy", t++);

        r = make("separate-git-dir", DIRECT);
        git(r, "init -q --separate-git-dir " + shq(side + "/separate.git"));
        change(r, "separate", t++);

        r = make("partial-clone", DIRECT);
        git(root_, "clone -q --filter=blob:none file://" + source + " partial-clone");

        r = make("sha256", FALLBACK);
        git(r, "init -q --object-format=sha256");
        change(r, "sha256 commit", t++);

        r = make("unborn", NONE);
        git(r, "init -q");

        // Corrupt stores: the reader refuses them and git answers (a
        // truncated commit fails git's own status already).
        r = make("truncated-loose", BROKEN);
        git(r, "init -q");
        change(r, "whole", t++);
        {
            std::string obj =
                loose_path(r + "/.git/objects", trimmed(git_out(r, "rev-parse HEAD")));
            std::string bytes = read_file(obj);
            sh("chmod u+w " + shq(obj));
            write_file(obj, bytes.substr(0, bytes.size() / 2));
        }

        // The index names a wrong offset for the commit; a loose copy of it
        // is kept beside the pack.
        r = make("idx-lies", FALLBACK);
        git(r, "init -q");
        change(r, "before", t++);
        change(r, "lied about", t++);
        {
            std::string head = trimmed(git_out(r, "rev-parse HEAD"));
            std::string obj = loose_path(r + "/.git/objects", head);
            copy_file(obj, side + "/kept");
            git(r, "repack -q -a -d");
            copy_file(side + "/kept", obj);
            std::string idx = trimmed(sh("ls " + shq(r) + "/.git/objects/pack/*.idx"));
            std::istringstream entries(sh("git show-index < " + shq(idx) + " | sort -k2"));
            std::vector<std::string> names;
            std::map<std::string, unsigned long> offsets;
            for (std::string off, name, crc; entries >> off >> name >> crc;) {
                names.push_back(name);
                offsets[name] = std::stoul(off);
            }
            size_t i = 0;
            while (i < names.size() && names[i] != head) i++;
            ASSERT_LT(i, names.size());
            std::string bytes = read_file(idx);
            size_t at = 8 + 1024 + names.size() * 24 + 4 * i;
            unsigned long lie = offsets[head] + 3;
            for (size_t k = 0; k < 4; k++) bytes[at + k] = (char)(lie >> (24 - 8 * k));
            sh("chmod u+w " + shq(idx));
            write_file(idx, bytes);
        }
    }

    static void TearDownTestSuite() {
        delete base_;
        base_ = nullptr;
        forms_.clear();
    }
};

TempDir *Objects::base_ = nullptr;
std::string Objects::root_;
std::vector<Form> Objects::forms_;

TEST_F(Objects, LastCommitIsWhatGitLogGivesInEveryForm) {
    // The forms hold what their names say.
    std::string verify =
        sh("git verify-pack -v " + shq(root_) + "/ofs-deltas/.git/objects/pack/*.idx");
    std::string head = trimmed(git_out(root_ + "/ofs-deltas", "rev-parse HEAD"));
    std::istringstream lines(verify);
    int depth = 0;
    for (std::string line; std::getline(lines, line);)
        if (line.compare(0, head.size(), head) == 0) {
            std::istringstream f(line);
            std::string w[7];
            for (auto &x : w) f >> x;
            depth = w[5].empty() ? 0 : std::stoi(w[5]);
        }
    EXPECT_GT(depth, 0) << "the checked-out commit is a delta";
    EXPECT_TRUE(path_exists(root_ + "/multi-pack-index/.git/objects/pack/multi-pack-index"));
    EXPECT_TRUE(path_exists(root_ + "/commit-graph/.git/objects/info/commit-graph"));
    EXPECT_EQ(trimmed(git_out(root_ + "/partial-clone", "config remote.origin.partialclonefilter")),
              "blob:none");

    TempDir t;
    const std::string bin = t.sub("bin"), log = logging_git(bin);
    CgiRequest req;
    req.query = "action=repos";
    req.env = {{"QUARLO_ONLY_ROOTS", "1"}, {"QUARLO_ROOTS", root_}};
    req.path_prefix = bin;
    CgiResult res = run_cgi_ok(req);
    std::string err;
    Json doc = parse_json(res.body, &err);
    ASSERT_EQ(err, "") << res.body;
    std::map<std::string, const Json *> records;
    for (size_t i = 0; i < doc["repos"].size(); i++)
        records[doc["repos"][i]["name"].get<std::string>()] = &doc["repos"][i];
    const std::string runs = read_file(log);

    for (const Form &f : forms_) {
        SCOPED_TRACE(f.name);
        const std::string dir = root_ + "/" + f.name;
        ASSERT_TRUE(records.count(f.name));
        const Json &rec = *records[f.name];
        bool logged = runs.find("-C " + dir + " log -1") != std::string::npos;
        EXPECT_EQ(logged, f.way == FALLBACK);
        ProcResult want =
            run_process({"git", "-C", dir, "log", "-1", "--format=%H%x09%ct%x09%s"}, "", git_env());
        if (f.way == NONE || f.way == BROKEN) {
            EXPECT_NE(want.exit_status, 0); // git log fails there too
            EXPECT_EQ(rec["error"].get<std::string>() != "", f.way == BROKEN);
            EXPECT_TRUE(rec["last_commit"].is_null() ||
                        rec["last_commit"]["hash"].get<std::string>().empty())
                << res.body;
            continue;
        }
        ASSERT_EQ(want.exit_status, 0) << want.err;
        std::string line = trimmed(want.out);
        size_t t1 = line.find('\t'), t2 = line.find('\t', t1 + 1);
        const Json &c = rec["last_commit"];
        EXPECT_EQ(c["hash"].get<std::string>(), line.substr(0, t1));
        EXPECT_EQ(c["hash"].get<std::string>().size(), f.name == "sha256" ? 64u : 40u);
        // No time, or one that does not fit, is 0.
        const std::string ct = line.substr(t1 + 1, t2 - t1 - 1);
        EXPECT_EQ(c["ct"].get<long long>() ? std::to_string(c["ct"].get<long long>()) : "",
                  ct.size() <= 18 || ct == "9223372036854775807" ? ct : "");
        EXPECT_EQ(c["subject"].get<std::string>(), as_json_text(line.substr(t2 + 1)));
    }
}

} // namespace
