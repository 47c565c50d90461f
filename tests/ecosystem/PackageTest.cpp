// The Debian packages as `make package` leaves them in the build directory
// (debian/, built with dpkg-buildpackage; `make test` builds them first
// when their sources are newer): the three packages and their debug
// symbols, each of exactly its files, the units in it verified as they
// are, the maintainer scripts that debhelper writes, lintian's verdict, and
// the programs working once extracted.
#include "Patterns.h"
#include "Process.h"
#include "Scratch.h"
#include "SystemdUnits.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sstream>

namespace {

const std::string kPackages = QUELLIX_PACKAGE_DIR "/";
const std::string kSuffix = "_" QUELLIX_VERSION "_" QUELLIX_DEB_ARCH ".deb";

// The package file `name`_VERSION_ARCH.deb, extracted below `root`.
std::string extract(const std::string& name, const std::string& root)
{
    std::string deb = kPackages + name + kSuffix;
    RunResult extracted = runProgram(QUELLIX_DPKG_DEB, {"-x", deb, root});
    EXPECT_EQ(extracted.exitStatus, 0) << extracted.err << "(make package builds " << deb << ")";
    return deb;
}

// What a package holds: the install's files below /usr (the units below
// /lib, where debhelper wants them on bookworm), with its copyright and
// changelog, and `extra`.
std::vector<std::string> packaged(const std::string& name, const std::vector<std::string>& installed,
                                  std::vector<std::string> extra = {})
{
    for (const std::string& file : installed) {
        std::string path = file.rfind("lib/systemd/", 0) == 0 ? file : "usr/" + file;
        // The package's build is of CMake's build type None.
        extra.push_back(replaceMatches(path, "Targets-[a-z]+\\.cmake$", "Targets-none.cmake"));
    }
    extra.push_back("usr/share/doc/" + name + "/changelog.gz");
    extra.push_back("usr/share/doc/" + name + "/copyright");
    std::sort(extra.begin(), extra.end());
    return extra;
}

TEST(PackageTest, MakesThreePackagesAndTheirDebugSymbols)
{
    std::vector<std::string> debs;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(kPackages, error)) {
        if (entry.path().extension() == ".deb")
            debs.push_back(entry.path().filename().string());
    }
    ASSERT_FALSE(error) << kPackages << ": " << error.message() << " (make package builds the packages)";
    std::sort(debs.begin(), debs.end());
    const std::vector<std::string> expected = {"libquellix-platform0-dbgsym" + kSuffix, "libquellix-platform0" + kSuffix,
                                               "quellix-dbgsym" + kSuffix, "quellix-dev" + kSuffix,
                                               "quellix" + kSuffix};
    EXPECT_EQ(debs, expected);
}

