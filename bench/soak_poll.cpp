// Loaded into evalpanel-virtual with LD_PRELOAD by scripts/soak: keeps "Poll
// Status" ticked the way a user at the window would. The program unticks it
// when the adapter is lost; once the status bar no longer says "not
// connected", the box is ticked again. Each tick, and every ten seconds a
// summary, is reported on stderr for the soak script.
//
// It uses nothing of the program but the names of its widgets, so the
// program under test is the unchanged executable.
#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QMainWindow>
#include <QTimer>

#include <cstdio>

namespace {

constexpr int kSampleMs = 200;
constexpr int kReportEvery = 50; // samples: ten seconds

struct Watch {
    long ticks = 0;
    long samples = 0;
    long polling = 0;
};

QMainWindow *main_window() {
    for (QWidget *w : QApplication::topLevelWidgets())
        if (auto *m = qobject_cast<QMainWindow *>(w); m != nullptr && m->isVisible())
            return m;
    return nullptr;
}

// The connection label of the status bar: "not connected", "ready" or "NACK".
bool adapter_connected(QMainWindow *window) {
    bool seen = false;
    for (QLabel *label : window->findChildren<QLabel *>()) {
        const QString text = label->text().trimmed();
        if (text == QLatin1String("not connected"))
            return false;
        if (text == QLatin1String("ready") || text == QLatin1String("NACK"))
            seen = true;
    }
    return seen;
}

void sample(Watch &watch) {
    QMainWindow *window = main_window();
    if (window == nullptr)
        return;
    auto *box = window->findChild<QCheckBox *>(QStringLiteral("pollstatus"));
    if (box == nullptr)
        return;
    ++watch.samples;
    if (box->isChecked()) {
        ++watch.polling;
    } else if (box->isEnabled() && adapter_connected(window)) {
        box->click();
        ++watch.ticks;
        std::fprintf(stderr, "soak-poll: ticked Poll Status (%ld)\n", watch.ticks);
    }
    if (watch.samples % kReportEvery == 0)
        std::fprintf(stderr, "soak-poll: polling on in %ld of %ld samples\n", watch.polling,
                     watch.samples);
}

void start_watch() {
    auto *timer = new QTimer(QCoreApplication::instance());
    auto *watch = new Watch;
    QObject::connect(timer, &QObject::destroyed, [watch] { delete watch; });
    QObject::connect(timer, &QTimer::timeout, [watch] { sample(*watch); });
    timer->start(kSampleMs);
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(start_watch)
