// cmake --install (and so `make install`): the programs, man pages,
// completion and documents, in their places below the prefix or DESTDIR,
// nothing else, and the installed programs work.
#include "Process.h"
#include "Scratch.h"

#include <gtest/gtest.h>

namespace {

RunResult install(const std::string& prefix, const std::vector<std::string>& environment = {})
{
    return runProgram(QUELLIX_CMAKE, {"--install", QUELLIX_BUILD_DIR, "--prefix", prefix}, 120s, environment);
}

TEST(InstallTest, InstallsExactlyItsFilesBelowThePrefix)
{
    ScratchDir root;
    ASSERT_TRUE(root.ok());
    RunResult result = install(root.path());
    ASSERT_EQ(result.exitStatus, 0) << result.out << result.err;
    EXPECT_EQ(listFiles(root.path()), kInstalledFiles);
    for (const char* program : {"bin/quellix", "bin/service-host", "sbin/service-manager"})
        EXPECT_TRUE(isExecutable(root.path() + "/" + program)) << program;
    for (const char* file : {"share/man/man1/quellix.1.gz", "share/bash-completion/completions/quellix",
                             "share/doc/quellix/README.md"})
        EXPECT_FALSE(isExecutable(root.path() + "/" + file)) << file;
    EXPECT_EQ(readFile(root.path() + "/share/bash-completion/completions/quellix"),
              readFile(sourcePath("completion/quellix")));
    EXPECT_EQ(runProgram("/bin/gzip", {"-dc", root.path() + "/share/man/man8/service-manager.8.gz"}).out,
              readFile(sourcePath("man/man8/service-manager.8")));
    // The unit and the .pc file name the prefix of this install.
    EXPECT_NE(readFile(root.path() + "/lib/systemd/system/quellix-service-manager.service")
                  .find("\nExecStart=" + root.path() + "/sbin/service-manager\n"),
              std::string::npos);
    EXPECT_EQ(readFile(root.path() + "/" QUELLIX_LIBDIR "/pkgconfig/quellix-platform.pc").rfind("prefix=" + root.path() + "\n", 0), 0u);
}

TEST(InstallTest, StagesBelowDestdir)
{
    ScratchDir stage;
    ASSERT_TRUE(stage.ok());
    RunResult result = install("/usr", {"DESTDIR=" + stage.path()});
    ASSERT_EQ(result.exitStatus, 0) << result.out << result.err;
    std::vector<std::string> expected;
    for (const std::string& file : kInstalledFiles)
        expected.push_back("usr/" + file);
    EXPECT_EQ(listFiles(stage.path()), expected);
    EXPECT_NE(readFile(stage.path() + "/usr/lib/systemd/system/quellix-service-manager.service")
                  .find("\nExecStart=/usr/sbin/service-manager\n"),
              std::string::npos);
}

TEST(InstallTest, InstalledProgramsServeAndCall)
{
    ScratchDir root;
    ASSERT_TRUE(root.ok());
    ASSERT_EQ(install(root.path()).exitStatus, 0);
    Daemon manager;
    ASSERT_TRUE(manager.start(root.path() + "/sbin/service-manager", {})) << manager.error();
    Daemon host;
    ASSERT_TRUE(host.start(root.path() + "/bin/service-host", {}, 30s)) << host.error();
    RunResult result = runProgram(root.path() + "/bin/quellix", {"call", "demo.adder", "1", "i32", "2", "i32", "40"});
    EXPECT_EQ(result.out, "Result: Parcel(4 bytes: 0000002a '*...')\n");
    EXPECT_EQ(result.exitStatus, 0);
}

} // namespace
