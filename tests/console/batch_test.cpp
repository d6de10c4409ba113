// Batch mode as a CI job runs it: evalpanel-virtual --batch FILE [ARGS...]
// with no display, its exit status, stdout and stderr.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include <QProcess>
#include <QProcessEnvironment>
#include <QTcpServer>
#include <QThread>
#include <gtest/gtest.h>
#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include "test_platform.h"



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
    const char *input = nullptr;        // standard input
    std::vector<const char *> junit{}; // contained in out.xml
};

struct Outcome {
    int status = -1;
    std::string out, err;
};

// Runs the program in `dir` with no display (a window would abort it unless
// QT_QPA_PLATFORM names one).
Outcome run_program(const std::filesystem::path &dir, const QStringList &arguments,
                    const char *platform = "none",
                    const QList<QPair<QString, QString>> &environment = {},
                    const char *input = nullptr) {
    QProcess program;
    program.setWorkingDirectory(QString::fromStdString(dir.string()));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    if (*platform == '\0')
        env.remove("QT_QPA_PLATFORM");
    else
        env.insert("QT_QPA_PLATFORM", platform);
    for (const auto &[name, value] : environment)
        env.insert(name, value);
    program.setProcessEnvironment(env);
    program.start(QStringLiteral(EVALPANEL_VIRTUAL_PATH), arguments);
    if (input != nullptr)
        program.write(input);
    program.closeWriteChannel();
    Outcome o;
    if (!program.waitForFinished(30000)) {
        program.kill();
        program.waitForFinished();
        return o;
    }
    o.status = program.exitStatus() == QProcess::NormalExit ? program.exitCode() : -2;
    o.out = program.readAllStandardOutput().toStdString();
    o.err = program.readAllStandardError().toStdString();
    return o;
}

std::filesystem::path scratch_dir(const std::string &name) {
    const auto dir = std::filesystem::temp_directory_path() /
                     ("evalpanel_batch_" + std::to_string(QCoreApplication::applicationPid()) + "_" + name);
    std::filesystem::create_directories(dir);
    return dir;
}

// On Windows a folder a program used is released a moment after the
// program has ended: it is removed once it can be.
void remove_scratch(const std::filesystem::path &dir) {
    QDir folder(QString::fromStdString(dir.string()));
    bool removed = false;
    for (int i = 0; i < 50 && !(removed = folder.removeRecursively()); ++i)
        QThread::msleep(100);
    EXPECT_TRUE(removed) << dir;
}
// A message of a megabyte (a configuration line quoted back) goes out whole.
const std::string kHugeName(1 << 20, 'N');
const std::string kHugeLine = kHugeName + " = 1\n";
const std::string kHugeOut = "load_registers: big.cfg line 1: unknown register or field: " +
                             kHugeName + "; nothing written\n";

