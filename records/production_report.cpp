#include "records/production_report.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <system_error>
#include <type_traits>

#include "records/run_record_fields.h"
#include "records/run_record_store.h"

namespace corvid {

namespace {

double percent(int part, int whole) {
    return whole == 0 ? 0.0 : 100.0 * part / whole;
}

std::string fixed(double value, const char* unit) {
    char text[64];
    std::snprintf(text, sizeof text, "%.1f%s", value, unit);
    return text;
}

// Columns a terminal gives the text: one per character, two for the wide East Asian ones
// (status texts and flash names may be Chinese).
std::size_t displayWidth(std::string_view text) {
    std::size_t width = 0;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        char32_t code = length == 1 ? lead : lead & (0x3F >> (length - 1));
        for (std::size_t k = 1; k < length && i + k < text.size(); ++k) {
            code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        }
        const bool wide =
            (code >= 0x1100 && code <= 0x115F) || (code >= 0x2E80 && code <= 0xA4CF) ||
            (code >= 0xAC00 && code <= 0xD7A3) || (code >= 0xF900 && code <= 0xFAFF) ||
            (code >= 0xFE30 && code <= 0xFE4F) || (code >= 0xFF00 && code <= 0xFF60) ||
            (code >= 0xFFE0 && code <= 0xFFE6) || (code >= 0x20000 && code <= 0x3FFFD);
        width += wide ? 2 : 1;
        i += length;
    }
    return width;
}

// A text on one line of a table: each run of control characters (a status text may hold a line
// break) becomes one blank.
std::string oneLine(std::string_view text) {
    std::string line;
    bool control = false;
    for (const char c : text) {
        const bool isControl = static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
        if (!isControl) {
            line += c;
        } else if (!control) {
            line += ' ';
        }
        control = isControl;
    }
    return line;
}

struct Column {
    std::string header;
    bool right = false;  // numbers are aligned to the right
};

// A table indented by two, columns two apart, the last one left unpadded.
void renderTable(std::ostringstream& out, const std::vector<Column>& columns,
                 std::vector<std::vector<std::string>> rows) {
    for (auto& row : rows) {
        for (std::string& cell : row) {
            cell = oneLine(cell);
        }
    }
    std::vector<std::size_t> widths;
    for (const Column& column : columns) {
        widths.push_back(displayWidth(column.header));
    }
    for (const auto& row : rows) {
        for (std::size_t c = 0; c < row.size(); ++c) {
            widths[c] = std::max(widths[c], displayWidth(row[c]));
        }
    }
    const auto line = [&](const std::vector<std::string>& cells) {
        std::string text = " ";
        for (std::size_t c = 0; c < cells.size(); ++c) {
            const std::string padding(widths[c] - displayWidth(cells[c]), ' ');
            const bool last = c + 1 == cells.size();
            text += ' ';
            text += columns[c].right ? padding + cells[c] : cells[c] + (last ? "" : padding);
            text += last ? "" : " ";
        }
        out << text << "\n";
    };
    std::vector<std::string> headers;
    for (const Column& column : columns) {
        headers.push_back(column.header);
    }
    line(headers);
    for (const auto& row : rows) {
        line(row);
    }
}

std::string csvValue(const std::string& value) {
    return csvField(value);
}
std::string csvValue(char value) {
    return value == 0 ? std::string() : std::string(1, value);
}
std::string csvValue(RunEnd value) {
    return std::string(runEndName(value));
}
std::string csvValue(bool value) {
    return value ? "1" : "0";
}
std::string csvValue(int value) {
    return std::to_string(value);
}
std::string csvValue(std::int64_t value) {
    return std::to_string(value);
}
std::string csvValue(double value) {
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

}  // namespace

ProductionSummary summariseRuns(const std::vector<RunRecord>& rows) {
    ProductionSummary summary;
    std::map<std::string, DayYield> days;
    std::map<std::string, FlashYield> flashIds;
    std::map<std::string, std::pair<std::string, int>> failures;      // key: first text, count
    std::map<std::string, std::pair<StationYield, double>> stations;  // and their seconds
    double seconds = 0;
    double passedSeconds = 0;
    for (const RunRecord& row : rows) {
        ++summary.runs;
        seconds += row.seconds;
        if (row.passed) {
            ++summary.passed;
            passedSeconds += row.seconds;
        } else if (row.end == RunEnd::Removed) {
            ++summary.removed;
        } else if (row.end == RunEnd::Stopped) {
            ++summary.stopped;
        } else {
            auto& [text, count] = failures[row.failureKey];
            if (count++ == 0) {
                text = row.finalStatus;
            }
        }
        const std::string date = row.startTime.substr(0, 10);
        DayYield& day = days[date];
        day.date = date;
        ++day.total;
        ++(row.passed ? day.passed : day.failed);
        FlashYield& flash = flashIds[row.flashId];
        flash.flashId = row.flashId;
        if (flash.flashName.empty()) {
            flash.flashName = row.flashName;
        }
        ++flash.total;
        flash.passed += row.passed ? 1 : 0;
        auto& [station, stationSeconds] = stations[row.station];
        station.station = row.station;
        ++station.total;
        station.passed += row.passed ? 1 : 0;
        stationSeconds += row.seconds;
    }
    for (auto& [date, day] : days) {
        summary.days.push_back(day);
    }
    for (auto& [id, flash] : flashIds) {
        summary.flashIds.push_back(flash);
    }
    for (auto& [name, station] : stations) {
        station.first.meanSeconds = station.second / station.first.total;
        summary.stations.push_back(station.first);
    }
    for (const auto& [key, failure] : failures) {
        summary.failures.push_back({key, failure.first, failure.second});
    }
    if (summary.runs > 0) {
        summary.meanSeconds = seconds / summary.runs;
    }
    if (summary.passed > 0) {
        summary.meanPassedSeconds = passedSeconds / summary.passed;
    }
    completeSummary(summary);
    return summary;
}

void completeSummary(ProductionSummary& summary) {
    for (DayYield& day : summary.days) {
        day.failed = day.total - day.passed;
        day.yieldPercent = percent(day.passed, day.total);
    }
    for (FlashYield& flash : summary.flashIds) {
        flash.yieldPercent = percent(flash.passed, flash.total);
    }
    for (StationYield& station : summary.stations) {
        station.yieldPercent = percent(station.passed, station.total);
    }
    // Given in key order; a stable sort keeps it among equal counts.
    std::stable_sort(
        summary.failures.begin(), summary.failures.end(),
        [](const FailureCount& a, const FailureCount& b) { return a.count > b.count; });
    if (summary.failures.size() > kReportedFailures) {
        summary.failures.resize(kReportedFailures);
    }
    summary.slowestStations = summary.stations;
    std::stable_sort(
        summary.slowestStations.begin(), summary.slowestStations.end(),
        [](const StationYield& a, const StationYield& b) { return a.meanSeconds > b.meanSeconds; });
    if (summary.slowestStations.size() > kReportedSlowStations) {
        summary.slowestStations.resize(kReportedSlowStations);
    }
}

std::string renderSummary(const ProductionSummary& summary) {
    std::ostringstream out;
    const int failed = summary.runs - summary.passed - summary.removed - summary.stopped;
    out << "Runs: " << summary.runs;
    if (summary.runs == 0) {
        out << "\n";
        return out.str();
    }
    out << ", passed " << summary.passed << ", failed " << failed;
    if (summary.removed > 0) {
        out << ", removed " << summary.removed;
    }
    if (summary.stopped > 0) {
        out << ", stopped " << summary.stopped;
    }
    out << ", yield " << fixed(percent(summary.passed, summary.runs), "%") << "\n";
    out << "Days and times are UTC.\n";

    out << "\nYield per day (UTC)\n";
    std::vector<std::vector<std::string>> rows;
    for (const DayYield& day : summary.days) {
        rows.push_back({day.date, std::to_string(day.total), std::to_string(day.passed),
                        std::to_string(day.failed), fixed(day.yieldPercent, "%")});
    }
    renderTable(out,
                {{"date"}, {"total", true}, {"passed", true}, {"failed", true}, {"yield", true}},
                rows);

    out << "\nYield per flash ID\n";
    rows.clear();
    for (const FlashYield& flash : summary.flashIds) {
        rows.push_back({flash.flashId.empty() ? "(not read)" : flash.flashId, flash.flashName,
                        std::to_string(flash.total), std::to_string(flash.passed),
                        fixed(flash.yieldPercent, "%")});
    }
    renderTable(out,
                {{"flash ID"}, {"flash name"}, {"total", true}, {"passed", true}, {"yield", true}},
                rows);

    if (summary.stations.size() > 1) {
        out << "\nYield per station\n";
        rows.clear();
        for (const StationYield& station : summary.stations) {
            rows.push_back({station.station.empty() ? "(no name)" : station.station,
                            std::to_string(station.total), std::to_string(station.passed),
                            std::to_string(station.total - station.passed),
                            fixed(station.yieldPercent, "%")});
        }
        renderTable(
            out,
            {{"station"}, {"total", true}, {"passed", true}, {"failed", true}, {"yield", true}},
            rows);

        out << "\nSlowest stations\n";
        rows.clear();
        for (const StationYield& station : summary.slowestStations) {
            rows.push_back({station.station.empty() ? "(no name)" : station.station,
                            fixed(station.meanSeconds, " s"), std::to_string(station.total)});
        }
        renderTable(out, {{"station"}, {"mean per device", true}, {"runs", true}}, rows);
    }

    out << "\nMost common failures\n";
    if (summary.failures.empty()) {
        out << "  none\n";
    } else {
        rows.clear();
        for (const FailureCount& failure : summary.failures) {
            rows.push_back({std::to_string(failure.count),
                            failure.key.empty() ? "(no key)" : failure.key,
                            failure.text.empty() ? "(no status text)" : failure.text});
        }
        renderTable(out, {{"runs", true}, {"failure"}, {"as shown"}}, rows);
    }
    if (summary.removed > 0 || summary.stopped > 0) {
        out << "Not counted as failures: " << summary.removed << " removed, " << summary.stopped
            << " stopped.\n";
    }

    out << "\nMean time per device: " << fixed(*summary.meanSeconds, " s") << " over "
        << summary.runs << (summary.runs == 1 ? " run" : " runs");
    if (summary.meanPassedSeconds) {
        out << ", " << fixed(*summary.meanPassedSeconds, " s") << " over " << summary.passed
            << (summary.passed == 1 ? " passed run" : " passed runs");
    } else {
        out << ", no passed run";
    }
    out << "\n";
    return out.str();
}

bool isCalendarDate(std::string_view text) {
    if (text.size() != 10 || text[4] != '-' || text[7] != '-') {
        return false;
    }
    int year = 0;
    unsigned month = 0;
    unsigned day = 0;
    const auto number = [&](std::size_t at, std::size_t length, auto& value) {
        const char* end = text.data() + at + length;
        const auto result = std::from_chars(text.data() + at, end, value);
        return result.ec == std::errc() && result.ptr == end &&
               std::all_of(text.data() + at, end, [](char c) { return c >= '0' && c <= '9'; });
    };
    if (!number(0, 4, year) || !number(5, 2, month) || !number(8, 2, day)) {
        return false;
    }
    return std::chrono::year_month_day(std::chrono::year(year), std::chrono::month(month),
                                       std::chrono::day(day))
        .ok();
}

std::string csvField(std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) {
        return std::string(text);
    }
    std::string quoted = "\"";
    for (const char c : text) {
        quoted += c == '"' ? "\"\"" : std::string(1, c);
    }
    return quoted + "\"";
}

