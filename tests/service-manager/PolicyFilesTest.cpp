// The policy files in-process: the lines they hold, the users they name,
// masking across directories, and each bad line named by file and line.
#include "PolicyFiles.h"
#include "Scratch.h"

#include <fstream>
#include <sys/stat.h>
#include <unistd.h>
#include <gtest/gtest.h>

namespace {

struct File {
    std::string path; // below the scratch directory: "0/..." or "1/..."
    std::string text; // "->TARGET": a symbolic link to TARGET
};

struct Case {
    const char* what;
    std::vector<File> files;
    std::vector<std::pair<uid_t, const char*>> granted, refused;
    std::vector<std::string> errors, warnings; // below the scratch directory too
};

const std::string kExpected = ": expected 'allow USER name NAME' or 'allow USER prefix PREFIX'";

TEST(PolicyFilesTest, ReadsGrantsAndNamesWhatIsWrong)
{
    const Case cases[] = {
        {"an exact name and a prefix", {{"0/a.conf", "allow 1000 name a.b\nallow 1000 prefix example."}},
         {{1000, "a.b"}, {1000, "example.counter"}, {1000, "example."}},
         {{1000, "a.bc"}, {1000, "a"}, {1001, "a.b"}, {1000, "example"}, {1000, "examplex"}}, {}, {}},
        {"user names", {{"0/a.conf", "allow nobody name n\nallow root prefix r"}}, {{65534, "n"}, {0, "r.s"}},
         {{65534, "r"}}, {}, {}},
        {"comments, blank lines and tabs", {{"0/a.conf", "# allow 1 name x\n\n \t\n  # y\n\tallow\t1  name  c \n"}},
         {{1, "c"}}, {{1, "x"}, {1, "y"}}, {}, {}},
        {"an earlier directory masks a later one",
         {{"0/a.conf", "allow 1 name m0"}, {"1/a.conf", "allow 1 name m1"}, {"1/b.conf", "allow 1 name b1"},
          {"0/c.conf", "->/dev/null"}, {"1/c.conf", "allow 1 name c1"}},
         {{1, "m0"}, {1, "b1"}}, {{1, "m1"}, {1, "c1"}}, {}, {}},
        {"only *.conf files", {{"0/a.txt", "allow 1 name t"}, {"0/.a.conf", "allow 1 name h"},
                               {"0/a.conf.old", "allow 1 name o"}}, {}, {{1, "t"}, {1, "h"}, {1, "o"}}, {}, {}},
        {"bad lines, the first of each file",
         {{"0/a.conf", "allow 1 name x\nallow 1 name\nbad"}, {"0/b.conf", "allow 1 nam x"},
          {"0/c.conf", "grant 1 name x"}, {"0/d.conf", "allow 1 name x y"}, {"0/e.conf", "allow 1 name x\r\n"},
          {"0/f.conf", "allow 4294967295 name x"}, {"0/g.conf", "allow 1 prefix " + std::string(1025, 'p')}},
         {{1, "x"}}, {},
         {"0/a.conf:2" + kExpected, "0/b.conf:1" + kExpected, "0/c.conf:1" + kExpected, "0/d.conf:1" + kExpected,
          "0/e.conf:1: a control character (byte 0x0d) in the line", "0/f.conf:1: bad uid '4294967295'",
          "0/g.conf:1: prefix longer than 1024 UTF-16 units"},
         {}},
        {"an unknown user", {{"0/a.conf", "allow no-such-user.q name x\nallow 7 name y\n"}}, {{7, "y"}}, {},
         {}, {"0/a.conf:1: no user 'no-such-user.q'; the line is skipped"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir scratch;
        const std::string root = scratch.path() + "/";
        ASSERT_EQ(mkdir((root + "0").c_str(), 0755), 0);
        ASSERT_EQ(mkdir((root + "1").c_str(), 0755), 0);
        for (const File& file : c.files) {
            if (file.text.starts_with("->"))
                ASSERT_EQ(symlink(file.text.substr(2).c_str(), (root + file.path).c_str()), 0);
            else
                std::ofstream(root + file.path) << file.text;
        }
        PolicyRead read;
        EXPECT_EQ(readPolicyFiles({root + "0", root + "1", root + "missing"}, &read), c.errors.empty());
        for (auto [uid, name] : c.granted)
            EXPECT_TRUE(read.grants.allows(uid, String16(name))) << uid << " " << name;
        for (auto [uid, name] : c.refused)
            EXPECT_FALSE(read.grants.allows(uid, String16(name))) << uid << " " << name;
        auto below = [&root](std::vector<std::string> lines) {
            for (std::string& line : lines)
                line.insert(0, root);
            return lines;
        };
        EXPECT_EQ(read.errors, below(c.errors));
        EXPECT_EQ(read.warnings, below(c.warnings));
    }
}

} // namespace
