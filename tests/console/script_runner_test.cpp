#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../fifo_deadline.h"
#include "console/script_runner.h"
#include "fake_document.h"
#include "temp_files.h"

using console::ScriptRunner;
using Lines = std::vector<std::string>;

namespace {

constexpr const char *kTooDeep = "script has too deep recursion.";

class ScriptRunnerTest : public ::testing::Test {
  protected:
    ScriptRunnerTest() : runner(doc, [this](const char *line) { commands.push_back(line); }) {
        write_file("inner.txt", "got $0\n");
        write_file("bad.txt", "p\n\xc3\xa9\nq\n");
    }

    Lines run(const std::string &content, const std::string &arguments = "") {
        write_file("s.txt", QString::fromStdString(content));
        const std::string line = arguments.empty() ? "s.txt" : "s.txt " + arguments;
        EXPECT_EQ(runner.run_script(line.c_str()), 1);
        EXPECT_EQ(runner.script_depth(), 0);
        return commands;
    }

    InTempDir cwd; // scripts are named relative to the working directory
    FakeDocument doc;
    ScriptRunner runner;
    Lines commands;
};

TEST_F(ScriptRunnerTest, HandsOnTheseCommands) {
    const struct {
        const char *name;
        std::string content;
        const char *arguments;
        Lines commands;
        const char *said = ""; // what the runner itself printed
    } rows[] = {
        // Arguments: a missing one cuts the line; eight at most; tabs belong to words.
        {"arguments", "$0 = $1\n$2 = 1\nVSET_B0 = $1 # $9 gone\n$ $x $$1\n", "0x12 5",
         {"0x12 = 5", "VSET_B0 = 5 # ", "$ $x $5"}},
        {"eight_arguments", "$0$1$2$3$4$5$6$7|$8\n$0\n", "a b c d e f g h i", {"abcdefgh|", "a"}},
        {"tab_in_argument", "[$0]\n", "x\ty z", {"[x\ty]"}},
        {"comments_blanks_crlf", "  page()\r\n# comment\n// comment\n\n   \n\r\n\twait(1)\nlast",
         "", {"page()", "wait(1)", "last"}},
        // A command line too long stops the file; a comment runs to its end.
        {"long_line_refused", "a\n" + std::string(255, 'x') + "yz\nb\n", "", {"a"},
         "s.txt:2: line longer than 255 characters"},
        {"long_comment", "# " + std::string(253, 'c') + "PIN_VIO_SYS = 0\nb\n", "", {"b"}},
        {"long_line_in_loop", "for i=0:1:2\nx\n" + std::string(256, 'y') + "\nend\nb\n", "",
         {"x"}, "s.txt:3: line longer than 255 characters"},
        // A non-ASCII byte ends only the file it is in, and says so.
        {"non_ascii_nested", "x\nbad.txt\ny\n", "", {"x", "p", "y"},
         "bad.txt:2 (from s.txt:2): non-ASCII character; the rest of the script was not run"},
        // Loops exclude the end value; the variable is a prefix match and
        // arguments are replaced first.
        {"loop", "for i=0:1:3\n0x12 = $i\nend\nafter\n", "",
         {"0x12 = 0", "0x12 = 1", "0x12 = 2", "after"}},
        {"loop_step_crlf", "for n=0:2:5\n  w $n\r\n# $n\n  end\n", "", {"w 0", "w 2", "w 4"}},
        {"loop_variable_prefix", "for i=1:1:2\n$ix $0 $i$i\nend\n", "$i", {"1x 1 11"}},
        // For i = 0 the inner loop 0:1:0 runs no pass; its header takes the
        // outer variable, its body does not.
        {"nested_loop", "for i=0:1:3\n for j=0:1:$i\n  x $j $i\n end\n y $i\nend\n", "",
         {"y 0", "x 0 $i", "y 1", "x 0 $i", "x 1 $i", "y 2"}},
        // Blanks around "=" become part of the name.
        {"blank_in_header", "for i = 0:1:3\n0x12 = $i\nw $i ms\nend\n", "",
         {"0x12 = $i", "w 0ms", "0x12 = $i", "w 1ms", "0x12 = $i", "w 2ms"}},
        // Loops that would not run or not end run no pass.
        {"empty_range", "for i=3:1:3\nA $i\nfor j=0:1:2\nB\nend\nC\nend\nD\n", "", {"D"}},
        // Reversed, zero step, negative step, counting down.
        {"no_pass", "for i=4:1:3\nA\nend\nfor i=0:0:3\nB\nend\nfor i=0:-1:3\nC\nend\n"
                   "for i=5:-1:0\nE\nend\nD\n", "", {"D"}},
        // Malformed headers are no loops: only the header is consumed.
        {"header_missing_end", "for i=0:1\nA $i\nend\n", "", {"A $i", "end"}},
        {"ten_character_name", "for abcdefghij=0:1:2\nA\nend\n", "", {"A", "end"}},
        {"nine_character_name", "for abcdefghi=0:1:2\nA $abcdefghi\nend\n", "", {"A 0", "A 1"}},
        {"file_ends_in_body", "for i=0:1:3\nA $i\n", "", {"A 0"}},
        {"body_calls_script", "for k=0:1:2\ninner.txt $k\nend\n", "", {"got 0", "got 1"}}};
    for (const auto &r : rows) {
        commands.clear();
        doc.text.clear();
        EXPECT_EQ(run(r.content, r.arguments), r.commands) << r.name;
        EXPECT_EQ(doc.text, QString::fromLatin1(r.said)) << r.name;
    }
}

TEST_F(ScriptRunnerTest, DeclinesLinesThatNameNoScript) {
    std::filesystem::create_directory("sub");
    // A loop at the console is no script, nor is a directory.
    for (const char *line : {"", "VSET_B0 = 0x20", "for i=0:1:3", " leading-space", "sub"})
        EXPECT_EQ(runner.run_script(line), -1) << line;
    // Nor is a FIFO, by name or by path, and opening it must not wait.
    const std::string fifo = (cwd.dir.path() + "/pipe").toStdString();
    if (fifo_deadline::make_fifo("pipe")) {
        for (const std::string &name : {std::string("pipe"), fifo})
            EXPECT_EQ(fifo_deadline::call_within_deadline(
                          fifo, [&] { return runner.run_script((name + " arg").c_str()); }),
                      -1)
                << name;
    }
    EXPECT_TRUE(commands.empty());
    EXPECT_EQ(runner.script_depth(), 0);
}

TEST_F(ScriptRunnerTest, RecursionStopsWhenThirtyScriptsAreOpen) {
    write_file("self.txt", "self.txt\n");
    EXPECT_EQ(runner.run_script("self.txt"), 1);
    EXPECT_EQ(runner.script_depth(), 0);
    // The 31st call is refused, and is no command either.
    EXPECT_EQ(doc.text, kTooDeep);
    EXPECT_EQ(commands, Lines{});
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
    EXPECT_EQ(doc.text, kTooDeep);
}

TEST_F(ScriptRunnerTest, TensOfThousandsOfNestedLoopsDoNotExhaustTheStack) {
    // Each nested header used to run one level deeper until the stack ran out.
    std::string text;
    for (int i = 0; i < 100000; ++i)
        text += "for a=0:1:1\n";
    EXPECT_EQ(run(text + "deepest\n"), Lines{});
    EXPECT_EQ(doc.text, kTooDeep);
}

} // namespace
