#pragma once

#include <QApplication>

namespace corvid::gui {

// The program's application object: an error that reaches the event loop from a handler is
// shown to the operator in a message box, and the station goes on.
class StationApplication : public QApplication {
  public:
    StationApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

}  // namespace corvid::gui
