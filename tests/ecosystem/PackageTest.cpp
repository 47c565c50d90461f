// The Debian package (make package): built with CPack from the install, it
// holds exactly the installed files below /usr, names its dependencies,
// and its programs work once extracted.
#include "Process.h"
#include "Scratch.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace {

class PackageTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(scratch.ok());
        RunResult built = runProgram(QUELLIX_CPACK,
                                     {"-G", "DEB", "-B", scratch.path() + "/out", "--config",
                                      std::string(QUELLIX_BUILD_DIR) + "/CPackConfig.cmake"},
                                     300s);
        ASSERT_EQ(built.exitStatus, 0) << built.out << built.err;
        for (const auto& entry : std::filesystem::directory_iterator(scratch.path() + "/out")) {
            if (entry.path().extension() == ".deb")
                deb = entry.path().string();
        }
        ASSERT_FALSE(deb.empty()) << built.out;
        root = scratch.path() + "/root";
        RunResult extracted = runProgram(QUELLIX_DPKG_DEB, {"-x", deb, root});
        ASSERT_EQ(extracted.exitStatus, 0) << extracted.err;
    }

    ScratchDir scratch;
    std::string deb;
    std::string root;
};

TEST_F(PackageTest, HoldsTheInstalledFilesBelowUsrAndTheyWork)
{
    std::vector<std::string> expected;
    for (const std::string& file : kInstalledFiles)
        expected.push_back("usr/" + file);
    EXPECT_EQ(listFiles(root), expected);
    EXPECT_EQ(std::filesystem::path(deb).filename().string().rfind("quellix_", 0), 0u) << deb;

    RunResult fields = runProgram(QUELLIX_DPKG_DEB, {"-f", deb, "Package", "Maintainer", "Depends"});
    EXPECT_EQ(fields.exitStatus, 0);
    EXPECT_NE(fields.out.find("Package: quellix\n"), std::string::npos) << fields.out;
    EXPECT_NE(fields.out.find("Maintainer: quellix developers"), std::string::npos) << fields.out;
    EXPECT_NE(fields.out.find("Depends: "), std::string::npos) << fields.out;
    EXPECT_NE(fields.out.find("libc6"), std::string::npos) << fields.out;

    // Building takes a while, so the same package is run here too.
    Daemon manager;
    ASSERT_TRUE(manager.start(root + "/usr/sbin/service-manager", {})) << manager.error();
    Daemon host;
    ASSERT_TRUE(host.start(root + "/usr/bin/service-host", {}, 30s)) << host.error();
    RunResult result = runProgram(root + "/usr/bin/quellix", {"check", "demo.greeter"});
    EXPECT_EQ(result.out, "Service demo.greeter: found\n");
    EXPECT_EQ(result.exitStatus, 0);
}

} // namespace
