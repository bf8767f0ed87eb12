// The Windows command line built for a child: quoting of one argument and the
// joined line, checked against input/output pairs and by a round trip through
// a parser of the Windows argument rules.
#include "repo/repo.h"
#include "git/runner/runner.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// Splits a command line by the Windows argument rules: arguments are
// separated by spaces or tabs outside double quotes; a double quote starts or
// ends quoting; backslashes are literal unless they precede a double quote,
// where 2n backslashes give n and the quote starts/ends quoting, and 2n+1
// backslashes give n and a literal quote. `open` tells whether the line ended
// inside quotes.
std::vector<std::string> parse_windows(const std::string &line, bool *open = nullptr) {
    std::vector<std::string> args;
    bool quoted = false;
    size_t i = 0, n = line.size();
    for (;;) {
        while (i < n && (line[i] == ' ' || line[i] == '\t')) i++;
        if (i >= n) break;
        std::string arg;
        quoted = false;
        while (i < n) {
            char c = line[i];
            if (c == '\\') {
                size_t k = 0;
                while (i < n && line[i] == '\\') k++, i++;
                if (i < n && line[i] == '"') {
                    arg.append(k / 2, '\\');
                    if (k % 2) {
                        arg += '"';
                        i++;
                    }
                } else {
                    arg.append(k, '\\');
                }
            } else if (c == '"') {
                quoted = !quoted;
                i++;
            } else if (!quoted && (c == ' ' || c == '\t')) {
                break;
            } else {
                arg += c;
                i++;
            }
        }
        args.push_back(arg);
    }
    if (open) *open = quoted;
    return args;
}

std::string quote_of(const std::string &arg) {
    char out[QUOTED_ARG_SIZE + 16];
    memset(out, 'Z', sizeof out);
    int n = quote_arg(arg.c_str(), out);
    EXPECT_EQ((size_t)n, strlen(out));
    EXPECT_LE(n, QUOTED_ARG_SIZE - 2);
    for (size_t i = QUOTED_ARG_SIZE; i < sizeof out; i++)
        if (out[i] != 'Z') ADD_FAILURE() << "wrote past the quoted form at " << i;
    return out;
}

struct CmdLine {
    int count;
    std::string line;
};

CmdLine cmdline(const std::vector<std::string> &args) {
    std::vector<const char *> argv;
    for (const std::string &a : args) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    std::vector<char> out(CMDLINE_SIZE + 16, 'Z');
    int count = build_cmdline(argv.data(), out.data());
    for (size_t i = CMDLINE_SIZE; i < out.size(); i++)
        if (out[i] != 'Z') ADD_FAILURE() << "wrote past the command line at " << i;
    return {count, out.data()};
}

struct QuoteCase {
    std::string in;
    std::string out;
};

const QuoteCase QUOTE_CASES[] = {
    {"", R"("")"},
    {"abc", R"("abc")"},
    {"a b", R"("a b")"},
    {"a\tb", "\"a\tb\""},
    {R"(a"b)", R"("a\"b")"},
    {R"(")", R"("\"")"},
    {R"(C:\work\app)", R"("C:\work\app")"},
    {R"(C:\work\)", R"("C:\work\\")"},
    {R"(C:\Program Files\Git\)", R"("C:\Program Files\Git\\")"},
    {R"(\\server\share\x)", R"("\\server\share\x")"},
    {R"(\\server\share\)", R"("\\server\share\\")"},
    {R"(a\"b)", R"("a\\\"b")"},
    {R"(a\\"b)", R"("a\\\\\"b")"},
    {R"(\)", R"("\\")"},
    {R"(\\)", R"("\\\\")"},
    {R"(a\\b)", R"("a\\b")"},
    {R"("quoted path\")", R"("\"quoted path\\\"")"},
    {"--format=%H%x09%ct%x09%s", R"("--format=%H%x09%ct%x09%s")"},
    {"caf\xc3\xa9", "\"caf\xc3\xa9\""},
    // The quoted form holds at most 1198 characters.
    {std::string(1196, 'a'), "\"" + std::string(1196, 'a') + "\""},
    {std::string(1197, 'a'), "\"" + std::string(1196, 'a') + "\""},
    {std::string(2000, 'a'), "\"" + std::string(1196, 'a') + "\""},
    // A cut right after an escaped quote leaves no room for the closing one.
    {std::string(1195, 'a') + "\"zz", "\"" + std::string(1195, 'a') + "\\\""},
    {std::string(1195, 'a') + "\\\\", "\"" + std::string(1195, 'a') + "\\\\"},
    // A cut inside a run of backslashes must not escape the closing quote.
    {std::string(1195, 'a') + "\\b", "\"" + std::string(1195, 'a') + "\""},
    {std::string(1194, 'a') + "\\\\\\b", "\"" + std::string(1194, 'a') + "\\\\\""},
};

