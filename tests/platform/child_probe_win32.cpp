// A small child for the Windows process-runner tests (Wine has no /bin/sh): each argument is one
// step, done in order.
//   exit N        end with exit code N
//   copy-input    copy standard input to standard output
//   print TEXT    TEXT and a line end on standard output
//   complain TEXT TEXT and a line end on standard error
//   env NAME      the variable's value (or "(unset)") on standard output
//   sleep MS      wait
//   priority      its own priority class, in decimal, on standard output

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string step = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : "";
        if (step == "exit") {
            return std::atoi(value);
        }
        if (step == "priority") {
            std::cout << GetPriorityClass(GetCurrentProcess()) << std::endl;
            continue;
        }
        if (step == "copy-input") {
            std::cout << std::cin.rdbuf() << std::flush;
            continue;
        }
        ++i;
        if (step == "print") {
            std::cout << value << std::endl;
        } else if (step == "complain") {
            std::cerr << value << std::endl;
        } else if (step == "env") {
            const char* found = std::getenv(value);
            std::cout << (found != nullptr ? found : "(unset)") << std::endl;
        } else if (step == "sleep") {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(value)));
        } else {
            std::cerr << "child_probe: unknown step " << step << std::endl;
            return 99;
        }
    }
    return 0;
}
