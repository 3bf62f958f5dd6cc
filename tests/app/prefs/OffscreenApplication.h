#pragma once
// One QApplication for the widget tests, on the offscreen platform unless one is named, and
// QSettings stores ("Qarn", "Qarn" among them) redirected into a directory of the test's own.

#include <QApplication>
#include <QSettings>
#include <QTemporaryDir>

namespace qarn::testing {

inline QApplication& offscreenApplication() {
    static int argc = 1;
    static char name[] = "qarn_tests";
    static char* argv[] = {name, nullptr};
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    static QApplication* application = new QApplication(argc, argv); // lives to the end, as in a program
    return *application;
}

inline void redirectSettings(const QTemporaryDir& dir) {
    for (auto format : {QSettings::NativeFormat, QSettings::IniFormat})
        for (auto scope : {QSettings::UserScope, QSettings::SystemScope})
            QSettings::setPath(format, scope, dir.path() + (scope == QSettings::UserScope ? "/user" : "/system"));
}

}  // namespace qarn::testing
