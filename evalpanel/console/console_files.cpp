// The console's file commands: save_registers, export_registers and
// load_registers (configuration files) and record (the telemetry recording).
#include "command_interpreter.h"

#include <optional>

#include "device/configuration.h"
#include "device/device_session.h"
#include "device/workbench.h"

namespace console {

// save_registers(FILE): the configurable registers, read live, as a script.
int CommandInterpreter::save_registers(const char *line) {
    return write_registers_file(line, "save_registers", "saved", evalpanel::save_registers);
}

// export_registers(FILE): the same registers as a C header for firmware.
int CommandInterpreter::export_registers(const char *line) {
    return write_registers_file(line, "export_registers", "exported",
                                [](evalpanel::DeviceSession &s, const QString &path) {
                                    return evalpanel::export_registers(s, path);
                                });
}

int CommandInterpreter::write_registers_file(
    const char *line, const char *name, const char *done,
    evalpanel::SaveResult (*write)(evalpanel::DeviceSession &, const QString &)) {
    const auto file = call_argument(line, name);
    if (!file)
        return -1;
    if (file->isEmpty())
        return fail(QStringLiteral("%1 needs a file name: %1(FILE)").arg(QLatin1String(name)));
    const evalpanel::SaveResult r = write(session_, *file);
    if (r.registers < 0)
        return fail(QStringLiteral("%1: %2").arg(QLatin1String(name), r.error));
    print(QStringLiteral("%1 %2 registers to %3")
              .arg(QLatin1String(done))
              .arg(r.registers)
              .arg(*file));
    return 1;
}

// load_registers(FILE): the whole file is checked first; a bad line writes
// nothing.
int CommandInterpreter::load_registers(const char *line) {
    const auto file = call_argument(line, "load_registers");
    if (!file)
        return -1;
    if (file->isEmpty()) {
        return fail(QStringLiteral("load_registers needs a file name: load_registers(FILE)"));
    }
    const evalpanel::LoadResult r = evalpanel::load_registers(session_, *file);
    if (r.registers > 0 || r.error.isEmpty())
        workbench_.set_loaded_configuration(r.plan);
    for (const QString &warning : r.warnings)
        print(QStringLiteral("load_registers: warning: %1").arg(warning));
    if (!r.error.isEmpty())
        return fail(QStringLiteral("load_registers: %1").arg(r.error));
    print(QStringLiteral("loaded %1 registers from %2").arg(r.registers).arg(*file));
    for (const QString &name : r.not_taken)
        print(QStringLiteral("did not take: %1").arg(name));
    return 1;
}

// record(FILE) starts a CSV recording of every status poll; record() stops it.
int CommandInterpreter::record(const char *line) {
    const auto file = call_argument(line, "record");
    if (!file)
        return -1;
    auto &bench = workbench_;
    if (file->isEmpty()) {
        const int rows = bench.stop_recording();
        print(rows < 0 ? QStringLiteral("not recording")
                       : QStringLiteral("recording stopped: %1 rows").arg(rows));
        return 1;
    }
    QString error;
    if (!bench.start_recording(*file, &error))
        return fail(QStringLiteral("record: %1").arg(error));
    print(evalpanel::recording_started_text(*file, session_.polling()));
    return 1;
}

} // namespace console
