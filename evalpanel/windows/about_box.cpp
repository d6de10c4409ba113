#include "about_box.h"

#include "resources_init.h"

#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QStringList>
#include <QVBoxLayout>
#include <QtGlobal>

#include <cstdio>
#include <memory>

namespace evalpanel {
namespace {

int major_version(const QString &qt_version) {
    return qt_version.section(QLatin1Char('.'), 0, 0).toInt();
}

QLabel *centred_label(const QString &text, QWidget *parent) {
    auto *label = new QLabel(text, parent);
    label->setAlignment(Qt::AlignCenter);
    return label;
}

} // namespace

QString qt_framework_line(const QString &qt_version) {
    return QStringLiteral("This application uses Qt framework %1.").arg(qt_version);
}

QString qt_licence_line(const QString &qt_version) {
    const QString licence =
        major_version(qt_version) >= 5 ? QStringLiteral("3") : QStringLiteral("2.1");
    return QStringLiteral("Qt is licensed under the LGPL (%1).").arg(licence);
}

QString qt_source_line(const QString &qt_version) {
    // The release archive keeps every version under <major.minor>/<version>/.
    const QString series = qt_version.section(QLatin1Char('.'), 0, 1);
    const QString url =
        QStringLiteral("https://download.qt.io/archive/qt/%1/%2/single/").arg(series, qt_version);
    return QStringLiteral("Source code of Qt is available at <a href=\"%1\">%1</a>").arg(url);
}

QDialog *build_about_box(QWidget *parent) {
    register_resources();
    const QString qt_version = QString::fromLatin1(qVersion());

    auto dialog =
        std::make_unique<QDialog>(parent, Qt::Dialog | Qt::WindowTitleHint |
                                              Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    dialog->setObjectName(QStringLiteral("about_box"));
    auto *column = new QVBoxLayout(dialog.get());

    QLabel *logo = centred_label(QString(), dialog.get());
    logo->setObjectName(QStringLiteral("about_logo"));
    logo->setPixmap(QPixmap(QStringLiteral(":/images/kit_logo_2.PNG")));
    column->addWidget(logo);
    column->addWidget(centred_label(QString::fromLatin1(kKitName), dialog.get()));
    column->addWidget(centred_label(QString::fromLatin1(kVersionText), dialog.get()));
    column->addWidget(centred_label(qt_framework_line(qt_version), dialog.get()));
    column->addWidget(centred_label(qt_licence_line(qt_version), dialog.get()));

    QLabel *source = centred_label(qt_source_line(qt_version), dialog.get());
    source->setObjectName(QStringLiteral("about_source"));
    source->setTextFormat(Qt::RichText);
    // Selectable and reachable, but nothing opens the link.
    source->setOpenExternalLinks(false);
    source->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::LinksAccessibleByMouse |
                                    Qt::LinksAccessibleByKeyboard);
    column->addWidget(source);

    auto *row = new QHBoxLayout;
    auto *ok = new QPushButton(QStringLiteral("OK"), dialog.get());
    ok->setObjectName(QStringLiteral("about_ok"));
    ok->setDefault(true);
    QObject::connect(ok, &QPushButton::clicked, dialog.get(), &QDialog::accept);
    row->addStretch();
    row->addWidget(ok);
    row->addStretch();
    column->addLayout(row);

    char title[50];
    std::snprintf(title, sizeof title, "About %s", kKitName);
    dialog->setWindowTitle(QString::fromLatin1(title));

    dialog->setGeometry(100, 200, 300, 300);
    column->setSizeConstraint(QLayout::SetFixedSize);
    dialog->setModal(true);
    return dialog.release();
}

void show_about_box(QWidget *parent) {
    std::unique_ptr<QDialog> dialog(build_about_box(parent));
    dialog->exec();
}

} // namespace evalpanel
