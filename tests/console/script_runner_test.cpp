#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../fifo_deadline.h"
#include "console/script_runner.h"
#include "fake_document.h"

using console::ScriptRunner;
using Lines = std::vector<std::string>;

namespace {

class ScriptRunnerTest : public ::testing::Test {
  protected:
    ScriptRunnerTest() : runner(doc, [this](const char *line) { commands.push_back(line); }) {
        dir = std::filesystem::temp_directory_path() /
              ("console_scripts_" +
               std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir);
        // Scripts are named relative to the working directory (a line that
        // begins with "/" is a comment).
        saved_cwd = std::filesystem::current_path();
        std::filesystem::current_path(dir);
    }
    ~ScriptRunnerTest() override {
        std::filesystem::current_path(saved_cwd);
        std::filesystem::remove_all(dir);
    }

    // Writes a script file into the working directory and gives its name.
    std::string script(const std::string &name, const std::string &content) {
        const std::string &path = name;
        FILE *file = fopen(path.c_str(), "wb");
        EXPECT_NE(file, nullptr);
        fwrite(content.data(), 1, content.size(), file);
        fclose(file);
        return path;
    }

    Lines run(const std::string &content, const std::string &arguments = "") {
        std::string line = script("s.txt", content);
        if (!arguments.empty())
            line += " " + arguments;
        EXPECT_EQ(runner.run_script(line.c_str()), 1);
        EXPECT_EQ(runner.script_depth(), 0);
        return commands;
    }

