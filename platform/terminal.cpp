#include "platform/terminal.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "platform/terminal_system.h"

namespace corvid {

namespace {

std::atomic<int> interrupts{0};
std::atomic<bool> counterActive{false};

extern "C" void countInterrupt(int) {
    interrupts.fetch_add(1);
}

}  // namespace

bool standardOutputWantsColour() {
    const char* noColour = std::getenv("NO_COLOR");
    const char* term = std::getenv("TERM");
    return standardOutputIsTerminal() && (noColour == nullptr || *noColour == '\0') &&
           !(term != nullptr && std::strcmp(term, "dumb") == 0);
}

int standardOutputColumns() {
    if (const std::optional<int> columns = terminal_system::columns()) {
        return *columns;
    }
    if (const char* columns = std::getenv("COLUMNS"); columns != nullptr) {
        const int value = std::atoi(columns);
        if (value > 0) {
            return value;
        }
    }
    return 80;
}

InterruptCounter::InterruptCounter() {
    if (counterActive.exchange(true)) {
        throw std::logic_error("only one InterruptCounter may exist at a time");
    }
    interrupts = 0;
    terminal_system::handleStopSignals(countInterrupt);
}

InterruptCounter::~InterruptCounter() {
    terminal_system::handleStopSignals(SIG_DFL);
    counterActive = false;
}

int InterruptCounter::count() const {
    return interrupts.load();
}

}  // namespace corvid
