#pragma once

namespace corvid {

// The operating-system class from a version: 0 unknown or not of the NT family, 1 for a major
// version below 5, else 2, 3, 4 for minor 0, 1, 2 or more. The worker checks the disk only for a
// class of 2 or less.
int osClassFromVersion(bool versionKnown, bool ntFamily, int major, int minor);

// iOsClass of this host.
int hostOsClass();

}  // namespace corvid
