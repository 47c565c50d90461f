// The development files are enough to write a service: the example's
// sources, as installed, build out of the tree against an install in a
// scratch prefix, once with find_package and once with pkg-config, and the
// service each build makes serves next to the installed service-manager.
#include "Process.h"
#include "Scratch.h"

#include <gtest/gtest.h>

namespace {

class LibraryTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(scratch.ok());
        prefix = scratch.path() + "/prefix";
        RunResult installed = runProgram(QUELLIX_CMAKE, {"--install", QUELLIX_BUILD_DIR, "--prefix", prefix}, 120s);
        ASSERT_EQ(installed.exitStatus, 0) << installed.out << installed.err;
        examples = prefix + "/share/doc/quellix-dev/examples";
    }

    // Runs the built example next to a service manager; checks its listing
    // and that the caller's counter adds up.
    void expectServes(const std::string& counter)
    {
        Daemon manager;
        ASSERT_TRUE(manager.start(prefix + "/sbin/service-manager", {})) << manager.error();
        // A program linked with the shared library finds it below the
        // prefix, as the README says.
        Daemon service;
        ASSERT_TRUE(service.start("/usr/bin/env", {"LD_LIBRARY_PATH=" + prefix + "/" QUELLIX_LIBDIR, counter}))
            << service.error();
        RunResult list = runProgram(prefix + "/bin/quellix", {"list"});
        EXPECT_EQ(list.out, "Found 1 services:\n0\texample.counter: [example.ICounter]\n");
        EXPECT_EQ(list.exitStatus, 0);
        RunResult first = runProgram(prefix + "/bin/quellix", {"call", "example.counter", "1", "i32", "5"});
        EXPECT_EQ(first.out, "Result: Parcel(4 bytes: 00000005 '....')\n");
        RunResult second = runProgram(prefix + "/bin/quellix", {"call", "example.counter", "1", "i32", "37"});
        EXPECT_EQ(second.out, "Result: Parcel(4 bytes: 0000002a '*...')\n");
        EXPECT_EQ(second.exitStatus, 0);
        EXPECT_EQ(service.stop(), 0) << service.error();
    }

    ScratchDir scratch;
    std::string prefix;
    std::string examples;
};

TEST_F(LibraryTest, ExampleBuildsWithFindPackageAndServes)
{
    std::string build = scratch.path() + "/build";
    RunResult configured = runProgram(QUELLIX_CMAKE,
                                      {"-S", examples, "-B", build, "-G", QUELLIX_CMAKE_GENERATOR,
                                       "-DCMAKE_MAKE_PROGRAM=" QUELLIX_MAKE_PROGRAM,
                                       "-DCMAKE_CXX_COMPILER=" QUELLIX_CXX, "-DCMAKE_PREFIX_PATH=" + prefix,
                                       "-DCMAKE_CXX_FLAGS=" QUELLIX_EXAMPLE_FLAGS,
                                       "-DCMAKE_EXE_LINKER_FLAGS=" QUELLIX_EXAMPLE_FLAGS},
                                      120s);
    ASSERT_EQ(configured.exitStatus, 0) << configured.out << configured.err;
    RunResult built = runProgram(QUELLIX_CMAKE, {"--build", build}, 120s);
    ASSERT_EQ(built.exitStatus, 0) << built.out << built.err;
    expectServes(build + "/counter");
}

TEST_F(LibraryTest, ExampleBuildsWithPkgConfigAndServes)
{
    // As the example's README says (the flags bring C++20, and link the
    // shared library), with the compiler and flags of this build; and the
    // archive links into a shared object.
    const std::vector<std::string> environment = {"CXX=" QUELLIX_CXX, "FLAGS=" QUELLIX_EXAMPLE_FLAGS,
                                                  "PKG_CONFIG=" QUELLIX_PKG_CONFIG,
                                                  "PKG_CONFIG_PATH=" + prefix + "/" QUELLIX_LIBDIR "/pkgconfig"};
    std::string counter = scratch.path() + "/counter";
    RunResult built = runProgram(
        "/bin/sh",
        {"-c", "exec \"$CXX\" $FLAGS \"$1\" $(\"$PKG_CONFIG\" --cflags --libs quellix-platform) -o \"$2\"", "sh",
         examples + "/counter.cpp", counter},
        120s, environment);
    ASSERT_EQ(built.exitStatus, 0) << built.out << built.err;
    RunResult shared = runProgram(
        "/bin/sh",
        {"-c", "exec \"$CXX\" -shared -fPIC $FLAGS \"$1\" $(\"$PKG_CONFIG\" --cflags quellix-platform) \"$2\" -o \"$3\"",
         "sh", examples + "/counter.cpp", prefix + "/" QUELLIX_LIBDIR "/libquellix-platform.a",
         scratch.path() + "/libcounter.so"},
        120s, environment);
    EXPECT_EQ(shared.exitStatus, 0) << shared.out << shared.err;
    expectServes(counter);
}

} // namespace
