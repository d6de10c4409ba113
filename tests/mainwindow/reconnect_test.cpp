// Reconnection while the program keeps using the lost adapter: every failed
// transfer asks for a reconnection, and none of them may postpone the attempt
// that is already due.
#include <QElapsedTimer>

#include "console/console.h"
#include "window_fixture.h"

namespace {

// Runs a console line every `period_ms` (events in between) until `done`
// holds or `limit_ms` have passed.
template <typename Done>
bool keep_typing(MainWindow &window, const char *line, int period_ms, int limit_ms, Done done) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < limit_ms) {
        window.command_console().interpreter().parse_cmd(line);
        if (done())
            return true;
        QTest::qWait(period_ms);
    }
    return done();
}

} // namespace

TEST_F(WindowTest, ReconnectsWhileConsoleCommandsKeepFailing) {
    open_powered();
    kit("unplug");
    window->command_console().interpreter().parse_cmd("VSET_B0");
    ASSERT_EQ(state(), evalpanel::kNotConnected);
    ASSERT_TRUE(window->reconnect_timer()->isActive());

    // A failing command every 100 ms, more often than the 500 ms between
    // attempts: the attempt still comes.
    kit("plug");
    EXPECT_TRUE(keep_typing(*window, "VSET_B0", 100, 3000, [&] { return kit_pin(0, 3) == 1; }))
        << "the program did not open the replugged adapter";
    EXPECT_NE(state(), evalpanel::kNotConnected);
}

TEST_F(WindowTest, FailuresWhileAnAttemptIsDueKeepItsTime) {
    open_powered();
    kit("unplug");
    window->command_console().interpreter().parse_cmd("VSET_B0");
    QTimer *reconnect = window->reconnect_timer();
    ASSERT_TRUE(reconnect->isActive());
    QTest::qSleep(200);
    window->command_console().interpreter().parse_cmd("VSET_B0");
    EXPECT_TRUE(reconnect->isActive());
    EXPECT_LE(reconnect->remainingTime(), 350) << "the countdown started again";
}
