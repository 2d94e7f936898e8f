#include "station/os_class.h"

namespace corvid {

int hostOsClass() {
    // On Linux the check-disk step is fsck.fat, which works on every version, so the station
    // takes the class that lets the step run.
    constexpr int kClassWithCheckDisk = 2;
    return kClassWithCheckDisk;
}

}  // namespace corvid