TEST(QuoteArg, Table) {
    for (const QuoteCase &c : QUOTE_CASES) {
        SCOPED_TRACE(c.in.size() > 60 ? "..." + c.in.substr(c.in.size() - 20) : c.in);
        EXPECT_EQ(quote_of(c.in), c.out);
    }
}

TEST(BuildCmdline, Table) {
    const std::string a1196(1196, 'a');
    struct {
        std::vector<std::string> args;
        int count;
        std::string line;
    } cases[] = {
        {{}, 0, ""},
        {{"git", "-C", R"(C:\work\app)", "log", "-1"}, 5, R"("git" "-C" "C:\work\app" "log" "-1")"},
        {{"git", "-C", R"(C:\work\)", "", "a\"b"}, 5, R"("git" "-C" "C:\work\\" "" "a\"b")"},
        // 3 * 1198 + 2 spaces + 1 + 496 = 4093: the line plus 3 stays within 4095.
        {{a1196, a1196, a1196, std::string(494, 'b')},
         4,
         "\"" + a1196 + "\" \"" + a1196 + "\" \"" + a1196 + "\" \"" + std::string(494, 'b') + "\""},
        // One byte more and the fourth is left out whole, and every later one.
        {{a1196, a1196, a1196, std::string(495, 'b'), "x"},
         3,
         "\"" + a1196 + "\" \"" + a1196 + "\" \"" + a1196 + "\""},
        {{std::string(5000, 'c'), "d"}, 2, "\"" + std::string(1196, 'c') + "\" \"d\""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args.size());
        CmdLine got = cmdline(c.args);
        EXPECT_EQ(got.count, c.count);
        EXPECT_EQ(got.line, c.line);
        EXPECT_LE(got.line.size(), (size_t)CMDLINE_SIZE - 1);
    }
}

// Random arguments built from the bytes that matter to the quoting rules.
std::string random_arg(unsigned &seed, size_t max_len) {
    static const char ALPHABET[] = "ab \t\\\\\\\"\"/:x\xe9";
    seed = seed * 1103515245u + 12345u;
    size_t len = (seed >> 8) % (max_len + 1);
    std::string arg;
    for (size_t i = 0; i < len; i++) {
        seed = seed * 1103515245u + 12345u;
        arg += ALPHABET[(seed >> 8) % (sizeof ALPHABET - 1)];
    }
    return arg;
}

TEST(QuoteArg, RoundTripThroughTheWindowsRules) {
    unsigned seed = 20240301;
    for (int round = 0; round < 3000; round++) {
        std::vector<std::string> args;
        size_t count = 1 + static_cast<size_t>(round % 6);
        for (size_t i = 0; i < count; i++) args.push_back(random_arg(seed, 16));
        SCOPED_TRACE("round " + std::to_string(round));
        for (const std::string &a : args)
            ASSERT_EQ(parse_windows(quote_of(a)), std::vector<std::string>{a}) << a;
        CmdLine got = cmdline(args);
        ASSERT_EQ(got.count, (int)count);
        ASSERT_EQ(parse_windows(got.line), args) << got.line;
    }
}

TEST(QuoteArg, CutArgumentsStayOneArgument) {
    // Whatever byte the cut falls on, the quoted form of a long argument reads
    // back as one argument that is a beginning of the original. The one form
    // that may end without its closing quote is a full 1198-character one cut
    // right after an escaped quote or a doubled backslash; such a doubled run
    // at its end then reads back with every backslash literal.
    unsigned seed = 7;
    for (int round = 0; round < 3000; round++) {
        std::string arg =
            std::string(static_cast<size_t>(1180 + round % 20), 'p') + random_arg(seed, 40);
        std::string form = quote_of(arg);
        bool open = false;
        std::vector<std::string> back = parse_windows(form, &open);
        SCOPED_TRACE("round " + std::to_string(round) + ": form '..." + form.substr(1170) +
                     "' of '..." + arg.substr(1170) + "'");
        ASSERT_EQ(back.size(), 1u);
        std::string got = back[0];
        if (open) {
            ASSERT_EQ(form.size(), (size_t)QUOTED_ARG_SIZE - 2);
            std::string pair = form.substr(form.size() - 2);
            ASSERT_TRUE(pair == "\\\\" || pair == "\\\"") << pair;
            // Each backslash of the doubled run at the end reads back literally.
            size_t run = 0;
            while (run < got.size() && got[got.size() - 1 - run] == '\\') run++;
            got.resize(got.size() - run / 2);
        }
        ASSERT_EQ(arg.compare(0, got.size(), got), 0)
            << "read back '..." << got.substr(1170) << "'";
    }
}

} // namespace
