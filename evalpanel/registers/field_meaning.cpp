// The meanings of the RX5120's field values. The lists follow the chip's
// tables; the main window's selectors show the same values (in their own
// wording: "mV/us" there, "mV/µs" here).
#include "registers/field_meaning.h"

#include <QRegularExpression>

#include <algorithm>
#include <QStringList>

#include "registers/field_units.h"
#include "registers/register_map.h"

namespace evalpanel {

namespace {

enum class Kind {
    Listed,  // a list of texts from value `first` on; others are not in the table
    Voltage, // VSET: 600 mV at 10, 10 mV steps up to 1670 mV
    Delay,   // 0.1 ms steps, 255 never
    Current, // BUCK_LOAD_CURR: 10 mA steps
    Number,  // a plain number
};

struct Family {
    const char *base; // the name without its buck suffix
    Kind kind;
    unsigned first;   // the value of the first listed text
    QStringList texts;
    const char *description; // "%1" is the buck's name
};

QStringList amps(double from, double step, int n) {
    QStringList out;
    for (int i = 0; i < n; ++i)
        out << QStringLiteral("%1 A").arg(from + step * i, 0, 'f', 1);
    return out;
}

const std::vector<Family> &families() {
    static const QString on = QStringLiteral("on"), off = QStringLiteral("off");
    static const std::vector<Family> list = {
        {"VSET", Kind::Voltage, 0, {}, "Output voltage of %1."},
        {"EN_DIS", Kind::Listed, 0, {QStringLiteral("disabled"), QStringLiteral("enabled")},
         "Enables %1."},
        {"FPWM", Kind::Listed, 0, {QStringLiteral("PFM/PWM automatic"), QStringLiteral("forced PWM")},
         "Keeps %1 in PWM at light load."},
        {"OC_LEV", Kind::Listed, 0, amps(1.5, 0.5, 3), "Current limit of %1."},
        {"LP", Kind::Listed, 0, {off, QStringLiteral("low-power PFM")},
         "Low-power (ECO) variant of PFM for %1."},
        {"RDIS", Kind::Listed, 0, {off, QStringLiteral("pull-down on")},
         "Output pull-down resistor of %1 while it is off."},
        {"RAMP", Kind::Listed, 0,
         {QStringLiteral("30 mV/µs"), QStringLiteral("15 mV/µs"), QStringLiteral("7.5 mV/µs"),
          QStringLiteral("3.8 mV/µs"), QStringLiteral("1.9 mV/µs"), QStringLiteral("0.94 mV/µs"),
          QStringLiteral("0.47 mV/µs"), QStringLiteral("0.23 mV/µs")},
         "Output voltage ramp of %1."},
        {"TEMP", Kind::Listed, 0,
         {QStringLiteral("level 0 (cool)"), QStringLiteral("level 1"), QStringLiteral("level 2"),
          QStringLiteral("level 3 (hot)")},
         "Die temperature level; a level above 0 raises INT unless MASK_TEMP is set."},
        {"NPG", Kind::Listed, 0, {QStringLiteral("power good"), QStringLiteral("power not good")},
         "Power-not-good flag of %1; writing 0 clears it."},
        {"DELAY", Kind::Delay, 0, {}, "Start-up delay of %1 after NRST rises."},
        {"DIE_REV", Kind::Number, 0, {}, "Revision of the die."},
        {"OTP_REV", Kind::Number, 0, {}, "Revision of the one-time-programmed settings."},
        {"DEVICE", Kind::Number, 0, {}, "Device variant."},
        {"PFM_ENTRY", Kind::Listed, 0,
         {QStringLiteral("100 mA"), QStringLiteral("125 mA"), QStringLiteral("150 mA"),
          QStringLiteral("175 mA"), QStringLiteral("225 mA")},
         "Load current below which %1 enters PFM."},
        {"PFM_EXIT", Kind::Listed, 3,
         {QStringLiteral("175 mA"), QStringLiteral("225 mA"), QStringLiteral("275 mA"),
          QStringLiteral("325 mA"), QStringLiteral("375 mA")},
         "Load current above which %1 leaves PFM."},
        {"ADD_PH", Kind::Listed, 0, amps(0.3, 0.1, 8), "Current per phase at which %1 adds a phase."},
        {"SHED_PH", Kind::Listed, 0, amps(0.3, 0.1, 8),
         "Current per phase at which %1 sheds a phase."},
        {"LOAD_CURRENT_SOURCE", Kind::Listed, 0,
         {QStringLiteral("Buck0"), QStringLiteral("Buck1"), QStringLiteral("Buck2"),
          QStringLiteral("Buck3"), QStringLiteral("Buck4"), QStringLiteral("Buck5"),
          QStringLiteral("all bucks (total)"), QStringLiteral("none")},
         "Which buck's load current the chip measures (the program's measurement setting)."},
        {"BUCK_LOAD_CURR", Kind::Current, 0, {}, "Load current measured from the selected source."},
        {"SW_RESET", Kind::Listed, 0, {QStringLiteral("idle"), QStringLiteral("reset")},
         "Writing 1 puts every register back to its default."},
        {"LP_EN", Kind::Listed, 0, {QStringLiteral("Disabled"), QStringLiteral("Enabled")},
         "ECO mode global control."},
        {"SLP_POL", Kind::Listed, 0, {QStringLiteral("Low"), QStringLiteral("High (SLP)")},
         "Polarity of the NSLP pin."},
        {"DIS_DIF", Kind::Listed, 0, {QStringLiteral("Enabled"), QStringLiteral("Disabled")},
         "Differential output sensing of %1."},
        {"EN_SS", Kind::Listed, 0, {QStringLiteral("Disabled"), QStringLiteral("Enabled")},
         "Spread spectrum of the switching clock."},
    };
    return list;
}

// The flags and masks, by their names: raised or clear, masked or not.
const QStringList &flag_names() {
    static const QStringList names = {QStringLiteral("I_LOAD_READY"), QStringLiteral("UVLO"),
                                      QStringLiteral("T_WARNING"), QStringLiteral("THSD"),
                                      QStringLiteral("OVP"), QStringLiteral("SCP")};
    return names;
}

struct Found {
    const Family *family = nullptr;
    QString buck; // "Buck3", or empty
};

Found find(const QString &name) {
    static const QRegularExpression kBuck(QStringLiteral("^(.*)_B([0-5])$"));
    QString base = name;
    Found found;
    if (const auto m = kBuck.match(name); m.hasMatch()) {
        base = m.captured(1);
        found.buck = QStringLiteral("Buck") + m.captured(2);
    }
    for (const Family &f : families())
        if (base == QLatin1String(f.base))
            found.family = &f;
    return found;
}

QString not_in_table(unsigned value) {
    return QStringLiteral("%1: not in the table").arg(value);
}

} // namespace

QString field_value_text(const FieldInfo &field, unsigned value) {
    if (field.name.startsWith(QLatin1String("MASK_")))
        return value != 0 ? QStringLiteral("masked") : QStringLiteral("reaches INT");
    if (flag_names().contains(field.name))
        return value != 0 ? QStringLiteral("raised") : QStringLiteral("clear");
    const Found f = find(field.name);
    if (f.family == nullptr)
        return QString::number(value);
    switch (f.family->kind) {
    case Kind::Voltage:
        return value >= kOutputVoltageFirstItem && value <= kOutputVoltageLastItem
                   ? QStringLiteral("%1 mV").arg(kOutputVoltageZeroMv + kOutputVoltageStepMv * value)
                   : not_in_table(value);
    case Kind::Delay:
        return value == kDelayNever ? QStringLiteral("never")
                                    : QStringLiteral("%1 ms").arg(value * kDelayStepMs, 0, 'f', 1);
    case Kind::Current:
        return QStringLiteral("%1 mA").arg(kLoadCurrentStepMa * value);
    case Kind::Number:
        return QString::number(value);
    case Kind::Listed:
        break;
    }
    const auto &texts = f.family->texts;
    return value >= f.family->first && value - f.family->first < static_cast<unsigned>(texts.size())
               ? texts[static_cast<qsizetype>(value - f.family->first)]
               : not_in_table(value);
}

std::vector<std::pair<unsigned, QString>> field_choices(const FieldInfo &field) {
    std::vector<std::pair<unsigned, QString>> out;
    const Found f = find(field.name);
    const bool two_state = field.name.startsWith(QLatin1String("MASK_")) ||
                           flag_names().contains(field.name);
    const bool listed = f.family != nullptr && (f.family->kind == Kind::Listed ||
                                                f.family->kind == Kind::Voltage ||
                                                f.family->kind == Kind::Delay);
    if (!two_state && !listed)
        return out;
    const unsigned count = field.width >= 16 ? 0u : 1u << field.width;
    for (unsigned v = 0; v < count; ++v) {
        const QString text = field_value_text(field, v);
        if (!text.endsWith(QLatin1String(": not in the table")))
            out.emplace_back(v, text);
    }
    return out;
}

QString field_description(const FieldInfo &field) {
    if (field.name.startsWith(QLatin1String("MASK_")))
        return QStringLiteral("Keeps %1 from raising INT.").arg(field.name.mid(5));
    if (flag_names().contains(field.name))
        return QStringLiteral("Flag raised by the chip; writing 0 clears it.");
    const Found f = find(field.name);
    if (f.family == nullptr)
        return QString();
    const QString text = QString::fromUtf8(f.family->description);
    return text.contains(QLatin1String("%1")) ? text.arg(f.buck) : text;
}

QString register_meaning(const RegisterInfo &reg, std::span<const uint8_t, 256> image) {
    const auto &fields = register_map().fields;
    std::vector<int> order = reg.fields;
    std::stable_sort(order.begin(), order.end(), [&fields](int a, int b) {
        return fields[static_cast<size_t>(a)].segments[0].high >
               fields[static_cast<size_t>(b)].segments[0].high;
    });
    QStringList parts;
    for (int i : order) {
        const FieldInfo &f = fields[static_cast<size_t>(i)];
        parts << QStringLiteral("%1 = %2").arg(f.name, field_value_text(f, f.value_in(image)));
    }
    return parts.join(QStringLiteral(", "));
}

} // namespace evalpanel