const BatchCase kBatchCases[] = {
    // What cannot run as a script is a failure, never a short success (every
    // reason the runner stops a file: ScriptRunnerTest).
    {"non_ascii_comment",
     {{"s.txt", "echo a\n# 25 \xC2\xB0" "C\nexpect(PIN_VIO_SYS, 1)\n"}}, {"--batch", "s.txt"}, 1,
     "a\ns.txt:2: non-ASCII character; the rest of the script was not run\n",
     "s.txt:2: non-ASCII character; the rest of the script was not run\n"},
    {"megabyte_message",
     {{"big.cfg", kHugeLine.c_str()}, {"s.txt", "load_registers(big.cfg)\n"}},
     {"--batch", "s.txt"}, 1, kHugeOut.c_str(), "s.txt:1: load_registers: big.cfg line 1: "},
    {"utf8_bom_skipped", {{"s.txt", "\xEF\xBB\xBF" "echo bom\n"}}, {"--batch", "s.txt"}, 0,
     "bom\n", ""},
    {"utf16_refused", {{"s.txt", "\xFF\xFE" "e"}}, {"--batch", "s.txt"}, 2,
     "s.txt: the file is UTF-16LE text; scripts are ASCII (save it as ASCII or UTF-8)\n",
     "evalpanel: --batch: s.txt: the file is UTF-16LE text"},
    {"arguments_comments_and_a_blank_in_the_name",
     {{"my script.txt",
       "PIN_VIO_SYS = 1\n$0 = $1\nexpect($0, $1)\n# a comment\necho done $0=$1\n"}},
     {"--batch", "my script.txt", "VSET_B0", "0x20"}, 0, "done VSET_B0=0x20\n", ""},
    {"failed_expect_stops_the_run",
     {{"s.txt", "PIN_VIO_SYS = 1\nVSET_B0 = 0x21\nexpect(VSET_B0, 0x20)\necho no\n"}},
     {"--batch", "s.txt"}, 1, "expect VSET_B0: 0x21, expected 0x20\n",
     "s.txt:3: expect VSET_B0: 0x21, expected 0x20\n"},
    {"syntax_error", {{"s.txt", "echo a\n\nnonsense\necho b\n"}}, {"--batch", "s.txt"},
     1, "a\nSyntax error\n", "s.txt:3: Syntax error\n"},
    {"innermost_script_named",
     {{"s.txt", "echo out\ninner.txt 200\necho no\n"},
      {"inner.txt", "echo in\n// note\nVSET_B0 = $0\n"}},
     {"--batch", "s.txt"}, 1, "out\nin\nvalue out of bounds. (0-7F) (0-127 dec)\n",
     "inner.txt:3 (from s.txt:2): value out of bounds. (0-7F) (0-127 dec)\n"},
    {"recursion_is_a_failure", {{"self.txt", "echo x\nself.txt\n"}}, {"--batch", "self.txt"}, 1,
     nullptr, "self.txt:2, from self.txt:2): script has too deep recursion.\n"},
    // Checks counted and reported; only a failing expect lets the run go on.
    {"keep_going",
     {{"s.txt", "PIN_VIO_SYS = 1\nVSET_B0 = 0x21\nexpect(VSET_B0, 0x20)\nexpect(VSET_B0, 0x21)\n"
                "inner.txt\necho end\n"},
      {"inner.txt", "expect(PIN_VIO_SYS, 0)\n"}},
     {"--batch", "s.txt", "--keep-going", "--junit", "out.xml"}, 1,
     "expect VSET_B0: 0x21, expected 0x20\nexpect PIN_VIO_SYS: 0x01, expected 0x00\nend\n",
     "s.txt:3: expect VSET_B0: 0x21, expected 0x20\ninner.txt:1 (from s.txt:5): expect "
     "PIN_VIO_SYS: 0x01, expected 0x00\n3 checks, 2 failed\n",
     nullptr,
     {"<testsuite name=\"s.txt\" tests=\"3\" failures=\"2\" errors=\"0\"",
      "name=\"s.txt:4\" time=", "name=\"inner.txt:1\"",
      "<failure message=\"expect PIN_VIO_SYS: 0x01, expected 0x00\">inner.txt:1 (from s.txt:5): "
      "expect PIN_VIO_SYS: 0x01, expected 0x00</failure>"}},
    {"board_sensor_after_power_up", {{"s.txt", "PIN_VIO_SYS = 1\nexpect(board_C, 24..26)\n"}},
     {"--batch", "s.txt"}, 0, "", ""},
    {"keep_going_all_passed", {{"s.txt", "PIN_VIO_SYS = 1\nexpect(PIN_VIO_SYS, 1)\n"}},
     {"--batch", "s.txt", "--keep-going"}, 0, "", "1 checks, 0 failed\n"},
    {"keep_going_stops_at_an_error",
     {{"s.txt", "echo a\nexpect(PIN_VIO_SYS, 1)\nexpect(VOUT_B5_V, 3.3)\necho no\n"}},
     {"--keep-going", "--junit", "out.xml", "--batch", "s.txt"}, 1,
     "a\nexpect PIN_VIO_SYS: 0x00, expected 0x01\nexpect: VOUT_B5_V takes 0..2.5; 3.3 is outside\n",
     "s.txt:2: expect PIN_VIO_SYS: 0x00, expected 0x01\ns.txt:3: expect: VOUT_B5_V takes 0..2.5; "
     "3.3 is outside\n2 checks, 2 failed\n",
     nullptr,
     {"tests=\"2\" failures=\"1\" errors=\"1\"",
      "<error message=\"expect: VOUT_B5_V takes 0..2.5; 3.3 is outside\">s.txt:3: expect"}},
    // (< > and " are no file name characters on Windows.)
    {"junit_escapes_names", {{"a&b.txt", "echo\nexpect(PIN_VIO_SYS, 1)\n"}},
     {"--batch", "a&b.txt", "--junit", "out.xml"}, 1, "\nexpect PIN_VIO_SYS: 0x00, expected 0x01\n",
     "a&b.txt:2: expect", nullptr,
     {"name=\"a&amp;b.txt:2\"", "tests=\"1\" failures=\"1\" errors=\"0\""}},
    {"junit_without_adapter", {{"s.txt", "echo\n"}},
     {"--adapter", "no-such-adapter", "--batch", "s.txt", "--junit", "out.xml"}, 3, "",
     "evalpanel: no adapter: ", nullptr,
     {"tests=\"1\" failures=\"0\" errors=\"1\"", "<error message=\"evalpanel: no adapter: "}},
    {"junit_to_a_directory", {{"s.txt", "echo\n"}}, {"--batch", "s.txt", "--junit", "."}, 2, "",
     "evalpanel: --junit: cannot write .: it is a directory"},
    {"kit_serial_refused", {}, {"--kit-serial", "a b", "--batch", "s.txt"}, 2, "",
     "--kit-serial takes 1 to 64 letters"},
    {"keep_going_without_batch", {}, {"--keep-going"}, 2, "", "--keep-going goes with --batch"},
    {"script_from_standard_input", {}, {"--batch", "-", "v"}, 1, "from stdin v\n0\n1\nSyntax error\n",
     "-:5: Syntax error\n", "echo from stdin $0\nfor i=0:1:2\necho $i\nend\nnonsense\n"},
    {"line_in_a_loop_pass",
     {{"s.txt", "PIN_VIO_SYS = 1\nfor i=0:1:3\n0x12 = $i\nexpect(0x12, 0)\nend\n"}},
     {"--batch", "s.txt"}, 1, "expect 0x12: 0x01, expected 0x00\n",
     "s.txt:4: expect 0x12: 0x01, expected 0x00\n"},
    {"missing_file", {}, {"--batch", "nothing.txt"}, 2, "", "cannot read nothing.txt"},
    {"directory", {}, {"--batch", "."}, 2, "", "cannot read ."},
    {"too_many_arguments", {{"s.txt", "echo\n"}},
     {"--batch", "s.txt", "1", "2", "3", "4", "5", "6", "7", "8", "9"}, 2, "",
     "at most 8 script arguments"},
    {"bad_option", {{"s.txt", "echo\n"}}, {"--console-port", "x", "--batch", "s.txt"},
     2, "", "--console-port takes a port number"},
    {"no_adapter", {{"s.txt", "echo no\n"}}, {"--adapter", "no-such-adapter", "--batch", "s.txt"},
     3, "", "evalpanel: no adapter: --adapter \"no-such-adapter\" names none of the adapters"},
    {"version", {}, {"--version"}, 0, "evalpanel " EVALPANEL_VERSION "\n", ""},
    {"help", {}, {"--help"}, 0, nullptr, ""}};

