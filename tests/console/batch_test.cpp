// Batch mode as a CI job runs it: evalpanel-virtual --batch FILE [ARGS...]
// with no display, its exit status, stdout and stderr.
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <QProcess>
#include <QProcessEnvironment>
#include <gtest/gtest.h>

#include "test_names.h"

namespace {

struct BatchCase {
    const char *name;
    std::vector<std::pair<const char *, const char *>> files; // name, content
    std::vector<const char *> arguments;
    int status;
    // stdout, exactly: every console line, the failing command's too (null:
    // the help text).
    const char *out;
    const char *err; // contained in stderr ("" : stderr empty)
};

class Batch : public ::testing::TestWithParam<BatchCase> {};

TEST_P(Batch, ExitStatusAndMessages) {
    const BatchCase &c = GetParam();
    const auto dir = std::filesystem::temp_directory_path() /
                     ("evalpanel_batch_" + std::to_string(::getpid()) + "_" + c.name);
    std::filesystem::create_directories(dir);
    for (const auto &[name, content] : c.files)
        std::ofstream(dir / name, std::ios::binary) << content;

    QProcess program;
    program.setWorkingDirectory(QString::fromStdString(dir.string()));
    // No display and no usable Qt platform: a window would abort the run.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    env.insert("QT_QPA_PLATFORM", "none");
    program.setProcessEnvironment(env);
    QStringList arguments{"--kit-port", "0"};
    for (const char *a : c.arguments)
        arguments << QString::fromUtf8(a);
    program.start(QStringLiteral(EVALPANEL_VIRTUAL_PATH), arguments);
    ASSERT_TRUE(program.waitForFinished(30000)) << c.name;
    const QString out = QString::fromUtf8(program.readAllStandardOutput());
    const QString err = QString::fromUtf8(program.readAllStandardError());
    std::filesystem::remove_all(dir);

    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit) << c.name;
    EXPECT_EQ(program.exitCode(), c.status) << c.name << "\n" << err.toStdString();
    if (c.out == nullptr)
        EXPECT_TRUE(out.contains("--batch <FILE>") && out.contains("--kit-port <N>")) << c.name;
    else
        EXPECT_EQ(out.toStdString(), c.out) << c.name;
    if (*c.err == '\0')
        EXPECT_EQ(err.toStdString(), "") << c.name;
    else
        EXPECT_TRUE(err.contains(QString::fromUtf8(c.err))) << c.name << ": " << err.toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Runs, Batch,
    ::testing::Values(
        BatchCase{"all_lines_succeed",
                  {{"s.txt", "PIN_VIO_SYS = 1\nVSET_B0 = 0x20\nexpect(VSET_B0, 0x20)\n"
                             "# a comment\necho done\n"}},
                  {"--batch", "s.txt"},
                  0,
                  "done\n",
                  ""},
        BatchCase{"arguments_and_a_blank_in_the_name",
                  {{"my script.txt", "PIN_VIO_SYS = 1\n$0 = $1\nexpect($0, $1)\necho $0=$1\n"}},
                  {"--batch", "my script.txt", "VSET_B0", "5"},
                  0,
                  "VSET_B0=5\n",
                  ""},
        BatchCase{"failed_expect_stops_the_run",
                  {{"s.txt", "PIN_VIO_SYS = 1\nVSET_B0 = 0x21\nexpect(VSET_B0, 0x20)\necho no\n"}},
                  {"--batch", "s.txt"},
                  1,
                  "expect VSET_B0: 0x21, expected 0x20\n",
                  "s.txt:3: expect VSET_B0: 0x21, expected 0x20\n"},
        BatchCase{"syntax_error",
                  {{"s.txt", "echo a\n\nnonsense\necho b\n"}},
                  {"--batch", "s.txt"},
                  1,
                  "a\nSyntax error\n",
                  "s.txt:3: Syntax error\n"},
        BatchCase{"innermost_script_named",
                  {{"s.txt", "echo out\ninner.txt 200\necho no\n"},
                   {"inner.txt", "echo in\n// note\nVSET_B0 = $0\n"}},
                  {"--batch", "s.txt"},
                  1,
                  "out\nin\nvalue out of bounds. (0-7F) (0-127 dec)\n",
                  "inner.txt:3: value out of bounds. (0-7F) (0-127 dec)\n"},
        BatchCase{"line_in_a_loop_pass",
                  {{"s.txt", "PIN_VIO_SYS = 1\nfor i=0:1:3\n0x12 = $i\nexpect(0x12, 0)\nend\n"}},
                  {"--batch", "s.txt"},
                  1,
                  "expect 0x12: 0x01, expected 0x00\n",
                  "s.txt:4: expect 0x12: 0x01, expected 0x00\n"},
        BatchCase{"read_only_pin",
                  {{"s.txt", "PIN_INT = 0\n"}},
                  {"--batch", "s.txt"},
                  1,
                  "This is read-only pin.\n",
                  "s.txt:1: This is read-only pin.\n"},
        BatchCase{"missing_file", {}, {"--batch", "nothing.txt"}, 2, "", "cannot read nothing.txt"},
        BatchCase{"directory", {}, {"--batch", "."}, 2, "", "cannot read ."},
        BatchCase{"too_many_arguments",
                  {{"s.txt", "echo\n"}},
                  {"--batch", "s.txt", "1", "2", "3", "4", "5", "6", "7", "8", "9"},
                  2,
                  "",
                  "at most 8 script arguments"},
        BatchCase{"bad_option",
                  {{"s.txt", "echo\n"}},
                  {"--console-port", "x", "--batch", "s.txt"},
                  2,
                  "",
                  "--console-port takes a port number"},
        BatchCase{"no_adapter",
                  {{"s.txt", "echo no\n"}},
                  {"--adapter", "no-such-adapter", "--batch", "s.txt"},
                  3,
                  "",
                  "evalpanel: no adapter: "},
        BatchCase{"version", {}, {"--version"}, 0, "evalpanel " EVALPANEL_VERSION "\n", ""},
        BatchCase{"help", {}, {"--help"}, 0, nullptr, ""}),
    [](const auto &info) { return case_name(info.index, info.param.name); });

} // namespace
