// A fixture for check_no_shell: one line it must name, one it must leave alone.
#include <cstdlib>

void tidy(const char* folder) {
    SystemDisks system(folder);
    std::system(folder);
}
