#pragma once

#include <span>
#include <stdexcept>
#include <string>

#include "records/run_record.h"

namespace corvid {

// What a failure says of the record that failed.
enum class RecordFault {
    Passing,   // it may work later: a lock, a full disk, a server away
    Unusable,  // the file itself cannot serve: no database, damaged, read-only, a newer schema
};

// A production record that cannot be opened, read or written; the text names the file (or
// server) and the reason.
class RecordError : public std::runtime_error {
  public:
    explicit RecordError(const std::string& what, RecordFault fault = RecordFault::Passing)
        : std::runtime_error(what), fault_(fault) {}
    RecordFault fault() const { return fault_; }

  private:
    RecordFault fault_;
};

// Where the rows of ended runs go. The station keeps one; each implementation writes a row as
// one transaction, so a row is either there whole or not at all.
class RunRecordStore {
  public:
    virtual ~RunRecordStore() = default;
    // Throws RecordError when the row cannot be written.
    virtual void append(const RunRecord& record) = 0;
    // Several rows in their order. A store that can make them one transaction does; this one
    // writes them one by one and stops at the first that fails.
    virtual void appendAll(std::span<const RunRecord> records) {
        for (const RunRecord& record : records) {
            append(record);
        }
    }
};

}  // namespace corvid
