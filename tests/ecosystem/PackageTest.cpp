// The Debian packages (make package): built with CPack from the install's
// two components, quellix holds the runtime files and quellix-dev the
// development files, each below /usr; each names what it depends on, the
// runtime enables its socket the way debhelper does, lintian finds no
// fault, and the programs work once extracted.
#include "Process.h"
#include "Scratch.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <regex>
#include <regex>

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
                debs.push_back(entry.path().filename().string());
        }
        std::sort(debs.begin(), debs.end());
    }

    // The package file's path, extracted below `root`.
    std::string extract(const std::string& deb, const std::string& root)
    {
        std::string path = scratch.path() + "/out/" + deb;
        RunResult extracted = runProgram(QUELLIX_DPKG_DEB, {"-x", path, root});
        EXPECT_EQ(extracted.exitStatus, 0) << extracted.err;
        return path;
    }

    ScratchDir scratch;
    std::vector<std::string> debs;
};

std::vector<std::string> belowUsr(const std::vector<std::string>& files)
{
    std::vector<std::string> paths;
    for (const std::string& file : files)
        paths.push_back("usr/" + file);
    return paths;
}

TEST_F(PackageTest, MakesTheRuntimeAndTheDevelopmentPackage)
{
    // Named as Debian names them: PACKAGE_VERSION_ARCH.deb; the shared
    // library's package first, then quellix-dev and quellix.
    ASSERT_EQ(debs.size(), 3u);
    EXPECT_EQ(debs[0].rfind("libquellix-platform0_" QUELLIX_VERSION "_", 0), 0u) << debs[0];
    const std::string library = debs[0];
    debs.erase(debs.begin());
    EXPECT_EQ(debs[0].rfind("quellix-dev_" QUELLIX_VERSION "_", 0), 0u) << debs[0];
    EXPECT_EQ(debs[1].rfind("quellix_" QUELLIX_VERSION "_", 0), 0u) << debs[1];
    const std::string libraryRoot = scratch.path() + "/library";
    extract(library, libraryRoot);
    EXPECT_EQ(listFiles(libraryRoot), belowUsr(kLibraryFiles));

    std::string root = scratch.path() + "/runtime";
    std::string deb = extract(debs[1], root);
    EXPECT_EQ(listFiles(root), belowUsr(kRuntimeFiles));
    RunResult fields = runProgram(QUELLIX_DPKG_DEB, {"-f", deb, "Package", "Maintainer", "Depends"});
    EXPECT_EQ(fields.exitStatus, 0);
    EXPECT_NE(fields.out.find("Package: quellix\n"), std::string::npos) << fields.out;
    EXPECT_NE(fields.out.find("Maintainer: quellix developers"), std::string::npos) << fields.out;
    EXPECT_NE(fields.out.find("Depends: "), std::string::npos) << fields.out;
    EXPECT_NE(fields.out.find("libc6"), std::string::npos) << fields.out;
    EXPECT_NE(fields.out.find("init-system-helpers"), std::string::npos) << fields.out;
    // The socket is enabled on installation and stopped on removal.
    RunResult scripts = runProgram(QUELLIX_DPKG_DEB, {"-e", deb, scratch.path() + "/control"});
    EXPECT_EQ(scripts.exitStatus, 0) << scripts.err;
    EXPECT_NE(readFile(scratch.path() + "/control/postinst").find("enable \"$unit\""), std::string::npos);
    EXPECT_NE(readFile(scratch.path() + "/control/prerm").find("stop quellix-service-manager.service"),
              std::string::npos);

    std::string devRoot = scratch.path() + "/development";
    std::string devDeb = extract(debs[0], devRoot);
    EXPECT_EQ(listFiles(devRoot), belowUsr(kDevelopmentFiles));
    // The development files go with the shared library they link to.
    RunResult devFields = runProgram(QUELLIX_DPKG_DEB, {"-f", devDeb, "Package", "Section", "Depends", "Recommends"});
    EXPECT_EQ(devFields.exitStatus, 0);
    EXPECT_EQ(devFields.out, "Package: quellix-dev\nSection: libdevel\nDepends: libquellix-platform0 (= " QUELLIX_VERSION
                             ")\nRecommends: quellix\n")
        << devFields.out;

    // Building takes a while, so the same package is run here too.
    Daemon manager;
    ASSERT_TRUE(manager.start(root + "/usr/sbin/service-manager", {})) << manager.error();
    Daemon host;
    ASSERT_TRUE(host.start(root + "/usr/bin/service-host", {}, 30s)) << host.error();
    RunResult result = runProgram(root + "/usr/bin/quellix", {"check", "demo.greeter"});
    EXPECT_EQ(result.out, "Service demo.greeter: found\n");
    EXPECT_EQ(result.exitStatus, 0);

    // Lintian finds nothing worse than information in either package.
    RunResult lintian = runProgram("/usr/bin/lintian", {"--tag-display-limit", "0", scratch.path() + "/out/" + library,
                                                        scratch.path() + "/out/" + debs[0],
                                                        scratch.path() + "/out/" + debs[1]}, 120s);
    EXPECT_EQ(std::regex_replace(lintian.out, std::regex("(^|\n)running with root privileges[^\n]*"), ""), "")
        << lintian.err;
}

} // namespace
