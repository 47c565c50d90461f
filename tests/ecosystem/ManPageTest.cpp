// The man pages: they format without a single warning, and quellix(1)
// covers every command, argument kind, intent key and exit status.
#include "Process.h"
#include "Scratch.h"

#include <gtest/gtest.h>

namespace {

TEST(ManPageTest, FormatsWithoutWarnings)
{
    for (const char* page : {"man/man1/quellix.1", "man/man8/service-manager.8", "man/man1/service-host.1"}) {
        SCOPED_TRACE(page);
        RunResult result = runProgram(QUELLIX_GROFF, {"-man", "-ww", "-z", sourcePath(page)});
        EXPECT_EQ(result.exitStatus, 0);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "");
    }
}

TEST(ManPageTest, QuellixPageNamesEverythingTheToolTakes)
{
    const std::string page = readFile(sourcePath("man/man1/quellix.1"));
    ASSERT_FALSE(page.empty());
    // As written in the roff source: "\-" is a minus sign there.
    for (const char* text : {".B list", ".BI \"check \" SERVICE", ".BI \"call \" \"SERVICE CODE\"",
                             ".BI \"i32 \" INT", ".BI \"s16 \" STR", ".B null", ".BI \"intent \" KEY",
                             ".BI action= TEXT", ".BI data= TEXT", ".BI type= TEXT",
                             ".BI launchFlags= INT", ".BI component= TEXT", ".BI categories= LIST",
                             ".BR \\-h \", \" \\-?", ".SH \"EXIT STATUS\"\n.TP\n.B 0\n", "\n.TP\n.B 10\n",
                             "\n.TP\n.B 20\n", ".BR quellix.service\\-manager", ".BR @quellix.service\\-manager",
                             ".B unshare \\-n\n", ".B unshare \\-rn\n"}) {
        EXPECT_NE(page.find(text), std::string::npos) << text;
    }
}

} // namespace