    FakeDocument doc;
    ScriptRunner runner;
    Lines commands;
    std::filesystem::path dir;
    std::filesystem::path saved_cwd;
};

TEST_F(ScriptRunnerTest, DeclinesLinesThatNameNoScript) {
    EXPECT_EQ(runner.run_script(""), -1);
    EXPECT_EQ(runner.run_script("VSET_B0 = 0x20"), -1);
    EXPECT_EQ(runner.run_script("for i=0:1:3"), -1); // a loop at the console is no script
    EXPECT_EQ(runner.run_script(" leading-space"), -1);
    std::filesystem::create_directory("sub");
    EXPECT_EQ(runner.run_script("sub"), -1); // a directory is no script
    // Nor is a FIFO, by name or by path, and opening it must not wait.
    fifo_deadline::make_fifo("pipe");
    const std::string fifo = (dir / "pipe").string();
    for (const std::string &name : {std::string("pipe"), fifo})
        EXPECT_EQ(fifo_deadline::call_within_deadline(
                      fifo, [&] { return runner.run_script((name + " arg").c_str()); }),
                  -1)
            << name;
    EXPECT_TRUE(commands.empty());
    EXPECT_EQ(runner.script_depth(), 0);
}

TEST_F(ScriptRunnerTest, ArgumentsReplaceReferencesAndAMissingOneCutsTheLine) {
    EXPECT_EQ(run("$0 = $1\n$2 = 1\nVSET_B0 = $1 # $9 gone\n$ $x $$1\n", "0x12 5"),
              (Lines{"0x12 = 5", "VSET_B0 = 5 # ", "$ $x $5"}));
}

TEST_F(ScriptRunnerTest, EightArgumentsAtMostAndTabsBelongToWords) {
    EXPECT_EQ(run("$0$1$2$3$4$5$6$7|$8\n$0\n", "a b c d e f g h i"), (Lines{"abcdefgh|", "a"}));
    commands.clear();
    EXPECT_EQ(run("[$0]\n", "x\ty z"), (Lines{"[x\ty]"}));
}

TEST_F(ScriptRunnerTest, SkipsCommentsAndBlankLinesAndHandlesCrLf) {
    EXPECT_EQ(run("  page()\r\n# comment\n// comment\n\n   \n\r\n\twait(1)\nlast"),
              (Lines{"page()", "wait(1)", "last"}));
}

TEST_F(ScriptRunnerTest, LongLinesAreReadInPiecesOf255) {
    std::string line(255, 'x');
    EXPECT_EQ(run(line + "yz\n"), (Lines{line, "yz"}));
}

TEST_F(ScriptRunnerTest, NonAsciiEndsOnlyTheFileItIsIn) {
    std::string inner = script("inner.txt", "p\n\xc3\xa9\nq\n");
    EXPECT_EQ(run("x\n" + inner + "\ny\n"), (Lines{"x", "p", "y"}));
}

TEST_F(ScriptRunnerTest, RecursionStopsWhenThirtyScriptsAreOpen) {
    std::string path = script("self.txt", "self.txt\n");
    EXPECT_EQ(runner.run_script(path.c_str()), 1);
    EXPECT_EQ(runner.script_depth(), 0);
    // The 31st call is refused and goes to the interpreter as a command.
    EXPECT_EQ(doc.text, QStringLiteral("script has too deep recursion."));
    EXPECT_EQ(commands, (Lines{path}));
}

TEST_F(ScriptRunnerTest, LoopsExcludeTheEndValue) {
    EXPECT_EQ(run("for i=0:1:3\n0x12 = $i\nend\nafter\n"),
              (Lines{"0x12 = 0", "0x12 = 1", "0x12 = 2", "after"}));
    commands.clear();
    EXPECT_EQ(run("for n=0:2:5\n  w $n\r\n# $n\n  end\n"), (Lines{"w 0", "w 2", "w 4"}));
}

TEST_F(ScriptRunnerTest, LoopVariableIsAPrefixMatchAndArgumentsComeFirst) {
    EXPECT_EQ(run("for i=1:1:2\n$ix $0 $i$i\nend\n", "$i"), (Lines{"1x 1 11"}));
}

TEST_F(ScriptRunnerTest, NestedLoopTakesTheOuterVariableInItsHeader) {
    // For i = 0 the inner loop 0:1:0 runs no pass; its body is passed over.
    EXPECT_EQ(run("for i=0:1:3\n for j=0:1:$i\n  x $j $i\n end\n y $i\nend\n"),
              (Lines{"y 0", "x 0 $i", "y 1", "x 0 $i", "x 1 $i", "y 2"}));
}

TEST_F(ScriptRunnerTest, BlanksAroundTheEqualsSignBecomePartOfTheName) {
    EXPECT_EQ(run("for i = 0:1:3\n0x12 = $i\nw $i ms\nend\n"),
              (Lines{"0x12 = $i", "w 0ms", "0x12 = $i", "w 1ms", "0x12 = $i", "w 2ms"}));
}

TEST_F(ScriptRunnerTest, LoopsThatWouldNotRunOrNotEndRunNoPass) {
    const char *headers[] = {"for i=3:1:3", "for i=4:1:3", "for i=0:0:3", "for i=0:-1:3",
                             "for i=5:-1:0"};
    for (const char *header : headers) {
        commands.clear();
        EXPECT_EQ(run(std::string(header) + "\nA $i\nfor j=0:1:2\nB\nend\nC\nend\nD\n"),
                  (Lines{"D"}))
            << header;
    }
}

TEST_F(ScriptRunnerTest, MalformedHeadersAreNoLoops) {
    // Missing numbers, a ten-character name: only the header is consumed and
    // the body runs once as ordinary lines.
    EXPECT_EQ(run("for i=0:1\nA $i\nend\n"), (Lines{"A $i", "end"}));
    commands.clear();
    EXPECT_EQ(run("for abcdefghij=0:1:2\nA\nend\n"), (Lines{"A", "end"}));
    commands.clear();
    EXPECT_EQ(run("for abcdefghi=0:1:2\nA $abcdefghi\nend\n"), (Lines{"A 0", "A 1"}));
}

TEST_F(ScriptRunnerTest, LoopsNestedDeeperThanThirtyRunNoPass) {
    // Thirty levels run; the 31st is passed over up to its own end line and
    // the levels around it go on.
    std::string text;
    for (int i = 0; i < 30; ++i)
        text += "for a" + std::to_string(i) + "=0:1:1\n";
    text += "for b=0:1:1\nskipped\nend\nlevel 30\n";
    for (int i = 0; i < 30; ++i)
        text += "end\n";
    EXPECT_EQ(run(text + "after\n"), (Lines{"level 30", "after"}));
    EXPECT_EQ(doc.text, QStringLiteral("script has too deep recursion."));
}

TEST_F(ScriptRunnerTest, TensOfThousandsOfNestedLoopsDoNotExhaustTheStack) {
    // Each nested header used to run one level deeper until the stack ran out.
    std::string text;
    for (int i = 0; i < 100000; ++i)
        text += "for a=0:1:1\n";
    EXPECT_EQ(run(text + "deepest\n"), Lines{});
    EXPECT_EQ(doc.text, QStringLiteral("script has too deep recursion."));
}

TEST_F(ScriptRunnerTest, LoopEndsWhereTheFileEndsInsideItsBody) {
    EXPECT_EQ(run("for i=0:1:3\nA $i\n"), (Lines{"A 0"}));
}

TEST_F(ScriptRunnerTest, LoopBodyMayCallScriptsWithTheLoopVariable) {
    std::string inner = script("inner.txt", "got $0\n");
    EXPECT_EQ(run("for k=0:1:2\n" + inner + " $k\nend\n"), (Lines{"got 0", "got 1"}));
}

} // namespace
