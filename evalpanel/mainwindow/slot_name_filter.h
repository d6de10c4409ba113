// Slots that keep their historical on_<object>_<signal> names although the
// signal they follow has been renamed (QAction::activated() is triggered(),
// QButtonGroup::buttonClicked(int) is idClicked(int)). They are connected by
// hand; this guard keeps connectSlotsByName, which every generated setupUi
// runs, from warning about exactly those slots, and lets every other message
// through, so an unexpected "No matching signal" still shows.
#pragma once

#include <QStringList>
#include <QtGlobal>

namespace evalpanel {

class UnmatchedSlotFilter {
  public:
    // `slot_signatures` as the meta-object writes them, e.g.
    // "on_actionAbout_activated()".
    explicit UnmatchedSlotFilter(QStringList slot_signatures);
    ~UnmatchedSlotFilter();
    UnmatchedSlotFilter(const UnmatchedSlotFilter &) = delete;
    UnmatchedSlotFilter &operator=(const UnmatchedSlotFilter &) = delete;

  private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &message);

    QStringList slots_;
    QtMessageHandler previous_ = nullptr;
    UnmatchedSlotFilter *outer_ = nullptr;
};

} // namespace evalpanel
