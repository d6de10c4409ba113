// The bench tools in the main window's menus: "File" -> "Save Registers",
// "Load Registers", "Export Registers as C Header…", "Compare
// Configurations…", "Record Telemetry…"; "Tools" -> "Register Map"; "View"
// -> "Telemetry", "Power-Up Sequence"; "Help" -> "Open Session Log Folder".
// Each action calls the device layer or opens its window;
// none adds a slot to MainWindow.
#pragma once

class MainWindow;
class RegisterMapWindow;
class TelemetryWindow;
class PowerUpWindow;

struct WorkbenchWindows {
    RegisterMapWindow *register_map = nullptr;
    TelemetryWindow *telemetry = nullptr;
    PowerUpWindow *power_up = nullptr;
};

// Adds the actions and creates the (hidden) windows; the windows are the
// main window's children.
WorkbenchWindows install_workbench(MainWindow &window);
