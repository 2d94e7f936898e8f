#include "gui/station_application.h"

#include <QMessageBox>
#include <cstdio>
#include <exception>

namespace corvid::gui {

StationApplication::StationApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool StationApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "corvid: %s\n", error.what());
        QMessageBox::critical(activeWindow(), applicationName(), QString::fromUtf8(error.what()));
    }
    return false;
}

}  // namespace corvid::gui
