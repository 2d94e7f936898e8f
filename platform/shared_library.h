#pragma once

#include <stdexcept>
#include <string>

namespace corvid {

// A shared library that could not be loaded, or lacks a function asked for; what() gives the
// library's file name and the system's reason.
class SharedLibraryError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A shared library loaded while the program runs, for what only some commands need (the record's
// SQLite and PostgreSQL clients): the programs that never use it do not pay for loading it at
// their start. It stays loaded for the program's life, so the functions found in it stay valid.
class SharedLibrary {
  public:
    // Throws SharedLibraryError when the library cannot be loaded.
    explicit SharedLibrary(const std::string& fileName);

    // The function 'name' of the library as the type 'Function'; throws SharedLibraryError when
    // the library has no such function.
    template <typename Function>
    Function function(const char* name) const {
        return reinterpret_cast<Function>(address(name));
    }

  private:
    void* address(const char* name) const;

    std::string fileName_;
    void* handle_ = nullptr;
};

}  // namespace corvid
