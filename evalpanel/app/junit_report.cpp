#include "app/junit_report.h"

#include <QXmlStreamWriter>

namespace evalpanel {

namespace {

// XML 1.0 has no form at all for most control characters: they become
// U+FFFD rather than a file that no reader takes.
QString xml_text(const QString &text) {
    QString out = text;
    for (QChar &c : out) {
        const char16_t u = c.unicode();
        if ((u < 0x20 && u != '\t' && u != '\n' && u != '\r') || u == 0xFFFE || u == 0xFFFF)
            c = QChar(0xFFFD);
    }
    return out;
}

QString seconds_text(double seconds) { return QString::number(seconds, 'f', 3); }

QString where(const QString &file, int line) {
    return line > 0 ? QStringLiteral("%1:%2").arg(file).arg(line) : file;
}

} // namespace

QByteArray junit_report(const QString &script, const console::ConsoleEngine::BatchResult &result,
                        double seconds) {
    int failures = 0, errors = 0;
    for (const auto &check : result.checks) {
        if (!check.failure.isNull())
            ++(check.compared ? failures : errors);
    }
    // The error that stopped the run, unless it was an expect's own.
    const bool last_check_stopped =
        !result.checks.empty() && !result.checks.back().failure.isNull() &&
        result.checks.back().file == result.file && result.checks.back().line == result.line;
    const bool stop_case = !result.ok && !last_check_stopped;
    const int tests = static_cast<int>(result.checks.size()) + (stop_case ? 1 : 0);
    errors += stop_case ? 1 : 0;

    QByteArray xml;
    QXmlStreamWriter w(&xml);
    w.setAutoFormatting(true);
    w.writeStartDocument();
    w.writeStartElement(QStringLiteral("testsuites"));
    const auto counts = [&] {
        w.writeAttribute(QStringLiteral("tests"), QString::number(tests));
        w.writeAttribute(QStringLiteral("failures"), QString::number(failures));
        w.writeAttribute(QStringLiteral("errors"), QString::number(errors));
        w.writeAttribute(QStringLiteral("time"), seconds_text(seconds));
    };
    counts();
    w.writeStartElement(QStringLiteral("testsuite"));
    w.writeAttribute(QStringLiteral("name"), xml_text(script));
    counts();
    const auto testcase = [&](const QString &file, int line, double took, const char *element,
                              const QString &message, const QString &from) {
        w.writeStartElement(QStringLiteral("testcase"));
        w.writeAttribute(QStringLiteral("classname"), xml_text(script));
        w.writeAttribute(QStringLiteral("name"), xml_text(where(file, line)));
        w.writeAttribute(QStringLiteral("time"), seconds_text(took));
        if (element != nullptr) {
            w.writeStartElement(QLatin1String(element));
            w.writeAttribute(QStringLiteral("message"), xml_text(message));
            w.writeCharacters(xml_text(where(file, line) + from + QStringLiteral(": ") + message));
            w.writeEndElement();
        }
        w.writeEndElement();
    };
    for (const auto &c : result.checks)
        testcase(c.file, c.line, c.seconds,
                 c.failure.isNull() ? nullptr : c.compared ? "failure" : "error", c.failure,
                 c.from);
    if (stop_case)
        testcase(result.file, result.line, 0, "error", result.message, result.from);
    w.writeEndElement();
    w.writeEndElement();
    w.writeEndDocument();
    return xml;
}

} // namespace evalpanel