TEST(Batch, ExitStatusAndMessages) {
    for (const BatchCase &c : kBatchCases) {
        const auto dir = scratch_dir(c.name);
        for (const auto &[name, content] : c.files)
            std::ofstream(dir / name, std::ios::binary) << content;
        QStringList arguments{"--kit-port", "0"};
        for (const char *a : c.arguments)
            arguments << QString::fromUtf8(a);
        const Outcome o = run_program(dir, arguments, "none", {}, c.input);
        std::string junit;
        std::getline(std::ifstream(dir / "out.xml"), junit, '\0');
        remove_scratch(dir);
        for (const char *part : c.junit)
            EXPECT_TRUE(junit.find(part) != std::string::npos) << c.name << ": " << part << junit;

        EXPECT_EQ(o.status, c.status) << c.name << "\n" << o.err;
        if (c.out == nullptr)
            EXPECT_TRUE(c.status != 0 || (o.out.find("--batch <FILE>") != std::string::npos &&
                                          o.out.find("--kit-port <N>") != std::string::npos))
                << c.name;
        else
            EXPECT_EQ(o.out, c.out) << c.name;
        if (*c.err == '\0')
            EXPECT_EQ(o.err, "") << c.name;
        else
            EXPECT_NE(o.err.find(c.err), std::string::npos) << c.name << ": " << o.err;
    }
}