void writeCsv(std::ostream& out, const std::vector<RunRecord>& rows) {
    std::string header;
    for (const char* name : recordColumnNames()) {
        header += header.empty() ? "" : ",";
        header += name;
    }
    out << "\xEF\xBB\xBF" << header << "\r\n";
    for (const RunRecord& row : rows) {
        std::string line;
        bool first = true;
        forEachRecordField(row, [&](const char*, const auto& value) {
            line += first ? "" : ",";
            line += csvValue(value);
            first = false;
        });
        out << line << "\r\n";
    }
}

void writeCsvFile(const std::filesystem::path& file, const std::vector<RunRecord>& rows) {
    std::filesystem::path partial = file;
    partial += ".partial";
    {
        errno = 0;
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        if (out) {
            writeCsv(out, rows);
            out.close();
        }
        if (!out) {
            const std::string reason = errno != 0 ? std::strerror(errno) : "write failed";
            std::error_code ignored;
            std::filesystem::remove(partial, ignored);
            throw RecordError("The CSV file " + file.string() + " cannot be written: " + reason +
                              ".");
        }
    }
    std::error_code error;
    std::filesystem::rename(partial, file, error);
    if (error) {
        std::error_code ignored;
        std::filesystem::remove(partial, ignored);
        throw RecordError("The CSV file " + file.string() +
                          " cannot be written: " + error.message() + ".");
    }
}

}  // namespace corvid
