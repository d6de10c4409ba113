#include "slot_name_filter.h"

#include <utility>

namespace evalpanel {
namespace {

// The innermost active filter; filters nest like scopes on the GUI thread.
UnmatchedSlotFilter *g_active = nullptr;

const QString kNoMatch = QStringLiteral("QMetaObject::connectSlotsByName: No matching signal for ");

} // namespace

UnmatchedSlotFilter::UnmatchedSlotFilter(QStringList slot_signatures)
    : slots_(std::move(slot_signatures)), outer_(g_active) {
    g_active = this;
    previous_ = qInstallMessageHandler(&UnmatchedSlotFilter::handler);
}

UnmatchedSlotFilter::~UnmatchedSlotFilter() {
    qInstallMessageHandler(previous_);
    g_active = outer_;
}

void UnmatchedSlotFilter::handler(QtMsgType type, const QMessageLogContext &context,
                                  const QString &message) {
    UnmatchedSlotFilter *self = g_active;
    if (!self)
        return;
    if (message.startsWith(kNoMatch) && self->slots_.contains(message.mid(kNoMatch.size())))
        return;
    if (self->previous_)
        self->previous_(type, context, message);
}

} // namespace evalpanel