// A run stopped from outside: what it printed is out (a line at a time,
// also into a pipe), where it stopped is said, the session log ends with
// it, and the status tells the signal.
TEST(Batch, SignalsStopTheScriptWhereItIs) {
    using test_platform::Stop;
    for (const auto &[signal, status, log] :
         {std::tuple{Stop::Interrupt, 130, true}, {Stop::Terminate, 143, true},
          {Stop::HangUp, 129, false}}) {
        const auto dir = scratch_dir("signal" + std::to_string(status));
        std::ofstream(dir / "s.txt") << "echo started\nwait(10000)\necho never\n";
        QProcess program;
        program.setWorkingDirectory(QString::fromStdString(dir.string()));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "none");
        env.insert("XDG_STATE_HOME", QString::fromStdString((dir / "state").string()));
        program.setProcessEnvironment(env);
        program.start(QStringLiteral(EVALPANEL_VIRTUAL_PATH),
                      QStringList{"--kit-port", "0", "--batch", "s.txt"} +
                          (log ? QStringList() : QStringList{"--no-session-log"}));
        QByteArray out;
        for (int i = 0; i < 100 && !out.contains("wait for"); ++i)
            out += program.waitForReadyRead(100) ? program.readAllStandardOutput() : "";
        if (std::string why; !test_platform::request_stop(program.processId(), signal, &why)) {
            program.kill();
            program.waitForFinished();
            GTEST_SKIP() << why;
        }
        ASSERT_TRUE(program.waitForFinished(5000)) << status;
        EXPECT_EQ(program.exitCode(), status);
        EXPECT_EQ(out + program.readAllStandardOutput(), "started\nwait for 10000 ms\nStopped.\n");
        EXPECT_EQ(program.readAllStandardError(), "s.txt:2: Stopped.\n");
        const auto logs = dir / "state" / "evalpanel";
        std::string text;
        if (std::filesystem::exists(logs))
            std::getline(std::ifstream(std::filesystem::directory_iterator(logs)->path()), text, '\0');
        EXPECT_EQ(text.find("[batch] s.txt:2: Stopped.") != std::string::npos, log) << text;
        remove_scratch(dir);
    }
}

// ---- Ports at start-up -------------------------------------------------------

// A port held by someone else for the test's lifetime, and a free one.
struct Ports {
    QTcpServer held;
    QTcpServer spare;
    quint16 taken = 0, free = 0;
    Ports() {
        held.listen(QHostAddress::LocalHost, 0);
        taken = held.serverPort();
        spare.listen(QHostAddress::LocalHost, 0);
        free = spare.serverPort();
        spare.close();
    }
};

struct PortCase {
    const char *name;
    // "T" is the taken port, "F" the free one.
    std::vector<const char *> arguments;
    const char *kit_env; // BRIDGEIO_KIT_PORT, or null
    const char *err;
};

const PortCase kPortCases[] = {
    {"kit_port_taken", {"--console-port", "0", "--kit-port", "T"}, nullptr,
     "the kit's control port is taken (127.0.0.1:T#: "},
    {"kit_port_taken_by_environment", {"--console-port", "0"}, "T",
     "the kit's control port is taken (127.0.0.1:T#: "},
    {"console_port_taken", {"--console-port", "T", "--kit-port", "0"}, nullptr,
     "the console port T# is taken"},
    {"both_the_same", {"--console-port", "F", "--kit-port", "F"}, nullptr,
     "the console and the kit's control port cannot both be F#"},
    {"environment_gives_the_kit_the_console_port", {"--console-port", "F"}, "F",
     "the console and the kit's control port cannot both be F#"},
    {"batch_kit_port_taken", {"--kit-port", "T", "--batch", "s.txt"}, nullptr,
     "the kit's control port is taken"},
    {"option_wins_over_environment", {"--kit-port", "0", "--batch", "s.txt"}, "T", ""},
    {"run_missing_file", {"--kit-port", "0", "--run", "no such.txt"}, nullptr,
     "--run: cannot read \"no such.txt\": no such file"}};