TEST(PackageTest, EachHoldsExactlyItsFiles)
{
    struct Case {
        const char* name;
        std::vector<std::string> files;
    };
    const Case cases[] = {
        {"quellix", packaged("quellix", kRuntimeFiles, {"usr/share/lintian/overrides/quellix"})},
        {"libquellix-platform0", packaged("libquellix-platform0", kLibraryFiles)},
        {"quellix-dev", packaged("quellix-dev", kDevelopmentFiles)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir root;
        ASSERT_TRUE(root.ok());
        extract(c.name, root.path());
        EXPECT_EQ(listFiles(root.path()), c.files);
    }
}

TEST(PackageTest, NamesWhatEachDependsOn)
{
    struct Case {
        const char* name;
        std::vector<std::string> fields;
        std::vector<std::string> expected;  // substrings of their values
    };
    const Case cases[] = {
        {"quellix", {"Section", "Depends"}, {"Section: utils\n", "libc6", "libsystemd0", "procps"}},
        {"libquellix-platform0", {"Section", "Multi-Arch"}, {"Section: libs\nMulti-Arch: same\n"}},
        {"quellix-dev",
         {"Section", "Depends", "Recommends"},
         {"Section: libdevel\nDepends: libquellix-platform0 (= " QUELLIX_VERSION ")\nRecommends: quellix\n"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = {"-f", kPackages + c.name + kSuffix};
        args.insert(args.end(), c.fields.begin(), c.fields.end());
        RunResult fields = runProgram(QUELLIX_DPKG_DEB, args);
        EXPECT_EQ(fields.exitStatus, 0) << fields.err;
        for (const std::string& part : c.expected)
            EXPECT_NE(fields.out.find(part), std::string::npos) << part << " in\n" << fields.out;
    }
    // A program linked with the library depends on this version or later.
    ScratchDir control;
    ASSERT_TRUE(control.ok());
    ASSERT_EQ(runProgram(QUELLIX_DPKG_DEB, {"-e", kPackages + "libquellix-platform0" + kSuffix, control.path()}).exitStatus,
              0);
    EXPECT_EQ(readFile(control.path() + "/shlibs"),
              "libquellix-platform 0 libquellix-platform0 (>= " QUELLIX_VERSION ")\n");
}

TEST(PackageTest, ItsUnitsPassSystemdsChecksAsTheyAre)
{
    ScratchDir root;
    ASSERT_TRUE(root.ok());
    extract("quellix", root.path());
    EXPECT_NE(readFile(root.path() + "/lib/systemd/system/quellix-service-manager.service")
                  .find("\nExecStart=/usr/sbin/service-manager\n"),
              std::string::npos);
    RunResult verify = verifyUnits(root.path(), "lib/systemd/system");
    EXPECT_EQ(verify.err, "");
    EXPECT_EQ(verify.exitStatus, 0);
}

// debhelper's scripts: the socket is enabled and started on installation,
// the service restarted on upgrade when it runs, and on removal the socket
// is stopped (which stops the service); nothing stops either on upgrade.
TEST(PackageTest, ItsScriptsAreDebhelpers)
{
    ScratchDir control;
    ASSERT_TRUE(control.ok());
    ASSERT_EQ(runProgram(QUELLIX_DPKG_DEB, {"-e", kPackages + "quellix" + kSuffix, control.path()}).exitStatus, 0);
    std::vector<std::string> scripts;
    for (const char* name : {"preinst", "postinst", "prerm", "postrm"}) {
        if (std::filesystem::exists(control.path() + "/" + name))
            scripts.push_back(name);
    }
    EXPECT_EQ(scripts, (std::vector<std::string>{"postinst", "prerm", "postrm"}));
    std::string postinst = readFile(control.path() + "/postinst");
    std::string prerm = readFile(control.path() + "/prerm");
    for (const char* line : {"deb-systemd-helper enable 'quellix-service-manager.socket'",
                             "deb-systemd-invoke start 'quellix-service-manager.socket'",
                             "deb-systemd-invoke try-restart 'quellix-service-manager.service'"})
        EXPECT_NE(postinst.find(line), std::string::npos) << line;
    EXPECT_EQ(postinst.find("invoke start 'quellix-service-manager.service'"), std::string::npos);
    EXPECT_NE(prerm.find("[ \"$1\" = remove ] && [ -d /run/systemd/system ] ; then\n"
                         "\tdeb-systemd-invoke stop 'quellix-service-manager.socket'"),
              std::string::npos)
        << prerm;
    EXPECT_EQ(prerm.find("quellix-service-manager.service"), std::string::npos);
    for (const std::string& name : scripts)
        EXPECT_EQ(readFile(control.path() + "/" + name).find("# Automatically added by dh_installsystemd"),
                  std::string("#!/bin/sh\nset -e\n").size())
            << name << " is debhelper's alone";
}

// make package fails on a lintian warning or error; its log shows the one
// override, for the static quellix, and nothing else but information.
TEST(PackageTest, LintianFindsNothingAboveInformation)
{
    std::istringstream log(readFile(kPackages + "lintian.log"));
    std::vector<std::string> overridden;
    for (std::string line; std::getline(log, line);) {
        EXPECT_TRUE(matchesWhole(line, "[INO]:( .*)?")) << line;
        if (line.rfind("O: ", 0) == 0)
            overridden.push_back(line);
    }
    EXPECT_EQ(overridden, (std::vector<std::string>{"O: quellix: statically-linked-binary [usr/bin/quellix]"}));
}

// The .pc file gives plain paths, and every link of the installed guide
// leads to a file of the package.
TEST(PackageTest, TheDevelopmentFilesPointAtThemselves)
{
    ScratchDir root;
    ASSERT_TRUE(root.ok());
    extract("quellix-dev", root.path());
    const std::string paths = "prefix=/usr\nincludedir=${prefix}/include\nlibdir=${prefix}/" QUELLIX_LIBDIR "\n";
    std::string pc = readFile(root.path() + "/usr/" QUELLIX_LIBDIR "/pkgconfig/quellix-platform.pc");
    EXPECT_EQ(pc.substr(0, paths.size()), paths) << pc;
    const std::string docs = root.path() + "/usr/share/doc/quellix-dev/";
    std::string guide = readFile(docs + "writing-a-service.md");
    ASSERT_NE(guide, "");
    const std::vector<std::string> links = everyMatch(guide, "\\]\\(([^)#:]+)[^)]*\\)");
    for (const std::string& link : links)
        EXPECT_TRUE(std::filesystem::exists(docs + link)) << link;
    EXPECT_FALSE(links.empty());
}

TEST(PackageTest, TheExtractedProgramsServeAndCall)
{
    ScratchDir root;
    ASSERT_TRUE(root.ok());
    extract("quellix", root.path());
    Daemon manager;
    ASSERT_TRUE(manager.start(root.path() + "/usr/sbin/service-manager", {})) << manager.error();
    Daemon host;
    ASSERT_TRUE(host.start(root.path() + "/usr/bin/service-host", {}, 30s)) << host.error();
    RunResult result = runProgram(root.path() + "/usr/bin/quellix", {"check", "demo.greeter"});
    EXPECT_EQ(result.out, "Service demo.greeter: found\n");
    EXPECT_EQ(result.exitStatus, 0);
}

} // namespace
