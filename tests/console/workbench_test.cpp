// Configuration files, CSV recording and fault edges, driven through the
// console commands on the virtual kit.
#include <QProcess>
#include <QSignalSpy>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "test_platform.h"

#include <string>

#include "../fifo_deadline.h"
#include "console/script_runner.h"
#include "device/configuration.h"
#include "registers/register_map.h"
#include "device/workbench.h"
#include "kit_fixture.h"
#include "temp_files.h"

namespace {

QString read_file(const QString &path) {
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << path.toStdString();
    return QString::fromUtf8(f.readAll());
}

class WorkbenchTest : public ConsoleKitTest {
  protected:
    QString path(const char *name) const { return dir.filePath(QString::fromLatin1(name)); }
    QStringList run(const QString &line) { return ConsoleKitTest::run(line.toLatin1().constData()); }
    QTemporaryDir dir;
};

TEST_F(WorkbenchTest, SavedConfigurationRestoresPageZeroAndExportsAsAHeader) {
    run(QStringLiteral("VSET_B0 = 0x30"));
    run(QStringLiteral("R_DELAY_BUCK4 = 0x21"));
    run(QStringLiteral("MASK_UVLO = 1"));
    const QString file = path("cfg.txt");
    run(QStringLiteral("page(2)")); // the header still names page 0's chip ID
    ASSERT_EQ(run(QStringLiteral("save_registers(%1)").arg(file)),
              QStringList{QStringLiteral("saved 30 registers to %1").arg(file)});
    EXPECT_EQ(session.register_read(rx5120::reg::kPage), 2);
    run(QStringLiteral("page(0)"));
    const QString text = read_file(file);
    for (const char *line : {"# chip ID: 0x84", "# access level: advanced", "# page: 0",
                             "# EN_DIS_B0 = enabled, VSET_B0 = 980 mV\nR_VSET_B0 = 0xB0\n",
                             "# DELAY_B4 = 3.3 ms\nR_DELAY_BUCK4 = 0x21\n", "R_INT_MASK_2 = 0x04\n"})
        EXPECT_TRUE(text.contains(QString::fromLatin1(line))) << line;
    // Flags, reset, chip ID, the read-only load current and the load-current
    // source (the program's measurement setting) are never written.
    for (const char *name : {"R_FLAGS_0", "R_FLAGS_1", "R_SW_RESET", "R_CHIP_ID", "R_LOAD_CURR",
                             "R_SEL_I_LOAD", "LOAD_CURRENT_SOURCE"})
        EXPECT_FALSE(text.contains(QString::fromLatin1(name))) << name;

    set_chip_register(0, 0x00, 0x11);
    set_chip_register(0, 0x16, 0x99);
    set_chip_register(0, 0x2E, 0x00);
    // A file of an older version still names the source: it loads without it.
    write_file(file, read_file(file) + QStringLiteral("R_SEL_I_LOAD = 0x03\n"));
    const long long before = kit_count("total");
    EXPECT_EQ(run(QStringLiteral("load_registers(%1)").arg(file)),
              QStringList{QStringLiteral("loaded 30 registers from %1").arg(file)});
    const long long exchanges = kit_count("total") - before;
    EXPECT_LE(exchanges, 24) << "page-0 configuration load";
    EXPECT_EQ(chip_register(0, 0x00) & 0x7F, 0x30);
    EXPECT_EQ(chip_register(0, 0x16), 0x21);
    EXPECT_EQ(chip_register(0, 0x2E), 0x04);
    EXPECT_EQ(session.registers()[0x16], 0x21);
    EXPECT_TRUE(host.log.contains(QStringLiteral("R_DELAY_BUCK4 = 0x21")));
    ASSERT_TRUE(workbench.loaded_configuration().has_value());

    // The file also runs as a console script, printing nothing but writes.
    set_chip_register(0, 0x16, 0x99);
    host.printed.clear();
    console::ScriptRunner runner(doc, [this](const char *l) { interpreter.parse_cmd(l); });
    EXPECT_EQ(runner.run_script(file.toLocal8Bit().constData()), 1);
    EXPECT_TRUE(host.printed.isEmpty()) << host.printed.join(QLatin1Char('|')).toStdString();
    EXPECT_EQ(chip_register(0, 0x16), 0x21);

    // The C header compiles alone as C99 and as C++ and holds the chip's
    // registers, in the configuration's order and number, under the names
    // of the chosen prefix.
    const QString header = path("rx5120_registers.h");
    ASSERT_EQ(run(QStringLiteral("export_registers(%1)").arg(header)),
              QStringList{QStringLiteral("exported 30 registers to %1").arg(header)});
    EXPECT_TRUE(read_file(header).contains(
        QStringLiteral("{RX5120_R_DELAY_BUCK4, 0x21}, /* R_DELAY_BUCK4: DELAY_B4 = 3.3 ms */")));
    EXPECT_LT(evalpanel::export_registers(session, header, QStringLiteral("9V")).registers, 0);
    ASSERT_EQ(evalpanel::export_registers(session, header, QStringLiteral("board_a")).registers, 30);
    // A cross-built test runs where no compiler is (wine): it builds no program.
    if (std::strlen(RX_TEST_C_COMPILER) == 0)
        return;
    const QString main = path("main.c");
    write_file(main, QStringLiteral(
                         "#include <stdio.h>\n#include \"rx5120_registers.h\"\n"
                         "int main(void) {\n    int i;\n"
                         "    for (i = 0; i < BOARD_A_REGISTER_COUNT; ++i)\n"
                         "        printf(\"%d %d\\n\", board_a_registers[i].address, "
                         "board_a_registers[i].value);\n"
                         "    return (int)(sizeof board_a_registers / sizeof board_a_registers[0]) "
                         "!= BOARD_A_REGISTER_COUNT || BOARD_A_I2C_ADDRESS != 0x60 || "
                         "BOARD_A_R_DELAY_BUCK4 != 0x16;\n}\n"));
    const struct {
        const char *compiler;
        QStringList flags;
    } builds[] = {{RX_TEST_C_COMPILER, {"-std=c99", "-pedantic", "-Wall", "-Wextra", "-Werror"}},
                  {RX_TEST_CXX_COMPILER, {"-x", "c++", "-std=c++17", "-Wall", "-Wextra", "-Werror"}}};
    for (const auto &b : builds) {
        const QString program = path("exported");
        QProcess cc;
        cc.start(QString::fromLatin1(b.compiler), b.flags + QStringList{main, "-o", program});
        ASSERT_TRUE(cc.waitForFinished(60000));
        ASSERT_EQ(cc.exitCode(), 0) << b.compiler << ": " << cc.readAllStandardError().toStdString();
        QProcess exported;
        exported.start(program, {});
        ASSERT_TRUE(exported.waitForFinished(10000));
        EXPECT_EQ(exported.exitCode(), 0);
        const QStringList rows =
            QString::fromLatin1(exported.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        EXPECT_EQ(rows.size(), evalpanel::configuration_register_count());
        for (const QString &row : rows) {
            const QStringList pair = row.split(' ');
            ASSERT_EQ(pair.size(), 2);
            EXPECT_EQ(pair[1].toInt(), chip_register(0, pair[0].toInt())) << b.compiler << " " << row.toStdString();
        }
    }
}

// Every value form of the console (and "0b" binary) and comments anywhere;
// fields keep the register's other bits.
TEST_F(WorkbenchTest, HandEditedFileWithFieldsCommentsAndValueForms) {
    const QString file = path("edited.txt");
    write_file(file, QStringLiteral("# by hand\n\n// fields keep the other bits\n"
                                    "  VSET_B3 =  0x21 # inline comment\nR_DELAY_BUCK1 = 0b00010001\n"
                                    "OC_LEV_B2 = 1\nR_DELAY_BUCK0 = 1fh\nR_DELAY_BUCK2 = b101\r\n"
                                    "R_DELAY_BUCK3 = 110b\nR_DELAY_BUCK5 = 0FFH#\n"));
    set_chip_register(0, 0x01, 0x80); // EN_DIS_B3 set: kept
    set_chip_register(0, 0x09, 0x3F);
    EXPECT_EQ(run(QStringLiteral("load_registers(%1)").arg(file)),
              QStringList{QStringLiteral("loaded 7 registers from %1").arg(file)});
    EXPECT_EQ(chip_register(0, 0x01), 0xA1);
    EXPECT_EQ(chip_register(0, 0x13), 0x11);
    EXPECT_EQ(chip_register(0, 0x09), 0x7F);
    const struct { const char *name; int value; } delays[] = {
        {"R_DELAY_BUCK0", 0x1F}, {"R_DELAY_BUCK2", 5}, {"R_DELAY_BUCK3", 6}, {"R_DELAY_BUCK5", 0xFF}};
    for (const auto &d : delays) {
        const auto *r = evalpanel::register_map().register_named(QString::fromLatin1(d.name));
        ASSERT_NE(r, nullptr) << d.name;
        EXPECT_EQ(chip_register(0, r->address), d.value) << d.name;
    }
}

// Every bad line is named in one message, and nothing at all is written.
TEST_F(WorkbenchTest, BadFilesWriteNothingAndNameEveryBadLine) {
    const struct {
        const char *line;
        const char *message;
    } cases[] = {
        {"R_NOPE = 0x01", "unknown register or field: R_NOPE"},
        {"R_VSET_B0 = 0x100", "bad value for R_VSET_B0: 0x100"},
        {"VSET_B0 = 200", "bad value for VSET_B0: 200 (0-0x7f)"},
        {"R_VSET_B0 = zz", "bad value for R_VSET_B0: zz"},
        {"R_VSET_B0 = 0xB2garbage", "bad value for R_VSET_B0: 0xB2garbage"},
        {"R_VSET_B0 = 0x+B0", "bad value for R_VSET_B0: 0x+B0"},
        {"R_VSET_B0 = 0xB@@@", "contains a NUL byte"}, // @ stands for NUL
        {"R_CHIP_ID = 0x00", "R_CHIP_ID is not part of a configuration"},
        {"TEMP = 1", "TEMP is not part of a configuration"},
        {"wait(10)", "not of the form NAME = VALUE"},
    };
    QString text = QStringLiteral("R_DELAY_BUCK0 = 0x22\n");
    for (const auto &c : cases)
        text += QString::fromLatin1(c.line).replace(QLatin1Char('@'), QChar(0)) + '\n';
    const QString file = path("bad.txt");
    write_file(file, text);
    set_chip_register(0, 0x12, 0x0A);
    const QStringList out = run(QStringLiteral("load_registers(%1)").arg(file));
    ASSERT_EQ(out.size(), 1);
    for (int i = 0; i < static_cast<int>(std::size(cases)); ++i)
        EXPECT_TRUE(out[0].contains(QStringLiteral("line %1: %2").arg(i + 2).arg(
            QString::fromLatin1(cases[i].message))))
            << cases[i].line << " in " << out[0].toStdString();
    EXPECT_TRUE(out[0].endsWith(QStringLiteral("nothing written"))) << out[0].toStdString();
    EXPECT_EQ(chip_register(0, 0x12), 0x0A);
}

// Only regular files (or a new one) are read or written, without waiting:
// anything else is refused by name and kind, and left as it was.
TEST_F(WorkbenchTest, FilesThatAreNotRegularAreRefused) {
    const std::string fifo = path("fifo").toStdString();
    if (!fifo_deadline::make_fifo(fifo))
        GTEST_SKIP() << "no FIFOs on this system";
    ASSERT_TRUE(test_platform::make_symlink(fifo, path("link").toStdString()));
    const QString device =
        QString::fromStdString(test_platform::character_device(path("null").toStdString()));
    const struct {
        QString file;
        const char *kind;
    } files[] = {{path("fifo"), "it is a FIFO"},
                 {device, "it is a character device"},
                 {dir.path(), "it is a directory"},
                 {path("link"), "it is a FIFO"},
                 {path("none/file"), "No such file or directory"}};
    // A recording that runs goes on when another file is refused.
    const QString running = path("running.csv");
    run(QStringLiteral("record(%1)").arg(running));
    for (const char *command : {"record", "load_registers", "save_registers", "export_registers"}) {
        for (const auto &f : files) {
            const QString line = QStringLiteral("%1(%2)").arg(QLatin1String(command), f.file);
            const QStringList out =
                fifo_deadline::call_within_deadline(fifo, [&] { return run(line); });
            ASSERT_EQ(out.size(), 1) << line.toStdString();
            EXPECT_TRUE(out[0].contains(f.file) && out[0].contains(QLatin1String(f.kind)))
                << out[0].toStdString();
        }
        EXPECT_TRUE(test_platform::is_fifo(fifo)) << command;
        EXPECT_TRUE(test_platform::is_character_device(device.toStdString())) << command;
    }
    EXPECT_TRUE(workbench.recorder().recording());
    EXPECT_EQ(workbench.recorder().path(), running);
}

// A load that fails partway reads the chip back and names exactly the
// registers that differ from the file, whatever the failed write had done.
TEST_F(WorkbenchTest, PartialLoadSaysWhatTheChipHolds) {
    const QString file = path("cfg.txt");
    write_file(file, QStringLiteral("R_DELAY_BUCK0 = 0x22\nR_DELAY_BUCK1 = 0x33\n"));
    const struct {
        const char *fault;
        int before[2]; // the chip's two registers before the load
        const char *expected;
    } rows[] = {
        // The adapter refuses the writes: what the chip held decides.
        {"refuse a8", {0x0A, 0x0B}, "2 of 2 registers differ from the file: R_DELAY_BUCK0 (file "
                                    "0x22, chip 0x0A), R_DELAY_BUCK1 (file 0x33, chip 0x0B)"},
        {"refuse a8", {0x22, 0x0B}, "1 of 2 registers differ from the file: R_DELAY_BUCK1 (file "
                                    "0x33, chip 0x0B)"},
        // A lost reply closes the adapter: it is opened again to read back.
        {"lose 1", {0x22, 0x33}, "all 2 registers hold the file's values"},
    };
    for (const auto &row : rows) {
        set_chip_register(0, 0x12, row.before[0]);
        set_chip_register(0, 0x13, row.before[1]);
        kit(row.fault);
        const QStringList out = run(QStringLiteral("load_registers(%1)").arg(file));
        kit("refuse off");
        ASSERT_FALSE(out.isEmpty());
        EXPECT_TRUE(out.last().startsWith(
            QStringLiteral("load_registers: write failed at R_DELAY_BUCK0;")))
            << out.last().toStdString();
        EXPECT_TRUE(out.last().contains(QString::fromLatin1(row.expected)))
            << out.last().toStdString();
    }
    EXPECT_TRUE(session.have_adapter());
    EXPECT_TRUE(host.log.contains(QStringLiteral("R_DELAY_BUCK0 = 0x22 (failed)")))
        << host.log.join(QLatin1Char('|')).toStdString();
}

TEST_F(WorkbenchTest, RecordingHasOneRowPerPollWithFaultAndConnectionEvents) {
    QStringList faults;
    QObject::connect(&workbench, &evalpanel::Workbench::fault_edge,
                     [&faults](const evalpanel::FaultEdge &e) { faults << e.text(); });
    const QString file = path("rec.csv");
    // Polling is off: the rows below come from polls run by hand.
    EXPECT_EQ(run(QStringLiteral("record(%1)").arg(file)),
              QStringList{QStringLiteral("recording to %1; polling is off: nothing is recorded "
                                         "until polling starts")
                              .arg(file)});
    session.poll();
    kit("flag SCP on");
    session.poll();
    kit("flag SCP off"); // latched: stays raised until cleared
    session.poll();
    session.clear_flags();
    session.poll();
    EXPECT_EQ(run(QStringLiteral("record()")), QStringList{QStringLiteral("recording stopped: 4 rows")});
    EXPECT_EQ(run(QStringLiteral("record()")), QStringList{QStringLiteral("not recording")});

    const QStringList lines = read_file(file).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 5);
    const QStringList header = lines[0].split(QLatin1Char(','));
    const int scp = static_cast<int>(header.indexOf(QStringLiteral("SCP")));
    const int events = static_cast<int>(header.indexOf(QStringLiteral("events")));
    ASSERT_GE(scp, 0);
    for (const char *column : {"time_s", "clock", "state", "mode_B5", "I_B0_mA", "VOUT_B5_V",
                               "board_C", "die_temp_level", "NPG_B5", "MASK_TEMP", "INT"})
        EXPECT_TRUE(header.contains(QString::fromLatin1(column))) << column;
    const char *expected_scp[] = {"0", "1", "1", "0"};
    const char *expected_events[] = {"", "SCP rise INT rise", "", "SCP fall INT fall"};
    for (int i = 1; i < lines.size(); ++i) {
        const QStringList row = lines[i].split(QLatin1Char(','));
        ASSERT_EQ(row.size(), header.size()) << lines[i].toStdString();
        EXPECT_EQ(row[2], QStringLiteral("ready"));
        EXPECT_EQ(row[scp], QString::fromLatin1(expected_scp[i - 1])) << i;
        EXPECT_TRUE(row[events].contains(QString::fromLatin1(expected_events[i - 1])))
            << row[events].toStdString();
    }

    // The adapter and the chip coming and going are events in the fault
    // history and the recording; polling stopped under a recording is said,
    // and comes back with the adapter.
    const QString again = path("again.csv");
    session.set_polling(true);
    QSignalSpy notes(&workbench, &evalpanel::Workbench::recording_note);
    EXPECT_EQ(run(QStringLiteral("record(%1)").arg(again)),
              QStringList{QStringLiteral("recording to %1").arg(again)});
    for (const char *fault : {"nack on", "nack off", "unplug"}) {
        kit(fault);
        session.poll();
    }
    EXPECT_FALSE(session.polling());
    kit("plug");
    session.connect_adapter();
    EXPECT_TRUE(session.polling()) << "polling was on when the adapter was lost";
    run("record()");
    QStringList edges;
    for (const QString &line : read_file(again).split('\n', Qt::SkipEmptyParts).mid(1))
        if (!line.section(',', -1).isEmpty())
            edges << line.section(',', -1);
    EXPECT_EQ(edges, (QStringList{"chip does not answer", "chip answers again", "adapter lost",
                                  "polling stopped: adapter lost", "adapter back",
                                  "polling started"}))
        << edges.join('|').toStdString();
    ASSERT_EQ(notes.count(), 2);
    EXPECT_EQ(notes[0][0].toString(),
              QStringLiteral("recording to %1: polling stopped: adapter lost; nothing is recorded "
                             "until polling starts again")
                  .arg(again));
    // The unmasked flag pulled the interrupt line with it.
    EXPECT_EQ(faults, (QStringList{"SCP rise", "INT rise", "SCP fall", "INT fall",
                                   "chip does not answer", "chip answers again", "adapter lost",
                                   "adapter back"}));
}

// The session's state against a file's header: another access level or page
// is said before the load, which goes ahead.
TEST_F(WorkbenchTest, HeaderOfAnotherLevelOrPageWarns) {
    const QString file = path("cfg.txt");
    write_file(file, QStringLiteral("# page: 0\n# access level: advanced\nR_DELAY_BUCK0 = 0x22\n"));
    const struct {
        QStringList setup;
        const char *warning;
    } rows[] = {
        {{"advanced"}, nullptr},
        {{"user"}, "warning: the file was saved at access level advanced; the chip is at user"},
        {{"advanced", "page(3)"},
         "warning: the file was saved with page 0 selected, page 3 is selected now"},
    };
    for (const auto &row : rows) {
        for (const QString &line : row.setup)
            run(line);
        set_chip_register(0, 0x12, 0x0A);
        const QStringList out = run(QStringLiteral("load_registers(%1)").arg(file));
        ASSERT_EQ(out.size(), row.warning ? 2 : 1) << out.join('|').toStdString();
        EXPECT_TRUE(!row.warning || out[0].contains(QLatin1String(row.warning))) << out[0].toStdString();
        EXPECT_EQ(chip_register(0, 0x12), 0x22) << row.setup.join(' ').toStdString();
    }
}

// Field by field: two files, or a file against the chip.
TEST_F(WorkbenchTest, ComparesConfigurationsFieldByField) {
    const QString a = path("a.txt"), b = path("b.txt");
    write_file(a, QStringLiteral("R_VSET_B0 = 0xB0\nR_DELAY_BUCK0 = 0x22\n"));
    write_file(b, QStringLiteral("VSET_B0 = 0x31\nEN_DIS_B0 = 1\nR_DELAY_BUCK1 = 0x01\n"));
    const auto files = evalpanel::compare_files(a, b);
    EXPECT_TRUE(files.error.isEmpty()) << files.error.toStdString();
    EXPECT_EQ(files.differences,
              (QStringList{"VSET_B0: 0x30 (980 mV) | 0x31 (990 mV)", "DELAY_B0: 0x22 (3.4 ms) | not set",
                           "DELAY_B1: not set | 0x1 (0.1 ms)"}))
        << files.differences.join('|').toStdString();
    set_chip_register(0, 0x00, 0xB0);
    set_chip_register(0, 0x12, 0x21);
    const auto chip = evalpanel::compare_with_chip(session, a);
    EXPECT_EQ(chip.differences, QStringList{"DELAY_B0: 0x22 (3.4 ms) | 0x21 (3.3 ms)"})
        << chip.differences.join('|').toStdString();
    // "Apply selected": the file's value of the chosen fields, and only those.
    ASSERT_EQ(chip.rows.size(), 1u);
    EXPECT_EQ(evalpanel::apply_fields(session, {{"DELAY_B0", unsigned(chip.rows[0].a_value)},
                                                {"BUCK_LOAD_CURR", 1u}}),
              QStringList{"BUCK_LOAD_CURR"});
    EXPECT_EQ(chip_register(0, 0x12), 0x22);
    EXPECT_TRUE(evalpanel::compare_with_chip(session, a).rows.empty());
    EXPECT_TRUE(evalpanel::compare_files(a, path("fifo-less/none.txt")).error.startsWith("cannot read"));
}

} // namespace