TEST(PortConflicts, EndTheProgramWithStatusTwo) {
    for (const PortCase &c : kPortCases) {
        Ports ports;
        const auto port = [&](const char *a) {
            return std::strcmp(a, "T") == 0   ? QString::number(ports.taken)
                   : std::strcmp(a, "F") == 0 ? QString::number(ports.free)
                                              : QString::fromUtf8(a);
        };
        QStringList arguments;
        for (const char *a : c.arguments)
            arguments << port(a);
        QList<QPair<QString, QString>> env;
        if (c.kit_env)
            env << qMakePair(QStringLiteral("BRIDGEIO_KIT_PORT"), port(c.kit_env));
        const auto dir = scratch_dir(c.name);
        std::ofstream(dir / "s.txt") << "echo ran\n";
        const Outcome o = run_program(dir, arguments, "offscreen", env);
        remove_scratch(dir);
        std::string expected = c.err;
        for (size_t at; (at = expected.find('T')) != std::string::npos && expected[at + 1] == '#';)
            expected.replace(at, 2, std::to_string(ports.taken));
        for (size_t at; (at = expected.find('F')) != std::string::npos && expected[at + 1] == '#';)
            expected.replace(at, 2, std::to_string(ports.free));
        if (expected.empty()) {
            EXPECT_EQ(o.status, 0) << c.name << ": " << o.err;
            EXPECT_EQ(o.out, "ran\n") << c.name;
        } else {
            EXPECT_EQ(o.status, 2) << c.name << ": " << o.err;
            EXPECT_NE(o.err.find(expected), std::string::npos) << c.name << ": " << o.err;
        }
    }
}

// Without any display the window cannot be shown: said, not aborted; bad
// options are still found first.
TEST(NoDisplay, TheWindowIsRefusedWithAReason) {
    const auto dir = scratch_dir("no_display");
    const Outcome window = run_program(dir, {"--kit-port", "0"}, "");
    const Outcome bad = run_program(dir, {"--console-port", "x"}, "");
    remove_scratch(dir);
    EXPECT_EQ(window.status, 2);
    EXPECT_NE(window.err.find("no display to show the window on"), std::string::npos) << window.err;
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.err.find("--console-port takes a port number"), std::string::npos) << bad.err;
}

// --run takes any name the shell can pass: blanks and a path far longer than
// a console line. The script saves the registers; the file tells.
TEST(RunOption, RunsAScriptWithBlanksAndALongPath) {
    const auto dir = scratch_dir("run option");
    auto deep = dir;
    while (deep.string().size() < 400)
        deep /= "a folder with blanks";
    // Through Qt, which reaches names past Windows' MAX_PATH.
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(deep.string())));
    const auto script = deep / "my script.txt";
    QFile file(QString::fromStdString(script.string()));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("PIN_VIO_SYS = 1\nsave_registers(saved.txt)\n");
    file.close();
    QProcess program;
    program.setWorkingDirectory(QString::fromStdString(dir.string()));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    program.setProcessEnvironment(env);
    program.start(QStringLiteral(EVALPANEL_VIRTUAL_PATH),
                  {"--console-port", "0", "--kit-port", "0", "--run",
                   QString::fromStdString(script.string())});
    ASSERT_TRUE(program.waitForStarted());
    for (int i = 0; i < 100 && !std::filesystem::exists(dir / "saved.txt"); ++i)
        QThread::msleep(100);
    EXPECT_TRUE(std::filesystem::exists(dir / "saved.txt")) << "the script did not run";
    program.kill();
    program.waitForFinished();
    remove_scratch(dir);
}

} // namespace
